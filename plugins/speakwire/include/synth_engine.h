/*
 * The synthesizer engine, its channels and the messages between the tasks.
 *
 * Threads that share a channel record:
 *   server threads   create, open, close, destroy, request processing
 *   "Synth Engine"   every MRCP request of every channel, one at a time
 *   "Synth Task"     the channel's speak task: one SPEAK at a time
 *   media thread     the audio stream's reads
 *   I/O threads      the service's messages for the channel's connection (the
 *                    endpoint's; one handler at a time per connection, while
 *                    an older connection's late ones may run beside them)
 * The flags that several of them write are atomic; the audio buffer guards
 * itself; `guard` is held while the buffer is drained or destroyed; the
 * waveform file is used only under `audio_file_mutex`. Everything about the
 * SPEAK requests themselves (which one plays, its IN-PROGRESS, STOP
 * responses waiting to go out) lives in `speak_state`, under its own lock
 * (synth_speak_state.h).
 */
#ifndef SPEAKWIRE_SYNTH_ENGINE_H
#define SPEAKWIRE_SYNTH_ENGINE_H

#include <stdio.h>

#include <atomic>
#include <mutex>

#include <apr_thread_mutex.h>

#include "apt_consumer_task.h"
#include "mpf_buffer.h"
#include "mrcp_synth_engine.h"
#include "vendor_specific_parameters.h"

typedef struct synth_engine_t synth_engine_t;
struct synth_engine_t {
    apt_consumer_task_t *task;   /* "Synth Engine"; NULL after destroy */
};

typedef enum {
    SYNTH_MSG_OPEN_CHANNEL,
    SYNTH_MSG_CLOSE_CHANNEL,
    SYNTH_MSG_REQUEST_PROCESS,
    SYNTH_MSG_CHANNEL_CLOSING    /* a close, behind the requests posted before it */
} synth_msg_type_e;

/* A message to the engine task. */
typedef struct synth_msg_t synth_msg_t;
struct synth_msg_t {
    synth_msg_type_e type;
    mrcp_engine_channel_t *channel;
    mrcp_message_t *request;     /* NULL for open and close */
};

typedef struct synth_channel_t synth_channel_t;
struct synth_speak_state_t;

/* A message to a channel's speak task: one SPEAK to carry out. */
typedef struct speak_msg_t speak_msg_t;
struct speak_msg_t {
    synth_channel_t *channel;
    mrcp_message_t *request;
};

/* One synthesizer channel; lives in the channel pool, constructed in place at create. */
struct synth_channel_t {
    synth_engine_t *synth_engine;            /* the owning engine */
    mrcp_engine_channel_t *channel;          /* the server's channel */
    apr_thread_mutex_t *guard;               /* held while the audio buffer is drained or destroyed; made
                                                at create, which fails without it */
    std::atomic<apt_bool_t> opened;          /* open and its speak task runs */
    std::atomic<apt_bool_t> paused;          /* PAUSE in force */
    FILE *audio_file;                        /* the waveform file while saving; under audio_file_mutex */
    mrcp_synth_header_t mrcp_synth_header;   /* the channel's header values (engine task) */
    vendor_specific_t vendor_specific;       /* the channel's vendor-specific values (engine task) */
    std::atomic<int> ws_connection_id;       /* the channel's connection, -1 when none */
    mpf_buffer_t *audio_buffer;              /* synthesized audio waiting to be played */
    int iId;                                 /* channel number in log lines */
    apr_pool_t *pool;                        /* the channel pool */
    apt_task_t *task;                        /* the speak task, "Synth Task" */
    apt_bool_t task_ending;                  /* the close ended the speak task (engine task, before the
                                                close is answered); destroy then joins its thread */
    apt_task_msg_pool_t *msg_pool;           /* the speak task's messages */
    std::mutex audio_file_mutex;             /* taken by close and by the message handler's appends */
    synth_speak_state_t *speak_state;        /* the SPEAK requests' shared state, made at create */
};

/* The engine with its task "Synth Engine" (not running); NULL when the task cannot be made. */
mrcp_engine_t *synth_engine_create(apr_pool_t *pool);

/* Posts a message to the engine task; TRUE when posted. */
apt_bool_t synth_msg_signal(synth_msg_type_e type, mrcp_engine_channel_t *channel, mrcp_message_t *request);

/* The engine task's message handler. */
apt_bool_t synth_msg_process(apt_task_t *task, apt_task_msg_t *msg);

/* Closes the channel: ends its speak task, which answers the close. On the engine task, after every
 * request posted before the close. */
void synth_channel_close_now(mrcp_engine_channel_t *channel);

/*
 * What the channel's life calls of the request handling (synth_dispatch.cpp),
 * the speak task (synth_speak.cpp) and the audio output (synth_output.cpp):
 */
/* One MRCP request of an open channel, on the engine task; answered exactly once, now or later. */
void synth_request_dispatch(mrcp_engine_channel_t *channel, mrcp_message_t *request);
/* The speak task's message handler: one speak_msg_t. */
apt_bool_t task_speak(apt_task_t *task, apt_task_msg_t *msg);
/* Gives a new channel its SPEAK state, freed with the channel's pool. FALSE without memory. */
apt_bool_t synth_speak_state_create(synth_channel_t *channel, apr_pool_t *pool);
/* The channel is closing: whatever the speak task waits for ends, so that terminating it cannot hang. */
void synth_speak_closing(synth_channel_t *channel);
/* The audio stream: a source the media thread reads. */
apt_bool_t synth_stream_destroy(mpf_audio_stream_t *stream);
apt_bool_t synth_stream_open(mpf_audio_stream_t *stream, mpf_codec_t *codec);
apt_bool_t synth_stream_close(mpf_audio_stream_t *stream);
apt_bool_t synth_stream_read(mpf_audio_stream_t *stream, mpf_frame_t *frame);

/* Appends audio to the waveform file when one is open; safe against a concurrent close. */
void synth_channel_audio_file_write(synth_channel_t *synth_channel, const void *data, apr_size_t size);
/* Closes the waveform file when one is open. */
void synth_channel_audio_file_close(synth_channel_t *synth_channel);

/* The voice-detect thread, started at engine open and stopped at close. */
apt_bool_t start_tts_engine_detect(apr_pool_t *pool);
apt_bool_t stop_tts_engine_detect();

#endif
