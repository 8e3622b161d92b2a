// speakwire end to end: the host loads the real plug-in, which synthesizes against the fake cloud
// over real TLS on 127.0.0.1. Each test reads like a call: open a channel, send requests, expect these
// responses and events in this order, then check what the cloud received and what was played.
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_cloud.h"
#include "mrcp_host.h"
#include "mrcp_synth_header.h"
#include "synth_script.h"
#include "e2e_support.h"
#include "proc_self.h"

namespace {

using e2e::audible;
using e2e::closed_port;
using e2e::read_file;
using e2e::rss_kib;

using fakecloud::synth_script;
using fakecloud::synth_start;
using fakecloud::ws_record;
using mrcphost::message_record;

const int k_wait_ms = 8000;        // bound for anything that must happen (a connect waits at most 5 s)
const int k_quiet_ms = 300;        // how long something that must not happen is watched for




bool contains(const std::string& haystack, const std::string& needle)
{
    return haystack.find(needle) != std::string::npos;
}

// Compares audio without printing it: sizes and the first differing byte.
::testing::AssertionResult same_audio(const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    return ::testing::AssertionFailure() << "audio differs: expected " << expected.size() << " bytes, got "
                                         << actual.size() << ", first difference at byte " << i;
}

// The text messages a connection received, and the START among them.
std::vector<std::string> texts(const ws_record& rec)
{
    std::vector<std::string> out;
    for (const fakecloud::ws_message& m : rec.messages)
        if (!m.binary)
            out.push_back(m.data);
    return out;
}

synth_start start_of(const ws_record& rec)
{
    std::vector<std::string> t = texts(rec);
    return t.empty() ? synth_start() : fakecloud::parse_synth_start(t[0]);
}

bool got_end_command(const ws_record& rec)
{
    for (const std::string& t : texts(rec))
        if (fakecloud::is_synth_end(t))
            return true;
    return false;
}

// 8000 Hz samples raised to 'factor' times the rate, linearly from the previous sample (silence before).
std::string upsampled(const std::string& audio, unsigned factor)
{
    std::string out;
    int last = 0;
    for (size_t i = 0; i + 1 < audio.size(); i += 2) {
        int next = (int16_t)((unsigned char)audio[i] | ((unsigned char)audio[i + 1] << 8));
        for (unsigned j = 1; j <= factor; ++j) {
            int16_t v = (int16_t)(last + (next - last) * (int)j / (int)factor);
            out += (char)(v & 0xff);
            out += (char)((v >> 8) & 0xff);
        }
        last = next;
    }
    return out;
}

struct config {
    std::string init_path;      // "": the fake cloud's /tts
    bool use_kivtag = false;
    int speed_revise = 0;
    bool save_waveform = false;
};

class SpeakwireE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        mrcphost::log_capture::instance().set_quiet(true);
        mrcphost::log_capture::instance().clear();
        char tmpl[] = "/tmp/speakwire_e2e_XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root_ = tmpl;
        for (const char* d : {"/bin", "/conf", "/data", "/wave"})
            ASSERT_EQ(0, mkdir((root_ + d).c_str(), 0755));
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
        old_cwd_ = cwd;
        // The token file goes to ../conf relative to the working directory.
        ASSERT_EQ(0, chdir((root_ + "/bin").c_str()));
        cloud_.reset(new fakecloud::fake_cloud());
    }

    void TearDown() override
    {
        plugin_.reset();
        cloud_.reset();
        if (HasFailure())
            fprintf(stderr, "%s\n", mrcphost::log_capture::instance().dump().c_str());
        if (chdir(old_cwd_.c_str()) != 0)
            perror("chdir");
        std::string cmd = "rm -rf '" + root_ + "'";
        (void)!system(cmd.c_str());
    }

    void write_config(const config& c)
    {
        e2e::speakwire_conf s;
        s.init_path = c.init_path.empty() ? cloud_->ws_url("/tts") : c.init_path;
        s.token_url = cloud_->token_url();
        s.system_extra = std::string("    <use-kivtag>") + (c.use_kivtag ? "true" : "false") + "</use-kivtag>\n" +
                         "    <speed_revise>" + std::to_string(c.speed_revise) + "</speed_revise>\n";
        s.wave_dir = root_ + "/wave";
        s.save_waveform = c.save_waveform;
        std::ofstream(root_ + "/conf/synthplugin.xml") << e2e::speakwire_conf_xml(s);
    }

    // Loads and opens the plug-in with the configuration, and waits for the first token.
    void start(const config& c = config())
    {
        write_config(c);
        mrcphost::plugin_options o;
        o.path = SPEAKWIRE_PLUGIN_PATH;
        o.conf_dir = root_ + "/conf";
        o.data_dir = root_ + "/data";
        plugin_.reset(new mrcphost::plugin(o));
        std::string error;
        ASSERT_TRUE(plugin_->load(&error)) << error;
        ASSERT_TRUE(plugin_->open());
        ASSERT_TRUE(cloud_->wait_for_token_replies(1, std::chrono::milliseconds(k_wait_ms)));
        ASSERT_TRUE(wait_file(root_ + "/conf/x_auth_token.txt"));
    }

    bool wait_file(const std::string& path)
    {
        for (int i = 0; i < k_wait_ms / 10; ++i) {
            if (!read_file(path).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    mrcphost::channel* open_channel(const std::string& id, apr_uint16_t rate = 8000)
    {
        mrcphost::channel* ch = plugin_->create_channel(id);
        EXPECT_TRUE(ch);
        if (!ch)
            return NULL;
        EXPECT_TRUE(ch->set_codec(rate));
        EXPECT_TRUE(ch->open(k_wait_ms));
        return ch;
    }

    // SPEAK; expects the IN-PROGRESS answer and returns the request id.
    mrcp_request_id speak(mrcphost::channel* ch, const std::string& text,
                          const std::vector<std::string>& headers = {"Content-Type: text/plain"})
    {
        mrcp_request_id id = ch->send("SPEAK", headers, text);
        message_record r;
        EXPECT_TRUE(ch->wait_response(id, k_wait_ms, &r));
        EXPECT_EQ(200, r.status_code) << r.line();
        EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, r.request_state) << r.line();
        EXPECT_EQ(0u, r.field("Speech-Marker").find("timestamp=")) << r.line();
        return id;
    }

    message_record response(mrcphost::channel* ch, mrcp_request_id id)
    {
        message_record r;
        EXPECT_TRUE(ch->wait_response(id, k_wait_ms, &r)) << "no response to request " << id;
        return r;
    }

    message_record complete(mrcphost::channel* ch)
    {
        message_record r;
        EXPECT_TRUE(ch->wait_event("SPEAK-COMPLETE", k_wait_ms, &r)) << "no SPEAK-COMPLETE";
        return r;
    }

    bool no_complete(mrcphost::channel* ch, int ms = k_quiet_ms)
    {
        message_record r;
        bool got = ch->wait_event("SPEAK-COMPLETE", ms, &r);
        if (got)
            ADD_FAILURE() << "unexpected " << r.line();
        return !got;
    }

    // What played, once at least 'bytes' audible bytes are in (the frame with the end mark is collected
    // just after its SPEAK-COMPLETE went out), or after a bounded wait.
    std::string played(mrcphost::channel* ch, size_t bytes)
    {
        std::string out;
        for (int i = 0; i < 100; ++i) {
            out = audible(ch->received_audio());
            if (out.size() >= bytes)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return out;
    }

    ws_record ended_connection(int id)
    {
        EXPECT_TRUE(cloud_->wait_for_end(id, std::chrono::milliseconds(k_wait_ms))) << "connection " << id;
        return cloud_->connection(id);
    }

    void expect_closed_normally(int id)
    {
        ws_record rec = ended_connection(id);
        EXPECT_TRUE(rec.close_received) << "connection " << id;
        EXPECT_EQ(1000, rec.close_code);
        EXPECT_EQ("normal", rec.close_reason);
    }

    static synth_script paced(const std::string& audio, int interval_ms = 20, size_t chunk = 320)
    {
        synth_script s;
        s.audio = audio;
        s.chunk_bytes = chunk;
        s.chunk_interval_ms = interval_ms;
        return s;
    }

    std::string root_;
    std::string old_cwd_;
    std::unique_ptr<fakecloud::fake_cloud> cloud_;
    std::unique_ptr<mrcphost::plugin> plugin_;
};

TEST_F(SpeakwireE2E, NormalSpeakPlaysTheAudioAndCompletesAfterTheLastByte)
{
    config c;
    c.save_waveform = true;
    start(c);
    synth_script script;
    script.audio = fakecloud::synth_audio_pattern(4000, 1);
    cloud_->set_behaviour_factory(fakecloud::synth_factory(script));
    mrcphost::channel* ch = open_channel("ch-normal");
    ASSERT_TRUE(ch);
    std::atomic<size_t> played_at_complete(0);
    ch->set_listener([&](const message_record& m) {
        if (m.is_event() && m.name == "SPEAK-COMPLETE")
            played_at_complete = audible(ch->received_audio()).size();
    });

    speak(ch, "hello world");
    message_record done = complete(ch);
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, done.completion_cause) << done.line();
    EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, done.request_state);
    EXPECT_EQ(0u, done.field("Speech-Marker").find("timestamp=")) << done.line();
    EXPECT_TRUE(same_audio(script.audio, played(ch, script.audio.size())));
    // The event goes out with the frame that holds the end mark: at most that frame is not yet collected.
    EXPECT_GE(played_at_complete.load() + 160, script.audio.size());

    ws_record rec = ended_connection(1);
    EXPECT_TRUE(rec.has_auth_token);
    EXPECT_EQ(read_file(root_ + "/conf/x_auth_token.txt"), rec.auth_token);
    EXPECT_EQ("/tts", rec.resource);
    ASSERT_EQ(1u, texts(rec).size()) << "only the START command";
    EXPECT_EQ("{\"command\":\"START\",\"config\":{\"audio_format\":\"pcm\",\"pitch\":0,"
              "\"property\":\"chinese_brenic_common\",\"sample_rate\":\"8000\",\"speed\":0,"
              "\"tagmode\":\"none\",\"volume\":50},\"text\":\"hello world\"}\n",
              texts(rec)[0]);
    expect_closed_normally(1);
    ASSERT_TRUE(ch->close(k_wait_ms));
    EXPECT_TRUE(same_audio(script.audio, read_file(root_ + "/wave/ch-normal.pcm")));
}

