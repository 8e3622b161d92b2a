// The media engine, and what it does for each channel: every 10 ms one frame written to a sink (queued audio or
// silence) and one frame read from a source (collected), as the server's media thread does.
#include "mrcp_host.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace mrcphost {

namespace {

// The media thread's context switches so far (its own, read at the start of each tick and after a long call).
thread_local struct rusage t_switches;

void read_switches()
{
    getrusage(RUSAGE_THREAD, &t_switches);
}

// Times one stream call for the frame observer; context switches of this thread tell waiting from preemption.
// Reading them is a system call that costs more than most calls (about a microsecond, times every stream of
// every tick), so they are read only after a call that took long enough to have lost the CPU at all; the
// switches since the last reading of the tick are that call's (a switch inside a short call before it would be
// counted with it).
class call_timer {
public:
    explicit call_timer(bool on)
    {
        if (on)
            m_start = std::chrono::steady_clock::now();
    }
    channel::media_call done(bool write, const mpf_frame_t& frame) const
    {
        channel::media_call call = {write, std::chrono::steady_clock::now() - m_start, 0, 0, &frame};
        if (call.took >= std::chrono::microseconds(50)) {
            struct rusage before = t_switches;
            read_switches();
            call.waits = t_switches.ru_nvcsw - before.ru_nvcsw;
            call.preemptions = t_switches.ru_nivcsw - before.ru_nivcsw;
        }
        return call;
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace

// ---- the media engine ----

// One stream on the engine. `opened` and `closed` change under the engine's lock; `leaving` is also read by the
// media thread between calls without it, so that a stream being removed gets no further frame.
struct media_engine::member {
    channel* ch = nullptr;
    bool opened = false;                 // media_open ran
    bool closed = false;                 // media_close ran (or the stream never opened); off the engine
    std::atomic<bool> leaving{false};    // remove asked for it
};

media_engine& media_engine::instance()
{
    static media_engine* engine = new media_engine();  // never destroyed: channels may outlive static destructors
    return *engine;
}

media_engine::figures media_engine::counts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_figures;
}

void media_engine::set_tick_observer(tick_observer observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tick_observer = std::move(observer);
}

bool media_engine::on_media_thread() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_thread_id == std::this_thread::get_id();
}

void media_engine::add(channel* ch)
{
    auto m = std::make_shared<member>();
    m->ch = ch;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_members.push_back(m);
    m_changes = true;
    if (!m_thread.joinable()) {
        unsigned long long generation = ++m_generation;
        m_thread = std::thread(&media_engine::run, this, generation);
        m_thread_id = m_thread.get_id();
    }
    m_wake.notify_all();
}

void media_engine::remove(channel* ch)
{
    std::thread ended;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::shared_ptr<member> m;
        for (const auto& candidate : m_members)
            if (candidate->ch == ch)
                m = candidate;
        if (!m)
            return;
        if (m_thread_id == std::this_thread::get_id()) {
            // Inside a call of the media thread: waiting here would wait for ourselves.
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "host: media of channel %s stopped on the media thread",
                    ch->id().c_str());
            return;
        }
        m->leaving = true;
        m_changes = true;
        m_wake.notify_all();
        m_changed.wait(lock, [&] { return m->closed; });
        if (m_members.empty()) {
            // The last stream is gone: the thread ends, and the next add starts another one.
            ++m_generation;
            m_wake.notify_all();
            ended.swap(m_thread);
            m_thread_id = std::thread::id();
        }
    }
    if (ended.joinable())
        ended.join();
}

// Opens the streams that were added and closes those asked to leave, between ticks; the lock is let go around
// every call into a plug-in.
void media_engine::serve_changes(std::unique_lock<std::mutex>& lock)
{
    while (m_changes) {
        m_changes = false;
        for (size_t i = 0; i < m_members.size(); ++i) {
            std::shared_ptr<member> m = m_members[i];
            bool close = m->leaving.load();
            if (m->opened == close) {
                lock.unlock();
                if (close)
                    m->ch->media_close();
                else
                    m->ch->media_open();
                lock.lock();
                m->opened = !close;
                m_changes = true;  // the list may have changed meanwhile: look again
            }
            if (close) {
                m->closed = true;
                m_members.erase(std::find(m_members.begin(), m_members.end(), m));
                m_changed.notify_all();
                m_changes = true;
                break;
            }
        }
    }
}

