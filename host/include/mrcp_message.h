/* MRCP messages: requests, responses and events, with their headers and body. */
#ifndef MRCP_MESSAGE_H
#define MRCP_MESSAGE_H

#include "mrcp_types.h"
#include "mrcp_start_line.h"
#include "mrcp_header.h"
#include "mrcp_generic_header.h"
#include "mrcp_resource.h"

APT_BEGIN_EXTERN_C

struct mrcp_message_t {
	mrcp_start_line_t start_line;
	mrcp_channel_id channel_id;
	mrcp_message_header_t header;
	apt_str_t body;
	const mrcp_resource_t *resource;
	apr_pool_t *pool;
};

#define MRCP_MESSAGE_SIDRES(message) \
	(message)->channel_id.session_id.buf, (message)->channel_id.resource_name.buf

MRCP_DECLARE(mrcp_message_t*) mrcp_message_create(apr_pool_t *pool);
MRCP_DECLARE(mrcp_message_t*) mrcp_request_create(const mrcp_resource_t *resource, mrcp_version_e version,
                                                  mrcp_method_id method_id, apr_pool_t *pool);
/* Status 200, state COMPLETE, the request's identity copied. */
MRCP_DECLARE(mrcp_message_t*) mrcp_response_create(const mrcp_message_t *request_message, apr_pool_t *pool);
/* The caller sets the request state. */
MRCP_DECLARE(mrcp_message_t*) mrcp_event_create(const mrcp_message_t *request_message, mrcp_method_id event_id, apr_pool_t *pool);
MRCP_DECLARE(apt_bool_t) mrcp_message_resource_set(mrcp_message_t *message, const mrcp_resource_t *resource);
MRCP_DECLARE(void) mrcp_message_destroy(mrcp_message_t *message);

/* The header parts; get gives NULL when absent, prepare allocates an absent one. */
MRCP_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_get(const mrcp_message_t *message);
MRCP_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_prepare(mrcp_message_t *message);
MRCP_DECLARE(void*) mrcp_resource_header_get(const mrcp_message_t *message);
MRCP_DECLARE(void*) mrcp_resource_header_prepare(mrcp_message_t *message);

/* Mark a field present, its value printed from the typed header. FALSE when already present. */
MRCP_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t *message, apr_size_t id);
MRCP_DECLARE(apt_bool_t) mrcp_resource_header_property_add(mrcp_message_t *message, apr_size_t id);
/* Add the field name with an empty value (the field lists of GET-PARAMS). */
MRCP_DECLARE(apt_bool_t) mrcp_generic_header_name_property_add(mrcp_message_t *message, apr_size_t id);
MRCP_DECLARE(apt_bool_t) mrcp_resource_header_name_property_add(mrcp_message_t *message, apr_size_t id);
MRCP_DECLARE(apt_bool_t) mrcp_generic_header_property_check(const mrcp_message_t *message, apr_size_t id);
MRCP_DECLARE(apt_bool_t) mrcp_resource_header_property_check(const mrcp_message_t *message, apr_size_t id);
MRCP_DECLARE(apt_bool_t) mrcp_generic_header_property_remove(mrcp_message_t *message, apr_size_t id);
MRCP_DECLARE(apt_bool_t) mrcp_resource_header_property_remove(mrcp_message_t *message, apr_size_t id);

/* Parse "name: value" into the typed header and the field list (building requests). */
MRCP_DECLARE(apt_bool_t) mrcp_message_header_field_add(mrcp_message_t *message, apt_header_field_t *header_field);

/* Walk the fields in message order: start with NULL, NULL at the end. */
MRCP_DECLARE(apt_header_field_t*) mrcp_message_next_header_field_get(const mrcp_message_t *message, apt_header_field_t *header_field);

APT_END_EXTERN_C

#endif
