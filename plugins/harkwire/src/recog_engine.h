/*
 * The recognizer engine of harkwire: the engine object, its task messages, and
 * the channel record with its recognition context, as every part of the
 * recognizer (dispatch, RECOGNIZE, the session, grammar loading, waveforms)
 * shares them.
 */
#ifndef HARKWIRE_RECOG_ENGINE_H
#define HARKWIRE_RECOG_ENGINE_H

#include <stdio.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "apt_consumer_task.h"
#include "mrcp_recog_engine.h"
#include "nlsml.h"
#include "recog_fetch.h"
#include "recog_grammar.h"
#include "recog_properties.h"
#include "recog_session.h"
#include "rule.h"

typedef struct recog_channel_t recog_channel_t;

/*
 * The channels the engine task may work on, by serial number. A message names its channel by
 * serial, so that one queued for a channel destroyed since (a connect's or a grammar fetch's
 * outcome, or whatever was queued when the server stopped waiting for the close) finds nothing, also when a new channel
 * took the same memory. Destroy waits while the engine task works on the channel.
 * Every member is guarded by 'mutex'.
 */
class recog_channel_registry {
public:
    unsigned long add(recog_channel_t* channel);
    /* Engine task: the channel, marked as worked on until leave(); NULL when it is gone. */
    recog_channel_t* enter(unsigned long serial);
    void leave();
    /* Channel destroy: once it returns, the engine task does not reach the channel again. */
    void remove(unsigned long serial);
    std::vector<unsigned long> serials();

private:
    std::mutex mutex;
    std::condition_variable cv;     /* the engine task left a channel */
    std::map<unsigned long, recog_channel_t*> live;
    unsigned long last = 0;         /* the last serial handed out */
    unsigned long busy = 0;         /* the channel the engine task works on, 0 when none */
};

/* The engine object registered with the server. */
typedef struct recog_engine_t recog_engine_t;
struct recog_engine_t {
    apt_consumer_task_t* task;   /* the engine task "Recog Engine"; NULL once destroyed */
    recog_channel_registry* channels;  /* created with the engine, deleted at its destroy */
    recog_fetches* fetches;      /* grammar fetches; created with the engine, deleted at its destroy */
    bool ending;                 /* set by the engine task at its end, when no connect's outcome can come
                                  * back; cleared by open before the task starts */
};

typedef enum {
    RECOG_MSG_OPEN_CHANNEL,
    RECOG_MSG_CLOSE_CHANNEL,
    RECOG_MSG_REQUEST_PROCESS,
    RECOG_MSG_CONNECTED,         /* an I/O thread: a RECOGNIZE's connection opened or failed */
    RECOG_MSG_FETCHED            /* a fetch's thread: a grammar fetch ended */
} recog_msg_type_e;

/* What a channel operation, or a connect's or a fetch's outcome, posts to the engine task. */
typedef struct recog_msg_t recog_msg_t;
struct recog_msg_t {
    recog_msg_type_e type;
    unsigned long serial;        /* the channel's serial number */
    mrcp_message_t* request;     /* NULL for open, close and an outcome */
    int connection_id;           /* RECOG_MSG_CONNECTED: the connection */
    apt_bool_t opened;           /* RECOG_MSG_CONNECTED: whether it opened */
    unsigned long fetch_id;      /* RECOG_MSG_FETCHED: the fetch (recog_fetches) */
};

/*
 * A request that waits: a RECOGNIZE whose connection is opening, or a DEFINE-GRAMMAR or RECOGNIZE
 * whose grammar is being fetched; and the channel's messages that came behind it. The engine task
 * goes on with other channels meanwhile and handles these, in order, once the request has its
 * answer. At most one of connection_id and fetch_id is set. Engine task only.
 */
struct recog_pending_t {
    int connection_id = -1;          /* the connection being opened; -1 when none */
    unsigned long fetch_id = 0;      /* the grammar fetch under way; 0 when none */
    grammar_fetch_request fetch;     /* what that fetch is for */
    mrcp_message_t* request = NULL;
    mrcp_message_t* response = NULL;
    std::deque<recog_msg_t> held;

