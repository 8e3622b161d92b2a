// The host: plays the MRCP server for one or more plug-ins. It loads a plug-in, drives its engine, channel and
// stream tables, answers through the server's event tables, collects every response and event, runs a media
// engine that calls every channel's stream and captures the log. Tests and the mrcp-host program use it; plug-ins never see it.
#ifndef MRCP_HOST_H
#define MRCP_HOST_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mrcp_engine_iface.h"
#include "mrcp_engine_plugin.h"
#include "apt_log.h"

namespace mrcphost {

// ---------------------------------------------------------------------------------------------------------------
// Log capture: every record of the process (host and plug-ins), kept with its priority and formatted text.

struct log_record {
    apt_log_priority_e priority;
    std::string text;
};

class log_capture {
public:
    // The process-wide capture; every call (re)installs it as the logger's capture hook.
    static log_capture& instance();
    // The same object without touching the hook.
    static log_capture& raw_instance();

    // Quiet: records are kept but not written to stderr.
    void set_quiet(bool quiet);
    // Records less severe than this are dropped (APT_PRIO_DEBUG keeps all).
    void set_priority(apt_log_priority_e priority);

    std::vector<log_record> records() const;
    // Records containing text (a substring), at priority max_priority or more severe.
    size_t count(const std::string& text, apt_log_priority_e max_priority = APT_PRIO_DEBUG) const;
    bool contains(const std::string& text, apt_log_priority_e max_priority = APT_PRIO_DEBUG) const;
    // Waits until a record containing text exists (also one logged before the call).
    bool wait_for(const std::string& text, int timeout_ms, apt_log_priority_e max_priority = APT_PRIO_DEBUG) const;
    void clear();
    // The records as "PRIORITY text" lines, for failure messages.
    std::string dump() const;

    void add(apt_log_priority_e priority, const std::string& text);

private:
    log_capture();
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<log_record> m_records;
    bool m_quiet = false;
};

const char* priority_name(apt_log_priority_e priority);

// A fault for tests: the next 'count' starts of tasks named 'task_name' fail, as when no thread can be
// made. 0 clears it.
void fail_task_starts(const char* task_name, int count);

// ---------------------------------------------------------------------------------------------------------------
// A response or event as the plug-in sent it, copied out of the plug-in's message.

struct message_record {
    std::string channel_id;
    mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
    std::string name;                  // method name (responses) or event name (events)
    mrcp_method_id method_id = 0;      // method id or event id
    mrcp_request_id request_id = 0;
    int status_code = 0;
    mrcp_request_state_e request_state = MRCP_REQUEST_STATE_UNKNOWN;
    int completion_cause = -1;         // -1 when the Completion-Cause field is absent
    std::vector<std::pair<std::string, std::string>> fields;  // header fields in message order
    std::string body;

    bool is_event() const { return type == MRCP_MESSAGE_TYPE_EVENT; }
    bool is_response() const { return type == MRCP_MESSAGE_TYPE_RESPONSE; }
    bool has_field(const std::string& field_name) const;
    // The value of the field (name compared without regard to case), "" when absent.
    std::string field(const std::string& field_name) const;
    // One line:
    //   RESPONSE SET-PARAMS channel=ch1 request-id=1 status=200 state=COMPLETE cause=- headers={A: 1; B: 2} body=<>
    //   EVENT RECOGNITION-COMPLETE channel=ch1 request-id=3 status=200 state=COMPLETE cause=0 headers={...} body=<...>
    // cause is the number of the Completion-Cause field or "-"; in the body, backslash, CR and LF are written
    // as \\, \r and \n so that the record stays on one line.
    std::string line() const;
};

const char* request_state_name(mrcp_request_state_e state);

// Waits that return FALSE/none instead of hanging; all in milliseconds.
enum { DEFAULT_TIMEOUT_MS = 5000 };

// Outcome of an open (engine or channel) that the plug-in answers through the event table.
enum class open_answer { none, success, failure };
const char* open_answer_name(open_answer answer);

class plugin;
class channel;

// ---------------------------------------------------------------------------------------------------------------
// The media engine: one thread for the streams of every channel of every plug-in, as the server has. Every 10 ms
// on the steady clock (a late tick is caught up at once, so no drift builds up) it calls each open stream in turn:
// write_frame of a sink, read_frame of a source. A channel's stream is opened (open_tx / open_rx) on the media
// thread once its media starts, and closed there (close_tx / close_rx) before stop_media returns; from then on it
// is never called again. The thread holds no host lock while it calls a plug-in, and it runs while at least one
// stream is on it.

class media_engine {
public:
    static media_engine& instance();

