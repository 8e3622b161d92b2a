#ifndef MRCP_RESOURCE_ENGINE_H
#define MRCP_RESOURCE_ENGINE_H

#include "mrcp_engine_plugin.h"
#include "mrcp_engine_impl.h"

APT_BEGIN_EXTERN_C

typedef mrcp_engine_t mrcp_resource_engine_t;

static APR_INLINE mrcp_engine_t* mrcp_resource_engine_create(mrcp_resource_id resource_id, void *obj,
                                                             const mrcp_engine_method_vtable_t *vtable, apr_pool_t *pool)
{
	return mrcp_engine_create(resource_id, obj, vtable, pool);
}

APT_END_EXTERN_C

#endif
