#include "synth_output.h"

#include <stdio.h>
#include <string.h>

#include "apt_log.h"
#include "mrcp_engine_impl.h"
#include "mrcp_synth_resource.h"
#include "mpf_buffer.h"
#include "ntp.h"
#include "synth_engine.h"
#include "synth_speak.h"
#include "synth_upsample.h"

apt_bool_t synth_stream_destroy(mpf_audio_stream_t *)
{
    return TRUE;
}

apt_bool_t synth_stream_open(mpf_audio_stream_t *, mpf_codec_t *)
{
    return TRUE;
}

apt_bool_t synth_stream_close(mpf_audio_stream_t *)
{
    return TRUE;
}

/* How many times faster than the service's 8000 Hz the stream plays. */
static unsigned stream_rate_factor(const mpf_audio_stream_t *stream)
{
    const mpf_codec_descriptor_t *descriptor = stream->rx_descriptor;
    if (!descriptor || descriptor->sampling_rate <= SYNTH_SERVICE_RATE)
        return 1;
    return descriptor->sampling_rate / SYNTH_SERVICE_RATE;
}

/*
 * Fills the frame from the buffer. On a stream faster than 8000 Hz the frame's time takes fewer
 * buffer bytes, which are raised to the stream's rate. Called with the state lock held.
 */
static void synth_frame_read(synth_channel_t *channel, synth_speak_state_t *state, unsigned factor,
                             mpf_frame_t *frame)
{
    if (factor <= 1) {
        mpf_buffer_frame_read(channel->audio_buffer, frame);
        return;
    }
    static const apr_size_t PIECE_SAMPLES = 480;
    apr_int16_t in[PIECE_SAMPLES];
    apr_int16_t out[PIECE_SAMPLES * 6];
    if (factor > 6)
        factor = 6;  /* 48000 Hz, the highest rate a stream can have */
    char *dst = (char *)frame->codec_frame.buffer;
    const apr_size_t out_samples = frame->codec_frame.size / sizeof(apr_int16_t);
    apr_size_t in_left = out_samples / factor;
    apr_size_t written = 0;
    while (in_left > 0) {
        const apr_size_t count = in_left < PIECE_SAMPLES ? in_left : PIECE_SAMPLES;
        mpf_frame_t piece = *frame;
        piece.codec_frame.buffer = in;
        piece.codec_frame.size = count * sizeof(apr_int16_t);
        mpf_buffer_frame_read(channel->audio_buffer, &piece);
        frame->type |= piece.type;
        synth_upsample(in, count, out, factor, &state->upsample_prev);
        memcpy(dst + written, out, count * factor * sizeof(apr_int16_t));
        written += count * factor * sizeof(apr_int16_t);
        in_left -= count;
        if (piece.type & MEDIA_FRAME_TYPE_EVENT)
            break;  /* the rest of the frame after the end mark stays silence */
    }
    if (written < frame->codec_frame.size)
        memset(dst + written, 0, frame->codec_frame.size - written);
}

apt_bool_t synth_stream_read(mpf_audio_stream_t *stream, mpf_frame_t *frame)
{
    synth_channel_t *channel = (synth_channel_t *)stream->obj;
    if (!channel || !channel->speak_state)
        return TRUE;
    synth_speak_state_t *state = channel->speak_state;
    mrcp_message_t *stop_response = NULL;
    speak_job_ptr finished;
    {
        std::lock_guard<std::mutex> lock(state->mt);
        if (!state->stops.empty()) {
            /* A stopped SPEAK is answered only once its speak task has closed the connection. */
            parked_stop_t &stop = state->stops.front();
            if (stop.job && !stop.job->task_done)
                return TRUE;
            stop_response = stop.response;
            state->stops.pop_front();
            channel->paused = FALSE;
        } else {
            const speak_job_ptr &job = state->current;
            if (!job || !job->held || job->stopped || channel->paused || !channel->opened)
                return TRUE;
            frame->type |= MEDIA_FRAME_TYPE_AUDIO;
            synth_frame_read(channel, state, stream_rate_factor(stream), frame);
            synth_audio_drained(channel, job.get());
            if (frame->type & MEDIA_FRAME_TYPE_EVENT) {
                frame->type &= ~MEDIA_FRAME_TYPE_EVENT;
                finished = job;
            }
        }
    }
    if (stop_response) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Stop speech synthesis - channel:%s",
                mrcp_engine_channel_id_get(channel->channel));
        mrcp_engine_channel_message_send(channel->channel, stop_response);
    }
    if (finished)
        synth_speak_complete_job(channel, finished, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
    return TRUE;
}

/* The marker itself, its text in the SPEAK's pool. */
static apt_bool_t speech_marker_add(mrcp_message_t *message, apr_pool_t *pool)
{
    mrcp_synth_header_t *header = (mrcp_synth_header_t *)mrcp_resource_header_prepare(message);
    if (!header)
        return FALSE;
    char text[64];
    snprintf(text, sizeof(text), "timestamp=%llu", (unsigned long long)get_time());
    apt_string_assign(&header->speech_marker, text, pool);
    mrcp_resource_header_property_add(message, SYNTHESIZER_HEADER_SPEECH_MARKER);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[add speech marker success]");
    return TRUE;
}

apt_bool_t add_synth_speech_marker_job(synth_channel_t *channel, const speak_job_ptr &job, mrcp_message_t *message)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into add_synth_speech_marker");
    apt_bool_t status = FALSE;
    if (channel && job && job->request && message)
        status = speech_marker_add(message, job->request->pool);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave add_synth_speech_marker");
    return status;
}

apt_bool_t synth_speak_complete_job(synth_channel_t *channel, const speak_job_ptr &job,
                                    mrcp_synth_completion_cause_e cause)
{
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "<%s>", mrcp_engine_channel_id_get(channel->channel));
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_speak_complete");
    synth_speak_state_t *state = channel->speak_state;
    /* Taken exactly once: a completion racing another completion or a STOP finds nothing to send. */
    bool taken = false;
    if (job) {
        std::lock_guard<std::mutex> lock(state->mt);
        taken = job->held;
        job->held = false;
    }
    if (!taken) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "recv STOP msg or channel closed!");
        return TRUE;
    }
    mrcp_message_t *request = job->request;
    mrcp_message_t *event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, request->pool);
    if (!event) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "mrcp event create error!");
        std::lock_guard<std::mutex> lock(state->mt);
        if (!job->stopped)
            job->held = true;
        return FALSE;
    }
    mrcp_synth_header_t *header = (mrcp_synth_header_t *)mrcp_resource_header_prepare(event);
    if (header) {
        header->completion_cause = cause;
        mrcp_resource_header_property_add(event, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into add_synth_speech_marker");
    speech_marker_add(event, request->pool);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave add_synth_speech_marker");
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    apt_bool_t status = mrcp_engine_channel_message_send(channel->channel, event);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_speak_complete");
    return status;
}

apt_bool_t is_silence(void *data, int len, short threshold)
{
    const char *bytes = (const char *)data;
    for (int i = 0; i + 1 < len; i += 2) {
        apr_int16_t sample;
        memcpy(&sample, bytes + i, sizeof(sample));
        if (sample < -threshold || sample > threshold)
            return FALSE;
    }
    return TRUE;
}
