/* A small plug-in of the host tests, loaded through the host like a real one. Built twice: as a recognizer
   (TEST_PLUGIN_SYNTH undefined: a sink stream) and as a synthesizer (TEST_PLUGIN_SYNTH: a source stream).

   Engine: a consumer task handles channel open/close and every request. Engine parameter "open": "fail" answers
   the engine open with FALSE, "never" never answers it. A channel whose id starts with "refuse" is answered
   FALSE at open, one starting with "mute" is never answered, and one starting with "deaf" never has its close
   answered.
   Requests: SET-PARAMS and GET-PARAMS echo every header field of the request in the response; RECOGNIZE and
   SPEAK need the negotiated codec (else 407) and answer IN-PROGRESS; INTERPRET answers IN-PROGRESS and sends
   INTERPRETATION-COMPLETE with the request's body at once; STOP is parked and answered from the media thread,
   with the stopped request in Active-Request-Id-List; any other method answers 200.
   Recognizer media: START-OF-INPUT at the first frame with sound, RECOGNITION-COMPLETE (cause 0, body
   "audio-bytes=N") at the first silent frame after it.
   Synthesizer media: SPEAK queues 20 frames of audio (every byte 0x11) and an end mark into a media buffer;
   the media thread plays it and sends SPEAK-COMPLETE (cause 0) at the mark. */
#include <string.h>
#include "apt_consumer_task.h"
#include "apt_log.h"
#include "mpf_buffer.h"
#include "test_plugin_engine.h"
#ifdef TEST_PLUGIN_SYNTH
#include "mrcp_synth_engine.h"
#define TEST_RESOURCE MRCP_SYNTHESIZER_RESOURCE
#define TEST_TASK_NAME "Test Synth"
#else
#include "mrcp_recog_engine.h"
#define TEST_RESOURCE MRCP_RECOGNIZER_RESOURCE
#define TEST_TASK_NAME "Test Recog"
#endif

#define TEST_SPEAK_FRAMES 20

typedef struct test_engine_t test_engine_t;
typedef struct test_channel_t test_channel_t;
typedef struct test_msg_t test_msg_t;

struct test_engine_t {
	apt_consumer_task_t *task;          /* handles every channel operation and request */
};

struct test_channel_t {
	test_engine_t *engine;
	mrcp_engine_channel_t *channel;
	apr_thread_mutex_t *mutex;          /* guards the fields below: the task and the media thread share them */
	mrcp_message_t *active_request;     /* RECOGNIZE or SPEAK in progress */
	mrcp_message_t *stop_response;      /* parked STOP response, sent by the media thread */
	apt_bool_t input_started;
	apr_size_t audio_bytes;
	mpf_buffer_t *buffer;               /* synthesizer: the audio to play */
};

typedef enum {
	TEST_MSG_OPEN_CHANNEL,
	TEST_MSG_CLOSE_CHANNEL,
	TEST_MSG_REQUEST
} test_msg_type_e;

struct test_msg_t {
	test_msg_type_e type;
	mrcp_engine_channel_t *channel;
	mrcp_message_t *request;
};

static apt_bool_t test_engine_destroy(mrcp_engine_t *engine);
static apt_bool_t test_engine_open(mrcp_engine_t *engine);
static apt_bool_t test_engine_close(mrcp_engine_t *engine);
static mrcp_engine_channel_t* test_engine_channel_create(mrcp_engine_t *engine, apr_pool_t *pool);

static const struct mrcp_engine_method_vtable_t engine_vtable = {
	test_engine_destroy,
	test_engine_open,
	test_engine_close,
	test_engine_channel_create
};

static apt_bool_t test_channel_destroy(mrcp_engine_channel_t *channel);
static apt_bool_t test_channel_open(mrcp_engine_channel_t *channel);
static apt_bool_t test_channel_close(mrcp_engine_channel_t *channel);
static apt_bool_t test_channel_request_process(mrcp_engine_channel_t *channel, mrcp_message_t *request);

static const struct mrcp_engine_channel_method_vtable_t channel_vtable = {
	test_channel_destroy,
	test_channel_open,
	test_channel_close,
	test_channel_request_process
};

