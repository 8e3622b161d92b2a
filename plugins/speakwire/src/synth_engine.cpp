/*
 * The synthesizer engine with its task "Synth Engine": creation, open, close
 * and destroy, the voice-detect thread, and the engine task's message handler.
 */
#include "synth_engine.h"

#include <exception>

#include <apr_file_info.h>
#include <apr_thread_cond.h>
#include <apr_thread_proc.h>

#include "apt_dir_layout.h"
#include "apt_log.h"
#include "synth_properties.h"
#include "token_wrapper.h"
#include "websocket_endpoint.h"

static apt_bool_t synth_engine_destroy(mrcp_engine_t *engine);
static apt_bool_t synth_engine_open(mrcp_engine_t *engine);
static apt_bool_t synth_engine_close(mrcp_engine_t *engine);
mrcp_engine_channel_t *synth_engine_channel_create(mrcp_engine_t *engine, apr_pool_t *pool);

static const mrcp_engine_method_vtable_t engine_vtable = {
    synth_engine_destroy,
    synth_engine_open,
    synth_engine_close,
    synth_engine_channel_create,
};

#define SYNTH_CONFIG_FILE "synthplugin.xml"

/* The voice-detect thread: it only sleeps until engine close stops it. The flag
 * is raised before the thread exists, so a stop that comes first still ends it,
 * and the stop wakes it through the condition instead of waiting out its sleep. */
static std::atomic<apt_bool_t> g_is_detect(FALSE);
static apr_thread_t *g_thread_handle = NULL;
static apr_thread_mutex_t *g_mutex_voice = NULL;
static apr_thread_cond_t *g_cond_voice = NULL;

static const apr_interval_time_t DETECT_SLEEP = 10 * APR_USEC_PER_SEC;

mrcp_engine_t *synth_engine_create(apr_pool_t *pool)
{
    synth_engine_t *synth_engine = (synth_engine_t *)apr_palloc(pool, sizeof(synth_engine_t));
    apt_task_msg_pool_t *msg_pool = apt_task_msg_pool_create_dynamic(sizeof(synth_msg_t), pool);
    synth_engine->task = apt_consumer_task_create(synth_engine, msg_pool, pool);
    if (!synth_engine->task) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_engine->task == NULL");
        return NULL;
    }
    apt_task_t *task = apt_consumer_task_base_get(synth_engine->task);
    apt_task_name_set(task, "Synth Engine");
    apt_task_vtable_t *vtable = apt_task_vtable_get(task);
    if (vtable)
        vtable->process_msg = synth_msg_process;
    return mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, synth_engine, &engine_vtable, pool);
}

static apt_bool_t synth_engine_destroy(mrcp_engine_t *engine)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_engine_destroy");
    synth_engine_t *synth_engine = (synth_engine_t *)engine->obj;
    if (synth_engine->task) {
        apt_task_destroy(apt_consumer_task_base_get(synth_engine->task));
        synth_engine->task = NULL;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_engine_destroy");
    return TRUE;
}

static const char *text_of(const char *text)
{
    return text ? text : "";
}

