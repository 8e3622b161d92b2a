#include "mrcp_asr_result.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <exception>
#include <vector>

#include <tinyxml.h>

#include "apt_log.h"
#include "rule.h"

namespace {

const char k_replacement[] = "\xEF\xBF\xBD"; /* U+FFFD */

/*
 * TiXmlPrinter's layout (four blanks per level, CR LF after every line, an
 * element holding only text on one line), but with our own escaping: the
 * TinyXML encoder copies "&#x..." through unchanged, which would let the
 * recognized text inject markup into the document.
 */
class nlsml_printer : public TiXmlVisitor {
public:
    bool VisitEnter(const TiXmlDocument&) override { return true; }
    bool VisitExit(const TiXmlDocument&) override { return true; }

    bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute* attribute) override
    {
        indent();
        out_ += "<";
        out_ += element.ValueStr();
        for (; attribute; attribute = attribute->Next()) {
            /* TinyXML's choice of quotes, kept so that output stays byte-identical. */
            const char quote = attribute->ValueStr().find('"') == std::string::npos ? '"' : '\'';
            out_ += " ";
            out_ += nlsml_escape(attribute->Name());
            out_ += "=";
            out_ += quote;
            out_ += nlsml_escape(attribute->ValueStr());
            out_ += quote;
        }
        const TiXmlNode* child = element.FirstChild();
        if (!child) {
            out_ += " />";
            line_break();
        } else {
            out_ += ">";
            if (child->ToText() && element.LastChild() == child)
                simple_text_ = true;
            else
                line_break();
        }
        ++depth_;
        return true;
    }

    bool VisitExit(const TiXmlElement& element) override
    {
        --depth_;
        if (!element.FirstChild())
            return true;
        if (simple_text_)
            simple_text_ = false;
        else
            indent();
        out_ += "</";
        out_ += element.ValueStr();
        out_ += ">";
        line_break();
        return true;
    }

    bool Visit(const TiXmlDeclaration& declaration) override
    {
        indent();
        declaration.Print(NULL, 0, &out_);
        line_break();
        return true;
    }

    bool Visit(const TiXmlText& text) override
    {
        if (simple_text_) {
            out_ += nlsml_escape(text.ValueStr());
        } else {
            indent();
            out_ += nlsml_escape(text.ValueStr());
            line_break();
        }
        return true;
    }

    bool Visit(const TiXmlComment&) override { return true; }
    bool Visit(const TiXmlUnknown&) override { return true; }

    const std::string& str() const { return out_; }

private:
    void indent()
    {
        for (int i = 0; i < depth_; ++i)
            out_ += "    ";
    }
    void line_break() { out_ += "\r\n"; }

    int depth_ = 0;
    bool simple_text_ = false;
    std::string out_;
};

TiXmlElement* add_element(TiXmlNode* parent, const char* name)
{
    return parent->LinkEndChild(new TiXmlElement(name))->ToElement();
}

/* Always a text node, even an empty one, so the element prints as <x></x>. */
TiXmlElement* add_text_element(TiXmlNode* parent, const char* name, const std::string& text)
{
    TiXmlElement* element = add_element(parent, name);
    element->LinkEndChild(new TiXmlText(text));
    return element;
}

std::string print_document(const TiXmlDocument& doc)
{
    nlsml_printer printer;
    doc.Accept(&printer);
    return printer.str();
}

/* double to float without the undefined behaviour of an out-of-range conversion. */
float to_float(double value)
{
    if (isnan(value))
        return NAN;
    if (value > FLT_MAX)
        return INFINITY;
    if (value < -FLT_MAX)
        return -INFINITY;
    return static_cast<float>(value);
}

/* The service's score rescaled as NLSML states it (0.8 gives 0.78), within 0 to 1 whatever
 * the service sent: a confidence is never negative, above 1, infinite or not a number. */
float confidence(double score)
{
    const float value = to_float(static_cast<double>(to_float(score)) * 0.85 + 0.1);
    if (isnan(value) || value < 0.0f)
        return 0.0f;
    return value > 1.0f ? 1.0f : value;
}

bool parse_json(const std::string& text, Json::Value& value)
{
    try {
        Json::Reader reader;
        return reader.parse(text, value, true);
    } catch (const std::exception&) {
        return false; /* the reader throws past its nesting limit */
    }
}

