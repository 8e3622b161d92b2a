#include "synth_dispatch.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "apt_consumer_task.h"
#include "apt_log.h"
#include "mpf_buffer.h"
#include "mrcp_engine_impl.h"
#include "mrcp_synth_resource.h"
#include "synth_engine.h"
#include "synth_properties.h"
#include "synth_protocol.h"
#include "synth_speak_state.h"
#include "vendor_specific_parameters.h"
#include "websocket_endpoint.h"

/* Largest block the STOP drain reads at a time. */
#define SYNTH_DRAIN_BLOCK 262144

static const char *field_name(const apt_header_field_t *field)
{
    return apt_string_buffer_get(&field->name);
}

static void field_warning(const apt_header_field_t *field)
{
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can find the header [%d:%s]", (int)field->id, field_name(field));
}

/* Copies one synthesizer field (resource id) between two headers; FALSE for the server's Prosody-Pitch
   where it has one, whose value this plug-in does not keep (the pitch comes from com.quenmar.pitch), and
   for fields it does not know. */
static apt_bool_t copy_field(mrcp_synth_header_t *dst, const mrcp_synth_header_t *src, apr_size_t id, apr_pool_t *pool)
{
    switch (id) {
    case SYNTHESIZER_HEADER_JUMP_SIZE:
        mrcp_speech_length_value_copy(&src->jump_size, &dst->jump_size, pool);
        break;
    case SYNTHESIZER_HEADER_KILL_ON_BARGE_IN:
        dst->kill_on_barge_in = src->kill_on_barge_in;
        break;
    case SYNTHESIZER_HEADER_SPEAKER_PROFILE:
        apt_string_copy(&dst->speaker_profile, &src->speaker_profile, pool);
        break;
    case SYNTHESIZER_HEADER_COMPLETION_CAUSE:
        dst->completion_cause = src->completion_cause;
        break;
    case SYNTHESIZER_HEADER_COMPLETION_REASON:
        apt_string_copy(&dst->completion_reason, &src->completion_reason, pool);
        break;
    case SYNTHESIZER_HEADER_VOICE_GENDER:
        dst->voice_param.gender = src->voice_param.gender;
        break;
    case SYNTHESIZER_HEADER_VOICE_AGE:
        dst->voice_param.age = src->voice_param.age;
        break;
    case SYNTHESIZER_HEADER_VOICE_VARIANT:
        dst->voice_param.variant = src->voice_param.variant;
        break;
    case SYNTHESIZER_HEADER_VOICE_NAME:
        apt_string_copy(&dst->voice_param.name, &src->voice_param.name, pool);
        break;
    case SYNTHESIZER_HEADER_PROSODY_VOLUME:
        mrcp_prosody_volume_copy(&src->prosody_param.volume, &dst->prosody_param.volume);
        break;
    case SYNTHESIZER_HEADER_PROSODY_RATE:
        mrcp_prosody_rate_copy(&src->prosody_param.rate, &dst->prosody_param.rate);
        break;
    case SYNTHESIZER_HEADER_SPEECH_MARKER:
        apt_string_copy(&dst->speech_marker, &src->speech_marker, pool);
        break;
    case SYNTHESIZER_HEADER_SPEECH_LANGUAGE:
        apt_string_copy(&dst->speech_language, &src->speech_language, pool);
        break;
    case SYNTHESIZER_HEADER_FETCH_HINT:
        apt_string_copy(&dst->fetch_hint, &src->fetch_hint, pool);
        break;
    case SYNTHESIZER_HEADER_AUDIO_FETCH_HINT:
        apt_string_copy(&dst->audio_fetch_hint, &src->audio_fetch_hint, pool);
        break;
    case SYNTHESIZER_HEADER_FAILED_URI:
        apt_string_copy(&dst->failed_uri, &src->failed_uri, pool);
        break;
    case SYNTHESIZER_HEADER_FAILED_URI_CAUSE:
        apt_string_copy(&dst->failed_uri_cause, &src->failed_uri_cause, pool);
        break;
    case SYNTHESIZER_HEADER_SPEAK_RESTART:
        dst->speak_restart = src->speak_restart;
        break;
    case SYNTHESIZER_HEADER_SPEAK_LENGTH:
        mrcp_speech_length_value_copy(&src->speak_length, &dst->speak_length, pool);
        break;
    case SYNTHESIZER_HEADER_LOAD_LEXICON:
        dst->load_lexicon = src->load_lexicon;
        break;
    case SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER:
        apt_string_copy(&dst->lexicon_search_order, &src->lexicon_search_order, pool);
        break;
    default:
        return FALSE;
    }
    return TRUE;
}

