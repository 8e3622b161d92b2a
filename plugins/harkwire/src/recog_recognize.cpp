/*
 * RECOGNIZE on the engine task: checks, language, header values, waveform,
 * grammar, service URI, connect, START and IN-PROGRESS. A grammar fetched over
 * the network and the connect each end in a message that goes on from there.
 */
#include <math.h>
#include <strings.h>

#include <exception>
#include <mutex>
#include <string>

#include <json/json.h>

#include "apt_log.h"
#include "mrcp_engine_impl.h"
#include "mrcp_recog_header.h"
#include "mrcp_recog_resource.h"
#include "recog_engine.h"
#include "recog_grammar.h"
#include "recog_header.h"
#include "recog_properties.h"
#include "recog_session.h"
#include "recog_waveform.h"
#include "websocket_endpoint.h"

namespace {

const char k_freetalk[] = "asr.cloud.freetalk";

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim_blanks(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

/* "buildin:" with blanks allowed anywhere in and after it; the name is the trimmed rest.
 * The body is read by its length, never up to a NUL. */
bool parse_buildin_reference(const std::string& body, std::string& name)
{
    static const char prefix[] = "buildin:";
    size_t matched = 0;
    size_t i = 0;
    for (; i < body.size() && prefix[matched]; ++i) {
        if (is_blank(body[i]))
            continue;
        if (body[i] != prefix[matched])
            return false;
        ++matched;
    }
    if (prefix[matched])
        return false;
    while (i < body.size() && is_blank(body[i]))
        ++i;
    if (i >= body.size())
        return false;
    name = trim_blanks(body.substr(i));
    return true;
}

void fail(mrcp_message_t* response, mrcp_status_code_e status, int cause)
{
    response->start_line.status_code = status;
    if (cause < 0)
        return;
    mrcp_recog_header_t* header = (mrcp_recog_header_t*)mrcp_resource_header_prepare(response);
    if (header) {
        header->completion_cause = (mrcp_recog_completion_cause_e)cause;
        mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    }
}

std::string str_of(const apt_str_t& s)
{
    return s.buf ? std::string(s.buf, s.length) : std::string();
}

/* How far recognize_prepare took the request. */
enum prepared_e {
    PREPARE_FAILED,     /* the response's status is set */
    PREPARE_BUILDIN,    /* a built-in grammar: nothing to parse */
    PREPARE_GRAMMAR,    /* the grammar under grammar_id is to be parsed */
    PREPARE_FETCHING    /* the grammar is being fetched: the request waits */
};

}  // namespace

/* The outcome of the grammar's load; FALSE with the response's status set. */
static bool recognize_loaded(mrcp_message_t* request, mrcp_message_t* response, int status)
{
    if (status == MRCP_STATUS_CODE_SUCCESS)
        return true;
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "recog_grammar_load failed " APT_SIDRES_FMT, MRCP_MESSAGE_SIDRES(request));
    fail(response, (mrcp_status_code_e)status, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
    return false;
}

/* Everything up to the parse of the grammar. */
static prepared_e recognize_prepare(recog_channel_t* recog_channel, mrcp_engine_channel_t* channel,
                                    mrcp_message_t* request, mrcp_message_t* response)
{
    recog_context_t* context = recog_channel->context;
    recog_session_t* session = recog_channel_session(recog_channel);

    mrcp_recog_header_t* response_header = (mrcp_recog_header_t*)mrcp_resource_header_prepare(response);
    mrcp_recog_header_t* request_header = (mrcp_recog_header_t*)mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic_header = mrcp_generic_header_get(request);
    if (!response_header || !request_header || !generic_header) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to read header " APT_SIDRES_FMT, MRCP_MESSAGE_SIDRES(request));
        fail(response, MRCP_STATUS_CODE_METHOD_FAILED, -1);
        return PREPARE_FAILED;
    }
    if (!mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_LENGTH) ||
        generic_header->content_length == 0) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR,
                "failed to get content length or content length is invalid " APT_SIDRES_FMT,
                MRCP_MESSAGE_SIDRES(request));
        fail(response, MRCP_STATUS_CODE_METHOD_FAILED, -1);
        return PREPARE_FAILED;
    }
    const mpf_codec_descriptor_t* codec = mrcp_engine_sink_stream_codec_get(channel);
    if (!codec) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to get codec descriptor " APT_SIDRES_FMT,
                MRCP_MESSAGE_SIDRES(request));
        fail(response, MRCP_STATUS_CODE_METHOD_FAILED, -1);
        return PREPARE_FAILED;
    }

    if (mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_START_INPUT_TIMERS))
        recog_channel->mrcp_recog_header.start_input_timers = request_header->start_input_timers;

    std::string code = str_of(recog_channel->mrcp_recog_header.speech_language);
    if (mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_SPEECH_LANGUAGE))
        code = str_of(request_header->speech_language);
    const char* language = get_language_by_mask(code.c_str());
    if (language) {
        context->language = language;
    } else {
        apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "invaild language<%s> " APT_SIDRES_FMT, code.c_str(),
                MRCP_MESSAGE_SIDRES(request));
        context->language = "chinese";
    }

    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "content_type:%s", apt_string_buffer_get(&generic_header->content_type));
    if (!mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_TYPE) ||
        apt_string_is_empty(&generic_header->content_type)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "missing content-type " APT_SIDRES_FMT, MRCP_MESSAGE_SIDRES(request));
        fail(response, MRCP_STATUS_CODE_MISSING_PARAM, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        return PREPARE_FAILED;
    }
    std::string content_type = str_of(generic_header->content_type);

    if (recog_set_param(recog_channel, request, response) == 0) {
        fail(response, MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE, RECOGNIZER_COMPLETION_CAUSE_ERROR);
        return PREPARE_FAILED;
    }

    recog_waveform_open(recog_channel);

    {
        /* A 16 kHz stream goes up filtered to the 8 kHz that START declares. */
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        session->downsample = codec->sampling_rate == 16000;
        session->downsampler.reset();
    }

    if (request->body.length > GRAMMAR_MAX_SIZE) {
        /* Refused before any copy of it is made. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "grammar larger than %lu bytes " APT_SIDRES_FMT,
                (unsigned long)GRAMMAR_MAX_SIZE, MRCP_MESSAGE_SIDRES(request));
        fail(response, MRCP_STATUS_CODE_METHOD_FAILED, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        return PREPARE_FAILED;
    }
    std::string body = str_of(request->body);
    std::string buildin_name;
    if (parse_buildin_reference(body, buildin_name)) {
        context->capability = k_freetalk;
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "use buildin grammar <%s:%s> " APT_SIDRES_FMT, context->capability,
                log_excerpt(buildin_name).c_str(), MRCP_MESSAGE_SIDRES(request));
        return PREPARE_BUILDIN;
    }

    size_t session_pos = body.find("session:");
    if (session_pos != std::string::npos) {
        std::string id = trim_blanks(body.substr(session_pos + 8));
        if (id.size() >= 2 && id[0] == '<' && id[id.size() - 1] == '>')
            id = id.substr(1, id.size() - 2);
        if (!context->grammars.find(id)) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "can't find grammar<%s> " APT_SIDRES_FMT, log_excerpt(id).c_str(),
                    MRCP_MESSAGE_SIDRES(request));
            fail(response, MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
            return PREPARE_FAILED;
        }
        context->grammar_id = id;
    } else {
        std::string id;
        bool uri_list = strcasecmp(content_type.c_str(), "text/uri-list") == 0;
        if (!mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_ID)) {
            if (!uri_list) {
                apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Missing Content-Id " APT_SIDRES_FMT,
                        MRCP_MESSAGE_SIDRES(request));
                fail(response, MRCP_STATUS_CODE_MISSING_PARAM, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
                return PREPARE_FAILED;
            }
            id = body;
        } else {
            std::string content_id = str_of(generic_header->content_id);
            get_content_id(content_id.c_str(), id);
        }
        apr_size_t fetch_timeout = 0;
        if (mrcp_engine_channel_version_get(channel) == MRCP_VERSION_2 &&
            mrcp_generic_header_property_check(request, GENERIC_HEADER_FETCH_TIMEOUT))
            fetch_timeout = generic_header->fetch_timeout;
        grammar_fetch_request fetch;
        int status = recog_grammar_load(recog_channel, id.c_str(), content_type.c_str(), &request->body,
                                        fetch_timeout, channel->pool, &fetch);
        if (status == GRAMMAR_LOAD_FETCH)
            status = recog_fetch_start(recog_channel, request, response, fetch);
        if (status == GRAMMAR_LOAD_FETCH)
            return PREPARE_FETCHING;
        if (!recognize_loaded(request, response, status))
            return PREPARE_FAILED;
    }
    return PREPARE_GRAMMAR;
}

/* The parse of the current grammar and the capability it asks for; FALSE with the response's
 * status set. */
static apt_bool_t recognize_parse(recog_channel_t* recog_channel, mrcp_message_t* response)
{
    recog_context_t* context = recog_channel->context;
    recog_session_t* session = recog_channel_session(recog_channel);
    const std::string* grammar = context->grammars.find(context->grammar_id);
    if (!context->doc.parse_rule(grammar ? grammar->c_str() : "")) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "parser grammar failed:%s", context->doc.last_error_.c_str());
        fail(response, MRCP_STATUS_CODE_METHOD_FAILED, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        return FALSE;
    }
    {
        /* The close-time append follows the last parsed document. */
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        session->snapshot.need_qa = context->doc.need_qa_;
        session->snapshot.user_id = context->doc.user_id_;
    }

    if (context->doc.mode_ == 1) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "result_byte: %ld", g_properties.result_byte);
        context->doc.result_byte_ = g_properties.result_byte;
    }
    {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        recog_channel->stop_response_asynchronous = g_properties.stop_response_asynchronous;
    }
    unsigned mask = context->doc.capability_mask_;
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "grammar_type=%d", (int)mask);
    if (mask == 1 || mask == 2 || mask == 4 || mask == 16) {
        context->capability = k_freetalk;
    } else if (context->doc.mode_ != 1 && mask != 8) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "analysis is not support discontinuous");
        fail(response, MRCP_STATUS_CODE_METHOD_FAILED, RECOGNIZER_COMPLETION_CAUSE_ERROR);
        return FALSE;
    }
    return TRUE;
}

