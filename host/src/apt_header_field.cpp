/* Header fields in the order they were added, with an id-indexed array for presence checks. */
#include "apt_header_field.h"

APT_DECLARE(apt_header_field_t*) apt_header_field_create_c(const char *name, const char *value, apr_pool_t *pool)
{
	apt_header_field_t *field = (apt_header_field_t*)apr_palloc(pool, sizeof(apt_header_field_t));
	APR_RING_ELEM_INIT(field, link);
	apt_string_assign(&field->name, name, pool);
	apt_string_assign(&field->value, value, pool);
	field->id = (apr_size_t)-1;
	return field;
}

APT_DECLARE(apt_bool_t) apt_header_section_init(apt_header_section_t *header, apr_size_t max_field_count, apr_pool_t *pool)
{
	APR_RING_INIT(&header->ring, apt_header_field_t, link);
	header->arr_size = max_field_count;
	header->arr = max_field_count ?
		(apt_header_field_t**)apr_pcalloc(pool, sizeof(apt_header_field_t*) * max_field_count) : NULL;
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_header_section_field_add(apt_header_section_t *header, apt_header_field_t *header_field)
{
	if(!header_field)
		return FALSE;
	if(header_field->id < header->arr_size) {
		if(header->arr[header_field->id])
			return FALSE;
		header->arr[header_field->id] = header_field;
	}
	APR_RING_INSERT_TAIL(&header->ring, header_field, apt_header_field_t, link);
	return TRUE;
}

APT_DECLARE(apt_bool_t) apt_header_section_field_remove(apt_header_section_t *header, apr_size_t id)
{
	if(id >= header->arr_size || !header->arr[id])
		return FALSE;
	apt_header_field_t *field = header->arr[id];
	APR_RING_REMOVE(field, link);
	header->arr[id] = NULL;
	return TRUE;
}
