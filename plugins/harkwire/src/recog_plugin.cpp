/*
 * The four entry points the server resolves when it loads harkwire. They are
 * the plug-in's only visible symbols; everything else stays hidden.
 */
#include "apt_log.h"
#include "mrcp_engine_plugin.h"
#include "recog_engine.h"

#define RECOG_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

RECOG_PLUGIN_EXPORT mrcp_plugin_version_t mrcp_plugin_version;
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION, 0};

RECOG_PLUGIN_EXPORT mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool)
{
    try {
        return recog_engine_create(pool);
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "mrcp_plugin_create failed");
        return NULL;
    }
}

RECOG_PLUGIN_EXPORT apt_bool_t mrcp_plugin_logger_set(apt_logger_t* logger)
{
    apt_log_instance_set(logger);
    return TRUE;
}

RECOG_PLUGIN_EXPORT apt_bool_t mrcp_plugin_log_source_set(apt_log_source_t* log_source)
{
    /* Some servers declare apt_def_log_source_set void; the loader does not look at this result. */
    apt_def_log_source_set(log_source);
    return TRUE;
}
