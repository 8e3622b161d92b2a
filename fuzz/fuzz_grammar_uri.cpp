// The grammar references of DEFINE-GRAMMAR and RECOGNIZE: the local file name a
// URI is rewritten to, the Content-Id, the trimming of bodies, and the buffer an
// http fetch fills (the input appended in chunks whose sizes the first byte picks).
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "recog_grammar.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    std::string input(reinterpret_cast<const char*>(data), size);

    std::string name = grammar_file_name(input);
    if (input.find("file://") == std::string::npos)
        FUZZ_CHECK(name == input);
    else
        FUZZ_CHECK(name.find('\\') == std::string::npos);

    std::string trimmed = trim_space(input.data(), input.size());
    if (!trimmed.empty())
        FUZZ_CHECK(!is_blank(trimmed[0]) && !is_blank(trimmed[trimmed.size() - 1]));
    std::string copy = input;
    FUZZ_CHECK(trim(copy) == trimmed);

    std::string id;
    std::string c_text = input.substr(0, input.find('\0'));
    if (get_content_id(c_text.c_str(), id))
        FUZZ_CHECK(id.size() <= c_text.size());

    _auto_buf buf;
    FUZZ_CHECK(buffer_create(&buf));
    const size_t chunk = size ? (data[0] % 17) + 1 : 1;
    for (size_t at = 0; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        FUZZ_CHECK(WriteCallBack(const_cast<char*>(input.data() + at), 1, n, &buf) == n);
    }
    FUZZ_CHECK(buf.len == size && memcmp(buf.data, input.data(), size) == 0);
    static const char zeros[4] = {0, 0, 0, 0};
    FUZZ_CHECK(memcmp(buf.data + buf.len, zeros, 4) == 0);
    buffer_destroy(&buf);
    return 0;
}
