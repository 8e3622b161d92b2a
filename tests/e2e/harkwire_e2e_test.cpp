// harkwire end to end: the host loads the real plug-in, which recognizes against the fake cloud
// over real TLS on 127.0.0.1. Each test reads like a call: open a channel, send requests, expect
// these events in this order, then check what the cloud received.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "fake_cloud.h"
#include "mrcp_host.h"
#include "recog_script.h"
#include "e2e_support.h"

namespace {

using e2e::audible;
using e2e::closed_port;
using e2e::read_file;

using fakecloud::recog_script;
using fakecloud::recog_segment;
using fakecloud::ws_record;
using mrcphost::message_record;

const int k_wait_ms = 8000;       // bound for anything that must happen (a connect waits at most 5 s)
const size_t k_frame_8k = 160;    // bytes of one 10 ms frame at 8 kHz


bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A 10 ms frame that is not silent: a tone with an offset, so that no frame is all zero.
std::vector<char> speech_frame(size_t index, size_t bytes)
{
    std::vector<char> frame(bytes);
    size_t samples = bytes / 2;
    for (size_t i = 0; i < samples; ++i) {
        double t = (double)(index * samples + i);
        int16_t v = (int16_t)(300 + lround(4000.0 * sin(2.0 * M_PI * t / 20.0)));
        frame[2 * i] = (char)(v & 0xff);
        frame[2 * i + 1] = (char)((v >> 8) & 0xff);
    }
    return frame;
}

// 'count' speech frames with a silent frame after every third; 'sent' gets the speech frames alone.
std::vector<char> speech_with_gaps(size_t count, std::string* sent, size_t frame_bytes = k_frame_8k)
{
    std::vector<char> pcm;
    for (size_t i = 0; i < count; ++i) {
        std::vector<char> f = speech_frame(i, frame_bytes);
        pcm.insert(pcm.end(), f.begin(), f.end());
        if (sent)
            sent->append(f.data(), f.size());
        if (i % 3 == 2)
            pcm.insert(pcm.end(), frame_bytes, '\0');
    }
    return pcm;
}

std::string grammar(const std::string& domain, bool continuous = false, const std::string& extra_rules = "")
{
    std::string g = std::string("<grammar mode=\"") + (continuous ? "continuous" : "voice") + "\">"
                    "<rule id=\"service\"><one-of><item><ruleref uri=\"#speech-to-text\"/></item></one-of></rule>";
    if (!domain.empty())
        g += "<rule id=\"domain\"><one-of><item><ruleref uri=\"#" + domain + "\"/></item></one-of></rule>";
    return g + extra_rules + "</grammar>";
}

std::string need_qa_rule(const std::string& user_id)
{
    return "<rule id=\"need-qa\"><one-of><item>{\"regular\":{\"qa\":{\"userId\":\"" + user_id +
           "\"},\"result\":\"r1\"}}</item></one-of></rule>";
}

std::string expected_nlsml(const std::string& channel_id, const std::string& grammar_attr,
                           const std::string& confidence, const std::string& text)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n"
           "<result>\r\n"
           "    <interpretation grammar=\"" + grammar_attr + "\" confidence=\"" + confidence + "\">\r\n"
           "        <instance>\r\n"
           "            <r0>" + channel_id + "</r0>\r\n"
           "            <meaning>" + text + "</meaning>\r\n"
           "        </instance>\r\n"
           "        <input mode=\"speech\">" + text + "</input>\r\n"
           "    </interpretation>\r\n"
           "</result>\r\n";
}

recog_segment segment(const std::string& text, double score = 0.5)
{
    recog_segment s;
    s.start_time = 0;
    s.end_time = 900;
    s.score = score;
    s.text = text;
    return s;
}

std::vector<std::string> event_names(const std::vector<message_record>& messages)
{
    std::vector<std::string> names;
    for (const message_record& m : messages)
        names.push_back(m.is_event() ? m.name : m.name + " response");
    return names;
}


struct config {
    std::string init_path;            // "" leaves init-path empty
    int save_waveform = 0;            // the sample's
    int save_navi_waveform = 0;
};

