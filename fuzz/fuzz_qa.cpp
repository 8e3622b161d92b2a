// The question-answer payloads: the JSON of a "need-qa" rule (the input up to its
// first zero byte, carried in an XML rule document) and the answer text of a
// service reply for that rule (the rest, as the text of one result segment).
#include <string>

#include <json/json.h>

#include "fuzz_common.h"
#include "fuzz_document_check.h"
#include "nlsml.h"
#include "rule.h"

namespace {

std::string xml_text(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\0');
    std::string payload = input.substr(0, cut);
    std::string answer = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    rule document;
    std::string text = "<grammar mode=\"voice\"><rule id=\"need-qa\"><one-of><item>" + xml_text(payload) +
                       "</item></one-of></rule></grammar>";
    bool accepted = document.parse_rule(text.c_str());
    if (accepted && document.need_qa_)
        FUZZ_CHECK(document.qa_param_.compare(0, 25, "need_nlu=yes,qa_paramter=") == 0);

    /* The reply: one valid segment whose text is the answer. */
    Json::Value segment;
    segment["start_time"] = 0;
    segment["end_time"] = 100;
    segment["result"]["score"] = 0.5;
    segment["result"]["text"] = answer;
    Json::Value reply;
    reply["resp_type"] = "RESULT";
    reply["trace_id"] = "t";
    reply["segments"].append(segment);
    Json::FastWriter writer;

    nlsml generator;
    init_recog_nlsm(&generator);
    generator.generate_result("ch-1@speechrecog", writer.write(reply), "asr.cloud.freetalk", &document, "qa");
    for (const std::string& result : generator.results)
        check_document(result);
    return 0;
}
