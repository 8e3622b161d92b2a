/*
 * Grammar fetches over http or https, each on a thread of its own, so that a slow
 * grammar server holds only the channel whose request waits for it, never the
 * engine task and every other channel with it.
 *
 * Bound: a fetch is started only for a channel's request that then waits for it
 * (the channel's pending request), and a channel has at most one, so there are at
 * most as many fetch threads as open channels, each holding at most one grammar of
 * GRAMMAR_MAX_SIZE. A shared pool of a few threads would bound them tighter, but
 * then a few slow servers would hold every other channel's fetch again.
 */
#ifndef HARKWIRE_RECOG_FETCH_H
#define HARKWIRE_RECOG_FETCH_H

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "recog_grammar.h"

/* What a fetch came to. */
struct recog_fetch_outcome {
    bool ok = false;
    std::string text;     /* the grammar, when ok */
    std::string error;    /* why not, when not ok */
};

/*
 * The fetches under way. start, finish and cancel are called on the engine task;
 * cancel_all at the end of the engine task and at destroy. 'jobs_' and 'last_' are
 * guarded by 'mutex_'. A job's outcome is written by its thread alone and read only
 * after the thread was joined.
 */
class recog_fetches {
public:
    recog_fetches() = default;
    ~recog_fetches() { cancel_all(); }
    recog_fetches(const recog_fetches&) = delete;
    recog_fetches& operator=(const recog_fetches&) = delete;

    /* Starts fetching on a thread of its own; 'done' runs on that thread, with the fetch's id,
     * once the fetch ended. The id (never 0), or 0 when no thread could be started. */
    unsigned long start(const grammar_fetch_request& request, std::function<void(unsigned long)> done);
    /* A fetch whose 'done' ran: its thread joined, its outcome handed out and the fetch forgotten.
     * False when the id is not known (the fetch was cut short and joined by cancel_all). */
    bool finish(unsigned long id, recog_fetch_outcome* outcome);
    /* Cuts a fetch short; its 'done' still runs and it still has to be finished. */
    void cancel(unsigned long id);
    /* Cuts every fetch short and joins its thread: nothing is left running. */
    void cancel_all();

private:
    struct job {
        grammar_fetch_request request;   /* set before the thread starts, then read only */
        fetch_cancel cancel;             /* cancel() from any thread */
        recog_fetch_outcome outcome;     /* the fetch's thread; read after the join */
        std::thread thread;              /* set under 'mutex_'; joined once out of 'jobs_' */
    };
    static void run(job* fetch, unsigned long id, const std::function<void(unsigned long)>& done);

    std::mutex mutex_;
    std::map<unsigned long, std::unique_ptr<job>> jobs_;
    unsigned long last_ = 0;
};

#endif /* HARKWIRE_RECOG_FETCH_H */
