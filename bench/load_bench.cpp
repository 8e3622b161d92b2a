// load-bench: many channels of real-time recognition (harkwire) and synthesis (speakwire) in one host
// process against the fake cloud over TLS on 127.0.0.1, with figures an operator cares about. The fake
// runs in a process of its own (this program again, with --fake-child), so that the memory and the CPU
// measured here are the plug-in's and the host's, not the service's.
//
// Usage: load-bench [--channels N] [--seconds S] [--plugin harkwire|speakwire|both] [--utterance-ms MS]
//                   [--ramp-ms MS] [--latency-ms MS] [--jitter-ms MS] [--cloud-threads N] [--save-waveform]
//                   [--log-priority N]
//   --channels N      channels per plug-in (default 100)
//   --seconds S       how long each plug-in is driven (default 20); requests in flight then finish
//   --plugin P        which plug-in to run (default both, one after the other, so that CPU and memory
//                     are each plug-in's own)
//   --utterance-ms    audio per RECOGNIZE and per SPEAK (default 2000)
//   --ramp-ms         the channels start spread over this time (default 2000)
//   --latency-ms MS   round trip to the service (default 0): every WebSocket message waits MS/2 in each
//                     direction, and the token answer and each WebSocket handshake come 3 round trips
//                     late (TCP, TLS, then the request or the upgrade)
//   --jitter-ms MS    each of those delays gets a random 0..MS more (messages keep their order)
//   --cloud-threads N the fake cloud's I/O threads (default 4): a real service spreads its connections
//                     over many machines, so the fake must not be what limits the plug-in; one thread
//                     doing every TLS handshake and message of 1000 channels is, and four still leave
//                     half of an 8-core machine to the plug-in, the host and the drivers
//   --save-waveform   let both plug-ins save waveforms (off by default)
//   --log-priority N  keep log records of priority N and more severe (default 4, warnings)
//
// Each channel repeats one request after the other: RECOGNIZE with 8 kHz speech frames queued at
// IN-PROGRESS (the fake answers VOICE_START at the first audio and the result once all audio arrived),
// or SPEAK (the fake streams the audio in real time, then END). The host's one media thread calls every
// channel's stream every 10 ms; its frame observer times each write_frame and read_frame, and its tick
// observer each tick (the calls of all channels in turn).
//
// The last line printed is one JSON object with every figure, for comparing runs.
//
// Exit status: 0 when no frame was lost and no request failed, 1 otherwise, 2 for a usage error.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "fake_cloud.h"
#include "mrcp_host.h"
#include "recog_script.h"

namespace {

typedef std::chrono::steady_clock clock_type;

const int k_wait_ms = 10000;        // bound on any single wait of a driver for its request
const int k_close_wait_ms = 600000; // a close waits behind every request the plug-in still has queued
const size_t k_frame_bytes = 160;   // 10 ms at 8000 Hz, 16-bit

long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now().time_since_epoch()).count();
}

struct options {
    int channels = 100;
    int seconds = 20;
    std::string plugin = "both";
    int utterance_ms = 2000;
    int ramp_ms = 2000;
    int latency_ms = 0;
    int jitter_ms = 0;
    int cloud_threads = 4;
    bool save_waveform = false;
    int log_priority = APT_PRIO_WARNING;
};

// ---- figures ----

struct samples {
    std::vector<long long> values;  // nanoseconds
    void add(long long v) { values.push_back(v); }
    void merge(const samples& other) { values.insert(values.end(), other.values.begin(), other.values.end()); }
};

std::string us(long long ns)
{
    char text[32];
    if (ns >= 10000000)
        snprintf(text, sizeof(text), "%.1f ms", ns / 1e6);
    else if (ns >= 1000000)
        snprintf(text, sizeof(text), "%.2f ms", ns / 1e6);
    else
        snprintf(text, sizeof(text), "%.1f us", ns / 1e3);
    return text;
}

struct summary {
    size_t n = 0;
    long long median = 0, p99 = 0, max = 0;  // nanoseconds
};

summary summarize(samples s)
{
    summary out;
    if (s.values.empty())
        return out;
    std::sort(s.values.begin(), s.values.end());
    out.n = s.values.size();
    out.median = s.values[out.n / 2];
    out.p99 = s.values[std::min(out.n - 1, (size_t)ceil(out.n * 0.99) - 1)];
    out.max = s.values.back();
    return out;
}

// "median X, p99 Y, max Z (n=N)"
std::string spread(const summary& s, bool with_max = true)
{
    if (!s.n)
        return "no samples";
    std::string out = "median " + us(s.median) + ", p99 " + us(s.p99);
    if (with_max)
        out += ", max " + us(s.max);
    return out + " (n=" + std::to_string(s.n) + ")";
}