/* One synthesizer field of the request into the channel; FALSE for an illegal value. */
static apt_bool_t set_field(synth_channel_t *channel, const mrcp_synth_header_t *src, const apt_header_field_t *field)
{
    const apr_size_t id = field->id - GENERIC_HEADER_COUNT;
    switch (id) {
    case SYNTHESIZER_HEADER_VOICE_GENDER:
        /* The service has female and neutral voices only. */
        if (src->voice_param.gender != VOICE_GENDER_FEMALE && src->voice_param.gender != VOICE_GENDER_NEUTRAL)
            return FALSE;
        break;
    case SYNTHESIZER_HEADER_VOICE_AGE:
        if (src->voice_param.age > 100)
            return FALSE;
        break;
    }
    if (!copy_field(&channel->mrcp_synth_header, src, id, channel->channel->pool))
        field_warning(field);
    return TRUE;
}

/* Fields the server could not name carry no id; they are neither generic nor synthesizer fields, and get
   only the warning. */
static bool field_known(const apt_header_field_t *field)
{
    if (field->id != (apr_size_t)-1)
        return true;
    field_warning(field);
    return false;
}

apt_bool_t synth_set_param(synth_channel_t *channel, mrcp_message_t *request)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_set_param");
    /* A server that parsed the request has both headers; one that builds them lazily gets empty ones here. */
    mrcp_generic_header_t *generic = mrcp_generic_header_prepare(request);
    const mrcp_synth_header_t *synth = (const mrcp_synth_header_t *)mrcp_resource_header_prepare(request);
    apt_bool_t status = TRUE;
    if (!generic || !synth) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_header or request_generic_header is NULL");
        status = FALSE;
    }
    for (apt_header_field_t *field = status ? mrcp_message_next_header_field_get(request, NULL) : NULL; field;
         field = mrcp_message_next_header_field_get(request, field)) {
        if (!field_known(field))
            continue;
        if (field->id < GENERIC_HEADER_COUNT) {
            if (field->id == GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS && generic->vendor_specific_params &&
                !set_vendor_specific_parameters(&channel->vendor_specific, generic->vendor_specific_params)) {
                status = FALSE;
                break;
            }
            continue;
        }
        if (!set_field(channel, synth, field)) {
            status = FALSE;
            break;
        }
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_set_param");
    return status;
}

/* One synthesizer field of the channel into a GET-PARAMS response. */
static void get_field(synth_channel_t *channel, mrcp_synth_header_t *dst, const apt_header_field_t *field,
                      mrcp_message_t *response)
{
    const apr_size_t id = field->id - GENERIC_HEADER_COUNT;
    if (!copy_field(dst, &channel->mrcp_synth_header, id, response->pool))
        field_warning(field);
    else if (id == SYNTHESIZER_HEADER_VOICE_NAME)
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "find the header [%d:%s]", (int)field->id,
                apt_string_buffer_get(&dst->voice_param.name));
    mrcp_resource_header_property_add(response, id);
}

static void synth_get_params(synth_channel_t *channel, mrcp_message_t *request, mrcp_message_t *response)
{
    const mrcp_generic_header_t *generic = mrcp_generic_header_prepare(request);
    if (!generic) {
        response->start_line.status_code = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        mrcp_engine_channel_message_send(channel->channel, response);
        return;
    }
    mrcp_synth_header_t *synth = (mrcp_synth_header_t *)mrcp_resource_header_prepare(response);
    for (apt_header_field_t *field = mrcp_message_next_header_field_get(request, NULL); field;
         field = mrcp_message_next_header_field_get(request, field)) {
        if (!field_known(field))
            continue;
        if (field->id < GENERIC_HEADER_COUNT) {
            if (field->id != GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS)
                continue;
            mrcp_generic_header_t *out = mrcp_generic_header_prepare(response);
            if (!out)
                continue;
            get_vendor_specific_parameters(&channel->vendor_specific, generic->vendor_specific_params,
                                           &out->vendor_specific_params, channel->channel->pool);
            mrcp_generic_header_property_add(response, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
            continue;
        }
        if (synth)
            get_field(channel, synth, field, response);
    }
    mrcp_engine_channel_message_send(channel->channel, response);
}

apt_bool_t synth_response_construct(mrcp_message_t *response)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_response_construct");
    mrcp_synth_header_t *synth = (mrcp_synth_header_t *)mrcp_resource_header_prepare(response);
    if (!synth) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "prepare response header failed! synth_header is NULL");
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_response_construct");
        return FALSE;
    }
    response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
    synth->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_ERROR;
    mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_response_construct");
    return TRUE;
}

