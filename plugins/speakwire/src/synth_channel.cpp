/*
 * The life of a synthesizer channel: create (with its speak task "Synth Task",
 * its audio source stream and its audio buffer), open (with the waveform file),
 * close, destroy, and the speak task's hooks that answer open and close.
 */
#include "synth_engine.h"

#include <exception>
#include <new>
#include <string>

#include "apt_log.h"
#include "synth_properties.h"
#include "websocket_endpoint.h"

static apt_bool_t synth_channel_destroy(mrcp_engine_channel_t *channel);
static apt_bool_t synth_channel_open(mrcp_engine_channel_t *channel);
static apt_bool_t synth_channel_close(mrcp_engine_channel_t *channel);
static apt_bool_t synth_channel_request_process(mrcp_engine_channel_t *channel, mrcp_message_t *request);

static const mrcp_engine_channel_method_vtable_t channel_vtable = {
    synth_channel_destroy,
    synth_channel_open,
    synth_channel_close,
    synth_channel_request_process,
};

/* A source: the server only reads from it. */
static const mpf_audio_stream_vtable_t audio_stream_vtable = {
    synth_stream_destroy,
    synth_stream_open,
    synth_stream_close,
    synth_stream_read,
    NULL,
    NULL,
    NULL,
    NULL,
};

static const char *channel_id(const synth_channel_t *synth_channel)
{
    const char *id = mrcp_engine_channel_id_get(synth_channel->channel);
    return id ? id : "";
}

static apr_status_t synth_channel_cleanup(void *data)
{
    static_cast<synth_channel_t *>(data)->~synth_channel_t();
    return APR_SUCCESS;
}

static synth_channel_t *task_channel(apt_task_t *task)
{
    apt_consumer_task_t *consumer = (apt_consumer_task_t *)apt_task_object_get(task);
    return (synth_channel_t *)apt_consumer_task_object_get(consumer);
}

static void task_on_start(apt_task_t *task)
{
    synth_channel_t *synth_channel = task_channel(task);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into task_on_start");
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Speak task started - channel %d", synth_channel->iId);
    mrcp_engine_channel_open_respond(synth_channel->channel, TRUE);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave task_on_start");
}

static void task_on_terminate(apt_task_t *task)
{
    synth_channel_t *synth_channel = task_channel(task);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into task_on_terminate");
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Speak task terminated - channel %d", synth_channel->iId);
    mrcp_engine_channel_close_respond(synth_channel->channel);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave task_on_terminate");
}

static apt_bool_t synth_task_create(synth_channel_t *synth_channel)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_task_create");
    apt_task_msg_pool_t *msg_pool = apt_task_msg_pool_create_dynamic(sizeof(speak_msg_t), synth_channel->pool);
    apt_consumer_task_t *consumer = apt_consumer_task_create(synth_channel, msg_pool, synth_channel->pool);
    if (!consumer) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR,
                "flite_synth_channel_speak failed to create flite speak task - channel:%d", synth_channel->iId);
        return FALSE;
    }
    apt_task_vtable_t *vtable = apt_consumer_task_vtable_get(consumer);
    if (vtable) {
        vtable->process_msg = task_speak;
        vtable->on_pre_run = task_on_start;
        vtable->on_post_run = task_on_terminate;
    }
    synth_channel->msg_pool = msg_pool;
    synth_channel->task = apt_consumer_task_base_get(consumer);
    apt_task_name_set(synth_channel->task, "Synth Task");
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_task_create");
    return TRUE;
}

mrcp_engine_channel_t *synth_engine_channel_create(mrcp_engine_t *engine, apr_pool_t *pool)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_engine_channel_create");
    void *mem = apr_palloc(pool, sizeof(synth_channel_t));
    synth_channel_t *synth_channel = new (mem) synth_channel_t();
    apr_pool_cleanup_register(pool, synth_channel, synth_channel_cleanup, apr_pool_cleanup_null);

    synth_channel->synth_engine = (synth_engine_t *)engine->obj;
    synth_channel->channel = NULL;
    synth_channel->guard = NULL;
    synth_channel->opened = FALSE;
    synth_channel->paused = FALSE;
    synth_channel->audio_file = NULL;
    synth_channel->ws_connection_id = -1;
    synth_channel->audio_buffer = NULL;
    synth_channel->iId = 0;
    synth_channel->pool = pool;
    synth_channel->task = NULL;
    synth_channel->task_ending = FALSE;
    synth_channel->msg_pool = NULL;
    synth_channel->speak_state = NULL;
    /* Without it the channel could not drain or destroy its audio buffer safely: no channel then. */
    if (apr_thread_mutex_create(&synth_channel->guard, APR_THREAD_MUTEX_UNNESTED, pool) != APR_SUCCESS) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_channel guard mutex create failed");
        return NULL;
    }

    /* Plain copies: the header's strings stay shared with the configuration. */
    synth_channel->mrcp_synth_header = g_properties.params;
    synth_channel->vendor_specific = g_properties.vendor_specific;

    if (!synth_speak_state_create(synth_channel, pool)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_speak_state_create failed");
        return NULL;
    }
    if (!synth_task_create(synth_channel)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_task_create failed");
        return NULL;
    }

    mpf_stream_capabilities_t *capabilities = mpf_source_stream_capabilities_create(pool);
    mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "LPCM");
    mpf_termination_t *termination =
        mrcp_engine_audio_termination_create(synth_channel, &audio_stream_vtable, capabilities, pool);
    synth_channel->channel = mrcp_engine_channel_create(engine, &channel_vtable, synth_channel, termination, pool);
    if (!synth_channel->channel) {
        /* The speak task goes with the channel pool. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "mrcp_engine_channel_create failed");
        return NULL;
    }

    synth_channel->audio_buffer = mpf_buffer_create(pool);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "channel id is %s, audio_buffer <%lu>", channel_id(synth_channel),
            (unsigned long)synth_channel->audio_buffer);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_engine_channel_create");
    return synth_channel->channel;
}

/* "<dir>/<id>.pcm", with the separator only when the directory lacks one. */
static std::string wave_path(const char *dir, const char *id)
{
    std::string path = dir ? dir : ".";
    if (path.empty() || path.back() != '/')
        path += '/';
    path += id;
    path += ".pcm";
    return path;
}

static void synth_channel_audio_file_open(synth_channel_t *synth_channel)
{
    std::string path = wave_path(g_properties.save_wave.save_waveform_dir, channel_id(synth_channel));
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Wave path <%s>", path.c_str());
    std::lock_guard<std::mutex> lock(synth_channel->audio_file_mutex);
    if (synth_channel->audio_file) {
        /* A channel opened again keeps appending to the file it has. */
        return;
    }
    synth_channel->audio_file = fopen(path.c_str(), "ab+");
    if (!synth_channel->audio_file)
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "Open audio file filed!");
}

