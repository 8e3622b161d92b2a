#include "synth_speak.h"

#include <exception>
#include <new>
#include <string>

#include "apt_consumer_task.h"
#include "apt_log.h"
#include "mpf_buffer.h"
#include "mrcp_engine_impl.h"
#include "synth_engine.h"
#include "synth_output.h"
#include "synth_properties.h"
#include "synth_protocol.h"
#include "synth_speak_state.h"
#include "voice_mgr.h"
#include "websocket_endpoint.h"

static apr_status_t speak_state_cleanup(void *data)
{
    static_cast<synth_speak_state_t *>(data)->~synth_speak_state_t();
    return APR_SUCCESS;
}

apt_bool_t synth_speak_state_create(synth_channel_t *channel, apr_pool_t *pool)
{
    void *memory = apr_palloc(pool, sizeof(synth_speak_state_t));
    if (!memory)
        return FALSE;
    synth_speak_state_t *state = new (memory) synth_speak_state_t();
    apr_pool_cleanup_register(pool, state, speak_state_cleanup, apr_pool_cleanup_null);
    channel->speak_state = state;
    return TRUE;
}

static const char *channel_id(const synth_channel_t *channel)
{
    const char *id = mrcp_engine_channel_id_get(channel->channel);
    return id ? id : "";
}

static void speak_abnormal(synth_channel_t *channel, const speak_job_ptr &job, mrcp_synth_completion_cause_e cause)
{
    synth_speak_complete_job(channel, job, cause);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[abnormal complete]<%s> <%d>", channel_id(channel), (int)cause);
}

/* Closes the SPEAK's connection unless a STOP already did; never with the state lock held, since the
   endpoint's close waits for a message handler that takes it. */
static void speak_close_connection(synth_channel_t *channel, const speak_job_ptr &job)
{
    int id;
    {
        std::lock_guard<std::mutex> lock(channel->speak_state->mt);
        id = job->ws_id;
        job->ws_id = -1;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.close: enter");
    if (id == -1)
        return;
    int expected = id;
    channel->ws_connection_id.compare_exchange_strong(expected, -1);
    if (endpoint.has_connection(id))
        endpoint.close(id, 1000, "normal");
}

/* Marks the SPEAK finished by its task however task_speak leaves, so that its STOP can be answered. */
class speak_task_done {
public:
    speak_task_done(synth_speak_state_t *state, const speak_job_ptr &job) : m_state(state), m_job(job) {}
    ~speak_task_done()
    {
        std::lock_guard<std::mutex> lock(m_state->mt);
        m_job->task_done = true;
    }

private:
    synth_speak_state_t *m_state;
    speak_job_ptr m_job;
};

/* The START command of a SPEAK; FALSE (logged) when its voice cannot be found. */
static apt_bool_t speak_start_build(const speak_job_t &job, synth_markup_e markup, const std::string &text,
                                    std::string *command)
{
    char voice_id[VOICE_ID_SIZE] = {0};
    if (!find_voice(voice_id, job.has_voice_name ? job.voice_name.c_str() : NULL,
                    (apr_int32_t)lang_value2id(job.speech_language.c_str()),
                    (apr_int32_t)gender_id2value(job.gender), (apr_int32_t)age2value(job.age),
                    (apr_int32_t)job.vendor_specific.voice_domain)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "find voice failed!");
        return FALSE;
    }
    synth_start_t start;
    start.pitch = synth_start_pitch(job.vendor_specific.pitch);
    start.property = voice_id;
    start.speed = synth_start_speed(&job.rate, g_properties.system.speed_revise);
    start.tagmode = synth_tagmode_get(markup, g_properties.system.use_kivtag);
    start.volume = synth_start_volume(&job.volume);
    start.text = text;
    *command = synth_start_command(start);
    return TRUE;
}

/* Sends the parked STOP responses whose SPEAK is finished, so that they precede a later SPEAK's answer. */
static void speak_send_ready_stops(synth_channel_t *channel)
{
    synth_speak_state_t *state = channel->speak_state;
    for (;;) {
        mrcp_message_t *response = NULL;
        {
            std::lock_guard<std::mutex> lock(state->mt);
            if (state->stops.empty() || (state->stops.front().job && !state->stops.front().job->task_done))
                return;
            response = state->stops.front().response;
            state->stops.pop_front();
            channel->paused = FALSE;
        }
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Stop speech synthesis - channel:%s", channel_id(channel));
        mrcp_engine_channel_message_send(channel->channel, response);
    }
}