    struct figures {
        unsigned long long ticks = 0;      // ticks run
        unsigned long long overruns = 0;   // ticks whose calls took longer than 10 ms
        std::chrono::nanoseconds longest{0};
    };
    figures counts() const;
    // One tick as the media thread saw it.
    struct tick {
        std::chrono::nanoseconds took;  // from the first call to the end of the last
        size_t streams;                 // streams called
        long waits;                     // the thread gave up the CPU during the tick: it waited (a lock, I/O)
        long preemptions;               // the scheduler took the CPU away during the tick
    };
    // Called on the media thread after every tick (empty: none).
    typedef std::function<void(const tick&)> tick_observer;
    void set_tick_observer(tick_observer observer);
    bool on_media_thread() const;

    // For the channels: add(ch) puts its stream on the engine, remove(ch) takes it off and waits until it is
    // closed (not from the media thread itself).
    void add(channel* ch);
    void remove(channel* ch);

private:
    struct member;
    media_engine() {}
    void run(unsigned long long generation);
    void serve_changes(std::unique_lock<std::mutex>& lock);

    // m_mutex guards every field. Written by add/remove (any thread) and by the media thread.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;          // the media thread: a change asked for, or stop
    std::condition_variable m_changed;       // removers: a stream closed
    std::vector<std::shared_ptr<member>> m_members;
    bool m_changes = false;                  // a member waits to be opened or closed
    std::thread m_thread;
    std::thread::id m_thread_id;
    unsigned long long m_generation = 0;     // the running thread's; a thread whose number is old ends
    tick_observer m_tick_observer;
    figures m_figures;
};

// ---------------------------------------------------------------------------------------------------------------
// One engine channel; its stream runs on the media engine.

class channel {
public:
    ~channel();  // closes when still open, then destroys the channel and its pool

    const std::string& id() const { return m_id; }
    mrcp_engine_channel_t* engine_channel() const { return m_channel; }
    mpf_audio_stream_t* stream() const;
    bool is_open() const;   // the engine channel's is_open flag

    // The codec the server "negotiated": LPCM at 8000 or 16000 Hz (sink: tx_descriptor, source: rx_descriptor).
    // Call before open; without it the stream has no descriptor and the codec getters give NULL.
    bool set_codec(apr_uint16_t sampling_rate);
    apr_uint16_t sampling_rate() const { return m_sampling_rate; }

    // Calls the channel's open and waits for on_open. TRUE only when answered with TRUE. With auto_media (the
    // default) the stream goes on the media thread once the channel is open.
    bool open(int timeout_ms = DEFAULT_TIMEOUT_MS, bool auto_media = true);
    open_answer open_result() const;
    // Takes the stream off the media thread (closed there), clears is_open, calls close and waits for on_close.
    // TRUE when answered.
    bool close(int timeout_ms = DEFAULT_TIMEOUT_MS);
    bool close_answered() const;
    // Closes the channel when it is open. FALSE when a close went out and was not answered: the plug-in
    // may still be working on the channel, so the server does not destroy it.
    bool settle();

    // Builds a request: the method by name (case ignored), header lines "Name: value" parsed into the typed headers
    // in order, and a body (Content-Length is added when a body is given without one). NULL and *error on failure.
    mrcp_message_t* create_request(const std::string& method, const std::vector<std::string>& header_lines,
                                   const std::string& body, std::string* error = nullptr);
    // Hands a request to the plug-in's process_request. Returns the request id (> 0), 0 on failure.
    mrcp_request_id send(mrcp_message_t* request);
    mrcp_request_id send(const std::string& method, const std::vector<std::string>& header_lines = {},
                         const std::string& body = "", std::string* error = nullptr);

