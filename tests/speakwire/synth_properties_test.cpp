// The "synthplugin.xml" loader and the value tables the speak task uses.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "synth_properties.h"

static ::testing::Environment* const log_env = ::testing::AddGlobalTestEnvironment(new log_environment);

namespace {

std::string str(const apt_str_t& s)
{
    return s.buf ? std::string(s.buf, s.length) : std::string();
}

class SynthProperties : public ::testing::Test {
protected:
    void SetUp() override
    {
        apr_pool_create(&pool, NULL);
        char templ[] = "/tmp/speakwire-props-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(templ));
        dir = templ;
        path = dir + "/synthplugin.xml";
    }
    void TearDown() override
    {
        unlink(path.c_str());
        rmdir(dir.c_str());
        apr_pool_destroy(pool);
    }

    apt_bool_t load(const std::string& xml)
    {
        FILE* f = fopen(path.c_str(), "w");
        EXPECT_NE(nullptr, f);
        fputs(xml.c_str(), f);
        fclose(f);
        return synth_properties_load(&props, path.c_str(), pool);
    }

    apr_pool_t* pool = NULL;
    std::string dir;
    std::string path;
    synth_properties_t props;
};

void expect_defaults(const synth_properties_t& p)
{
    EXPECT_EQ(nullptr, p.system.init_path);
    EXPECT_FALSE(p.system.use_kivtag);
    EXPECT_EQ(262144u, p.system.max_audio_buffer_size);
    EXPECT_EQ(100u, p.system.num_init_threads);
    EXPECT_EQ(500u, p.system.num_max_threads);
    EXPECT_EQ(0u, p.system.speed_revise);
    EXPECT_TRUE(p.params.kill_on_barge_in);
    EXPECT_EQ(VOICE_GENDER_FEMALE, p.params.voice_param.gender);
    EXPECT_EQ(3u, p.params.voice_param.age);
    EXPECT_EQ("", str(p.params.voice_param.name));
    EXPECT_EQ(PROSODY_VOLUME_TYPE_LABEL, p.params.prosody_param.volume.type);
    EXPECT_EQ(PROSODY_VOLUME_MEDIUM, p.params.prosody_param.volume.value.label);
    EXPECT_EQ(PROSODY_RATE_TYPE_LABEL, p.params.prosody_param.rate.type);
    EXPECT_EQ(PROSODY_RATE_MEDIUM, p.params.prosody_param.rate.value.label);
    EXPECT_EQ("zh-CN", str(p.params.speech_language));
    EXPECT_EQ("safe", str(p.params.fetch_hint));
    EXPECT_EQ("safe", str(p.params.audio_fetch_hint));
    EXPECT_EQ(SPEECH_LENGTH_TYPE_TEXT, p.params.jump_size.type);
    EXPECT_EQ(PROSODY_PITCH_MEDIUM, p.vendor_specific.pitch);
    EXPECT_EQ(1u, p.vendor_specific.voice_style);
    EXPECT_EQ(65001u, p.vendor_specific.codepage);
    EXPECT_EQ(0u, p.vendor_specific.punc_mode);
    EXPECT_FALSE(p.save_wave.save_waveform);
    EXPECT_EQ(nullptr, p.save_wave.save_waveform_dir);
    EXPECT_EQ(0, p.save_wave.silence_interval);
    EXPECT_EQ(0, p.save_wave.silence_threshold);
}

} // namespace

