/* Engines and engine channels as the plug-ins create them. */
#include "mrcp_engine_iface.h"

#define CHANNEL_ID_KEY      "mrcp.engine.channel.id"
#define CHANNEL_VERSION_KEY "mrcp.engine.channel.version"

MRCP_DECLARE(mrcp_engine_t*) mrcp_engine_create(mrcp_resource_id resource_id, void *obj,
                                                const mrcp_engine_method_vtable_t *vtable, apr_pool_t *pool)
{
	if(!vtable || !pool)
		return NULL;
	mrcp_engine_t *engine = (mrcp_engine_t*)apr_pcalloc(pool, sizeof(mrcp_engine_t));
	engine->resource_id = resource_id;
	engine->obj = obj;
	engine->method_vtable = vtable;
	engine->pool = pool;
	return engine;
}

MRCP_DECLARE(const mrcp_engine_config_t*) mrcp_engine_config_get(const mrcp_engine_t *engine)
{
	return engine ? engine->config : NULL;
}

MRCP_DECLARE(const char*) mrcp_engine_param_get(const mrcp_engine_t *engine, const char *name)
{
	if(!engine || !engine->config || !engine->config->params || !name)
		return NULL;
	return apr_table_get(engine->config->params, name);
}

MRCP_DECLARE(apt_bool_t) mrcp_engine_channel_identity_set(apr_pool_t *channel_pool, const char *id, mrcp_version_e version)
{
	if(!channel_pool || !id)
		return FALSE;
	const char *id_copy = apr_pstrdup(channel_pool, id);
	mrcp_version_e *version_copy = (mrcp_version_e*)apr_palloc(channel_pool, sizeof(mrcp_version_e));
	*version_copy = version;
	apr_pool_userdata_setn(id_copy, CHANNEL_ID_KEY, NULL, channel_pool);
	apr_pool_userdata_setn(version_copy, CHANNEL_VERSION_KEY, NULL, channel_pool);
	return TRUE;
}

MRCP_DECLARE(mrcp_engine_channel_t*) mrcp_engine_channel_create(mrcp_engine_t *engine,
                                                                const mrcp_engine_channel_method_vtable_t *method_vtable,
                                                                void *method_obj, mpf_termination_t *termination,
                                                                apr_pool_t *pool)
{
	if(!engine || !method_vtable || !pool)
		return NULL;
	mrcp_engine_channel_t *channel = (mrcp_engine_channel_t*)apr_pcalloc(pool, sizeof(mrcp_engine_channel_t));
	channel->method_vtable = method_vtable;
	channel->method_obj = method_obj;
	channel->termination = termination;
	channel->engine = engine;
	channel->pool = pool;
	channel->is_open = FALSE;
	/* The id and version the server gave the pool, so that the plug-in can use them inside create_channel. */
	void *id = NULL;
	void *version = NULL;
	apr_pool_userdata_get(&id, CHANNEL_ID_KEY, pool);
	apr_pool_userdata_get(&version, CHANNEL_VERSION_KEY, pool);
	apt_string_assign(&channel->id, (const char*)id, pool);
	channel->mrcp_version = version ? *(const mrcp_version_e*)version : MRCP_VERSION_2;
	return channel;
}

static mpf_audio_stream_t* channel_stream_get(const mrcp_engine_channel_t *channel)
{
	if(!channel || !channel->termination)
		return NULL;
	return mpf_termination_audio_stream_get(channel->termination);
}

MRCP_DECLARE(const mpf_codec_descriptor_t*) mrcp_engine_sink_stream_codec_get(const mrcp_engine_channel_t *channel)
{
	mpf_audio_stream_t *stream = channel_stream_get(channel);
	return stream ? stream->tx_descriptor : NULL;
}

MRCP_DECLARE(const mpf_codec_descriptor_t*) mrcp_engine_source_stream_codec_get(const mrcp_engine_channel_t *channel)
{
	mpf_audio_stream_t *stream = channel_stream_get(channel);
	return stream ? stream->rx_descriptor : NULL;
}
