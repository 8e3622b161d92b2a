// The service URI built from the configured "init-path": both modes, and the
// query of the configured URL always survives.
#include <string>

#include "fuzz_common.h"
#include "recog_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    std::string init_path(reinterpret_cast<const char*>(data), size);
    size_t q = init_path.find('?');
    std::string query = q == std::string::npos ? std::string() : init_path.substr(q);
    for (bool continuous : {false, true}) {
        std::string uri = construct_uri(init_path, continuous);
        const std::string segment = continuous ? "continue-stream" : "sentence-stream";
        FUZZ_CHECK(uri.size() >= query.size());
        FUZZ_CHECK(uri.compare(uri.size() - query.size(), query.size(), query) == 0);
        FUZZ_CHECK(uri.find(segment) != std::string::npos);
    }
    return 0;
}