    // Everything the plug-in sent on this channel, in arrival order.
    std::vector<message_record> messages() const;
    // Waits for the first response to request_id (0: the last request sent) that no earlier wait took.
    bool wait_response(mrcp_request_id request_id, int timeout_ms, message_record* out = nullptr);
    // Waits for the first event of that name that no earlier wait took.
    bool wait_event(const std::string& event_name, int timeout_ms, message_record* out = nullptr);
    // Waits until count messages in total have arrived.
    bool wait_message_count(size_t count, int timeout_ms);
    mrcp_request_id last_request_id() const;

    // ---- media (the media engine calls the stream every 10 ms) ----
    bool start_media();
    void stop_media();
    bool media_running() const;
    // Audio for a sink: 16-bit LPCM queued behind what is already queued; silence is written when none is left.
    void queue_audio(const std::vector<char>& pcm);
    bool queue_audio_file(const std::string& path, std::string* error = nullptr);
    void queue_silence(int ms);
    // Waits until the queued audio has all been written.
    bool wait_audio_sent(int timeout_ms);
    size_t frames_written() const;
    size_t frames_read() const;
    // Audio read from a source (frames that carried the audio flag), and how many frames carried the event flag.
    std::vector<char> received_audio() const;
    size_t received_event_frames() const;
    bool save_received_audio(const std::string& path, std::string* error = nullptr) const;

    // Called on every message as it arrives, on the plug-in's thread.
    void set_listener(std::function<void(const message_record&)> listener);

    // For measuring the media thread: one stream call as the clock saw it.
    struct media_call {
        bool write;                   // write_frame (a sink) or read_frame (a source)
        std::chrono::nanoseconds took;
        // Context switches of the media thread inside the call, counted for calls of 50 us or more (0 for
        // shorter ones, which are too short to have lost the CPU):
        long waits;                   // the thread gave up the CPU: it waited (a lock, I/O)
        long preemptions;             // the scheduler took the CPU away
        const mpf_frame_t* frame;     // as the plug-in left it
    };
    // Called on the media thread right after each write_frame and read_frame. Set before start_media.
    typedef std::function<void(const media_call& call)> frame_observer;
    void set_frame_observer(frame_observer observer);
    // False: audio read from a source is counted but not kept, so that long runs do not grow (default true).
    void set_keep_received_audio(bool keep);

private:
    friend class plugin;
    friend class media_engine;
    // What the media thread keeps of an open stream; the plug-in may hold on to the codec until close.
    struct media_stream {
        mpf_audio_stream_t* stream = nullptr;
        bool sink = false;                       // write_frame is called
        bool source = false;                     // read_frame is called
        size_t frame_size = 0;
        mpf_codec_attribs_t attribs;
        mpf_codec_t codec;
        frame_observer observer;                 // the channel's, as it was at open
        std::vector<char> tx, rx;
    };
    channel(plugin* owner, const std::string& id, mrcp_version_e version);
    bool create();
    void on_open(apt_bool_t status);
    void on_close();
    void on_message(mrcp_message_t* message);
    // On the media thread, between add and remove.
    void media_open();
    void media_tick();
    void media_close();
    void wait_tick_end(std::unique_lock<std::mutex>& lock) const;

    static apt_bool_t event_on_open(mrcp_engine_channel_t* channel, apt_bool_t status);
    static apt_bool_t event_on_close(mrcp_engine_channel_t* channel);
    static apt_bool_t event_on_message(mrcp_engine_channel_t* channel, mrcp_message_t* message);

    plugin* m_plugin;
    std::string m_id;
    mrcp_version_e m_version;
    apr_pool_t* m_pool = nullptr;
    mrcp_engine_channel_t* m_channel = nullptr;
    mpf_codec_descriptor_t m_descriptor;
    apr_uint16_t m_sampling_rate = 0;
    mrcp_request_id m_next_request_id = 1;

