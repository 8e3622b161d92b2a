/*
 * The running recognition: replies on the endpoint's I/O threads, frames on the
 * media thread, STOP and GET-RESULT on the engine task, and the close steps.
 */
#include "recog_session.h"

#include <exception>
#include <mutex>
#include <string>

#include <json/json.h>

#include "apt_log.h"
#include "mrcp_engine_impl.h"
#include "mrcp_recog_header.h"
#include "mrcp_recog_resource.h"
#include "recog_engine.h"
#include "recog_waveform.h"
#include "websocket_endpoint.h"

namespace {

const char k_nlsml_type[] = "application/nlsml+xml";

const char* channel_id(recog_channel_t* recog_channel)
{
    return mrcp_engine_channel_id_get(recog_channel->channel);
}

/* Takes the channel's connection away from it; the caller holds the guard. Afterwards no
 * frame goes out on it and its replies are dropped. */
int take_connection_locked(recog_channel_t* recog_channel)
{
    int id = recog_channel->ws_connection_id;
    recog_channel->ws_connection_id = -1;
    return id;
}

/* END, then the close with 'code'. Called WITHOUT the guard: close waits for a reply handler
 * that may be waiting for the guard. */
void end_connection(int id, unsigned short code)
{
    if (id == -1)
        return;
    endpoint.send_command(id, build_end_command());
    endpoint.close(id, code, "");
}

/* Sends a parked STOP response now; the caller holds the guard. */
void flush_stop_response_locked(recog_channel_t* recog_channel)
{
    mrcp_message_t* response = recog_channel->stop_response;
    if (!response)
        return;
    recog_channel->stop_response = NULL;
    if (!recog_channel->stop_response_sent) {
        recog_channel->stop_response_sent = TRUE;
        mrcp_engine_channel_message_send(recog_channel->channel, response);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[STOP]");
    }
}

void start_of_input_locked(recog_channel_t* recog_channel)
{
    mrcp_message_t* request = recog_channel->recog_request;
    if (!request) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[recv STOP msg or channel closed]");
        return;
    }
    mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_START_OF_INPUT, request->pool);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    if (!event)
        return;
    event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    mrcp_engine_channel_message_send(recog_channel->channel, event);
}

void set_completion_cause(mrcp_message_t* message, mrcp_recog_completion_cause_e cause)
{
    mrcp_recog_header_t* header = (mrcp_recog_header_t*)mrcp_resource_header_prepare(message);
    if (!header)
        return;
    header->completion_cause = cause;
    mrcp_resource_header_property_add(message, RECOGNIZER_HEADER_COMPLETION_CAUSE);
}

void result_locked(recog_channel_t* recog_channel, const std::string& payload)
{
    recog_session_t* session = recog_channel_session(recog_channel);
    recog_snapshot_t& snapshot = session->snapshot;
    nlsml& generator = recog_channel->context->generator;
    bool voice = snapshot.document.mode_ != 1;
    /* A voice-mode recognition delivers the first segment alone: only its document is built,
     * however many segments the reply holds. */
    bool ok = generator.generate_result(channel_id(recog_channel), payload, snapshot.capability,
                                        &snapshot.document, snapshot.grammar_id.c_str(), voice);
    if (!ok || generator.results.empty()) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "parse recog result failed <%s>", channel_id(recog_channel));
        if (voice && snapshot.document.capability_mask_ != 8)
            recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_ERROR);
        return;
    }
    if (voice) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "recognition complete success <%s>", channel_id(recog_channel));
        recog_channel->last_result = generator.results.front();
        recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
        return;
    }
    for (const std::string& document : generator.results) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "interpretation complete success <%s>", channel_id(recog_channel));
        recog_channel->last_result = document;
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
        mrcp_message_t* request = recog_channel->recog_request;
        if (!request) {
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[recv STOP msg or channel closed]");
            continue;
        }
        mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_INTERPRETATION_COMPLETE, request->pool);
        if (!event)
            continue;
        set_completion_cause(event, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
        event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
        recog_result_load(recog_channel, event);
        mrcp_engine_channel_message_send(recog_channel->channel, event);
    }
}

/* A member as log text: strings as they are, anything else in compact JSON. */
std::string member_text(const Json::Value& root, const char* name)
{
    const Json::Value& value = root[name];
    if (value.isNull())
        return std::string();
    if (value.isString())
        return value.asString();
    Json::FastWriter writer;
    std::string text = writer.write(value);
    if (!text.empty() && text[text.size() - 1] == '\n')
        text.erase(text.size() - 1);
    return text;
}