TEST_F(SynthProperties, FullFile)
{
    ASSERT_TRUE(load(R"(<?xml version="1.0"?>
<pelka>
  <system>
    <init-path>wss://127.0.0.1:9443/tts</init-path>
    <use-kivtag>TRUE</use-kivtag>
    <max-audio-buffer-size>512</max-audio-buffer-size>
    <num-init-threads>7</num-init-threads>
    <num-max-threads>9</num-max-threads>
    <speed_revise>5</speed_revise>
  </system>
  <params>
    <kill-on-barge-in>false</kill-on-barge-in>
    <gender>2</gender>
    <age>40</age>
    <name>tolsk</name>
    <volume>LOUD</volume>
    <rate>x-fast</rate>
    <speech-language>en-US</speech-language>
  </params>
  <vendor-specific>
    <pitch>High</pitch>
    <voice-domain>3</voice-domain><voice-style>0</voice-style><codepage>936</codepage>
    <backaudio>10</backaudio><backaudio-volume>20</backaudio-volume><backaudio-flag>1</backaudio-flag>
    <digit-mode>1</digit-mode><eng-mode>2</eng-mode><tag-mode>3</tag-mode><punc-mode>-1</punc-mode>
  </vendor-specific>
  <save-waveform silence_interval="25" silence_threshold="300">
    <dir>/var/tmp/wav</dir>
    <enable>true</enable>
  </save-waveform>
</pelka>
)"));
    EXPECT_STREQ("wss://127.0.0.1:9443/tts", props.system.init_path);
    EXPECT_TRUE(props.system.use_kivtag);
    EXPECT_EQ(524288u, props.system.max_audio_buffer_size);
    EXPECT_EQ(7u, props.system.num_init_threads);
    EXPECT_EQ(9u, props.system.num_max_threads);
    EXPECT_EQ(1u, props.system.speed_revise);
    EXPECT_FALSE(props.params.kill_on_barge_in);
    EXPECT_EQ(VOICE_GENDER_NEUTRAL, props.params.voice_param.gender);
    EXPECT_EQ(40u, props.params.voice_param.age);
    EXPECT_EQ("tolsk", str(props.params.voice_param.name));
    EXPECT_EQ(PROSODY_VOLUME_LOUD, props.params.prosody_param.volume.value.label);
    EXPECT_EQ(PROSODY_RATE_XFAST, props.params.prosody_param.rate.value.label);
    EXPECT_EQ("en-US", str(props.params.speech_language));
    EXPECT_EQ(PROSODY_PITCH_HIGH, props.vendor_specific.pitch);
    EXPECT_EQ(3u, props.vendor_specific.voice_domain);
    EXPECT_EQ(0u, props.vendor_specific.voice_style);
    EXPECT_EQ(936u, props.vendor_specific.codepage);
    EXPECT_EQ(10u, props.vendor_specific.backaudio);
    EXPECT_EQ(20u, props.vendor_specific.backaudio_volume);
    EXPECT_EQ(1u, props.vendor_specific.backaudio_flag);
    EXPECT_EQ(1u, props.vendor_specific.digit_mode);
    EXPECT_EQ(2u, props.vendor_specific.eng_mode);
    EXPECT_EQ(3u, props.vendor_specific.tag_mode);
    EXPECT_EQ((apr_size_t)-1, props.vendor_specific.punc_mode);  // kept as read, a 32-bit value widened
    EXPECT_TRUE(props.save_wave.save_waveform);
    EXPECT_STREQ("/var/tmp/wav", props.save_wave.save_waveform_dir);
    EXPECT_EQ(25, props.save_wave.silence_interval);
    EXPECT_EQ(300, props.save_wave.silence_threshold);
}

TEST_F(SynthProperties, MissingFileFailsWithTheDefaultsWritten)
{
    log_capture logs;
    std::string missing = dir + "/none.xml";
    EXPECT_FALSE(synth_properties_load(&props, missing.c_str(), pool));
    EXPECT_TRUE(logs.has(APT_PRIO_DEBUG, "open config file [" + missing + "]")) << logs.dump();
    bool logged = false;
    for (const log_record& r : logs.records())
        logged |= r.priority == APT_PRIO_ERROR && r.text.find("failed to open config file [" + missing + "][") == 0;
    EXPECT_TRUE(logged) << logs.dump();
    expect_defaults(props);
}

TEST_F(SynthProperties, ForeignRootFails)
{
    log_capture logs;
    EXPECT_FALSE(load("<durnel><system/></durnel>"));
    EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "unknown element <durnel>")) << logs.dump();
    expect_defaults(props);
}

TEST_F(SynthProperties, UnparsableFileFails)
{
    log_capture logs;
    EXPECT_FALSE(load("<pelka><system></pelka>"));
    bool logged = false;
    for (const log_record& r : logs.records())
        logged |= r.priority == APT_PRIO_ERROR && r.text.find("failed to parse config file [") == 0;
    EXPECT_TRUE(logged) << logs.dump();
}

TEST_F(SynthProperties, EmptyRootInAnyCaseKeepsTheDefaults)
{
    EXPECT_TRUE(load("<PELKA/>"));
    expect_defaults(props);
}