/* The channel's close has begun on the server thread, or the engine task has ended: a RECOGNIZE
 * taken from the queue then starts no fetch and no connect (the service would see a connect given
 * up at once), and is answered as a connect that failed. */
static bool recognize_too_late(recog_channel_t* recog_channel, mrcp_message_t* request, mrcp_message_t* response)
{
    bool closed;
    {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        closed = recog_channel_session(recog_channel)->closed;
    }
    if (!closed && !recog_channel->recog_engine->ending)
        return false;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "RECOGNIZE not started: %s <%s> closes " APT_SIDRES_FMT,
            closed ? "channel" : "the engine of channel", mrcp_engine_channel_id_get(recog_channel->channel),
            MRCP_MESSAGE_SIDRES(request));
    fail(response, MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    return true;
}

/* The service URI and the connect; TRUE when the connect has started and the request waits for
 * it, FALSE with the response's status set. */
static apt_bool_t recognize_connect(recog_channel_t* recog_channel, mrcp_message_t* request,
                                    mrcp_message_t* response)
{
    /* Also after a grammar fetch, which may end after the close began. */
    if (recognize_too_late(recog_channel, request, response))
        return FALSE;
    bool continuous = recog_channel->context->doc.mode_ == 1;
    if (!g_properties.init_path || !*g_properties.init_path) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "init-path is not configured, cannot reach the service " APT_SIDRES_FMT,
                MRCP_MESSAGE_SIDRES(request));
        fail(response, MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE, RECOGNIZER_COMPLETION_CAUSE_ERROR);
        return FALSE;
    }
    std::string uri = construct_uri(g_properties.init_path, continuous);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "ws(wss) uri=%s", uri.c_str());

    /* The engine task does not wait for the open: the outcome comes back as a message, and the
     * channel's later messages wait for it in 'pending'. */
    recog_engine_t* engine = recog_channel->recog_engine;
    unsigned long serial = recog_channel->serial;
    int id = endpoint.connect_async(uri, NULL, [engine, serial](int connection_id, bool opened) {
        recog_msg_connected(engine, serial, connection_id, opened);
    });
    if (id == -1) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get_connection error! ");
        fail(response, MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE, RECOGNIZER_COMPLETION_CAUSE_ERROR);
        return FALSE;
    }
    recog_pending_t& pending = recog_channel->pending;
    pending.connection_id = id;
    pending.request = request;
    pending.response = response;
    return TRUE;
}