void media_engine::run(unsigned long long generation)
{
    pthread_setname_np(pthread_self(), "host-media");
    const auto period = std::chrono::milliseconds(CODEC_FRAME_TIME_BASE);
    std::vector<std::shared_ptr<member>> called;  // this tick's streams
    std::unique_lock<std::mutex> lock(m_mutex);
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        // Checked before serving changes: once the last stream left, a newer thread may already serve the
        // streams added since, and two threads must never open or close the same stream.
        if (m_generation != generation)
            return;
        serve_changes(lock);
        if (m_generation != generation)
            return;
        if (m_wake.wait_until(lock, next, [&] { return m_changes || m_generation != generation; }))
            continue;
        // Every tick is due 10 ms after the one before, however late it ran: a late tick is followed at once by
        // the next one until the clock is caught up.
        next += period;
        called.clear();
        for (const auto& m : m_members)
            if (m->opened)
                called.push_back(m);
        tick_observer observer = m_tick_observer;
        lock.unlock();

        read_switches();
        struct rusage usage_before = t_switches;
        auto start = std::chrono::steady_clock::now();
        size_t streams = 0;
        for (const auto& m : called) {
            if (!m->leaving.load()) {
                m->ch->media_tick();
                streams++;
            }
        }
        auto took = std::chrono::steady_clock::now() - start;
        if (observer) {
            struct rusage usage_after;
            getrusage(RUSAGE_THREAD, &usage_after);
            observer(tick{took, streams, usage_after.ru_nvcsw - usage_before.ru_nvcsw,
                                        usage_after.ru_nivcsw - usage_before.ru_nivcsw});
        }
        called.clear();

        lock.lock();
        m_figures.ticks++;
        if (took > period)
            m_figures.overruns++;
        if (took > m_figures.longest)
            m_figures.longest = std::chrono::duration_cast<std::chrono::nanoseconds>(took);
    }
}

// ---- one channel's stream on the engine ----

bool channel::start_media()
{
    if (!stream())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_media_running)
            return true;
        m_media_running = true;
    }
    media_engine::instance().add(this);
    return true;
}

void channel::stop_media()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_media_running)
            return;
    }
    media_engine::instance().remove(this);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_media_running = false;
}

bool channel::media_running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_media_running;
}

void channel::media_open()
{
    m_media.reset(new media_stream());
    media_stream& ms = *m_media;
    ms.stream = stream();
    const mpf_audio_stream_vtable_t* vtable = ms.stream->vtable;
    ms.sink = (ms.stream->direction & STREAM_DIRECTION_SEND) && vtable->write_frame;
    ms.source = (ms.stream->direction & STREAM_DIRECTION_RECEIVE) && vtable->read_frame;
    const apr_uint16_t rate = m_sampling_rate ? m_sampling_rate : 8000;
    ms.frame_size = (size_t)rate / 1000 * CODEC_FRAME_TIME_BASE * BYTES_PER_SAMPLE;
    apt_string_set(&ms.attribs.name, "LPCM");
    ms.attribs.bits_per_sample = BITS_PER_SAMPLE;
    ms.attribs.sample_rates = mpf_sample_rate_mask_get(rate);
    ms.codec = {nullptr, &ms.attribs, m_sampling_rate ? &m_descriptor : nullptr};
    ms.tx.resize(ms.frame_size);
    ms.rx.resize(ms.frame_size);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ms.observer = m_frame_observer;
    }
    if (ms.sink && vtable->open_tx)
        vtable->open_tx(ms.stream, &ms.codec);
    if (ms.source && vtable->open_rx)
        vtable->open_rx(ms.stream, &ms.codec);
}

void channel::media_close()
{
    media_stream& ms = *m_media;
    const mpf_audio_stream_vtable_t* vtable = ms.stream->vtable;
    if (ms.sink && vtable->close_tx)
        vtable->close_tx(ms.stream);
    if (ms.source && vtable->close_rx)
        vtable->close_rx(ms.stream);
    m_media.reset();
}

