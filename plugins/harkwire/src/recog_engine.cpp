/*
 * harkwire's recognizer engine: the engine and its task "Recog Engine", the
 * channels, and the engine task's dispatch of every recognizer method.
 *
 * Channel operations return at once: open, close and every request are posted
 * to the engine task, which answers them through the channel's event table.
 * The engine task never waits for the network: a RECOGNIZE starts the connect,
 * a grammar given by an http or https URI is fetched on a thread of its own, and
 * the outcome comes back as a message; meanwhile that channel's later messages
 * are held and handled in order afterwards, while every other channel goes on.
 * Nothing thrown inside leaves through a method table: each entry point
 * catches, logs and answers with a failure.
 */
#include "recog_engine.h"

#include <stdint.h>
#include <strings.h>

#include <exception>
#include <new>
#include <string>

#include <apr_file_info.h>

#include "apt_log.h"
#include "mrcp_engine_impl.h"
#include "mrcp_recog_engine.h"
#include "recog_grammar.h"
#include "recog_header.h"
#include "recog_properties.h"
#include "recog_session.h"
#include "token_wrapper.h"
#include "websocket_endpoint.h"

static apt_bool_t recog_engine_destroy(mrcp_engine_t* engine);
static apt_bool_t recog_engine_open(mrcp_engine_t* engine);
static apt_bool_t recog_engine_close(mrcp_engine_t* engine);
static mrcp_engine_channel_t* recog_engine_channel_create(mrcp_engine_t* engine, apr_pool_t* pool);

static const mrcp_engine_method_vtable_t engine_vtable = {
    recog_engine_destroy,
    recog_engine_open,
    recog_engine_close,
    recog_engine_channel_create,
};

static apt_bool_t recog_channel_destroy(mrcp_engine_channel_t* channel);
static apt_bool_t recog_channel_open(mrcp_engine_channel_t* channel);
static apt_bool_t recog_channel_close(mrcp_engine_channel_t* channel);
static apt_bool_t recog_channel_request_process(mrcp_engine_channel_t* channel, mrcp_message_t* request);

static const mrcp_engine_channel_method_vtable_t channel_vtable = {
    recog_channel_destroy,
    recog_channel_open,
    recog_channel_close,
    recog_channel_request_process,
};

/* A sink: the media engine writes the caller's audio to it. */
static const mpf_audio_stream_vtable_t audio_stream_vtable = {
    recog_stream_destroy,
    NULL,
    NULL,
    NULL,
    recog_stream_open,
    recog_stream_close,
    recog_stream_write,
    NULL,
};

/* A missing text prints as the server's logger prints one. */
static const char* log_text(const char* text)
{
    return text ? text : "(null)";
}

static void log_exception(const char* where)
{
    try {
        throw;
    } catch (const std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "%s failed: %s", where, e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "%s failed", where);
    }
}

/* ---- The channel registry ---- */

unsigned long recog_channel_registry::add(recog_channel_t* channel)
{
    std::lock_guard<std::mutex> lock(mutex);
    live[++last] = channel;
    return last;
}

recog_channel_t* recog_channel_registry::enter(unsigned long serial)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::map<unsigned long, recog_channel_t*>::iterator it = live.find(serial);
    if (it == live.end())
        return NULL;
    busy = serial;
    return it->second;
}

void recog_channel_registry::leave()
{
    std::lock_guard<std::mutex> lock(mutex);
    busy = 0;
    cv.notify_all();
}

void recog_channel_registry::remove(unsigned long serial)
{
    std::unique_lock<std::mutex> lock(mutex);
    live.erase(serial);
    cv.wait(lock, [this, serial] { return busy != serial; });
}

std::vector<unsigned long> recog_channel_registry::serials()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<unsigned long> all;
    for (std::map<unsigned long, recog_channel_t*>::value_type& entry : live)
        all.push_back(entry.first);
    return all;
}

/* ---- Engine ---- */

static void recog_engine_on_post_run(apt_task_t* task);

