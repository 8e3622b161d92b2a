#include "recog_fetch.h"

#include <pthread.h>

#include <exception>
#include <utility>
#include <vector>

#include "apt_log.h"

void recog_fetches::run(job* fetch, unsigned long id, const std::function<void(unsigned long)>& done)
{
    pthread_setname_np(pthread_self(), "grammar fetch");
    try {
        recog_fetch_outcome& outcome = fetch->outcome;
        outcome.ok = read_uri_file(fetch->request.uri.c_str(), fetch->request.timeout_ms, outcome.text,
                                   outcome.error, fetch->cancel) == TRUE;
    } catch (const std::exception& e) {
        fetch->outcome.ok = false;
        fetch->outcome.error = e.what();
    }
    done(id);
}

unsigned long recog_fetches::start(const grammar_fetch_request& request, std::function<void(unsigned long)> done)
{
    std::unique_ptr<job> fetch(new job());
    fetch->request = request;
    job* raw = fetch.get();
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned long id = ++last_;
    /* In the map before its thread runs: a job with a running thread must never be destroyed
     * unjoined, which would end the process. */
    jobs_[id] = std::move(fetch);
    try {
        /* The thread is started under the lock, so that no cancel_all can miss it. */
        raw->thread = std::thread(run, raw, id, std::move(done));
    } catch (const std::exception& e) {
        jobs_.erase(id);
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "no thread for a grammar fetch: %s", e.what());
        return 0;
    }
    return id;
}

bool recog_fetches::finish(unsigned long id, recog_fetch_outcome* outcome)
{
    std::unique_ptr<job> fetch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<unsigned long, std::unique_ptr<job>>::iterator it = jobs_.find(id);
        if (it == jobs_.end())
            return false;
        fetch = std::move(it->second);
        jobs_.erase(it);
    }
    /* 'done' has run: the thread is ending, the join is short. */
    fetch->thread.join();
    *outcome = std::move(fetch->outcome);
    return true;
}

void recog_fetches::cancel(unsigned long id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<unsigned long, std::unique_ptr<job>>::iterator it = jobs_.find(id);
    if (it != jobs_.end())
        it->second->cancel.cancel();
}

void recog_fetches::cancel_all()
{
    std::map<unsigned long, std::unique_ptr<job>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(jobs_);
    }
    for (std::map<unsigned long, std::unique_ptr<job>>::value_type& entry : all)
        entry.second->cancel.cancel();
    for (std::map<unsigned long, std::unique_ptr<job>>::value_type& entry : all)
        entry.second->thread.join();
}
