/* Basic MRCP types. */
#ifndef MRCP_TYPES_H
#define MRCP_TYPES_H

#include "mrcp.h"

APT_BEGIN_EXTERN_C

typedef enum {
	MRCP_VERSION_UNKNOWN,
	MRCP_VERSION_1,
	MRCP_VERSION_2
} mrcp_version_e;

typedef enum {
	MRCP_SYNTHESIZER_RESOURCE,
	MRCP_RECOGNIZER_RESOURCE,
	MRCP_RECORDER_RESOURCE,
	MRCP_VERIFIER_RESOURCE,
	MRCP_RESOURCE_TYPE_COUNT
} mrcp_resource_type_e;

typedef apr_uint32_t mrcp_request_id;
#define MRCP_REQUEST_ID_FMT "d"
typedef apr_size_t mrcp_method_id;
typedef apr_size_t mrcp_resource_id;

typedef struct mrcp_message_t mrcp_message_t;
typedef struct mrcp_resource_t mrcp_resource_t;
typedef struct mrcp_resource_factory_t mrcp_resource_factory_t;

APT_END_EXTERN_C

#endif