mrcp_engine_t* recog_engine_create(apr_pool_t* pool)
{
    recog_engine_t* recog_engine = (recog_engine_t*)apr_palloc(pool, sizeof(recog_engine_t));
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    recog_engine->channels = new (std::nothrow) recog_channel_registry();
    recog_engine->fetches = new (std::nothrow) recog_fetches();
    recog_engine->ending = false;
    if (!recog_engine->channels || !recog_engine->fetches)
        return NULL;

    apt_task_msg_pool_t* msg_pool = apt_task_msg_pool_create_dynamic(sizeof(recog_msg_t), pool);
    recog_engine->task = apt_consumer_task_create(recog_engine, msg_pool, pool);
    if (!recog_engine->task)
        return NULL;
    apt_task_t* task = apt_consumer_task_base_get(recog_engine->task);
    apt_task_name_set(task, "Recog Engine");
    apt_task_vtable_t* vtable = apt_consumer_task_vtable_get(recog_engine->task);
    if (vtable) {
        vtable->process_msg = recog_msg_process;
        vtable->on_post_run = recog_engine_on_post_run;
    }

    return mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, recog_engine, &engine_vtable, pool);
}

static apt_bool_t recog_engine_destroy(mrcp_engine_t* engine)
{
    recog_engine_t* recog_engine = (recog_engine_t*)engine->obj;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    if (recog_engine->task) {
        apt_task_destroy(apt_consumer_task_base_get(recog_engine->task));
        recog_engine->task = NULL;
    }
    /* The engine task's end joined every fetch; this finds none left. */
    delete recog_engine->fetches;
    recog_engine->fetches = NULL;
    delete recog_engine->channels;
    recog_engine->channels = NULL;
    return TRUE;
}

static void recog_properties_log(const system_t* properties)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "properties:\n[init-path:%s]\n[capability count:%d]",
            log_text(properties->init_path), (int)properties->capability_count);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "auth_info:token_interval_sec:%u, token_server:%s.",
            (unsigned)properties->token_interval_sec, log_text(properties->token_server));
    apt_log(APT_LOG_MARK, APT_PRIO_INFO,
            "\nparams:\n\n[noinput-timeout:%d]\n[recognition-timeout:%d]\n[speech-complete-timeout:%d]\n"
            "[sensitivity-level:%f] ",
            (int)properties->params.no_input_timeout, (int)properties->params.recognition_timeout,
            (int)properties->params.speech_complete_timeout, (double)properties->params.sensitivity_level);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "\n\n[save-waveform:%d]\n[dir:%s]", properties->save_wave.save_waveform,
            log_text(properties->save_wave.dir));
}

static apt_bool_t recog_engine_open(mrcp_engine_t* engine)
{
    try {
        recog_engine_t* recog_engine = (recog_engine_t*)engine->obj;
        const char* conf_dir = apt_dir_layout_path_get(engine->dir_layout, APT_LAYOUT_CONF_DIR);
        char* path = NULL;
        if (apr_filepath_merge(&path, conf_dir, RECOG_PROPERTIES_FILE_NAME, 0, engine->pool) != APR_SUCCESS)
            path = NULL;
        /* Missing or unreadable: the defaults stay in force. */
        recog_properties_load(&g_properties, path, engine->pool);

        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
        recog_properties_log(&g_properties);

        /* Without the endpoint's I/O threads no connection could ever open. */
        if (!endpoint.start()) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "failed to start the WebSocket threads");
            return mrcp_engine_open_respond(engine, FALSE);
        }
        if (tokenwrapper.Init(&g_properties))
            tokenwrapper.Start();
        if (recog_engine->task) {
            recog_engine->ending = false;
            apt_task_start(apt_consumer_task_base_get(recog_engine->task));
        }
        return mrcp_engine_open_respond(engine, TRUE);
    } catch (...) {
        log_exception("recog_engine_open");
        return mrcp_engine_open_respond(engine, FALSE);
    }
}

static apt_bool_t recog_engine_close(mrcp_engine_t* engine)
{
    recog_engine_t* recog_engine = (recog_engine_t*)engine->obj;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    if (recog_engine->task)
        apt_task_terminate(apt_consumer_task_base_get(recog_engine->task), TRUE);
    return mrcp_engine_close_respond(engine);
}

