// NLSML results: byte-exact documents, escaping of hostile service text, and
// replies that are broken or wrongly typed.
#include <string>
#include <vector>

#include <apr_xml.h>
#include <gtest/gtest.h>
#include <tinyxml.h>

#include "log_capture.h"
#include "mrcp_asr_result.h"
#include "nlsml.h"
#include "rule.h"

static ::testing::Environment* const log_env = ::testing::AddGlobalTestEnvironment(new log_environment);

namespace {

struct segment {
    std::string start, end, score, text;  // raw JSON values
};

std::string json_string(const std::string& s)
{
    Json::Value v(s);
    std::string out = Json::FastWriter().write(v);
    return out.substr(0, out.size() - 1);
}

std::string reply(const std::vector<segment>& segs)
{
    std::string s = "{\"resp_type\":\"RESULT\",\"trace_id\":\"t\",\"segments\":[";
    for (size_t i = 0; i < segs.size(); ++i) {
        if (i)
            s += ",";
        s += "{\"start_time\":" + segs[i].start + ",\"end_time\":" + segs[i].end + ",\"result\":{\"score\":" +
             segs[i].score + ",\"text\":" + segs[i].text + "}}";
    }
    return s + "]}";
}

std::string plain_doc(const std::string& grammar, const std::string& confidence, const std::string& channel,
                      const std::string& meaning, const std::string& input)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n"
                    "<result>\r\n"
                    "    <interpretation grammar=\"" + grammar + "\" confidence=\"" + confidence + "\">\r\n"
                    "        <instance>\r\n";
    if (!channel.empty())
        s += "            <r0>" + channel + "</r0>\r\n";
    s += "            <meaning>" + meaning + "</meaning>\r\n"
         "        </instance>\r\n"
         "        <input mode=\"speech\">" + input + "</input>\r\n"
         "    </interpretation>\r\n"
         "</result>\r\n";
    return s;
}

const char* const empty_result_doc = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<result />\r\n";

class NlsmlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        init_recog_nlsm(&gen);
        r.capability_mask_ = 2;
    }
    bool run(const std::string& payload, const char* grammar_id = "g1", const char* capability = "asr.cloud.freetalk")
    {
        return gen.generate_result("ch1", payload, capability, &r, grammar_id);
    }
    std::vector<std::string> docs() const { return {gen.results.begin(), gen.results.end()}; }

    nlsml gen;
    rule r;
};

TEST_F(NlsmlTest, WorkedExample)
{
    ASSERT_TRUE(run(reply({{"0", "1200", "0.8", "\"hello\""}, {"1500", "2600", "0.6", "\"world\""}})));
    ASSERT_EQ(gen.results.size(), 2u);
    EXPECT_EQ(docs()[0], plain_doc("session:g1", "0.78", "ch1", "hello", "hello"));
    EXPECT_EQ(docs()[1], plain_doc("session:g1", "0.61", "ch1", "world", "world"));
}

