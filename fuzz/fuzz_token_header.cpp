// The token header extraction from the identity endpoint's answer headers.
#include <string>

#include "fuzz_common.h"
#include "token_wrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    std::string headers(reinterpret_cast<const char*>(data), size);
    std::string token;
    if (find_token_header(headers, token)) {
        /* The token is part of one header line: no line break, no blank at either end. */
        FUZZ_CHECK(token.size() <= headers.size());
        FUZZ_CHECK(token.find("\r\n") == std::string::npos);
        FUZZ_CHECK(headers.find(token) != std::string::npos);
        if (!token.empty()) {
            FUZZ_CHECK(token[0] != ' ' && token[0] != '\t');
            FUZZ_CHECK(token[token.size() - 1] != ' ' && token[token.size() - 1] != '\t');
        }
    }
    return 0;
}
