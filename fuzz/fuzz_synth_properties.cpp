// The synthesizer's configuration loader ("synthplugin.xml") on any file content.
#include <string.h>

#include "fuzz_common.h"
#include "synth_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    fuzz_temp_file file(data, size);
    fuzz_pool pool;
    synth_properties_t properties;
    memset(&properties, 0, sizeof(properties));
    synth_properties_load(&properties, file.path(), pool.get());
    const system_t& s = properties.system;
    const char* texts[] = {s.init_path, s.token_server, s.auth_user_name, s.auth_user_password,
                           s.auth_user_domain_name, s.auth_scope_project_name,
                           properties.save_wave.save_waveform_dir};
    size_t total = 0;
    for (const char* text : texts)
        if (text)
            total += strlen(text);
    (void)total;
    /* The vendor-specific values the file gave must print back. */
    apr_array_header_t* out = NULL;
    get_vendor_specific_parameters(&properties.vendor_specific, NULL, &out, pool.get());
    FUZZ_CHECK(out != NULL);
    return 0;
}