TEST_F(NlsmlTest, TemplateAndChannelId)
{
    struct {
        const char* format;
        bool channel_id;
        const char* meaning;
    } cases[] = {
        {"%{text}|%{score}|%{times}|%{type}", true, "hello|0.78|0 1200|speech-to-text"},
        {"%{text}", false, "hello"},
        {"fixed", true, "fixed"},
        {"[%{text}]%{text}", true, "[hello]hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        init_recog_nlsm(&gen, c.format, c.channel_id ? TRUE : FALSE);
        ASSERT_TRUE(run(reply({{"0", "1200", "0.8", "\"hello\""}})));
        EXPECT_EQ(docs()[0], plain_doc("session:g1", "0.78", c.channel_id ? "ch1" : "", c.meaning, "hello"));
    }
    // A recognized text holding a placeholder is filled by a later pass.
    init_recog_nlsm(&gen, "%{text}", TRUE);
    ASSERT_TRUE(run(reply({{"0", "1", "0.8", "\"a %{score}\""}})));
    EXPECT_EQ(docs()[0], plain_doc("session:g1", "0.78", "ch1", "a 0.78", "a %{score}"));
    // A NULL template from the configuration keeps the default.
    init_recog_nlsm(&gen, nullptr, TRUE);
    EXPECT_EQ(gen.result_param.format, "%{text}");
}

TEST_F(NlsmlTest, QuestionAnswerForm)
{
    r.need_qa_ = true;
    r.qa_result_ = "r1";
    const std::string item = json_string("{\"recogAnswer\":{\"a\":1},\"recogText\":\"how are you\"}");
    ASSERT_TRUE(run(reply({{"0", "900", "1.0", item}})));
    EXPECT_EQ(docs()[0], "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n"
                         "<result>\r\n"
                         "    <interpretation grammar=\"session:g1\" confidence=\"0.95\">\r\n"
                         "        <instance>\r\n"
                         "            <ai_result></ai_result>\r\n"
                         "        </instance>\r\n"
                         "        <input mode=\"speech\">how are you</input>\r\n"
                         "    </interpretation>\r\n"
                         "</result>\r\n");

    struct {
        const char* name;
        std::string text;
        const char* log;
    } bad[] = {
        {"not JSON", "\"plain words\"", "parse recog_result failed:plain words"},
        {"no recogAnswer", json_string("{\"recogText\":\"x\"}"), "get recogAnswer failed!"},
        {"null recogAnswer", json_string("{\"recogAnswer\":null,\"recogText\":\"x\"}"), "get recogAnswer failed!"},
        {"no recogText", json_string("{\"recogAnswer\":1}"), "get recogText failed!"},
        {"numeric recogText", json_string("{\"recogAnswer\":1,\"recogText\":5}"), "get recogText failed!"},
        {"array", json_string("[1,2]"), "get recogAnswer failed!"},
        {"number", json_string("42"), "get recogAnswer failed!"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        log_capture logs;
        EXPECT_FALSE(run(reply({{"0", "1", "0.5", c.text}})));
        ASSERT_EQ(gen.results.size(), 1u);
        EXPECT_EQ(docs()[0], empty_result_doc);
        EXPECT_TRUE(logs.has(APT_PRIO_ERROR, c.log)) << logs.dump();
    }
}

// The rescaled score, kept within 0 to 1 whatever the service sent.
TEST_F(NlsmlTest, ConfidenceStaysWithinZeroAndOne)
{
    struct {
        const char* score;
        const char* confidence;
    } cases[] = {
        {"0.8", "0.78"},   {"0.6", "0.61"},  {"1.0", "0.95"},  {"0", "0.10"},    {"0.5", "0.52"},
        {"0.3", "0.36"},   {"1", "0.95"},    {"-1", "0.00"},   {"2", "1.00"},    {"1e30", "1.00"},
        {"1e300", "1.00"}, {"-1e300", "0.00"},  // infinite once narrowed to float
    };
    for (bool qa : {false, true}) {
        r.need_qa_ = qa;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.score);
            const std::string text = qa ? json_string("{\"recogAnswer\":1,\"recogText\":\"x\"}") : "\"x\"";
            ASSERT_TRUE(run(reply({{"0", "1", c.score, text}})));
            EXPECT_NE(docs()[0].find(std::string("confidence=\"") + c.confidence + "\""), std::string::npos)
                << docs()[0];
        }
    }
}

