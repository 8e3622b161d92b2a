// The checks a request's recognizer header fields go through before a channel takes them.
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "mrcp_message.h"
#include "mrcp_recog_resource.h"
#include "recog_engine.h"
#include "recog_header.h"
#include "recog_properties.h"

namespace {

using field_list = std::vector<std::pair<std::string, std::string>>;

std::string text(const apt_str_t& s)
{
    return s.buf ? std::string(s.buf, s.length) : std::string();
}

class RecogHeaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        apr_pool_create(&pool_, NULL);
        recog_params_default(&values_);
    }
    void TearDown() override { apr_pool_destroy(pool_); }

    mrcp_message_t* request(const field_list& fields)
    {
        mrcp_message_t* req = mrcp_request_create(mrcp_resource_get(MRCP_RECOGNIZER_RESOURCE), MRCP_VERSION_2,
                                                  RECOGNIZER_SET_PARAMS, pool_);
        for (const auto& f : fields)
            mrcp_message_header_field_add(req, apt_header_field_create_c(f.first.c_str(), f.second.c_str(), pool_));
        return req;
    }

    /* Applies the fields to values_; the response is left in response_. */
    int apply(const field_list& fields)
    {
        mrcp_message_t* req = request(fields);
        response_ = mrcp_response_create(req, pool_);
        return recog_header_apply(&values_, pool_, req, response_);
    }

    apr_pool_t* pool_ = NULL;
    mrcp_recog_header_t values_;
    mrcp_message_t* response_ = NULL;
};

struct header_case {
    const char* name;
    field_list fields;
    int result;
    int refused;            /* recognizer id named in the response, -1 for none */
    const char* warning;    /* expected warning, NULL for none at all */
    void (*check)(const mrcp_recog_header_t& v);
};

