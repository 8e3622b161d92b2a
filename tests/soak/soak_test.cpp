// Soak with faults: both plug-ins in one host, several channels each, recognitions and syntheses one
// after the other on every channel for a number of rounds, while the fake cloud answers at random (with a
// fixed seed) with refused, never finished or slow handshakes, dropped connections, malformed, failing and
// slow replies and token endpoint failures, and the host sends STOP, BARGE-IN-OCCURRED or closes the channel
// at random moments. The service is a network round trip away (with jitter), so that the connects of several
// channels overlap and STOPs and closes land while a connection is still opening. At the end every request
// must have had exactly one final answer, and no thread and no file descriptor may be left over; memory is
// left to LeakSanitizer in the sanitizer build.
//
//   soak_test [--rounds N] [--seed S] [--channels C] [--latency-ms MS] [--jitter-ms MS] [--verbose]
// The environment variables SOAK_ROUNDS and SOAK_SEED give the defaults of the first two.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "fake_cloud.h"
#include "mrcp_host.h"
#include "recog_script.h"
#include "synth_script.h"

namespace {

using fakecloud::recog_script;
using fakecloud::synth_script;
using fakecloud::ws_record;
using mrcphost::message_record;

const int k_answer_ms = 12000;      // bound for a response (a connect that is never answered takes 5 s)
const int k_complete_ms = 3000;     // how long a request may run before the host stops it
const int k_rounds_per_load = 4;    // rounds between an unload and a new load of both plug-ins
const size_t k_speech_frames = 60;  // audio queued for a recognition

struct options {
    int rounds = 8;
    unsigned seed = 20261209;
    int channels = 3;               // per plug-in
    int latency_ms = 40;            // round trip to the service: a handshake takes three of them
    int jitter_ms = 30;             // each delay a random 0..jitter_ms more
    bool verbose = false;
};

// ---------------------------------------------------------------------------------------------------------
// Findings and figures, from every thread.

std::mutex g_mutex;
std::vector<std::string> g_failures;
std::map<std::string, int> g_counts;

void fail(const std::string& what)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failures.push_back(what);
}

void count(const std::string& what)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_counts[what];
}

// A seeded generator that several threads may share.
class random_source {
public:
    explicit random_source(unsigned seed) : m_gen(seed) {}
    int below(int n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::uniform_int_distribution<int>(0, n - 1)(m_gen);
    }
    bool chance(int percent) { return below(100) < percent; }

private:
    std::mutex m_mutex;
    std::mt19937 m_gen;
};

// The open descriptors with what they point to, for the report of a leak.
std::vector<std::string> open_fds()
{
    std::vector<std::string> out;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[512] = {0};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) < 0)
            continue;
        out.push_back(std::string(e->d_name) + " -> " + target);
    }
    closedir(d);
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// The fake cloud's answers, chosen per connection.

const char* const k_malformed[] = {
    "{",
    "not json at all",
    "[1,2,3]",
    "{\"resp_type\":42}",
    "{\"resp_type\":\"RESULT\",\"trace_id\":\"t\",\"segments\":\"x\"}",
    "{\"resp_type\":\"RESULT\",\"segments\":[{\"result\":{\"text\":7}}]}",
    "\xff\xfe\x00garbage",
    "{\"resp_type\":\"ERROR\"}",
};
const int k_malformed_count = sizeof(k_malformed) / sizeof(k_malformed[0]);

// The connection goes without a close frame after ms, whatever its script does meanwhile.
fakecloud::behaviour dropped_after(fakecloud::behaviour b, int ms)
{
    auto open = b.on_open;
    b.on_open = [open, ms](fakecloud::session& s) {
        if (open)
            open(s);
        s.after(ms, [](fakecloud::session& later) { later.drop(); });
    };
    return b;
}

// Answers the first text message with 'reply' and then says nothing more.
fakecloud::behaviour answer_once(const std::string& reply)
{
    auto answered = std::make_shared<std::atomic<bool>>(false);
    fakecloud::behaviour b;
    b.on_message = [answered, reply](fakecloud::session& s, const fakecloud::ws_message& m) {
        if (!m.binary && !answered->exchange(true))
            s.send_text(reply);
    };
    return b;
}