bool segment_is_valid(const Json::Value& segment)
{
    if (!segment.isObject() || !segment["start_time"].isInt() || !segment["end_time"].isInt())
        return false;
    const Json::Value& result = segment["result"];
    return result.isObject() && result["score"].isNumeric() && result["text"].isString();
}

bool is_continuation(const std::string& text, size_t at, unsigned char low = 0x80, unsigned char high = 0xBF)
{
    if (at >= text.size())
        return false;
    const unsigned char c = static_cast<unsigned char>(text[at]);
    return c >= low && c <= high;
}

/* Bytes of the well-formed UTF-8 character at 'at' (a byte of 0x80 or above), 0 when there is none. */
size_t utf8_sequence_length(const std::string& text, size_t at)
{
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0xC2 && c <= 0xDF)
        return is_continuation(text, at + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        /* No overlong forms, no surrogates. */
        const unsigned char low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        return is_continuation(text, at + 1, low, high) && is_continuation(text, at + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        return is_continuation(text, at + 1, low, high) && is_continuation(text, at + 2) &&
                       is_continuation(text, at + 3)
                   ? 4
                   : 0;
    }
    return 0;
}

/* U+FFFE and U+FFFF are well-formed UTF-8 but no XML character. */
bool is_fffe_or_ffff(const std::string& text, size_t at, size_t length)
{
    return length == 3 && text.compare(at, 2, "\xEF\xBF") == 0 &&
           (static_cast<unsigned char>(text[at + 2]) & 0xFE) == 0xBE;
}

} // namespace

std::string nlsml_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            /* A client's XML parser refuses the whole result over one bad byte, and a lead
             * byte before "</" even swallows the end tag: keep only whole characters, and of
             * those only the ones XML allows (not U+FFFE, U+FFFF). */
            const size_t length = utf8_sequence_length(text, i);
            if (length && !is_fffe_or_ffff(text, i, length)) {
                out.append(text, i, length);
                i += length - 1;
            } else {
                out += k_replacement;
                if (length)
                    i += length - 1;
            }
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t':
        case '\n':
        case '\r': {
            /* As references, so that a reader's line-end and blank normalisation keeps them. */
            char ref[8];
            snprintf(ref, sizeof(ref), "&#x%02X;", c);
            out += ref;
            break;
        }
        default:
            /* XML 1.0 has no other control character, not even as a reference. */
            if (c < 32)
                out += k_replacement;
            else
                out += static_cast<char>(c);
        }
    }
    return out;
}

std::string nlsml_score_text(double score)
{
    int n = snprintf(NULL, 0, "%.2f", score);
    if (n <= 0)
        return std::string();
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    snprintf(buf.data(), buf.size(), "%.2f", score);
    return std::string(buf.data(), static_cast<size_t>(n));
}

std::string get_ruleref_uri(unsigned short mask)
{
    switch (mask) {
    case RULE_CAP_KEYWORD: return "keyword";
    case RULE_CAP_SPEECH_TO_TEXT: return "speech-to-text";
    case RULE_CAP_VOICE_GUIDE: return "voice-guide";
    case RULE_CAP_EMOTION: return "emotion";
    case RULE_CAP_GRAMMAR: return "grammar";
    default: return std::string();
    }
}

std::string& replace_str(std::string& s, const std::string& from, const std::string& to)
{
    if (from.empty())
        return s;
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
        s.replace(pos, from.size(), to);
    return s;
}

std::string& delete_str(std::string& s, const std::string& what)
{
    if (what.empty())
        return s;
    for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what))
        s.erase(pos, what.size());
    return s;
}

bool nlu_answer(Json::Value&, std::string&, std::string&)
{
    return false;
}

