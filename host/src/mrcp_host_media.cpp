// The media clock of a channel: every 10 ms one frame written to a sink (queued audio or silence) and one frame
// read from a source (collected), as the server's media thread does.
#include "mrcp_host.h"

#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <chrono>

namespace mrcphost {

namespace {

// Times one stream call for the frame observer; context switches of this thread tell waiting from preemption.
class call_timer {
public:
    explicit call_timer(bool on) : m_usage()
    {
        if (on) {
            getrusage(RUSAGE_THREAD, &m_usage);
            m_start = std::chrono::steady_clock::now();
        }
    }
    channel::media_call done(bool write, const mpf_frame_t& frame) const
    {
        channel::media_call call = {write, std::chrono::steady_clock::now() - m_start, 0, 0, &frame};
        struct rusage after;
        getrusage(RUSAGE_THREAD, &after);
        call.waits = after.ru_nvcsw - m_usage.ru_nvcsw;
        call.preemptions = after.ru_nivcsw - m_usage.ru_nivcsw;
        return call;
    }

private:
    struct rusage m_usage;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace

bool channel::start_media()
{
    mpf_audio_stream_t* s = stream();
    if (!s)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_media_running)
        return true;
    m_media_stop = false;
    m_media_running = true;
    m_media_thread = std::thread(&channel::media_loop, this);
    m_media_thread_id = m_media_thread.get_id();
    return true;
}

void channel::stop_media()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_media_stop = true;
        thread.swap(m_media_thread);
    }
    m_cv.notify_all();
    if (thread.joinable())
        thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_media_running = false;
}

bool channel::media_running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_media_running;
}

void channel::media_loop()
{
    mpf_audio_stream_t* s = stream();
    const mpf_audio_stream_vtable_t* vtable = s->vtable;
    const bool sink = (s->direction & STREAM_DIRECTION_SEND) && vtable->write_frame;
    const bool source = (s->direction & STREAM_DIRECTION_RECEIVE) && vtable->read_frame;
    const apr_uint16_t rate = m_sampling_rate ? m_sampling_rate : 8000;
    const size_t frame_size = (size_t)rate / 1000 * CODEC_FRAME_TIME_BASE * BYTES_PER_SAMPLE;

    mpf_codec_attribs_t attribs;
    apt_string_set(&attribs.name, "LPCM");
    attribs.bits_per_sample = BITS_PER_SAMPLE;
    attribs.sample_rates = mpf_sample_rate_mask_get(rate);
    mpf_codec_t codec = {nullptr, &attribs, m_sampling_rate ? &m_descriptor : nullptr};
    frame_observer observer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        observer = m_frame_observer;
    }

    if (sink && vtable->open_tx)
        vtable->open_tx(s, &codec);
    if (source && vtable->open_rx)
        vtable->open_rx(s, &codec);

    std::vector<char> tx(frame_size), rx(frame_size);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_cv.wait_until(lock, next, [this] { return m_media_stop; }))
                break;
        }
        next += std::chrono::milliseconds(CODEC_FRAME_TIME_BASE);
        // Behind by much (a slow plug-in, a loaded machine): go on from now instead of catching up in a burst.
        auto now = std::chrono::steady_clock::now();
        if (now > next + std::chrono::milliseconds(100))
            next = now;

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_media_tick = true;
        }
        if (sink) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                size_t count = std::min(frame_size, m_tx_queue.size() - m_tx_pos);
                if (count)
                    memcpy(tx.data(), m_tx_queue.data() + m_tx_pos, count);
                memset(tx.data() + count, 0, frame_size - count);
                m_tx_pos += count;
                if (m_tx_pos == m_tx_queue.size()) {
                    m_tx_queue.clear();
                    m_tx_pos = 0;
                }
            }
            mpf_frame_t frame;
            memset(&frame, 0, sizeof(frame));
            frame.type = MEDIA_FRAME_TYPE_AUDIO;
            frame.codec_frame.buffer = tx.data();
            frame.codec_frame.size = frame_size;
            call_timer timer(observer != nullptr);
            vtable->write_frame(s, &frame);
            if (observer)
                observer(timer.done(true, frame));
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frames_written++;
        }
        if (source) {
            mpf_frame_t frame;
            memset(&frame, 0, sizeof(frame));
            memset(rx.data(), 0, frame_size);
            frame.type = MEDIA_FRAME_TYPE_NONE;
            frame.codec_frame.buffer = rx.data();
            frame.codec_frame.size = frame_size;
            call_timer timer(observer != nullptr);
            vtable->read_frame(s, &frame);
            if (observer)
                observer(timer.done(false, frame));
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frames_read++;
            if ((frame.type & MEDIA_FRAME_TYPE_AUDIO) && m_keep_rx_audio)
                m_rx_audio.insert(m_rx_audio.end(), rx.begin(), rx.end());
            if (frame.type & MEDIA_FRAME_TYPE_EVENT)
                m_rx_event_frames++;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_media_tick = false;
            m_cv.notify_all();
        }
    }

    if (sink && vtable->close_tx)
        vtable->close_tx(s);
    if (source && vtable->close_rx)
        vtable->close_rx(s);
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
    return m_cv.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms),
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
    if (std::this_thread::get_id() == m_media_thread_id)
        return;
    m_cv.wait_for(lock, std::chrono::milliseconds(1000), [this] { return !m_media_tick; });
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
    bool ok = fwrite(audio.data(), 1, audio.size(), file) == audio.size();
    ok = fclose(file) == 0 && ok;
    if (!ok && error)
        *error = "cannot write " + path;
    return ok;
}

}  // namespace mrcphost