TEST_F(NlsmlTest, CapabilityDispatch)
{
    const std::string good = reply({{"0", "1", "0.8", "\"x\""}});
    struct {
        const char* capability;
        bool ok;
        const char* warning;
    } cases[] = {
        {"asr.cloud.freetalk", true, nullptr},
        {"ASR.Cloud.FreeTalk", true, nullptr},
        {"asr.cloud.grammar", false, "asr.cloud.grammar not implement"},
        {"ASR.CLOUD.KEYWORDSPOT", false, "ASR.CLOUD.KEYWORDSPOT not implement"},
        {"asr.cloud.analysis", false, "asr.cloud.analysis not implement"},
        {"other", false, "engine type is invalid!"},
        {nullptr, false, "engine type is invalid!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capability ? c.capability : "(null)");
        ASSERT_TRUE(run(good)); // leaves a document behind that the next call must clear
        log_capture logs;
        EXPECT_EQ(run(good, "g1", c.capability), c.ok);
        EXPECT_EQ(gen.results.size(), c.ok ? 1u : 0u);
        if (c.warning) {
            EXPECT_TRUE(logs.has(APT_PRIO_WARNING, c.warning)) << logs.dump();
        }
    }
}

TEST_F(NlsmlTest, SegmentsAndGrammarNames)
{
    ASSERT_FALSE(run(reply({})));
    EXPECT_TRUE(gen.results.empty());

    // The first bad segment ends the walk; earlier documents stay.
    ASSERT_TRUE(run("{\"segments\":[{\"start_time\":0,\"end_time\":5,\"result\":{\"score\":0.8,\"text\":\"a\"}},"
                    "{\"start_time\":6,\"result\":{\"score\":0.8,\"text\":\"b\"}},"
                    "{\"start_time\":7,\"end_time\":9,\"result\":{\"score\":0.8,\"text\":\"c\"}}]}"));
    EXPECT_EQ(gen.results.size(), 1u);

    struct {
        const char* id;
        const char* grammar;
    } names[] = {{"session:<g1>", "session:g1"}, {"g1", "session:g1"}, {"<x>session:y", "xsession:y"}, {nullptr, "session:"}};
    for (const auto& n : names) {
        ASSERT_TRUE(run(reply({{"0", "1", "0.8", "\"x\""}}), n.id));
        EXPECT_EQ(docs()[0], plain_doc(n.grammar, "0.78", "ch1", "x", "x")) << n.grammar;
    }

    // Two capability bits: the free-talk mode falls back, the %{type} text stays empty.
    r.capability_mask_ = 18;
    init_recog_nlsm(&gen, "[%{type}]", TRUE);
    log_capture logs;
    ASSERT_TRUE(run(reply({{"0", "1", "0.8", "\"\""}})));
    EXPECT_TRUE(logs.has(APT_PRIO_DEBUG, "use default capbility speech-to-text"));
    EXPECT_EQ(docs()[0], plain_doc("session:g1", "0.78", "ch1", "[]", ""));
}

// A voice-mode recognition uses the first segment only: no other document is built.
TEST_F(NlsmlTest, FirstOnlyBuildsOneDocument)
{
    const std::string payload = reply({{"0", "1", "0.8", "\"a\""}, {"1", "2", "0.6", "\"b\""}, {"2", "3", "0.5", "\"c\""}});
    ASSERT_TRUE(run(payload));
    ASSERT_EQ(gen.results.size(), 3u);
    const std::string first = docs()[0];
    log_capture logs;
    ASSERT_TRUE(gen.generate_result("ch1", payload, "asr.cloud.freetalk", &r, "g1", true));
    EXPECT_EQ(docs(), std::vector<std::string>{first});
    size_t built = 0;
    for (const log_record& record : logs.records())
        built += record.text.compare(0, 11, "input_text=") == 0;
    EXPECT_EQ(built, 1u) << logs.dump();
    EXPECT_FALSE(gen.generate_result("ch1", "{\"segments\":[{}," + payload.substr(payload.find('[') + 1),
                                     "asr.cloud.freetalk", &r, "g1", true));
    EXPECT_TRUE(gen.results.empty());
}

// Strict parse with the expat-based parser of APR-util; returns the texts of
// meaning, input and r0 and the grammar attribute, in document order.
bool strict_parse(const std::string& xml, std::vector<std::string>* values)
{
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apr_xml_parser* parser = apr_xml_parser_create(pool);
    apr_xml_doc* parsed = nullptr;
    bool ok = apr_xml_parser_feed(parser, xml.data(), xml.size()) == APR_SUCCESS &&
              apr_xml_parser_done(parser, &parsed) == APR_SUCCESS;
    if (ok) {
        std::vector<const apr_xml_elem*> stack = {parsed->root};
        while (!stack.empty()) {
            const apr_xml_elem* e = stack.back();
            stack.pop_back();
            for (const apr_xml_attr* a = e->attr; a; a = a->next)
                if (std::string(a->name) == "grammar")
                    values->push_back(a->value);
            std::string name = e->name;
            if (name == "meaning" || name == "input" || name == "r0") {
                std::string text;
                for (const apr_text* t = e->first_cdata.first; t; t = t->next)
                    text += t->text;
                values->push_back(text);
            }
            std::vector<const apr_xml_elem*> children;
            for (const apr_xml_elem* c = e->first_child; c; c = c->next)
                children.push_back(c);
            stack.insert(stack.end(), children.rbegin(), children.rend());
        }
    }
    apr_pool_destroy(pool);
    return ok;
}

TEST_F(NlsmlTest, HostileTextStaysText)
{
    const std::string fffd = "\xef\xbf\xbd";
    struct {
        std::string sent, read;  // read: "" for the text as sent
    } hostile[] = {
        {"a & b", ""}, {"a < b > c", ""}, {"&#x3c;", ""}, {"&#x<a>", ""}, {"&#x</meaning><x/>;", ""},
        {"&#xZZ", ""}, {"say \"hi\" 'there'", ""}, {"h\xc3\xa9llo \xe4\xbd\xa0\xe5\xa5\xbd", ""},
        {"&amp;&lt;", ""}, {"tab\there\r\n", ""}, {"&#x01;", ""},
        // No XML 1.0 character: each reads back as U+FFFD.
        {"a\x01" "b\x1f" "c\xef\xbf\xbe" "d\xef\xbf\xbf", "a" + fffd + "b" + fffd + "c" + fffd + "d" + fffd},
    };
    for (const auto& h : hostile) {
        SCOPED_TRACE(h.sent);
        const std::string text = h.read.empty() ? h.sent : h.read;
        const std::string grammar_id = "g\"" + h.sent;
        ASSERT_TRUE(gen.generate_result("ch&" + h.sent, reply({{"0", "1", "0.8", json_string(h.sent)}}),
                                        "asr.cloud.freetalk", &r, grammar_id.c_str()));
        const std::string out = docs()[0];

        TiXmlDocument parsed;
        parsed.Parse(out.c_str());
        ASSERT_FALSE(parsed.Error()) << out;

        std::vector<std::string> values;
        ASSERT_TRUE(strict_parse(out, &values)) << out;
        const std::vector<std::string> expected = {"session:g\"" + text, "ch&" + text, text, text};
        EXPECT_EQ(values, expected) << out;
    }
}

TEST(NlsmlEscape, Entities)
{
    EXPECT_EQ(nlsml_escape("&<>\"'"), "&amp;&lt;&gt;&quot;&apos;");
    EXPECT_EQ(nlsml_escape("&#x3c;"), "&amp;#x3c;");
    EXPECT_EQ(nlsml_escape("\t\n\r"), "&#x09;&#x0A;&#x0D;");
    EXPECT_EQ(nlsml_escape("\xe4\xbd\xa0"), "\xe4\xbd\xa0");
}

// A byte that is no part of a whole UTF-8 character, or a character XML 1.0 does not allow, would
// make the document unreadable; a lead byte just before "</" even hides the end tag from the parser.
TEST(NlsmlEscape, WhatXmlCannotHoldBecomesReplacementCharacter)
{
    const std::string fffd = "\xef\xbf\xbd";
    const struct {
        std::string in, out;
    } cases[] = {
        {std::string("\x00", 1), fffd},
        {"\x01\x08\x0b\x0c\x0e\x1f", fffd + fffd + fffd + fffd + fffd + fffd},
        {"\x7f", "\x7f"},
        {"\xef\xbf\xbe\xef\xbf\xbf", fffd + fffd},         // U+FFFE, U+FFFF
        {"\xef\xbf\xbc\xef\xbf\xbd", "\xef\xbf\xbc\xef\xbf\xbd"}, // U+FFFC, U+FFFD
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},          // U+10FFFF
        {"a\xc4", "a" + fffd},
        {"\xc4<", fffd + "&lt;"},
        {"\xff\xfe", fffd + fffd},
        {"\xe4\xbd", fffd + fffd},                      // cut short
        {"\xc0\xaf", fffd + fffd},                      // overlong
        {"\xed\xa0\x80", fffd + fffd + fffd},          // surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
        {"\xf0\x9f\x98\x80\xc3\xa9", "\xf0\x9f\x98\x80\xc3\xa9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nlsml_escape(c.in), c.out) << c.in;
}

TEST(NlsmlHelpers, ReplaceAndDelete)
{
    std::string s = "aa";
    EXPECT_EQ(replace_str(s, "a", "aa"), "aaaa");
    s = "x";
    EXPECT_EQ(replace_str(s, "", "y"), "x");
    s = "abcbcd";
    EXPECT_EQ(delete_str(s, "bc"), "ad");
    s = "aabb";
    EXPECT_EQ(delete_str(s, "ab"), "");
    s = "abc";
    EXPECT_EQ(delete_str(s, ""), "abc");
    EXPECT_EQ(get_ruleref_uri(1), "keyword");
    EXPECT_EQ(get_ruleref_uri(16), "grammar");
    EXPECT_EQ(get_ruleref_uri(0), "");
    EXPECT_EQ(get_ruleref_uri(3), "");
}

// Broken or wrongly typed replies: no crash, no exception, no document.
TEST_F(NlsmlTest, CrashCorpus)
{
    const std::string good = reply({{"0", "1200", "0.8", "\"hello\""}});
    std::vector<std::string> corpus = {
        "", "null", "42", "\"s\"", "[]", "[{\"segments\":[]}]", "{\"segments\":null}", "{\"segments\":{}}",
        "{\"segments\":\"x\"}", "{\"segments\":[1]}", "{\"segments\":[[]]}", "{\"segments\":[null]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":1,\"result\":\"x\"}]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":1,\"result\":[1]}]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":1,\"result\":{\"score\":\"0.8\",\"text\":\"x\"}}]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":1,\"result\":{\"score\":true,\"text\":\"x\"}}]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":1,\"result\":{\"score\":0.8,\"text\":5}}]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":1,\"result\":{\"score\":0.8,\"text\":{}}}]}",
        "{\"segments\":[{\"start_time\":1e20,\"end_time\":1,\"result\":{\"score\":0.8,\"text\":\"x\"}}]}",
        "{\"segments\":[{\"start_time\":0.5,\"end_time\":1,\"result\":{\"score\":0.8,\"text\":\"x\"}}]}",
        "{\"segments\":[{\"start_time\":\"0\",\"end_time\":1,\"result\":{\"score\":0.8,\"text\":\"x\"}}]}",
        "{\"segments\":[{\"start_time\":0,\"end_time\":4294967295,\"result\":{\"score\":0.8,\"text\":\"x\"}}]}",
        "{\"segments\":" + std::string(100000, '['),
        std::string(100000, '{'),
        "{\"segments\":[" + std::string(5000, '{'),
    };
    for (size_t n = 0; n + 1 < good.size(); ++n)
        corpus.push_back(good.substr(0, n));
    for (bool qa : {false, true}) {
        r.need_qa_ = qa;
        for (const std::string& payload : corpus) {
            SCOPED_TRACE(payload.substr(0, 80));
            EXPECT_FALSE(run(payload));
            EXPECT_TRUE(gen.results.empty());
        }
    }
}

} // namespace