fakecloud::behaviour recog_fault(random_source& rnd)
{
    const size_t audio = e2e::speech_pcm(k_speech_frames).size();
    recog_script s;
    switch (rnd.below(9)) {
    case 0:
        count("cloud: recognition answered");
        return fakecloud::recog_behaviour(fakecloud::recog_script_voice("soak words", audio / 2));
    case 1:
        count("cloud: slow recognition result");
        s.send_at_start(fakecloud::recog_reply_start(), rnd.below(600))
            .send_after_audio(audio / 2, fakecloud::recog_reply_result({{0, 900, 0.8, "slow words"}}),
                              300 + rnd.below(1500));
        return fakecloud::recog_behaviour(s);
    case 2:
        count("cloud: recognition dropped mid-stream");
        s.send_at_start(fakecloud::recog_reply_start()).drop_after_audio(1 + rnd.below((int)audio));
        return fakecloud::recog_behaviour(s);
    case 3:
        count("cloud: recognition dropped at a random moment");
        return dropped_after(fakecloud::recog_behaviour(fakecloud::recog_script_voice("x", audio)), rnd.below(800));
    case 4:
        count("cloud: malformed recognition reply");
        s.send_at_start(fakecloud::recog_reply_start())
            .send_after_audio(rnd.below((int)audio), k_malformed[rnd.below(k_malformed_count)]);
        return fakecloud::recog_behaviour(s);
    case 5:
        count("cloud: malformed first recognition reply");
        return answer_once(k_malformed[rnd.below(k_malformed_count)]);
    case 6:
        count("cloud: recognition error reply");
        s.send_at_start(fakecloud::recog_reply_start())
            .send_after_audio(rnd.below((int)audio), fakecloud::recog_reply_error("E42", rnd.chance(50)));
        return fakecloud::recog_behaviour(s);
    case 7:
        count("cloud: recognition closed by the service");
        s.send_at_start(fakecloud::recog_reply_start()).close_after_audio(rnd.below((int)audio), 1011);
        return fakecloud::recog_behaviour(s);
    default:
        count("cloud: recognition never answered");
        return fakecloud::recog_behaviour(fakecloud::recog_script_silent());
    }
}

fakecloud::behaviour synth_fault(random_source& rnd)
{
    synth_script s;
    s.audio = fakecloud::synth_audio_pattern(1600 + 320 * rnd.below(20), 1 + rnd.below(200));
    s.chunk_bytes = 320;
    switch (rnd.below(9)) {
    case 0:
        count("cloud: synthesis answered");
        break;
    case 1:
        count("cloud: slow synthesis");
        s.chunk_interval_ms = 10 + rnd.below(60);
        break;
    case 2:
        count("cloud: synthesis error reply");
        s.end = rnd.chance(50) ? synth_script::error : synth_script::fatal_error;
        break;
    case 3:
        count("cloud: synthesis dropped mid-stream");
        s.chunk_interval_ms = 20;
        return dropped_after(fakecloud::synth_behaviour(s), rnd.below(600));
    case 4:
        count("cloud: synthesis closed by the service");
        s.end = rnd.chance(50) ? synth_script::close_no_end : synth_script::drop;
        break;
    case 5:
        count("cloud: synthesis never answered");
        s.reply_start = false;
        break;
    case 6:
        count("cloud: malformed synthesis reply");
        return answer_once(k_malformed[rnd.below(k_malformed_count)]);
    case 7:
        count("cloud: synthesis silent after its audio");
        s.end = synth_script::silent;
        s.late_audio = fakecloud::synth_audio_pattern(640, 250);
        break;
    default:
        count("cloud: synthesis with an odd end");
        s.end = rnd.chance(50) ? synth_script::end_reason : synth_script::end_without_reason;
        s.reason = "ABORTED";
        break;
    }
    return fakecloud::synth_behaviour(s);
}

// Handshake faults for whichever connection comes next.
void queue_handshake_fault(fakecloud::fake_cloud& cloud, random_source& rnd)
{
    fakecloud::ws_handshake hs;
    int kind = rnd.below(100);
    if (kind < 35) {
        hs.mode = fakecloud::ws_handshake::refuse;
        hs.refuse_status = rnd.chance(50) ? 403 : 503;
        count("cloud: handshake refused");
    } else if (kind < 65) {
        hs.mode = fakecloud::ws_handshake::hang_up;
        count("cloud: connection hung up at once");
    } else if (kind < 92) {
        hs.mode = fakecloud::ws_handshake::accept;
        hs.delay_ms = 200 + rnd.below(1500);
        count("cloud: slow handshake");
    } else {
        hs.mode = fakecloud::ws_handshake::never_answer;
        count("cloud: handshake never finished");
    }
    cloud.queue_handshake(hs);
}

