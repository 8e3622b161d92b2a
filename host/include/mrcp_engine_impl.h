/* What a plug-in calls to build its engine and channels and to answer the server. */
#ifndef MRCP_ENGINE_IMPL_H
#define MRCP_ENGINE_IMPL_H

#include "mrcp_engine_types.h"
#include "mrcp_message.h"
#include "mpf_stream.h"
#include "mpf_termination_factory.h"

APT_BEGIN_EXTERN_C

MRCP_DECLARE(mrcp_engine_t*) mrcp_engine_create(mrcp_resource_id resource_id, void *obj,
                                                const mrcp_engine_method_vtable_t *vtable, apr_pool_t *pool);
MRCP_DECLARE(const mrcp_engine_config_t*) mrcp_engine_config_get(const mrcp_engine_t *engine);
MRCP_DECLARE(const char*) mrcp_engine_param_get(const mrcp_engine_t *engine, const char *name);

MRCP_DECLARE(mrcp_engine_channel_t*) mrcp_engine_channel_create(mrcp_engine_t *engine,
                                                                const mrcp_engine_channel_method_vtable_t *method_vtable,
                                                                void *method_obj, mpf_termination_t *termination,
                                                                apr_pool_t *pool);
/* NULL without capabilities, or when the stream lacks the frame slot its direction needs. */
MRCP_DECLARE(mpf_termination_t*) mrcp_engine_audio_termination_create(void *obj,
                                                                      const mpf_audio_stream_vtable_t *stream_vtable,
                                                                      mpf_stream_capabilities_t *capabilities,
                                                                      apr_pool_t *pool);
/* The codec the server negotiated for the stream, NULL before that. */
MRCP_DECLARE(const mpf_codec_descriptor_t*) mrcp_engine_sink_stream_codec_get(const mrcp_engine_channel_t *channel);
MRCP_DECLARE(const mpf_codec_descriptor_t*) mrcp_engine_source_stream_codec_get(const mrcp_engine_channel_t *channel);

static APR_INLINE apt_bool_t mrcp_engine_open_respond(mrcp_engine_t *engine, apt_bool_t status)
{
	return engine->event_vtable->on_open(engine, status);
}

static APR_INLINE apt_bool_t mrcp_engine_close_respond(mrcp_engine_t *engine)
{
	return engine->event_vtable->on_close(engine);
}

static APR_INLINE apt_bool_t mrcp_engine_channel_open_respond(mrcp_engine_channel_t *channel, apt_bool_t status)
{
	return channel->event_vtable->on_open(channel, status);
}

static APR_INLINE apt_bool_t mrcp_engine_channel_close_respond(mrcp_engine_channel_t *channel)
{
	return channel->event_vtable->on_close(channel);
}

/* Sends a response or an event. */
static APR_INLINE apt_bool_t mrcp_engine_channel_message_send(mrcp_engine_channel_t *channel, mrcp_message_t *message)
{
	return channel->event_vtable->on_message(channel, message);
}

static APR_INLINE const char* mrcp_engine_channel_id_get(const mrcp_engine_channel_t *channel)
{
	return channel->id.buf;
}

static APR_INLINE mrcp_version_e mrcp_engine_channel_version_get(const mrcp_engine_channel_t *channel)
{
	return channel->mrcp_version;
}

APT_END_EXTERN_C

#endif
