#ifndef MPF_STREAM_DESCRIPTOR_H
#define MPF_STREAM_DESCRIPTOR_H

#include "mpf_codec_descriptor.h"

APT_BEGIN_EXTERN_C

typedef enum {
	STREAM_DIRECTION_NONE    = 0x0,
	STREAM_DIRECTION_SEND    = 0x1,  /* the server writes frames to the stream (a sink) */
	STREAM_DIRECTION_RECEIVE = 0x2,  /* the server reads frames from the stream (a source) */
	STREAM_DIRECTION_DUPLEX  = STREAM_DIRECTION_SEND | STREAM_DIRECTION_RECEIVE
} mpf_stream_direction_e;

typedef struct mpf_stream_capabilities_t mpf_stream_capabilities_t;
struct mpf_stream_capabilities_t {
	mpf_stream_direction_e direction;
	mpf_codec_capabilities_t codecs;
};

MPF_DECLARE(mpf_stream_capabilities_t*) mpf_stream_capabilities_create(mpf_stream_direction_e directions, apr_pool_t *pool);

static APR_INLINE mpf_stream_capabilities_t* mpf_sink_stream_capabilities_create(apr_pool_t *pool)
{
	return mpf_stream_capabilities_create(STREAM_DIRECTION_SEND, pool);
}

static APR_INLINE mpf_stream_capabilities_t* mpf_source_stream_capabilities_create(apr_pool_t *pool)
{
	return mpf_stream_capabilities_create(STREAM_DIRECTION_RECEIVE, pool);
}

APT_END_EXTERN_C

#endif
