// Rule documents: plain grammars, XML rule documents, what a channel keeps
// from one parse to the next, and hostile input.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "rule.h"

static ::testing::Environment* const log_env = ::testing::AddGlobalTestEnvironment(new log_environment);

namespace {

// An XML rule document with the given root attributes and rules.
std::string doc(const std::string& rules, const std::string& root_attrs = " mode=\"voice\"")
{
    return "<grammar" + root_attrs + ">" + rules + "</grammar>";
}

std::string rule_el(const std::string& id, const std::string& body)
{
    return "<rule id=\"" + id + "\">" + body + "</rule>";
}

std::string refs(const std::vector<std::string>& uris)
{
    std::string s = "<one-of>";
    for (const std::string& u : uris)
        s += "<item><ruleref uri=\"" + u + "\"/></item>";
    return s + "</one-of>";
}

std::string words(const std::vector<std::string>& ws)
{
    std::string s = "<one-of>";
    for (const std::string& w : ws)
        s += "<item>" + w + "</item>";
    return s + "</one-of>";
}

std::string need_qa(const std::string& payload)
{
    return rule_el("need-qa", "<one-of><item>" + payload + "</item></one-of>");
}

struct accepted_case {
    const char* name;
    std::string text;
    std::function<void(const rule&)> check;
};

TEST(RuleDocument, AcceptedDocuments)
{
    const std::vector<accepted_case> cases = {
        {"word list, LF", "#WORDLIST V1.0;\nhello\nworld\n",
         [](const rule& r) {
             EXPECT_EQ(r.get_grammar_format_type(), 1);
             EXPECT_EQ(r.capability_mask_, 16);
             EXPECT_EQ(r.mode_, 0);
             EXPECT_EQ(r.get_grammar_content(), "hello\r\nworld");
         }},
        {"word list, CR LF and blanks around", " \r\n#WORDLIST V1.0;\r\nhello\r\nworld\r\n\t ",
         [](const rule& r) { EXPECT_EQ(r.get_grammar_content(), "hello\r\nworld"); }},
        {"word list, lone CR stays", "#WORDLIST V1.0;\na\rb\nc",
         [](const rule& r) { EXPECT_EQ(r.get_grammar_content(), "a\rb\r\nc"); }},
        {"JSGF", "#JSGF V1.0;\ngrammar g;\npublic <a> = yes | no;\n",
         [](const rule& r) {
             EXPECT_EQ(r.get_grammar_format_type(), 3);
             EXPECT_EQ(r.capability_mask_, 16);
             EXPECT_EQ(r.get_grammar_content(), "#JSGF V1.0;\r\ngrammar g;\r\npublic <a> = yes | no;");
         }},
        {"service rule, continuous in capitals",
         doc(rule_el("service", refs({"#speech-to-text", "#keyword"})), " mode=\"CONTINUOUS\""),
         [](const rule& r) {
             EXPECT_EQ(r.capability_mask_, 2);
             EXPECT_EQ(r.mode_, 1);
         }},
        {"service rule without items", doc(rule_el("service", "<one-of/>")),
         [](const rule& r) { EXPECT_EQ(r.capability_mask_, 0); }},
        {"accepting rules", doc(rule_el("speech-to-text", "") + rule_el("emotion", "x") + rule_el("voice-guide", "")),
         [](const rule& r) { EXPECT_EQ(r.capability_mask_, 0); }},
        {"domain rule", doc(rule_el("domain", "<one-of><item>d<ruleref uri=\"#finance\"/></item></one-of>")),
         [](const rule& r) { EXPECT_EQ(r.domain_, "finance"); }},
        {"keyword with types",
         doc(rule_el("keyword", refs({"#city", "#name"})) + rule_el("city", words({"paris", "rome"})) +
             rule_el("name", words({"rome"}))),
         [](const rule& r) {
             EXPECT_EQ(r.keyword_.type_set, (std::set<std::string>{"city", "name"}));
             std::list<std::string> types;
             std::string w = "rome";
             ASSERT_TRUE(r.find_keyword_type(w, types));
             EXPECT_EQ(types, (std::list<std::string>{"city", "name"}));
             w = "oslo";
             EXPECT_FALSE(r.find_keyword_type(w, types));
         }},
        {"keyword built-in set stops at its item", doc(rule_el("keyword", refs({"#buildin: cities ", "#other"}))),
         [](const rule& r) {
             EXPECT_TRUE(r.keyword_.buildin);
             EXPECT_EQ(r.get_buildin_keyword_name(), "cities");
             EXPECT_TRUE(r.keyword_.type_set.empty());
             EXPECT_EQ(r.get_keyword_list(), "");
         }},
        {"keyword buildin: without a name is a type", doc(rule_el("keyword", refs({"#buildin:"}))),
         [](const rule& r) {
             EXPECT_FALSE(r.keyword_.buildin);
             EXPECT_EQ(r.keyword_.type_set.count("buildin:"), 1u);
         }},
        {"type rule before its keyword rule is skipped",
         doc(rule_el("city", words({"paris"})) + rule_el("keyword", refs({"#city"}))),
         [](const rule& r) { EXPECT_TRUE(r.keyword_.word_types.empty()); }},
        {"rule without id and item without text are skipped",
         doc("<rule>" + refs({"#x"}) + "</rule>" + rule_el("keyword", refs({"#t"})) +
             rule_el("t", "<one-of><item/><item>w</item></one-of>")),
         [](const rule& r) { EXPECT_EQ(r.keyword_.word_types.size(), 1u); }},
        {"params rule",
         doc(rule_el("params", "<asr-params no-input-timeout=\"5000abc\" recognition-timeout=\"20000\" "
                               "speech-complete-timeout=\"  -7\" sensitivity-level=\"0.75\" "
                               "start-input-timers=\"TRUE\"/>")),
         [](const rule& r) {
             EXPECT_TRUE(r.has_params_);
             EXPECT_EQ(r.no_input_timeout_, 5000);
             EXPECT_EQ(r.recognition_timeout_, 20000);
             EXPECT_EQ(r.speech_complete_timeout_, -7);
             EXPECT_FLOAT_EQ(r.sensitivity_level_, 0.75f);
             EXPECT_TRUE(r.start_input_timers_);
         }},
        {"params rule with letters only and out of range",
         doc(rule_el("params", "<p no-input-timeout=\"abc\" recognition-timeout=\"99999999999\"/>")),
         [](const rule& r) {
             EXPECT_EQ(r.no_input_timeout_, 0);
             EXPECT_EQ(r.recognition_timeout_, INT32_MAX);
             EXPECT_EQ(r.speech_complete_timeout_, 500);
         }},
        {"params rule keeps defaults", doc(rule_el("params", "<asr-params start-input-timers=\"yes\"/>")),
         [](const rule& r) {
             EXPECT_TRUE(r.has_params_);
             EXPECT_FALSE(r.start_input_timers_);
             EXPECT_EQ(r.no_input_timeout_, 10000);
             EXPECT_EQ(r.recognition_timeout_, 15);
             EXPECT_EQ(r.speech_complete_timeout_, 500);
             EXPECT_FLOAT_EQ(r.sensitivity_level_, 0.1f);
         }},
        {"need-qa with qa and result", doc(need_qa("{\"regular\":{\"qa\":{\"userId\":\"u1\"},\"result\":\"r1\"}}")),
         [](const rule& r) {
             EXPECT_TRUE(r.need_qa_);
             EXPECT_EQ(r.user_id_, "u1");
             EXPECT_EQ(r.qa_result_, "r1");
             EXPECT_EQ(r.qa_param_, "need_nlu=yes,qa_paramter=eyJ1c2VySWQiOiJ1MSJ9Cg==");
         }},
        {"need-qa without regular", doc(need_qa("{\"a\":1}")),
         [](const rule& r) {
             EXPECT_TRUE(r.need_qa_);
             EXPECT_EQ(r.qa_param_, "need_nlu=yes,qa_paramter=eyJhIjoxfQ==");
             EXPECT_EQ(r.qa_result_, "");
             EXPECT_EQ(r.user_id_, "");
         }},
        {"need-qa with wrong-typed members", doc(need_qa("{\"regular\":{\"result\":{\"x\":1}}}")),
         [](const rule& r) {
             EXPECT_TRUE(r.need_qa_);
             EXPECT_EQ(r.qa_result_, "");
         }},
        {"need-qa payload not an object", doc(need_qa("[1,2]")), [](const rule& r) { EXPECT_TRUE(r.need_qa_); }},
        {"need-qa regular not an object", doc(need_qa("{\"regular\":5}")),
         [](const rule& r) { EXPECT_TRUE(r.need_qa_); }},
    };
    for (const accepted_case& c : cases) {
        SCOPED_TRACE(c.name);
        rule r;
        ASSERT_TRUE(r.parse_rule(c.text.c_str())) << r.last_error_;
        c.check(r);
    }
}

struct refused_case {
    const char* name;
    std::string text;
    std::string last_error;                         // expected last_error_, "" when unchanged
    apt_log_priority_e log_priority;
    std::string log;                                // expected record, "" for none
};

TEST(RuleDocument, RefusedDocumentsAreLogged)
{
    const std::string bad_xml = "<grammar><rule id=\"service\"></grammar>";
    const std::vector<refused_case> cases = {
        {"empty text", "", "rule content string is empty", APT_PRIO_ERROR, ""},
        {"tag line alone", "#WORDLIST V1.0;", "Error document empty.[row=0,col=0]", APT_PRIO_ERROR,
         "rule_content=#WORDLIST V1.0;"},
        {"other version", "#WORDLIST V2.0\nhello", "Error document empty.[row=0,col=0]", APT_PRIO_WARNING,
         "can not match grammar <#WORDLIST V2.0>"},
        {"not well-formed", bad_xml, "Error reading end tag.[row=1,col=29]", APT_PRIO_ERROR, "rule_content=" + bad_xml},
        {"no root element", "<?xml version=\"1.0\"?>", "root element is NULL", APT_PRIO_ERROR, ""},
        {"service without one-of", doc(rule_el("service", "")), "can not find service's one-of element",
         APT_PRIO_DEBUG, "parse_service_xml_rule error!"},
        {"service item without ruleref", doc(rule_el("service", words({"x"}))), "can not find item's ruleref element",
         APT_PRIO_ERROR, "can not find item's ruleref element"},
        {"service ruleref without uri", doc(rule_el("service", "<one-of><item><ruleref/></item></one-of>")),
         "can not find ruleref's uri attribute", APT_PRIO_ERROR, "can not find ruleref's uri attribute"},
        {"keyword without one-of", doc(rule_el("keyword", "")), "can not find keyword's one-of element",
         APT_PRIO_DEBUG, "parse_keyword_xml_rule error!"},
        {"keyword item without ruleref", doc(rule_el("keyword", words({"x"}))), "can not find item's ruleref element",
         APT_PRIO_ERROR, "can not find item's ruleref element"},
        {"keyword ruleref without uri", doc(rule_el("keyword", "<one-of><item><ruleref/></item></one-of>")),
         "can not find ruleref's uri attribute", APT_PRIO_ERROR, "can not find ruleref's uri attribute"},
        {"domain without one-of", doc(rule_el("domain", "")), "can not find keyword's one-of element", APT_PRIO_ERROR,
         "can not find keyword's one-of element"},
        {"domain without items", doc(rule_el("domain", "<one-of/>")), "", APT_PRIO_ERROR, "Get ruleref error!"},
        {"domain without ruleref", doc(rule_el("domain", words({"x"}))), "can not find item's ruleref element",
         APT_PRIO_DEBUG, "parse_domain_xml_rule error!"},
        {"domain without uri", doc(rule_el("domain", "<one-of><item><ruleref/></item></one-of>")),
         "can not find item's uri attribute", APT_PRIO_ERROR, "can not find item's uri attribute"},
        {"domain empty value", doc(rule_el("domain", refs({"#"}))), "", APT_PRIO_DEBUG,
         "parse_domain_xml_rule error!"},
        {"need-qa without one-of", doc(rule_el("need-qa", "")), "can not find keyword's one-of element",
         APT_PRIO_ERROR, "can not find keyword's one-of element"},
        {"need-qa payload not JSON", doc(need_qa("not json")), "", APT_PRIO_ERROR,
         "parse recog_result failed:not json"},
        {"need-qa without item text", doc(rule_el("need-qa", "<one-of><item/></one-of>")), "", APT_PRIO_ERROR,
         "parse recog_result failed:"},
        {"need-qa without userId", doc(need_qa("{\"regular\":{\"qa\":{\"x\":1}}}")), "", APT_PRIO_ERROR,
         "userid empty!"},
        {"need-qa numeric userId", doc(need_qa("{\"regular\":{\"qa\":{\"userId\":7}}}")), "", APT_PRIO_ERROR,
         "userid empty!"},
        {"need-qa qa not an object", doc(need_qa("{\"regular\":{\"qa\":\"u\"}}")), "", APT_PRIO_ERROR,
         "userid empty!"},
        {"params without element", doc(rule_el("params", "")), "can not find params's asr-params element",
         APT_PRIO_ERROR, "can not find params's asr-params element"},
        {"need-qa accepted, then a bad rule",
         doc(need_qa("{\"regular\":{\"qa\":{\"userId\":\"u\"}}}") + rule_el("params", "")),
         "can not find params's asr-params element", APT_PRIO_DEBUG, "parse_params_xml_rule error!"},
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture logs;
        rule r;
        EXPECT_FALSE(r.parse_rule(c.text.c_str()));
        EXPECT_EQ(r.last_error_, c.last_error);
        if (c.log.empty()) {
            EXPECT_FALSE(logs.has_at_least(APT_PRIO_WARNING)) << logs.dump();
        } else {
            EXPECT_TRUE(logs.has(c.log_priority, c.log)) << logs.dump();
        }
        // A refused need-qa rule must not switch the channel to question answering.
        EXPECT_FALSE(r.need_qa_);
    }
}

TEST(RuleDocument, ModeAttribute)
{
    struct {
        const char* attrs;
        int mode;
        const char* warning;
    } cases[] = {
        {" mode=\"voice\"", 0, nullptr},
        {" mode=\"Continuous\"", 1, nullptr},
        {"", 0, "can not find attr mode, use default voice"},
        {" mode=\"fast\"", 0, "mode attr <fast> is invalid, use default voice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attrs);
        log_capture logs;
        rule r;
        r.mode_ = 1;
        ASSERT_TRUE(r.parse_rule(doc(rule_el("emotion", ""), c.attrs).c_str()));
        EXPECT_EQ(r.mode_, c.mode);
        if (c.warning) {
            EXPECT_TRUE(logs.has(APT_PRIO_WARNING, c.warning)) << logs.dump();
        }
    }
}

TEST(RuleDocument, CapabilityMaskAcrossGrammars)
{
    const std::string word_list = "#WORDLIST V1.0;\nhello\n";
    const std::string service = doc(rule_el("service", refs({"#speech-to-text"})));
    const std::string plain_xml = doc(rule_el("emotion", ""));
    struct {
        const std::string& text;
        int mask;
    } steps[] = {
        {plain_xml, 0}, {service, 2}, {plain_xml, 2}, {word_list, 16}, {service, 18}, {plain_xml, 18}, {word_list, 16},
    };
    rule r;
    int n = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(n++);
        ASSERT_TRUE(r.parse_rule(s.text.c_str())) << r.last_error_;
        EXPECT_EQ(r.capability_mask_, s.mask);
    }
}

TEST(RuleDocument, ChannelKeepsWhatLaterTextsDoNotCarry)
{
    rule r;
    const std::string first = doc(rule_el("domain", refs({"#travel"})) +
                                  need_qa("{\"regular\":{\"qa\":{\"userId\":\"u1\"},\"result\":\"r1\"}}") +
                                  rule_el("params", "<p no-input-timeout=\"3000\"/>"));
    ASSERT_TRUE(r.parse_rule(first.c_str())) << r.last_error_;
    ASSERT_TRUE(r.has_params_);

    // A plain grammar keeps domain, params and the question-answer data.
    ASSERT_TRUE(r.parse_rule("#WORDLIST V1.0;\nhello\n"));
    EXPECT_EQ(r.domain_, "travel");
    EXPECT_TRUE(r.has_params_);
    EXPECT_EQ(r.no_input_timeout_, 3000);
    EXPECT_TRUE(r.need_qa_);
    EXPECT_EQ(r.user_id_, "u1");
    EXPECT_EQ(r.qa_result_, "r1");

    // After a word list, a multi-line XML document is first taken for a bad tag line.
    {
        log_capture logs;
        ASSERT_TRUE(r.parse_rule(("<grammar mode=\"voice\">\n" + rule_el("emotion", "") + "\n</grammar>").c_str()));
        EXPECT_TRUE(logs.has(APT_PRIO_WARNING, "can not match grammar <<grammar mode=\"voice\">>")) << logs.dump();
        EXPECT_EQ(r.get_grammar_format_type(), 6);
    }
    {
        log_capture logs;
        ASSERT_TRUE(r.parse_rule(("<grammar mode=\"voice\">\n" + rule_el("emotion", "") + "\n</grammar>").c_str()));
        EXPECT_FALSE(logs.has_at_least(APT_PRIO_WARNING)) << logs.dump();
    }
    // Every XML document clears the params flag; the domain stays.
    EXPECT_FALSE(r.has_params_);
    EXPECT_EQ(r.domain_, "travel");

    // A refused need-qa rule leaves the earlier accepted question-answer data alone.
    EXPECT_FALSE(r.parse_rule(doc(need_qa("{\"regular\":{\"qa\":{}}}")).c_str()));
    EXPECT_TRUE(r.need_qa_);
    EXPECT_EQ(r.user_id_, "u1");
    EXPECT_EQ(r.last_user_id_, "u1");
    EXPECT_FALSE(r.parse_rule(
        doc(need_qa("{\"regular\":{\"qa\":{\"userId\":\"u2\"},\"result\":\"r2\"}}") + rule_el("service", "")).c_str()));
    EXPECT_EQ(r.user_id_, "u1");
    EXPECT_EQ(r.qa_result_, "r1");

    // A domain rule that fails leaves the domain empty, as it was set.
    EXPECT_FALSE(r.parse_rule(doc(rule_el("domain", words({"x"}))).c_str()));
    EXPECT_EQ(r.domain_, "");
}

TEST(RuleDocument, KeywordListWhenKeywordBitIsSet)
{
    rule r;
    r.capability_mask_ = 1;
    ASSERT_TRUE(r.parse_rule(doc(rule_el("keyword", refs({"#t"})) + rule_el("t", words({"b", "a", "b"}))).c_str()));
    EXPECT_EQ(r.get_keyword_list(), "a\r\nb\r\n");
    std::list<std::string> types;
    std::string b = "b";
    ASSERT_TRUE(r.find_keyword_type(b, types));
    EXPECT_EQ(types, (std::list<std::string>{"t", "t"}));
}

TEST(RuleHelpers, Base64)
{
    struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
        {std::string("\0\xff", 2), "AP8="},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Base64::Encode(c.in.data(), static_cast<int>(c.in.size())), c.out) << c.in;
    EXPECT_EQ(Base64::Encode(nullptr, 3), "");
}