    mutable std::mutex m_mutex;                  // guards everything below
    mutable std::condition_variable m_cv;
    open_answer m_open_answer = open_answer::none;
    bool m_close_answered = false;
    bool m_closed = false;
    std::vector<message_record> m_messages;
    std::vector<bool> m_taken;                   // per message: a wait returned it
    mrcp_request_id m_last_request_id = 0;
    std::function<void(const message_record&)> m_listener;

    // media
    // Waits for the media thread: a tick of this channel ended, or its queued audio is all written. Apart from
    // m_cv, so that the media thread wakes nobody else (drivers waiting for an event) 100 times a second.
    mutable std::condition_variable m_media_cv;
    bool m_media_tick = false;                   // the media thread is inside this channel's calls
    bool m_media_running = false;                // the stream is on the media engine
    std::unique_ptr<media_stream> m_media;       // media thread only, from media_open to media_close
    std::vector<char> m_tx_queue;                // audio not yet written
    size_t m_tx_pos = 0;
    std::vector<char> m_rx_audio;
    size_t m_rx_event_frames = 0;
    size_t m_frames_written = 0;
    size_t m_frames_read = 0;
    bool m_keep_rx_audio = true;
    frame_observer m_frame_observer;             // the media thread takes a copy when it opens the stream
};

// ---------------------------------------------------------------------------------------------------------------
// One loaded plug-in and its engine.

struct plugin_options {
    std::string path;                            // the .so
    std::string name;                            // engine id; default: the file name without extension
    std::string conf_dir;                        // APT_LAYOUT_CONF_DIR
    std::string data_dir;                        // APT_LAYOUT_DATA_DIR
    std::string log_dir;                         // optional
    std::string var_dir;                         // optional
    std::map<std::string, std::string> params;   // engine config params
    size_t max_channel_count = 0;                // 0: no limit
};

class plugin {
public:
    explicit plugin(const plugin_options& options);
    ~plugin();  // unload()

    // dlopen(RTLD_NOW | RTLD_GLOBAL), resolve and check the entry points (version {1,5,0} or older), hand over the
    // logger and the log source, create the engine and give it the layout, the config and the event table.
    bool load(std::string* error = nullptr);
    // Calls the engine's open and waits (bounded) for on_open. TRUE only when answered with TRUE.
    bool open(int timeout_ms = DEFAULT_TIMEOUT_MS);
    open_answer open_result() const;
    // Calls close when the open was answered with TRUE and waits for on_close.
    bool close(int timeout_ms = 15000);
    // Closes the channels and the engine, destroys the engine, frees the pools and dlcloses. Channels whose
    // close was not answered are destroyed only once the engine's close was answered.
    void unload();

    const plugin_options& options() const { return m_options; }
    const std::string& name() const { return m_options.name; }
    mrcp_engine_t* engine() const { return m_engine; }
    const mrcp_resource_t* resource() const;
    bool loaded() const { return m_engine != nullptr; }

    // A channel with that id (also its session id); NULL when the plug-in gives none.
    // The returned channel belongs to the plug-in; destroy_channel or unload frees it.
    channel* create_channel(const std::string& id, mrcp_version_e version = MRCP_VERSION_2);
    channel* find_channel(const std::string& id) const;
    // Closes the channel when open and destroys it; one whose close is not answered is kept (and logged).
    void destroy_channel(const std::string& id);

private:
    friend class channel;
    static apt_bool_t event_on_open(mrcp_engine_t* engine, apt_bool_t status);
    static apt_bool_t event_on_close(mrcp_engine_t* engine);
    void retire(std::unique_ptr<channel> ch);

    plugin_options m_options;
    void* m_handle = nullptr;
    apr_pool_t* m_pool = nullptr;
    mrcp_engine_t* m_engine = nullptr;
    mrcp_engine_config_t m_config;
    std::vector<std::unique_ptr<channel>> m_channels;
    std::vector<std::unique_ptr<channel>> m_kept;  // closed without an answer; destroyed at unload

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    open_answer m_open_answer = open_answer::none;
    bool m_open_called = false;
    bool m_close_answered = false;
};

// Initialises APR and the logger once per process (the plug-in constructor calls it).
void host_initialize();

}  // namespace mrcphost

#endif