const header_case header_cases[] = {
    {"confidence above one falls back to 0.1", {{"Confidence-Threshold", "1.5"}}, 1, -1,
     "confidence-threshold invalid![1.5], will use default value[0.1].",
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.confidence_threshold, 0.1f); }},
    {"confidence of exactly one is kept", {{"Confidence-Threshold", "1.0"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.confidence_threshold, 1.0f); }},
    {"confidence within the slack below zero is kept", {{"Confidence-Threshold", "-0.00000005"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.confidence_threshold, -0.00000005f); }},
    {"confidence of the next float above one falls back", {{"Confidence-Threshold", "1.0000001"}}, 1, -1,
     "confidence-threshold invalid![1.0], will use default value[0.1].",
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.confidence_threshold, 0.1f); }},
    {"confidence beyond the slack below zero falls back", {{"Confidence-Threshold", "-0.0000002"}}, 1, -1,
     "confidence-threshold invalid![-0.0], will use default value[0.1].",
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.confidence_threshold, 0.1f); }},
    {"sensitivity below 0.01 is refused", {{"Sensitivity-Level", "0.0099"}}, 0, 1, "sensitivity-level invalid![0.01]",
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.sensitivity_level, 0.1f); }},
    {"sensitivity within the slack below 0.01 is kept", {{"Sensitivity-Level", "0.00999999"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.sensitivity_level, 0.00999999f); }},
    {"sensitivity of one is kept", {{"Sensitivity-Level", "1.0"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.sensitivity_level, 1.0f); }},
    {"sensitivity above one is refused", {{"Sensitivity-Level", "1.0000001"}}, 0, 1,
     "sensitivity-level invalid![1.00]", NULL},
    {"speed-vs-accuracy above one is refused", {{"Speed-Vs-Accuracy", "1.5"}}, 0, 2,
     "speed-vs-accuracy invalid![1.5]", NULL},
    {"speed-vs-accuracy of zero is kept", {{"Speed-Vs-Accuracy", "0"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.speed_vs_accuracy, 0.0f); }},
    {"n-best of zero is refused", {{"N-Best-List-Length", "0"}}, 0, 3, "n-best-list-length invalid![0]",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.n_best_list_length, 1u); }},
    {"n-best of three is kept", {{"N-Best-List-Length", "3"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.n_best_list_length, 3u); }},
    {"no-input of zero and speech-complete of one are kept",
     {{"No-Input-Timeout", "0"}, {"Speech-Complete-Timeout", "1"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) {
         EXPECT_EQ(v.no_input_timeout, 0u);
         EXPECT_EQ(v.speech_complete_timeout, 1u);
     }},
    {"no-input of the maximum is kept", {{"No-Input-Timeout", "1800000"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.no_input_timeout, 1800000u); }},
    {"no-input above the maximum keeps the previous value", {{"No-Input-Timeout", "1800001"}}, 1, -1,
     "no-input-timeout invalid![1800001], will use configuration value.",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.no_input_timeout, 8000u); }},
    {"recognition-timeout below 1000 keeps the previous value", {{"Recognition-Timeout", "999"}}, 1, -1,
     "recognition-timeout invalid![999], will use configuration value.",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.recognition_timeout, 10000u); }},
    {"recognition-timeout above 60000 keeps the previous value", {{"Recognition-Timeout", "60001"}}, 1, -1,
     "recognition-timeout invalid![60001], will use configuration value.",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.recognition_timeout, 10000u); }},
    {"recognition-timeout at both bounds is kept",
     {{"Recognition-Timeout", "1000"}, {"Speech-Incomplete-Timeout", "30000"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) {
         EXPECT_EQ(v.recognition_timeout, 1000u);
         EXPECT_EQ(v.speech_incomplete_timeout, 30000u);
     }},
    {"recognition-timeout of 60000 is kept", {{"Recognition-Timeout", "60000"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.recognition_timeout, 60000u); }},
    {"speech-complete of zero keeps the previous value", {{"Speech-Complete-Timeout", "0"}}, 1, -1,
     "speech-complete-timeout invalid![0], will use configuration value.",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.speech_complete_timeout, 800u); }},
    {"speech-complete above 30000 keeps the previous value", {{"Speech-Complete-Timeout", "30001"}}, 1, -1,
     "speech-complete-timeout invalid![30001], will use configuration value.",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.speech_complete_timeout, 800u); }},
    {"speech-incomplete of zero keeps the previous value", {{"Speech-Incomplete-Timeout", "0"}}, 1, -1,
     "speech-incomplete-timeout invalid![0]",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.speech_incomplete_timeout, 800u); }},
    {"speech-incomplete of 1 is kept", {{"Speech-Incomplete-Timeout", "1"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.speech_incomplete_timeout, 1u); }},
    {"a known language code in capitals is kept as given", {{"Speech-Language", "EN-US"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(text(v.speech_language), "EN-US"); }},
    {"an unknown language code is refused", {{"Speech-Language", "xx-YY"}}, 0, 19, "speech-language invalid![xx-YY]",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(text(v.speech_language), "zh-cn"); }},
    {"input-type speech in any case is kept", {{"Input-Type", "Speech"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(text(v.input_type), "Speech"); }},
    {"input-type dtmf is refused", {{"Input-Type", "dtmf"}}, 0, 20, "input-type invalid![dtmf]", NULL},
    {"waveform-uri is stored despite its warning", {{"Waveform-URI", "<http://h/w.wav>"}}, 1, -1,
     "unsupport to set waveform-uri",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(text(v.waveform_uri), "<http://h/w.wav>"); }},
    {"weight is stored despite its warning", {{"Weight", "0.75"}}, 1, -1, "unsupport to set weight",
     [](const mrcp_recog_header_t& v) { EXPECT_FLOAT_EQ(v.weight, 0.75f); }},
    {"save-waveform is stored despite its warning", {{"Save-Waveform", "true"}}, 1, -1,
     "unsupport to set save-waveform", [](const mrcp_recog_header_t& v) { EXPECT_TRUE(v.save_waveform); }},
    {"start-input-timers, recognition-mode and cancel-if-queue are stored silently",
     {{"Start-Input-Timers", "false"}, {"Recognition-Mode", "hotword"}, {"Cancel-If-Queue", "true"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) {
         EXPECT_FALSE(v.start_input_timers);
         EXPECT_EQ(text(v.recognition_mode), "hotword");
         EXPECT_TRUE(v.cancel_if_queue);
     }},
    {"a refusal stops the walk and keeps the fields before it",
     {{"No-Input-Timeout", "5000"}, {"Sensitivity-Level", "2"}, {"Recognition-Timeout", "2000"}}, 0, 1,
     "sensitivity-level invalid![2.00]",
     [](const mrcp_recog_header_t& v) {
         EXPECT_EQ(v.no_input_timeout, 5000u);
         EXPECT_FLOAT_EQ(v.sensitivity_level, 0.1f);
         EXPECT_EQ(v.recognition_timeout, 10000u);
     }},
    {"fields the recognizer does not know are skipped with a warning",
     {{"X-Vendor-Thing", "1"}, {"Recognition-Timeout", "2000"}}, 1, -1, "can find the header [-1:X-Vendor-Thing]",
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.recognition_timeout, 2000u); }},
    {"generic fields are skipped", {{"Content-Type", "text/plain"}, {"Recognition-Timeout", "2000"}}, 1, -1, NULL,
     [](const mrcp_recog_header_t& v) { EXPECT_EQ(v.recognition_timeout, 2000u); }},
};

