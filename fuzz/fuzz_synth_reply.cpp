// The synthesis service's text replies, as the message handler classifies them.
#include <string>

#include "fuzz_common.h"
#include "synth_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    std::string payload(reinterpret_cast<const char*>(data), size);
    synth_reply_t reply = synth_reply_parse(payload);
    FUZZ_CHECK(reply.kind >= SYNTH_REPLY_IGNORED && reply.kind <= SYNTH_REPLY_ERROR);
    if (reply.kind != SYNTH_REPLY_ERROR)
        FUZZ_CHECK(reply.error_code.empty());
    return 0;
}
