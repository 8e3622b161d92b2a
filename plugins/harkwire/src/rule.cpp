#include "rule.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <exception>

#include <apr_base64.h>
#include <json/json.h>
#include <tinyxml.h>

#include "apt_log.h"

namespace {

/* TinyXML parses elements recursively; a hostile document nested this deep
 * would overflow the engine task's stack, so deeper ones are refused first. */
const size_t MAX_XML_DEPTH = 256;

/* Bytes of a grammar text the log shows at most. */
const size_t LOG_EXCERPT_BYTES = 64;

std::string& trim(std::string& s)
{
    static const char blanks[] = " \t\n\r";
    size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) {
        s.clear();
        return s;
    }
    size_t last = s.find_last_not_of(blanks);
    s = s.substr(first, last - first + 1);
    return s;
}

std::string drop_hash(const char* value)
{
    std::string v = value ? value : "";
    if (!v.empty() && v[0] == '#')
        v.erase(0, 1);
    return v;
}

const char* safe(const char* s)
{
    return s ? s : "";
}

/* Decimal integer as atoi reads it, held to the 32-bit range instead of wrapping. */
int32_t read_int32(const char* value)
{
    long long v = strtoll(value, NULL, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

const char* skip_past(const char* p, const char* end_mark)
{
    const char* e = strstr(p, end_mark);
    return e ? e + strlen(end_mark) : p + strlen(p);
}

/* Deepest element nesting of an XML text, counted without building a tree. */
size_t xml_depth(const char* p)
{
    size_t depth = 0, deepest = 0;
    while (*p) {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (strncmp(p, "<!--", 4) == 0) {
            p = skip_past(p + 4, "-->");
        } else if (strncmp(p, "<![CDATA[", 9) == 0) {
            p = skip_past(p + 9, "]]>");
        } else if (p[1] == '?' || p[1] == '!') {
            p = skip_past(p + 2, ">");
        } else if (p[1] == '/') {
            if (depth > 0)
                --depth;
            p = skip_past(p + 2, ">");
        } else {
            /* A start tag: find its end, stepping over quoted attribute values. */
            ++p;
            char quote = 0;
            char prev = 0;
            while (*p && (quote || *p != '>')) {
                if (quote) {
                    if (*p == quote)
                        quote = 0;
                } else if (*p == '"' || *p == '\'') {
                    quote = *p;
                }
                prev = *p++;
            }
            if (*p == '>')
                ++p;
            if (prev != '/' && ++depth > deepest)
                deepest = depth;
        }
    }
    return deepest;
}

} // namespace

std::string log_excerpt(const std::string& text)
{
    if (text.size() <= LOG_EXCERPT_BYTES)
        return text;
    size_t cut = LOG_EXCERPT_BYTES;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes)";
}

std::string replace(const std::string& source, const std::string& find, const std::string& replacement)
{
    if (find.empty())
        return source;
    std::string out;
    size_t from = 0;
    for (size_t pos = source.find(find); pos != std::string::npos; pos = source.find(find, from)) {
        out.append(source, from, pos - from);
        out += replacement;
        from = pos + find.size();
    }
    out.append(source, from, std::string::npos);
    return out;
}

std::string Base64::Encode(const char* data, int len)
{
    if (!data || len <= 0)
        return std::string();
    std::string out(static_cast<size_t>(apr_base64_encode_len(len)), '\0');
    apr_base64_encode(&out[0], data, len);
    out.resize(strlen(out.c_str())); /* the encoded length counts the terminating zero */
    return out;
}

rule::rule()
    : mode_(0),
      capability_mask_(0),
      grammar_format_type_(RULE_FORMAT_NONE),
      domain_("common"),
      need_qa_(false),
      result_byte_(0),
      has_params_(false),
      no_input_timeout_(10000),
      recognition_timeout_(15),
      speech_complete_timeout_(500),
      sensitivity_level_(0.1f),
      start_input_timers_(false)
{
}

