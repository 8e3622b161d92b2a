// The recognizer's configuration file: defaults, every element, and the files it refuses.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "log_capture.h"
#include "recog_properties.h"

namespace {

std::string text(const apt_str_t& s)
{
    return s.buf ? std::string(s.buf, s.length) : std::string();
}

class RecogPropertiesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        apr_pool_create(&pool_, NULL);
        char tmpl[] = "/tmp/recog_properties_XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/unimrcprecog.xml";
        props_ = system_t();
    }
    void TearDown() override
    {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
        apr_pool_destroy(pool_);
    }

    void load(const std::string& xml)
    {
        FILE* f = fopen(path_.c_str(), "w");
        ASSERT_TRUE(f);
        fputs(xml.c_str(), f);
        fclose(f);
        ASSERT_TRUE(recog_properties_load(&props_, path_.c_str(), pool_));
    }

    void expect_defaults()
    {
        EXPECT_EQ(props_.init_path, nullptr);
        EXPECT_EQ(props_.capability_count, 0u);
        EXPECT_TRUE(props_.use_freetalk);
        EXPECT_TRUE(props_.use_keywordspot);
        EXPECT_FALSE(props_.stop_response_asynchronous);
        EXPECT_EQ(props_.param_priority, 0);
        EXPECT_EQ(props_.token_interval_sec, 0);
        EXPECT_EQ(props_.token_server, nullptr);
        EXPECT_EQ(props_.vocabulary, nullptr);
        EXPECT_EQ(props_.save_wave.save_waveform, 0);
        EXPECT_EQ(props_.save_wave.dir, nullptr);
        EXPECT_EQ(props_.save_navi_wave.save_waveform, 0);
        EXPECT_STREQ(props_.result_format, "%{text}");
        EXPECT_TRUE(props_.if_channel_id);

        const mrcp_recog_header_t& p = props_.params;
        EXPECT_FLOAT_EQ(p.confidence_threshold, 0.5f);
        EXPECT_FLOAT_EQ(p.sensitivity_level, 0.1f);
        EXPECT_FLOAT_EQ(p.speed_vs_accuracy, 0.5f);
        EXPECT_EQ(p.n_best_list_length, 1u);
        EXPECT_EQ(p.no_input_timeout, 8000u);
        EXPECT_EQ(p.recognition_timeout, 10000u);
        EXPECT_EQ(p.speech_complete_timeout, 800u);
        EXPECT_EQ(p.speech_incomplete_timeout, 800u);
        EXPECT_EQ(p.dtmf_interdigit_timeout, 5000u);
        EXPECT_EQ(p.dtmf_term_timeout, 10000u);
        EXPECT_EQ(p.dtmf_term_char, 0);
        EXPECT_TRUE(p.start_input_timers);
        EXPECT_FALSE(p.save_waveform);
        EXPECT_EQ(text(p.speech_language), "zh-cn");
        EXPECT_EQ(text(p.input_type), "speech");
        EXPECT_EQ(text(p.recognition_mode), "normal");
        EXPECT_EQ(text(p.interpret_text), "text/plain");
        EXPECT_EQ(text(p.waveform_uri), "");
        EXPECT_EQ(p.hotword_max_duration, 100000u);
        EXPECT_EQ(p.hotword_min_duration, 0u);
        EXPECT_EQ(p.dtmf_buffer_time, 10000u);
        EXPECT_EQ(p.num_min_consistent_pronunciations, 1u);
        EXPECT_FLOAT_EQ(p.consistency_threshold, 1.0f);
        EXPECT_FLOAT_EQ(p.clash_threshold, 0.0f);
        EXPECT_FLOAT_EQ(p.weight, 1.0f);
    }

    apr_pool_t* pool_ = NULL;
    std::string dir_;
    std::string path_;
    system_t props_;
};

TEST_F(RecogPropertiesTest, MissingFileLeavesEveryDefault)
{
    log_capture log;
    ASSERT_TRUE(recog_properties_load(&props_, path_.c_str(), pool_));
    expect_defaults();
    EXPECT_TRUE(log.has(APT_PRIO_INFO, "open config file [" + path_ + "]"));
    bool reported = false;
    for (const log_record& r : log.records())
        reported |= r.priority == APT_PRIO_ERROR && r.text.find("failed to open config file [" + path_ + "][") == 0;
    EXPECT_TRUE(reported) << log.dump();
}

