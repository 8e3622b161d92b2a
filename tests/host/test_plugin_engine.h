/* The engine of the host tests' plug-in, kept apart from its entry points. */
#ifndef TEST_PLUGIN_ENGINE_H
#define TEST_PLUGIN_ENGINE_H

#include "mrcp_engine_types.h"

#ifdef __cplusplus
extern "C" {
#endif

mrcp_engine_t* test_plugin_engine_create(apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif
