// The synthesis wire protocol, the rate raising and the NTP clock: pure functions, tested directly.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "ntp.h"
#include "synth_protocol.h"
#include "synth_upsample.h"

namespace {

apt_str_t str(const char* text)
{
    apt_str_t s;
    apt_string_set(&s, text);
    return s;
}

TEST(SynthMarkup, ContentTypeByVersion)
{
    struct row {
        const char* type;  // NULL: no Content-Type field
        mrcp_version_e version;
        synth_markup_e expected;
    };
    const row rows[] = {
        {NULL, MRCP_VERSION_2, SYNTH_MARKUP_PLAIN},
        {"text/plain", MRCP_VERSION_2, SYNTH_MARKUP_PLAIN},
        {"TEXT/PLAIN", MRCP_VERSION_1, SYNTH_MARKUP_PLAIN},
        {"text/plain; charset=UTF-8", MRCP_VERSION_2, SYNTH_MARKUP_INVALID},
        {"application/ssml+xml", MRCP_VERSION_2, SYNTH_MARKUP_SSML},
        {"Application/SSML+XML", MRCP_VERSION_2, SYNTH_MARKUP_SSML},
        {"application/ssml+xml", MRCP_VERSION_1, SYNTH_MARKUP_INVALID},
        {"application/synthesis+ssml", MRCP_VERSION_1, SYNTH_MARKUP_SSML},
        {"application/synthesis+ssml", MRCP_VERSION_2, SYNTH_MARKUP_INVALID},
        {"application/ssml+xml", MRCP_VERSION_UNKNOWN, SYNTH_MARKUP_INVALID},
        {"text/html", MRCP_VERSION_2, SYNTH_MARKUP_INVALID},
        {"", MRCP_VERSION_2, SYNTH_MARKUP_INVALID},
    };
    for (const row& r : rows) {
        apt_str_t type = str(r.type);
        EXPECT_EQ(r.expected, synth_markup_get(r.type ? &type : NULL, r.version))
            << (r.type ? r.type : "(none)") << " version " << r.version;
    }
    EXPECT_STREQ("none", synth_tagmode_get(SYNTH_MARKUP_PLAIN, TRUE));
    EXPECT_STREQ("ssml", synth_tagmode_get(SYNTH_MARKUP_SSML, FALSE));
    EXPECT_STREQ("kivtag", synth_tagmode_get(SYNTH_MARKUP_SSML, TRUE));
}

TEST(SynthStart, NumbersAreSignedOffsets)
{
    EXPECT_EQ(-500, synth_start_pitch(PROSODY_PITCH_XLOW));
    EXPECT_EQ(-200, synth_start_pitch(PROSODY_PITCH_LOW));
    EXPECT_EQ(0, synth_start_pitch(PROSODY_PITCH_MEDIUM));
    EXPECT_EQ(400, synth_start_pitch(PROSODY_PITCH_XHIGH));
    EXPECT_EQ(0, synth_start_pitch(PROSODY_PITCH_UNKNOWN));

    struct rate_row {
        mrcp_prosody_rate_type_e type;
        mrcp_prosody_rate_label_e label;
        apr_size_t revise;
        int expected;
    };
    const rate_row rates[] = {
        {PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_XSLOW, 0, -500},
        {PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_XSLOW, 1, -600},
        {PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_MEDIUM, 1, -100},
        {PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_MEDIUM, 0, 0},
        {PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_XFAST, 0, 400},
        {PROSODY_RATE_TYPE_RELATIVE_CHANGE, PROSODY_RATE_XSLOW, 1, 0},
    };
    for (const rate_row& r : rates) {
        mrcp_prosody_rate_t rate;
        rate.type = r.type;
        rate.value.label = r.label;
        if (r.type == PROSODY_RATE_TYPE_RELATIVE_CHANGE)
            rate.value.relative = 1.5f;
        EXPECT_EQ(r.expected, synth_start_speed(&rate, r.revise)) << "label " << r.label << " revise " << r.revise;
    }

    mrcp_prosody_volume_t volume;
    volume.type = PROSODY_VOLUME_TYPE_LABEL;
    volume.value.label = PROSODY_VOLUME_SILENT;
    EXPECT_EQ(0, synth_start_volume(&volume));
    volume.value.label = PROSODY_VOLUME_XLOUD;
    EXPECT_EQ(90, synth_start_volume(&volume));
    volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
    volume.value.numeric = 50.0f;
    EXPECT_EQ(50, synth_start_volume(&volume));
    volume.type = PROSODY_VOLUME_TYPE_RELATIVE_CHANGE;
    volume.value.relative = 2.0f;
    EXPECT_EQ(50, synth_start_volume(&volume));
}

TEST(SynthStart, DefaultCommandIsExact)
{
    synth_start_t start;
    start.property = "chinese_brenic_common";
    start.text = "hello";
    EXPECT_EQ("{\"command\":\"START\",\"config\":{\"audio_format\":\"pcm\",\"pitch\":0,"
              "\"property\":\"chinese_brenic_common\",\"sample_rate\":\"8000\",\"speed\":0,"
              "\"tagmode\":\"none\",\"volume\":50},\"text\":\"hello\"}\n",
              synth_start_command(start));
    EXPECT_STREQ("{\"command\":\"END\"}\n", SYNTH_END_COMMAND);
}

TEST(SynthStart, TextArrivesIntact)
{
    const std::vector<std::string> texts = {
        "say \"hi\" \\ now",
        "line one\nline two\ttab\r\x01\x1f",
        "<speak version=\"1.0\"><s>caf\xc3\xa9 \xe4\xbd\xa0\xe5\xa5\xbd</s></speak>",
        "\"},\"command\":\"END",
        "",
    };
    for (const std::string& text : texts) {
        synth_start_t start;
        start.pitch = -500;
        start.speed = -600;
        start.text = text;
        const std::string command = synth_start_command(start);
        ASSERT_EQ('\n', command.back());
        EXPECT_EQ(command.size() - 1, command.find('\n')) << "one line only: " << command;
        Json::Value root;
        ASSERT_TRUE(Json::Reader().parse(command, root)) << command;
        EXPECT_EQ(text, root["text"].asString());
        EXPECT_EQ("START", root["command"].asString());
        EXPECT_TRUE(root["config"]["pitch"].isInt());
        EXPECT_EQ(-500, root["config"]["pitch"].asInt());
        EXPECT_EQ(-600, root["config"]["speed"].asInt());
    }
}

// Only what JSON requires is escaped; every other byte, of any code page, goes out unchanged.
TEST(SynthStart, TextBytesEscapedOnlyWhereJsonRequires)
{
    struct text_case {
        const char* name;
        std::string text;
        std::string member;
    };
    const text_case cases[] = {
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"control bytes", "\n\t\r\b\f\x01\x1f", "\"\\n\\t\\r\\b\\f\\u0001\\u001f\""},
        {"GBK", "\xc4\xe3\xba\xc3", "\"\xc4\xe3\xba\xc3\""},
        {"UTF-8", "caf\xc3\xa9 \xe4\xbd\xa0", "\"caf\xc3\xa9 \xe4\xbd\xa0\""},
        {"DEL and slash", "\x7f/", "\"\x7f/\""},
    };
    for (const text_case& c : cases) {
        synth_start_t start;
        start.property = "chinese_brenic_common";
        start.text = c.text;
        EXPECT_EQ("{\"command\":\"START\",\"config\":{\"audio_format\":\"pcm\",\"pitch\":0,"
                  "\"property\":\"chinese_brenic_common\",\"sample_rate\":\"8000\",\"speed\":0,"
                  "\"tagmode\":\"none\",\"volume\":50},\"text\":" + c.member + "}\n",
                  synth_start_command(start))
            << c.name;
    }
}

TEST(SynthStart, BodyTextStopsAtZeroByte)
{
    const char bytes[] = {'a', 'b', '\0', 'c'};
    apt_str_t body;
    body.buf = const_cast<char*>(bytes);
    body.length = sizeof(bytes);
    EXPECT_EQ("ab", synth_body_text(&body));
    body.length = 1;
    EXPECT_EQ("a", synth_body_text(&body));
    apt_string_reset(&body);
    EXPECT_EQ("", synth_body_text(&body));
}

TEST(SynthReply, Classification)
{
    struct row {
        const char* payload;
        synth_reply_e kind;
        const char* error_code;
    };
    const row rows[] = {
        {"{\"resp_type\":\"START\",\"trace_id\":\"t\"}", SYNTH_REPLY_START, ""},
        {"{\"resp_type\":\"END\",\"trace_id\":\"t\",\"reason\":\"NORMAL\"}", SYNTH_REPLY_END_NORMAL, ""},
        {"{\"resp_type\":\"END\",\"trace_id\":\"t\",\"reason\":\"normal\"}", SYNTH_REPLY_END_ABNORMAL, ""},
        {"{\"resp_type\":\"END\",\"trace_id\":\"t\"}", SYNTH_REPLY_END_ABNORMAL, ""},
        {"{\"resp_type\":\"END\",\"trace_id\":\"t\",\"reason\":{\"x\":1}}", SYNTH_REPLY_END_ABNORMAL, ""},
        {"{\"resp_type\":\"ERROR\",\"trace_id\":\"t\",\"error_code\":\"E1\"}", SYNTH_REPLY_ERROR, "E1"},
        {"{\"resp_type\":\"FATAL_ERROR\",\"trace_id\":\"t\",\"error_code\":42}", SYNTH_REPLY_ERROR, "42"},
        {"{\"resp_type\":\"ERROR\",\"trace_id\":\"t\",\"error_code\":[1]}", SYNTH_REPLY_ERROR, "[1]"},
        {"{\"resp_type\":\"ERROR\",\"trace_id\":\"t\"}", SYNTH_REPLY_ERROR, ""},
        {"{\"resp_type\":\"END\",\"trace_id\":7,\"reason\":\"NORMAL\"}", SYNTH_REPLY_IGNORED, ""},
        {"{\"resp_type\":1,\"trace_id\":\"t\"}", SYNTH_REPLY_IGNORED, ""},
        {"{\"resp_type\":\"PROGRESS\",\"trace_id\":\"t\"}", SYNTH_REPLY_IGNORED, ""},
        {"not json", SYNTH_REPLY_IGNORED, ""},
        {"[\"END\"]", SYNTH_REPLY_IGNORED, ""},
        {"5", SYNTH_REPLY_IGNORED, ""},
        {"\"END\"", SYNTH_REPLY_IGNORED, ""},
        {"", SYNTH_REPLY_IGNORED, ""},
    };
    for (const row& r : rows) {
        synth_reply_t reply = synth_reply_parse(r.payload);
        EXPECT_EQ(r.kind, reply.kind) << r.payload;
        EXPECT_EQ(r.error_code, reply.error_code) << r.payload;
    }
    // Nesting deep enough to make the parser give up must not throw out of it.
    std::string deep = std::string(5000, '[') + std::string(5000, ']');
    EXPECT_EQ(SYNTH_REPLY_IGNORED, synth_reply_parse(deep).kind);
}

TEST(SynthUpsample, LinearBetweenSamplesAcrossCalls)
{
    const apr_int16_t in[] = {100, 200, -200};
    apr_int16_t out[6];
    apr_int16_t prev = 0;
    synth_upsample(in, 3, out, 2, &prev);
    const apr_int16_t expected[] = {50, 100, 150, 200, 0, -200};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(expected[i], out[i]) << "sample " << i;
    EXPECT_EQ(-200, prev);

    // The next call continues from the last sample; extremes do not overflow.
    const apr_int16_t loud[] = {32767, -32768};
    apr_int16_t out2[4];
    synth_upsample(loud, 2, out2, 2, &prev);
    EXPECT_EQ(16283, out2[0]);
    EXPECT_EQ(32767, out2[1]);
    EXPECT_EQ(0, out2[2]);
    EXPECT_EQ(-32768, out2[3]);

    apr_int16_t copy[3];
    prev = 7;
    synth_upsample(in, 3, copy, 1, &prev);
    EXPECT_EQ(0, memcmp(in, copy, sizeof(copy)));
}

TEST(Ntp, TimestampOfWallClock)
{
    EXPECT_EQ(9487534655377768448ULL, ntp_from_unix(0, 500000));
    EXPECT_EQ(2147483648ULL, ntp_from_unix(1000, 500000) & 0xffffffffULL);
    EXPECT_EQ((1000ULL + 2208988800ULL) << 32, ntp_from_unix(1000, 0));
    const tstamp now = get_time();
    EXPECT_GT(now >> 32, 2208988800ULL + 1700000000ULL);  // after 2023
}

}  // namespace