static void log_settings(const synth_properties_t *p)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "properties:\n[init-path:%s]", text_of(p->system.init_path));
    apt_log(APT_LOG_MARK, APT_PRIO_INFO,
            "\nparams:\n\n[kill-on-barge-in:%d]\n[gender:%d]\n[age:%d]\n[name:%s]\n[volume:%d]\n[rate:%d]\n"
            "[speech-language:%s]\n",
            p->params.kill_on_barge_in, (int)p->params.voice_param.gender, (int)p->params.voice_param.age,
            apt_string_buffer_get(&p->params.voice_param.name), (int)p->params.prosody_param.volume.value.label,
            (int)p->params.prosody_param.rate.value.label, apt_string_buffer_get(&p->params.speech_language));
    const vendor_specific_t *vs = &p->vendor_specific;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO,
            "\nvendor-specific:\n\n[voice-domain:%d]\n[voice-style:%d] \t\t\t\t\t\t\t\t\t   \n[codepage:%d]\n"
            "[backaudio:%d]\n[backaudio-volume:%d]\n[backaudio-flag:%d]\n[digit-mode:%d]\t\t\t\t\t\t\t\t\t   \n"
            "[eng-mode:%d]\n[tag-mode:%d]\n[punc-mode:%d]\n[pitch:%d]\n\t\t\t\t\t\t\t\t\t   ",
            (int)vs->voice_domain, (int)vs->voice_style, (int)vs->codepage, (int)vs->backaudio,
            (int)vs->backaudio_volume, (int)vs->backaudio_flag, (int)vs->digit_mode, (int)vs->eng_mode,
            (int)vs->tag_mode, (int)vs->punc_mode, (int)vs->pitch);
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "\n\n[save-waveform:%d]\n[dir:%s]\n[silence_interval:%d]\n[silence_threshold:%d]\n",
            p->save_wave.save_waveform, text_of(p->save_wave.save_waveform_dir), p->save_wave.silence_interval,
            p->save_wave.silence_threshold);
}

static apt_bool_t synth_engine_open(mrcp_engine_t *engine)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_engine_open");
    synth_engine_t *synth_engine = (synth_engine_t *)engine->obj;

    const char *conf_dir = apt_dir_layout_path_get(engine->dir_layout, APT_LAYOUT_CONF_DIR);
    char *file_path = NULL;
    if (apr_filepath_merge(&file_path, conf_dir, SYNTH_CONFIG_FILE, 0, engine->pool) != APR_SUCCESS)
        file_path = NULL;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "profile[%s]", text_of(file_path));

    if (!synth_properties_load(&g_properties, file_path, engine->pool)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth load properties failed!");
        return FALSE;
    }
    if (!g_properties.save_wave.save_waveform_dir)
        g_properties.save_wave.save_waveform_dir = conf_dir;
    log_settings(&g_properties);

    try {
        /* Without the endpoint's I/O threads no SPEAK can connect; the engine still opens
         * so that every request is answered. */
        if (!endpoint.start())
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.start failed");  /* started: it logs that itself */
        if (tokenwrapper.Init(&g_properties.system))
            tokenwrapper.Start();
    } catch (const std::exception &e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_engine_open: %s", e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_engine_open: unknown exception");
    }

    if (synth_engine->task)
        apt_task_start(apt_consumer_task_base_get(synth_engine->task));
    start_tts_engine_detect(engine->pool);

    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_engine_open");
    return mrcp_engine_open_respond(engine, TRUE);
}

static apt_bool_t synth_engine_close(mrcp_engine_t *engine)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_engine_close");
    synth_engine_t *synth_engine = (synth_engine_t *)engine->obj;
    if (synth_engine->task)
        apt_task_terminate(apt_consumer_task_base_get(synth_engine->task), TRUE);
    stop_tts_engine_detect();
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_engine_close");
    return mrcp_engine_close_respond(engine);
}

static void *APR_THREAD_FUNC task_run(apr_thread_t *thread, void *)
{
    apr_thread_mutex_lock(g_mutex_voice);
    while (g_is_detect)
        apr_thread_cond_timedwait(g_cond_voice, g_mutex_voice, DETECT_SLEEP);
    apr_thread_mutex_unlock(g_mutex_voice);
    apr_thread_exit(thread, APR_SUCCESS);
    return NULL;
}

static void detect_sync_destroy()
{
    if (g_cond_voice) {
        apr_thread_cond_destroy(g_cond_voice);
        g_cond_voice = NULL;
    }
    if (g_mutex_voice) {
        apr_thread_mutex_destroy(g_mutex_voice);
        g_mutex_voice = NULL;
    }
}