TEST_F(RecogPropertiesTest, NoPathIsAMissingFile)
{
    log_capture log;
    ASSERT_TRUE(recog_properties_load(&props_, NULL, pool_));
    expect_defaults();
    EXPECT_TRUE(log.has(APT_PRIO_INFO, "open config file [(null)]")) << log.dump();
}

TEST_F(RecogPropertiesTest, UnparsableFileLeavesDefaults)
{
    log_capture log;
    load("<durnel><system init-path='x'></durnel");
    expect_defaults();
    bool reported = false;
    for (const log_record& r : log.records())
        reported |= r.priority == APT_PRIO_ERROR && r.text.find("failed to parse config file [") == 0;
    EXPECT_TRUE(reported) << log.dump();
}

TEST_F(RecogPropertiesTest, ForeignRootIsRefusedAndNothingRead)
{
    log_capture log;
    load("<pelka><system init-path='wss://x/sentence-stream'/><params no-input-timeout='1'/></pelka>");
    expect_defaults();
    EXPECT_TRUE(log.has(APT_PRIO_ERROR, "unknown element <pelka>")) << log.dump();
}

TEST_F(RecogPropertiesTest, FullFileSetsEverySection)
{
    log_capture log;
    load("<?xml version='1.0'?>\n"
         "<DURNEL>\n"
         "  <system init-path='wss://127.0.0.1:9/asr/sentence-stream' use-freetalk='false'\n"
         "          use-keywordspot='TRUE' result-byte='3' task_timeout_multiplier='4'\n"
         "          stop_response_asynchronous='0' k_frame_count='5' param_priority='1'>\n"
         "    <capability name='a'/><capability name='b'/>\n"
         "  </system>\n"
         "  <params confidence-threshold='0.25' sensitivity-level='0.3' no-input-timeout='5000abc'\n"
         "          recognition-timeout='12000' dtmf-term-char='ab' speech-language='en-us'\n"
         "          waveform-uri='' start-input-timers='no' completion-cause='6' weight='0.5'/>\n"
         "  <vocabulary>vocab-7<ignored/>tail</vocabulary>\n"
         "  <save-waveform enable='2' dir='/tmp/w'/>\n"
         "  <save-navi-waveform enable='1' dir='/tmp/n'/>\n"
         "  <result_param if_channel_id='0' format='%{score}:%{text}'/>\n"
         "</DURNEL>\n");

    EXPECT_STREQ(props_.init_path, "wss://127.0.0.1:9/asr/sentence-stream");
    EXPECT_FALSE(props_.use_freetalk);
    EXPECT_TRUE(props_.use_keywordspot);
    EXPECT_EQ(props_.result_byte, 3);
    EXPECT_EQ(props_.task_timeout_multiplier, 4);
    EXPECT_FALSE(props_.stop_response_asynchronous);
    EXPECT_EQ(props_.k_frame_count, 5);
    EXPECT_EQ(props_.param_priority, 1);
    EXPECT_EQ(props_.capability_count, 2u);
    EXPECT_NE(props_.cap_info, nullptr);

    const mrcp_recog_header_t& p = props_.params;
    EXPECT_FLOAT_EQ(p.confidence_threshold, 0.25f);
    EXPECT_FLOAT_EQ(p.sensitivity_level, 0.3f);
    EXPECT_EQ(p.no_input_timeout, 5000u);
    EXPECT_EQ(p.recognition_timeout, 12000u);
    EXPECT_EQ(p.dtmf_term_char, 'a');
    EXPECT_EQ(text(p.speech_language), "en-us");
    EXPECT_EQ(p.waveform_uri.buf, nullptr);
    EXPECT_EQ(p.waveform_uri.length, 0u);
    EXPECT_FALSE(p.start_input_timers);
    EXPECT_EQ(p.completion_cause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    EXPECT_FLOAT_EQ(p.weight, 0.5f);
    EXPECT_EQ(p.speech_complete_timeout, 800u) << "attributes not given keep their default";

    EXPECT_STREQ(props_.vocabulary, "vocab-7");
    EXPECT_EQ(props_.save_wave.save_waveform, 2);
    EXPECT_STREQ(props_.save_wave.dir, "/tmp/w");
    EXPECT_EQ(props_.save_navi_wave.save_waveform, 1);
    EXPECT_STREQ(props_.save_navi_wave.dir, "/tmp/n");
    EXPECT_FALSE(props_.if_channel_id);
    EXPECT_STREQ(props_.result_format, "%{score}:%{text}");
    EXPECT_FALSE(log.has_at_least(APT_PRIO_WARNING)) << log.dump();
}

TEST_F(RecogPropertiesTest, BooleansAreOnlyTrueInAnyCase)
{
    const struct {
        const char* value;
        apt_bool_t on;
    } cases[] = {{"true", TRUE}, {"TRUE", TRUE}, {"tRuE", TRUE}, {"1", FALSE}, {"yes", FALSE},
                 {"", FALSE},    {"true ", FALSE}};
    for (const auto& c : cases) {
        load(std::string("<durnel><system use-freetalk='") + c.value + "'/><params cancel-if-queue='" + c.value +
             "'/></durnel>");
        EXPECT_EQ(props_.use_freetalk, c.on) << "'" << c.value << "'";
        EXPECT_EQ(props_.params.cancel_if_queue, c.on) << "'" << c.value << "'";
    }
}

TEST_F(RecogPropertiesTest, SystemElementTurnsAsynchronousStopOn)
{
    load("<durnel><system/></durnel>");
    EXPECT_TRUE(props_.stop_response_asynchronous);
    load("<durnel><system stop_response_asynchronous='0'/></durnel>");
    EXPECT_FALSE(props_.stop_response_asynchronous);
}

TEST_F(RecogPropertiesTest, UnknownNamesAreWarnedAndSkipped)
{
    log_capture log;
    load("<durnel><bogus/><params speed='1' No-Input-Timeout='4000'/>"
         "<save-waveform enable='1' colour='red'/><system Init-Path='wss://h/x' extra='1'/>"
         "<result_param other='x'/></durnel>");
    EXPECT_TRUE(log.has(APT_PRIO_WARNING, "unknown element <bogus>")) << log.dump();
    EXPECT_TRUE(log.has(APT_PRIO_WARNING, "unknown attribute <speed>")) << log.dump();
    EXPECT_TRUE(log.has(APT_PRIO_WARNING, "unknown attribute <colour>")) << log.dump();
    EXPECT_TRUE(log.has(APT_PRIO_WARNING, "unknown attribute <extra>")) << log.dump();
    EXPECT_TRUE(log.has(APT_PRIO_WARNING, "unknown attribute <other>")) << log.dump();
    EXPECT_EQ(props_.params.no_input_timeout, 4000u);
    EXPECT_EQ(props_.save_wave.save_waveform, 1);
    EXPECT_STREQ(props_.init_path, "wss://h/x");
}

TEST_F(RecogPropertiesTest, LaterElementsOverwriteOnlyWhatTheyGive)
{
    load("<durnel><save-waveform enable='1' dir='/a'/><save-waveform enable='0'/>"
         "<result_param if_channel_id='0' format='F'/><result_param/></durnel>");
    EXPECT_EQ(props_.save_wave.save_waveform, 0);
    EXPECT_STREQ(props_.save_wave.dir, "/a");
    EXPECT_TRUE(props_.if_channel_id) << "a bare result_param resets the channel id flag";
    EXPECT_STREQ(props_.result_format, "F");
}

TEST_F(RecogPropertiesTest, ReloadStartsFromDefaults)
{
    load("<durnel><system init-path='wss://h/x'/><params no-input-timeout='1'/><vocabulary>v</vocabulary></durnel>");
    load("<durnel/>");
    EXPECT_EQ(props_.init_path, nullptr);
    EXPECT_EQ(props_.params.no_input_timeout, 8000u);
    EXPECT_EQ(props_.vocabulary, nullptr);
    EXPECT_TRUE(props_.stop_response_asynchronous) << "not reset by a load";
}

// A number that does not fit its setting (32-bit integers, finite single-precision fractions, no
// negative count, duration or sensitivity) is refused with a warning naming it; the setting keeps its value. Values that fit are read as before.
TEST_F(RecogPropertiesTest, NumbersThatDoNotFitAreRefused)
{
    typedef double (*field_f)(const system_t&);
    const field_f no_input = [](const system_t& s) -> double { return s.params.no_input_timeout; };
    const field_f sensitivity = [](const system_t& s) -> double { return s.params.sensitivity_level; };
    const struct {
        const char* element;
        const char* attribute;
        const char* value;
        field_f field;
        double expected;
        bool warned;
    } cases[] = {
        {"params", "no-input-timeout", "99999999999", no_input, 8000, true},
        {"params", "no-input-timeout", "99999999999999999999999", no_input, 8000, true},
        {"params", "no-input-timeout", "2147483647", no_input, 2147483647.0, false},
        {"params", "recognition-timeout", "-2147483649",
         [](const system_t& s) -> double { return s.params.recognition_timeout; }, 10000, true},
        {"params", "recognition-timeout", "-1",
         [](const system_t& s) -> double { return s.params.recognition_timeout; }, 10000, true},
        {"params", "speech-complete-timeout", "-5",
         [](const system_t& s) -> double { return s.params.speech_complete_timeout; }, 800, true},
        {"params", "speech-complete-timeout", "0",
         [](const system_t& s) -> double { return s.params.speech_complete_timeout; }, 0, false},
        {"params", "completion-cause", "4294967296",
         [](const system_t& s) -> double { return s.params.completion_cause; }, 0, true},
        {"params", "sensitivity-level", "1e39", sensitivity, 0.1, true},
        {"params", "sensitivity-level", "-1e300", sensitivity, 0.1, true},
        {"params", "sensitivity-level", "inf", sensitivity, 0.1, true},
        {"params", "sensitivity-level", "nan", sensitivity, 0.1, true},
        {"params", "sensitivity-level", "0.25", sensitivity, 0.25, false},
        {"params", "sensitivity-level", "-1", sensitivity, 0.1, true},
        {"params", "sensitivity-level", "0", sensitivity, 0, false},
        {"params", "weight", "3.4e38", [](const system_t& s) -> double { return s.params.weight; }, 3.4e38, false},
        {"system", "result-byte", "4294967297", [](const system_t& s) -> double { return s.result_byte; }, 0, true},
        {"save-waveform", "enable", "4294967297",
         [](const system_t& s) -> double { return s.save_wave.save_waveform; }, 0, true},
        {"result_param", "if_channel_id", "-4294967296",
         [](const system_t& s) -> double { return s.if_channel_id; }, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.attribute) + "=" + c.value);
        log_capture log;
        load(std::string("<durnel><") + c.element + " " + c.attribute + "='" + c.value + "'/></durnel>");
        EXPECT_FLOAT_EQ((float)c.expected, (float)c.field(props_));
        EXPECT_EQ(c.warned, log.has(APT_PRIO_WARNING, std::string("value <") + c.value + "> of <" + c.attribute +
                                                          "> out of range, default kept"))
            << log.dump();
    }
}

