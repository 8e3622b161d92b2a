/*
 * The four entry points the server resolves when it loads speakwire. They are
 * the plug-in's only visible symbols; everything else stays hidden.
 */
#include "apt_log.h"
#include "mrcp_engine_plugin.h"
#include "synth_engine.h"

#define SYNTH_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

SYNTH_PLUGIN_EXPORT mrcp_plugin_version_t mrcp_plugin_version;
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION, 0};

SYNTH_PLUGIN_EXPORT mrcp_engine_t *mrcp_plugin_create(apr_pool_t *pool)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into mrcp_plugin_create");
    mrcp_engine_t *engine = NULL;
    try {
        engine = synth_engine_create(pool);
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "mrcp_plugin_create failed");
        return NULL;
    }
    if (engine)
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave mrcp_plugin_create");
    return engine;
}

SYNTH_PLUGIN_EXPORT apt_bool_t mrcp_plugin_logger_set(apt_logger_t *logger)
{
    apt_log_instance_set(logger);
    return TRUE;
}

SYNTH_PLUGIN_EXPORT apt_bool_t mrcp_plugin_log_source_set(apt_log_source_t *log_source)
{
    /* Some servers declare apt_def_log_source_set void; the loader does not look at this result. */
    apt_def_log_source_set(log_source);
    return TRUE;
}