TEST_F(SpeakwireE2E, ProsodyVoiceAndVendorParametersReachTheStartCommand)
{
    start();
    cloud_->set_behaviour_factory(fakecloud::synth_factory(synth_script()));
    mrcphost::channel* ch = open_channel("ch-params");
    ASSERT_TRUE(ch);
    message_record set = response(ch, ch->send("SET-PARAMS", {"Prosody-Volume: loud", "Prosody-Rate: x-slow",
                                                                "Voice-Name: tolsk",
                                                                "Vendor-Specific-Parameters: com.quenmar.pitch=x-low"}));
    EXPECT_EQ(200, set.status_code) << set.line();
    message_record get = response(ch, ch->send("GET-PARAMS", {"Voice-Name:", "Prosody-Volume:",
                                                                "Vendor-Specific-Parameters: com.quenmar.pitch"}));
    EXPECT_EQ(200, get.status_code) << get.line();
    EXPECT_EQ("tolsk", get.field("Voice-Name")) << get.line();
    EXPECT_EQ("loud", get.field("Prosody-Volume")) << get.line();
    EXPECT_TRUE(contains(get.field("Vendor-Specific-Parameters"), "com.quenmar.pitch=x-low")) << get.line();

    // A refused value answers 404 and leaves what came before it applied.
    message_record bad = response(ch, ch->send("SET-PARAMS", {"Voice-Name: vemra", "Voice-Gender: male"}));
    EXPECT_EQ(404, bad.status_code) << bad.line();
    response(ch, ch->send("SET-PARAMS", {"Voice-Name: tolsk"}));

    speak(ch, "<speak>x \"quoted\"</speak>", {"Content-Type: application/ssml+xml", "Prosody-Volume: 50"});
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
    synth_start s = start_of(ended_connection(1));
    ASSERT_TRUE(s.valid) << s.error;
    EXPECT_EQ(50, s.volume);
    EXPECT_EQ(-500, s.speed);
    EXPECT_EQ(-500, s.pitch);
    EXPECT_EQ("chinese_tolsk_common", s.property);
    EXPECT_EQ("ssml", s.tagmode);
    EXPECT_EQ("8000", s.sample_rate);
    EXPECT_EQ("<speak>x \"quoted\"</speak>", s.text);

    // Another channel starts from the configuration again.
    mrcphost::channel* other = open_channel("ch-other");
    ASSERT_TRUE(other);
    speak(other, "plain");
    complete(other);
    synth_start d = start_of(ended_connection(2));
    EXPECT_EQ(50, d.volume);
    EXPECT_EQ(0, d.speed);
    EXPECT_EQ(0, d.pitch);
    EXPECT_EQ("chinese_brenic_common", d.property);
}