/* ---- Channels ---- */

static void recog_channel_free_context(recog_channel_t* recog_channel)
{
    if (!recog_channel->context)
        return;
    delete recog_channel->context;
    recog_channel->context = NULL;
}

/* After this no message of the engine task reaches the channel; waits while one is being handled. */
static void recog_channel_unregister(recog_channel_t* recog_channel)
{
    if (recog_channel->serial && recog_channel->recog_engine->channels)
        recog_channel->recog_engine->channels->remove(recog_channel->serial);
    recog_channel->serial = 0;
}

/* The record lives in the channel's pool; its C++ members end with the pool. */
static apr_status_t recog_channel_cleanup(void* data)
{
    recog_channel_t* recog_channel = (recog_channel_t*)data;
    recog_channel_unregister(recog_channel);
    recog_channel_free_context(recog_channel);
    recog_channel->~recog_channel_t();
    return APR_SUCCESS;
}

static mrcp_engine_channel_t* recog_engine_channel_create(mrcp_engine_t* engine, apr_pool_t* pool)
{
    try {
        void* memory = apr_palloc(pool, sizeof(recog_channel_t));
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
        recog_channel_t* recog_channel = new (memory) recog_channel_t();
        apr_pool_cleanup_register(pool, recog_channel, recog_channel_cleanup, apr_pool_cleanup_null);

        recog_channel->recog_request = NULL;
        recog_channel->stop_response = NULL;
        recog_channel->stop_response_sent = FALSE;
        recog_channel->stop_response_asynchronous = TRUE;
        recog_channel->recog_engine = (recog_engine_t*)engine->obj;
        recog_channel->audio_file = NULL;
        recog_channel->mrcp_recog_header = g_properties.params;
        recog_channel->mrcp_recog_header.start_input_timers = TRUE;
        recog_channel->pool = pool;
        recog_channel->save_wave = g_properties.save_wave;
        recog_channel->save_navi_wave = g_properties.save_navi_wave;
        recog_channel->ws_connection_id = -1;
        recog_channel->first_frame_logged = FALSE;
        recog_channel->context = new recog_context_t();
        init_recog_nlsm(&recog_channel->context->generator, g_properties.result_format, g_properties.if_channel_id);
        recog_channel->serial = recog_channel->recog_engine->channels->add(recog_channel);

        mpf_stream_capabilities_t* capabilities = mpf_stream_capabilities_create(STREAM_DIRECTION_SEND, pool);
        mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "LPCM");
        mpf_termination_t* termination =
            mrcp_engine_audio_termination_create(recog_channel, &audio_stream_vtable, capabilities, pool);
        recog_channel->channel =
            mrcp_engine_channel_create(engine, &channel_vtable, recog_channel, termination, pool);
        return recog_channel->channel;
    } catch (...) {
        log_exception("recog_engine_channel_create");
        return NULL;
    }
}

static apt_bool_t recog_msg_post(recog_engine_t* recog_engine, const recog_msg_t& message)
{
    apt_task_t* task = recog_engine->task ? apt_consumer_task_base_get(recog_engine->task) : NULL;
    apt_task_msg_t* msg = task ? apt_task_msg_get(task) : NULL;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    if (!msg)
        return FALSE;
    msg->type = TASK_MSG_USER;
    *(recog_msg_t*)msg->data = message;
    return apt_task_msg_signal(task, msg);
}

apt_bool_t recog_msg_signal(recog_msg_type_e type, mrcp_engine_channel_t* channel, mrcp_message_t* request)
{
    recog_channel_t* recog_channel = (recog_channel_t*)channel->method_obj;
    recog_msg_t message = {type, recog_channel->serial, request, -1, FALSE, 0};
    return recog_msg_post(recog_channel->recog_engine, message);
}