void queue_token_fault(fakecloud::fake_cloud& cloud, random_source& rnd)
{
    fakecloud::token_reply r;
    switch (rnd.below(5)) {
    case 0:
        r.status = 500;
        count("cloud: token endpoint error");
        break;
    case 1:
        r.refuse = true;
        count("cloud: token endpoint hung up");
        break;
    case 2:
        r.header_name = "";
        count("cloud: token reply without a token");
        break;
    case 3:
        r.raw = "HTTP/1.1 201 Created\r\nX-Subject-Token";
        count("cloud: malformed token reply");
        break;
    default:
        r.delay_ms = 300 + rnd.below(1500);
        count("cloud: slow token reply");
        break;
    }
    cloud.queue_token_reply(r);
}

// ---------------------------------------------------------------------------------------------------------
// What one channel was asked, and the check of what it answered.

struct sent_request {
    mrcp_request_id id;
    std::string method;
};

bool is_completion(const message_record& m)
{
    return m.is_event() && (m.name == "RECOGNITION-COMPLETE" || m.name == "SPEAK-COMPLETE");
}

// Every request has exactly one response. A RECOGNIZE or SPEAK answered IN-PROGRESS then ends with exactly
// one completion event, or with a STOP (or a BARGE-IN-OCCURRED that stopped it) answered after it, after
// which nothing of it may follow; only the last one may be cut short by the channel's close.
// Returns what is wrong, one line each; 'outcomes' (when given) counts how each request ended.
std::vector<std::string> check_channel(const std::string& channel_id, const std::vector<sent_request>& sent,
                                       const std::vector<message_record>& messages, bool closed_busy,
                                       std::map<std::string, int>* outcomes = NULL)
{
    std::vector<std::string> problems;
    std::map<mrcp_request_id, std::string> methods;
    for (const sent_request& r : sent)
        methods[r.id] = r.method;
    auto problem = [&](const std::string& what, const message_record* m) {
        problems.push_back(channel_id + ": " + what + (m ? "\n      " + m->line() : std::string()));
    };
    auto outcome = [&](const std::string& what) {
        if (outcomes)
            ++(*outcomes)["answer: " + what];
    };
    std::map<mrcp_request_id, size_t> response_at;
    for (size_t i = 0; i < messages.size(); ++i) {
        const message_record& m = messages[i];
        if (!methods.count(m.request_id)) {
            problem("a message for a request never sent", &m);
            continue;
        }
        if (m.is_response()) {
            if (response_at.count(m.request_id))
                problem("a second response to request " + std::to_string(m.request_id), &m);
            else
                response_at[m.request_id] = i;
        }
    }
    for (size_t k = 0; k < sent.size(); ++k) {
        const sent_request& r = sent[k];
        auto at = response_at.find(r.id);
        if (at == response_at.end()) {
            // A close right behind the request may take its place: the channel is gone, nothing is owed.
            if (closed_busy && k == sent.size() - 1)
                outcome(r.method + " closed before any answer");
            else
                problem("no response to " + r.method + " " + std::to_string(r.id), NULL);
            continue;
        }
        const message_record& resp = messages[at->second];
        if (r.method == "STOP" || r.method == "BARGE-IN-OCCURRED") {
            if (resp.request_state != MRCP_REQUEST_STATE_COMPLETE)
                problem(r.method + " not answered COMPLETE", &resp);
            continue;
        }
        // Where its final answer is, and whatever else belongs to it.
        size_t stop_at = messages.size();
        for (size_t i = at->second + 1; i < messages.size(); ++i) {
            const message_record& m = messages[i];
            if (m.is_response() && m.request_id > r.id && m.status_code == 200 &&
                (methods[m.request_id] == "STOP" || methods[m.request_id] == "BARGE-IN-OCCURRED")) {
                stop_at = i;
                break;
            }
        }
        size_t completions = 0;
        size_t completion_at = messages.size();
        for (size_t i = 0; i < messages.size(); ++i) {
            const message_record& m = messages[i];
            if (m.request_id != r.id || !m.is_event())
                continue;
            if (i < at->second)
                problem("an event before the response", &m);
            else if (resp.request_state == MRCP_REQUEST_STATE_COMPLETE)
                problem("an event for a request answered COMPLETE", &m);
            else if (completion_at < i)
                problem("an event after the completion", &m);
            else if (stop_at < i)
                problem("an event after the STOP response", &m);
            if (is_completion(m)) {
                ++completions;
                completion_at = std::min(completion_at, i);
            }
        }
        if (resp.request_state == MRCP_REQUEST_STATE_COMPLETE) {
            outcome(r.method + " answered COMPLETE at once");
            continue;
        }
        if (resp.request_state != MRCP_REQUEST_STATE_INPROGRESS) {
            problem("a response neither COMPLETE nor IN-PROGRESS", &resp);
            continue;
        }
        if (completions > 1)
            problem(std::to_string(completions) + " completions of request " + std::to_string(r.id), NULL);
        if (completions > 0)
            outcome(r.method + " ended by its completion event");
        else if (stop_at < messages.size())
            outcome(r.method + " ended by " + methods[messages[stop_at].request_id]);
        else if (closed_busy && k == sent.size() - 1)
            outcome(r.method + " cut short by the channel's close");
        else
            problem("no final answer to " + r.method + " " + std::to_string(r.id), &resp);
    }
    return problems;
}