TEST_F(SpeakwireE2E, KivtagAndSpeedRevise)
{
    config c;
    c.use_kivtag = true;
    c.speed_revise = 1;
    start(c);
    cloud_->set_behaviour_factory(fakecloud::synth_factory(synth_script()));
    mrcphost::channel* ch = plugin_->create_channel("ch-v1", MRCP_VERSION_1);
    ASSERT_TRUE(ch);
    ASSERT_TRUE(ch->set_codec(8000));
    ASSERT_TRUE(ch->open(k_wait_ms));
    speak(ch, "<speak>v1</speak>", {"Content-Type: application/synthesis+ssml", "Prosody-Rate: fast"});
    complete(ch);
    synth_start s = start_of(ended_connection(1));
    EXPECT_EQ("kivtag", s.tagmode);
    EXPECT_EQ(100, s.speed);
}

TEST_F(SpeakwireE2E, ServiceFailuresEndTheSpeakWithCauseErrorAtOnce)
{
    start();
    struct row {
        const char* name;
        synth_script::end_e end;
        const char* reason;
        // The plug-in's close: 1000 "normal", 1009 when it refuses a message too big, 0 when the service went
        // first or reads nothing to see it.
        int close_code;
        size_t audio_message = 0;  // bytes of one audio message (0: the script's pieces)
        size_t trace_id = 0;       // bytes of the replies' trace id (0: the script's)
        size_t text_message = 0;   // > 0: a text message of this many bytes after the START reply
        bool deaf = false;         // the service reads nothing after the START
        int pings = -1;            // >= 0: the service reads nothing after the START and pings without end,
                                   // this many bytes in each ping
    };
    const row rows[] = {
        {"error", synth_script::error, "", 1000},
        {"fatal", synth_script::fatal_error, "", 1000},
        {"aborted", synth_script::end_reason, "ABORTED", 1000},
        {"lower-case", synth_script::end_reason, "normal", 1000},
        {"no-reason", synth_script::end_without_reason, "", 1000},
        {"dropped", synth_script::drop, "", 0},
        {"service-closed", synth_script::close_no_end, "", 0},
        // Over what a message (4 MiB) and a text reply (64 KiB) may hold: refused unread.
        {"audio-too-big", synth_script::end_normal, "", 1009, 4 * 1024 * 1024 + 2},
        {"reply-too-big", synth_script::end_normal, "", 1009, 0, 70 * 1024},
        // A service that does not answer the close must not hold the SPEAK until the library gives up.
        {"text-too-big-deaf", synth_script::end_normal, "", 0, 0, 0, 64 * 1024 + 1, true},
        {"ping-flood", synth_script::end_normal, "", 0, 0, 0, 0, false, 125},
        {"empty-ping-flood", synth_script::end_normal, "", 0, 0, 0, 0, false, 0},
    };
    int id = 0;
    size_t refused = 0;
    mrcphost::log_capture& logs = mrcphost::log_capture::instance();
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        synth_script script;
        // Audio that cannot be played out before the end: an error end must not wait for it.
        script.audio = fakecloud::synth_audio_pattern(std::max<size_t>(16000, r.audio_message), 2);
        if (r.audio_message)
            script.chunk_bytes = r.audio_message;
        if (r.trace_id)
            script.trace_id = std::string(r.trace_id, 't');
        script.end = r.end;
        script.reason = r.reason;
        if (r.text_message)
            script.text_after_start = std::string(r.text_message, 't');
        script.deaf = r.deaf;
        cloud_->set_behaviour_factory(fakecloud::synth_factory(script));
        // The service's receive window as on a real path: with loopback's, a service that reads nothing
        // would take megabytes of pongs before anything waits in the plug-in.
        cloud_->set_service_receive_window(r.pings >= 0 ? 8 * 1024 : 0);
        if (r.pings >= 0)
            cloud_->set_behaviour_factory(
                [bytes = (size_t)r.pings](const ws_record&) { return fakecloud::ping_flood_behaviour(bytes); });
        mrcphost::channel* ch = open_channel(std::string("ch-") + r.name);
        ASSERT_TRUE(ch);
        speak(ch, "text");
        auto begin = std::chrono::steady_clock::now();
        message_record done = complete(ch);
        EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_ERROR, done.completion_cause) << done.line();
        // A flood takes hundreds of pongs to reach the bound: long in a sanitizer build on a busy machine,
        // yet well before the library's close time-outs (5 s).
        const std::chrono::milliseconds at_once(r.pings >= 0 ? 4000 : 1500);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, at_once) << "not at once";
        ++id;
        if (r.close_code == 1000)
            expect_closed_normally(id);
        // The connection is gone and the plug-in said why. Whether the service reads the 1009 depends on
        // timing: one still writing the refused message has its connection dropped unread (a reset), so
        // its own record of the close is not checked.
        if (r.close_code == 1009)
            ended_connection(id);
        if (r.close_code == 1009 || r.text_message > 64 * 1024) {
            EXPECT_EQ(++refused, logs.count("closed with 1009, message too big", APT_PRIO_ERROR)) << logs.dump();
        }
        EXPECT_TRUE(no_complete(ch, 100));
        // The channel stays usable.
        cloud_->set_behaviour_factory(fakecloud::synth_factory(synth_script()));
        speak(ch, "again");
        EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
        ++id;
        ASSERT_TRUE(ch->close(k_wait_ms));
    }
}

