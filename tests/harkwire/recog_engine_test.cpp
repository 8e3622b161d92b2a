// The recognizer engine through the host, with the real plug-in: engine open and close,
// channels, and the methods that need no recognition.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mrcp_host.h"

using mrcphost::channel;
using mrcphost::log_capture;
using mrcphost::message_record;
using mrcphost::plugin;
using mrcphost::plugin_options;

namespace {

const int kWait = 5000;

class RecogEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mrcphost::host_initialize();
        log_capture::instance().set_quiet(true);
        log_capture::instance().clear();
        char tmpl[] = "/tmp/recog_engine_XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override
    {
        plugin_.reset();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir_;
    }

    void write_config(const std::string& xml)
    {
        FILE* f = fopen((dir_ + "/unimrcprecog.xml").c_str(), "w");
        ASSERT_TRUE(f);
        fputs(xml.c_str(), f);
        fclose(f);
    }

    /* Loads and opens the engine; the configuration directory is the test's own. */
    void open_engine()
    {
        plugin_options options;
        options.path = HARKWIRE_PLUGIN_PATH;
        options.name = "harkwire";
        options.conf_dir = dir_;
        options.data_dir = dir_;
        plugin_.reset(new plugin(options));
        std::string error;
        ASSERT_TRUE(plugin_->load(&error)) << error;
        ASSERT_TRUE(plugin_->open()) << log_capture::instance().dump();
    }

    channel* open_channel(const std::string& id)
    {
        channel* ch = plugin_->create_channel(id);
        if (!ch)
            return NULL;
        ch->set_codec(8000);
        if (!ch->open(kWait, false))
            return NULL;
        return ch;
    }

    message_record request(channel* ch, const std::string& method, const std::vector<std::string>& lines = {},
                           const std::string& body = "")
    {
        message_record response;
        std::string error;
        mrcp_request_id id = ch->send(method, lines, body, &error);
        EXPECT_NE(id, 0u) << error;
        EXPECT_TRUE(ch->wait_response(id, kWait, &response)) << method;
        return response;
    }

    std::string dir_;
    std::unique_ptr<plugin> plugin_;
};

TEST_F(RecogEngineTest, OpensWithoutConfigurationFile)
{
    open_engine();
    log_capture& log = log_capture::instance();
    EXPECT_TRUE(log.contains("failed to open config file [" + dir_ + "/unimrcprecog.xml]", APT_PRIO_ERROR));
    EXPECT_TRUE(log.contains("properties:\n[init-path:(null)]\n[capability count:0]", APT_PRIO_INFO)) << log.dump();
    EXPECT_TRUE(log.contains("auth_info:token_interval_sec:0, token_server:(null).", APT_PRIO_INFO));
    EXPECT_TRUE(log.contains("[noinput-timeout:8000]\n[recognition-timeout:10000]\n[speech-complete-timeout:800]\n"
                             "[sensitivity-level:0.100000] ",
                             APT_PRIO_INFO))
        << log.dump();
    EXPECT_TRUE(log.contains("\n\n[save-waveform:0]\n[dir:(null)]", APT_PRIO_INFO));

    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    message_record r = request(ch, "GET-PARAMS", {"Speech-Language:", "No-Input-Timeout:", "Recognition-Mode:"});
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.field("Speech-Language"), "zh-cn");
    EXPECT_EQ(r.field("No-Input-Timeout"), "8000");
    EXPECT_EQ(r.field("Recognition-Mode"), "normal");
    EXPECT_TRUE(ch->close(kWait));
    EXPECT_TRUE(plugin_->close());
}