// The check itself must find what it is there to find: cases of messages a faulty plug-in could send.
bool check_the_check()
{
    auto msg = [](mrcp_message_type_e type, const char* name, mrcp_request_id id, int status,
                  mrcp_request_state_e state) {
        message_record m;
        m.channel_id = "self";
        m.type = type;
        m.name = name;
        m.request_id = id;
        m.status_code = status;
        m.request_state = state;
        return m;
    };
    const mrcp_message_type_e RESP = MRCP_MESSAGE_TYPE_RESPONSE, EVT = MRCP_MESSAGE_TYPE_EVENT;
    const mrcp_request_state_e DONE = MRCP_REQUEST_STATE_COMPLETE, RUN = MRCP_REQUEST_STATE_INPROGRESS;
    const message_record speak_run = msg(RESP, "SPEAK", 1, 200, RUN);
    const message_record speak_done = msg(EVT, "SPEAK-COMPLETE", 1, 200, DONE);
    const message_record stop_done = msg(RESP, "STOP", 2, 200, DONE);
    const std::vector<sent_request> speak_stop = {{1, "SPEAK"}, {2, "STOP"}};
    const std::vector<sent_request> speak_only = {{1, "SPEAK"}};
    struct row {
        const char* name;
        std::vector<sent_request> sent;
        std::vector<message_record> messages;
        bool closed_busy;
        bool sound;
    };
    const row rows[] = {
        {"completed", speak_only, {speak_run, speak_done}, false, true},
        {"answered complete at once", speak_only, {msg(RESP, "SPEAK", 1, 407, DONE)}, false, true},
        {"stopped", speak_stop, {speak_run, stop_done}, false, true},
        {"completed before the stop", speak_stop, {speak_run, speak_done, stop_done}, false, true},
        {"cut short by a close", speak_only, {speak_run}, true, true},
        {"closed before any answer", speak_only, {}, true, true},
        {"no answer before an earlier close", speak_stop, {msg(RESP, "STOP", 2, 200, DONE)}, true, false},
        {"no final answer", speak_only, {speak_run}, false, false},
        {"no response", speak_stop, {speak_run, speak_done}, false, false},
        {"completion after the stop", speak_stop, {speak_run, stop_done, speak_done}, false, false},
        {"two completions", speak_only, {speak_run, speak_done, speak_done}, false, false},
        {"event before the response", speak_only, {speak_done, speak_run}, false, false},
        {"event after complete", speak_only, {msg(RESP, "SPEAK", 1, 200, DONE), speak_done}, false, false},
        {"two responses", speak_only, {speak_run, speak_run, speak_done}, false, false},
        {"unknown request", speak_only, {speak_run, speak_done, msg(EVT, "SPEAK-COMPLETE", 9, 200, DONE)}, false,
         false},
        {"stop answered in progress", speak_stop, {speak_run, msg(RESP, "STOP", 2, 200, RUN)}, false, false},
    };
    bool ok = true;
    for (const row& r : rows) {
        bool sound = check_channel("self", r.sent, r.messages, r.closed_busy).empty();
        if (sound != r.sound) {
            fprintf(stderr, "soak: the check is wrong for \"%s\"\n", r.name);
            ok = false;
        }
    }
    return ok;
}

// ---------------------------------------------------------------------------------------------------------
// One channel's calls.

struct worker {
    mrcphost::plugin* plugin = NULL;
    bool recog = false;
    std::string prefix;
    int generation = 0;
    mrcphost::channel* channel = NULL;
    std::vector<sent_request> sent;
    std::unique_ptr<random_source> rnd;
};

bool wait_for(mrcphost::channel* ch, const std::function<bool(const std::vector<message_record>&)>& pred,
              int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred(ch->messages()))
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool has_response(const std::vector<message_record>& ms, mrcp_request_id id, message_record* out = NULL)
{
    for (const message_record& m : ms)
        if (m.is_response() && m.request_id == id) {
            if (out)
                *out = m;
            return true;
        }
    return false;
}