class HarkwireE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        mrcphost::log_capture::instance().set_quiet(true);
        mrcphost::log_capture::instance().clear();
        char tmpl[] = "/tmp/harkwire_e2e_XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root_ = tmpl;
        for (const char* d : {"/bin", "/conf", "/data", "/wave", "/navi"})
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
        // The cloud goes first: it ends every connection (also a handshake it holds), so that
        // unloading the plug-in finds nothing still closing.
        cloud_.reset();
        plugin_.reset();
        if (HasFailure())
            fprintf(stderr, "%s\n", mrcphost::log_capture::instance().dump().c_str());
        if (chdir(old_cwd_.c_str()) != 0)
            perror("chdir");
        std::string cmd = "rm -rf '" + root_ + "'";
        (void)!system(cmd.c_str());
    }

    config default_config() const
    {
        config c;
        c.init_path = cloud_->ws_url("/asr/sentence-stream");
        return c;
    }

    // The shipped sample with the fake cloud's endpoints: every other setting is what operators run.
    void write_config(const config& c)
    {
        e2e::harkwire_conf h;
        h.init_path = c.init_path;
        h.token_url = cloud_->token_url();
        h.save_waveform = c.save_waveform;
        h.wave_dir = root_ + "/wave";
        h.save_navi_waveform = c.save_navi_waveform;
        h.navi_dir = root_ + "/navi";
        std::string xml = e2e::harkwire_sample_conf(HARKWIRE_PLUGIN_PATH, h);
        ASSERT_FALSE(xml.empty());
        std::ofstream(root_ + "/conf/unimrcprecog.xml") << xml;
    }

    // Loads and opens the plug-in with the configuration, and waits for the first token.
    void start(const config& c)
    {
        write_config(c);
        mrcphost::plugin_options o;
        o.path = HARKWIRE_PLUGIN_PATH;
        o.conf_dir = root_ + "/conf";
        o.data_dir = root_ + "/data";
        plugin_.reset(new mrcphost::plugin(o));
        std::string error;
        ASSERT_TRUE(plugin_->load(&error)) << error;
        ASSERT_TRUE(plugin_->open());
        ASSERT_TRUE(cloud_->wait_for_token_replies(1, std::chrono::milliseconds(k_wait_ms)));
        ASSERT_TRUE(wait_file(root_ + "/conf/x_auth_token.txt"));
    }

    void start() { start(default_config()); }

    // Waveform saving on, with the append at close.
    void start_saving()
    {
        config c = default_config();
        c.save_waveform = 1;
        c.save_navi_waveform = 1;
        start(c);
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

    mrcphost::channel* open_channel(const std::string& id, apr_uint16_t rate = 8000, bool media = true)
    {
        mrcphost::channel* ch = plugin_->create_channel(id);
        EXPECT_TRUE(ch);
        if (!ch)
            return NULL;
        EXPECT_TRUE(ch->set_codec(rate));
        EXPECT_TRUE(ch->open(k_wait_ms, media));
        return ch;
    }

    // RECOGNIZE with an inline grammar under Content-Id g-<domain>; expects IN-PROGRESS.
    mrcp_request_id recognize(mrcphost::channel* ch, const std::string& domain, bool continuous = false,
                              const std::string& extra_rules = "")
    {
        mrcp_request_id id = ch->send("RECOGNIZE",
                                      {"Content-Type: application/srgs+xml", "Content-Id: <g-" + domain + ">"},
                                      grammar(domain, continuous, extra_rules));
        message_record r;
        EXPECT_TRUE(ch->wait_response(id, k_wait_ms, &r));
        EXPECT_EQ(200, r.status_code) << r.line();
        EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, r.request_state) << r.line();
        return id;
    }

    message_record wait_complete(mrcphost::channel* ch)
    {
        message_record rc;
        EXPECT_TRUE(ch->wait_event("RECOGNITION-COMPLETE", k_wait_ms, &rc));
        return rc;
    }

    ws_record ended_connection(int id)
    {
        EXPECT_TRUE(cloud_->wait_for_end(id, std::chrono::milliseconds(k_wait_ms)));
        return cloud_->connection(id);
    }

    void set_scripts(const std::map<std::string, recog_script>& scripts)
    {
        cloud_->set_behaviour_factory(fakecloud::recog_behaviour_by_domain(scripts, fakecloud::recog_script_silent()));
    }

    std::string root_;
    std::string old_cwd_;
    std::unique_ptr<fakecloud::fake_cloud> cloud_;
    std::unique_ptr<mrcphost::plugin> plugin_;
};

TEST_F(HarkwireE2E, VoiceRecognition)
{
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(30, &sent);
    set_scripts({{"common", fakecloud::recog_script_voice("hello world", sent.size())}});
    start();
    mrcphost::channel* ch = open_channel("ch1");

    // The grammar by DEFINE-GRAMMAR, then RECOGNIZE by reference.
    mrcp_request_id define = ch->send("DEFINE-GRAMMAR", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"},
                                      grammar(""));
    message_record r;
    ASSERT_TRUE(ch->wait_response(define, k_wait_ms, &r));
    ASSERT_EQ(200, r.status_code) << r.line();
    mrcp_request_id req = ch->send("RECOGNIZE", {"Content-Type: text/plain"}, "session:<g1>");
    ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &r));
    ASSERT_EQ(MRCP_REQUEST_STATE_INPROGRESS, r.request_state) << r.line();
    ch->queue_audio(pcm);

    message_record rc = wait_complete(ch);
    EXPECT_EQ(req, rc.request_id);
    EXPECT_EQ(0, rc.completion_cause) << rc.line();
    EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, rc.request_state);
    EXPECT_EQ("application/nlsml+xml", rc.field("Content-Type"));
    EXPECT_EQ(expected_nlsml("ch1", "session:g1", "0.52", "hello world"), rc.body);
    std::vector<std::string> names = event_names(ch->messages());
    EXPECT_EQ((std::vector<std::string>{"DEFINE-GRAMMAR response", "RECOGNIZE response", "START-OF-INPUT",
                                        "RECOGNITION-COMPLETE"}),
              names);

    ws_record rec = ended_connection(1);
    EXPECT_EQ("/asr/sentence-stream", rec.resource);
    EXPECT_EQ(read_file(root_ + "/conf/x_auth_token.txt"), rec.auth_token);
    EXPECT_EQ("{\"command\":\"START\",\"config\":{\"audio_format\":\"pcm8k16bit\",\"interim_results\":\"no\","
              "\"max_seconds\":10,\"property\":\"chinese_8k_common\",\"vad_head\":8000,\"vad_tail\":800,"
              "\"vad_threshold\":10}}\n",
              fakecloud::recog_start_text(rec));
    EXPECT_EQ(sent, fakecloud::recog_audio(rec));
    EXPECT_TRUE(rec.close_received);
    EXPECT_EQ(1001, rec.close_code);
    EXPECT_EQ(0u, fakecloud::recog_end_count(rec));
    EXPECT_TRUE(fakecloud::recog_protocol_errors(rec).empty());

    mrcp_request_id get = ch->send("GET-RESULT");
    ASSERT_TRUE(ch->wait_response(get, k_wait_ms, &r));
    EXPECT_EQ(200, r.status_code);
    EXPECT_EQ(rc.body, r.body);
    EXPECT_EQ("application/nlsml+xml", r.field("Content-Type"));
}