bool rule::parse_rule(const char* content)
{
    if (!content || !*content) {
        last_error_ = "rule content string is empty";
        return false;
    }
    try {
        if (parse_grammar(content)) {
            capability_mask_ = RULE_CAP_GRAMMAR;
            return true;
        }
        if (xml_depth(content) > MAX_XML_DEPTH) {
            last_error_ = "rule document nested too deeply";
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "rule_content=%s", log_excerpt(content).c_str());
            return false;
        }
        /* The XML library steps over the whole length a UTF-8 lead byte announces, also
         * past the end of a text that stops inside the character: zero bytes behind the
         * end keep every such step inside the buffer. */
        std::string padded(content);
        padded.append(8, '\0');
        TiXmlDocument doc;
        doc.Parse(padded.c_str(), 0, TIXML_ENCODING_UTF8);
        if (doc.Error()) {
            last_error_ = std::string(safe(doc.ErrorDesc())) + "[row=" + std::to_string(doc.ErrorRow()) +
                          ",col=" + std::to_string(doc.ErrorCol()) + "]";
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "rule_content=%s", log_excerpt(content).c_str());
            return false;
        }
        return parse_xml_rule(&doc);
    } catch (const std::exception& e) {
        last_error_ = std::string("rule document refused: ") + e.what();
    } catch (...) {
        last_error_ = "rule document refused";
    }
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "%s", last_error_.c_str());
    return false;
}

bool rule::parse_grammar(const char* content)
{
    std::string text = content ? content : "";
    trim(text);
    text = replace(text, "\r\n", "\n");
    text = replace(text, "\n", "\r\n");

    size_t eol = text.find("\r\n");
    if (eol == std::string::npos)
        return false;
    std::string first_line = text.substr(0, eol);

    size_t tag = first_line.find("#WORDLIST");
    if (tag != std::string::npos) {
        grammar_format_type_ = RULE_FORMAT_WORDLIST;
    } else if ((tag = first_line.find("#JSGF")) != std::string::npos) {
        grammar_format_type_ = RULE_FORMAT_JSGF;
    } else if (grammar_format_type_ != RULE_FORMAT_WORDLIST && grammar_format_type_ != RULE_FORMAT_JSGF) {
        return false;
    }

    if (tag == std::string::npos || first_line.find("V1.0;", tag) == std::string::npos) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can not match grammar <%s>", log_excerpt(first_line).c_str());
        grammar_format_type_ = RULE_FORMAT_UNMATCHED;
        return false;
    }

    mode_ = 0;
    if (grammar_format_type_ == RULE_FORMAT_WORDLIST)
        grammar_content_ = text.substr(eol + 2);
    else
        grammar_content_ = text;
    return true;
}

bool rule::parse_xml_rule(void* doc_ptr)
{
    has_params_ = false;
    TiXmlDocument* doc = static_cast<TiXmlDocument*>(doc_ptr);
    TiXmlElement* root = doc ? doc->FirstChildElement() : NULL;
    if (!root) {
        last_error_ = "root element is NULL";
        return false;
    }

    const char* mode = root->Attribute("mode");
    if (!mode) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can not find attr mode, use default voice");
        mode_ = 0;
    } else if (strcasecmp(mode, "voice") == 0) {
        mode_ = 0;
    } else if (strcasecmp(mode, "continuous") == 0) {
        mode_ = 1;
    } else {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "mode attr <%s> is invalid, use default voice", log_excerpt(mode).c_str());
        mode_ = 0;
    }

    /* A refused document must not switch the channel to question answering for the
     * rest of its life, so the question-answer data of a refused document is undone. */
    const bool need_qa = need_qa_;
    const std::string user_id = user_id_, qa_param = qa_param_, qa_result = qa_result_;
    auto refuse = [&](const char* message) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "%s", message);
        need_qa_ = need_qa;
        user_id_ = user_id;
        qa_param_ = qa_param;
        qa_result_ = qa_result;
        return false;
    };

    for (TiXmlElement* el = root->FirstChildElement(); el; el = el->NextSiblingElement()) {
        const char* id = el->Attribute("id");
        if (!id) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "rule <%s> without id attribute, skipped",
                    log_excerpt(safe(el->Value())).c_str());
            continue;
        }
        if (strcasecmp(id, "service") == 0) {
            if (!parse_service_xml_rule(el))
                return refuse("parse_service_xml_rule error!");
        } else if (strcasecmp(id, "speech-to-text") == 0) {
            parse_speech_to_text_xml_rule(el);
        } else if (strcasecmp(id, "keyword") == 0) {
            if (!parse_keyword_xml_rule(el))
                return refuse("parse_keyword_xml_rule error!");
        } else if (strcasecmp(id, "emotion") == 0) {
            parse_emotion_xml_rule(el);
        } else if (strcasecmp(id, "voice-guide") == 0) {
            parse_voice_guid_xml_rule(el);
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "voice  guide");
        } else if (strcasecmp(id, "domain") == 0) {
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "DOMAIN=%s", log_excerpt(safe(el->GetText())).c_str());
            if (!parse_domain_xml_rule(el))
                return refuse("parse_domain_xml_rule error!");
        } else if (strcasecmp(id, "need-qa") == 0) {
            if (!parse_need_qa_xml_rule(el))
                return refuse("parse_need_qa_xml_rule error!");
        } else if (strcasecmp(id, "params") == 0) {
            if (!parse_params_xml_rule(el))
                return refuse("parse_params_xml_rule error!");
        } else {
            parse_type_keyword_xml_rule(el); /* an unknown type only skips this rule */
        }
    }

    if ((capability_mask_ & RULE_CAP_KEYWORD) && !keyword_.buildin) {
        keyword_.keyword_list.clear();
        for (const auto& entry : keyword_.word_types)
            keyword_.keyword_list += entry.first + "\r\n";
    }
    return true;
}