TEST(RuleHelpers, Replace)
{
    struct {
        const char* src;
        const char* find;
        const char* with;
        const char* out;
    } cases[] = {
        {"aXbXc", "X", "YY", "aYYbYYc"}, {"aaa", "aa", "b", "ba"}, {"aa", "a", "aa", "aaaa"},
        {"abc", "", "x", "abc"},         {"abc", "d", "x", "abc"}, {"\r\n\n", "\n", "\r\n", "\r\r\n\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replace(c.src, c.find, c.with), c.out) << c.src;
}

// Hostile documents: nothing may crash, and every refusal says why.
TEST(RuleCrashCorpus, MalformedInputIsRefusedWithALog)
{
    std::string nested;
    for (int i = 0; i < 100000; ++i)
        nested += "<a>";
    std::string nested_json(100000, '[');
    const std::vector<std::string> corpus = {
        nested,
        "<g>" + nested + "</g>",
        std::string(200000, '<'),
        doc(need_qa(nested_json)),
        doc(need_qa("{\"regular\":" + std::string(5000, '{'))),
        "<grammar mode=\"voice\"><rule id=\"service\"><one-of><item><ruleref uri=\"#speech-to-text",
        "<grammar><rule id='params'><p no-input-timeout=",
        "<grammar><!-- unterminated",
        "<grammar><![CDATA[",
        "<grammar>&#x<a>;</grammar>",
        "\xef\xbb\xbf",
        std::string("<grammar>\0</grammar>", 20),
    };
    for (size_t i = 0; i < corpus.size(); ++i) {
        SCOPED_TRACE(i);
        log_capture logs;
        rule r;
        EXPECT_FALSE(r.parse_rule(corpus[i].c_str()));
        // RECOGNIZE logs last_error_ for the refusals that log nothing themselves.
        EXPECT_TRUE(logs.has_at_least(APT_PRIO_ERROR) || !r.last_error_.empty()) << logs.dump();
    }
}

// The text ends inside a UTF-8 character whose lead byte announces three bytes. The XML
// parser steps over all three, past the terminating zero: what lies behind the text in
// memory (here the rest of a complete document) must never be read.
TEST(RuleCrashCorpus, TextEndingInsideAUtf8CharacterIsNotReadPastItsEnd)
{
    static const char memory[] =
        "<grammar mode=\"voice\"><rule id=\"domain\"><one-of><item>d\xe3\0xx</item></one-of></rule></grammar>";
    rule r;
    const std::string domain = r.domain_;
    EXPECT_FALSE(r.parse_rule(memory));
    EXPECT_EQ(r.domain_, domain);
}

TEST(RuleCrashCorpus, EveryPrefixOfADocument)
{
    const std::string full = doc(rule_el("service", refs({"#speech-to-text"})) + rule_el("domain", refs({"#d"})) +
                                     rule_el("keyword", refs({"#t"})) + rule_el("t", words({"w"})) +
                                     need_qa("{\"regular\":{\"qa\":{\"userId\":\"u\"},\"result\":\"r\"}}") +
                                     rule_el("params", "<asr-params no-input-timeout=\"1\"/>"),
                                 " mode=\"continuous\"");
    for (size_t n = 1; n < full.size(); ++n) {
        log_capture logs;
        rule r;
        if (!r.parse_rule(full.substr(0, n).c_str())) {
            EXPECT_TRUE(!r.last_error_.empty() || logs.has_at_least(APT_PRIO_ERROR)) << n;
        }
    }
    rule r;
    EXPECT_TRUE(r.parse_rule(full.c_str())) << r.last_error_;
}

} // namespace