TEST_F(HarkwireE2E, ContinuousModeSendsInterpretationsThenEnds)
{
    recog_script script;
    script.send_at_start(fakecloud::recog_reply_start())
        .send_after_audio(800, fakecloud::recog_reply_result({segment("one", 0.8), segment("two", 0.6), segment("three")}))
        .send_after_audio(1600, fakecloud::recog_reply_event("EXCEEDED_AUDIO"));
    set_scripts({{"cont", script}});
    start();
    mrcphost::channel* ch = open_channel("ch1");
    mrcp_request_id req = recognize(ch, "cont", true);
    ch->queue_audio(speech_with_gaps(30, NULL));

    message_record rc = wait_complete(ch);
    EXPECT_EQ(3, rc.completion_cause);
    EXPECT_TRUE(rc.body.empty());
    std::vector<message_record> interpretations;
    for (const message_record& m : ch->messages())
        if (m.is_event() && m.name == "INTERPRETATION-COMPLETE")
            interpretations.push_back(m);
    ASSERT_EQ(3u, interpretations.size());
    const char* texts[] = {"one", "two", "three"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(req, interpretations[i].request_id);
        EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, interpretations[i].request_state);
        EXPECT_EQ(0, interpretations[i].completion_cause);
        EXPECT_NE(std::string::npos, interpretations[i].body.find(std::string(">") + texts[i] + "</input>"));
    }
    ws_record rec = ended_connection(1);
    EXPECT_EQ("/asr/continue-stream", rec.resource);
    EXPECT_EQ(1001, rec.close_code);

    message_record r;
    mrcp_request_id get = ch->send("GET-RESULT");
    ASSERT_TRUE(ch->wait_response(get, k_wait_ms, &r));
    EXPECT_EQ(interpretations[2].body, r.body);
}

TEST_F(HarkwireE2E, EachCompletionPath)
{
    struct row {
        const char* domain;
        recog_script script;
        int cause;
        int close_code;   // the plug-in's close frame: 1001, 1009 for a reply too big, 0 when the service dropped it
    };
    mrcphost::log_capture& logs = mrcphost::log_capture::instance();
    auto after_audio = [](const std::string& reply) {
        recog_script s;
        s.send_at_start(fakecloud::recog_reply_start()).send_after_audio(480, reply);
        return s;
    };
    recog_script dropped;
    dropped.send_at_start(fakecloud::recog_reply_start()).drop_after_audio(480);
    recog_script twice = after_audio(fakecloud::recog_reply_event("EXCEEDED_AUDIO"));
    twice.send_after_audio(480, fakecloud::recog_reply_error("E2"));
    fakecloud::recog_segment long_segment;
    long_segment.text = std::string(70 * 1024, 'a');  // a well-formed result, over the 64 KiB a reply may hold
    std::vector<row> rows = {
        {"silence", after_audio(fakecloud::recog_reply_event("EXCEEDED_SILENCE")), 2, 1001},
        {"toolong", after_audio(fakecloud::recog_reply_event("EXCEEDED_AUDIO")), 3, 1001},
        {"error", after_audio(fakecloud::recog_reply_error("E1")), 6, 1001},
        {"fatal", after_audio(fakecloud::recog_reply_error("E9", true)), 6, 1001},
        {"unusable", after_audio("{\"resp_type\":\"RESULT\",\"trace_id\":\"t\",\"segments\":\"x\"}"), 6, 1001},
        {"dropped", dropped, 6, 0},
        {"twice", twice, 3, 1001},
        {"toobig", after_audio(fakecloud::recog_reply_result({long_segment})), 6, 1009},
    };
    std::map<std::string, recog_script> scripts;
    for (const row& r : rows)
        scripts[r.domain] = r.script;
    set_scripts(scripts);
    start();
    int connection = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.domain);
        mrcphost::channel* ch = open_channel(std::string("ch-") + r.domain);
        recognize(ch, r.domain);
        ch->queue_audio(speech_with_gaps(12, NULL));
        message_record rc = wait_complete(ch);
        EXPECT_EQ(r.cause, rc.completion_cause) << rc.line();
        EXPECT_TRUE(rc.body.empty());
        ws_record rec = ended_connection(++connection);
        if (r.close_code == 1009) {
            // Refused unread: the service, still writing the reply, may see its connection dropped (a
            // reset) before it reads the close; the plug-in says why.
            EXPECT_TRUE(logs.contains("closed with 1009, message too big", APT_PRIO_ERROR)) << logs.dump();
        } else {
            EXPECT_EQ(r.close_code != 0, rec.close_received);
            if (r.close_code != 0) {
                EXPECT_EQ(r.close_code, rec.close_code);
            }
        }
        EXPECT_EQ(0u, fakecloud::recog_end_count(rec));
        // Once the connection is gone nothing more can come: exactly one completion.
        size_t completions = 0;
        for (const message_record& m : ch->messages())
            completions += m.is_event() && m.name == "RECOGNITION-COMPLETE";
        EXPECT_EQ(1u, completions);
    }
}

TEST_F(HarkwireE2E, BuiltInGrammarReference)
{
    struct row {
        const char* body;
        int status;      // of the RECOGNIZE response
        int cause;       // -1: none
    };
    const row rows[] = {
        {" \tbuild in: \r\n date  \n", 200, -1},  // blanks inside and after the prefix
        {"buildin:   \r\n", 406, 4},                // no name: taken as an inline grammar without Content-Id
        {"Buildin:date", 406, 4},                      // the prefix is case-sensitive
    };
    start();
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.body);
        mrcphost::channel* ch = open_channel("ch" + std::to_string(++n));
        mrcp_request_id req = ch->send("RECOGNIZE", {"Content-Type: text/plain"}, r.body);
        message_record resp;
        ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &resp));
        EXPECT_EQ(r.status, resp.status_code) << resp.line();
        EXPECT_EQ(r.cause, resp.completion_cause) << resp.line();
        if (r.status == 200) {
            EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, resp.request_state);
            ASSERT_TRUE(cloud_->wait_for_messages(1, 1, std::chrono::milliseconds(k_wait_ms)));
            EXPECT_EQ("chinese_8k_common", fakecloud::recog_property(fakecloud::recog_start_text(cloud_->connection(1))));
        }
    }
    EXPECT_EQ(1u, cloud_->connection_count());
}

