#include "voice_mgr.h"

#include <stdio.h>

const std::vector<std::string> &names()
{
    /* A function-local static: built once, safely, by whichever task asks first. */
    static const std::vector<std::string> table = {
        "chinese_vemra_common",
        "chinese_tolsk_common",
        "chinese_brenic_common",
        "chinese_duvelt_common",
    };
    return table;
}

const char *default_voice()
{
    return names()[2].c_str();
}

static void copy_voice(char *voice_id, const std::string &voice)
{
    snprintf(voice_id, VOICE_ID_SIZE, "%s", voice.c_str());
}

apt_bool_t find_voice(char *voice_id, const char *name, apr_int32_t, apr_int32_t, apr_int32_t, apr_int32_t)
{
    if (!voice_id)
        return FALSE;
    if (!name) {
        copy_voice(voice_id, default_voice());
        return TRUE;
    }
    /* The client's name can be of any length: the search text is built to fit it. */
    const std::string wanted = "_" + std::string(name) + "_";
    for (const std::string &voice : names()) {
        if (voice.find(wanted) != std::string::npos) {
            copy_voice(voice_id, voice);
            return TRUE;
        }
    }
    return FALSE;
}