void reply_locked(recog_channel_t* recog_channel, const std::string& payload)
{
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(payload, root, false) || !root.isObject())
        return;
    if (!root["resp_type"].isString() || !root["trace_id"].isString())
        return;
    std::string type = root["resp_type"].asString();
    if (type == "EVENT") {
        const Json::Value& event_value = root["event"];
        if (!event_value.isString())
            return;
        std::string event = event_value.asString();
        if (event == "VOICE_START") {
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_message: detected voice <%s>",
                    channel_id(recog_channel));
            start_of_input_locked(recog_channel);
        } else if (event == "VOICE_END") {
        } else if (event == "EXCEEDED_SILENCE") {
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "wss_connect.on_message: no voice input");
            recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT);
        } else if (event == "EXCEEDED_AUDIO") {
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "wss_connect.on_message: recognition timeout");
            recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_RECOGNITION_TIMEOUT);
        } else {
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "wss_connect.on_message: %s not supported, discard",
                    event.c_str());
        }
    } else if (type == "RESULT") {
        result_locked(recog_channel, payload);
    } else if (type == "ERROR" || type == "FATAL_ERROR") {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_message: recognition error: %s",
                member_text(root, "error_code").c_str());
        recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    }
    /* "START", "END" (its "reason" is not acted on) and anything else: nothing. */
}

}  // namespace

recog_session_t* recog_channel_session(recog_channel_t* recog_channel)
{
    return &recog_channel->context->session;
}

apt_bool_t recog_result_load(recog_channel_t* recog_channel, mrcp_message_t* message)
{
    const std::string& result = recog_channel->last_result;
    apt_string_assign_n(&message->body, result.data(), result.size(), message->pool);
    mrcp_generic_header_t* header = mrcp_generic_header_prepare(message);
    if (!header)
        return TRUE;
    apt_string_assign_n(&header->content_type, k_nlsml_type, sizeof(k_nlsml_type) - 1, message->pool);
    mrcp_generic_header_property_add(message, GENERIC_HEADER_CONTENT_TYPE);
    return TRUE;
}

apt_bool_t recog_recognition_complete(recog_channel_t* recog_channel, mrcp_recog_completion_cause_e cause)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    if (recog_channel->ws_connection_id != -1) {
        int id = recog_channel->ws_connection_id;
        recog_channel->ws_connection_id = -1;
        endpoint.close(id, 1001, "");
    }
    mrcp_message_t* request = recog_channel->recog_request;
    if (!request) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[recv STOP msg or channel closed]");
        return TRUE;
    }
    mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, request->pool);
    if (!event)
        return FALSE;
    set_completion_cause(event, cause);
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    if (cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS)
        recog_result_load(recog_channel, event);
    recog_channel->recog_request = NULL;
    return mrcp_engine_channel_message_send(recog_channel->channel, event);
}

void recog_session_on_reply(recog_channel_t* recog_channel, int connection_id, const std::string& payload)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_message: enter, >>>recv: %s", payload.c_str());
    try {
        if (!recog_channel)
            return;
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        /* Only the connection of the running recognition may steer it: a late reply of an
         * earlier connection must not complete the next recognition. */
        if (recog_channel_session(recog_channel)->closed || connection_id <= 0 ||
            connection_id != recog_channel->ws_connection_id) {
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[recv STOP msg or channel closed]");
            return;
        }
        reply_locked(recog_channel, payload);
    } catch (const std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "wss_connect.on_message: reply dropped: %s", e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "wss_connect.on_message: reply dropped");
    }
}

void recog_session_on_lost(recog_channel_t* recog_channel, int connection_id)
{
    try {
        if (!recog_channel)
            return;
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        if (recog_channel_session(recog_channel)->closed || connection_id <= 0 || connection_id != recog_channel->ws_connection_id)
            return;
        /* The service went away mid-recognition: the client must still hear the end. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "connection %d lost during recognition <%s>", connection_id,
                channel_id(recog_channel));
        recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "lost connection handling failed");
    }
}

apt_bool_t recog_channel_stop(recog_channel_t* recog_channel, mrcp_message_t* response)
{
    int id;
    {
        /* STOP ends the recognition here, not at the next frame: a RECOGNIZE that follows at
         * once must find the channel idle, and its own request must survive that frame. */
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        id = take_connection_locked(recog_channel);
        recog_channel->recog_request = NULL;
    }
    end_connection(id, 1001);

    std::lock_guard<std::mutex> lock(recog_channel->guard);
    flush_stop_response_locked(recog_channel);
    recog_channel->stop_response = response;
    recog_channel->stop_response_sent = FALSE;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    /* No frames flow, so none would deliver it. */
    if (!recog_channel_session(recog_channel)->stream_open)
        flush_stop_response_locked(recog_channel);
    return TRUE;
}

