/* An MRCP resource: its name, methods, events and header. */
#ifndef MRCP_RESOURCE_H
#define MRCP_RESOURCE_H

#include "mrcp_types.h"
#include "mrcp_header_accessor.h"

APT_BEGIN_EXTERN_C

struct mrcp_resource_t {
	mrcp_resource_id id;
	apt_str_t name;                        /* "speechrecog", "speechsynth" */
	const apt_str_t *method_names;         /* indexed by method id */
	apr_size_t method_count;
	const apt_str_t *event_names;          /* indexed by event id */
	apr_size_t event_count;
	const mrcp_header_vtable_t* (*get_resource_header_vtable)(mrcp_version_e version);
};

/* The resource with that id, NULL when unknown. */
MRCP_DECLARE(const mrcp_resource_t*) mrcp_resource_get(mrcp_resource_id resource_id);

APT_END_EXTERN_C

#endif