static apt_bool_t test_stream_destroy(mpf_audio_stream_t *stream);
static apt_bool_t test_stream_open(mpf_audio_stream_t *stream, mpf_codec_t *codec);
static apt_bool_t test_stream_close(mpf_audio_stream_t *stream);
#ifdef TEST_PLUGIN_SYNTH
static apt_bool_t test_stream_read(mpf_audio_stream_t *stream, mpf_frame_t *frame);
static const mpf_audio_stream_vtable_t stream_vtable = {
	test_stream_destroy,
	test_stream_open,
	test_stream_close,
	test_stream_read,
	NULL,
	NULL,
	NULL,
	NULL
};
#else
static apt_bool_t test_stream_write(mpf_audio_stream_t *stream, const mpf_frame_t *frame);
static const mpf_audio_stream_vtable_t stream_vtable = {
	test_stream_destroy,
	NULL,
	NULL,
	NULL,
	test_stream_open,
	test_stream_close,
	test_stream_write,
	NULL
};
#endif

static apt_bool_t test_msg_process(apt_task_t *task, apt_task_msg_t *msg);
static void test_task_pre_run(apt_task_t *task);
static void test_task_post_run(apt_task_t *task);

mrcp_engine_t* test_plugin_engine_create(apr_pool_t *pool)
{
	test_engine_t *test_engine = apr_palloc(pool, sizeof(test_engine_t));
	apt_task_msg_pool_t *msg_pool = apt_task_msg_pool_create_dynamic(sizeof(test_msg_t), pool);
	test_engine->task = apt_consumer_task_create(test_engine, msg_pool, pool);
	if(!test_engine->task)
		return NULL;
	apt_task_t *task = apt_consumer_task_base_get(test_engine->task);
	apt_task_name_set(task, TEST_TASK_NAME);
	apt_task_vtable_t *vtable = apt_task_vtable_get(task);
	if(vtable) {
		vtable->process_msg = test_msg_process;
		vtable->on_pre_run = test_task_pre_run;
		vtable->on_post_run = test_task_post_run;
	}
	return mrcp_engine_create(TEST_RESOURCE, test_engine, &engine_vtable, pool);
}

static void test_task_pre_run(apt_task_t *task)
{
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: task %s pre-run", apt_task_name_get(task));
}

static void test_task_post_run(apt_task_t *task)
{
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: task %s post-run", apt_task_name_get(task));
}

static apt_bool_t test_engine_destroy(mrcp_engine_t *engine)
{
	test_engine_t *test_engine = engine->obj;
	if(test_engine->task) {
		apt_task_destroy(apt_consumer_task_base_get(test_engine->task));
		test_engine->task = NULL;
	}
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: engine destroyed");
	return TRUE;
}

static apt_bool_t test_engine_open(mrcp_engine_t *engine)
{
	test_engine_t *test_engine = engine->obj;
	const char *mode = mrcp_engine_param_get(engine, "open");
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: engine open [%s] conf [%s]",
	        mode ? mode : "answer", apt_dir_layout_path_get(engine->dir_layout, APT_LAYOUT_CONF_DIR));
	if(mode && strcmp(mode, "never") == 0)
		return TRUE;
	if(mode && strcmp(mode, "fail") == 0)
		return mrcp_engine_open_respond(engine, FALSE);
	apt_task_start(apt_consumer_task_base_get(test_engine->task));
	return mrcp_engine_open_respond(engine, TRUE);
}

static apt_bool_t test_engine_close(mrcp_engine_t *engine)
{
	test_engine_t *test_engine = engine->obj;
	apt_task_terminate(apt_consumer_task_base_get(test_engine->task), TRUE);
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: engine closed");
	return mrcp_engine_close_respond(engine);
}

static mrcp_engine_channel_t* test_engine_channel_create(mrcp_engine_t *engine, apr_pool_t *pool)
{
	test_channel_t *test_channel = apr_pcalloc(pool, sizeof(test_channel_t));
	test_channel->engine = engine->obj;
	apr_thread_mutex_create(&test_channel->mutex, APR_THREAD_MUTEX_DEFAULT, pool);
#ifdef TEST_PLUGIN_SYNTH
	mpf_stream_capabilities_t *capabilities = mpf_source_stream_capabilities_create(pool);
	test_channel->buffer = mpf_buffer_create(pool);
#else
	mpf_stream_capabilities_t *capabilities = mpf_sink_stream_capabilities_create(pool);
#endif
	mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "LPCM");
	mpf_termination_t *termination = mrcp_engine_audio_termination_create(test_channel, &stream_vtable, capabilities, pool);
	test_channel->channel = mrcp_engine_channel_create(engine, &channel_vtable, test_channel, termination, pool);
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: channel created [%s] version [%d]",
	        mrcp_engine_channel_id_get(test_channel->channel), (int)mrcp_engine_channel_version_get(test_channel->channel));
	return test_channel->channel;
}