TEST_F(SynthProperties, UnknownSectionsAndSettingsAreWarnedAndSkipped)
{
    log_capture logs;
    EXPECT_TRUE(load(R"(<pelka>
  <extras><x>1</x></extras>
  <System><Init-Path>wss://a</Init-Path><colour>red</colour></System>
  <params><shoe-size>44</shoe-size></params>
  <vendor-specific><loudness>3</loudness></vendor-specific>
  <save-waveform depth="3"><format>wav</format></save-waveform>
  <auth_info><other a="b"/></auth_info>
</pelka>)"));
    EXPECT_TRUE(logs.has(APT_PRIO_WARNING, "unknown element <extras>")) << logs.dump();
    for (const char* name : {"colour", "shoe-size", "loudness", "depth", "format"})
        EXPECT_TRUE(logs.has(APT_PRIO_WARNING, std::string("unknown attribute <") + name + ">")) << name;
    EXPECT_FALSE(logs.has(APT_PRIO_WARNING, "unknown attribute <other>"));
    EXPECT_STREQ("wss://a", props.system.init_path);
}

TEST_F(SynthProperties, EmptyElementsDoNotCrash)
{
    EXPECT_TRUE(load(R"(<pelka>
  <system><init-path/><use-kivtag/><max-audio-buffer-size/><speed_revise/></system>
  <params><kill-on-barge-in/><gender/><age/><name/><volume/><rate/><speech-language/></params>
  <vendor-specific><pitch/><voice-domain/><codepage></codepage></vendor-specific>
  <save-waveform><dir/><enable/></save-waveform>
</pelka>)"));
    EXPECT_EQ(nullptr, props.system.init_path);
    EXPECT_EQ("", str(props.params.voice_param.name));
    EXPECT_EQ("", str(props.params.speech_language));
    EXPECT_EQ(nullptr, props.save_wave.save_waveform_dir);
    // Settings that would need a value keep the one they had.
    EXPECT_EQ(262144u, props.system.max_audio_buffer_size);
    EXPECT_EQ(PROSODY_VOLUME_MEDIUM, props.params.prosody_param.volume.value.label);
    EXPECT_EQ(PROSODY_PITCH_MEDIUM, props.vendor_specific.pitch);
    EXPECT_EQ(65001u, props.vendor_specific.codepage);
    EXPECT_TRUE(props.params.kill_on_barge_in);
}

TEST_F(SynthProperties, SettingConversions)
{
    struct conversion_case {
        const char* xml;
        void (*check)(const synth_properties_t&);
    };
    const conversion_case cases[] = {
        {"<system><speed_revise>0</speed_revise></system>",
         [](const synth_properties_t& p) { EXPECT_EQ(0u, p.system.speed_revise); }},
        {"<system><speed_revise>-3</speed_revise></system>",
         [](const synth_properties_t& p) { EXPECT_EQ(0u, p.system.speed_revise); }},
        {"<system><speed_revise> +2xyz</speed_revise></system>",
         [](const synth_properties_t& p) { EXPECT_EQ(1u, p.system.speed_revise); }},
        {"<system><use-kivtag>yes</use-kivtag></system>",
         [](const synth_properties_t& p) { EXPECT_FALSE(p.system.use_kivtag); }},
        {"<params><volume>whisper</volume><rate>crawl</rate></params>",
         [](const synth_properties_t& p) {
             EXPECT_EQ(PROSODY_VOLUME_TYPE_LABEL, p.params.prosody_param.volume.type);
             EXPECT_EQ(PROSODY_VOLUME_UNKNOWN, p.params.prosody_param.volume.value.label);
             EXPECT_EQ(PROSODY_RATE_UNKNOWN, p.params.prosody_param.rate.value.label);
         }},
        {"<params><gender>0</gender></params>",
         [](const synth_properties_t& p) { EXPECT_EQ(VOICE_GENDER_MALE, p.params.voice_param.gender); }},
        {"<params><gender>9</gender></params>",
         [](const synth_properties_t& p) { EXPECT_EQ(VOICE_GENDER_UNKNOWN, p.params.voice_param.gender); }},
        {"<params><age>-1</age></params>",
         [](const synth_properties_t& p) { EXPECT_EQ((apr_size_t)-1, p.params.voice_param.age); }},
        {"<vendor-specific><pitch>shrill</pitch><voice-domain>99</voice-domain></vendor-specific>",
         [](const synth_properties_t& p) {
             EXPECT_EQ(PROSODY_PITCH_UNKNOWN, p.vendor_specific.pitch);
             EXPECT_EQ(99u, p.vendor_specific.voice_domain);  // ranges are checked at requests
         }},
        {"<save-waveform/>",
         [](const synth_properties_t& p) {
             EXPECT_EQ(10, p.save_wave.silence_interval);
             EXPECT_EQ(140, p.save_wave.silence_threshold);
             EXPECT_FALSE(p.save_wave.save_waveform);
         }},
        {"<save-waveform><enable>TRUE</enable></save-waveform>",
         [](const synth_properties_t& p) { EXPECT_TRUE(p.save_wave.save_waveform); }},
        {"<params><name>first</name><age>20</age></params><params><name>second</name></params>",
         [](const synth_properties_t& p) {
             EXPECT_EQ("second", str(p.params.voice_param.name));
             EXPECT_EQ(20u, p.params.voice_param.age);
         }},
    };
    for (const conversion_case& c : cases) {
        SCOPED_TRACE(c.xml);
        ASSERT_TRUE(load(std::string("<pelka>") + c.xml + "</pelka>"));
        c.check(props);
    }
}

#ifdef SPEAKWIRE_HAVE_AUTHINFO
TEST_F(SynthProperties, AuthInfoFromTheSectionAndItsChildren)
{
    ASSERT_TRUE(load(R"(<pelka>
  <auth_info token_interval="3600" token_server="https://127.0.0.1:5443/v3/auth/tokens">
    <auth_identity user_name="u" user_password="p" user_domain_name="d"/>
    <auth_scope scope_project_name="proj"/>
    <auth_other user_name="ignored"/>
  </auth_info>
</pelka>)"));
    EXPECT_EQ(3600, props.system.token_interval_sec);
    EXPECT_STREQ("https://127.0.0.1:5443/v3/auth/tokens", props.system.token_server);
    EXPECT_STREQ("u", props.system.auth_user_name);
    EXPECT_STREQ("p", props.system.auth_user_password);
    EXPECT_STREQ("d", props.system.auth_user_domain_name);
    EXPECT_STREQ("proj", props.system.auth_scope_project_name);
}
#endif

TEST(ValueTables, Volume)
{
    const struct { double volume; apr_size_t level; } vol[] = {
        {0.0, 0}, {0.5, 1}, {12.0, 1}, {12.00000000001, 1}, {12.5, 2}, {50.0, 5},
        {84.0, 7}, {84.1, 8}, {92.0, 8}, {100.0, 9}, {-1.0, 5}, {101.0, 5}, {NAN, 5},
    };
    for (const auto& c : vol)
        EXPECT_EQ(c.level, prosody_volume_vol2value(c.volume)) << c.volume;

    const apr_size_t id2value[] = {0, 1, 3, 5, 7, 9, 5, 5};
    for (int label = 0; label <= PROSODY_VOLUME_UNKNOWN; label++)
        EXPECT_EQ(id2value[label], prosody_volume_id2value((mrcp_prosody_volume_label_e)label)) << label;

    const int value2id[] = {0, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6};
    for (apr_size_t level = 0; level <= 10; level++)
        EXPECT_EQ(value2id[level], prosody_volume_value2id(level)) << level;

    EXPECT_EQ(92.0, prosody_volume_value2vol(8));
    EXPECT_EQ(48.0, prosody_volume_value2vol(10));
}

TEST(ValueTables, Rate)
{
    EXPECT_EQ(0u, prosody_rate_id2value(PROSODY_RATE_XSLOW));
    EXPECT_EQ(9u, prosody_rate_id2value(PROSODY_RATE_XFAST));
    EXPECT_EQ(5u, prosody_rate_id2value(PROSODY_RATE_UNKNOWN));

    const struct { double relative; apr_size_t index; } rel[] = {
        {0.7, 0}, {0.76, 1}, {0.7249, 0}, {1.0, 5}, {1.36, 8}, {1.3, 5}, {1.5, 9}, {1.524, 9}, {2.0, 5},
    };
    for (const auto& c : rel)
        EXPECT_EQ(c.index, prosody_rate_relative2value(c.relative)) << c.relative;

    const int value2id[] = {0, 1, 1, 1, 2, 2, 3, 3, 4, 4, 5};
    for (apr_size_t level = 0; level <= 10; level++)
        EXPECT_EQ(value2id[level], prosody_rate_value2id(level)) << level;
}

TEST(ValueTables, LanguageGenderAge)
{
    EXPECT_EQ(10u, lang_value2id("EN-us"));
    EXPECT_EQ(740u, lang_value2id("th-TH"));
    EXPECT_EQ(31u, lang_value2id("ES"));
    EXPECT_EQ(0u, lang_value2id("xx"));
    EXPECT_EQ(0u, lang_value2id(NULL));

    char tag[SPEECH_LANG_TAG_SIZE] = "junk";
    lang_id2value(500, tag);
    EXPECT_STREQ("ru-RU", tag);
    lang_id2value(2, tag);
    EXPECT_STREQ("", tag);

    for (int g = 0; g < 3; g++) {
        EXPECT_EQ((apr_size_t)g, gender_id2value((mrcp_voice_gender_e)g));
        EXPECT_EQ(g, gender_value2id(g));
    }
    EXPECT_EQ(0u, gender_id2value(VOICE_GENDER_UNKNOWN));
    EXPECT_EQ(VOICE_GENDER_MALE, gender_value2id(7));

    const struct { apr_size_t age, cls; } ages[] = {
        {0, 0}, {2, 0}, {3, 1}, {11, 1}, {12, 2}, {17, 2}, {18, 3}, {59, 3}, {60, 4}, {200, 4},
    };
    for (const auto& c : ages)
        EXPECT_EQ(c.cls, age2value(c.age)) << c.age;
    const apr_size_t back[] = {2, 8, 15, 30, 70, 30, 30, 30};
    for (apr_size_t v = 0; v < 8; v++)
        EXPECT_EQ(back[v], value2age(v)) << v;
}

TEST(CopyOperations, ProsodyAndSpeechLength)
{
    apr_pool_t* pool = NULL;
    apr_pool_create(&pool, NULL);

    mrcp_prosody_volume_t vsrc, vdst;
    vsrc.type = PROSODY_VOLUME_TYPE_NUMERIC;
    vsrc.value.numeric = 42.5f;
    EXPECT_TRUE(mrcp_prosody_volume_copy(&vsrc, &vdst));
    EXPECT_EQ(PROSODY_VOLUME_TYPE_NUMERIC, vdst.type);
    EXPECT_EQ(42.5f, vdst.value.numeric);

    mrcp_prosody_rate_t rsrc, rdst;
    rsrc.type = PROSODY_RATE_TYPE_LABEL;
    rsrc.value.label = PROSODY_RATE_SLOW;
    EXPECT_TRUE(mrcp_prosody_rate_copy(&rsrc, &rdst));
    EXPECT_EQ(PROSODY_RATE_SLOW, rdst.value.label);

    mrcp_speech_length_value_t lsrc, ldst;
    lsrc.type = SPEECH_LENGTH_TYPE_TEXT;
    apt_string_assign(&lsrc.value.tag, "mark1", pool);
    EXPECT_TRUE(mrcp_speech_length_value_copy(&lsrc, &ldst, pool));
    EXPECT_EQ("mark1", str(ldst.value.tag));
    EXPECT_NE(lsrc.value.tag.buf, ldst.value.tag.buf);

    apt_string_reset(&lsrc.value.tag);
    EXPECT_TRUE(mrcp_speech_length_value_copy(&lsrc, &ldst, pool));
    EXPECT_EQ("", str(ldst.value.tag));

    lsrc.type = SPEECH_LENGTH_TYPE_NUMERIC_NEGATIVE;
    lsrc.value.numeric.length = 12;
    lsrc.value.numeric.unit = SPEECH_UNIT_WORD;
    EXPECT_TRUE(mrcp_speech_length_value_copy(&lsrc, &ldst, pool));
    EXPECT_EQ(SPEECH_LENGTH_TYPE_NUMERIC_NEGATIVE, ldst.type);
    EXPECT_EQ(12u, ldst.value.numeric.length);
    EXPECT_EQ(SPEECH_UNIT_WORD, ldst.value.numeric.unit);

    apr_pool_destroy(pool);
}

TEST(SampleConfiguration, LoadsWithTheDocumentedDefaults)
{
    apr_pool_t* pool = NULL;
    apr_pool_create(&pool, NULL);
    synth_properties_t props;
    log_capture logs;
    ASSERT_TRUE(synth_properties_load(&props, SPEAKWIRE_SAMPLE_CONF, pool));
    EXPECT_FALSE(logs.has_at_least(APT_PRIO_WARNING)) << logs.dump();
    EXPECT_STREQ("wss://127.0.0.1:9443/tts", props.system.init_path);
    props.system.init_path = NULL;
    EXPECT_EQ(nullptr, props.save_wave.save_waveform_dir);
    EXPECT_EQ(10, props.save_wave.silence_interval);
    EXPECT_EQ(140, props.save_wave.silence_threshold);
    props.save_wave.silence_interval = props.save_wave.silence_threshold = 0;
    expect_defaults(props);
    apr_pool_destroy(pool);
}