TEST_F(RecogEngineTest, OpensWithConfigurationFile)
{
    write_config("<durnel><system init-path='wss://127.0.0.1:1/asr/sentence-stream'><cap/></system>"
                 "<params no-input-timeout='5000' speech-language='en-us' sensitivity-level='0.5'/>"
                 "<save-waveform enable='2' dir='" +
                 dir_ + "'/></durnel>");
    open_engine();
    log_capture& log = log_capture::instance();
    EXPECT_TRUE(log.contains("properties:\n[init-path:wss://127.0.0.1:1/asr/sentence-stream]\n[capability count:1]"))
        << log.dump();
    EXPECT_TRUE(log.contains("[noinput-timeout:5000]")) << log.dump();
    EXPECT_TRUE(log.contains("[sensitivity-level:0.500000] "));
    EXPECT_TRUE(log.contains("\n\n[save-waveform:2]\n[dir:" + dir_ + "]"));

    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    message_record r =
        request(ch, "GET-PARAMS", {"No-Input-Timeout:", "Speech-Language:", "Start-Input-Timers:", "Sensitivity-Level:"});
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.field("No-Input-Timeout"), "5000");
    EXPECT_EQ(r.field("Speech-Language"), "en-us");
    EXPECT_EQ(r.field("Start-Input-Timers"), "true") << "a new channel starts its input timers";
    EXPECT_EQ(r.field("Sensitivity-Level"), "0.5");
}

TEST_F(RecogEngineTest, SetParamsThenGetParams)
{
    open_engine();
    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    message_record r = request(ch, "SET-PARAMS",
                               {"Speech-Language: JA-jp", "No-Input-Timeout: 3000", "Recognition-Mode: hotword",
                                "Confidence-Threshold: 0.7", "Cancel-If-Queue: true"});
    EXPECT_EQ(r.status_code, 200);
    r = request(ch, "GET-PARAMS",
                {"Speech-Language:", "No-Input-Timeout:", "Recognition-Mode:", "Confidence-Threshold:",
                 "Cancel-If-Queue:", "Recognition-Timeout:"});
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.field("Speech-Language"), "JA-jp");
    EXPECT_EQ(r.field("No-Input-Timeout"), "3000");
    EXPECT_EQ(r.field("Recognition-Mode"), "hotword");
    EXPECT_EQ(r.field("Confidence-Threshold"), "0.7");
    EXPECT_EQ(r.field("Cancel-If-Queue"), "true");
    EXPECT_EQ(r.field("Recognition-Timeout"), "10000");

    // A refused value answers 404, names the field and keeps what came before it.
    r = request(ch, "SET-PARAMS", {"No-Input-Timeout: 4000", "Input-Type: dtmf", "Recognition-Timeout: 2000"});
    EXPECT_EQ(r.status_code, 404);
    EXPECT_TRUE(r.has_field("Input-Type")) << r.line();
    r = request(ch, "GET-PARAMS", {"No-Input-Timeout:", "Recognition-Timeout:", "Input-Type:"});
    EXPECT_EQ(r.field("No-Input-Timeout"), "4000");
    EXPECT_EQ(r.field("Recognition-Timeout"), "10000");
    EXPECT_EQ(r.field("Input-Type"), "speech");

    // Another channel keeps its own values.
    channel* other = open_channel("ch2");
    ASSERT_TRUE(other);
    r = request(other, "GET-PARAMS", {"No-Input-Timeout:"});
    EXPECT_EQ(r.field("No-Input-Timeout"), "8000");
}

TEST_F(RecogEngineTest, GetParamsOfAnUnreportedFieldAnswers403AndStops)
{
    open_engine();
    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    log_capture::instance().clear();
    message_record r = request(ch, "GET-PARAMS", {"Confidence-Threshold:", "Save-Waveform:", "Speech-Language:"});
    EXPECT_EQ(r.status_code, 403);
    EXPECT_TRUE(r.has_field("Confidence-Threshold")) << r.line();
    EXPECT_FALSE(r.has_field("Save-Waveform")) << r.line();
    EXPECT_FALSE(r.has_field("Speech-Language")) << r.line();
    EXPECT_TRUE(log_capture::instance().contains("unsupport to get save-waveform", APT_PRIO_WARNING));

    r = request(ch, "GET-PARAMS");
    EXPECT_EQ(r.status_code, 200);
    EXPECT_TRUE(r.fields.empty()) << r.line();
}