bool has_completion(const std::vector<message_record>& ms, mrcp_request_id id)
{
    for (const message_record& m : ms)
        if (is_completion(m) && m.request_id == id)
            return true;
    return false;
}

// Closes the channel (busy: a request may still be running), checks what it answered and lets it go.
void finish_channel(worker& w, bool busy)
{
    if (!w.channel)
        return;
    if (!w.channel->close(k_answer_ms))
        fail(w.channel->id() + ": close not answered");
    const size_t at_close = w.channel->messages().size();
    // Anything sent after the close answer would reach a channel the server is about to free.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::map<std::string, int> outcomes;
    const std::vector<message_record> messages = w.channel->messages();
    for (size_t i = at_close; i < messages.size(); ++i)
        fail(w.channel->id() + ": a message after the close was answered\n      " + messages[i].line());
    std::vector<std::string> problems = check_channel(w.channel->id(), w.sent, messages, busy, &outcomes);
    if (!problems.empty()) {
        // The channel's whole story, to tell what went wrong.
        std::string story = w.channel->id() + (busy ? " (closed mid-request)" : "") + " was sent:";
        for (const sent_request& r : w.sent)
            story += " " + r.method + " " + std::to_string(r.id) + ",";
        story += " and answered:";
        for (const message_record& m : messages)
            story += "\n      " + m.line();
        problems.push_back(story);
    }
    for (const std::string& p : problems)
        fail(p);
    for (const auto& o : outcomes)
        for (int i = 0; i < o.second; ++i)
            count(o.first);
    w.plugin->destroy_channel(w.channel->id());
    w.channel = NULL;
    w.sent.clear();
    count(busy ? "host: channel closed mid-request" : "host: channel closed");
}

mrcp_request_id send(worker& w, const std::string& method, const std::vector<std::string>& headers,
                     const std::string& body = "")
{
    std::string error;
    mrcp_request_id id = w.channel->send(method, headers, body, &error);
    if (!id)
        fail(w.channel->id() + ": " + method + " not sent: " + error);
    else
        w.sent.push_back({id, method});
    return id;
}

// Sends STOP (or BARGE-IN-OCCURRED) and waits for its answer; its status code, 0 when none came.
int interrupt(worker& w, const std::string& method, const std::vector<std::string>& headers = {})
{
    mrcp_request_id id = send(w, method, headers);
    message_record resp;
    if (id && !wait_for(w.channel,
                        [&](const std::vector<message_record>& ms) { return has_response(ms, id, &resp); },
                        k_answer_ms))
        fail(w.channel->id() + ": no response to " + method);
    count("host: " + method);
    return resp.status_code;
}

mrcp_request_id send_request(worker& w);

bool open_channel(worker& w)
{
    std::string id = w.prefix + "-" + std::to_string(++w.generation);
    w.channel = w.plugin->create_channel(id);
    if (!w.channel) {
        fail(id + ": no channel");
        return false;
    }
    if (!w.channel->set_codec(w.rnd->chance(20) ? 16000 : 8000) || !w.channel->open(k_answer_ms)) {
        fail(id + ": channel did not open");
        w.plugin->destroy_channel(id);
        w.channel = NULL;
        return false;
    }
    return true;
}

// A close right behind a request, many times over on new channels: the request must be done with before
// the close is answered, so that nothing of it reaches a freed channel or the channel that comes next.
void close_behind_requests(mrcphost::plugin& p, bool recog, int index, int times)
{
    worker w;
    w.plugin = &p;
    w.recog = recog;
    w.prefix = std::string(recog ? "hw-behind" : "sw-behind") + std::to_string(index);
    w.rnd.reset(new random_source(index));
    for (int i = 0; i < times; ++i) {
        if (!open_channel(w))
            return;
        send_request(w);
        finish_channel(w, true);
    }
}

// A RECOGNIZE or a SPEAK; its request id, 0 when it could not be sent.
mrcp_request_id send_request(worker& w)
{
    mrcp_request_id id;
    if (w.recog) {
        const std::string grammar =
            "<grammar mode=\"voice\"><rule id=\"service\"><one-of><item><ruleref uri=\"#speech-to-text\"/>"
            "</item></one-of></rule></grammar>";
        id = send(w, "RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"}, grammar);
    } else {
        id = send(w, "SPEAK", {"Content-Type: text/plain"}, "soak text " + std::to_string(w.rnd->below(1000)));
    }
    if (id)
        count(w.recog ? "host: RECOGNIZE" : "host: SPEAK");
    return id;
}