TEST_F(SpeakwireE2E, RequestsTheServiceCannotTake)
{
    start();
    cloud_->set_behaviour_factory(fakecloud::synth_factory(synth_script()));
    mrcphost::channel* ch = open_channel("ch-bad");
    ASSERT_TRUE(ch);
    struct row {
        const char* name;
        std::vector<std::string> headers;
        const char* body;
        int cause;
    };
    const row rows[] = {
        {"content type with parameter", {"Content-Type: text/plain; charset=UTF-8"}, "x", 4},
        {"ssml type of the other version", {"Content-Type: application/synthesis+ssml"}, "<speak/>", 4},
        {"unknown content type", {"Content-Type: text/html"}, "x", 4},
        {"unknown voice", {"Voice-Name: Tolsk"}, "x", 4},
        {"voice that is no name", {"Voice-Name: chinese"}, "x", 4},
        {"text of a zero byte only", {}, "", 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string error;
        mrcp_message_t* request = ch->create_request("SPEAK", r.headers, r.body[0] ? r.body : "x", &error);
        ASSERT_TRUE(request) << error;
        if (!r.body[0]) {
            // A body that is there but holds no text.
            request->body.buf = (char*)apr_pmemdup(request->pool, "\0", 1);
            request->body.length = 1;
        }
        mrcp_request_id id = ch->send(request);
        message_record in_progress = response(ch, id);
        EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, in_progress.request_state) << in_progress.line();
        message_record done = complete(ch);
        EXPECT_EQ(r.cause, done.completion_cause) << done.line();
        EXPECT_EQ(id, done.request_id);
        response(ch, ch->send("SET-PARAMS", {"Voice-Name: brenic"}));
    }
    EXPECT_EQ(0u, cloud_->connection_count()) << "none of them reached the service";

    // Without a body the SPEAK is refused at once.
    message_record refused = response(ch, ch->send("SPEAK", {"Content-Type: text/plain"}, ""));
    EXPECT_EQ(407, refused.status_code) << refused.line();
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_ERROR, refused.completion_cause);
    EXPECT_TRUE(no_complete(ch, 100));

    // One SPEAK at a time: a second one while the first plays is refused, the first goes on.
    synth_script slow = paced(fakecloud::synth_audio_pattern(3200, 3));
    cloud_->set_behaviour_factory(fakecloud::synth_factory(slow));
    mrcp_request_id first = speak(ch, "first");
    message_record second = response(ch, ch->send("SPEAK", {}, "second"));
    EXPECT_EQ(407, second.status_code) << second.line();
    message_record done = complete(ch);
    EXPECT_EQ(first, done.request_id);
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, done.completion_cause);
}

