/* Generic MRCP header fields (ids 0..15). */
#ifndef MRCP_GENERIC_HEADER_H
#define MRCP_GENERIC_HEADER_H

#include "mrcp_types.h"
#include "mrcp_header_accessor.h"
#include "apt_pair.h"

APT_BEGIN_EXTERN_C

typedef enum {
	GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST,
	GENERIC_HEADER_PROXY_SYNC_ID,
	GENERIC_HEADER_ACCEPT_CHARSET,
	GENERIC_HEADER_CONTENT_TYPE,
	GENERIC_HEADER_CONTENT_ID,
	GENERIC_HEADER_CONTENT_BASE,
	GENERIC_HEADER_CONTENT_ENCODING,
	GENERIC_HEADER_CONTENT_LOCATION,
	GENERIC_HEADER_CONTENT_LENGTH,
	GENERIC_HEADER_CACHE_CONTROL,
	GENERIC_HEADER_LOGGING_TAG,
	GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS,
	GENERIC_HEADER_ACCEPT,
	GENERIC_HEADER_FETCH_TIMEOUT,
	GENERIC_HEADER_SET_COOKIE,
	GENERIC_HEADER_SET_COOKIE2,
	GENERIC_HEADER_COUNT
} mrcp_generic_header_id;

#define MAX_ACTIVE_REQUEST_ID_COUNT 5

typedef struct mrcp_request_id_list_t mrcp_request_id_list_t;
struct mrcp_request_id_list_t {
	mrcp_request_id ids[MAX_ACTIVE_REQUEST_ID_COUNT];
	apr_size_t count;
};

typedef struct mrcp_generic_header_t mrcp_generic_header_t;
struct mrcp_generic_header_t {
	mrcp_request_id_list_t active_request_id_list;
	apt_str_t proxy_sync_id;
	apt_str_t accept_charset;
	apt_str_t content_type;
	apt_str_t content_id;
	apt_str_t content_base;
	apt_str_t content_encoding;
	apt_str_t content_location;
	apr_size_t content_length;
	apt_str_t cache_control;
	apt_str_t logging_tag;
	apt_pair_arr_t *vendor_specific_params;
	apt_str_t accept;
	apr_size_t fetch_timeout;
	apt_str_t set_cookie;
	apt_str_t set_cookie2;
};

MRCP_DECLARE(const mrcp_header_vtable_t*) mrcp_generic_header_vtable_get(mrcp_version_e version);

APT_END_EXTERN_C

#endif
