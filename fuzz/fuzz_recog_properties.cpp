// The recognizer's configuration loader ("unimrcprecog.xml") on any file content.
#include <string.h>

#include "fuzz_common.h"
#include "recog_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_setup();
    fuzz_temp_file file(data, size);
    fuzz_pool pool;
    system_t properties;
    memset(&properties, 0, sizeof(properties));
    FUZZ_CHECK(recog_properties_load(&properties, file.path(), pool.get()));
    /* Every text the loader kept must be a readable C string. */
    const char* texts[] = {properties.init_path, properties.token_server, properties.auth_user_name,
                           properties.auth_user_password, properties.auth_user_domain_name,
                           properties.auth_scope_project_name, properties.vocabulary,
                           properties.save_wave.dir, properties.save_navi_wave.dir, properties.result_format};
    size_t total = 0;
    for (const char* text : texts)
        if (text)
            total += strlen(text);
    (void)total;
    return 0;
}