void recog_msg_connected(recog_engine_t* recog_engine, unsigned long serial, int connection_id, bool opened)
{
    recog_msg_t message = {RECOG_MSG_CONNECTED, serial, NULL, connection_id, opened ? TRUE : FALSE, 0};
    if (recog_msg_post(recog_engine, message))
        return;
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "connection %d: the engine task takes no more messages",
            connection_id);
    /* No request will ever use it. On the connection's own thread, so the close may be made here. */
    if (opened)
        endpoint.close(connection_id, 1001, "");
}

int recog_fetch_start(recog_channel_t* recog_channel, mrcp_message_t* request, mrcp_message_t* response,
                      const grammar_fetch_request& fetch)
{
    /* The fetch's thread knows only the engine and the channel's serial, never the channel: the
     * channel may be gone by the time the fetch ends. Once the engine task has ended, the post
     * fails and the fetch is joined by the engine's end. */
    recog_engine_t* engine = recog_channel->recog_engine;
    unsigned long serial = recog_channel->serial;
    unsigned long id = engine->fetches->start(fetch, [engine, serial](unsigned long fetch_id) {
        recog_msg_t message = {RECOG_MSG_FETCHED, serial, NULL, -1, FALSE, fetch_id};
        recog_msg_post(engine, message);
    });
    if (id == 0) {
        std::string none;
        return recog_grammar_fetched(recog_channel, fetch, false, none, "no thread for the fetch!");
    }
    recog_pending_t& pending = recog_channel->pending;
    pending.fetch_id = id;
    pending.fetch = fetch;
    pending.request = request;
    pending.response = response;
    return GRAMMAR_LOAD_FETCH;
}

static apt_bool_t recog_channel_open(mrcp_engine_channel_t* channel)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "recog_channel_open[%x]", (unsigned)(uintptr_t)channel);
    return recog_msg_signal(RECOG_MSG_OPEN_CHANNEL, channel, NULL);
}

static apt_bool_t recog_channel_request_process(mrcp_engine_channel_t* channel, mrcp_message_t* request)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    return recog_msg_signal(RECOG_MSG_REQUEST_PROCESS, channel, request);
}

/* On the server thread: ends the recognition and finishes the waveform at once, so that no
 * reply or frame reaches the channel after this; the grammars go on the engine task. */
static apt_bool_t recog_channel_close(mrcp_engine_channel_t* channel)
{
    try {
        recog_channel_t* recog_channel = (recog_channel_t*)channel->method_obj;
        recog_session_channel_close(recog_channel);
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    } catch (...) {
        log_exception("recog_channel_close");
    }
    return recog_msg_signal(RECOG_MSG_CLOSE_CHANNEL, channel, NULL);
}

/* The server destroys a channel once its close is answered; should it not wait for that, the
 * engine task may still be working on the channel: destroy waits for it, and messages still
 * queued for the channel are dropped. */
static apt_bool_t recog_channel_destroy(mrcp_engine_channel_t* channel)
{
    recog_channel_t* recog_channel = (recog_channel_t*)channel->method_obj;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    try {
        recog_channel_unregister(recog_channel);
        recog_channel_free_context(recog_channel);
    } catch (...) {
        log_exception("recog_channel_destroy");
    }
    return TRUE;
}

/* ---- Engine task ---- */

static const char* message_sidres_session(const mrcp_message_t* message)
{
    return log_text(message->channel_id.session_id.buf);
}

static const char* message_sidres_resource(const mrcp_message_t* message)
{
    return log_text(message->channel_id.resource_name.buf);
}

/* The GET-PARAMS fields the recognizer reports. */
static bool recog_param_reported(apr_size_t id)
{
    switch (id) {
    case RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD:
    case RECOGNIZER_HEADER_SENSITIVITY_LEVEL:
    case RECOGNIZER_HEADER_SPEED_VS_ACCURACY:
    case RECOGNIZER_HEADER_N_BEST_LIST_LENGTH:
    case RECOGNIZER_HEADER_NO_INPUT_TIMEOUT:
    case RECOGNIZER_HEADER_RECOGNITION_TIMEOUT:
    case RECOGNIZER_HEADER_WAVEFORM_URI:
    case RECOGNIZER_HEADER_START_INPUT_TIMERS:
    case RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT:
    case RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT:
    case RECOGNIZER_HEADER_SPEECH_LANGUAGE:
    case RECOGNIZER_HEADER_INPUT_TYPE:
    case RECOGNIZER_HEADER_RECOGNITION_MODE:
    case RECOGNIZER_HEADER_CANCEL_IF_QUEUE:
        return true;
    default:
        return false;
    }
}

