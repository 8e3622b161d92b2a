/* The start line of an MRCP message. */
#ifndef MRCP_START_LINE_H
#define MRCP_START_LINE_H

#include "mrcp_types.h"
#include "apt_string.h"

APT_BEGIN_EXTERN_C

typedef enum {
	MRCP_MESSAGE_TYPE_UNKNOWN,
	MRCP_MESSAGE_TYPE_REQUEST,
	MRCP_MESSAGE_TYPE_RESPONSE,
	MRCP_MESSAGE_TYPE_EVENT
} mrcp_message_type_e;

typedef enum {
	MRCP_STATUS_CODE_UNKNOWN                   = 0,
	MRCP_STATUS_CODE_SUCCESS                   = 200,
	MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE       = 201,
	MRCP_STATUS_CODE_METHOD_NOT_ALLOWED        = 401,
	MRCP_STATUS_CODE_METHOD_NOT_VALID          = 402,
	MRCP_STATUS_CODE_UNSUPPORTED_PARAM         = 403,
	MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE       = 404,
	MRCP_STATUS_CODE_NOT_FOUND                 = 405,
	MRCP_STATUS_CODE_MISSING_PARAM             = 406,
	MRCP_STATUS_CODE_METHOD_FAILED             = 407,
	MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE      = 408,
	MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE   = 409,
	MRCP_STATUS_CODE_OUT_OF_ORDER              = 410,
	MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE = 421
} mrcp_status_code_e;

typedef enum {
	MRCP_REQUEST_STATE_COMPLETE,
	MRCP_REQUEST_STATE_INPROGRESS,
	MRCP_REQUEST_STATE_PENDING,
	MRCP_REQUEST_STATE_COUNT,
	MRCP_REQUEST_STATE_UNKNOWN = MRCP_REQUEST_STATE_COUNT
} mrcp_request_state_e;

typedef struct mrcp_start_line_t mrcp_start_line_t;
struct mrcp_start_line_t {
	mrcp_message_type_e message_type;
	mrcp_version_e version;
	apr_size_t length;
	mrcp_request_id request_id;
	apt_str_t method_name;
	mrcp_method_id method_id;
	mrcp_status_code_e status_code;
	mrcp_request_state_e request_state;
};

APT_END_EXTERN_C

#endif