static apt_bool_t test_channel_destroy(mrcp_engine_channel_t *channel)
{
	test_channel_t *test_channel = channel->method_obj;
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: channel destroyed [%s]", mrcp_engine_channel_id_get(channel));
	if(test_channel->buffer)
		mpf_buffer_destroy(test_channel->buffer);
	apr_thread_mutex_destroy(test_channel->mutex);
	return TRUE;
}

static apt_bool_t test_msg_signal(test_msg_type_e type, mrcp_engine_channel_t *channel, mrcp_message_t *request)
{
	test_channel_t *test_channel = channel->method_obj;
	apt_task_t *task = apt_consumer_task_base_get(test_channel->engine->task);
	apt_task_msg_t *msg = apt_task_msg_get(task);
	if(!msg)
		return FALSE;
	msg->type = TASK_MSG_USER;
	test_msg_t *test_msg = (test_msg_t*)msg->data;
	test_msg->type = type;
	test_msg->channel = channel;
	test_msg->request = request;
	return apt_task_msg_signal(task, msg);
}

static apt_bool_t test_channel_open(mrcp_engine_channel_t *channel)
{
	return test_msg_signal(TEST_MSG_OPEN_CHANNEL, channel, NULL);
}

static apt_bool_t test_channel_close(mrcp_engine_channel_t *channel)
{
	return test_msg_signal(TEST_MSG_CLOSE_CHANNEL, channel, NULL);
}

static apt_bool_t test_channel_request_process(mrcp_engine_channel_t *channel, mrcp_message_t *request)
{
	return test_msg_signal(TEST_MSG_REQUEST, channel, request);
}

/* Every field of the request, with its value, into the response. */
static void test_fields_echo(mrcp_message_t *response, const mrcp_message_t *request)
{
	apt_header_field_t *field = NULL;
	while((field = mrcp_message_next_header_field_get(request, field)) != NULL) {
		if(field->id < GENERIC_HEADER_COUNT) {
			mrcp_generic_header_prepare(response);
			response->header.generic_header_accessor.vtable->duplicate_field(
				&response->header.generic_header_accessor, &request->header.generic_header_accessor, field->id, response->pool);
			mrcp_generic_header_property_add(response, field->id);
		}
		else if(field->id != (apr_size_t)-1) {
			mrcp_resource_header_prepare(response);
			response->header.resource_header_accessor.vtable->duplicate_field(
				&response->header.resource_header_accessor, &request->header.resource_header_accessor,
				field->id - GENERIC_HEADER_COUNT, response->pool);
			mrcp_resource_header_property_add(response, field->id - GENERIC_HEADER_COUNT);
		}
	}
}

static const mpf_codec_descriptor_t* test_codec_get(mrcp_engine_channel_t *channel)
{
#ifdef TEST_PLUGIN_SYNTH
	return mrcp_engine_source_stream_codec_get(channel);
#else
	return mrcp_engine_sink_stream_codec_get(channel);
#endif
}

