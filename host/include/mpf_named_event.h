#ifndef MPF_NAMED_EVENT_H
#define MPF_NAMED_EVENT_H

#include "mpf.h"

APT_BEGIN_EXTERN_C

typedef struct mpf_named_event_frame_t mpf_named_event_frame_t;
struct mpf_named_event_frame_t {
	apr_uint32_t event_id: 8;
	apr_uint32_t volume:   6;
	apr_uint32_t reserved: 1;
	apr_uint32_t edge:     1;
	apr_uint32_t duration: 16;
};

APT_END_EXTERN_C

#endif