apt_bool_t recog_channel_get_result(recog_channel_t* recog_channel, mrcp_message_t* response)
{
    std::lock_guard<std::mutex> lock(recog_channel->guard);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    if (recog_channel->last_result.empty()) {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "not found result!");
        response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
        return FALSE;
    }
    return recog_result_load(recog_channel, response);
}

void recog_session_channel_close(recog_channel_t* recog_channel)
{
    int id;
    {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        recog_channel_session(recog_channel)->closed = true;
        id = take_connection_locked(recog_channel);
        recog_channel->recog_request = NULL;
    }
    /* Once closed, the endpoint's handlers no longer reach this channel. */
    end_connection(id, 1001);
    recog_waveform_finish(recog_channel);
}

void recog_session_engine_close(recog_channel_t* recog_channel)
{
    int id;
    {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        recog_channel_session(recog_channel)->closed = true;
        recog_waveform_close_locked(recog_channel);
        id = take_connection_locked(recog_channel);
        recog_channel->recog_request = NULL;
        flush_stop_response_locked(recog_channel);
    }
    end_connection(id, 1000);
}

apt_bool_t recog_stream_destroy(mpf_audio_stream_t* stream)
{
    (void)stream;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    return TRUE;
}

apt_bool_t recog_stream_open(mpf_audio_stream_t* stream, mpf_codec_t* codec)
{
    (void)codec;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    recog_channel_t* recog_channel = (recog_channel_t*)stream->obj;
    try {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        recog_channel_session(recog_channel)->stream_open = true;
    } catch (...) {
    }
    return TRUE;
}

apt_bool_t recog_stream_close(mpf_audio_stream_t* stream)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    recog_channel_t* recog_channel = (recog_channel_t*)stream->obj;
    try {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        recog_channel_session(recog_channel)->stream_open = false;
        /* The last chance for a parked STOP response to leave from the media side. */
        flush_stop_response_locked(recog_channel);
    } catch (...) {
    }
    return TRUE;
}

apt_bool_t recog_stream_write(mpf_audio_stream_t* stream, const mpf_frame_t* frame)
{
    recog_channel_t* recog_channel = (recog_channel_t*)stream->obj;
    try {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        const void* bytes = frame->codec_frame.buffer;
        apr_size_t size = frame->codec_frame.size;
        if (!recog_channel->first_frame_logged) {
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "recog stream write, channel id <%s>, frame codec_frame size <%d>",
                    channel_id(recog_channel), (int)size);
            recog_channel->first_frame_logged = TRUE;
        }
        if (recog_channel->stop_response) {
            mrcp_message_t* response = recog_channel->stop_response;
            if (!recog_channel->stop_response_asynchronous) {
                if (!recog_channel->stop_response_sent) {
                    mrcp_engine_channel_message_send(recog_channel->channel, response);
                    recog_channel->stop_response_sent = TRUE;
                    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[STOP]");
                }
            } else {
                mrcp_engine_channel_message_send(recog_channel->channel, response);
                recog_channel->stop_response_sent = TRUE;
                apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[STOP] send asynchronous response to STOP request");
            }
            recog_channel->stop_response = NULL;
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "[STOP] and recog_running == FALSE");
            return TRUE;
        }
        recog_session_t* session = recog_channel_session(recog_channel);
        if (session->closed || !recog_channel->recog_request || recog_channel->ws_connection_id <= 0 ||
            !bytes || is_zero(bytes, (int)size))
            return TRUE;
        std::string& data = session->frame;
        data.clear();
        if (session->downsample)
            session->downsampler.process((const int16_t*)bytes, size / 2, data);
        else
            data.assign((const char*)bytes, size);
        if (data.empty())
            return TRUE;
        recog_waveform_write_locked(recog_channel, data.data(), data.size());
        endpoint.send_data(recog_channel->ws_connection_id, data);
    } catch (...) {
        /* Nothing may escape to the media thread. */
    }
    return TRUE;
}
