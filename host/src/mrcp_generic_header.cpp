/* The generic header: fields 0..15 of every message. */
#include <string.h>
#include "mrcp_generic_header.h"
#include "mrcp_header_values.h"

static const apt_str_t generic_header_field_names[GENERIC_HEADER_COUNT] = {
	HEADER_NAME("Active-Request-Id-List"),
	HEADER_NAME("Proxy-Sync-Id"),
	HEADER_NAME("Accept-Charset"),
	HEADER_NAME("Content-Type"),
	HEADER_NAME("Content-Id"),
	HEADER_NAME("Content-Base"),
	HEADER_NAME("Content-Encoding"),
	HEADER_NAME("Content-Location"),
	HEADER_NAME("Content-Length"),
	HEADER_NAME("Cache-Control"),
	HEADER_NAME("Logging-Tag"),
	HEADER_NAME("Vendor-Specific-Parameters"),
	HEADER_NAME("Accept"),
	HEADER_NAME("Fetch-Timeout"),
	HEADER_NAME("Set-Cookie"),
	HEADER_NAME("Set-Cookie2")
};

#define GENERIC_FIELD(type, member) {type, offsetof(mrcp_generic_header_t, member)}

static const header_value_def_t generic_header_values[GENERIC_HEADER_COUNT] = {
	{HEADER_VALUE_SPECIAL, 0},
	GENERIC_FIELD(HEADER_VALUE_STRING, proxy_sync_id),
	GENERIC_FIELD(HEADER_VALUE_STRING, accept_charset),
	GENERIC_FIELD(HEADER_VALUE_STRING, content_type),
	GENERIC_FIELD(HEADER_VALUE_STRING, content_id),
	GENERIC_FIELD(HEADER_VALUE_STRING, content_base),
	GENERIC_FIELD(HEADER_VALUE_STRING, content_encoding),
	GENERIC_FIELD(HEADER_VALUE_STRING, content_location),
	GENERIC_FIELD(HEADER_VALUE_SIZE, content_length),
	GENERIC_FIELD(HEADER_VALUE_STRING, cache_control),
	GENERIC_FIELD(HEADER_VALUE_STRING, logging_tag),
	{HEADER_VALUE_SPECIAL, 0},
	GENERIC_FIELD(HEADER_VALUE_STRING, accept),
	GENERIC_FIELD(HEADER_VALUE_SIZE, fetch_timeout),
	GENERIC_FIELD(HEADER_VALUE_STRING, set_cookie),
	GENERIC_FIELD(HEADER_VALUE_STRING, set_cookie2)
};

static void* generic_header_allocate(mrcp_header_accessor_t *accessor, apr_pool_t *pool)
{
	mrcp_generic_header_t *header = (mrcp_generic_header_t*)apr_pcalloc(pool, sizeof(mrcp_generic_header_t));
	accessor->data = header;
	return header;
}

/* "1, 2, 3": at most MAX_ACTIVE_REQUEST_ID_COUNT ids. */
static apt_bool_t request_id_list_parse(mrcp_request_id_list_t *list, const apt_str_t *value)
{
	list->count = 0;
	const char *pos = value->buf ? value->buf : "";
	const char *end = pos + value->length;
	while(pos < end) {
		while(pos < end && (*pos == ' ' || *pos == ','))
			pos++;
		if(pos == end)
			break;
		const char *item = pos;
		while(pos < end && *pos != ',')
			pos++;
		apt_str_t text = {(char*)item, (apr_size_t)(pos - item)};
		apr_size_t id;
		if(list->count == MAX_ACTIVE_REQUEST_ID_COUNT || !header_size_parse(&text, &id))
			return FALSE;
		list->ids[list->count++] = (mrcp_request_id)id;
	}
	return TRUE;
}