static void speak_refuse(synth_channel_t *channel, mrcp_message_t *response)
{
    response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
    response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    synth_response_construct(response);
    mrcp_engine_channel_message_send(channel->channel, response);
}

/* What the START command will need, copied now: the channel's values may change before it is built. */
static void speak_job_snapshot(speak_job_t *job, const synth_channel_t *channel)
{
    const mrcp_synth_header_t *header = &channel->mrcp_synth_header;
    job->has_voice_name = !apt_string_is_empty(&header->voice_param.name);
    if (job->has_voice_name)
        job->voice_name.assign(header->voice_param.name.buf, header->voice_param.name.length);
    if (!apt_string_is_empty(&header->speech_language))
        job->speech_language.assign(header->speech_language.buf, header->speech_language.length);
    job->gender = header->voice_param.gender;
    job->age = header->voice_param.age;
    job->volume = header->prosody_param.volume;
    job->rate = header->prosody_param.rate;
    job->vendor_specific = channel->vendor_specific;
}

static void synth_channel_speak(synth_channel_t *channel, mrcp_message_t *request, mrcp_message_t *response)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_channel_speak");
    synth_set_param(channel, request);
    if (!request->body.buf) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth text is null!");
        speak_refuse(channel, response);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_speak");
        return;
    }
    if (!channel->opened) {
        /* No speak task runs on this channel, so nobody would ever answer the SPEAK. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "speak task is not running - channel:%s",
                mrcp_engine_channel_id_get(channel->channel));
        speak_refuse(channel, response);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_speak");
        return;
    }
    synth_speak_state_t *state = channel->speak_state;
    speak_job_ptr job = std::make_shared<speak_job_t>();
    job->request = request;
    job->response = response;
    job->held = true;
    job->version = mrcp_engine_channel_version_get(channel->channel);
    speak_job_snapshot(job.get(), channel);
    bool busy;
    apr_thread_mutex_lock(channel->guard);
    {
        std::lock_guard<std::mutex> lock(state->mt);
        busy = state->current && state->current->held && !state->current->stopped;
        if (!busy) {
            /* Restarted here, before the new SPEAK is published, so that nothing of an earlier SPEAK
               (audio or end mark) can play into or complete this one. */
            mpf_buffer_restart(channel->audio_buffer);
            state->upsample_prev = 0;
            job->gen = ++state->last_gen;
            state->current = job;
            state->handed.push_back(job);
        }
    }
    apr_thread_mutex_unlock(channel->guard);
    if (busy) {
        /* One SPEAK plays at a time; the client waits for SPEAK-COMPLETE or stops the first. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "a SPEAK is already in progress - channel:%s",
                mrcp_engine_channel_id_get(channel->channel));
        speak_refuse(channel, response);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_speak");
        return;
    }
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Send signal to start speech synthesis - channel:%s",
            mrcp_engine_channel_id_get(channel->channel));
    apt_bool_t signalled = FALSE;
    apt_task_msg_t *msg = apt_task_msg_acquire(channel->msg_pool);
    if (msg) {
        msg->type = TASK_MSG_USER;
        speak_msg_t *speak = (speak_msg_t *)msg->data;
        speak->channel = channel;
        speak->request = request;
        signalled = apt_task_msg_signal(channel->task, msg);
    }
    if (!signalled) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Failed to send signal to start speech synthesis - channel:%d",
                channel->iId);
        {
            std::lock_guard<std::mutex> lock(state->mt);
            state->handed.erase(std::remove(state->handed.begin(), state->handed.end(), job), state->handed.end());
            job->held = false;
            job->response = NULL;
            job->task_done = true;
        }
        speak_refuse(channel, response);
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_speak");
}

/* Empties the audio buffer; a read that makes no progress ends it, so it cannot spin. */
static void synth_buffer_drain(synth_channel_t *channel)
{
    std::vector<char> scratch;
    apr_thread_mutex_lock(channel->guard);
    if (channel->audio_buffer) {
        apr_size_t size = mpf_buffer_get_size(channel->audio_buffer);
        while (size > 0) {
            if (scratch.empty())
                scratch.resize(SYNTH_DRAIN_BLOCK);
            mpf_frame_t frame;
            memset(&frame, 0, sizeof(frame));
            frame.codec_frame.buffer = scratch.data();
            frame.codec_frame.size = std::min<apr_size_t>(size, SYNTH_DRAIN_BLOCK);
            mpf_buffer_frame_read(channel->audio_buffer, &frame);
            const apr_size_t left = mpf_buffer_get_size(channel->audio_buffer);
            if (left >= size)
                break;
            size = left;
        }
    }
    apr_thread_mutex_unlock(channel->guard);
}

apt_bool_t synth_channel_stop(mrcp_engine_channel_t *engine_channel, mrcp_message_t *request,
                              mrcp_message_t *response)
{
    (void)request;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_channel_stop");
    synth_channel_t *channel = (synth_channel_t *)engine_channel->method_obj;
    synth_speak_state_t *state = channel->speak_state;
    speak_job_ptr job;
    int id = -1;
    {
        std::lock_guard<std::mutex> lock(state->mt);
        job = state->current;
        if (job) {
            /* The STOP response ends this SPEAK: no SPEAK-COMPLETE may follow it, errors included. */
            job->stopped = true;
            job->held = false;
            id = job->ws_id;
            job->ws_id = -1;
        }
        state->cv.notify_all();
    }
    if (id != -1) {
        int expected = id;
        channel->ws_connection_id.compare_exchange_strong(expected, -1);
        endpoint.send_command(id, SYNTH_END_COMMAND);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.close: enter");
        if (endpoint.has_connection(id))
            endpoint.close(id, 1000, "normal");
    }
    synth_buffer_drain(channel);
    {
        /* Every STOP is answered, each once the speak task has finished the SPEAK it stopped. */
        std::lock_guard<std::mutex> lock(state->mt);
        parked_stop_t stop;
        stop.job = (job && !job->task_done) ? job : speak_job_ptr();
        stop.response = response;
        state->stops.push_back(stop);
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_channel_stop");
    return TRUE;
}

static void synth_pause(synth_channel_t *channel, apt_bool_t paused, mrcp_message_t *response)
{
    channel->paused = paused;
    mrcp_engine_channel_message_send(channel->channel, response);
}

void synth_request_dispatch(mrcp_engine_channel_t *engine_channel, mrcp_message_t *request)
{
    synth_channel_t *channel = (synth_channel_t *)engine_channel->method_obj;
    /* The server clears the flag on its own thread while this task reads it. */
    const apt_bool_t is_open = __atomic_load_n(&engine_channel->is_open, __ATOMIC_ACQUIRE);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "SYNTH_MSG_REQUEST_PROCESS is open:%d", (int)is_open);
    if (!is_open) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "SYNTH_MSG_REQUEST_PROCESS is closed!");
        return;
    }
    mrcp_message_t *response = mrcp_response_create(request, request->pool);
    if (!response) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "create response failed!");
        return;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "%d", (int)request->start_line.method_id);
    switch (request->start_line.method_id) {
    case SYNTHESIZER_SET_PARAMS:
        if (!synth_set_param(channel, request))
            response->start_line.status_code = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        mrcp_engine_channel_message_send(engine_channel, response);
        break;
    case SYNTHESIZER_GET_PARAMS:
        synth_get_params(channel, request, response);
        break;
    case SYNTHESIZER_SPEAK:
        synth_channel_speak(channel, request, response);
        break;
    case SYNTHESIZER_STOP:
        synth_channel_stop(engine_channel, request, response);
        break;
    case SYNTHESIZER_PAUSE:
        synth_pause(channel, TRUE, response);
        break;
    case SYNTHESIZER_RESUME:
        synth_pause(channel, FALSE, response);
        break;
    case SYNTHESIZER_BARGE_IN_OCCURRED:
        synth_set_param(channel, request);
        if (channel->mrcp_synth_header.kill_on_barge_in) {
            synth_channel_stop(engine_channel, request, response);
        } else {
            response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
            mrcp_engine_channel_message_send(engine_channel, response);
        }
        break;
    default:
        mrcp_engine_channel_message_send(engine_channel, response);
        break;
    }
}
