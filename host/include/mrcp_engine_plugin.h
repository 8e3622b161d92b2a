/* The four entry points a plug-in exports, and the version it was built for. */
#ifndef MRCP_ENGINE_PLUGIN_H
#define MRCP_ENGINE_PLUGIN_H

#include <apr_version.h>
#include "apt_log.h"
#include "mrcp_engine_types.h"

APT_BEGIN_EXTERN_C

#ifdef __cplusplus
#define MRCP_PLUGIN_EXTERN_C extern "C"
#else
#define MRCP_PLUGIN_EXTERN_C extern
#endif

/* Export is done by the plug-in's linker version script. */
#define MRCP_PLUGIN_DECLARE(type) MRCP_PLUGIN_EXTERN_C type

#define MRCP_PLUGIN_ENGINE_SYM_NAME     "mrcp_plugin_create"
#define MRCP_PLUGIN_VERSION_SYM_NAME    "mrcp_plugin_version"
#define MRCP_PLUGIN_LOGGER_SYM_NAME     "mrcp_plugin_logger_set"
#define MRCP_PLUGIN_LOG_SOURCE_SYM_NAME "mrcp_plugin_log_source_set"

#define PLUGIN_MAJOR_VERSION 1
#define PLUGIN_MINOR_VERSION 5
#define PLUGIN_PATCH_VERSION 0
#define PLUGIN_VERSION_STRING "1.5.0"

/* {major, minor, patch, is_dev} */
typedef apr_version_t mrcp_plugin_version_t;

typedef mrcp_engine_t* (*mrcp_plugin_creator_f)(apr_pool_t *pool);
typedef apt_bool_t (*mrcp_plugin_log_accessor_f)(apt_logger_t *logger);
typedef apt_bool_t (*mrcp_plugin_log_source_accessor_f)(apt_log_source_t *log_source);

#define MRCP_PLUGIN_VERSION_DECLARE \
	MRCP_PLUGIN_DECLARE(mrcp_plugin_version_t) mrcp_plugin_version; \
	mrcp_plugin_version_t mrcp_plugin_version = \
		{PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, PLUGIN_PATCH_VERSION, 0};

/* The server accepts a plug-in not newer than itself. */
static APR_INLINE apt_bool_t mrcp_plugin_version_check(const mrcp_plugin_version_t *version)
{
	if(version->major != PLUGIN_MAJOR_VERSION)
		return version->major < PLUGIN_MAJOR_VERSION;
	if(version->minor != PLUGIN_MINOR_VERSION)
		return version->minor < PLUGIN_MINOR_VERSION;
	return version->patch <= PLUGIN_PATCH_VERSION;
}

APT_END_EXTERN_C

#endif