// Each way a RECOGNIZE is refused, answered at once with its status and cause; none reaches the
// service, and none stops the engine task from serving the next request.
TEST_F(HarkwireE2E, RecognizeRefusals)
{
    const std::string fifo = root_ + "/grammar.fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string inline_type = "Content-Type: application/srgs+xml";
    const std::string no_service = "<grammar mode=\"voice\"><rule id=\"domain\"><one-of><item>"
                                   "<ruleref uri=\"#common\"/></item></one-of></rule></grammar>";
    std::string big = grammar("big");
    big.resize(16 * 1024 * 1024 + 1, ' ');  // a good grammar but for its size
    struct row {
        const char* name;
        std::vector<std::string> lines;
        std::string body;
        int status;
        int cause;  // -1: none
    };
    const std::vector<row> rows = {
        {"inline grammar without Content-Id", {inline_type}, grammar("x"), 406, 4},
        {"missing file", {"Content-Type: text/uri-list"}, root_ + "/none.xml", 407, 4},
        {"FIFO", {"Content-Type: text/uri-list"}, fifo, 407, 4},
        {"over 16 MiB", {inline_type, "Content-Id: <big>"}, big, 407, 4},
        {"not a grammar", {inline_type, "Content-Id: <g>"}, "no grammar at all", 407, 4},
        {"unknown session id", {"Content-Type: text/plain"}, "session:<never-defined>", 404, 4},
        {"voice mode without a capability", {inline_type, "Content-Id: <g>"}, no_service, 407, 6},
        {"no body", {inline_type, "Content-Id: <g>"}, "", 407, -1},
        {"empty body", {inline_type, "Content-Id: <g>", "Content-Length: 0"}, "", 407, -1},
    };
    start();
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        mrcphost::channel* ch = open_channel("ch" + std::to_string(++n));
        mrcp_request_id req = ch->send("RECOGNIZE", r.lines, r.body);
        message_record resp;
        ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &resp));
        EXPECT_EQ(r.status, resp.status_code) << resp.line();
        EXPECT_EQ(r.cause, resp.completion_cause) << resp.line();
        EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, resp.request_state);
    }
    EXPECT_EQ(0u, cloud_->connection_count());
    EXPECT_TRUE(mrcphost::log_capture::instance().contains("grammar file is not a regular file <" + fifo + ">"));

    // A URI list without Content-Id is no refusal: the URI is the grammar's id.
    std::ofstream(root_ + "/menu.xml") << grammar("menu");
    mrcphost::channel* ch = open_channel("ch-uri");
    mrcp_request_id req = ch->send("RECOGNIZE", {"Content-Type: text/uri-list"}, " " + root_ + "/menu.xml\r\n");
    message_record resp;
    ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &resp));
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, resp.request_state) << resp.line();
    EXPECT_TRUE(mrcphost::log_capture::instance().contains("add grammar to list <" + root_ + "/menu.xml>"));
}

// save_waveform 0 records nothing; 2 records and closes at channel close, with no append.
TEST_F(HarkwireE2E, WaveformSettingsThatDoNotFinish)
{
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(12, &sent);
    set_scripts({{"qa", fakecloud::recog_script_voice("x", sent.size())}});
    for (int save : {0, 2}) {
        SCOPED_TRACE(save);
        config c = default_config();
        c.save_waveform = save;
        c.save_navi_waveform = 1;
        start(c);
        mrcphost::channel* ch = open_channel("ch1");
        recognize(ch, "qa", false, need_qa_rule("u1"));
        ch->queue_audio(pcm);
        wait_complete(ch);
        ASSERT_TRUE(ch->close(k_wait_ms));
        EXPECT_EQ(save ? sent : "", read_file(root_ + "/wave/ch1.pcm"));
        EXPECT_FALSE(exists(root_ + "/navi/u1.pcm"));
        plugin_.reset();
    }
}

TEST_F(HarkwireE2E, ErrorRightAfterStartNeverHangs)
{
    recog_script script;
    script.send_at_start(fakecloud::recog_reply_error("FAST"));
    set_scripts({{"fast", script}});
    start();
    mrcphost::channel* ch = open_channel("ch1");
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        mrcp_request_id req = recognize(ch, "fast");
        message_record rc = wait_complete(ch);
        ASSERT_EQ(req, rc.request_id);
        EXPECT_EQ(6, rc.completion_cause);
    }
    // IN-PROGRESS always came first.
    std::vector<message_record> all = ch->messages();
    for (size_t i = 0; i + 1 < all.size(); i += 2) {
        EXPECT_TRUE(all[i].is_response()) << all[i].line();
        EXPECT_TRUE(all[i + 1].is_event()) << all[i + 1].line();
        EXPECT_EQ(all[i].request_id, all[i + 1].request_id);
    }
}

TEST_F(HarkwireE2E, RecognizeWhileRecognizingIsRefused)
{
    start();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "busy");
    mrcp_request_id second = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g2>"},
                                      grammar("busy"));
    message_record r;
    ASSERT_TRUE(ch->wait_response(second, k_wait_ms, &r));
    EXPECT_EQ(402, r.status_code);
    EXPECT_EQ(1u, cloud_->connection_count());
    EXPECT_FALSE(cloud_->connection(1).ended);  // the running one is left alone
}