static apt_bool_t recognize(recog_channel_t* recog_channel, mrcp_engine_channel_t* channel,
                            mrcp_message_t* request, mrcp_message_t* response)
{
    if (recognize_too_late(recog_channel, request, response))
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(recog_channel->guard);
        if (recog_channel->recog_request) {
            /* Replacing it would leak its connection and leave its request open. */
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING,
                    "RECOGNIZE refused: a recognition is in progress on channel <%s> " APT_SIDRES_FMT,
                    mrcp_engine_channel_id_get(channel), MRCP_MESSAGE_SIDRES(request));
            response->start_line.status_code = MRCP_STATUS_CODE_METHOD_NOT_VALID;
            return FALSE;
        }
        recog_channel->first_frame_logged = FALSE;
    }

    switch (recognize_prepare(recog_channel, channel, request, response)) {
    case PREPARE_FAILED:
        return FALSE;
    case PREPARE_FETCHING:
        return TRUE;
    case PREPARE_GRAMMAR:
        if (!recognize_parse(recog_channel, response))
            return FALSE;
        break;
    case PREPARE_BUILDIN:
        break;
    }
    return recognize_connect(recog_channel, request, response);
}

/* The pending RECOGNIZE without its connection: 421 with cause 6. */
static void connect_failed(recog_channel_t* recog_channel, mrcp_message_t* response)
{
    fail(response, MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    mrcp_engine_channel_message_send(recog_channel->channel, response);
}

void recog_channel_connected(recog_channel_t* recog_channel, int id, bool opened)
{
    recog_context_t* context = recog_channel->context;
    recog_session_t* session = recog_channel_session(recog_channel);
    mrcp_engine_channel_t* channel = recog_channel->channel;
    recog_pending_t& pending = recog_channel->pending;
    mrcp_message_t* request = pending.request;
    mrcp_message_t* response = pending.response;
    pending.connection_id = -1;
    pending.request = NULL;
    pending.response = NULL;
    if (!opened) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get_connection error! ");
        connect_failed(recog_channel, response);
        return;
    }

    const mrcp_recog_header_t* values = &recog_channel->mrcp_recog_header;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "vad head[%d ms] vad tail[%d ms] max seconds[%d s] vad threshold[%d]",
            (int)values->no_input_timeout, (int)values->speech_complete_timeout,
            (int)values->recognition_timeout / 1000, (int)(values->sensitivity_level * 100));

    recog_start_timing_t timing = recog_start_timing_from_header(values);
    if (g_properties.param_priority == 1) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "reset params from config file");
        timing = recog_start_timing_from_header(&g_properties.params);
        timing.vad_head = true;
    }
    if (context->doc.has_params_) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "reset params from mrcp grammar file");
        timing = recog_start_timing_from_rule(context->doc);
    }
    std::string start = build_start_command(context->language, context->doc.domain_, timing,
                                            g_properties.vocabulary);

    /* The connection gets its channel before the lock is taken (its handlers take the lock while
     * holding the record's): until ws_connection_id names it, the handlers ignore it. Then record
     * the recognition, send START and IN-PROGRESS under the lock: a reply, however fast, is
     * handled after IN-PROGRESS and finds the request; audio follows START. A channel close on
     * the server thread either came before (then the connection is closed here) or finds the id
     * and ends it. */
    bool attached = endpoint.attach(id, recog_channel);
    std::unique_lock<std::mutex> lock(recog_channel->guard);
    if (session->closed || !attached) {
        lock.unlock();
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "get_connection error! ");
        endpoint.close(id, 1001, "");
        connect_failed(recog_channel, response);
        return;
    }
    recog_channel->ws_connection_id = id;
    recog_channel->recog_request = request;
    session->snapshot.grammar_id = context->grammar_id;
    session->snapshot.capability = context->capability;
    session->snapshot.document = context->doc;
    bool sent = endpoint.send_command(id, start);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, " [signal]");
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "Send signal to start speech synthesis - channel:%s",
            mrcp_engine_channel_id_get(channel));
    response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
    mrcp_engine_channel_message_send(channel, response);
    if (!sent) {
        /* A START that never left would leave the request open for ever. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "START could not be sent <%s>", mrcp_engine_channel_id_get(channel));
        if (recog_channel->ws_connection_id == id) {
            recog_channel->ws_connection_id = -1;
            recog_recognition_complete(recog_channel, RECOGNIZER_COMPLETION_CAUSE_ERROR);
        }
        lock.unlock();
        endpoint.close(id, 1001, "");
    }
}

void recog_channel_connect_abandon(recog_channel_t* recog_channel)
{
    recog_pending_t& pending = recog_channel->pending;
    if (pending.connection_id == -1)
        return;
    int id = pending.connection_id;
    mrcp_message_t* response = pending.response;
    pending.connection_id = -1;
    pending.request = NULL;
    pending.response = NULL;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "connect given up: channel <%s> closes",
            mrcp_engine_channel_id_get(recog_channel->channel));
    /* Still opening: the attempt is cancelled, and closed should it open after all. */
    endpoint.close(id, 1001, "");
    connect_failed(recog_channel, response);
}

