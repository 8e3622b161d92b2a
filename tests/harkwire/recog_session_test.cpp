// What the recognizer writes on the wire: the START and END commands, the service URI, the
// silence test of a frame, and the 16 kHz to 8 kHz filter.
#include <math.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "mrcp_recog_header.h"
#include "recog_downsample.h"
#include "recog_session.h"
#include "rule.h"

namespace {

Json::Value parse(const std::string& text)
{
    Json::Value v;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

recog_start_timing_t default_timing()
{
    mrcp_recog_header_t header = {};
    header.no_input_timeout = 8000;
    header.recognition_timeout = 10000;
    header.speech_complete_timeout = 800;
    header.sensitivity_level = 0.1f;
    return recog_start_timing_from_header(&header);
}

TEST(RecogStartCommand, DefaultChannelIsByteExact)
{
    EXPECT_EQ("{\"command\":\"START\",\"config\":{\"audio_format\":\"pcm8k16bit\",\"interim_results\":\"no\","
              "\"max_seconds\":10,\"property\":\"chinese_8k_common\",\"vad_head\":8000,\"vad_tail\":800,"
              "\"vad_threshold\":10}}\n",
              build_start_command("chinese", "common", default_timing(), NULL));
}

TEST(RecogStartCommand, TimingValues)
{
    struct row {
        const char* name;
        apr_size_t no_input;
        apr_size_t recognition;
        float sensitivity;
        bool has_head;
        int max_seconds;
        int threshold;
    };
    const row rows[] = {
        {"half sensitivity", 8000, 10000, 0.5f, true, 10, 50},
        {"rounded, not truncated", 8000, 10000, 0.7f, true, 10, 70},
        {"0.58 rounds to 58", 8000, 10000, 0.58f, true, 10, 58},
        {"under a second", 8000, 999, 0.1f, true, 0, 10},
        {"no-input 0 leaves vad_head out", 0, 10000, 0.1f, false, 10, 10},
        {"no-input above int32 is negative", (apr_size_t)-1, 10000, 0.1f, false, 10, 10},
    };
    for (const row& r : rows) {
        mrcp_recog_header_t header = {};
        header.no_input_timeout = r.no_input;
        header.recognition_timeout = r.recognition;
        header.speech_complete_timeout = 800;
        header.sensitivity_level = r.sensitivity;
        Json::Value config = parse(build_start_command("english", "x", recog_start_timing_from_header(&header), NULL))["config"];
        EXPECT_EQ(r.has_head, config.isMember("vad_head")) << r.name;
        EXPECT_EQ(r.max_seconds, config["max_seconds"].asInt()) << r.name;
        EXPECT_EQ(r.threshold, config["vad_threshold"].asInt()) << r.name;
    }
}

TEST(RecogStartCommand, RuleParamsAlwaysSendVadHeadAndVocabularyWhenConfigured)
{
    rule doc;
    Json::Value config = parse(build_start_command("chinese", "common", recog_start_timing_from_rule(doc), "voc1"))["config"];
    EXPECT_EQ(10000, config["vad_head"].asInt());
    EXPECT_EQ(0, config["max_seconds"].asInt());  // the rule's 15 ms default
    EXPECT_EQ(500, config["vad_tail"].asInt());
    EXPECT_EQ("voc1", config["vocabulary_id"].asString());
    EXPECT_FALSE(parse(build_start_command("chinese", "common", default_timing(), NULL))["config"].isMember("vocabulary_id"));
}

TEST(RecogStartCommand, LongOrHostileDomainStaysValidJson)
{
    std::string domain(500, 'd');
    domain += "\"},\"command\":\"END";
    Json::Value v = parse(build_start_command("chinese", domain, default_timing(), NULL));
    EXPECT_EQ("START", v["command"].asString());
    EXPECT_EQ("chinese_8k_" + domain, v["config"]["property"].asString());
}

TEST(RecogStartCommand, EndCommand)
{
    EXPECT_EQ("{\"cancel\":true,\"command\":\"END\"}\n", build_end_command());
}

TEST(RecogServiceUri, Table)
{
    struct row {
        const char* init_path;
        bool continuous;
        const char* uri;
    };
    const row rows[] = {
        {"wss://h:9/asr/sentence-stream", true, "wss://h:9/asr/continue-stream"},
        {"wss://h:9/asr/sentence-stream", false, "wss://h:9/asr/sentence-stream"},
        {"wss://h:9/asr/continue-stream", false, "wss://h:9/asr/sentence-stream"},
        {"wss://h:9/asr", false, "wss://h:9/asr/sentence-stream"},
        {"wss://h:9/asr/", true, "wss://h:9/asr/continue-stream"},
        {"wss://asr-stream.example/v1", false, "wss://asr-stream.example/v1/sentence-stream"},
        {"wss://asr-stream.example", false, "wss://asr-stream.example/sentence-stream"},
        {"wss://h/v1/sentence-stream?key=a-stream", true, "wss://h/v1/continue-stream?key=a-stream"},
        {"wss://h/v1?key=1", false, "wss://h/v1/sentence-stream?key=1"},
        {"", false, "/sentence-stream"},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.uri, construct_uri(r.init_path, r.continuous)) << r.init_path;
}

TEST(RecogFrame, IsZero)
{
    unsigned char frame[160] = {0};
    EXPECT_TRUE(is_zero(frame, sizeof(frame)));
    EXPECT_TRUE(is_zero(frame, 0));
    EXPECT_TRUE(is_zero(NULL, -1));
    frame[159] = 1;
    EXPECT_FALSE(is_zero(frame, sizeof(frame)));
    EXPECT_TRUE(is_zero(frame, 159));
}

std::vector<int16_t> tone(double hz, size_t samples, double rate = 16000.0, double amplitude = 10000.0)
{
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] = (int16_t)lround(amplitude * sin(2.0 * M_PI * hz * i / rate));
    return out;
}

double rms_of(const std::string& bytes, size_t skip_samples)
{
    const int16_t* s = reinterpret_cast<const int16_t*>(bytes.data());
    size_t n = bytes.size() / 2;
    double sum = 0.0;
    for (size_t i = skip_samples; i < n; ++i)
        sum += (double)s[i] * s[i];
    return sqrt(sum / (double)(n - skip_samples));
}

TEST(RecogDownsampler, HalvesTheRateFrameByFrame)
{
    std::vector<int16_t> in = tone(1000.0, 1600);
    recog_downsampler d;
    std::string out;
    for (size_t f = 0; f < 10; ++f)  // ten 10 ms frames of 160 samples
        d.process(&in[f * 160], 160, out);
    ASSERT_EQ(1600u, out.size());  // 800 samples at 8 kHz
    // A 1 kHz tone passes (RMS of a sine of amplitude A is A/sqrt(2)).
    EXPECT_NEAR(10000.0 / sqrt(2.0), rms_of(out, 50), 400.0);
}

TEST(RecogDownsampler, RemovesWhatWouldAlias)
{
    // 6 kHz cannot exist at 8 kHz; without the filter it would come back as 2 kHz.
    std::vector<int16_t> in = tone(6000.0, 1600);
    recog_downsampler d;
    std::string out;
    d.process(in.data(), in.size(), out);
    EXPECT_LT(rms_of(out, 50), 10000.0 / sqrt(2.0) / 30.0);
}

TEST(RecogDownsampler, OddCountsAndResetKeepTheSamplePhase)
{
    std::vector<int16_t> in = tone(500.0, 320);
    recog_downsampler whole;
    std::string a;
    whole.process(in.data(), in.size(), a);
    recog_downsampler split;
    std::string b;
    split.process(in.data(), 101, b);
    split.process(in.data() + 101, in.size() - 101, b);
    EXPECT_EQ(a, b);
    split.reset();
    std::string c;
    split.process(in.data(), in.size(), c);
    EXPECT_EQ(a, c);
}

}  // namespace