TEST_F(HarkwireE2E, StopDuringAudio)
{
    recog_script script;
    script.send_at_start(fakecloud::recog_reply_start())
        .send_after_audio(320, fakecloud::recog_reply_event("VOICE_START"))
        .send_at_end(fakecloud::recog_reply_result({segment("late")}));
    set_scripts({{"stop", script}});
    start();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "stop");
    ch->queue_audio(speech_with_gaps(100, NULL));
    ASSERT_TRUE(ch->wait_event("START-OF-INPUT", k_wait_ms));
    mrcp_request_id stop = ch->send("STOP");
    message_record r;
    ASSERT_TRUE(ch->wait_response(stop, k_wait_ms, &r));
    EXPECT_EQ(200, r.status_code);
    EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, r.request_state);

    ws_record rec = ended_connection(1);
    EXPECT_EQ(1u, fakecloud::recog_end_count(rec));
    EXPECT_EQ(1001, rec.close_code);
    EXPECT_TRUE(fakecloud::recog_protocol_errors(rec).empty());  // no audio after END
    for (const message_record& m : ch->messages())
        EXPECT_NE("RECOGNITION-COMPLETE", m.name) << m.line();
}

TEST_F(HarkwireE2E, StopWithNoFramesFlowingIsStillAnswered)
{
    start();
    mrcphost::channel* ch = open_channel("ch1", 8000, false);
    recognize(ch, "idle");
    mrcp_request_id stop = ch->send("STOP");
    message_record r;
    ASSERT_TRUE(ch->wait_response(stop, k_wait_ms, &r));
    EXPECT_EQ(200, r.status_code);
    EXPECT_EQ(1u, fakecloud::recog_end_count(ended_connection(1)));
}

TEST_F(HarkwireE2E, StopFollowedAtOnceByRecognize)
{
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(20, &sent);
    set_scripts({{"again", fakecloud::recog_script_voice("second", sent.size())}});
    start();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "first");
    mrcp_request_id stop = ch->send("STOP");
    mrcp_request_id again = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g2>"},
                                     grammar("again"));
    message_record r;
    ASSERT_TRUE(ch->wait_response(stop, k_wait_ms, &r));
    EXPECT_EQ(200, r.status_code);
    ASSERT_TRUE(ch->wait_response(again, k_wait_ms, &r));
    ASSERT_EQ(MRCP_REQUEST_STATE_INPROGRESS, r.request_state) << r.line();
    ch->queue_audio(pcm);
    message_record rc = wait_complete(ch);
    EXPECT_EQ(again, rc.request_id);
    EXPECT_EQ(0, rc.completion_cause);
    EXPECT_EQ(sent, fakecloud::recog_audio(ended_connection(2)));
}

TEST_F(HarkwireE2E, ChannelCloseDuringRecognition)
{
    recog_script chatty;
    chatty.send_at_start(fakecloud::recog_reply_start());
    for (int i = 0; i < 40; ++i)
        chatty.send_at_start(fakecloud::recog_reply_result({segment("r" + std::to_string(i))}), 5);
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(20, &sent);
    set_scripts({{"chatty", chatty}, {"after", fakecloud::recog_script_voice("after", sent.size())}});
    start();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "chatty", true);
    ch->queue_audio(speech_with_gaps(50, NULL));
    ASSERT_TRUE(ch->wait_event("INTERPRETATION-COMPLETE", k_wait_ms));
    ASSERT_TRUE(ch->close(k_wait_ms));
    ws_record rec = ended_connection(1);
    EXPECT_EQ(1u, fakecloud::recog_end_count(rec));
    EXPECT_EQ(1001, rec.close_code);
    plugin_->destroy_channel("ch1");

    // The next channel is not touched by what the first connection still had in flight.
    mrcphost::channel* next = open_channel("ch2");
    mrcp_request_id req = recognize(next, "after");
    next->queue_audio(pcm);
    message_record rc = wait_complete(next);
    EXPECT_EQ(req, rc.request_id);
    EXPECT_EQ(0, rc.completion_cause);
    for (const message_record& m : next->messages())
        EXPECT_NE("INTERPRETATION-COMPLETE", m.name) << m.line();
}

TEST_F(HarkwireE2E, UnloadWithAConnectionOpen)
{
    start();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "left-open");
    ch->queue_audio(speech_with_gaps(10, NULL));
    ASSERT_TRUE(cloud_->wait_for_messages(1, 2, std::chrono::milliseconds(k_wait_ms)));
    plugin_->unload();  // must return: channels closed, connections ended, threads joined
    plugin_.reset();
    EXPECT_TRUE(cloud_->wait_for_end(1, std::chrono::milliseconds(k_wait_ms)));
}

TEST_F(HarkwireE2E, ServiceThatCannotBeReached)
{
    struct row {
        const char* name;
        fakecloud::ws_handshake::mode_e mode;
    };
    const row rows[] = {
        {"refusing", fakecloud::ws_handshake::refuse},
        {"silent", fakecloud::ws_handshake::never_answer},
    };
    start();
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fakecloud::ws_handshake hs;
        hs.mode = r.mode;
        cloud_->queue_handshake(hs);
        mrcphost::channel* ch = open_channel(std::string("ch-") + r.name);
        mrcp_request_id req = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"},
                                       grammar("x"));
        message_record resp;
        ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &resp));
        EXPECT_EQ(421, resp.status_code);
        EXPECT_EQ(6, resp.completion_cause);
        EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, resp.request_state);
    }
}