void synth_channel_audio_file_write(synth_channel_t *synth_channel, const void *data, apr_size_t size)
{
    std::lock_guard<std::mutex> lock(synth_channel->audio_file_mutex);
    if (synth_channel->audio_file && data && size)
        fwrite(data, 1, size, synth_channel->audio_file);
}

void synth_channel_audio_file_close(synth_channel_t *synth_channel)
{
    std::lock_guard<std::mutex> lock(synth_channel->audio_file_mutex);
    if (synth_channel->audio_file) {
        fclose(synth_channel->audio_file);
        synth_channel->audio_file = NULL;
    }
}

static apt_bool_t synth_channel_open(mrcp_engine_channel_t *channel)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_channel_open");
    synth_channel_t *synth_channel = (synth_channel_t *)channel->method_obj;
    try {
        if (g_properties.save_wave.save_waveform)
            synth_channel_audio_file_open(synth_channel);
    } catch (const std::exception &e) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "Open audio file filed! %s", e.what());
    }

    /* Raised before the start: the speak task may answer the open at once, and
     * from then on the media thread may play. */
    synth_channel->opened = TRUE;
    if (synth_channel->task && apt_task_start(synth_channel->task)) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "synth_channel %p task start", (void *)synth_channel);
        return TRUE;
    }
    synth_channel->opened = FALSE;
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Speak task start failed - channel %d", synth_channel->iId);
    apt_bool_t status = synth_msg_signal(SYNTH_MSG_OPEN_CHANNEL, channel, NULL);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_open");
    return status;
}

/* The close goes through the engine task, behind every request posted before it: answered at once here,
 * it would let the server destroy the channel while the engine task still holds one of its requests. */
static apt_bool_t synth_channel_close(mrcp_engine_channel_t *channel)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_channel_close");
    if (!synth_msg_signal(SYNTH_MSG_CHANNEL_CLOSING, channel, NULL))
        synth_channel_close_now(channel);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_close");
    return TRUE;
}

void synth_channel_close_now(mrcp_engine_channel_t *channel)
{
    synth_channel_t *synth_channel = (synth_channel_t *)channel->method_obj;
    synth_channel->opened = FALSE;
    /* Under the file lock, so an append of an I/O thread finishes first
     * and every later one finds no file. */
    synth_channel_audio_file_close(synth_channel);
    /* The speak task must not wait for a synthesis that nobody will end. */
    synth_speak_closing(synth_channel);

    /* Not waited for: the speak task answers the close when it ends, and the engine task goes on.
     * Raised first: once the close is answered, destroy may run and must find it. */
    synth_channel->task_ending = TRUE;
    if (synth_channel->task && apt_task_terminate(synth_channel->task, FALSE)) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "synth_channel %p task terminate", (void *)synth_channel);
        return;
    }
    synth_channel->task_ending = FALSE;
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Speak task terminate failed - channel %d", synth_channel->iId);
    if (!synth_msg_signal(SYNTH_MSG_CLOSE_CHANNEL, channel, NULL))
        mrcp_engine_channel_close_respond(channel);
}

static apt_bool_t synth_channel_destroy(mrcp_engine_channel_t *channel)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_channel_destroy");
    synth_channel_t *synth_channel = (synth_channel_t *)channel->method_obj;
    if (synth_channel->task) {
        /* The thread the close ended is joined here, once, before the task and its pool go: a
         * server's apt_task_destroy may join only a task that still runs, leaving an ended one's
         * thread (and its stack) behind for good. */
        if (synth_channel->task_ending)
            apt_task_wait_till_complete(synth_channel->task);
        apt_task_destroy(synth_channel->task);
        synth_channel->task = NULL;
    }
    /* A connection still open would hand the service's messages to a freed channel. */
    int id = synth_channel->ws_connection_id.exchange(-1);
    if (id != -1) {
        try {
            endpoint.close(id, websocketpp::close::status::normal, "normal");
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_channel_destroy: close of connection %d failed", id);
        }
    }
    synth_channel_audio_file_close(synth_channel);
    apr_thread_mutex_lock(synth_channel->guard);
    if (synth_channel->audio_buffer) {
        mpf_buffer_destroy(synth_channel->audio_buffer);
        synth_channel->audio_buffer = NULL;
    }
    apr_thread_mutex_unlock(synth_channel->guard);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_destroy");
    return TRUE;
}

static apt_bool_t synth_channel_request_process(mrcp_engine_channel_t *channel, mrcp_message_t *request)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_channel_request_process");
    apt_bool_t status = synth_msg_signal(SYNTH_MSG_REQUEST_PROCESS, channel, request);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_request_process");
    return status;
}