// One frame each way: queued audio (or silence) to a sink, a frame read from a source and collected.
void channel::media_tick()
{
    media_stream& ms = *m_media;
    const mpf_audio_stream_vtable_t* vtable = ms.stream->vtable;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_media_tick = true;
        if (ms.sink) {
            size_t count = std::min(ms.frame_size, m_tx_queue.size() - m_tx_pos);
            if (count)
                memcpy(ms.tx.data(), m_tx_queue.data() + m_tx_pos, count);
            memset(ms.tx.data() + count, 0, ms.frame_size - count);
            m_tx_pos += count;
            if (m_tx_pos == m_tx_queue.size()) {
                m_tx_queue.clear();
                m_tx_pos = 0;
            }
        }
    }
    mpf_frame_t rx_frame;
    memset(&rx_frame, 0, sizeof(rx_frame));
    if (ms.sink) {
        mpf_frame_t frame;
        memset(&frame, 0, sizeof(frame));
        frame.type = MEDIA_FRAME_TYPE_AUDIO;
        frame.codec_frame.buffer = ms.tx.data();
        frame.codec_frame.size = ms.frame_size;
        call_timer timer(ms.observer != nullptr);
        vtable->write_frame(ms.stream, &frame);
        if (ms.observer)
            ms.observer(timer.done(true, frame));
    }
    if (ms.source) {
        memset(ms.rx.data(), 0, ms.frame_size);
        rx_frame.type = MEDIA_FRAME_TYPE_NONE;
        rx_frame.codec_frame.buffer = ms.rx.data();
        rx_frame.codec_frame.size = ms.frame_size;
        call_timer timer(ms.observer != nullptr);
        vtable->read_frame(ms.stream, &rx_frame);
        if (ms.observer)
            ms.observer(timer.done(false, rx_frame));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (ms.sink)
        m_frames_written++;
    if (ms.source) {
        m_frames_read++;
        if ((rx_frame.type & MEDIA_FRAME_TYPE_AUDIO) && m_keep_rx_audio)
            m_rx_audio.insert(m_rx_audio.end(), ms.rx.begin(), ms.rx.end());
        if (rx_frame.type & MEDIA_FRAME_TYPE_EVENT)
            m_rx_event_frames++;
    }
    m_media_tick = false;
    m_media_cv.notify_all();
}

void channel::set_frame_observer(frame_observer observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frame_observer = std::move(observer);
}

void channel::set_keep_received_audio(bool keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keep_rx_audio = keep;
}

void channel::queue_audio(const std::vector<char>& pcm)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tx_queue.insert(m_tx_queue.end(), pcm.begin(), pcm.end());
}

bool channel::queue_audio_file(const std::string& path, std::string* error)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    std::vector<char> pcm;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        pcm.insert(pcm.end(), chunk, chunk + n);
    fclose(file);
    queue_audio(pcm);
    return true;
}

void channel::queue_silence(int ms)
{
    apr_uint16_t rate = m_sampling_rate ? m_sampling_rate : 8000;
    size_t bytes = ms <= 0 ? 0 : (size_t)rate / 1000 * (size_t)ms * BYTES_PER_SAMPLE;
    queue_audio(std::vector<char>(bytes, 0));
}

bool channel::wait_audio_sent(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_media_cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms),
                           [this] { return m_tx_queue.empty(); });
}

size_t channel::frames_written() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    wait_tick_end(lock);
    return m_frames_written;
}

size_t channel::frames_read() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    wait_tick_end(lock);
    return m_frames_read;
}

// An event sent from inside read_frame arrives before the host has stored that frame: the readers below wait for
// the tick to end, unless they run on the media thread itself (a listener).
void channel::wait_tick_end(std::unique_lock<std::mutex>& lock) const
{
    if (media_engine::instance().on_media_thread())
        return;
    m_media_cv.wait_for(lock, std::chrono::milliseconds(1000), [this] { return !m_media_tick; });
}

std::vector<char> channel::received_audio() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    wait_tick_end(lock);
    return m_rx_audio;
}

size_t channel::received_event_frames() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    wait_tick_end(lock);
    return m_rx_event_frames;
}

bool channel::save_received_audio(const std::string& path, std::string* error) const
{
    std::vector<char> audio = received_audio();
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    // Nothing read yet: an empty file (an empty vector may hold no buffer, and fwrite takes none).
    bool ok = audio.empty() || fwrite(audio.data(), 1, audio.size(), file) == audio.size();
    ok = fclose(file) == 0 && ok;
    if (!ok && error)
        *error = "cannot write " + path;
    return ok;
}

}  // namespace mrcphost
