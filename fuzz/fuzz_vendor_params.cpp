// The vendor-specific parameters of a request: the input's lines are "name=value"
// pairs (a line without '=' is a name with an empty value); a leading "@" on a
// name stands for "com.quenmar." so that short inputs reach every setting.
#include <string.h>

#include <string>

#include "apt_pair.h"
#include "fuzz_common.h"
#include "vendor_specific_parameters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    fuzz_pool pool;
    std::string input(reinterpret_cast<const char*>(data), size);
    apt_pair_arr_t* pairs = apt_pair_array_create(4, pool.get());
    apt_pair_arr_t* wanted = apt_pair_array_create(4, pool.get());
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find('=');
        std::string name = line.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (!name.empty() && name[0] == '@')
            name = "com.quenmar." + name.substr(1);
        apt_str_t n, v;
        /* Counted strings, as a parsed header gives them: not terminated at their length. */
        apt_string_assign_n(&n, name.data(), name.size(), pool.get());
        apt_string_assign_n(&v, value.data(), value.size(), pool.get());
        apt_pair_array_append(pairs, &n, &v, pool.get());
        apt_pair_array_append(wanted, &n, NULL, pool.get());
    }

    vendor_specific_t vs;
    memset(&vs, 0, sizeof(vs));
    set_vendor_specific_parameters(&vs, pairs);
    FUZZ_CHECK(vs.pitch <= PROSODY_PITCH_UNKNOWN);
    apr_array_header_t* out = NULL;
    get_vendor_specific_parameters(&vs, NULL, &out, pool.get());
    FUZZ_CHECK(out != NULL);
    out = NULL;
    get_vendor_specific_parameters(&vs, wanted, &out, pool.get());
    FUZZ_CHECK(out != NULL);
    /* Every value that prints reads back as itself. */
    for (unsigned long i = 0; i < VENDOR_SPECIFIC_COUNT; ++i) {
        const apr_size_t value = get_vendor_specific_parameters_value(&vs, i);
        char text[VENDOR_SPECIFIC_VALUE_SIZE];
        if (!vendor_specific_func[i].fn_val2str(value, text))
            continue;
        FUZZ_CHECK(memchr(text, '\0', sizeof(text)) != NULL);
        apr_size_t back = value + 1;
        FUZZ_CHECK(vendor_specific_func[i].fn_str2val(&back, text));
        FUZZ_CHECK(back == value);
    }
    return 0;
}