static void recog_channel_get_params(recog_channel_t* recog_channel, mrcp_message_t* request,
                                     mrcp_message_t* response)
{
    mrcp_recog_header_t* values = (mrcp_recog_header_t*)mrcp_resource_header_prepare(response);
    if (!values) {
        response->start_line.status_code = MRCP_STATUS_CODE_UNSUPPORTED_PARAM;
        return;
    }
    apt_header_field_t* field = NULL;
    while ((field = mrcp_message_next_header_field_get(request, field)) != NULL) {
        if (field->id < RECOG_FIELD_ID_BASE)
            continue;
        apr_size_t id = field->id - RECOG_FIELD_ID_BASE;
        if (id >= RECOGNIZER_HEADER_COUNT) {
            /* Not a recognizer field: there is nothing to report for it. */
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "can find the header [%d:%s]", (int)field->id,
                    apt_string_buffer_get(&field->name));
            continue;
        }
        if (!recog_param_reported(id)) {
            apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "unsupport to get %s", recog_header_fields[id].name);
            response->start_line.status_code = MRCP_STATUS_CODE_UNSUPPORTED_PARAM;
            return;
        }
        /* Texts go with the response, so that repeated GET-PARAMS do not grow the channel's pool. */
        recog_header_field_copy(values, &recog_channel->mrcp_recog_header, id, response->pool);
        mrcp_resource_header_property_add(response, id);
    }
}

static void recog_completion_cause_set(mrcp_message_t* response, mrcp_recog_header_t* header,
                                       mrcp_recog_completion_cause_e cause)
{
    header->completion_cause = cause;
    mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
}

/* DEFINE-GRAMMAR once its grammar is loaded (or is not) with this status. */
static void recog_channel_define_grammar_loaded(recog_channel_t* recog_channel, mrcp_message_t* request,
                                                mrcp_message_t* response, int status)
{
    response->start_line.status_code = (mrcp_status_code_e)status;
    mrcp_recog_header_t* recog_header = (mrcp_recog_header_t*)mrcp_resource_header_prepare(response);
    if (!recog_header)
        return;
    if (status != MRCP_STATUS_CODE_SUCCESS) {
        recog_completion_cause_set(response, recog_header, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "navi_grammar_load failed<%s@%s>", message_sidres_session(request),
                message_sidres_resource(request));
        return;
    }
    /* A request without recognizer fields has no recognizer header yet: an empty one applies nothing. */
    mrcp_resource_header_prepare(request);
    if (!recog_set_param(recog_channel, request, response)) {
        response->start_line.status_code = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        recog_completion_cause_set(response, recog_header, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        return;
    }
    recog_completion_cause_set(response, recog_header, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
}

/* TRUE when the response is ready to be sent; FALSE when it waits for a fetch. */
static apt_bool_t recog_channel_define_grammar(recog_channel_t* recog_channel, mrcp_message_t* request,
                                               mrcp_message_t* response)
{
    mrcp_recog_header_t* recog_header = (mrcp_recog_header_t*)mrcp_resource_header_prepare(response);
    mrcp_generic_header_t* generic_header = mrcp_generic_header_get(request);
    if (!recog_header || !generic_header) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "%s %s", generic_header ? "" : "generic_header==NULL",
                recog_header ? "" : "recog_header==NULL");
        return TRUE;
    }
    if (!mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_LENGTH) ||
        generic_header->content_length == 0) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "missing msg content <%s@%s>", message_sidres_session(request),
                message_sidres_resource(request));
        response->start_line.status_code = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        recog_completion_cause_set(response, recog_header, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        return TRUE;
    }
    if (!mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_TYPE) ||
        apt_string_is_empty(&generic_header->content_type)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Missing Content-Type <%s@%s>", message_sidres_session(request),
                message_sidres_resource(request));
        response->start_line.status_code = MRCP_STATUS_CODE_MISSING_PARAM;
        recog_completion_cause_set(response, recog_header, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
        return TRUE;
    }
    std::string content_type(generic_header->content_type.buf, generic_header->content_type.length);

    apr_size_t fetch_timeout = 0;
    if (mrcp_engine_channel_version_get(recog_channel->channel) == MRCP_VERSION_2 &&
        mrcp_generic_header_property_check(request, GENERIC_HEADER_FETCH_TIMEOUT))
        fetch_timeout = generic_header->fetch_timeout;

    std::string id;
    if (mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_ID) &&
        !apt_string_is_empty(&generic_header->content_id)) {
        std::string value(generic_header->content_id.buf, generic_header->content_id.length);
        get_content_id(value.c_str(), id);
    }
    if (id.empty()) {
        if (strcasecmp(content_type.c_str(), "text/uri-list") != 0) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Missing Content-Id <%s@%s>", message_sidres_session(request),
                    message_sidres_resource(request));
            response->start_line.status_code = MRCP_STATUS_CODE_MISSING_PARAM;
            recog_completion_cause_set(response, recog_header, RECOGNIZER_COMPLETION_CAUSE_GRAM_LOAD_FAILURE);
            return TRUE;
        }
        id.assign(apt_string_buffer_get(&request->body), request->body.length);
    }

    grammar_fetch_request fetch;
    int status = recog_grammar_load(recog_channel, id.c_str(), content_type.c_str(), &request->body,
                                    fetch_timeout, recog_channel->channel->pool, &fetch);
    if (status == GRAMMAR_LOAD_FETCH)
        status = recog_fetch_start(recog_channel, request, response, fetch);
    if (status == GRAMMAR_LOAD_FETCH)
        return FALSE;
    recog_channel_define_grammar_loaded(recog_channel, request, response, status);
    return TRUE;
}