static void speak_run(synth_channel_t *channel, const speak_job_ptr &job)
{
    synth_speak_state_t *state = channel->speak_state;
    mrcp_message_t *request = job->request;
    mrcp_message_t *response;
    {
        std::lock_guard<std::mutex> lock(state->mt);
        response = job->response;
        job->response = NULL;
        if (state->closing) {
            job->held = false;  /* the channel is going away: nothing more is owed to it */
            return;
        }
    }
    if (!response || !request) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get synth channel request/response message failed");
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }

    speak_send_ready_stops(channel);
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    add_synth_speech_marker_job(channel, job, response);
    mrcp_engine_channel_message_send(channel->channel, response);

    const mrcp_generic_header_t *generic = mrcp_generic_header_prepare(request);
    if (!generic) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get generic header failed !<%s>", channel_id(channel));
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }
    const apt_str_t *content_type = NULL;
    if (mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_TYPE))
        content_type = &generic->content_type;
    const synth_markup_e markup = synth_markup_get(content_type, job->version);
    if (markup == SYNTH_MARKUP_INVALID) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "parse Content-Type failed .<%s><%s>",
                apt_string_buffer_get(content_type), channel_id(channel));
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }
    /* The text lives in memory of this SPEAK only, so a long call does not grow with every prompt. */
    const std::string text = synth_body_text(&request->body);
    if (text.empty()) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "text length is invalid .<%s>", channel_id(channel));
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_PARSE_FAILURE);
        return;
    }
    std::string command;
    if (!speak_start_build(*job, markup, text, &command)) {
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }

    const std::string uri = g_properties.system.init_path ? g_properties.system.init_path : "";
    const int id = endpoint.connect(uri, channel);
    if (id == -1) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "get_connection error. %s", uri.c_str());
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }
    {
        /* Stored before anything is sent, so that the service's first reply finds its SPEAK. */
        std::lock_guard<std::mutex> lock(state->mt);
        job->ws_id = id;
        channel->ws_connection_id = id;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "get_connection %s, %d", uri.c_str(), id);
    const bool sent = endpoint.send_command(id, command);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "send command %s", command.c_str());
    if (!sent) {
        /* The service never got the START, so it would never answer: the SPEAK fails now. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "send START failed .<%s>", channel_id(channel));
        speak_close_connection(channel, job);
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "pelka_SessionStart success! [%x]<%s>", (unsigned)id, channel_id(channel));
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "pelka_SessionExec session_handle: [%x]", (unsigned)id);

    /* Every place that ends or stops this SPEAK, loses its connection or closes the channel notifies. */
    bool lost_only;
    {
        std::unique_lock<std::mutex> lock(state->mt);
        state->cv.wait(lock, [&] { return job->ended || job->lost || job->stopped || state->closing; });
        lost_only = job->lost && !job->ended && !job->stopped && !state->closing;
    }
    speak_close_connection(channel, job);
    if (lost_only) {
        speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        return;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[synth complete]<%s>", channel_id(channel));
    std::lock_guard<std::mutex> lock(state->mt);
    /* The end mark only for the SPEAK that still plays; a stopped one must complete nothing. */
    if (job == state->current && job->held && !job->stopped && !state->closing)
        mpf_buffer_event_write(channel->audio_buffer, MEDIA_FRAME_TYPE_EVENT);
}

apt_bool_t task_speak(apt_task_t *, apt_task_msg_t *msg)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into task_speak");
    const speak_msg_t *speak = (const speak_msg_t *)msg->data;
    synth_channel_t *channel = speak->channel;
    synth_speak_state_t *state = channel ? channel->speak_state : NULL;
    speak_job_ptr job;
    if (state) {
        std::lock_guard<std::mutex> lock(state->mt);
        if (!state->handed.empty()) {
            job = state->handed.front();
            state->handed.pop_front();
        }
    }
    if (!job) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get synth channel request/response message failed");
    } else {
        speak_task_done done(state, job);
        try {
            speak_run(channel, job);
        } catch (const std::exception &e) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "task_speak failed: %s", e.what());
            speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "task_speak failed");
            speak_abnormal(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
        }
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave task_speak");
    return TRUE;
}

void synth_speak_closing(synth_channel_t *channel)
{
    synth_speak_state_t *state = channel->speak_state;
    if (!state)
        return;
    std::lock_guard<std::mutex> lock(state->mt);
    state->closing = true;
    if (state->current) {
        state->current->stopped = true;
        state->current->held = false;
    }
    state->cv.notify_all();
}

/* The SPEAK that connection id serves, when it is the channel's current one and still takes input. */
static speak_job_ptr speak_job_of(synth_speak_state_t *state, int id)
{
    const speak_job_ptr &job = state->current;
    if (job && job->ws_id == id && !job->ended && !job->stopped && !state->closing)
        return job;
    return speak_job_ptr();
}