TEST_F(RecogEngineTest, MethodsWithoutARecognition)
{
    open_engine();
    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    message_record r = request(ch, "SET-PARAMS", {"Start-Input-Timers: false"});
    EXPECT_EQ(r.status_code, 200);
    r = request(ch, "START-INPUT-TIMERS");
    EXPECT_EQ(r.status_code, 200);
    EXPECT_EQ(r.request_state, MRCP_REQUEST_STATE_COMPLETE);
    r = request(ch, "GET-PARAMS", {"Start-Input-Timers:"});
    EXPECT_EQ(r.field("Start-Input-Timers"), "true");

    EXPECT_EQ(request(ch, "INTERPRET").status_code, 200);
    EXPECT_EQ(request(ch, "START-PHRASE-ENROLLMENT").status_code, 200);

    log_capture::instance().clear();
    r = request(ch, "GET-RESULT");
    EXPECT_EQ(r.status_code, 407);
    EXPECT_TRUE(r.body.empty());
    EXPECT_TRUE(log_capture::instance().contains("not found result!", APT_PRIO_WARNING));
}

TEST_F(RecogEngineTest, DefineGrammarWithoutWhatItNeeds)
{
    open_engine();
    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::string body;
        int status;
        const char* log;
    } cases[] = {
        {"no body", {"Content-Type: application/srgs+xml", "Content-Id: g1"}, "", 404, "missing msg content <ch1@"},
        {"no Content-Type", {"Content-Id: g1"}, "hello", 406, "Missing Content-Type <ch1@"},
        {"no Content-Id", {"Content-Type: application/srgs+xml"}, "<grammar/>", 406, "Missing Content-Id <ch1@"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture::instance().clear();
        message_record r = request(ch, "DEFINE-GRAMMAR", c.lines, c.body);
        EXPECT_EQ(r.status_code, c.status);
        EXPECT_EQ(r.completion_cause, 4) << r.line();
        EXPECT_TRUE(log_capture::instance().contains(c.log, APT_PRIO_ERROR)) << log_capture::instance().dump();
    }
}

TEST_F(RecogEngineTest, CloseWhileRequestsAreQueued)
{
    open_engine();
    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    std::vector<mrcp_request_id> ids;
    for (int i = 0; i < 20; ++i)
        ids.push_back(ch->send("SET-PARAMS", {"No-Input-Timeout: " + std::to_string(1000 + i)}));
    ids.push_back(ch->send("GET-PARAMS", {"No-Input-Timeout:"}));
    ASSERT_TRUE(ch->close(kWait));
    // The engine task answered every request posted before the close, in order, then the close.
    for (mrcp_request_id id : ids) {
        message_record r;
        ASSERT_TRUE(ch->wait_response(id, 0, &r)) << "request " << id;
        EXPECT_EQ(r.status_code, 200);
    }
    std::vector<message_record> all = ch->messages();
    ASSERT_EQ(all.size(), ids.size());
    EXPECT_EQ(all.back().field("No-Input-Timeout"), "1019");
}

TEST_F(RecogEngineTest, CloseAndDestroyAnswerInOrder)
{
    open_engine();
    ASSERT_TRUE(open_channel("ch1"));
    plugin_->destroy_channel("ch1");
    EXPECT_TRUE(plugin_->close());
    EXPECT_TRUE(log_capture::instance().contains("[enter]"));
}

TEST_F(RecogEngineTest, UnloadWithTheEngineOpenReturns)
{
    open_engine();
    channel* ch = open_channel("ch1");
    ASSERT_TRUE(ch);
    ch->send("SET-PARAMS", {"No-Input-Timeout: 1000"});
    std::unique_ptr<plugin> loaded(plugin_.release());
    auto done = std::async(std::launch::async, [&loaded] { loaded->unload(); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "unload hangs";
    if (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        done.wait();
}

}  // namespace
