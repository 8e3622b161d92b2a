/* Audio streams, their capabilities, and the terminations that carry them. */
#include "mpf_stream.h"
#include "mpf_termination_factory.h"
#include "mrcp_engine_impl.h"

struct mpf_termination_t {
	void *obj;
	mpf_audio_stream_t *audio_stream;
	apr_pool_t *pool;
};

MPF_DECLARE(mpf_stream_capabilities_t*) mpf_stream_capabilities_create(mpf_stream_direction_e directions, apr_pool_t *pool)
{
	mpf_stream_capabilities_t *capabilities = (mpf_stream_capabilities_t*)apr_palloc(pool, sizeof(mpf_stream_capabilities_t));
	capabilities->direction = directions;
	mpf_codec_capabilities_init(&capabilities->codecs, 1, pool);
	return capabilities;
}

MPF_DECLARE(mpf_audio_stream_t*) mpf_audio_stream_create(void *obj, const mpf_audio_stream_vtable_t *vtable,
                                                         const mpf_stream_capabilities_t *capabilities, apr_pool_t *pool)
{
	if(!vtable || !pool)
		return NULL;
	mpf_audio_stream_t *stream = (mpf_audio_stream_t*)apr_pcalloc(pool, sizeof(mpf_audio_stream_t));
	stream->obj = obj;
	stream->vtable = vtable;
	stream->capabilities = capabilities;
	stream->direction = capabilities ? capabilities->direction : STREAM_DIRECTION_NONE;
	return stream;
}

MPF_DECLARE(mpf_audio_stream_t*) mpf_termination_audio_stream_get(mpf_termination_t *termination)
{
	return termination ? termination->audio_stream : NULL;
}

MRCP_DECLARE(mpf_termination_t*) mrcp_engine_audio_termination_create(void *obj,
                                                                      const mpf_audio_stream_vtable_t *stream_vtable,
                                                                      mpf_stream_capabilities_t *capabilities,
                                                                      apr_pool_t *pool)
{
	if(!capabilities || !stream_vtable || !pool)
		return NULL;
	/* The server writes to a sink and reads from a source: each needs its slot. */
	if((capabilities->direction & STREAM_DIRECTION_SEND) && !stream_vtable->write_frame)
		return NULL;
	if((capabilities->direction & STREAM_DIRECTION_RECEIVE) && !stream_vtable->read_frame)
		return NULL;
	if(!capabilities->codecs.attrib_arr)
		mpf_codec_capabilities_init(&capabilities->codecs, 1, pool);
	if(apr_is_empty_array(capabilities->codecs.attrib_arr))
		mpf_codec_default_capabilities_add(&capabilities->codecs);
	mpf_audio_stream_t *stream = mpf_audio_stream_create(obj, stream_vtable, capabilities, pool);
	if(!stream)
		return NULL;
	mpf_termination_t *termination = (mpf_termination_t*)apr_pcalloc(pool, sizeof(mpf_termination_t));
	termination->obj = obj;
	termination->audio_stream = stream;
	termination->pool = pool;
	stream->termination = termination;
	return termination;
}