void run_round(worker& w, fakecloud::fake_cloud& cloud)
{
    random_source& rnd = *w.rnd;
    if (!w.channel && !open_channel(w))
        return;
    if (rnd.chance(15))
        queue_handshake_fault(cloud, rnd);

    mrcp_request_id id = send_request(w);
    if (!id)
        return;
    // Sometimes the STOP or the close follows the request at once, before any answer came.
    const int at_once = rnd.below(100);
    if (at_once < 8) {
        count("host: channel closed right after the request");
        finish_channel(w, true);
        return;
    }
    if (at_once < 18) {
        count("host: STOP right after the request");
        interrupt(w, "STOP");
        if (!wait_for(w.channel, [&](const std::vector<message_record>& ms) { return has_response(ms, id); },
                      k_answer_ms))
            fail(w.channel->id() + ": no response to request " + std::to_string(id));
        return;
    }
    message_record resp;
    if (!wait_for(w.channel, [&](const std::vector<message_record>& ms) { return has_response(ms, id, &resp); },
                  k_answer_ms)) {
        fail(w.channel->id() + ": no response to request " + std::to_string(id));
        finish_channel(w, true);
        return;
    }
    if (resp.request_state == MRCP_REQUEST_STATE_INPROGRESS) {
        if (w.recog) {
            std::string pcm = e2e::speech_pcm(w.channel->sampling_rate() == 16000 ? 2 * k_speech_frames
                                                                                  : k_speech_frames);
            w.channel->queue_audio(std::vector<char>(pcm.begin(), pcm.end()));
        }
        auto completed = [&](const std::vector<message_record>& ms) { return has_completion(ms, id); };
        int action = rnd.below(100);
        if (action < 40) {
            // Let it run; a request the service never ends is stopped.
            if (!wait_for(w.channel, completed, k_complete_ms))
                interrupt(w, "STOP");
        } else if (action < 65) {
            std::this_thread::sleep_for(std::chrono::milliseconds(rnd.below(600)));
            interrupt(w, "STOP");
        } else if (action < 80 && !w.recog) {
            std::this_thread::sleep_for(std::chrono::milliseconds(rnd.below(600)));
            // Kill-On-Barge-In as the channel has it (a BARGE-IN that carries it sets it), or as given.
            const int kill = rnd.below(3);
            std::vector<std::string> headers;
            if (kill)
                headers.push_back(kill == 1 ? "Kill-On-Barge-In: true" : "Kill-On-Barge-In: false");
            // A BARGE-IN that does not stop the SPEAK leaves it running.
            if (interrupt(w, "BARGE-IN-OCCURRED", headers) != 200 && !wait_for(w.channel, completed, k_complete_ms))
                interrupt(w, "STOP");
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(rnd.below(600)));
            finish_channel(w, true);
            return;
        }
    }
    // Now and then a STOP with nothing running, or a close of an idle channel.
    if (rnd.chance(5))
        interrupt(w, "STOP");
    if (rnd.chance(10))
        finish_channel(w, false);
}

// ---------------------------------------------------------------------------------------------------------

void write_configs(const e2e::scratch_dir& dir, const fakecloud::fake_cloud& cloud)
{
    // token_interval 1: a long run fetches a new token at every check, so token faults queued meanwhile hit.
    // Otherwise the shipped sample's settings; saving on, so that close has a recording to finish.
    e2e::harkwire_conf h;
    h.init_path = cloud.ws_url("/asr/sentence-stream");
    h.token_url = cloud.token_url();
    h.token_interval = 1;
    h.save_waveform = 1;
    h.wave_dir = h.navi_dir = dir.path("wave");
    std::ofstream(dir.path("recog-conf/unimrcprecog.xml")) << e2e::harkwire_sample_conf(HARKWIRE_PLUGIN_PATH, h);
    e2e::speakwire_conf s;
    s.init_path = cloud.ws_url("/tts");
    s.token_url = cloud.token_url();
    s.token_interval = 1;
    s.user = "u2";
    s.password = "p2";
    s.domain = "d2";
    s.project = "s2";
    s.wave_dir = dir.path("wave");
    s.save_waveform = true;
    std::ofstream(dir.path("synth-conf/synthplugin.xml")) << e2e::speakwire_conf_xml(s);
}

std::unique_ptr<mrcphost::plugin> load(const char* path, const e2e::scratch_dir& dir, const std::string& conf)
{
    mrcphost::plugin_options o;
    o.path = path;
    o.conf_dir = dir.path(conf);
    o.data_dir = dir.path("wave");
    std::unique_ptr<mrcphost::plugin> p(new mrcphost::plugin(o));
    std::string error;
    if (!p->load(&error)) {
        fail(std::string("load of ") + path + ": " + error);
        return NULL;
    }
    if (!p->open())
        fail(std::string("open of ") + path);
    return p;
}