/* Carries out one request; FALSE when the response has been handed on (sent, parked by STOP, or
 * waiting for a connect or a fetch). */
static apt_bool_t recog_request_dispatch(recog_channel_t* recog_channel, mrcp_message_t* request,
                                         mrcp_message_t* response)
{
    switch (request->start_line.method_id) {
    case RECOGNIZER_SET_PARAMS:
        if (!recog_set_param(recog_channel, request, response))
            response->start_line.status_code = MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        return TRUE;
    case RECOGNIZER_GET_PARAMS:
        recog_channel_get_params(recog_channel, request, response);
        return TRUE;
    case RECOGNIZER_DEFINE_GRAMMAR:
        return recog_channel_define_grammar(recog_channel, request, response);
    case RECOGNIZER_RECOGNIZE:
        return recog_channel_recognize(recog_channel->channel, request, response) ? FALSE : TRUE;
    case RECOGNIZER_INTERPRET:
        return TRUE;
    case RECOGNIZER_GET_RESULT:
        recog_channel_get_result(recog_channel, response);
        return TRUE;
    case RECOGNIZER_START_INPUT_TIMERS:
        recog_channel->mrcp_recog_header.start_input_timers = TRUE;
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
        return TRUE;
    case RECOGNIZER_STOP:
        recog_channel_stop(recog_channel, response);
        return FALSE;
    default:
        return TRUE;
    }
}

/* Runs one step of a request and sends its response unless the step handed it on (FALSE); an
 * exception is logged as 'what' and answers 407. */
template <typename Step>
static void recog_respond(recog_channel_t* recog_channel, mrcp_message_t* response, const char* what, Step step)
{
    apt_bool_t send = TRUE;
    try {
        send = step();
    } catch (...) {
        log_exception(what);
        response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
        response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
        send = TRUE;
    }
    if (send)
        mrcp_engine_channel_message_send(recog_channel->channel, response);
}

static void recog_request_process(recog_channel_t* recog_channel, mrcp_message_t* request)
{
    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    if (!response)
        return;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[%s][enter]", log_text(request->start_line.method_name.buf));
    recog_respond(recog_channel, response, "request processing",
                  [&] { return recog_request_dispatch(recog_channel, request, response); });
}