TEST_F(SpeakwireE2E, UnreachableServiceEndsTheSpeakQuickly)
{
    config c;
    c.init_path = "wss://127.0.0.1:" + std::to_string(closed_port()) + "/tts";
    start(c);
    mrcphost::channel* ch = open_channel("ch-unreachable");
    ASSERT_TRUE(ch);
    auto begin = std::chrono::steady_clock::now();
    speak(ch, "nobody listens");
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_ERROR, complete(ch).completion_cause);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
}

// Resuming a TLS session only saves work: a service that closes every connection offering a session
// still speaks every prompt, and is offered no session again.
TEST_F(SpeakwireE2E, ServiceRefusingResumedHandshakesFailsNoSpeak)
{
    fakecloud::service_tls tls;
    tls.resumed = fakecloud::service_tls::close_silently;
    cloud_->set_service_tls(tls);
    start();
    cloud_->set_behaviour_factory(fakecloud::synth_factory(synth_script()));
    mrcphost::channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    std::vector<int> causes;
    for (int i = 0; i < 6; ++i) {
        speak(ch, "text");
        causes.push_back(complete(ch).completion_cause);
    }
    EXPECT_EQ(std::vector<int>(6, SYNTHESIZER_COMPLETION_CAUSE_NORMAL), causes);
    EXPECT_EQ(1u, cloud_->resumed_offers());
}

TEST_F(SpeakwireE2E, StartNeverAnsweredThenStopAnswersEveryStop)
{
    start();
    synth_script silent;
    silent.reply_start = false;
    cloud_->set_behaviour_factory(fakecloud::synth_factory(silent));
    mrcphost::channel* ch = open_channel("ch-silent");
    ASSERT_TRUE(ch);
    speak(ch, "into the void");
    ASSERT_TRUE(cloud_->wait_for_messages(1, 1, std::chrono::milliseconds(k_wait_ms)));
    EXPECT_TRUE(no_complete(ch));
    mrcp_request_id stop1 = ch->send("STOP");
    mrcp_request_id stop2 = ch->send("STOP");
    mrcp_request_id barge = ch->send("BARGE-IN-OCCURRED");
    for (mrcp_request_id id : {stop1, stop2, barge}) {
        message_record r = response(ch, id);
        EXPECT_EQ(200, r.status_code) << r.line();
        EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, r.request_state);
    }
    EXPECT_TRUE(no_complete(ch));
    ws_record rec = ended_connection(1);
    EXPECT_TRUE(got_end_command(rec));
    expect_closed_normally(1);
}