// Resuming a TLS session only saves work: a service that resets every connection offering a session
// still takes every request, and is offered no session again.
TEST_F(HarkwireE2E, ServiceRefusingResumedHandshakesFailsNoRequest)
{
    fakecloud::service_tls tls;
    tls.resumed = fakecloud::service_tls::reset;
    cloud_->set_service_tls(tls);
    start();
    mrcphost::channel* ch = open_channel("ch1");
    std::vector<int> statuses;
    for (int i = 0; i < 6; ++i) {
        mrcp_request_id req = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"},
                                       grammar("x"));
        message_record r;
        ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &r));
        statuses.push_back(r.status_code);
        if (r.request_state != MRCP_REQUEST_STATE_INPROGRESS)
            continue;
        mrcp_request_id stop = ch->send("STOP");
        ASSERT_TRUE(ch->wait_response(stop, k_wait_ms, &r));
    }
    EXPECT_EQ(std::vector<int>(6, 200), statuses);
    EXPECT_EQ(1u, cloud_->resumed_offers());
}

// The engine task does not wait for a handshake: a channel whose service is silent holds only its
// own later requests, answered in order after its RECOGNIZE; a close during the connect is answered
// at once and the attempt is given up.
TEST_F(HarkwireE2E, SilentHandshakeHoldsOnlyItsOwnChannel)
{
    fakecloud::ws_handshake silent;
    silent.mode = fakecloud::ws_handshake::never_answer;
    cloud_->queue_handshake(silent);
    cloud_->queue_handshake(fakecloud::ws_handshake());
    cloud_->queue_handshake(silent);
    start();
    mrcphost::channel* waiting = open_channel("waiting");
    mrcphost::channel* other = open_channel("other");
    mrcphost::channel* closing = open_channel("closing");
    const std::vector<std::string> headers = {"Content-Type: application/srgs+xml", "Content-Id: <g1>"};

    mrcp_request_id held = waiting->send("RECOGNIZE", headers, grammar("x"));
    mrcp_request_id stop = waiting->send("STOP");
    mrcp_request_id get = waiting->send("GET-RESULT");
    ASSERT_TRUE(cloud_->wait_for_ws_accepts(1, std::chrono::milliseconds(k_wait_ms)));
    recognize(other, "x");
    EXPECT_TRUE(waiting->messages().empty()) << waiting->messages()[0].line();

    closing->send("RECOGNIZE", headers, grammar("x"));
    ASSERT_TRUE(cloud_->wait_for_ws_accepts(3, std::chrono::milliseconds(k_wait_ms)));
    closing->send("RECOGNIZE", headers, grammar("x"));  // held; taken during the close, it connects no more
    EXPECT_TRUE(closing->close(2000));
    std::vector<message_record> closed = closing->messages();
    ASSERT_EQ(2u, closed.size());
    for (const message_record& m : closed) {
        EXPECT_EQ(421, m.status_code) << m.line();
        EXPECT_EQ(6, m.completion_cause);
    }
    EXPECT_TRUE(mrcphost::log_capture::instance().contains(
        "RECOGNIZE not started: channel <closing> closes <closing@", APT_PRIO_INFO));
    EXPECT_TRUE(waiting->messages().empty()) << waiting->messages()[0].line();

    // The RECOGNIZE first; the STOP response then leaves with the next frame.
    ASSERT_TRUE(waiting->wait_message_count(3, k_wait_ms));
    std::vector<message_record> answers = waiting->messages();
    EXPECT_EQ(held, answers[0].request_id);
    EXPECT_EQ(421, answers[0].status_code) << answers[0].line();
    EXPECT_EQ(6, answers[0].completion_cause);
    std::map<mrcp_request_id, int> status;
    for (const message_record& m : answers)
        status[m.request_id] = m.status_code;
    EXPECT_EQ(200, status[stop]);
    EXPECT_EQ(407, status[get]);
    EXPECT_EQ(1u, cloud_->connection_count());  // only the other channel's upgrade arrived
}

// The server closes the engine while a channel's RECOGNIZE waits for its connection: that request and
// every one held behind it get their one answer, in order, and the held RECOGNIZE connects no more.
TEST_F(HarkwireE2E, EngineCloseAnswersEveryHeldRequest)
{
    fakecloud::ws_handshake silent;
    silent.mode = fakecloud::ws_handshake::never_answer;
    cloud_->queue_handshake(silent);
    start();
    mrcphost::channel* ch = open_channel("ch1");
    const std::vector<std::string> headers = {"Content-Type: application/srgs+xml", "Content-Id: <g1>"};
    const mrcp_request_id ids[] = {ch->send("RECOGNIZE", headers, grammar("x")),
                                   ch->send("SET-PARAMS", {"No-Input-Timeout: 3000"}),
                                   ch->send("RECOGNIZE", headers, grammar("x")),
                                   ch->send("GET-PARAMS", {"No-Input-Timeout:"})};
    ASSERT_TRUE(cloud_->wait_for_ws_accepts(1, std::chrono::milliseconds(k_wait_ms)));
    mrcp_engine_t* engine = plugin_->engine();
    ASSERT_TRUE(engine->method_vtable->close(engine));  // returns once the engine task has ended
    std::vector<message_record> answers = ch->messages();
    ASSERT_EQ(4u, answers.size());
    const int status[] = {421, 200, 421, 200};
    for (size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(ids[i], answers[i].request_id) << answers[i].line();
        EXPECT_EQ(status[i], answers[i].status_code) << answers[i].line();
        EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, answers[i].request_state) << answers[i].line();
    }
    EXPECT_EQ("3000", answers[3].field("No-Input-Timeout"));
    EXPECT_TRUE(mrcphost::log_capture::instance().contains(
        "RECOGNIZE not started: the engine of channel <ch1> closes <ch1@", APT_PRIO_INFO));
    ch->close(0);  // no engine task is left to answer it
}

