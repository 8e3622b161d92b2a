/*
 * Stand-ins for the request handling, the speak task and the audio output
 * until they are built: every request of an open channel is answered with its
 * plain response (200, COMPLETE), the speak task gets no SPEAK, the stream
 * leaves every frame as the server passes it, and received audio goes only
 * to the waveform file and the audio buffer. This file leaves the source list
 * when the real ones join it.
 */
#include "synth_engine.h"

#include <string>

#include "apt_log.h"
#include "websocket_endpoint.h"

void synth_request_dispatch(mrcp_engine_channel_t *channel, mrcp_message_t *request)
{
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "SYNTH_MSG_REQUEST_PROCESS is open:%d", channel->is_open);
    if (!channel->is_open) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "SYNTH_MSG_REQUEST_PROCESS is closed!");
        return;
    }
    mrcp_message_t *response = mrcp_response_create(request, request->pool);
    if (!response) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "create response failed!");
        return;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "%d", (int)request->start_line.method_id);
    mrcp_engine_channel_message_send(channel, response);
}

apt_bool_t task_speak(apt_task_t *, apt_task_msg_t *)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into task_speak");
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave task_speak");
    return TRUE;
}

apt_bool_t synth_speak_state_create(synth_channel_t *, apr_pool_t *)
{
    return TRUE;
}

void synth_speak_closing(synth_channel_t *)
{
}

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

apt_bool_t synth_stream_read(mpf_audio_stream_t *, mpf_frame_t *)
{
    return TRUE;
}

void ws_channel_on_message(ws_channel_t *channel, int, message_ptr msg)
{
    if (!channel || !msg)
        return;
    const std::string &payload = msg->get_payload();
    if (msg->get_opcode() == websocketpp::frame::opcode::binary) {
        synth_channel_audio_file_write(channel, payload.data(), payload.size());
        mpf_buffer_audio_write(channel->audio_buffer, (void *)payload.data(), payload.size());
    } else if (msg->get_opcode() == websocketpp::frame::opcode::text) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_message: enter, >>>recv: %s", payload.c_str());
    }
}

void ws_channel_on_lost(ws_channel_t *, int id)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_lost: connection %d", id);
}