// Loads both, runs 'rounds' rounds on every channel at once, closes what is open and unloads.
void run_load(const options& opt, int rounds, int load_index, const e2e::scratch_dir& dir,
              fakecloud::fake_cloud& cloud, random_source& rnd)
{
    // Most loads begin with a token endpoint that fails or is slow.
    if (rnd.chance(70))
        queue_token_fault(cloud, rnd);
    if (rnd.chance(40))
        queue_token_fault(cloud, rnd);
    // SOAK_HARKWIRE and SOAK_SPEAKWIRE name other builds of the plug-ins, e.g. to soak an older one.
    const char* harkwire_path = getenv("SOAK_HARKWIRE") ? getenv("SOAK_HARKWIRE") : HARKWIRE_PLUGIN_PATH;
    const char* speakwire_path = getenv("SOAK_SPEAKWIRE") ? getenv("SOAK_SPEAKWIRE") : SPEAKWIRE_PLUGIN_PATH;
    std::unique_ptr<mrcphost::plugin> harkwire = load(harkwire_path, dir, "recog-conf");
    std::unique_ptr<mrcphost::plugin> speakwire = load(speakwire_path, dir, "synth-conf");
    if (!harkwire || !speakwire)
        return;
    std::vector<worker> workers(2 * opt.channels);
    for (int i = 0; i < (int)workers.size(); ++i) {
        worker& w = workers[i];
        w.recog = i < opt.channels;
        w.plugin = w.recog ? harkwire.get() : speakwire.get();
        w.prefix = std::string(w.recog ? "hw" : "sw") + std::to_string(load_index) + "." + std::to_string(i);
        w.rnd.reset(new random_source(opt.seed * 7919u + (unsigned)(load_index * 131 + i)));
    }
    if (load_index == 0) {
        // Several at once, so that each engine task has a queue for the requests to wait in.
        std::vector<std::thread> behind;
        for (int i = 0; i < 2 * opt.channels; ++i)
            behind.emplace_back([&, i] {
                close_behind_requests(i % 2 ? *speakwire : *harkwire, i % 2 == 0, i, 15);
            });
        for (std::thread& t : behind)
            t.join();
    }
    // Now and then the plug-ins are unloaded with a request running on every channel still open.
    const bool unload_busy = rnd.chance(40);
    std::vector<std::thread> threads;
    for (worker& w : workers)
        threads.emplace_back([&w, &cloud, rounds, &opt, unload_busy] {
            for (int r = 0; r < rounds; ++r) {
                run_round(w, cloud);
                if (opt.verbose)
                    fprintf(stderr, "%s round %d done\n", w.prefix.c_str(), r + 1);
            }
            if (unload_busy && w.channel) {
                mrcp_request_id id = send_request(w);
                if (id && !wait_for(w.channel,
                                    [&](const std::vector<message_record>& ms) { return has_response(ms, id); },
                                    k_answer_ms))
                    fail(w.channel->id() + ": no response to request " + std::to_string(id));
                return;
            }
            finish_channel(w, false);
        });
    for (std::thread& t : threads)
        t.join();
    for (worker& w : workers) {
        if (!w.channel)
            continue;
        // What came so far; the unload closes the channel and frees it.
        for (const std::string& p : check_channel(w.channel->id(), w.sent, w.channel->messages(), true))
            fail(p);
        count("host: channel left busy for the unload");
        w.channel = NULL;
    }
    // Every connection of a closed channel lets go of its socket within the library's close and shutdown
    // time-outs (5 s each), whatever the service did: a server runs for months.
    if (!unload_busy) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (proc_self::tcp_sockets_to(cloud.ws_port()) != 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (size_t left = proc_self::tcp_sockets_to(cloud.ws_port()))
            fail("sockets to the service still open 30 s after every channel closed: " + std::to_string(left));
    }
    auto unload = [](std::unique_ptr<mrcphost::plugin>& p) {
        auto begin = std::chrono::steady_clock::now();
        p->unload();
        if (std::chrono::steady_clock::now() - begin > std::chrono::seconds(10))
            fail(p->name() + ": unload took more than 10 s");
        p.reset();
    };
    // Alternate the order, as a server may unload either first.
    if (load_index % 2) {
        unload(speakwire);
        unload(harkwire);
    } else {
        unload(harkwire);
        unload(speakwire);
    }
}

