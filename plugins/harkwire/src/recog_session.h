/*
 * One recognition on the wire: RECOGNIZE on the engine task, the audio stream
 * on the media thread, the service's replies on the endpoint's I/O threads, STOP and
 * GET-RESULT, and the channel-close steps that end a recognition.
 *
 * Threads and the channel lock: the engine task (RECOGNIZE, STOP, GET-RESULT,
 * engine-task close), a server thread (channel close), the media thread
 * (frames) and the I/O threads (replies, lost connections) all meet in the
 * fields ws_connection_id, recog_request, stop_response, stop_response_sent,
 * audio_file, last_result and the session below; every read and write of them
 * happens under the channel lock. The lock is never held across a connect.
 */
#ifndef HARKWIRE_RECOG_SESSION_H
#define HARKWIRE_RECOG_SESSION_H

#include <stdint.h>

#include <string>

#include "apt.h"
#include "mpf_stream.h"
#include "mrcp_message.h"
#include "mrcp_recog_header.h"
#include "recog_downsample.h"
#include "rule.h"

struct recog_channel_t;
typedef struct mrcp_engine_channel_t mrcp_engine_channel_t;

/* What the reply handler needs of the grammar state, taken at RECOGNIZE, so that a later
 * DEFINE-GRAMMAR or RECOGNIZE cannot change the results of a running recognition. */
struct recog_snapshot_t {
    std::string grammar_id;
    const char* capability = NULL;   /* a static name, or NULL */
    rule document;                   /* copy of the rule document as parsed */
    bool need_qa = false;            /* for the close-time append */
    std::string user_id;
};

/* Per-channel recognition state beyond the channel record's own fields. */
struct recog_session_t {
    recog_snapshot_t snapshot;
    std::string audio_path;          /* the recording the channel writes, empty when none */
    bool stream_open = false;        /* open_tx seen and close_tx not yet: frames flow */
    bool closed = false;             /* channel close ran: replies and frames are dropped */
    bool downsample = false;         /* the stream runs at 16 kHz; the service gets 8 kHz */
    recog_downsampler downsampler;
    std::string frame;               /* the media thread's: the bytes being sent, kept for its memory */
};

/* Timing values of the START command. */
struct recog_start_timing_t {
    int64_t no_input_timeout = 0;        /* ms */
    int64_t recognition_timeout = 0;     /* ms */
    int64_t speech_complete_timeout = 0; /* ms */
    float sensitivity_level = 0.0f;
    bool vad_head = true;                /* send "vad_head" */
};

/* The channel's values, with "vad_head" only when the no-input timeout is positive. */
recog_start_timing_t recog_start_timing_from_header(const mrcp_recog_header_t* header);
/* The configured values ("param_priority" 1) and the rule's params block: "vad_head" always. */
recog_start_timing_t recog_start_timing_from_rule(const rule& document);

/* The START command text: compact JSON, members in key order, ending in a line feed. */
std::string build_start_command(const std::string& language, const std::string& domain,
                                const recog_start_timing_t& timing, const char* vocabulary);

/* The END command text. */
std::string build_end_command();

/* Service URI from the configured URL: a last path segment ending in "-stream" is replaced
 * by "continue-stream" or "sentence-stream", else that segment is added; a query is kept. */
std::string construct_uri(const std::string& init_path, bool continuous);

/* TRUE when len is below 1 or every byte is 0. */
apt_bool_t is_zero(const void* data, int len);

/* The channel's session state (a member of its recognition context). */
recog_session_t* recog_channel_session(recog_channel_t* recog_channel);

/* RECOGNIZE on the engine task; TRUE when the response is taken care of: the grammar's fetch or
 * the connect has started and its outcome goes on (recog_channel_recognize_fetched,
 * recog_channel_connected). FALSE with the response's status set. */
apt_bool_t recog_channel_recognize(mrcp_engine_channel_t* channel, mrcp_message_t* request,
                                   mrcp_message_t* response);

/* Engine task: the waiting RECOGNIZE's grammar fetch ended with this load status; goes on from
 * there (parse, connect). TRUE and FALSE as recog_channel_recognize. */
apt_bool_t recog_channel_recognize_fetched(mrcp_engine_channel_t* channel, mrcp_message_t* request,
                                           mrcp_message_t* response, int status);

/* Engine task: the connection of the channel's waiting RECOGNIZE opened or failed; START and
 * IN-PROGRESS, or 421 with cause 6. */
void recog_channel_connected(recog_channel_t* recog_channel, int connection_id, bool opened);

/* Engine task: the channel closes while its RECOGNIZE waits for the connection: the request is
 * answered as a failed connect, and the connection is given up (closed should it open). */
void recog_channel_connect_abandon(recog_channel_t* recog_channel);

/* STOP on the engine task: ends the recognition and parks or sends the response. */
apt_bool_t recog_channel_stop(recog_channel_t* recog_channel, mrcp_message_t* response);

/* GET-RESULT on the engine task: 200 with the last result, else 407. Does not send. */
apt_bool_t recog_channel_get_result(recog_channel_t* recog_channel, mrcp_message_t* response);

/* Puts last_result into the message as its NLSML body; always TRUE. The caller holds the lock. */
apt_bool_t recog_result_load(recog_channel_t* recog_channel, mrcp_message_t* message);

/* Ends the recognition with the cause; closes the connection with 1001. The caller holds the
 * lock and is that connection's own reply or lost handler (a close from any other thread under
 * the lock could wait for that handler, which waits for the lock), or the connection id is
 * already -1. */
apt_bool_t recog_recognition_complete(recog_channel_t* recog_channel, mrcp_recog_completion_cause_e cause);

/* Channel close on the server thread: END and close 1001 when connected, detach the
 * channel from its connections, finish the waveform. */
void recog_session_channel_close(recog_channel_t* recog_channel);

/* Engine task's close handling: close a recording still open, END and close 1000 when connected,
 * send a parked STOP response. */
void recog_session_engine_close(recog_channel_t* recog_channel);

/* One text reply of connection 'connection_id', on an I/O thread (called through the endpoint's
 * ws_channel_on_message). */
void recog_session_on_reply(recog_channel_t* recog_channel, int connection_id, const std::string& payload);

/* A connection that closed or failed without the channel asking, on an I/O thread. */
void recog_session_on_lost(recog_channel_t* recog_channel, int connection_id);

/* The channel's audio stream (a sink). */
apt_bool_t recog_stream_destroy(mpf_audio_stream_t* stream);
apt_bool_t recog_stream_open(mpf_audio_stream_t* stream, mpf_codec_t* codec);
apt_bool_t recog_stream_close(mpf_audio_stream_t* stream);
apt_bool_t recog_stream_write(mpf_audio_stream_t* stream, const mpf_frame_t* frame);

#endif /* HARKWIRE_RECOG_SESSION_H */