// The figures of one run as JSON members, in the order they were added.
class json_object {
public:
    void add(const std::string& key, const std::string& raw)
    {
        m_text += (m_text.empty() ? "" : ",") + std::string("\"") + key + "\":" + raw;
    }
    void add(const std::string& key, long long v) { add(key, std::to_string(v)); }
    void add(const std::string& key, double v)
    {
        char text[64];
        snprintf(text, sizeof(text), "%.6g", v);
        add(key, std::string(text));
    }
    void add_text(const std::string& key, const std::string& v)
    {
        std::string quoted = "\"";
        for (char c : v) {
            if (c == '"' || c == '\\')
                quoted += '\\';
            if ((unsigned char)c >= 0x20)
                quoted += c;
        }
        add(key, quoted + "\"");
    }
    void add(const std::string& key, const summary& s)
    {
        json_object o;
        o.add("n", (long long)s.n);
        o.add("median_ns", s.median);
        o.add("p99_ns", s.p99);
        o.add("max_ns", s.max);
        add(key, o.text());
    }
    std::string text() const { return "{" + m_text + "}"; }

private:
    std::string m_text;
};

double process_cpu_s()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU time of the threads that are not the plug-in's: by name the host's media thread, by thread id the
// drivers and the main thread of this program (threads inherit names, so a plug-in thread started from a
// driver carries the driver's name). The kernel's per-thread run time (/proc/self/task/*/schedstat,
// nanoseconds) of each of them, summed.
const char* const k_not_plugin_threads[] = {"host-media"};

std::mutex g_bench_tids_mutex;
std::vector<std::string> g_bench_tids;  // drivers and the main thread

void count_as_bench_thread()
{
    std::lock_guard<std::mutex> lock(g_bench_tids_mutex);
    g_bench_tids.push_back(std::to_string((long)syscall(SYS_gettid)));
}

double other_threads_cpu_s()
{
    std::vector<std::string> tids;
    {
        std::lock_guard<std::mutex> lock(g_bench_tids_mutex);
        tids = g_bench_tids;
    }
    double total = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string name;
        std::ifstream comm(task + "/comm");
        std::getline(comm, name);
        bool other = std::find(tids.begin(), tids.end(), std::string(e->d_name)) != tids.end();
        for (const char* n : k_not_plugin_threads)
            other = other || name == n;
        if (!other)
            continue;
        std::ifstream stat(task + "/schedstat");
        unsigned long long run_ns = 0;
        if (stat >> run_ns)
            total += run_ns / 1e9;
    }
    closedir(dir);
    return total;
}

// ---- per channel ----

// What the fake's process and this one both touch, per channel, in memory both map: atomics only.
const size_t k_start_samples = 1024;  // START commands timed per channel; more are counted, not timed
struct fake_side {
    std::atomic<long long> request_sent{0};      // ns on the steady clock: the driver
    std::atomic<long long> voice_start_sent{0};  // the fake
    std::atomic<long long> result_sent{0};       // RESULT (recognition) or END (synthesis): the fake
    std::atomic<unsigned long long> service_bytes{0};  // audio the service received or sent: the fake
    std::atomic<unsigned> starts{0};             // START commands at the service: the fake
    long long start_delay[k_start_samples];      // request sent -> START at the service, read once it ended
};
static_assert(std::atomic<long long>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free,
              "the fake's process shares these without a lock");

// Written by one channel's threads (driver, media, plug-in callbacks); the sample vectors each have a
// single writer thread and are read once the run is over.
struct channel_stats {
    fake_side* fake = nullptr;                 // timestamps handing over (0: none), shared with the fake
    // media thread
    samples frame_cost;
    std::atomic<long long> call_ns{0};         // every call's time added up, read by the main thread meanwhile
    size_t slow_calls = 0;                     // calls of 1 ms or more, and what happened inside them
    size_t slow_waited = 0;                    // the thread blocked (a lock, I/O)
    size_t slow_preempted = 0;                 // the scheduler ran something else
    size_t media_audio_bytes = 0;              // audio written (recognition) or played (synthesis)
    // plug-in threads (one event at a time per channel)
    samples reply_to_event;                    // RESULT -> RECOGNITION-COMPLETE, END -> SPEAK-COMPLETE
    samples voice_to_event;                    // VOICE_START -> START-OF-INPUT
    samples to_in_progress;                    // request sent -> IN-PROGRESS
    // driver
    size_t completed = 0;
    size_t errors = 0;
    std::string first_error;
};

bool all_zero(const void* data, size_t size)
{
    const char* p = (const char*)data;
    for (size_t i = 0; i < size; ++i)
        if (p[i])
            return false;
    return true;
}

size_t nonzero_bytes(const void* data, size_t size)
{
    const char* p = (const char*)data;
    size_t n = 0;
    for (size_t i = 0; i < size; ++i)
        n += p[i] != 0;
    return n;
}

// Speech without a zero sample (so no frame is skipped as silence): a tone with an offset.
std::vector<char> speech(size_t frames)
{
    std::vector<char> pcm(frames * k_frame_bytes);
    for (size_t i = 0; i < pcm.size() / 2; ++i) {
        int16_t v = (int16_t)(300 + lround(4000.0 * sin(2.0 * M_PI * (double)i / 20.0)));
        pcm[2 * i] = (char)(v & 0xff);
        pcm[2 * i + 1] = (char)((v >> 8) & 0xff);
    }
    return pcm;
}

// Synthesized audio without a zero byte, so that played audio can be told from silence.
std::string synth_audio(size_t bytes)
{
    std::string audio(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i)
        audio[i] = (char)(1 + (i * 37) % 251);
    return audio;
}

// ---- the fake service's behaviours ----