apt_bool_t start_tts_engine_detect(apr_pool_t *pool)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into start_tts_engine_detect");
    g_thread_handle = NULL;
    if (apr_thread_mutex_create(&g_mutex_voice, APR_THREAD_MUTEX_DEFAULT, pool) != APR_SUCCESS)
        g_mutex_voice = NULL;
    if (!g_mutex_voice || apr_thread_cond_create(&g_cond_voice, pool) != APR_SUCCESS)
        g_cond_voice = NULL;
    g_is_detect = TRUE;
    if (!g_cond_voice || apr_thread_create(&g_thread_handle, NULL, task_run, NULL, pool) != APR_SUCCESS) {
        g_thread_handle = NULL;
        g_is_detect = FALSE;
        detect_sync_destroy();
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave start_tts_engine_detect");
        return FALSE;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave start_tts_engine_detect");
    return TRUE;
}

apt_bool_t stop_tts_engine_detect()
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into stop_tts_engine_detect");
    if (g_mutex_voice) {
        /* Cleared under the lock, so the thread cannot miss the wake between its test and its wait. */
        apr_thread_mutex_lock(g_mutex_voice);
        g_is_detect = FALSE;
        apr_thread_cond_signal(g_cond_voice);
        apr_thread_mutex_unlock(g_mutex_voice);
    }
    g_is_detect = FALSE;
    if (g_thread_handle) {
        apr_status_t status = APR_SUCCESS;
        apr_thread_join(&status, g_thread_handle);
        g_thread_handle = NULL;
    }
    detect_sync_destroy();
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave stop_tts_engine_detect");
    return FALSE;
}

apt_bool_t synth_msg_signal(synth_msg_type_e type, mrcp_engine_channel_t *channel, mrcp_message_t *request)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_msg_signal");
    synth_channel_t *synth_channel = (synth_channel_t *)channel->method_obj;
    synth_engine_t *synth_engine = synth_channel->synth_engine;
    apt_task_t *task = synth_engine->task ? apt_consumer_task_base_get(synth_engine->task) : NULL;
    apt_task_msg_t *msg = task ? apt_task_msg_get(task) : NULL;
    if (!msg) {
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "status=FALSE");
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_msg_signal");
        return FALSE;
    }
    msg->type = TASK_MSG_USER;
    synth_msg_t *synth_msg = (synth_msg_t *)msg->data;
    synth_msg->type = type;
    synth_msg->channel = channel;
    synth_msg->request = request;
    apt_bool_t status = apt_task_msg_signal(task, msg);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "status=%s", status ? "true" : "false");
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_msg_signal");
    return status;
}

apt_bool_t synth_msg_process(apt_task_t *, apt_task_msg_t *msg)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "enter into synth_msg_process");
    const synth_msg_t *synth_msg = (const synth_msg_t *)msg->data;
    try {
        switch (synth_msg->type) {
        case SYNTH_MSG_OPEN_CHANNEL:
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "SYNTH_MSG_OPEN_CHANNEL channel=%s ",
                    text_of(mrcp_engine_channel_id_get(synth_msg->channel)));
            mrcp_engine_channel_open_respond(synth_msg->channel, TRUE);
            break;
        case SYNTH_MSG_CLOSE_CHANNEL:
            apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "SYNTH_MSG_CLOSE_CHANNEL channel=%s ",
                    text_of(mrcp_engine_channel_id_get(synth_msg->channel)));
            mrcp_engine_channel_close_respond(synth_msg->channel);
            break;
        case SYNTH_MSG_CHANNEL_CLOSING:
            synth_channel_close_now(synth_msg->channel);
            break;
        case SYNTH_MSG_REQUEST_PROCESS:
            synth_request_dispatch(synth_msg->channel, synth_msg->request);
            break;
        default:
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "unkown msg type [%d]!", (int)synth_msg->type);
            break;
        }
    } catch (const std::exception &e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_msg_process: %s", e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "synth_msg_process: unknown exception");
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "leave synth_msg_process");
    return TRUE;
}