/* The close as the engine task sees it, after every request posted before it. */
static void recog_channel_close_process(recog_channel_t* recog_channel)
{
    try {
        recog_session_engine_close(recog_channel);
        /* Cleared here rather than on the server thread: a RECOGNIZE queued before the close
         * may still have been reading them. */
        recog_channel->context->grammars.clear();
    } catch (...) {
        log_exception("channel close");
    }
    mrcp_engine_channel_close_respond(recog_channel->channel);
}

static void recog_msg_dispatch(recog_channel_t* recog_channel, const recog_msg_t& msg)
{
    switch (msg.type) {
    case RECOG_MSG_OPEN_CHANNEL:
        mrcp_engine_channel_open_respond(recog_channel->channel, TRUE);
        break;
    case RECOG_MSG_CLOSE_CHANNEL:
        recog_channel_close_process(recog_channel);
        break;
    case RECOG_MSG_REQUEST_PROCESS:
        recog_request_process(recog_channel, msg.request);
        break;
    default:
        break;
    }
}

/* The waiting request's grammar fetch ended (or is given up): the request goes on from its load
 * with this outcome, and is answered exactly as a load on the engine task would answer it. */
static void recog_fetch_complete(recog_channel_t* recog_channel, recog_fetch_outcome& outcome)
{
    recog_pending_t& pending = recog_channel->pending;
    grammar_fetch_request fetch = std::move(pending.fetch);
    mrcp_message_t* request = pending.request;
    mrcp_message_t* response = pending.response;
    pending.fetch_id = 0;
    pending.request = NULL;
    pending.response = NULL;
    recog_respond(recog_channel, response, "grammar fetch", [&]() -> apt_bool_t {
        int status = recog_grammar_fetched(recog_channel, fetch, outcome.ok, outcome.text, outcome.error);
        if (request->start_line.method_id == RECOGNIZER_RECOGNIZE)
            return recog_channel_recognize_fetched(recog_channel->channel, request, response, status) ? FALSE : TRUE;
        recog_channel_define_grammar_loaded(recog_channel, request, response, status);
        return TRUE;
    });
}

/* The channel closes, or the engine ends, while a request waits: it is answered at once as a
 * failed connect or a failed fetch, and what it waited for is given up. */
static void recog_pending_abandon(recog_channel_t* recog_channel)
{
    recog_pending_t& pending = recog_channel->pending;
    if (pending.fetch_id == 0) {
        recog_channel_connect_abandon(recog_channel);
        return;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "grammar fetch given up: channel <%s> closes",
            mrcp_engine_channel_id_get(recog_channel->channel));
    /* Its thread ends soon; its outcome then finds no request waiting for it. */
    recog_channel->recog_engine->fetches->cancel(pending.fetch_id);
    recog_fetch_outcome cancelled;
    cancelled.error = "cancelled!";
    recog_fetch_complete(recog_channel, cancelled);
}

/* What was held behind a waiting request, in order, until another request waits. */
static void recog_held_replay(recog_channel_t* recog_channel)
{
    recog_pending_t& pending = recog_channel->pending;
    while (!pending.waiting() && !pending.held.empty()) {
        recog_msg_t next = pending.held.front();
        pending.held.pop_front();
        recog_msg_dispatch(recog_channel, next);
    }
}

/* The channel closes or the engine ends: the waiting request is answered at once, then what came
 * behind it, in order, so that every request has its one answer. A RECOGNIZE among them starts no
 * connect any more (recog_channel_recognize); a grammar fetch is given up like the first. */
static void recog_pending_answer_all(recog_channel_t* recog_channel, const char* what)
{
    recog_pending_t& pending = recog_channel->pending;
    while (pending.waiting()) {
        try {
            recog_pending_abandon(recog_channel);
        } catch (...) {
            log_exception(what);
        }
        recog_held_replay(recog_channel);
    }
}