static void test_completion_cause_set(mrcp_message_t *message, int cause)
{
#ifdef TEST_PLUGIN_SYNTH
	mrcp_synth_header_t *header = mrcp_resource_header_prepare(message);
	header->completion_cause = (mrcp_synth_completion_cause_e)cause;
	mrcp_resource_header_property_add(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
#else
	mrcp_recog_header_t *header = mrcp_resource_header_prepare(message);
	header->completion_cause = (mrcp_recog_completion_cause_e)cause;
	mrcp_resource_header_property_add(message, RECOGNIZER_HEADER_COMPLETION_CAUSE);
#endif
}

/* RECOGNIZE or SPEAK: IN-PROGRESS, the media thread goes on. */
static void test_start(test_channel_t *test_channel, mrcp_message_t *request, mrcp_message_t *response)
{
	const mpf_codec_descriptor_t *descriptor = test_codec_get(test_channel->channel);
	if(!descriptor) {
		response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
		mrcp_engine_channel_message_send(test_channel->channel, response);
		return;
	}
	response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
#ifdef TEST_PLUGIN_SYNTH
	{
		apr_size_t frame_size = descriptor->sampling_rate / 100 * BYTES_PER_SAMPLE;
		char audio[320];
		int i;
		memset(audio, 0x11, sizeof(audio));
		mpf_buffer_restart(test_channel->buffer);
		for(i = 0; i < TEST_SPEAK_FRAMES; i++)
			mpf_buffer_audio_write(test_channel->buffer, audio, frame_size);
		mpf_buffer_event_write(test_channel->buffer, MEDIA_FRAME_TYPE_EVENT);
	}
#endif
	apr_thread_mutex_lock(test_channel->mutex);
	test_channel->active_request = request;
	test_channel->input_started = FALSE;
	test_channel->audio_bytes = 0;
	apr_thread_mutex_unlock(test_channel->mutex);
	mrcp_engine_channel_message_send(test_channel->channel, response);
}

static void test_request_dispatch(test_channel_t *test_channel, mrcp_message_t *request)
{
	mrcp_message_t *response = mrcp_response_create(request, request->pool);
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: request [%s] on [%s]",
	        request->start_line.method_name.buf, mrcp_engine_channel_id_get(test_channel->channel));
#ifdef TEST_PLUGIN_SYNTH
	switch(request->start_line.method_id) {
		case SYNTHESIZER_SET_PARAMS:
		case SYNTHESIZER_GET_PARAMS:
			test_fields_echo(response, request);
			break;
		case SYNTHESIZER_SPEAK:
			test_start(test_channel, request, response);
			return;
		case SYNTHESIZER_STOP:
			apr_thread_mutex_lock(test_channel->mutex);
			test_channel->stop_response = response;
			apr_thread_mutex_unlock(test_channel->mutex);
			return;
		default:
			break;
	}
#else
	switch(request->start_line.method_id) {
		case RECOGNIZER_SET_PARAMS:
		case RECOGNIZER_GET_PARAMS:
			test_fields_echo(response, request);
			break;
		case RECOGNIZER_RECOGNIZE:
			test_start(test_channel, request, response);
			return;
		case RECOGNIZER_INTERPRET: {
			mrcp_message_t *event;
			response->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
			mrcp_engine_channel_message_send(test_channel->channel, response);
			event = mrcp_event_create(request, RECOGNIZER_INTERPRETATION_COMPLETE, request->pool);
			if(!event)
				return;
			event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
			test_completion_cause_set(event, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
			apt_string_copy(&event->body, &request->body, event->pool);
			mrcp_engine_channel_message_send(test_channel->channel, event);
			return;
		}
		case RECOGNIZER_STOP:
			apr_thread_mutex_lock(test_channel->mutex);
			test_channel->stop_response = response;
			apr_thread_mutex_unlock(test_channel->mutex);
			return;
		default:
			break;
	}
#endif
	mrcp_engine_channel_message_send(test_channel->channel, response);
}

static apt_bool_t test_msg_process(apt_task_t *task, apt_task_msg_t *msg)
{
	test_msg_t *test_msg = (test_msg_t*)msg->data;
	mrcp_engine_channel_t *channel = test_msg->channel;
	test_channel_t *test_channel = channel->method_obj;
	const char *id = mrcp_engine_channel_id_get(channel);
	(void)task;
	switch(test_msg->type) {
		case TEST_MSG_OPEN_CHANNEL:
			apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: channel open [%s]", id);
			if(strncmp(id, "mute", 4) == 0)
				break;
			mrcp_engine_channel_open_respond(channel, strncmp(id, "refuse", 6) == 0 ? FALSE : TRUE);
			break;
		case TEST_MSG_CLOSE_CHANNEL:
			apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: channel close [%s]", id);
			if(strncmp(id, "deaf", 4) != 0)
				mrcp_engine_channel_close_respond(channel);
			break;
		case TEST_MSG_REQUEST:
			test_request_dispatch(test_channel, test_msg->request);
			break;
	}
	return TRUE;
}

/* The parked STOP response, taken under the lock; the stopped request gets no completion. */
static mrcp_message_t* test_stop_take(test_channel_t *test_channel)
{
	mrcp_message_t *response = test_channel->stop_response;
	if(!response)
		return NULL;
	test_channel->stop_response = NULL;
	if(test_channel->active_request) {
		mrcp_generic_header_t *generic = mrcp_generic_header_prepare(response);
		generic->active_request_id_list.ids[0] = test_channel->active_request->start_line.request_id;
		generic->active_request_id_list.count = 1;
		mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
		test_channel->active_request = NULL;
	}
	return response;
}

static apt_bool_t test_stream_destroy(mpf_audio_stream_t *stream)
{
	(void)stream;
	return TRUE;
}

static apt_bool_t test_stream_open(mpf_audio_stream_t *stream, mpf_codec_t *codec)
{
	test_channel_t *test_channel = stream->obj;
	(void)codec;
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: stream open [%s]", mrcp_engine_channel_id_get(test_channel->channel));
	return TRUE;
}

static apt_bool_t test_stream_close(mpf_audio_stream_t *stream)
{
	test_channel_t *test_channel = stream->obj;
	apt_log(APT_LOG_MARK, APT_PRIO_INFO, "test-plugin: stream close [%s]", mrcp_engine_channel_id_get(test_channel->channel));
	return TRUE;
}

#ifdef TEST_PLUGIN_SYNTH
static apt_bool_t test_stream_read(mpf_audio_stream_t *stream, mpf_frame_t *frame)
{
	test_channel_t *test_channel = stream->obj;
	mrcp_message_t *send[2] = {NULL, NULL};
	int i;
	apr_thread_mutex_lock(test_channel->mutex);
	send[0] = test_stop_take(test_channel);
	if(send[0]) {
		mpf_buffer_restart(test_channel->buffer);
	}
	else if(test_channel->active_request) {
		frame->type |= MEDIA_FRAME_TYPE_AUDIO;
		mpf_buffer_frame_read(test_channel->buffer, frame);
		if(frame->type & MEDIA_FRAME_TYPE_EVENT) {
			mrcp_message_t *request = test_channel->active_request;
			mrcp_message_t *event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, request->pool);
			if(event) {
				event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
				test_completion_cause_set(event, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
				send[1] = event;
			}
			test_channel->active_request = NULL;
		}
	}
	apr_thread_mutex_unlock(test_channel->mutex);
	for(i = 0; i < 2; i++)
		if(send[i])
			mrcp_engine_channel_message_send(test_channel->channel, send[i]);
	return TRUE;
}
#else
static apt_bool_t test_stream_write(mpf_audio_stream_t *stream, const mpf_frame_t *frame)
{
	test_channel_t *test_channel = stream->obj;
	mrcp_message_t *send[2] = {NULL, NULL};
	int i;
	apr_thread_mutex_lock(test_channel->mutex);
	send[0] = test_stop_take(test_channel);
	if(!send[0] && test_channel->active_request) {
		const char *data = frame->codec_frame.buffer;
		apt_bool_t sound = FALSE;
		apr_size_t n;
		mrcp_message_t *request = test_channel->active_request;
		for(n = 0; n < frame->codec_frame.size && !sound; n++)
			sound = data[n] != 0;
		if(sound) {
			test_channel->audio_bytes += frame->codec_frame.size;
			if(!test_channel->input_started) {
				mrcp_message_t *event = mrcp_event_create(request, RECOGNIZER_START_OF_INPUT, request->pool);
				test_channel->input_started = TRUE;
				if(event) {
					event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
					send[1] = event;
				}
			}
		}
		else if(test_channel->input_started) {
			mrcp_message_t *event = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, request->pool);
			if(event) {
				mrcp_generic_header_t *generic;
				char *body = apr_psprintf(event->pool, "audio-bytes=%" APR_SIZE_T_FMT, test_channel->audio_bytes);
				event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
				test_completion_cause_set(event, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
				apt_string_assign(&event->body, body, event->pool);
				generic = mrcp_generic_header_prepare(event);
				apt_string_assign(&generic->content_type, "text/plain", event->pool);
				mrcp_generic_header_property_add(event, GENERIC_HEADER_CONTENT_TYPE);
				send[1] = event;
			}
			test_channel->active_request = NULL;
		}
	}
	apr_thread_mutex_unlock(test_channel->mutex);
	for(i = 0; i < 2; i++)
		if(send[i])
			mrcp_engine_channel_message_send(test_channel->channel, send[i]);
	return TRUE;
}
#endif