/* Runs one step of a RECOGNIZE; an exception fails the request with 407 and a log record. */
template <typename Step>
static apt_bool_t recognize_guarded(mrcp_message_t* request, mrcp_message_t* response, Step step)
{
    try {
        return step();
    } catch (const std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RECOGNIZE failed: %s " APT_SIDRES_FMT, e.what(),
                MRCP_MESSAGE_SIDRES(request));
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RECOGNIZE failed " APT_SIDRES_FMT, MRCP_MESSAGE_SIDRES(request));
    }
    response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
    return FALSE;
}

apt_bool_t recog_channel_recognize(mrcp_engine_channel_t* channel, mrcp_message_t* request,
                                   mrcp_message_t* response)
{
    recog_channel_t* recog_channel = (recog_channel_t*)channel->method_obj;
    return recognize_guarded(request, response,
                             [&] { return recognize(recog_channel, channel, request, response); });
}

apt_bool_t recog_channel_recognize_fetched(mrcp_engine_channel_t* channel, mrcp_message_t* request,
                                           mrcp_message_t* response, int status)
{
    recog_channel_t* recog_channel = (recog_channel_t*)channel->method_obj;
    return recognize_guarded(request, response, [&]() -> apt_bool_t {
        if (!recognize_loaded(request, response, status) || !recognize_parse(recog_channel, response))
            return FALSE;
        return recognize_connect(recog_channel, request, response);
    });
}