TEST_F(SpeakwireE2E, StopDuringPlayback)
{
    start();
    const std::string audio = fakecloud::synth_audio_pattern(16000, 4);
    cloud_->set_behaviour_factory(fakecloud::synth_factory(paced(audio, 40, 640)));
    mrcphost::channel* ch = open_channel("ch-stop");
    ASSERT_TRUE(ch);
    speak(ch, "long prompt");
    ASSERT_TRUE(cloud_->wait_until([&] { return cloud_->connection(1).messages.size() >= 1; },
                                   std::chrono::milliseconds(k_wait_ms)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    message_record stop = response(ch, ch->send("STOP"));
    EXPECT_EQ(200, stop.status_code) << stop.line();
    EXPECT_TRUE(no_complete(ch));
    ws_record rec = ended_connection(1);
    EXPECT_TRUE(got_end_command(rec));
    expect_closed_normally(1);
    const std::string played = audible(ch->received_audio());
    EXPECT_LT(played.size(), audio.size());
    EXPECT_EQ(0u, audio.find(played)) << "what played is the start of the prompt";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(same_audio(played, audible(ch->received_audio()))) << "nothing plays after the STOP response";
}

// A service that reads nothing after the START never answers the END or the close: the plug-in's
// sockets must still be gone within the library's close and shutdown time-outs, long before the unload.
TEST_F(SpeakwireE2E, StopsToAMuteServiceLeaveNoSocketOpen)
{
    start();
    synth_script script = paced(fakecloud::synth_audio_pattern(16000, 4), 40, 640);
    script.deaf = true;
    cloud_->set_behaviour_factory(fakecloud::synth_factory(script));
    mrcphost::channel* ch = open_channel("ch-mute");
    ASSERT_TRUE(ch);
    for (int i = 1; i <= 3; ++i) {
        speak(ch, "prompt");
        // Its pong came: the service reads nothing more.
        ASSERT_TRUE(cloud_->wait_until([&] { return cloud_->connection(i).pongs > 0; },
                                       std::chrono::milliseconds(k_wait_ms)));
        EXPECT_EQ(200, response(ch, ch->send("STOP")).status_code);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (proc_self::tcp_sockets_to(cloud_->ws_port()) != 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, proc_self::tcp_sockets_to(cloud_->ws_port()));
    for (int i = 1; i <= 3; ++i)
        EXPECT_FALSE(cloud_->connection(i).close_received) << "connection " << i << " was not mute";
    EXPECT_TRUE(ch->close(k_wait_ms));
}

TEST_F(SpeakwireE2E, StopThenSpeakAtOncePlaysNothingOfTheOldSpeak)
{
    start();
    const std::string old_audio = fakecloud::synth_audio_pattern(16000, 5);
    const std::string late_audio = fakecloud::synth_audio_pattern(3200, 6);
    const std::string new_audio = fakecloud::synth_audio_pattern(2400, 7);
    synth_script first = paced(old_audio, 40, 640);
    first.late_audio = late_audio;   // answers the client's END with more audio and an END reply
    synth_script second;
    second.audio = new_audio;
    cloud_->set_behaviour_factory([first, second](const ws_record& rec) {
        return fakecloud::synth_behaviour(rec.id == 1 ? first : second);
    });
    mrcphost::channel* ch = open_channel("ch-restart");
    ASSERT_TRUE(ch);
    speak(ch, "first prompt");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    mrcp_request_id stop = ch->send("STOP");
    mrcp_request_id next = ch->send("SPEAK", {"Content-Type: text/plain"}, "second prompt");
    EXPECT_EQ(200, response(ch, stop).status_code);
    message_record in_progress = response(ch, next);
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, in_progress.request_state) << in_progress.line();
    message_record done = complete(ch);
    EXPECT_EQ(next, done.request_id);
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, done.completion_cause);
    EXPECT_TRUE(no_complete(ch, 100));

    const std::string played = this->played(ch, new_audio.size());
    ASSERT_GE(played.size(), new_audio.size());
    EXPECT_TRUE(same_audio(new_audio, played.substr(played.size() - new_audio.size())))
        << "the new prompt plays whole, last";
    const std::string before = played.substr(0, played.size() - new_audio.size());
    EXPECT_EQ(0u, old_audio.find(before)) << "before it only the start of the old prompt";
    EXPECT_FALSE(contains(played, late_audio.substr(0, 32))) << "late audio of the stopped SPEAK played";
}

TEST_F(SpeakwireE2E, BargeInStopsOnlyWithKillOnBargeIn)
{
    start();
    const std::string audio = fakecloud::synth_audio_pattern(8000, 8);
    cloud_->set_behaviour_factory(fakecloud::synth_factory(paced(audio, 30, 640)));
    mrcphost::channel* ch = open_channel("ch-barge");
    ASSERT_TRUE(ch);

    speak(ch, "keep talking");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    message_record kept = response(ch, ch->send("BARGE-IN-OCCURRED", {"Kill-On-Barge-In: false"}));
    EXPECT_EQ(407, kept.status_code) << kept.line();
    EXPECT_EQ(-1, kept.completion_cause) << "no Completion-Cause";
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
    EXPECT_TRUE(same_audio(audio, played(ch, audio.size())));
    message_record get = response(ch, ch->send("GET-PARAMS", {"Kill-On-Barge-In:"}));
    EXPECT_EQ("false", get.field("Kill-On-Barge-In")) << get.line();

    response(ch, ch->send("SET-PARAMS", {"Kill-On-Barge-In: true"}));
    speak(ch, "barge in on me");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    message_record killed = response(ch, ch->send("BARGE-IN-OCCURRED"));
    EXPECT_EQ(200, killed.status_code) << killed.line();
    EXPECT_TRUE(no_complete(ch));
    EXPECT_TRUE(got_end_command(ended_connection(2)));
    expect_closed_normally(2);
}

TEST_F(SpeakwireE2E, PauseAndResumeMidPrompt)
{
    start();
    const std::string audio = fakecloud::synth_audio_pattern(6400, 9);
    synth_script script;
    script.audio = audio;
    cloud_->set_behaviour_factory(fakecloud::synth_factory(script));
    mrcphost::channel* ch = open_channel("ch-pause");
    ASSERT_TRUE(ch);
    speak(ch, "pause me");
    ASSERT_TRUE(cloud_->wait_until([&] { return !audible(ch->received_audio()).empty(); },
                                   std::chrono::milliseconds(k_wait_ms)));
    message_record paused = response(ch, ch->send("PAUSE"));
    EXPECT_EQ(200, paused.status_code);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t at_pause = audible(ch->received_audio()).size();
    EXPECT_LT(at_pause, audio.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(at_pause, audible(ch->received_audio()).size()) << "nothing plays while paused";
    EXPECT_TRUE(no_complete(ch, 10));
    EXPECT_EQ(200, response(ch, ch->send("RESUME")).status_code);
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
    EXPECT_TRUE(same_audio(audio, played(ch, audio.size()))) << "playback went on where it stopped";
}

TEST_F(SpeakwireE2E, ChannelCloseDuringSynthesisDoesNotHang)
{
    start();
    synth_script silent;
    silent.reply_start = false;
    cloud_->set_behaviour_factory(fakecloud::synth_factory(silent));
    mrcphost::channel* ch = open_channel("ch-close");
    ASSERT_TRUE(ch);
    speak(ch, "never ends");
    ASSERT_TRUE(cloud_->wait_for_messages(1, 1, std::chrono::milliseconds(k_wait_ms)));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(ch->close(k_wait_ms));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    expect_closed_normally(1);
    plugin_->destroy_channel("ch-close");
}

TEST_F(SpeakwireE2E, UnloadWithASynthesisRunning)
{
    start();
    cloud_->set_behaviour_factory(
        fakecloud::synth_factory(paced(fakecloud::synth_audio_pattern(32000, 10), 50, 320)));
    mrcphost::channel* ch = open_channel("ch-unload");
    ASSERT_TRUE(ch);
    speak(ch, "long");
    ASSERT_TRUE(cloud_->wait_for_messages(1, 1, std::chrono::milliseconds(k_wait_ms)));
    auto begin = std::chrono::steady_clock::now();
    plugin_->unload();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_TRUE(cloud_->wait_for_end(1, std::chrono::milliseconds(k_wait_ms)));
}

TEST_F(SpeakwireE2E, SeveralChannelsSpeakAtOnceWithoutCrossTalk)
{
    start();
    synth_script script;
    script.chunk_bytes = 800;
    script.audio_for = [](const synth_start& s) {
        return fakecloud::synth_audio_pattern(4800, (unsigned)std::stoul(s.text.substr(s.text.find(' ') + 1)));
    };
    cloud_->set_behaviour_factory(fakecloud::synth_factory(script));
    const int n = 6;
    std::vector<mrcphost::channel*> channels;
    for (int i = 0; i < n; ++i) {
        channels.push_back(open_channel("ch-" + std::to_string(i)));
        ASSERT_TRUE(channels.back());
    }
    for (int i = 0; i < n; ++i)
        channels[i]->send("SPEAK", {}, "seed " + std::to_string(20 + i));
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        message_record done = complete(channels[i]);
        EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, done.completion_cause) << done.line();
    }
    for (int i = 0; i < n; ++i)
        EXPECT_TRUE(same_audio(fakecloud::synth_audio_pattern(4800, 20 + i), played(channels[i], 4800)))
            << "channel " << i;
}