/* "name=value;name2=value2"; a name without '=' has an empty value (the lists of GET-PARAMS). */
static apt_bool_t vendor_params_parse(mrcp_generic_header_t *header, const apt_str_t *value, apr_pool_t *pool)
{
	header->vendor_specific_params = apt_pair_array_create(1, pool);
	const char *pos = value->buf ? value->buf : "";
	const char *end = pos + value->length;
	while(pos < end) {
		while(pos < end && (*pos == ' ' || *pos == ';'))
			pos++;
		if(pos == end)
			break;
		const char *item = pos;
		while(pos < end && *pos != ';')
			pos++;
		const char *item_end = pos;
		while(item_end > item && item_end[-1] == ' ')
			item_end--;
		const char *eq = (const char*)memchr(item, '=', (apr_size_t)(item_end - item));
		apt_str_t name, val;
		apt_string_reset(&val);
		if(eq) {
			name.buf = (char*)item;
			name.length = (apr_size_t)(eq - item);
			val.buf = (char*)eq + 1;
			val.length = (apr_size_t)(item_end - eq - 1);
		}
		else {
			name.buf = (char*)item;
			name.length = (apr_size_t)(item_end - item);
		}
		apt_pair_array_append(header->vendor_specific_params, &name, &val, pool);
	}
	return TRUE;
}

static apt_bool_t generic_header_parse(mrcp_header_accessor_t *accessor, apr_size_t id, const apt_str_t *value, apr_pool_t *pool)
{
	mrcp_generic_header_t *header = (mrcp_generic_header_t*)accessor->data;
	if(!header || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	if(id == GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)
		return request_id_list_parse(&header->active_request_id_list, value);
	if(id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS)
		return vendor_params_parse(header, value, pool);
	return header_value_parse(&generic_header_values[id], header, value, pool);
}

static apt_bool_t generic_header_generate(const mrcp_header_accessor_t *accessor, apr_size_t id, apt_str_t *value, apr_pool_t *pool)
{
	const mrcp_generic_header_t *header = (const mrcp_generic_header_t*)accessor->data;
	apt_string_reset(value);
	if(!header || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	if(id == GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST) {
		const char *text = "";
		for(apr_size_t i = 0; i < header->active_request_id_list.count && i < MAX_ACTIVE_REQUEST_ID_COUNT; i++)
			text = apr_psprintf(pool, "%s%s%u", text, i ? ", " : "", (unsigned)header->active_request_id_list.ids[i]);
		apt_string_assign(value, text, pool);
		return TRUE;
	}
	if(id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS) {
		const char *text = "";
		const apt_pair_arr_t *arr = header->vendor_specific_params;
		for(int i = 0; i < apt_pair_array_size_get(arr); i++) {
			const apt_pair_t *pair = apt_pair_array_get(arr, i);
			if(apt_string_is_empty(&pair->value))
				text = apr_psprintf(pool, "%s%s%s", text, i ? ";" : "", apt_string_buffer_get(&pair->name));
			else
				text = apr_psprintf(pool, "%s%s%s=%s", text, i ? ";" : "",
				                    apt_string_buffer_get(&pair->name), apt_string_buffer_get(&pair->value));
		}
		apt_string_assign(value, text, pool);
		return TRUE;
	}
	return header_value_generate(&generic_header_values[id], header, value, pool);
}

static apt_bool_t generic_header_duplicate(mrcp_header_accessor_t *accessor, const mrcp_header_accessor_t *src, apr_size_t id, apr_pool_t *pool)
{
	mrcp_generic_header_t *header = (mrcp_generic_header_t*)accessor->data;
	const mrcp_generic_header_t *src_header = (const mrcp_generic_header_t*)src->data;
	if(!header || !src_header || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	if(id == GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)
		header->active_request_id_list = src_header->active_request_id_list;
	else if(id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS)
		header->vendor_specific_params = apt_pair_array_copy(src_header->vendor_specific_params, pool);
	else
		header_value_duplicate(&generic_header_values[id], header, src_header, pool);
	return TRUE;
}

static const mrcp_header_vtable_t generic_header_vtable = {
	generic_header_allocate,
	generic_header_parse,
	generic_header_generate,
	generic_header_duplicate,
	generic_header_field_names,
	GENERIC_HEADER_COUNT
};

MRCP_DECLARE(const mrcp_header_vtable_t*) mrcp_generic_header_vtable_get(mrcp_version_e version)
{
	(void)version;
	return &generic_header_vtable;
}