/*
 * Only whole 16-bit samples go into the buffer: the buffer plays what it holds frame by frame, and
 * half a sample left at its end would shift every later sample by one byte (noise). A message of odd
 * length leaves its last byte with the SPEAK, in front of the next message's bytes. Under the state lock.
 */
static void speak_audio_write(mpf_buffer_t *buffer, speak_job_t *job, const std::string &payload)
{
    const char *bytes = payload.data();
    apr_size_t size = payload.size();
    if (size == 0)
        return;
    if (job->odd_byte_held) {
        char sample[2] = {job->odd_byte, bytes[0]};
        mpf_buffer_audio_write(buffer, sample, sizeof(sample));
        job->odd_byte_held = false;
        ++bytes;
        --size;
    }
    if (size % 2 != 0) {
        job->odd_byte = bytes[size - 1];
        job->odd_byte_held = true;
        --size;
    }
    if (size > 0)
        mpf_buffer_audio_write(buffer, (void *)bytes, size);
}

/* Below this the buffer could run dry while a resumed connection's first bytes are on their way. */
static const apr_size_t SYNTH_MIN_AUDIO_BOUND = 16000;  /* one second at 8000 Hz */

apr_size_t synth_audio_bound(void)
{
    const apr_size_t bound = g_properties.system.max_audio_buffer_size;
    return bound < SYNTH_MIN_AUDIO_BOUND ? SYNTH_MIN_AUDIO_BOUND : bound;
}

void synth_audio_drained(synth_channel_t *channel, speak_job_t *job)
{
    if (!job->reading_paused || mpf_buffer_get_size(channel->audio_buffer) > synth_audio_bound() / 2)
        return;
    job->reading_paused = false;
    /* Under the state lock, so that a pause the message handler asks for next is not overtaken;
       it only posts to the connection's strand. Once the connection is closed there is nothing to resume. */
    if (job->ws_id != -1)
        endpoint.resume_reading(job->ws_id);
}

static void on_audio(synth_channel_t *channel, int id, const std::string &payload)
{
    {
        std::lock_guard<std::mutex> lock(channel->speak_state->mt);
        const speak_job_ptr job = speak_job_of(channel->speak_state, id);
        if (!job)
            return;  /* late audio of a stopped or finished SPEAK: it must not play */
        speak_audio_write(channel->audio_buffer, job.get(), payload);
        if (!job->reading_paused && mpf_buffer_get_size(channel->audio_buffer) > synth_audio_bound()) {
            /* Takes effect once this message is handled; the media thread resumes it. Under the
               state lock, like the resume, so that the two cannot cross. */
            job->reading_paused = true;
            endpoint.pause_reading(id);
        }
    }
    if (g_properties.save_wave.save_waveform) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "len <%d>", (int)payload.size());
        synth_channel_audio_file_write(channel, payload.data(), payload.size());
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[synth data]<%s>", channel_id(channel));
}

static void on_reply(synth_channel_t *channel, int id, const std::string &payload)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_message: enter, >>>recv: %s", payload.c_str());
    const synth_reply_t reply = synth_reply_parse(payload);
    if (reply.kind == SYNTH_REPLY_IGNORED || reply.kind == SYNTH_REPLY_START)
        return;
    if (reply.kind == SYNTH_REPLY_ERROR)
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_message: recognition error: %s",
                reply.error_code.c_str());
    speak_job_ptr job;
    {
        /* The end is recorded before any event goes out, so a SPEAK sent in reaction starts clean. */
        std::lock_guard<std::mutex> lock(channel->speak_state->mt);
        job = speak_job_of(channel->speak_state, id);
        if (job)
            job->ended = true;
        channel->speak_state->cv.notify_all();
    }
    if (job && reply.kind != SYNTH_REPLY_END_NORMAL)
        synth_speak_complete_job(channel, job, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
}

void ws_channel_on_message(ws_channel_t *channel, int id, message_ptr msg)
{
    if (!channel || !channel->speak_state || !msg)
        return;
    try {
        if (msg->get_opcode() == websocketpp::frame::opcode::binary)
            on_audio(channel, id, msg->get_payload());
        else if (msg->get_opcode() == websocketpp::frame::opcode::text)
            on_reply(channel, id, msg->get_payload());
    } catch (const std::exception &e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_message: %s", e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_message: unknown failure");
    }
}

void ws_channel_on_lost(ws_channel_t *channel, int id)
{
    if (!channel || !channel->speak_state)
        return;
    std::lock_guard<std::mutex> lock(channel->speak_state->mt);
    /* The speak task ends the SPEAK with an error once it wakes. */
    speak_job_ptr job = speak_job_of(channel->speak_state, id);
    if (job)
        job->lost = true;
    channel->speak_state->cv.notify_all();
}
