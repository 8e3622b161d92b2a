/* MRCP messages: start line, channel identifier, the generic and resource headers and the field list. */
#include "mrcp_message.h"
#include "mrcp_header_values.h"

static apt_bool_t header_section_resize(apt_header_section_t *section, apr_size_t count, apr_pool_t *pool)
{
	if(count <= section->arr_size)
		return TRUE;
	apt_header_field_t **arr = (apt_header_field_t**)apr_pcalloc(pool, sizeof(apt_header_field_t*) * count);
	for(apr_size_t i = 0; i < section->arr_size; i++)
		arr[i] = section->arr[i];
	section->arr = arr;
	section->arr_size = count;
	return TRUE;
}

MRCP_DECLARE(mrcp_message_t*) mrcp_message_create(apr_pool_t *pool)
{
	if(!pool)
		return NULL;
	mrcp_message_t *message = (mrcp_message_t*)apr_pcalloc(pool, sizeof(mrcp_message_t));
	message->pool = pool;
	message->start_line.message_type = MRCP_MESSAGE_TYPE_UNKNOWN;
	message->start_line.version = MRCP_VERSION_UNKNOWN;
	message->start_line.status_code = MRCP_STATUS_CODE_UNKNOWN;
	message->start_line.request_state = MRCP_REQUEST_STATE_UNKNOWN;
	apt_header_section_init(&message->header.header_section, GENERIC_HEADER_COUNT, pool);
	return message;
}

static void* header_prepare(mrcp_header_accessor_t *accessor, apr_pool_t *pool);

MRCP_DECLARE(apt_bool_t) mrcp_message_resource_set(mrcp_message_t *message, const mrcp_resource_t *resource)
{
	if(!message || !resource)
		return FALSE;
	message->resource = resource;
	apt_string_copy(&message->channel_id.resource_name, &resource->name, message->pool);
	mrcp_version_e version = message->start_line.version;
	message->header.generic_header_accessor.vtable = mrcp_generic_header_vtable_get(version);
	message->header.resource_header_accessor.vtable =
		resource->get_resource_header_vtable ? resource->get_resource_header_vtable(version) : NULL;
	apr_size_t count = GENERIC_HEADER_COUNT;
	if(message->header.resource_header_accessor.vtable)
		count += message->header.resource_header_accessor.vtable->field_count;
	header_section_resize(&message->header.header_section, count, message->pool);

	const apt_str_t *names = NULL;
	apr_size_t name_count = 0;
	if(message->start_line.message_type == MRCP_MESSAGE_TYPE_EVENT) {
		names = resource->event_names;
		name_count = resource->event_count;
	}
	else {
		names = resource->method_names;
		name_count = resource->method_count;
	}
	if(message->start_line.method_id < name_count)
		apt_string_copy(&message->start_line.method_name, &names[message->start_line.method_id], message->pool);
	/* As with the server's parser, a message bound to its resource carries both header parts, empty
	   until fields are set, so that handlers can read the typed headers of a request without fields. */
	header_prepare(&message->header.generic_header_accessor, message->pool);
	header_prepare(&message->header.resource_header_accessor, message->pool);
	return TRUE;
}

MRCP_DECLARE(mrcp_message_t*) mrcp_request_create(const mrcp_resource_t *resource, mrcp_version_e version,
                                                  mrcp_method_id method_id, apr_pool_t *pool)
{
	mrcp_message_t *message = mrcp_message_create(pool);
	if(!message)
		return NULL;
	message->start_line.message_type = MRCP_MESSAGE_TYPE_REQUEST;
	message->start_line.version = version;
	message->start_line.method_id = method_id;
	if(resource)
		mrcp_message_resource_set(message, resource);
	return message;
}

/* The identity a response or an event shares with its request. */
static void message_identity_copy(mrcp_message_t *message, const mrcp_message_t *request)
{
	message->start_line.version = request->start_line.version;
	message->start_line.request_id = request->start_line.request_id;
	apt_string_copy(&message->channel_id.session_id, &request->channel_id.session_id, message->pool);
	apt_string_copy(&message->channel_id.resource_name, &request->channel_id.resource_name, message->pool);
}