int channel_index_from(const std::string& text, const std::string& prefix)
{
    size_t pos = text.find(prefix);
    return pos == std::string::npos ? -1 : atoi(text.c_str() + pos + prefix.size());
}

void add_start(fake_side* ch)
{
    long long delay = now_ns() - ch->request_sent.load();
    unsigned k = ch->starts.fetch_add(1);
    if (k < k_start_samples)
        ch->start_delay[k] = delay;
}

fakecloud::behaviour_factory recog_factory(fake_side* sides, size_t count, size_t audio_bytes)
{
    return [sides, count, audio_bytes](const fakecloud::ws_record&) {
        struct state {
            fake_side* ch = nullptr;
            size_t bytes = 0;
            bool done = false;
        };
        auto st = std::make_shared<state>();
        fakecloud::behaviour b;
        b.on_message = [sides, count, audio_bytes, st](fakecloud::session& s, const fakecloud::ws_message& m) {
            if (!m.binary) {
                if (st->ch || m.data.find("\"START\"") == std::string::npos)
                    return;
                int index = channel_index_from(fakecloud::recog_property(m.data), "_8k_bench");
                if (index < 0 || index >= (int)count)
                    return;
                st->ch = &sides[index];
                add_start(st->ch);
                s.send_text(fakecloud::recog_reply_start());
                return;
            }
            if (!st->ch || st->done)
                return;
            if (st->bytes == 0) {
                st->ch->voice_start_sent = now_ns();
                s.send_text(fakecloud::recog_reply_event("VOICE_START"));
            }
            st->bytes += m.data.size();
            st->ch->service_bytes += m.data.size();
            if (st->bytes >= audio_bytes) {
                st->done = true;
                fakecloud::recog_segment seg;
                seg.end_time = 1200;
                seg.score = 0.5;
                seg.text = "bench";
                s.send_text(fakecloud::recog_reply_event("VOICE_END"));
                st->ch->result_sent = now_ns();
                s.send_text(fakecloud::recog_reply_result({seg}));
            }
        };
        return b;
    };
}

// Real-time synthesis: "START", then 20 ms chunks on an absolute schedule, then END "NORMAL".
fakecloud::behaviour_factory synth_factory(fake_side* sides, size_t count, size_t audio_bytes)
{
    return [sides, count, audio_bytes](const fakecloud::ws_record&) {
        struct state {
            fake_side* ch = nullptr;
            std::string audio;
            size_t sent = 0;
            long long start_ns = 0;
        };
        auto st = std::make_shared<state>();
        const size_t chunk = 320;
        const long long chunk_ns = 20000000;
        auto send_next = std::make_shared<std::function<void(fakecloud::session&)>>();
        std::weak_ptr<std::function<void(fakecloud::session&)>> weak = send_next;
        *send_next = [st, chunk, chunk_ns, weak](fakecloud::session& s) {
            size_t n = std::min(chunk, st->audio.size() - st->sent);
            if (!s.send_binary(st->audio.substr(st->sent, n)))
                return;
            st->sent += n;
            st->ch->service_bytes += n;
            if (st->sent == st->audio.size()) {
                st->ch->result_sent = now_ns();
                s.send_text("{\"reason\":\"NORMAL\",\"resp_type\":\"END\",\"trace_id\":\"bench\"}\n");
                return;
            }
            long long due = st->start_ns + (long long)(st->sent / chunk) * chunk_ns;
            int delay_ms = (int)std::max(0LL, (due - now_ns()) / 1000000);
            auto next = weak.lock();
            if (next)
                s.after(delay_ms, *next);
        };
        fakecloud::behaviour b;
        b.on_message = [sides, count, audio_bytes, st, send_next](fakecloud::session& s, const fakecloud::ws_message& m) {
            if (m.binary || st->ch || m.data.find("\"START\"") == std::string::npos)
                return;
            int index = channel_index_from(m.data, "bench channel ");
            if (index < 0 || index >= (int)count)
                return;
            st->ch = &sides[index];
            add_start(st->ch);
            st->audio = synth_audio(audio_bytes);
            st->start_ns = now_ns();
            s.send_text("{\"resp_type\":\"START\",\"trace_id\":\"bench\"}\n");
            (*send_next)(s);
        };
        return b;
    };
}

// ---- the fake cloud's process ----

enum kind_e { recognizer, synthesizer };

// The fake's process talks on fixed descriptors: commands in, answers out, and the shared memory.
const int k_child_commands = 3, k_child_answers = 4, k_child_shared = 5;

bool read_line(int fd, std::string* line)
{
    line->clear();
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        *line += c;
    }
}

bool write_line(int fd, const std::string& line)
{
    std::string text = line + "\n";
    return write(fd, text.data(), text.size()) == (ssize_t)text.size();
}

