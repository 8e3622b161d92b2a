// The recognition service's RESULT replies as the reply handler hands them to the
// result generator. The first byte chooses the channel's state (capability, mode,
// question answering, result template, grammar id); the rest is the reply text.
#include <string>

#include "fuzz_common.h"
#include "fuzz_document_check.h"
#include "nlsml.h"
#include "rule.h"

namespace {

const char* const k_capabilities[] = {"asr.cloud.freetalk", "ASR.CLOUD.FREETALK", "asr.cloud.grammar",
                                      "asr.cloud.keywordspot", "asr.cloud.analysis", "other", NULL,
                                      "asr.cloud.freetalk"};
const char* const k_formats[] = {NULL, "%{text}|%{score}|%{times}|%{type}|%{text}%{text}"};
const char* const k_grammars[] = {"g1", "<session:g2>", "session:<a&b>", ""};
const unsigned short k_masks[] = {0, RULE_CAP_KEYWORD, RULE_CAP_SPEECH_TO_TEXT, RULE_CAP_EMOTION};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    const uint8_t more = data[1];
    std::string payload(reinterpret_cast<const char*>(data + 2), size - 2);

    rule document;
    document.mode_ = (flags & 1) ? 1 : 0;
    document.need_qa_ = (flags & 2) != 0;
    document.qa_result_ = "answer";
    document.capability_mask_ = k_masks[(flags >> 2) & 3];

    nlsml generator;
    init_recog_nlsm(&generator, k_formats[(flags >> 4) & 1], (flags & 32) ? TRUE : FALSE);
    const char* capability = k_capabilities[more & 7];
    const char* grammar = k_grammars[(more >> 3) & 3];
    bool made = generator.generate_result("ch-1@speechrecog", payload, capability, &document, grammar);
    if (made)
        FUZZ_CHECK(!generator.results.empty());
    for (const std::string& result : generator.results)
        check_document(result);
    return 0;
}