MRCP_DECLARE(mrcp_message_t*) mrcp_response_create(const mrcp_message_t *request_message, apr_pool_t *pool)
{
	if(!request_message)
		return NULL;
	mrcp_message_t *response = mrcp_message_create(pool ? pool : request_message->pool);
	if(!response)
		return NULL;
	message_identity_copy(response, request_message);
	response->start_line.message_type = MRCP_MESSAGE_TYPE_RESPONSE;
	response->start_line.method_id = request_message->start_line.method_id;
	response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS;
	response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
	if(request_message->resource)
		mrcp_message_resource_set(response, request_message->resource);
	apt_string_copy(&response->start_line.method_name, &request_message->start_line.method_name, response->pool);
	return response;
}

MRCP_DECLARE(mrcp_message_t*) mrcp_event_create(const mrcp_message_t *request_message, mrcp_method_id event_id, apr_pool_t *pool)
{
	if(!request_message)
		return NULL;
	mrcp_message_t *event = mrcp_message_create(pool ? pool : request_message->pool);
	if(!event)
		return NULL;
	message_identity_copy(event, request_message);
	event->start_line.message_type = MRCP_MESSAGE_TYPE_EVENT;
	event->start_line.method_id = event_id;
	event->start_line.status_code = MRCP_STATUS_CODE_SUCCESS;
	if(request_message->resource)
		mrcp_message_resource_set(event, request_message->resource);
	return event;
}

MRCP_DECLARE(void) mrcp_message_destroy(mrcp_message_t *message)
{
	/* Everything lives in the message's pool, which its owner destroys. */
	(void)message;
}

static void* header_prepare(mrcp_header_accessor_t *accessor, apr_pool_t *pool)
{
	if(accessor->data)
		return accessor->data;
	if(!accessor->vtable || !accessor->vtable->allocate)
		return NULL;
	return accessor->vtable->allocate(accessor, pool);
}

MRCP_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_get(const mrcp_message_t *message)
{
	return message ? (mrcp_generic_header_t*)message->header.generic_header_accessor.data : NULL;
}

MRCP_DECLARE(mrcp_generic_header_t*) mrcp_generic_header_prepare(mrcp_message_t *message)
{
	if(!message)
		return NULL;
	return (mrcp_generic_header_t*)header_prepare(&message->header.generic_header_accessor, message->pool);
}

MRCP_DECLARE(void*) mrcp_resource_header_get(const mrcp_message_t *message)
{
	return message ? message->header.resource_header_accessor.data : NULL;
}

MRCP_DECLARE(void*) mrcp_resource_header_prepare(mrcp_message_t *message)
{
	if(!message)
		return NULL;
	return header_prepare(&message->header.resource_header_accessor, message->pool);
}

/* Appends a field for the accessor's field id; the value is printed from the typed header unless name_only. */
static apt_bool_t header_property_add(mrcp_message_t *message, mrcp_header_accessor_t *accessor,
                                      apr_size_t id, apr_size_t base, apt_bool_t name_only)
{
	const mrcp_header_vtable_t *vtable = accessor->vtable;
	apt_header_section_t *section = &message->header.header_section;
	if(!vtable)
		return FALSE;
	if(apt_header_section_field_check(section, id + base))
		return FALSE;
	apt_header_field_t *field = (apt_header_field_t*)apr_pcalloc(message->pool, sizeof(apt_header_field_t));
	APR_RING_ELEM_INIT(field, link);
	field->id = id + base;
	if(id < vtable->field_count) {
		field->name = vtable->field_names[id];
		if(!name_only && header_prepare(accessor, message->pool))
			vtable->generate_field(accessor, id, &field->value, message->pool);
	}
	else {
		/* An id this header does not know: kept in order with an empty (but printable) name and value. */
		field->name.buf = apr_pstrdup(message->pool, "");
		field->name.length = 0;
	}
	return apt_header_section_field_add(section, field);
}