TEST_F(SpeakwireE2E, SixteenKilohertzStreamPlaysAtTheRightLength)
{
    start();
    synth_script script;
    script.audio = fakecloud::synth_audio_pattern(3200, 11);
    script.chunk_bytes = 0;   // one message, so that playback never runs dry in the middle
    cloud_->set_behaviour_factory(fakecloud::synth_factory(script));
    mrcphost::channel* ch = open_channel("ch-16k", 16000);
    ASSERT_TRUE(ch);
    speak(ch, "wideband");
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
    const std::string expected = upsampled(script.audio, 2);
    bool found = false;
    for (int i = 0; i < 100 && !found; ++i) {
        const std::vector<char> played = ch->received_audio();
        found = contains(std::string(played.begin(), played.end()), expected);
        if (!found)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(found) << "the audio raised to 16 kHz, twice as many samples";
    EXPECT_EQ("8000", start_of(ended_connection(1)).sample_rate);
}

// A service that cuts its byte stream at odd lengths, the buffer running dry between the pieces: only
// whole samples play. Silence between pieces is whole zero samples, so without them what played is
// exactly the service's samples; half a sample joined with silence would show as one that is not.
TEST_F(SpeakwireE2E, OddLengthMessagesPlayAsWholeSamples)
{
    start();
    cloud_->set_behaviour_factory(fakecloud::synth_factory(paced(fakecloud::synth_audio_pattern(6000, 3), 50, 333)));
    mrcphost::channel* ch = open_channel("ch-odd");
    ASSERT_TRUE(ch);
    speak(ch, "odd pieces");
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
    std::string samples;
    for (int i = 0; i < 100 && samples.size() < 6000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::vector<char> played = ch->received_audio();
        samples.clear();
        for (size_t j = 0; j + 1 < played.size(); j += 2)
            if (played[j] != 0 || played[j + 1] != 0)
                samples.append(&played[j], 2);
    }
    EXPECT_TRUE(same_audio(fakecloud::synth_audio_pattern(6000, 3), samples));
}

// Backpressure: one service floods audio for 10 s while another synthesizes a 60 s prompt in 2 s, each
// for its own channel. The flooding connection is held back (the service waits in TCP), so memory stays
// within the buffer bound plus a little and STOP ends it at once; the prompt still plays whole.
TEST_F(SpeakwireE2E, FloodIsHeldBackAndALongFastPromptPlaysWhole)
{
    start();
    const std::string prompt = fakecloud::synth_audio_pattern(960000, 7);  // 60 s at 8000 Hz
    const synth_script fast = paced(prompt, 10, 4800);                     // in 2 s
    synth_script flood;
    flood.flood_ms = 10000;
    flood.audio_sent = std::make_shared<std::atomic<size_t>>(0);
    cloud_->set_behaviour_factory(
        [fast, flood](const ws_record& rec) { return fakecloud::synth_behaviour(rec.id == 1 ? fast : flood); });
    mrcphost::channel* prompt_ch = open_channel("ch-prompt");
    mrcphost::channel* flood_ch = open_channel("ch-flood");
    ASSERT_TRUE(prompt_ch && flood_ch);

    const long before = rss_kib();
    speak(prompt_ch, "a long prompt");
    ASSERT_TRUE(cloud_->wait_for_open(1, std::chrono::milliseconds(k_wait_ms)));
    speak(flood_ch, "a flood");
    long peak = before;
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peak = std::max(peak, rss_kib());
    }
    message_record stopped = response(flood_ch, flood_ch->send("STOP"));
    EXPECT_EQ(200, stopped.status_code) << stopped.line();
    const long after_stop = rss_kib();
    const size_t sent = *flood.audio_sent;
    const size_t played_bytes = flood_ch->received_audio().size();
    printf("flood: %zu bytes sent in 10 s, %zu played; resident memory %ld KiB before, peak +%ld KiB, "
           "+%ld KiB after STOP (bound %d KiB)\n",
           sent, played_bytes, before, peak - before, after_stop - before, 256);
    // Without backpressure the flood sends hundreds of megabytes; held back, no more than what played,
    // the bound and what the sockets' kernel buffers take.
    EXPECT_LT(sent, played_bytes + (size_t)32 * 1024 * 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The prompt's channel holds up to the bound too. (Sanitizers keep freed memory for a while.)
    EXPECT_LT(peak - before, 2 * 256 + 8 * 1024);
#endif

    message_record done;
    ASSERT_TRUE(prompt_ch->wait_event("SPEAK-COMPLETE", 75000, &done));
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, done.completion_cause) << done.line();
    EXPECT_TRUE(same_audio(prompt, played(prompt_ch, prompt.size())));
    EXPECT_TRUE(no_complete(flood_ch));
}