fake_side* map_sides(int fd, size_t count)
{
    void* p = mmap(nullptr, count * sizeof(fake_side), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<fake_side*>(p);
}

// load-bench --fake-child KIND CHANNELS THREADS LATENCY JITTER AUDIO_BYTES: serves until its commands end.
// Answers "TOKEN_PORT WS_PORT" once listening; then "token" (has a token been fetched?) with 1 or 0.
int fake_child_main(char** args)
{
    const kind_e kind = (kind_e)atoi(args[0]);
    const size_t count = (size_t)atol(args[1]);
    const int threads = atoi(args[2]), latency_ms = atoi(args[3]), jitter_ms = atoi(args[4]);
    const size_t audio_bytes = (size_t)atol(args[5]);
    fake_side* sides = map_sides(k_child_shared, count);
    if (!sides)
        return 1;
    std::unique_ptr<fakecloud::fake_cloud> cloud;
    try {
        cloud.reset(new fakecloud::fake_cloud(0, 0, (unsigned)threads));
    } catch (const std::exception& e) {
        write_line(k_child_answers, std::string("error ") + e.what());
        return 1;
    }
    // A round trip of latency_ms: half of it each way, three of them before a token answer or an open.
    fakecloud::network_delay net;
    net.message_ms = latency_ms / 2;
    net.token_ms = 3 * latency_ms;
    net.handshake_ms = 3 * latency_ms;
    net.jitter_ms = jitter_ms;
    cloud->set_network_delay(net);
    cloud->set_behaviour_factory(kind == recognizer ? recog_factory(sides, count, audio_bytes)
                                                    : synth_factory(sides, count, audio_bytes));
    write_line(k_child_answers, std::to_string(cloud->token_port()) + " " + std::to_string(cloud->ws_port()));
    std::string command;
    while (read_line(k_child_commands, &command))
        if (command == "token")
            write_line(k_child_answers,
                       cloud->wait_for_token_replies(1, std::chrono::milliseconds(k_wait_ms)) ? "1" : "0");
    cloud.reset();  // every connection closed and every figure written before this process ends
    return 0;
}

// The parent's handle on the fake's process.
class fake_process {
public:
    ~fake_process() { stop(); }

    bool start(kind_e kind, const options& opt, size_t audio_bytes, std::string* error)
    {
        m_count = (size_t)opt.channels;
        int shared = memfd_create("load-bench", MFD_CLOEXEC);
        if (shared < 0 || ftruncate(shared, (off_t)(m_count * sizeof(fake_side))) != 0 ||
            !(m_sides = map_sides(shared, m_count))) {
            *error = "shared memory for the fake failed";
            if (shared >= 0)
                close(shared);
            return false;
        }
        for (size_t i = 0; i < m_count; ++i)
            new (&m_sides[i]) fake_side();
        int commands[2], answers[2];
        if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) {
            *error = "pipes to the fake failed";
            close(shared);
            return false;
        }
        std::vector<std::string> args = {"load-bench", "--fake-child", std::to_string((int)kind),
                                         std::to_string(m_count), std::to_string(opt.cloud_threads),
                                         std::to_string(opt.latency_ms), std::to_string(opt.jitter_ms),
                                         std::to_string(audio_bytes)};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        // Moved above the child's numbers first: a descriptor already at one of them would be overwritten
        // by another's move (or keep its close-on-exec when moved onto itself).
        for (int* fd : {&commands[0], &answers[1], &shared}) {
            int high = fcntl(*fd, F_DUPFD_CLOEXEC, 10);
            close(*fd);
            *fd = high;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, commands[0], k_child_commands);
        posix_spawn_file_actions_adddup2(&actions, answers[1], k_child_answers);
        posix_spawn_file_actions_adddup2(&actions, shared, k_child_shared);
        int rc = posix_spawn(&m_pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(commands[0]);
        close(answers[1]);
        close(shared);
        m_commands = commands[1];
        m_answers = answers[0];
        if (rc != 0) {
            m_pid = -1;
            *error = "cannot start the fake's process";
            return false;
        }
        std::string ports;
        unsigned token_port = 0, ws_port = 0;
        if (!read_line(m_answers, &ports) || sscanf(ports.c_str(), "%u %u", &token_port, &ws_port) != 2) {
            *error = "the fake's process did not start: " + ports;
            return false;
        }
        m_token_url = "https://127.0.0.1:" + std::to_string(token_port) + "/v3/auth/tokens";
        m_ws_base = "wss://127.0.0.1:" + std::to_string(ws_port);
        return true;
    }

    bool token_fetched()
    {
        std::string answer;
        return write_line(m_commands, "token") && read_line(m_answers, &answer) && answer == "1";
    }

    // Closes every connection and waits for the process: the shared figures are final then. False when
    // the process failed (a sanitizer's report ends it with a failure too).
    bool stop()
    {
        if (m_commands >= 0)
            close(m_commands);
        m_commands = -1;
        bool ok = true;
        if (m_pid > 0) {
            int status = 0;
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        m_pid = -1;
        if (m_answers >= 0)
            close(m_answers);
        m_answers = -1;
        return ok;
    }

    fake_side* side(size_t i) const { return &m_sides[i]; }
    std::string token_url() const { return m_token_url; }
    std::string ws_url(const std::string& path) const { return m_ws_base + path; }

private:
    pid_t m_pid = -1;
    int m_commands = -1, m_answers = -1;
    fake_side* m_sides = nullptr;  // mapped for the rest of the program: a few MiB at most
    size_t m_count = 0;
    std::string m_token_url, m_ws_base;
};

// ---- one plug-in's run ----

struct phase {
    kind_e kind;
    std::string name;
    std::string so_path;
    const options& opt;
    std::string root;

    fake_process cloud;
    std::unique_ptr<mrcphost::plugin> plugin;
    std::vector<std::unique_ptr<channel_stats>> stats;
    // The media thread's ticks (written by it, read once it has ended).
    samples tick_cost;
    size_t overruns = 0, overruns_blocked = 0, overruns_preempted = 0;

    phase(kind_e k, const std::string& n, const std::string& so, const options& o) : kind(k), name(n), so_path(so), opt(o) {}

    size_t audio_bytes() const { return (size_t)opt.utterance_ms / 10 * k_frame_bytes; }

    void write_config()
    {
        if (kind == recognizer) {
            // The shipped sample's settings, with the fake cloud's endpoints.
            e2e::harkwire_conf h;
            h.init_path = cloud.ws_url("/asr/sentence-stream");
            h.token_url = cloud.token_url();
            h.save_waveform = h.save_navi_waveform = opt.save_waveform ? 1 : 0;
            h.wave_dir = root + "/wave";
            h.navi_dir = root + "/navi";
            std::ofstream(root + "/conf/unimrcprecog.xml") << e2e::harkwire_sample_conf(so_path, h);
        } else {
            e2e::speakwire_conf s;
            s.init_path = cloud.ws_url("/tts");
            s.token_url = cloud.token_url();
            s.wave_dir = root + "/wave";
            s.save_waveform = opt.save_waveform;
            std::ofstream(root + "/conf/synthplugin.xml") << e2e::speakwire_conf_xml(s);
        }
    }

    bool start(std::string* error)
    {
        char tmpl[] = "/tmp/load_bench_XXXXXX";
        if (!mkdtemp(tmpl)) {
            *error = "mkdtemp failed";
            return false;
        }
        root = tmpl;
        for (const char* d : {"/bin", "/conf", "/data", "/wave", "/navi"})
            mkdir((root + d).c_str(), 0755);
        // The token file goes to ../conf relative to the working directory.
        if (chdir((root + "/bin").c_str()) != 0) {
            *error = "chdir failed";
            return false;
        }
        if (!cloud.start(kind, opt, audio_bytes(), error))
            return false;
        for (int i = 0; i < opt.channels; ++i) {
            stats.emplace_back(new channel_stats());
            stats.back()->fake = cloud.side((size_t)i);
        }
        write_config();
        mrcphost::plugin_options o;
        o.path = so_path;
        o.conf_dir = root + "/conf";
        o.data_dir = root + "/data";
        plugin.reset(new mrcphost::plugin(o));
        if (!plugin->load(error))
            return false;
        if (!plugin->open()) {
            *error = "engine open failed";
            return false;
        }
        if (!cloud.token_fetched()) {
            *error = "no token fetched";
            return false;
        }
        return true;
    }

    void fail(channel_stats& st, const std::string& what)
    {
        st.errors++;
        if (st.first_error.empty())
            st.first_error = what;
    }

    std::string grammar(int index) const
    {
        return "<grammar mode=\"voice\"><rule id=\"service\"><one-of><item><ruleref uri=\"#speech-to-text\"/></item>"
               "</one-of></rule><rule id=\"domain\"><one-of><item><ruleref uri=\"#bench" +
               std::to_string(index) + "\"/></item></one-of></rule></grammar>";
    }

    // One channel's requests, one after the other, until the deadline.
    void drive(mrcphost::channel* ch, int index, clock_type::time_point deadline)
    {
        channel_stats& st = *stats[index];
        const std::vector<char> audio = speech(audio_bytes() / k_frame_bytes);
        const int complete_wait_ms = opt.utterance_ms + k_wait_ms;
        while (clock_type::now() < deadline) {
            mrcphost::message_record r;
            st.fake->request_sent = now_ns();
            mrcp_request_id id;
            if (kind == recognizer)
                id = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g-bench>"},
                              grammar(index));
            else
                id = ch->send("SPEAK", {"Content-Type: text/plain"}, "bench channel " + std::to_string(index));
            if (!id || !ch->wait_response(id, k_wait_ms, &r)) {
                fail(st, "no response");
                break;
            }
            if (r.status_code != 200 || r.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
                fail(st, r.line());
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                continue;
            }
            if (kind == recognizer)
                ch->queue_audio(audio);
            const char* event = kind == recognizer ? "RECOGNITION-COMPLETE" : "SPEAK-COMPLETE";
            if (!ch->wait_event(event, complete_wait_ms, &r)) {
                fail(st, std::string("no ") + event);
                break;
            }
            if (r.completion_cause != 0)
                fail(st, r.line());
            else
                st.completed++;
        }
    }

    // Timestamps of the events, taken on the plug-in's thread as they arrive.
    void listen(mrcphost::channel* ch, int index)
    {
        channel_stats* st = stats[index].get();
        ch->set_listener([st](const mrcphost::message_record& m) {
            long long t = now_ns();
            if (m.is_response() && m.request_state == MRCP_REQUEST_STATE_INPROGRESS)
                st->to_in_progress.add(t - st->fake->request_sent.load());
            else if (m.is_event() && m.name == "START-OF-INPUT")
                st->voice_to_event.add(t - st->fake->voice_start_sent.load());
            else if (m.is_event() && (m.name == "RECOGNITION-COMPLETE" || m.name == "SPEAK-COMPLETE") &&
                     st->fake->result_sent.load())
                st->reply_to_event.add(t - st->fake->result_sent.exchange(0));
        });
        const bool write = kind == recognizer;
        ch->set_keep_received_audio(false);
        ch->set_frame_observer([st, write](const mrcphost::channel::media_call& call) {
            if (call.write != write)
                return;
            st->frame_cost.add(call.took.count());
            st->call_ns.store(st->call_ns.load(std::memory_order_relaxed) + call.took.count(),
                              std::memory_order_relaxed);
            if (call.took >= std::chrono::milliseconds(1)) {
                st->slow_calls++;
                if (call.waits)
                    st->slow_waited++;
                if (call.preemptions)
                    st->slow_preempted++;
            }
            const mpf_frame_t& frame = *call.frame;
            const mpf_codec_frame_t& f = frame.codec_frame;
            if (call.write) {
                if (f.buffer && !all_zero(f.buffer, f.size))
                    st->media_audio_bytes += f.size;
            } else if ((frame.type & MEDIA_FRAME_TYPE_AUDIO) && f.buffer) {
                st->media_audio_bytes += nonzero_bytes(f.buffer, f.size);
            }
        });
    }

    static void print_slow(const channel_stats& all)
    {
        printf("    calls of 1 ms or more: %zu (%zu blocked inside the call, %zu preempted)\n", all.slow_calls,
               all.slow_waited, all.slow_preempted);
    }

    std::string json;  // the figures, once run

    double stream_calls_s() const
    {
        long long ns = 0;
        for (const auto& st : stats)
            ns += st->call_ns.load(std::memory_order_relaxed);
        return ns / 1e9;
    }

    bool run()
    {
        std::string error;
        printf("%s: %d channels, %d s, 8000 Hz, 10 ms frames, %d ms of audio per request, round trip %d ms "
               "(jitter %d ms), fake cloud on %d threads\n",
               name.c_str(), opt.channels, opt.seconds, opt.utterance_ms, opt.latency_ms, opt.jitter_ms,
               opt.cloud_threads);
        fflush(stdout);
        mrcphost::log_capture::instance().clear();
        if (!start(&error)) {
            printf("  start failed: %s\n", error.c_str());
            json_object o;
            o.add_text("start_failed", error);
            json = o.text();
            return false;
        }
        long rss_before = e2e::rss_kib();
        mrcphost::media_engine::instance().set_tick_observer([this](const mrcphost::media_engine::tick& t) {
            tick_cost.add(t.took.count());
            if (t.took > std::chrono::milliseconds(CODEC_FRAME_TIME_BASE)) {
                overruns++;
                if (t.waits)
                    overruns_blocked++;
                if (t.preemptions)
                    overruns_preempted++;
            }
        });

        std::vector<mrcphost::channel*> channels;
        size_t open_failures = 0;
        for (int i = 0; i < opt.channels; ++i) {
            mrcphost::channel* ch = plugin->create_channel(name + "-" + std::to_string(i));
            if (!ch || !ch->set_codec(8000)) {
                open_failures++;
                channels.push_back(nullptr);
                continue;
            }
            listen(ch, i);
            if (!ch->open(k_wait_ms))
                open_failures++;
            channels.push_back(ch);
        }

        auto begin = clock_type::now();
        auto deadline = begin + std::chrono::milliseconds(opt.ramp_ms) + std::chrono::seconds(opt.seconds);
        std::vector<std::thread> drivers;
        for (int i = 0; i < opt.channels; ++i) {
            if (!channels[i])
                continue;
            auto at = begin + std::chrono::milliseconds((long long)opt.ramp_ms * i / opt.channels);
            // Each driver closes its channel when done: sessions end at once, as they do in a server.
            drivers.emplace_back([this, &channels, i, at, deadline] {
                count_as_bench_thread();
                std::this_thread::sleep_until(at);
                drive(channels[i], i, deadline);
                if (!channels[i]->close(k_close_wait_ms))
                    fail(*stats[i], "close not answered");
            });
        }

        // CPU over the steady part (every channel started), memory once every channel is at work.
        std::this_thread::sleep_until(begin + std::chrono::milliseconds(opt.ramp_ms));
        double cpu0 = process_cpu_s(), other0 = other_threads_cpu_s(), calls0 = stream_calls_s();
        auto steady0 = clock_type::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(2000, opt.seconds * 1000 / 2)));
        long rss_during = e2e::rss_kib();
        std::this_thread::sleep_until(deadline);
        double cpu1 = process_cpu_s(), other1 = other_threads_cpu_s(), calls1 = stream_calls_s();
        auto steady1 = clock_type::now();

        for (std::thread& t : drivers)
            t.join();
        size_t log_errors = mrcphost::log_capture::instance().count("", APT_PRIO_ERROR);
        std::string first_log_error;
        for (const mrcphost::log_record& r : mrcphost::log_capture::instance().records())
            if (r.priority <= APT_PRIO_ERROR && first_log_error.empty())
                first_log_error = r.text;
        // Unloaded and stopped first: every thread that wrote a figure has ended.
        plugin.reset();  // the last stream is gone, and with it the media thread
        const bool fake_ok = cloud.stop();
        mrcphost::media_engine::instance().set_tick_observer(nullptr);

        // Figures.
        channel_stats all;
        samples to_service_start_ns;
        size_t service_bytes = 0, untimed_starts = 0;
        for (auto& st : stats) {
            all.frame_cost.merge(st->frame_cost);
            const unsigned starts = st->fake->starts.load();
            for (unsigned k = 0; k < std::min<size_t>(starts, k_start_samples); ++k)
                to_service_start_ns.add(st->fake->start_delay[k]);
            untimed_starts += starts - std::min<size_t>(starts, k_start_samples);
            all.to_in_progress.merge(st->to_in_progress);
            all.reply_to_event.merge(st->reply_to_event);
            all.voice_to_event.merge(st->voice_to_event);
            all.media_audio_bytes += st->media_audio_bytes;
            all.slow_calls += st->slow_calls;
            all.slow_waited += st->slow_waited;
            all.slow_preempted += st->slow_preempted;
            service_bytes += st->fake->service_bytes.load();
            all.completed += st->completed;
            all.errors += st->errors;
            if (all.first_error.empty())
                all.first_error = st->first_error;
        }
        double minutes = std::chrono::duration<double>(steady1 - steady0).count() / 60.0;
        double cpu = cpu1 - cpu0, other = other1 - other0, calls = calls1 - calls0;
        const summary ticks = summarize(tick_cost);
        printf("  media thread ticks: %s\n", spread(ticks).c_str());
        printf("    ticks over 10 ms: %zu (%zu blocked inside, %zu preempted)\n", overruns, overruns_blocked,
               overruns_preempted);
        const summary frame_cost = summarize(all.frame_cost), to_service_start = summarize(to_service_start_ns),
                      to_in_progress = summarize(all.to_in_progress), reply_to_event = summarize(all.reply_to_event),
                      voice_to_event = summarize(all.voice_to_event);

        size_t media_frames, service_frames;
        long long lost;
        if (kind == recognizer) {
            media_frames = all.media_audio_bytes / k_frame_bytes;
            service_frames = service_bytes / k_frame_bytes;
            lost = (long long)media_frames - (long long)service_frames;
            printf("  write_frame on the media thread: %s\n", spread(frame_cost).c_str());
            print_slow(all);
            printf("  frames: written with speech %zu, received by the fake %zu, lost %lld\n", media_frames,
                   service_frames, lost);
            printf("  RESULT sent -> RECOGNITION-COMPLETE: %s\n", spread(reply_to_event, false).c_str());
            printf("  VOICE_START sent -> START-OF-INPUT: %s\n", spread(voice_to_event, false).c_str());
            printf("  connect: RECOGNIZE -> START at the service: %s\n", spread(to_service_start).c_str());
            printf("  connect: RECOGNIZE -> IN-PROGRESS: %s\n", spread(to_in_progress).c_str());
        } else {
            service_frames = service_bytes / k_frame_bytes;
            media_frames = all.media_audio_bytes / k_frame_bytes;
            lost = (long long)service_bytes - (long long)all.media_audio_bytes;
            printf("  read_frame on the media thread: %s\n", spread(frame_cost).c_str());
            print_slow(all);
            printf("  frames: sent by the fake %zu, played %zu, lost %lld bytes\n", service_frames, media_frames,
                   lost);
            printf("  END sent -> SPEAK-COMPLETE: %s\n", spread(reply_to_event, false).c_str());
            printf("  connect: SPEAK -> START at the service: %s\n", spread(to_service_start).c_str());
            printf("  SPEAK -> IN-PROGRESS: %s\n", spread(to_in_progress).c_str());
        }
        printf("  requests completed: %zu\n", all.completed);
        int n = opt.channels;
        double cpu_per_channel_minute = minutes > 0 ? (cpu - other + calls) / (n * minutes) : 0.0;
        printf("  CPU: %.3f s per channel-minute (process %.2f s, less %.2f s of the host's media thread and the "
               "drivers, plus %.2f s inside the stream calls, over %.1f s)\n",
               cpu_per_channel_minute, cpu, other, calls, minutes * 60);
        long grown = rss_during - rss_before;
        printf("  memory: %.1f KiB per channel (VmRSS %ld -> %ld KiB)\n", (double)grown / n, rss_before, rss_during);
        if (untimed_starts)
            printf("  (%zu START commands beyond %zu per channel were not timed)\n", untimed_starts, k_start_samples);
        printf("  errors: %zu (request failures %zu, channel open failures %zu, error log records %zu)%s%s\n",
               all.errors + open_failures + log_errors, all.errors, open_failures, log_errors,
               all.first_error.empty() ? "" : "; first: ", all.first_error.c_str());
        if (!first_log_error.empty())
            printf("    first error log record: %s\n", first_log_error.c_str());
        if (!fake_ok)
            printf("  the fake cloud's process failed (see its output above)\n");
        fflush(stdout);

        json_object o;
        o.add("ticks", ticks);
        o.add("tick_overruns", (long long)overruns);
        o.add("tick_overruns_blocked", (long long)overruns_blocked);
        o.add("tick_overruns_preempted", (long long)overruns_preempted);
        o.add(kind == recognizer ? "write_frame" : "read_frame", frame_cost);
        o.add("slow_calls", (long long)all.slow_calls);
        o.add("slow_calls_blocked", (long long)all.slow_waited);
        o.add("slow_calls_preempted", (long long)all.slow_preempted);
        o.add("media_frames", (long long)media_frames);
        o.add("service_frames", (long long)service_frames);
        o.add(kind == recognizer ? "lost_frames" : "lost_bytes", lost);
        o.add(kind == recognizer ? "result_to_complete" : "end_to_complete", reply_to_event);
        if (kind == recognizer)
            o.add("voice_start_to_event", voice_to_event);
        o.add("request_to_service_start", to_service_start);
        o.add("request_to_in_progress", to_in_progress);
        o.add("completed", (long long)all.completed);
        o.add("cpu_s_per_channel_minute", cpu_per_channel_minute);
        o.add("cpu_process_s", cpu);
        o.add("cpu_not_plugin_s", other);
        o.add("stream_calls_s", calls);
        o.add("steady_s", minutes * 60);
        o.add("rss_kib_per_channel", (double)grown / n);
        o.add("request_failures", (long long)all.errors);
        o.add("open_failures", (long long)open_failures);
        o.add("error_log_records", (long long)log_errors);
        if (!all.first_error.empty())
            o.add_text("first_error", all.first_error);
        if (!first_log_error.empty())
            o.add_text("first_error_log_record", first_log_error);
        if (!fake_ok)
            o.add("fake_failed", (long long)1);
        json = o.text();

        if (chdir("/") != 0)
            perror("chdir");
        std::string cmd = "rm -rf '" + root + "'";
        (void)!system(cmd.c_str());
        return lost == 0 && all.errors == 0 && open_failures == 0 && log_errors == 0 && all.completed > 0 && fake_ok;
    }
};