MRCP_DECLARE(apt_bool_t) mrcp_generic_header_property_add(mrcp_message_t *message, apr_size_t id)
{
	if(!message || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	return header_property_add(message, &message->header.generic_header_accessor, id, 0, FALSE);
}

MRCP_DECLARE(apt_bool_t) mrcp_resource_header_property_add(mrcp_message_t *message, apr_size_t id)
{
	if(!message)
		return FALSE;
	return header_property_add(message, &message->header.resource_header_accessor, id, GENERIC_HEADER_COUNT, FALSE);
}

MRCP_DECLARE(apt_bool_t) mrcp_generic_header_name_property_add(mrcp_message_t *message, apr_size_t id)
{
	if(!message || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	return header_property_add(message, &message->header.generic_header_accessor, id, 0, TRUE);
}

MRCP_DECLARE(apt_bool_t) mrcp_resource_header_name_property_add(mrcp_message_t *message, apr_size_t id)
{
	if(!message)
		return FALSE;
	return header_property_add(message, &message->header.resource_header_accessor, id, GENERIC_HEADER_COUNT, TRUE);
}

MRCP_DECLARE(apt_bool_t) mrcp_generic_header_property_check(const mrcp_message_t *message, apr_size_t id)
{
	if(!message || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	return apt_header_section_field_check(&message->header.header_section, id);
}

MRCP_DECLARE(apt_bool_t) mrcp_resource_header_property_check(const mrcp_message_t *message, apr_size_t id)
{
	if(!message)
		return FALSE;
	const mrcp_header_vtable_t *vtable = message->header.resource_header_accessor.vtable;
	if(!vtable || id >= vtable->field_count)
		return FALSE;
	return apt_header_section_field_check(&message->header.header_section, id + GENERIC_HEADER_COUNT);
}

MRCP_DECLARE(apt_bool_t) mrcp_generic_header_property_remove(mrcp_message_t *message, apr_size_t id)
{
	if(!message || id >= GENERIC_HEADER_COUNT)
		return FALSE;
	return apt_header_section_field_remove(&message->header.header_section, id);
}

MRCP_DECLARE(apt_bool_t) mrcp_resource_header_property_remove(mrcp_message_t *message, apr_size_t id)
{
	if(!message)
		return FALSE;
	return apt_header_section_field_remove(&message->header.header_section, id + GENERIC_HEADER_COUNT);
}

MRCP_DECLARE(apt_bool_t) mrcp_message_header_field_add(mrcp_message_t *message, apt_header_field_t *header_field)
{
	if(!message || !header_field)
		return FALSE;
	mrcp_header_accessor_t *accessor = NULL;
	apr_size_t id = (apr_size_t)-1;
	apr_size_t base = 0;
	const mrcp_header_vtable_t *vtable = message->header.generic_header_accessor.vtable;
	if(!vtable)
		vtable = message->header.generic_header_accessor.vtable = mrcp_generic_header_vtable_get(message->start_line.version);
	id = header_name_find(vtable->field_names, vtable->field_count, header_field->name.buf, header_field->name.length);
	if(id < vtable->field_count) {
		accessor = &message->header.generic_header_accessor;
	}
	else {
		vtable = message->header.resource_header_accessor.vtable;
		id = vtable ? header_name_find(vtable->field_names, vtable->field_count,
		                               header_field->name.buf, header_field->name.length) : (apr_size_t)-1;
		if(vtable && id < vtable->field_count) {
			accessor = &message->header.resource_header_accessor;
			base = GENERIC_HEADER_COUNT;
		}
	}
	if(!accessor) {
		/* Unknown to both headers: carried in order, never found by a check. */
		header_field->id = (apr_size_t)-1;
		APR_RING_INSERT_TAIL(&message->header.header_section.ring, header_field, apt_header_field_t, link);
		return TRUE;
	}
	if(apt_header_section_field_check(&message->header.header_section, id + base))
		return FALSE;
	if(!header_prepare(accessor, message->pool))
		return FALSE;
	/* An empty value only names the field (GET-PARAMS). */
	if(!apt_string_is_empty(&header_field->value) &&
	   accessor->vtable->parse_field(accessor, id, &header_field->value, message->pool) != TRUE)
		return FALSE;
	header_field->id = id + base;
	return apt_header_section_field_add(&message->header.header_section, header_field);
}

MRCP_DECLARE(apt_header_field_t*) mrcp_message_next_header_field_get(const mrcp_message_t *message, apt_header_field_t *header_field)
{
	if(!message)
		return NULL;
	apt_header_section_t *section = (apt_header_section_t*)&message->header.header_section;
	apt_header_field_t *next = header_field ? APR_RING_NEXT(header_field, link) : APR_RING_FIRST(&section->ring);
	if(next == APR_RING_SENTINEL(&section->ring, apt_header_field_t, link))
		return NULL;
	return next;
}