TEST_F(RecogHeaderTest, FieldTable)
{
    for (const header_case& c : header_cases) {
        SCOPED_TRACE(c.name);
        recog_params_default(&values_);
        log_capture log;
        EXPECT_EQ(apply(c.fields), c.result);
        for (apr_size_t id = 0; id < RECOGNIZER_HEADER_COUNT; ++id)
            EXPECT_EQ(mrcp_resource_header_property_check(response_, id) == TRUE, (int)id == c.refused)
                << "field " << recog_header_fields[id].name << " in the response";
        if (c.warning)
            EXPECT_TRUE(log.has(APT_PRIO_WARNING, c.warning)) << log.dump();
        else
            EXPECT_FALSE(log.has_at_least(APT_PRIO_WARNING)) << log.dump();
        if (c.check)
            c.check(values_);
    }
}

TEST_F(RecogHeaderTest, EveryUnsupportedFieldWarnsAndIsStored)
{
    const struct {
        const char* field;
        const char* value;
    } rows[] = {{"Completion-Cause", "002"},
                {"Recognizer-Context-Block", "ctx"},
                {"DTMF-Interdigit-Timeout", "7"},
                {"DTMF-Term-Timeout", "7"},
                {"DTMF-Term-Char", "#"},
                {"Failed-URI", "u"},
                {"Failed-URI-Cause", "c"},
                {"New-Audio-Channel", "true"},
                {"Input-Waveform-URI", "u"},
                {"Completion-Reason", "r"},
                {"Media-Type", "audio/x"},
                {"Ver-Buffer-Utterance", "true"},
                {"Hotword-Max-Duration", "7"},
                {"Hotword-Min-Duration", "7"},
                {"Interpret-Text", "t"},
                {"DTMF-Buffer-Time", "7"},
                {"Clear-DTMF-Buffer", "true"},
                {"Early-No-Match", "true"},
                {"Num-Min-Consistent-Pronunciations", "7"},
                {"Consistency-Threshold", "0.5"},
                {"Clash-Threshold", "0.5"},
                {"Personal-Grammar-URI", "u"},
                {"Enroll-Utterance", "true"},
                {"Phrase-ID", "p"},
                {"Phrase-NL", "p"},
                {"Save-Best-Waveform", "true"},
                {"New-Phrase-ID", "p"},
                {"Confusable-Phrases-URI", "u"},
                {"Abort-Phrase-Enrollment", "true"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        mrcp_recog_header_t before = values_;
        log_capture log;
        ASSERT_EQ(apply({{row.field, row.value}}), 1);
        std::string name(row.field);
        for (char& ch : name)
            ch = (char)tolower((unsigned char)ch);
        EXPECT_TRUE(log.has(APT_PRIO_WARNING, "unsupport to set " + name)) << log.dump();
        EXPECT_NE(memcmp(&before, &values_, sizeof(before)), 0) << "the value was not stored";
    }
}

TEST_F(RecogHeaderTest, NoRecognizerHeaderReturnsZero)
{
    mrcp_message_t* req = request({});
    req->header.resource_header_accessor.data = NULL;
    mrcp_message_t* resp = mrcp_response_create(req, pool_);
    log_capture log;
    EXPECT_EQ(recog_header_apply(&values_, pool_, req, resp), 0);
    EXPECT_TRUE(log.records().empty()) << log.dump();
}

TEST_F(RecogHeaderTest, SetParamStoresInTheChannel)
{
    recog_channel_t channel;
    channel.pool = pool_;
    recog_params_default(&channel.mrcp_recog_header);
    mrcp_message_t* req = request({{"Speech-Language", "ja-JP"}, {"No-Input-Timeout", "3000"}});
    EXPECT_EQ(recog_set_param(&channel, req, mrcp_response_create(req, pool_)), 1);
    EXPECT_EQ(text(channel.mrcp_recog_header.speech_language), "ja-JP");
    EXPECT_EQ(channel.mrcp_recog_header.no_input_timeout, 3000u);
}

TEST(SpeechLanguage, FoundByCodeInAnyCase)
{
    const struct {
        const char* code;
        const char* name;
    } rows[] = {{"zh-cn", "chinese"},  {"ZH-CN", "chinese"}, {"en-gb", "english"}, {"EN-us", "english"},
                {"es", "spanish"},     {"da-dk", "denish"},  {"pl-PL", "poland"},  {"th-th", "thai"},
                {"en", NULL},          {"", NULL},           {"en-us ", NULL}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        if (row.name)
            EXPECT_STREQ(get_language_by_mask(row.code), row.name);
        else
            EXPECT_EQ(get_language_by_mask(row.code), nullptr);
        EXPECT_EQ(check_mask(row.code), row.name ? TRUE : FALSE);
    }
    EXPECT_EQ(get_language_by_mask(NULL), nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new log_environment);
    return RUN_ALL_TESTS();
}