// A server that destroys a channel before its close was handled: the connect the channel started is
// closed once it opens, not left open until unload.
TEST_F(HarkwireE2E, ConnectOfAChannelDestroyedBeforeItsCloseIsClosed)
{
    fakecloud::ws_handshake slow;
    slow.delay_ms = 1000;  // the open comes once the engine task is held below
    cloud_->queue_handshake(slow);
    start();
    mrcphost::channel* gone = open_channel("gone");
    mrcphost::channel* holder = open_channel("holder");
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    bool first = true;
    holder->set_listener([&](const message_record&) {
        if (!first)
            return;
        first = false;
        entered.set_value();
        released.wait();
    });
    gone->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"}, grammar("x"));
    holder->send("GET-PARAMS");
    entered.get_future().wait();  // the engine task is held in the answer to GET-PARAMS
    gone->close(0);               // the close is queued behind it and not answered meanwhile
    mrcp_engine_channel_t* ec = gone->engine_channel();
    ec->method_vtable->destroy(ec);
    release.set_value();
    EXPECT_EQ(1001, ended_connection(1).close_code);
    holder->set_listener(nullptr);
}

// The process's grammar fetch threads.
size_t fetch_threads()
{
    size_t n = 0;
    for (const std::string& name : proc_self::thread_names())
        n += name == "grammar fetch";
    return n;
}

// Waits until there are this many fetch threads and at most 'at_most' threads in all.
bool wait_threads(size_t fetches, size_t at_most = SIZE_MAX)
{
    for (int i = 0; i < k_wait_ms / 10; ++i) {
        if (fetch_threads() == fetches && proc_self::entries("/proc/self/task") <= at_most)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A grammar server that does not answer holds only the channel whose request fetches from it: the
// channel's later requests wait behind that request, other channels go on, and a close answers at
// once, in order, and ends the fetch.
TEST_F(HarkwireE2E, SilentGrammarServerHoldsOnlyItsOwnChannel)
{
    e2e::silent_http_server grammars;
    start();
    mrcphost::channel* waiting = open_channel("waiting");
    mrcphost::channel* other = open_channel("other");

    mrcp_request_id define =
        waiting->send("DEFINE-GRAMMAR", {"Content-Type: text/uri-list", "Content-Id: g1"}, grammars.url("/g.xml"));
    mrcp_request_id get = waiting->send("GET-RESULT");
    ASSERT_TRUE(wait_threads(1));
    recognize(other, "x");
    mrcp_request_id other_define = other->send("DEFINE-GRAMMAR", {"Content-Type: application/srgs+xml",
                                                                  "Content-Id: g2"}, grammar("y"));
    message_record r;
    ASSERT_TRUE(other->wait_response(other_define, k_wait_ms, &r));
    EXPECT_EQ(200, r.status_code) << r.line();
    EXPECT_TRUE(waiting->messages().empty()) << waiting->messages()[0].line();

    EXPECT_TRUE(waiting->close(2000));
    std::vector<message_record> answers = waiting->messages();
    ASSERT_EQ(2u, answers.size());
    EXPECT_EQ(define, answers[0].request_id);
    EXPECT_EQ(407, answers[0].status_code) << answers[0].line();
    EXPECT_EQ(4, answers[0].completion_cause);
    EXPECT_EQ(get, answers[1].request_id);
    EXPECT_EQ(407, answers[1].status_code) << answers[1].line();
    EXPECT_TRUE(mrcphost::log_capture::instance().contains(
        "read_uri_file failed <" + grammars.url("/g.xml") + ">{cancelled!}", APT_PRIO_ERROR));
    EXPECT_TRUE(wait_threads(0)) << fetch_threads() << " fetch threads";
}

// A RECOGNIZE whose grammar is being fetched: a close answers it at once and leaves no thread behind;
// an unload does not wait for the grammar server either.
TEST_F(HarkwireE2E, CloseOrUnloadDuringAGrammarFetch)
{
    e2e::silent_http_server grammars;
    start();
    const std::vector<std::string> headers = {"Content-Type: text/uri-list", "Fetch-Timeout: 600000"};
    mrcphost::channel* closing = open_channel("closing");
    const size_t threads = proc_self::entries("/proc/self/task");
    closing->send("RECOGNIZE", headers, grammars.url("/g.xml"));
    ASSERT_TRUE(wait_threads(1));
    EXPECT_TRUE(closing->close(2000));
    std::vector<message_record> answers = closing->messages();
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(407, answers[0].status_code) << answers[0].line();
    EXPECT_EQ(4, answers[0].completion_cause);
    EXPECT_TRUE(wait_threads(0, threads)) << fetch_threads() << " fetch threads";
    EXPECT_EQ(0u, cloud_->connection_count());

    mrcphost::channel* unloading = open_channel("unloading");
    unloading->send("RECOGNIZE", headers, grammars.url("/g.xml"));
    ASSERT_TRUE(wait_threads(1));
    std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();
    plugin_->unload();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(k_wait_ms));
    EXPECT_EQ(0u, fetch_threads());
}

TEST_F(HarkwireE2E, ServiceNotListeningOrNotConfigured)
{
    config unreachable = default_config();
    unreachable.init_path = "wss://127.0.0.1:" + std::to_string(closed_port()) + "/asr/sentence-stream";
    config missing = default_config();
    missing.init_path = "";
    for (const config& c : {unreachable, missing}) {
        SCOPED_TRACE(c.init_path);
        start(c);
        mrcphost::channel* ch = open_channel("ch1");
        mrcp_request_id req = ch->send("RECOGNIZE", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"},
                                       grammar("x"));
        message_record resp;
        ASSERT_TRUE(ch->wait_response(req, k_wait_ms, &resp));
        EXPECT_EQ(421, resp.status_code);
        EXPECT_EQ(6, resp.completion_cause);
        plugin_.reset();
    }
    EXPECT_EQ(0u, cloud_->connection_count());
}

TEST_F(HarkwireE2E, WaveformHoldsWhatTheServiceGotAcrossRecognitions)
{
    std::string sent1, sent2;
    std::vector<char> pcm1 = speech_with_gaps(12, &sent1);
    std::vector<char> pcm2 = speech_with_gaps(15, &sent2);
    set_scripts({{"w1", fakecloud::recog_script_voice("one", sent1.size())},
                 {"w2", fakecloud::recog_script_voice("two", sent2.size())}});
    start_saving();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "w1");
    ch->queue_audio(pcm1);
    wait_complete(ch);
    recognize(ch, "w2");
    ch->queue_audio(pcm2);
    wait_complete(ch);
    ASSERT_TRUE(ch->close(k_wait_ms));
    EXPECT_EQ(sent1, fakecloud::recog_audio(cloud_->connection(1)));
    EXPECT_EQ(sent1 + sent2, read_file(root_ + "/wave/ch1.pcm"));
    EXPECT_FALSE(exists(root_ + "/data/ch1.pcm"));
}

