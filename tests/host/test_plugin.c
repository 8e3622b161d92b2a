/* The four entry points of the host tests' plug-in; the engine is in test_plugin_engine.c. */
#include "mrcp_engine_plugin.h"
#include "test_plugin_engine.h"

MRCP_PLUGIN_VERSION_DECLARE

MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t *pool)
{
	return test_plugin_engine_create(pool);
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_logger_set(apt_logger_t *logger)
{
	apt_log_instance_set(logger);
	return TRUE;
}

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_log_source_set(apt_log_source_t *log_source)
{
	apt_def_log_source_set(log_source);
	return TRUE;
}
