/* Header of an MRCP message: the generic and resource parts plus the fields in order. */
#ifndef MRCP_HEADER_H
#define MRCP_HEADER_H

#include "mrcp_header_accessor.h"
#include "apt_header_field.h"

APT_BEGIN_EXTERN_C

typedef struct mrcp_channel_id mrcp_channel_id;
struct mrcp_channel_id {
	apt_str_t session_id;
	apt_str_t resource_name;
};

typedef struct mrcp_message_header_t mrcp_message_header_t;
struct mrcp_message_header_t {
	mrcp_header_accessor_t generic_header_accessor;
	mrcp_header_accessor_t resource_header_accessor;
	apt_header_section_t header_section;
};

APT_END_EXTERN_C

#endif