bool parse_args(int argc, char** argv, options* opt)
{
    if (const char* e = getenv("SOAK_ROUNDS"))
        opt->rounds = atoi(e);
    if (const char* e = getenv("SOAK_SEED"))
        opt->seed = (unsigned)strtoul(e, NULL, 10);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--rounds" && has_value)
            opt->rounds = atoi(argv[++i]);
        else if (a == "--seed" && has_value)
            opt->seed = (unsigned)strtoul(argv[++i], NULL, 10);
        else if (a == "--channels" && has_value)
            opt->channels = atoi(argv[++i]);
        else if (a == "--latency-ms" && has_value)
            opt->latency_ms = atoi(argv[++i]);
        else if (a == "--jitter-ms" && has_value)
            opt->jitter_ms = atoi(argv[++i]);
        else if (a == "--verbose")
            opt->verbose = true;
        else
            return false;
    }
    return opt->rounds > 0 && opt->channels > 0 && opt->latency_ms >= 0 && opt->jitter_ms >= 0;
}

}  // namespace

int main(int argc, char** argv)
{
    options opt;
    if (!parse_args(argc, argv, &opt)) {
        fprintf(stderr, "usage: %s [--rounds N] [--seed S] [--channels C] [--latency-ms MS] [--jitter-ms MS] "
                "[--verbose]\n", argv[0]);
        return 2;
    }
    if (!check_the_check())
        return 1;
    // A thread started and joined first: a sanitizer's helper thread, begun with the first thread, is
    // then part of the count before as well as after.
    std::thread([] {}).join();
    const size_t threads_before = proc_self::entries("/proc/self/task");
    const std::vector<std::string> fds_before = open_fds();
    const auto begin = std::chrono::steady_clock::now();
    printf("soak: %d rounds on %d channels of each plug-in, seed %u, round trip %d ms, jitter %d ms\n", opt.rounds,
           opt.channels, opt.seed, opt.latency_ms, opt.jitter_ms);
    {
        mrcphost::log_capture::instance().set_quiet(true);
        mrcphost::log_capture::instance().set_priority(APT_PRIO_WARNING);
        e2e::scratch_dir dir;
        if (!dir.create("soak", {"recog-conf", "synth-conf", "wave"})) {
            fprintf(stderr, "soak: no scratch directory\n");
            return 1;
        }
        random_source cloud_rnd(opt.seed);
        random_source main_rnd(opt.seed + 1);
        {
            fakecloud::fake_cloud cloud;
            fakecloud::network_delay net;
            net.message_ms = opt.latency_ms / 2;
            net.token_ms = 3 * opt.latency_ms;
            net.handshake_ms = 3 * opt.latency_ms;
            net.jitter_ms = opt.jitter_ms;
            cloud.set_network_delay(net);
            cloud.set_behaviour_factory([&cloud_rnd](const ws_record& rec) {
                return rec.resource.compare(0, 5, "/asr/") == 0 ? recog_fault(cloud_rnd) : synth_fault(cloud_rnd);
            });
            write_configs(dir, cloud);
            int load_index = 0;
            for (int done = 0; done < opt.rounds; done += k_rounds_per_load)
                run_load(opt, std::min(k_rounds_per_load, opt.rounds - done), load_index++, dir, cloud, main_rnd);
        }
    }

    const size_t threads_after = proc_self::entries("/proc/self/task");
    const std::vector<std::string> fds_after = open_fds();
    if (threads_after != threads_before) {
        std::string names;
        for (const std::string& n : proc_self::thread_names())
            names += " '" + n + "'";
        fail("threads: " + std::to_string(threads_before) + " before, " + std::to_string(threads_after) +
             " after:" + names);
    }
    if (fds_after.size() != fds_before.size()) {
        std::string list;
        for (const std::string& f : fds_after)
            if (std::find(fds_before.begin(), fds_before.end(), f) == fds_before.end())
                list += "\n      " + f;
        fail("file descriptors: " + std::to_string(fds_before.size()) + " before, " +
             std::to_string(fds_after.size()) + " after" + list);
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (const auto& c : g_counts)
        printf("  %6d  %s\n", c.second, c.first.c_str());
    printf("soak: %.1f s, %zu finding(s)\n", seconds, g_failures.size());
    if (!g_failures.empty()) {
        for (const std::string& f : g_failures)
            printf("FAIL %s\n", f.c_str());
        std::vector<mrcphost::log_record> records = mrcphost::log_capture::raw_instance().records();
        size_t from = records.size() > 200 ? records.size() - 200 : 0;
        printf("last warnings and errors of the log:\n");
        for (size_t i = from; i < records.size(); ++i)
            printf("  %s %s\n", mrcphost::priority_name(records[i].priority), records[i].text.c_str());
        return 1;
    }
    return 0;
}