int usage()
{
    fprintf(stderr,
            "usage: load-bench [--channels N] [--seconds S] [--plugin harkwire|speakwire|both]\n"
            "                  [--utterance-ms MS] [--ramp-ms MS] [--latency-ms MS] [--jitter-ms MS]\n"
            "                  [--cloud-threads N] [--save-waveform] [--log-priority N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 8 && std::string(argv[1]) == "--fake-child")
        return fake_child_main(argv + 2);
    options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto number = [&](int* out, int min) {
            if (i + 1 >= argc)
                return false;
            *out = atoi(argv[++i]);
            return *out >= min;
        };
        bool ok = true;
        if (a == "--channels")
            ok = number(&opt.channels, 1);
        else if (a == "--seconds")
            ok = number(&opt.seconds, 1);
        else if (a == "--utterance-ms")
            ok = number(&opt.utterance_ms, 10);
        else if (a == "--ramp-ms")
            ok = number(&opt.ramp_ms, 0);
        else if (a == "--latency-ms")
            ok = number(&opt.latency_ms, 0) && opt.latency_ms <= 60000;
        else if (a == "--jitter-ms")
            ok = number(&opt.jitter_ms, 0) && opt.jitter_ms <= 60000;
        else if (a == "--cloud-threads")
            ok = number(&opt.cloud_threads, 1) && opt.cloud_threads <= 64;
        else if (a == "--log-priority")
            ok = number(&opt.log_priority, 0) && opt.log_priority < APT_PRIO_COUNT;
        else if (a == "--save-waveform")
            opt.save_waveform = true;
        else if (a == "--plugin" && i + 1 < argc) {
            opt.plugin = argv[++i];
            ok = opt.plugin == "harkwire" || opt.plugin == "speakwire" || opt.plugin == "both";
        } else
            ok = false;
        if (!ok)
            return usage();
    }
    // Each channel has a driver thread and (speakwire) a speak task; four sockets per request (both ends).
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    mrcphost::log_capture::instance().set_quiet(true);
    mrcphost::log_capture::instance().set_priority((apt_log_priority_e)opt.log_priority);

    count_as_bench_thread();

    bool ok = true;
    json_object out;
    out.add("channels", (long long)opt.channels);
    out.add("seconds", (long long)opt.seconds);
    out.add("utterance_ms", (long long)opt.utterance_ms);
    out.add("latency_ms", (long long)opt.latency_ms);
    out.add("jitter_ms", (long long)opt.jitter_ms);
    out.add("cloud_threads", (long long)opt.cloud_threads);
    if (opt.plugin != "speakwire") {
        phase p(recognizer, "harkwire", HARKWIRE_PLUGIN_PATH, opt);
        ok = p.run() && ok;
        out.add("harkwire", p.json);
    }
    if (opt.plugin != "harkwire") {
        phase p(synthesizer, "speakwire", SPEAKWIRE_PLUGIN_PATH, opt);
        ok = p.run() && ok;
        out.add("speakwire", p.json);
    }
    out.add("ok", std::string(ok ? "true" : "false"));
    printf("%s\n", ok ? "result: no frame lost, no error" : "result: FAILED (lost frames or errors above)");
    printf("%s\n", out.text().c_str());
    return ok ? 0 : 1;
}
