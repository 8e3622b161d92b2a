/* Header fields of a message, kept in the order they were added. */
#ifndef APT_HEADER_FIELD_H
#define APT_HEADER_FIELD_H

#include <apr_ring.h>
#include "apt_string.h"

APT_BEGIN_EXTERN_C

typedef struct apt_header_field_t apt_header_field_t;
struct apt_header_field_t {
	APR_RING_ENTRY(apt_header_field_t) link;
	apt_str_t name;
	apt_str_t value;
	/* Message-wide id: generic fields 0..15, resource fields resource id + 16; (apr_size_t)-1 unknown. */
	apr_size_t id;
};

typedef struct apt_header_section_t apt_header_section_t;
struct apt_header_section_t {
	APR_RING_HEAD(apt_head_t, apt_header_field_t) ring;
	apt_header_field_t **arr;  /* presence by id, for the checks */
	apr_size_t arr_size;
};

APT_DECLARE(apt_header_field_t*) apt_header_field_create_c(const char *name, const char *value, apr_pool_t *pool);
APT_DECLARE(apt_bool_t) apt_header_section_init(apt_header_section_t *header, apr_size_t max_field_count, apr_pool_t *pool);
APT_DECLARE(apt_bool_t) apt_header_section_field_add(apt_header_section_t *header, apt_header_field_t *header_field);
APT_DECLARE(apt_bool_t) apt_header_section_field_remove(apt_header_section_t *header, apr_size_t id);

static APR_INLINE apt_bool_t apt_header_section_field_check(const apt_header_section_t *header, apr_size_t id)
{
	if(id < header->arr_size)
		return header->arr[id] ? TRUE : FALSE;
	return FALSE;
}

APT_END_EXTERN_C

#endif