#ifdef HARKWIRE_SAMPLE_CONF
// The sample shipped beside the plug-in documents the defaults: loading it must change
// nothing but the settings it gives as examples.
TEST_F(RecogPropertiesTest, SampleFileHoldsTheDefaults)
{
    log_capture log;
    ASSERT_TRUE(recog_properties_load(&props_, HARKWIRE_SAMPLE_CONF, pool_));
    EXPECT_FALSE(log.has_at_least(APT_PRIO_WARNING)) << log.dump();
    EXPECT_STREQ(props_.init_path, "wss://127.0.0.1:8443/asr/v1/sentence-stream");
    EXPECT_TRUE(props_.stop_response_asynchronous);
    EXPECT_EQ(props_.token_interval_sec, 0);
    props_.init_path = NULL;
    props_.stop_response_asynchronous = FALSE;
    props_.token_server = NULL;
    props_.capability_count = 0;
    expect_defaults();
}
#endif

#ifndef HARKWIRE_TEST_NO_AUTHINFO
TEST_F(RecogPropertiesTest, AuthInfoAndItsChildren)
{
    log_capture log;
    load("<durnel><auth_info token_interval='300' token_server='https://127.0.0.1:1/v3/auth/tokens'>"
         "<auth_identity user_name='u' user_password='p' user_domain_name='d'/>"
         "<other user_name='ignored'/>"
         "<AUTH_SCOPE scope_project_name='proj'/></auth_info></durnel>");
    EXPECT_EQ(props_.token_interval_sec, 300);
    EXPECT_STREQ(props_.token_server, "https://127.0.0.1:1/v3/auth/tokens");
    EXPECT_STREQ(props_.auth_user_name, "u");
    EXPECT_STREQ(props_.auth_user_password, "p");
    EXPECT_STREQ(props_.auth_user_domain_name, "d");
    EXPECT_STREQ(props_.auth_scope_project_name, "proj");
    EXPECT_FALSE(log.has_at_least(APT_PRIO_WARNING)) << log.dump();
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new log_environment);
    return RUN_ALL_TESTS();
}