    bool waiting() const { return connection_id != -1 || fetch_id != 0; }
};

/*
 * The recognition context of a channel, created and deleted with the channel.
 * grammar_id, capability, grammars, rule and language belong to the engine
 * task; nlsml, set up at create, is then used only by the reply handler under
 * the channel's guard (a late reply of the channel's older connection may be
 * handled at the same time on another I/O thread); session is shared under the
 * channel's guard (see recog_session.h).
 */
struct recog_context_t {
    std::string grammar_id;                      /* id of the grammar of the current recognition */
    const char* capability = NULL;               /* capability name chosen by RECOGNIZE */
    grammar_store grammars;                      /* grammar id -> grammar text, bounded */
    rule doc;                                    /* the parsed grammar or rule document */
    nlsml generator;                             /* result generator and its documents */
    std::string language;                        /* recognition language name */
    recog_session_t session;                     /* the running recognition's state */
};

/*
 * One recognizer channel. The record lives in the channel's pool.
 *
 * Threads: the engine task handles every request; a server thread calls
 * create, open, close and destroy; the media thread writes audio and sends a
 * parked STOP response; the endpoint's I/O threads turn replies into events
 * (one handler at a time per connection, but the handlers of a channel's older
 * connection and of other channels' connections run at the same time).
 *
 * Fields marked [guard] are shared by those threads and are read and written
 * only while holding 'guard'. Hold it briefly: never across a connect, a
 * grammar fetch or a wait (a reply handler waiting for it holds an I/O thread).
 * Lock order: the channel's guard, then the endpoint's connection map.
 * The other fields belong to the thread named beside them.
 */
struct recog_channel_t {
    recog_engine_t* recog_engine;            /* set at create */
    unsigned long serial;                    /* set at create: the channel in the engine's registry */
    mrcp_engine_channel_t* channel;          /* set at create */
    mrcp_recog_header_t mrcp_recog_header;   /* engine task: the channel's header values */
    save_wave_t save_wave;                   /* set at create, then read only */
    save_wave_t save_navi_wave;              /* set at create, then read only */
    int ws_connection_id;                    /* [guard] open connection, -1 when none */
    std::string last_result;                 /* [guard] latest NLSML document, empty when none yet */
    mrcp_message_t* recog_request;           /* [guard] the RECOGNIZE in progress */
    mrcp_message_t* stop_response;           /* [guard] the parked STOP response */
    FILE* audio_file;                        /* [guard] the waveform being saved */
    recog_context_t* context;                /* created at create, deleted at destroy */
    apt_bool_t stop_response_sent;           /* [guard] the media thread sent the parked response */
    apt_bool_t stop_response_asynchronous;   /* [guard] STOP delivery path of the media thread */
    apr_pool_t* pool;                        /* the channel's pool */
    apt_bool_t first_frame_logged;           /* [guard] the recognition's first frame was logged */
    recog_pending_t pending;                 /* engine task: a request waiting for a connect or a fetch */
    std::mutex guard;                        /* guards the fields marked [guard] */
};

/* Creates the engine object, its task and the engine (mrcp_plugin_create); NULL without a task. */
mrcp_engine_t* recog_engine_create(apr_pool_t* pool);

/* Posts one message to the engine task; FALSE when none could be had. */
apt_bool_t recog_msg_signal(recog_msg_type_e type, mrcp_engine_channel_t* channel, mrcp_message_t* request);
/* Posts a connect's outcome for the channel with this serial (an I/O thread; any number at once). */
void recog_msg_connected(recog_engine_t* recog_engine, unsigned long serial, int connection_id, bool opened);

/* Engine task: fetches the grammar of the request off the engine task; the request waits, and the
 * fetch's outcome completes it. GRAMMAR_LOAD_FETCH when the fetch started, else 407 (logged). */
int recog_fetch_start(recog_channel_t* recog_channel, mrcp_message_t* request, mrcp_message_t* response,
                      const grammar_fetch_request& fetch);

/* The engine task's message handler. */
apt_bool_t recog_msg_process(apt_task_t* task, apt_task_msg_t* msg);

#endif /* HARKWIRE_RECOG_ENGINE_H */