/* Keeps the reason for the caller and logs it; false, for the handlers to return. */
bool rule::refuse(const char* error)
{
    last_error_ = error;
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "%s", last_error_.c_str());
    return false;
}

bool rule::parse_service_xml_rule(void* element)
{
    TiXmlElement* one_of = static_cast<TiXmlElement*>(element)->FirstChildElement();
    if (!one_of) {
        return refuse("can not find service's one-of element");
    }
    for (TiXmlElement* item = one_of->FirstChildElement(); item; item = item->NextSiblingElement()) {
        TiXmlElement* ruleref = item->FirstChildElement();
        if (!ruleref) {
            return refuse("can not find item's ruleref element");
        }
        const char* uri = ruleref->Attribute("uri");
        if (!uri) {
            return refuse("can not find ruleref's uri attribute");
        }
        std::string name = drop_hash(uri);
        capability_mask_ |= static_cast<uint16_t>(capbility_type_mask(name));
    }
    return true;
}

bool rule::parse_keyword_xml_rule(void* element)
{
    TiXmlElement* one_of = static_cast<TiXmlElement*>(element)->FirstChildElement();
    if (!one_of) {
        return refuse("can not find keyword's one-of element");
    }
    keyword_.buildin = false;
    for (TiXmlElement* item = one_of->FirstChildElement(); item; item = item->NextSiblingElement()) {
        TiXmlElement* ruleref = item->FirstChildElement();
        if (!ruleref) {
            return refuse("can not find item's ruleref element");
        }
        const char* uri = ruleref->Attribute("uri");
        if (!uri) {
            return refuse("can not find ruleref's uri attribute");
        }
        std::string value = drop_hash(uri);
        size_t pos = value.find("buildin:");
        if (pos != std::string::npos) {
            std::string name = value.substr(pos + strlen("buildin:"));
            trim(name);
            keyword_.buildin_name = name;
            if (!name.empty()) {
                keyword_.buildin = true;
                return true;
            }
        }
        keyword_.type_set.insert(value);
    }
    return true;
}

bool rule::parse_type_keyword_xml_rule(void* element)
{
    TiXmlElement* el = static_cast<TiXmlElement*>(element);
    std::string id = safe(el->Attribute("id"));
    if (keyword_.type_set.find(id) == keyword_.type_set.end()) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can not find [%s] from keyword type set", log_excerpt(id).c_str());
        return false;
    }
    TiXmlElement* one_of = el->FirstChildElement();
    if (!one_of) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can not find keyword's one-of element");
        return false;
    }
    for (TiXmlElement* item = one_of->FirstChildElement(); item; item = item->NextSiblingElement()) {
        const char* word = item->GetText();
        if (!word)
            continue; /* an item without text names no word */
        keyword_.word_types[word].push_back(id);
    }
    return true;
}

bool rule::parse_domain_xml_rule(void* element)
{
    domain_ = get_ruleref_value(element);
    if (domain_.empty())
        return false;
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "parse_domain_xml_rule=%s", log_excerpt(domain_).c_str());
    return true;
}

std::string rule::get_ruleref_value(void* element)
{
    TiXmlElement* one_of = static_cast<TiXmlElement*>(element)->FirstChildElement();
    if (!one_of) {
        refuse("can not find keyword's one-of element");
        return std::string();
    }
    TiXmlElement* item = one_of->FirstChildElement();
    if (!item) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Get ruleref error!");
        return std::string();
    }
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "-----%s", log_excerpt(safe(item->GetText())).c_str());
    TiXmlElement* ruleref = item->FirstChildElement();
    if (!ruleref) {
        refuse("can not find item's ruleref element");
        return std::string();
    }
    const char* uri = ruleref->Attribute("uri");
    if (!uri) {
        refuse("can not find item's uri attribute");
        return std::string();
    }
    std::string value = drop_hash(uri);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "parse_domain_xml_rule=%s", log_excerpt(value).c_str());
    return value;
}

