/*
 * The rule document of a recognizer channel: what the grammar text of a
 * RECOGNIZE request asks of the cloud recognizer (mode, capabilities, domain,
 * timing parameters, question answering and keyword lists).
 *
 * One object per channel. Every parse adds to what earlier parses left, so a
 * channel's rule document is the sum of the texts parsed on it.
 */
#ifndef HARKWIRE_RULE_H
#define HARKWIRE_RULE_H

#include <stdint.h>

#include <list>
#include <map>
#include <set>
#include <string>

/* Keyword data of a keyword rule and its type rules. */
struct keyword_t {
    bool buildin = false;                 /* the keyword rule named a built-in set */
    std::string buildin_name;             /* the name after "buildin:" */
    std::string keyword_list;             /* the words of word_types, each followed by CR LF */
    std::set<std::string> type_set;       /* keyword types named by the keyword rule */
    std::map<std::string, std::list<std::string>> word_types; /* word -> types listing it */
};

/* Capability bits of capability_mask_. */
enum {
    RULE_CAP_KEYWORD = 1,
    RULE_CAP_SPEECH_TO_TEXT = 2,
    RULE_CAP_VOICE_GUIDE = 4,
    RULE_CAP_EMOTION = 8,
    RULE_CAP_GRAMMAR = 16
};

/* Format codes of grammar_format_type_. */
enum {
    RULE_FORMAT_NONE = 0,
    RULE_FORMAT_WORDLIST = 1,
    RULE_FORMAT_JSGF = 3,
    RULE_FORMAT_UNMATCHED = 6
};

/*
 * The fields are public: RECOGNIZE, the reply handler, the result generator
 * and the waveform saving read them after a parse. The class is copyable, so
 * a caller can hand a snapshot to another thread instead of the live object.
 */
class rule {
public:
    rule();

    /* Parses one grammar text into the rule document; false leaves the reason in last_error_. */
    bool parse_rule(const char* content);
    /* Recognises a word list or JSGF grammar by its first line. */
    bool parse_grammar(const char* content);
    /* Walks a parsed XML rule document (a TiXmlDocument*). */
    bool parse_xml_rule(void* doc);

    /* Records and logs why a document is refused; returns false. */
    bool refuse(const char* error);
    /* One handler per rule kind; each takes the rule element (a TiXmlElement*). */
    bool parse_service_xml_rule(void* element);
    bool parse_keyword_xml_rule(void* element);
    bool parse_type_keyword_xml_rule(void* element);
    bool parse_domain_xml_rule(void* element);
    bool parse_need_qa_xml_rule(void* element);
    bool parse_params_xml_rule(void* element);
    bool parse_speech_to_text_xml_rule(void* element);
    bool parse_emotion_xml_rule(void* element);
    bool parse_voice_guid_xml_rule(void* element);

    /* The "uri" of the rule element's first item, without a leading '#'; empty when missing. */
    std::string get_ruleref_value(void* element);
    /* 2 for "speech-to-text" (any case), else 0. */
    int capbility_type_mask(std::string& name);
    /* Rule files are not supported: always false. */
    bool parse_rule_file(const char* path);

    int32_t get_grammar_format_type() const { return grammar_format_type_; }
    std::string get_grammar_content() const { return grammar_content_; }
    std::string get_keyword_list() const;
    std::string get_buildin_keyword_name() const;
    bool find_keyword_type(std::string& word, std::list<std::string>& types) const;

    int8_t mode_;                       /* 0 voice (one result), 1 continuous */
    uint16_t capability_mask_;          /* RULE_CAP_* bits */
    keyword_t keyword_;
    int32_t grammar_format_type_;       /* RULE_FORMAT_* of the last plain grammar */
    std::string grammar_content_;       /* body of the last plain grammar */
    std::string last_error_;            /* reason of the last failed parse */
    std::string domain_;                /* recognition domain */
    std::string qa_param_;              /* question-answer parameter (Base64 payload) */
    bool need_qa_;                      /* a need-qa rule was accepted on this channel */
    std::string qa_result_;             /* "result" text of the need-qa payload */
    std::string user_id_;               /* "userId" of the need-qa payload */
    std::string last_user_id_;          /* user_id_ as it stood when the latest need-qa rule began */
    int64_t result_byte_;               /* configured result-byte, set by RECOGNIZE */
    bool has_params_;                   /* the latest XML document had a params rule */
    int64_t no_input_timeout_;          /* milliseconds */
    int64_t recognition_timeout_;       /* milliseconds */
    int64_t speech_complete_timeout_;   /* milliseconds */
    float sensitivity_level_;
    bool start_input_timers_;
};

/* A grammar text as the log shows it: whole when short, else its first bytes (never a part of a
 * UTF-8 character) and its length, so that a large grammar or file never floods the log. */
std::string log_excerpt(const std::string& text);

/* Every occurrence of 'find' in 'source' replaced by 'replacement'. */
std::string replace(const std::string& source, const std::string& find, const std::string& replacement);

class Base64 {
public:
    /* Standard Base64 (with padding, no line breaks) of len bytes of data. */
    static std::string Encode(const char* data, int len);
};

#endif /* HARKWIRE_RULE_H */
