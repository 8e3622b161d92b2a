/* Typed access to a header part (generic or resource) of a message. */
#ifndef MRCP_HEADER_ACCESSOR_H
#define MRCP_HEADER_ACCESSOR_H

#include "mrcp_types.h"
#include "apt_string.h"

APT_BEGIN_EXTERN_C

typedef struct mrcp_header_vtable_t mrcp_header_vtable_t;
typedef struct mrcp_header_accessor_t mrcp_header_accessor_t;

struct mrcp_header_accessor_t {
	void *data;                          /* the typed header struct, or NULL until prepared */
	const mrcp_header_vtable_t *vtable;
};

/* How the server allocates, reads and prints one kind of header. */
struct mrcp_header_vtable_t {
	void* (*allocate)(mrcp_header_accessor_t *accessor, apr_pool_t *pool);
	apt_bool_t (*parse_field)(mrcp_header_accessor_t *accessor, apr_size_t id, const apt_str_t *value, apr_pool_t *pool);
	apt_bool_t (*generate_field)(const mrcp_header_accessor_t *accessor, apr_size_t id, apt_str_t *value, apr_pool_t *pool);
	apt_bool_t (*duplicate_field)(mrcp_header_accessor_t *accessor, const mrcp_header_accessor_t *src, apr_size_t id, apr_pool_t *pool);
	const apt_str_t *field_names;        /* indexed by id */
	apr_size_t field_count;
};

APT_END_EXTERN_C

#endif