TEST_F(HarkwireE2E, WaveformAppendedToTheUsersFile)
{
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(12, &sent);
    recog_script script;
    script.send_at_start(fakecloud::recog_reply_start())
        .send_after_audio(sent.size(), fakecloud::recog_reply_event("EXCEEDED_SILENCE"));
    set_scripts({{"qa", script}});
    start_saving();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "qa", false, need_qa_rule("u1"));
    ch->queue_audio(pcm);
    wait_complete(ch);
    ASSERT_TRUE(ch->close(k_wait_ms));
    EXPECT_EQ(sent, read_file(root_ + "/navi/u1.pcm"));
    EXPECT_EQ("this time write " + std::to_string(sent.size()) + " byte audio\n", read_file(root_ + "/navi/u1.txt"));
    EXPECT_FALSE(exists(root_ + "/wave/ch1.pcm"));
}

TEST_F(HarkwireE2E, TraversalUserIdKeepsTheRecording)
{
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(12, &sent);
    recog_script script;
    script.send_at_start(fakecloud::recog_reply_start())
        .send_after_audio(sent.size(), fakecloud::recog_reply_event("EXCEEDED_SILENCE"));
    set_scripts({{"qa", script}});
    start_saving();
    mrcphost::channel* ch = open_channel("ch1");
    recognize(ch, "qa", false, need_qa_rule("../evil"));
    ch->queue_audio(pcm);
    wait_complete(ch);
    ASSERT_TRUE(ch->close(k_wait_ms));
    EXPECT_EQ(sent, read_file(root_ + "/wave/ch1.pcm"));
    EXPECT_FALSE(exists(root_ + "/evil.pcm"));
    EXPECT_FALSE(exists(root_ + "/evil.txt"));
    EXPECT_TRUE(mrcphost::log_capture::instance().contains("is not a plain file name", APT_PRIO_WARNING));
}

TEST_F(HarkwireE2E, TwoChannelsAtOnce)
{
    std::string sent;
    std::vector<char> pcm = speech_with_gaps(25, &sent);
    set_scripts({{"alpha", fakecloud::recog_script_voice("alpha text", sent.size())},
                 {"beta", fakecloud::recog_script_voice("beta text", sent.size())}});
    start();
    mrcphost::channel* a = open_channel("cha");
    mrcphost::channel* b = open_channel("chb");
    recognize(a, "alpha");
    recognize(b, "beta");
    a->queue_audio(pcm);
    b->queue_audio(pcm);
    message_record ra = wait_complete(a);
    message_record rb = wait_complete(b);
    EXPECT_EQ(expected_nlsml("cha", "session:g-alpha", "0.52", "alpha text"), ra.body);
    EXPECT_EQ(expected_nlsml("chb", "session:g-beta", "0.52", "beta text"), rb.body);
    for (int id = 1; id <= 2; ++id)
        EXPECT_EQ(sent, fakecloud::recog_audio(ended_connection(id)));
}

TEST_F(HarkwireE2E, SixteenKilohertzReachesTheServiceAsEight)
{
    // One second of a 1 kHz tone at 16 kHz.
    std::vector<char> pcm(32000);
    for (size_t i = 0; i < 16000; ++i) {
        int16_t v = (int16_t)lround(8000.0 * sin(2.0 * M_PI * 1000.0 * i / 16000.0 + 0.3));
        pcm[2 * i] = (char)(v & 0xff);
        pcm[2 * i + 1] = (char)((v >> 8) & 0xff);
    }
    set_scripts({{"wide", fakecloud::recog_script_voice("wide", 16000)}});
    start();
    mrcphost::channel* ch = open_channel("ch1", 16000);
    recognize(ch, "wide");
    ch->queue_audio(pcm);
    EXPECT_EQ(0, wait_complete(ch).completion_cause);
    std::string got = fakecloud::recog_audio(ended_connection(1));
    ASSERT_EQ(16000u, got.size());  // half the bytes: 8000 samples
    const int16_t* s = reinterpret_cast<const int16_t*>(got.data());
    int crossings = 0;
    for (size_t i = 101; i < 8000; ++i)
        crossings += (s[i - 1] < 0) != (s[i] < 0);
    // 1 kHz read at 8 kHz crosses zero about 2000 times a second.
    EXPECT_NEAR(2000.0 * 7899.0 / 8000.0, crossings, 60.0);
    EXPECT_NE(std::string::npos, fakecloud::recog_start_text(cloud_->connection(1)).find("pcm8k16bit"));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