TEST_F(SpeakwireE2E, RequestsWithNoSpeakRunningAreAnsweredAtOnceAndTouchNothing)
{
    start();
    cloud_->set_behaviour_factory(fakecloud::synth_factory(synth_script()));
    mrcphost::channel* ch = open_channel("ch-idle");
    ASSERT_TRUE(ch);
    struct row {
        const char* method;
        std::vector<std::string> headers;
    };
    // PAUSE before RESUME, so that the SPEAK after the table plays. Prosody-Pitch is a field this plug-in
    // does not keep (a stock server does not even know it) and X-Wire-Unknown one no server knows: both
    // are only warned about.
    const row rows[] = {
        {"STOP", {}},
        {"PAUSE", {}},
        {"RESUME", {}},
        {"CONTROL", {}},
        {"SET-PARAMS", {"Prosody-Pitch: high", "X-Wire-Unknown: 1"}},
        {"GET-PARAMS", {"Prosody-Pitch:", "X-Wire-Unknown:"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.method);
        message_record resp = response(ch, ch->send(r.method, r.headers));
        EXPECT_EQ(200, resp.status_code) << resp.line();
        EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, resp.request_state) << resp.line();
    }
    mrcphost::log_capture& logs = mrcphost::log_capture::instance();
    EXPECT_EQ(4u, logs.count("can find the header [", APT_PRIO_WARNING)) << logs.dump();
    for (const char* field : {"Prosody-Pitch]", "X-Wire-Unknown]"})
        EXPECT_EQ(2u, logs.count(field, APT_PRIO_WARNING)) << field;
    EXPECT_TRUE(no_complete(ch, 100));
    EXPECT_EQ(0u, cloud_->connection_count());
    speak(ch, "after them");
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_NORMAL, complete(ch).completion_cause);
}

TEST_F(SpeakwireE2E, SpeakTaskThatCannotStart)
{
    start();
    mrcphost::fail_task_starts("Synth Task", 1);
    // The open is still answered, by the engine task; the channel only refuses what needs the task.
    mrcphost::channel* ch = open_channel("ch-no-task");
    ASSERT_TRUE(ch);
    message_record refused = response(ch, ch->send("SPEAK", {"Content-Type: text/plain"}, "nobody speaks"));
    EXPECT_EQ(407, refused.status_code) << refused.line();
    EXPECT_EQ(SYNTHESIZER_COMPLETION_CAUSE_ERROR, refused.completion_cause) << refused.line();
    EXPECT_EQ(200, response(ch, ch->send("STOP")).status_code);
    EXPECT_TRUE(no_complete(ch, 100));
    EXPECT_TRUE(ch->close(k_wait_ms));
    EXPECT_EQ(0u, cloud_->connection_count());
}

TEST_F(SpeakwireE2E, StopBeforeTheSpeakTaskTookTheSpeak)
{
    start();
    // Every handshake takes a while, so that the speak task is still connecting for the first SPEAK
    // while the second SPEAK and its STOP are handled.
    fakecloud::network_delay delay;
    delay.handshake_ms = 400;
    cloud_->set_network_delay(delay);
    cloud_->set_behaviour_factory(fakecloud::synth_factory(paced(fakecloud::synth_audio_pattern(16000, 12))));
    mrcphost::channel* ch = open_channel("ch-early-stop");
    ASSERT_TRUE(ch);
    const mrcp_request_id first = speak(ch, "first");
    const mrcp_request_id stop1 = ch->send("STOP");
    const mrcp_request_id second = ch->send("SPEAK", {"Content-Type: text/plain"}, "second");
    const mrcp_request_id stop2 = ch->send("STOP");
    for (mrcp_request_id id : {stop1, second, stop2})
        response(ch, id);
    // Each SPEAK has its IN-PROGRESS, with its Speech-Marker, before the STOP that ended it.
    std::vector<mrcp_request_id> order;
    for (const message_record& m : ch->messages()) {
        if (m.is_event())
            ADD_FAILURE() << "unexpected " << m.line();
        if (!m.is_response())
            continue;
        order.push_back(m.request_id);
        EXPECT_EQ(200, m.status_code) << m.line();
        if (m.request_id == first || m.request_id == second) {
            EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state) << m.line();
            EXPECT_EQ(0u, m.field("Speech-Marker").find("timestamp=")) << m.line();
        }
    }
    EXPECT_EQ((std::vector<mrcp_request_id>{first, stop1, second, stop2}), order);
    EXPECT_TRUE(no_complete(ch));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