static void recog_msg_handle(recog_channel_t* recog_channel, const recog_msg_t& msg, recog_fetch_outcome& fetched)
{
    recog_pending_t& pending = recog_channel->pending;
    if (msg.type == RECOG_MSG_CONNECTED) {
        /* An outcome for a connect that a close has given up already is of no interest. */
        if (pending.connection_id == -1 || pending.connection_id != msg.connection_id)
            return;
        try {
            recog_channel_connected(recog_channel, msg.connection_id, msg.opened == TRUE);
        } catch (...) {
            log_exception("RECOGNIZE");
        }
        recog_held_replay(recog_channel);
        return;
    }
    if (msg.type == RECOG_MSG_FETCHED) {
        /* Likewise for a fetch given up. */
        if (pending.fetch_id == 0 || pending.fetch_id != msg.fetch_id)
            return;
        recog_fetch_complete(recog_channel, fetched);
        recog_held_replay(recog_channel);
        return;
    }
    if (pending.waiting() && msg.type != RECOG_MSG_CLOSE_CHANNEL) {
        pending.held.push_back(msg);
        return;
    }
    /* A close answers at once: the waiting request and what came behind it first, in order. */
    recog_pending_answer_all(recog_channel, "channel close");
    recog_msg_dispatch(recog_channel, msg);
}

apt_bool_t recog_msg_process(apt_task_t* task, apt_task_msg_t* msg)
{
    const recog_msg_t* recog_msg = (const recog_msg_t*)msg->data;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "[enter]");
    apt_consumer_task_t* consumer = (apt_consumer_task_t*)apt_task_object_get(task);
    recog_engine_t* recog_engine = (recog_engine_t*)apt_consumer_task_object_get(consumer);
    /* A fetch that ended is joined whatever became of its channel. */
    recog_fetch_outcome fetched;
    if (recog_msg->type == RECOG_MSG_FETCHED && !recog_engine->fetches->finish(recog_msg->fetch_id, &fetched))
        return TRUE;
    recog_channel_t* recog_channel = recog_engine->channels->enter(recog_msg->serial);
    if (!recog_channel) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "message %d for a channel destroyed already, dropped",
                (int)recog_msg->type);
        /* The channel went before its close was handled, so nothing gave its connect up: a
         * connection that opened for it is closed here, or it would stay open until unload. */
        if (recog_msg->type == RECOG_MSG_CONNECTED && recog_msg->opened)
            endpoint.close(recog_msg->connection_id, 1001, "");
        return TRUE;
    }
    try {
        recog_msg_handle(recog_channel, *recog_msg, fetched);
    } catch (...) {
        log_exception("engine task");
    }
    recog_engine->channels->leave();
    return TRUE;
}

/* At the end of the engine task no outcome can be handled any more: every request still waiting
 * for a connect or a fetch is answered and given up (the channels are normally closed by then),
 * and so is every request held behind it; every fetch's thread is joined, so that unloading never
 * waits for a grammar server. */
static void recog_engine_on_post_run(apt_task_t* task)
{
    apt_consumer_task_t* consumer = (apt_consumer_task_t*)apt_task_object_get(task);
    recog_engine_t* recog_engine = (recog_engine_t*)apt_consumer_task_object_get(consumer);
    recog_engine->ending = true;
    for (unsigned long serial : recog_engine->channels->serials()) {
        recog_channel_t* recog_channel = recog_engine->channels->enter(serial);
        if (!recog_channel)
            continue;
        try {
            recog_pending_answer_all(recog_channel, "engine close");
        } catch (...) {
            log_exception("engine close");
        }
        recog_engine->channels->leave();
    }
    recog_engine->fetches->cancel_all();
}

/* ---- The WebSocket seam: replies and lost connections of this plug-in's channels ---- */

void ws_channel_on_message(recog_channel_t* channel, int id, message_ptr msg)
{
    try {
        if (msg && msg->get_opcode() == websocketpp::frame::opcode::text)
            recog_session_on_reply(channel, id, msg->get_payload());
    } catch (...) {
        log_exception("wss_connect.on_message");
    }
}

void ws_channel_on_lost(recog_channel_t* channel, int id)
{
    try {
        recog_session_on_lost(channel, id);
    } catch (...) {
        log_exception("wss_connect.on_lost");
    }
}