bool generate_ft_result(const std::string& channel_id, std::string payload, rule* r, const char* grammar_id,
                        std::list<std::string>* results, const result_param_t& param, bool first_only)
{
    rule defaults;
    if (!r)
        r = &defaults;

    std::string grammar = grammar_id ? grammar_id : "";
    if (grammar.find("session:") == std::string::npos) {
        grammar = "session:" + grammar;
    } else {
        delete_str(grammar, "<");
        delete_str(grammar, ">");
    }

    interpretation_items items;
    items.grammar = grammar;
    items.mode = get_ruleref_uri(r->capability_mask_);
    if (items.mode.empty()) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "use default capbility speech-to-text");
        items.mode = "speech-to-text";
    }

    Json::Value root;
    if (!parse_json(payload, root) || !root.isObject())
        return false;
    const Json::Value& segments = root["segments"];
    if (!segments.isArray())
        return false;

    bool made = false;
    for (Json::ArrayIndex i = 0; i < segments.size(); ++i) {
        const Json::Value segment = segments[i];
        if (!segment_is_valid(segment))
            break;
        const Json::Value& result = segment["result"];

        interpretation_item item;
        item.score = confidence(result["score"].asDouble());
        item.text = result["text"].asString();
        char times[32];
        snprintf(times, sizeof(times), "%d %d", segment["start_time"].asInt(), segment["end_time"].asInt());
        item.times = times;
        item.kind = "result";

        items.items.push_back(item);
        std::string document;
        made = generate_xml_result(channel_id, items, document, r, param);
        if (results)
            results->push_back(document);
        items.items.clear();
        if (first_only)
            break;
    }
    return made;
}

bool generate_xml_result(const std::string& channel_id, interpretation_items& items, std::string& out, rule* r,
                         const result_param_t& param)
{
    rule defaults;
    if (!r)
        r = &defaults;
    if (r->need_qa_)
        return generate_qa_xml_result(items, out, r);

    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "utf-8", ""));
    TiXmlElement* result = add_element(&doc, "result");

    for (const interpretation_item& item : items.items) {
        const std::string score = nlsml_score_text(item.score);
        std::string meaning = param.format;
        replace_str(meaning, "%{times}", item.times);
        replace_str(meaning, "%{text}", item.text);
        replace_str(meaning, "%{type}", get_ruleref_uri(r->capability_mask_));
        replace_str(meaning, "%{score}", score);
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "nlresult_text=%s", meaning.c_str());
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "input_text=%s", item.text.c_str());

        TiXmlElement* interpretation = add_element(result, "interpretation");
        interpretation->SetAttribute("grammar", items.grammar);
        interpretation->SetAttribute("confidence", score);
        TiXmlElement* instance = add_element(interpretation, "instance");
        if (param.if_channel_id)
            add_text_element(instance, "r0", channel_id);
        add_text_element(instance, "meaning", meaning);
        add_text_element(interpretation, "input", item.text)->SetAttribute("mode", "speech");
    }

    out = print_document(doc);
    return true;
}

bool generate_qa_xml_result(interpretation_items& items, std::string& out, rule* r)
{
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "generate_qa_xml");
    rule defaults;
    if (!r)
        r = &defaults;

    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "utf-8", ""));
    TiXmlElement* result = add_element(&doc, "result");

    bool complete = true;
    std::string answer_text;
    for (const interpretation_item& item : items.items) {
        Json::Value value;
        if (!parse_json(item.text, value)) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "parse recog_result failed:%s", item.text.c_str());
            complete = false;
            break;
        }
        /* Only an object can carry the answer; any other JSON is no answer. */
        if (!value.isObject() || value["recogAnswer"].isNull()) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get recogAnswer failed!");
            complete = false;
            break;
        }
        Json::Value answer = value["recogAnswer"];
        std::string qa_result = r->qa_result_;
        nlu_answer(answer, qa_result, answer_text);
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RECOG_ANSWER=%s", answer_text.c_str());

        const Json::Value& text = value["recogText"];
        if (!text.isString()) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get recogText failed!");
            complete = false;
            break;
        }
        const std::string input = text.asString();
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "generate_qa_xml_result=%s", input.c_str());

        TiXmlElement* interpretation = add_element(result, "interpretation");
        interpretation->SetAttribute("grammar", items.grammar);
        interpretation->SetAttribute("confidence", nlsml_score_text(item.score));
        TiXmlElement* instance = add_element(interpretation, "instance");
        add_text_element(instance, "ai_result", answer_text);
        add_text_element(interpretation, "input", input)->SetAttribute("mode", "speech");
    }

    out = print_document(doc);
    return complete;
}