/*
 * The question-answer data is worked out in locals and stored only when the
 * rule is accepted: a rejected rule must not switch the channel's results to
 * the question-answer form, nor wipe the user id of an earlier accepted rule.
 */
bool rule::parse_need_qa_xml_rule(void* element)
{
    last_user_id_ = user_id_;

    TiXmlElement* one_of = static_cast<TiXmlElement*>(element)->FirstChildElement();
    if (!one_of) {
        return refuse("can not find keyword's one-of element");
    }
    /* A missing item or text is an empty payload, which fails as JSON below. */
    TiXmlElement* item = one_of->FirstChildElement();
    std::string payload = item ? safe(item->GetText()) : "";

    Json::Value root;
    bool parsed = false;
    try {
        Json::Reader reader;
        parsed = reader.parse(payload, root, true);
    } catch (const std::exception&) {
        parsed = false; /* the reader throws past its nesting limit */
    }
    if (!parsed) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "parse recog_result failed:%s", log_excerpt(payload).c_str());
        return false;
    }

    std::string answer;
    std::string user_id = user_id_;
    const Json::Value* regular = NULL;
    if (root.isObject() && root.isMember("regular") && !root["regular"].isNull())
        regular = &root["regular"];
    if (regular && regular->isObject()) {
        if (regular->isMember("qa") && !(*regular)["qa"].isNull()) {
            const Json::Value& qa = (*regular)["qa"];
            Json::FastWriter writer;
            payload = writer.write(qa);
            user_id.clear();
            if (qa.isObject() && qa.isMember("userId") && qa["userId"].isString())
                user_id = qa["userId"].asString();
            if (user_id.empty()) {
                apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "userid empty!");
                return false;
            }
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "user_id_=%s", log_excerpt(user_id).c_str());
        }
        if (regular->isMember("result") && (*regular)["result"].isString())
            answer = (*regular)["result"].asString();
    }

    need_qa_ = true;
    user_id_ = user_id;
    qa_param_ = "need_nlu=yes,qa_paramter=" + Base64::Encode(payload.data(), static_cast<int>(payload.size()));
    qa_result_ = answer;
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "qa_param=%s", log_excerpt(qa_param_).c_str());
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "qa_result=%s", log_excerpt(qa_result_).c_str());
    return true;
}

bool rule::parse_params_xml_rule(void* element)
{
    TiXmlElement* params = static_cast<TiXmlElement*>(element)->FirstChildElement();
    if (!params) {
        return refuse("can not find params's asr-params element");
    }
    const char* v;
    if ((v = params->Attribute("no-input-timeout")) != NULL)
        no_input_timeout_ = read_int32(v);
    if ((v = params->Attribute("recognition-timeout")) != NULL)
        recognition_timeout_ = read_int32(v);
    if ((v = params->Attribute("speech-complete-timeout")) != NULL)
        speech_complete_timeout_ = read_int32(v);
    if ((v = params->Attribute("sensitivity-level")) != NULL)
        sensitivity_level_ = strtof(v, NULL);
    if ((v = params->Attribute("start-input-timers")) != NULL)
        start_input_timers_ = strcasecmp(v, "true") == 0;
    has_params_ = true;
    return true;
}

bool rule::parse_speech_to_text_xml_rule(void*)
{
    return true;
}

bool rule::parse_emotion_xml_rule(void*)
{
    return true;
}

bool rule::parse_voice_guid_xml_rule(void*)
{
    return true;
}

int rule::capbility_type_mask(std::string& name)
{
    return strcasecmp(name.c_str(), "speech-to-text") == 0 ? RULE_CAP_SPEECH_TO_TEXT : 0;
}

bool rule::parse_rule_file(const char*)
{
    return false;
}

std::string rule::get_keyword_list() const
{
    return keyword_.buildin ? std::string() : keyword_.keyword_list;
}

std::string rule::get_buildin_keyword_name() const
{
    return keyword_.buildin ? keyword_.buildin_name : std::string();
}

bool rule::find_keyword_type(std::string& word, std::list<std::string>& types) const
{
    if (keyword_.buildin)
        return false;
    auto it = keyword_.word_types.find(word);
    if (it == keyword_.word_types.end())
        return false;
    types = it->second;
    return true;
}
