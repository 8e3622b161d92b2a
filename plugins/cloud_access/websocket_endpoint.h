/*
 * The secure WebSocket client of a plug-in: one process-wide `endpoint` owns the
 * TLS clients with their I/O threads (a few, each running the run loop of its
 * own client) on which every connection handler runs, and the connection records
 * keyed by id (1, 2, ...; always positive, and never one that is still in use).
 *
 * A connection belongs to one I/O thread for its life (new ones are dealt out in
 * turn). Its handlers, and whatever the endpoint does for it there (its close, a
 * resumed read, its connect limit), run in its strand on that thread: one at a
 * time, in the order they were posted. Handlers of connections on different
 * threads run at the same time.
 *
 * The same code is compiled into both plug-ins; the compile definition
 * HARKWIRE_PLUGIN or SPEAKWIRE_PLUGIN selects the channel type kept in each
 * record and the few log differences.
 *
 * How a plug-in uses it
 *   endpoint.start()                      once, at engine open (a second call does nothing)
 *   id = endpoint.connect(uri, channel)   blocks up to 5 s; the id, or -1 (no record is left)
 *   id = endpoint.connect_async(uri, channel, done)
 *                                         returns at once: the id, or -1 when no attempt could be
 *                                         made (done is then never called). done(id, opened) runs
 *                                         once on an I/O thread at the open, the failure or
 *                                         the 5 s limit, unless close(id) came first; a failed
 *                                         attempt leaves no record. channel may be null and given
 *                                         later with attach(id, channel), once the connection is open
 *   channel->ws_connection_id = id        store the id BEFORE sending anything on it
 *   ok = endpoint.send_command(id, text)  false when the id is unknown or the connection not open;
 *                                         else it goes out at once from the connection's thread,
 *                                         behind what was queued (should that send fail, the
 *                                         connection is ending and its lost handler runs)
 *   ok = endpoint.send_data(id, bytes)    binary; false when the id is unknown or not open. Safe on
 *                                         the media thread: it only queues the bytes on the record,
 *                                         and the connection's thread sends them within 40 ms
 *                                         (with the frames queued meanwhile), in order with the
 *                                         commands
 *   endpoint.pause_reading(id)            backpressure: nothing more is read from the connection
 *                                         once the message being delivered is handled (call it from
 *                                         ws_channel_on_message; what the last socket read already
 *                                         holds is still delivered). From any thread
 *   endpoint.resume_reading(id)           reading goes on; from any thread (the media thread too:
 *                                         it only posts to the connection's strand)
 *   endpoint.close(id, code, reason)      removes the record and detaches the channel: once close
 *                                         returns, no handler touches the channel again, so the
 *                                         channel may then be destroyed. The close frame itself goes
 *                                         out from the connection's strand right after (after anything
 *                                         sent before the close). A connection still opening is given
 *                                         up: closed at once should it open
 *
 * The plug-in's half of the seam. Each plug-in defines, once, in its own sources:
 *
 *   void ws_channel_on_message(ws_channel_t* channel, int id, message_ptr msg);
 *       Every message received on connection id while `channel` is attached.
 *       msg->get_opcode() is websocketpp::frame::opcode::text or ::binary,
 *       msg->get_payload() the bytes.
 *
 *   void ws_channel_on_lost(ws_channel_t* channel, int id);
 *       The service closed or dropped connection id after it had opened, or the
 *       endpoint gave up on it (the service took too little of what was sent or
 *       sent a text message too big: the close goes out, and the request must not
 *       wait for the service's answer), while `channel` was still attached (not
 *       after the plug-in's own close). The
 *       plug-in ends its request with an error. It may run before connect() has
 *       returned id to the caller; then the caller's first send_command fails,
 *       which is why the id is stored before sending. A plug-in that may hold
 *       an older connection should compare id with the channel's current one.
 *
 *   and the header "cloud_access_plugin.h" (on its include path) that gives the
 *   complete `system_t` (struct tag system_t) read by the token client.
 *
 * Both seam functions, and a connect's done callback, run on an I/O thread with
 * the record's handler lock held: one at a time PER CONNECTION, while those of
 * other connections (of other channels, or an older connection of the same
 * channel) may run at the same time on other I/O threads. So whatever they touch
 * that is not the connection's own must be guarded by the plug-in. They must not
 * throw (exceptions are caught and logged) and must not block for long: a
 * blocked handler holds one of the few I/O threads. They may call
 * send_command/send_data, and endpoint.close(id, ...) for their own connection
 * id. Because close(id) waits for a handler of connection id that is running on
 * another thread, never call it while holding a lock that a seam function of
 * connection id takes, unless you are that seam function; so a seam function
 * closes no other connection (whose handler might be waiting to close this
 * one), and never calls connect().
 */
#ifndef CLOUD_ACCESS_WEBSOCKET_ENDPOINT_H
#define CLOUD_ACCESS_WEBSOCKET_ENDPOINT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#if defined(HARKWIRE_PLUGIN) == defined(SPEAKWIRE_PLUGIN)
#error "compile cloud_access with exactly one of HARKWIRE_PLUGIN and SPEAKWIRE_PLUGIN"
#endif

class CTokenWrapper;

#if defined(HARKWIRE_PLUGIN)
typedef struct recog_channel_t recog_channel_t;
typedef recog_channel_t ws_channel_t;
#else
typedef struct synth_channel_t synth_channel_t;
typedef synth_channel_t ws_channel_t;
#endif

typedef websocketpp::client<websocketpp::config::asio_tls_client> client;
typedef websocketpp::connection_hdl connection_hdl;
typedef websocketpp::config::asio_tls_client::message_type::ptr message_ptr;
typedef websocketpp::lib::shared_ptr<boost::asio::ssl::context> context_ptr;

/* Seams defined by each plug-in; see the top of this file. */
void ws_channel_on_message(ws_channel_t* channel, int id, message_ptr msg);
void ws_channel_on_lost(ws_channel_t* channel, int id);

typedef enum {
    wscs_unconnected = 0,
    wscs_connected = 1,
    wscs_shutdown = 2,
    wscs_error = 3
} ws_connection_status;

/* The TLS context of every connection, built once: no certificate verification. */
context_ptr on_tls_init(connection_hdl hdl);

class ws_connection;

/*
 * One I/O thread's share of the endpoint: a client with a run loop of its own, which that thread
 * runs, and the sweep that sends what its connections have queued.
 */
struct ws_io_loop {
    client c;
    /* Connections of this loop with something queued, under flush_mutex (held only to add one or to
     * take the list): added to by whoever queues first on a connection (the media thread, the tasks),
     * taken by the sweep on this loop's thread. flush_armed: a sweep is pending; a sweep that finds
     * work arms the next itself, one that finds none clears it (under flush_mutex), and whoever
     * then lists a connection arms the sweeps again. */
    std::mutex flush_mutex;
    std::vector<std::shared_ptr<ws_connection>> flush_list;
    std::atomic<bool> flush_armed{false};
};

/*
 * One connection of one channel. Shared by the endpoint's map and by the
 * handlers bound on the connection, so it outlives its map entry until the
 * library drops the connection.
 *
 * Threads: the connecting task creates it and starts its library connection (a
 * retry in full is started on the I/O thread); from then on the library's handlers,
 * what the endpoint posts for the connection and the sweep of its loop run on its
 * loop's I/O thread, one at a time ("the connection's thread" below), and every call
 * into the library for the connection is made there. The tasks and the media thread
 * queue messages and closes for it. Each field says its lock, or that only the
 * connection's thread uses it.
 */
class ws_connection {
public:
    typedef websocketpp::lib::shared_ptr<ws_connection> ptr;

    ws_connection(ws_io_loop* loop, connection_hdl hdl, const std::string& service, ws_channel_t* channel);

private:
    /* Stores s under mt, wakes every waiter; returns the status before. */
    ws_connection_status set_status(ws_connection_status s);

public:
    /* The status handlers; on_fail and on_close return the status before. */
    void on_open(client* c, connection_hdl hdl);
    ws_connection_status on_fail(client* c, connection_hdl hdl);
    ws_connection_status on_close(client* c, connection_hdl hdl);
    void on_message(client* c, connection_hdl hdl, message_ptr msg);
    /* The library connection the record follows (under mt). */
    connection_hdl get_hdl();
    /* Follows hdl from now on (a connect's retry, still connecting); false when the connect was
     * given up meanwhile. */
    bool retarget(connection_hdl hdl);
    /* The connect gave up on this record (abandon). */
    bool is_abandoned();
    ~ws_connection();

    /* Detaches the channel and drops the connect's done callback; waits for a handler that is
     * using either on another thread. */
    void detach();
    /* Gives the channel to a record that has none; false when the connection is not open. */
    bool attach(ws_channel_t* channel);
    /* The connect's done callback, and telling it the outcome, once. */
    void set_done(std::function<void(int, bool)> done);
    void report(bool opened);
    /* The connect gave up on this record: a late open closes the connection at once. */
    void abandon();
    ws_connection_status get_status();
    /* Logs that the connection closes with 1009, once; on the connection's thread. */
    void log_too_big();
    /* Waits until the connection is no longer open (or deadline). */
    bool wait_ended(std::chrono::steady_clock::time_point deadline);

    ws_io_loop* const loop;          /* the run loop (one I/O thread) that runs the connection */
    connection_hdl m_hdl;            /* guarded by mt; replaced only by a retry while connecting */
    const std::string service;       /* "host:port": whose TLS sessions the connection takes and keeps */
#if defined(HARKWIRE_PLUGIN)
    recog_channel_t* recog_channel;  /* the channel that connected; null once detached */
#else
    synth_channel_t* synth_channel;  /* the channel that connected; null once detached */
#endif
    ws_connection_status status;     /* guarded by mt */
    std::condition_variable cv;      /* notified on every status change */
    std::mutex mt;

    /* Given once, before the record is listed (under the endpoint's m_list_mutex); fixed after. */
    int id;

    /* Outgoing messages, in order. The media thread and the tasks queue under out_mt, which is
     * held only to add to the outbox or to take it whole, never across a library call; the
     * connection's thread takes it and hands it to the library (its loop's sweep, a command's
     * flush, the close), so nothing overtakes what was queued before it. */
    struct outgoing {
        websocketpp::frame::opcode::value opcode;
        std::string payload;
    };
    std::mutex out_mt;
    std::vector<outgoing> outbox;    /* guarded by out_mt */
    std::vector<outgoing> sending;   /* the connection's thread only: the outbox taken, being sent */
    /* Payloads already sent, kept for their memory: queueing a frame copies it into one of them, so
     * the media thread allocates nothing (and frees nothing another thread allocated). Guarded by
     * out_mt; a few at most. */
    std::vector<std::string> spare;
    bool listed;                     /* guarded by out_mt: in its loop's flush list since its
                                        outbox was last taken */
    /* The connection's thread only: what the pongs queued since the service last showed it takes
     * data cost (each its payload and PONG_COST), and the socket's acknowledged bytes when last seen
     * while pongs were owed. */
    size_t pongs_owed;
    uint64_t acked_seen;
    bool given_up;                   /* the connection's thread only: the service misbehaved (took
                                        too little, sent too much), the connection is closing, what is
                                        still queued is dropped */
    bool too_big;                    /* the connection's thread only: closed with 1009, and said so */
    /* The connection's thread: closes with code at once, sends nothing more, and tells the channel
     * now that its connection is lost: a service that misbehaves may never answer the close. */
    void give_up(const client::connection_ptr& con, unsigned short code);

    /* Backpressure: pause_wanted is written by any thread. paused_con, used only on the
     * connection's thread, holds the connection while the library reads nothing from it (no
     * pending read holds it then); set, reading is paused. */
    std::atomic<bool> pause_wanted;
    websocketpp::client<websocketpp::config::asio_tls_client>::connection_ptr paused_con;
    /* The connection's thread: applies pause_wanted behind a delivered message. */
    void pause_if_wanted(client* c, connection_hdl hdl);
    /* The connection's thread: reading goes on when it was paused. */
    void resume_paused();

    /* The connect's limit, a timer of the connection (it fires on the connection's thread): armed
     * by the connecting task, cancelled on the connection's thread by the open, the failure or the
     * close. */
    client::timer_ptr connect_timer; /* guarded by mt */
    void cancel_connect_timer();

private:
    ws_channel_t*& channel_ref();
    /* The library is done with the connection (its fail or close handler): the socket's release, the
     * status s, and the channel told when it was open; returns the status before. */
    ws_connection_status ended(client* c, connection_hdl hdl, ws_connection_status s, const char* where);
    /* Tells the channel, if still attached, that the connection is lost, when it was open before. */
    void tell_lost(ws_connection_status before, const char* where);
    /* Guards the channel pointer and is held while a seam function runs with it;
     * recursive because the plug-in closes from inside its own handler. */
    std::recursive_mutex channel_mt;
    bool abandoned;                  /* guarded by mt */
    std::function<void(int, bool)> on_done;  /* guarded by channel_mt; empty once told or detached */
};

typedef std::map<int, ws_connection::ptr> con_list;

class websocket_endpoint {
public:
    websocket_endpoint();
    /* Closes what is still open (going away), waits a bounded time, stops the run loop, joins. */
    ~websocket_endpoint();

    /* Starts the I/O threads once; false when none can be created (fewer than wanted: logged,
     * and the endpoint runs on those it has). */
    bool start();
    int connect(const std::string& uri, ws_channel_t* channel);
    int connect_async(const std::string& uri, ws_channel_t* channel, std::function<void(int, bool)> done);
    /* Gives an open connection, made without a channel, its channel; false when it is not open. */
    bool attach(int id, ws_channel_t* channel);
    void close(int id, unsigned short code, std::string reason);
    bool send_command(int id, const std::string& command);
    bool send_data(int id, const std::string& data);
    void pause_reading(int id);
    void resume_reading(int id);

    /* Inspection and test seam. */
    bool has_connection(int id);
    size_t connection_count();
    int last_id();
    void set_last_id(int id);                           /* the next connect takes the id after it */
    ws_connection::ptr find(int id);
    void set_token_source(CTokenWrapper* token);        /* default: the global tokenwrapper */
    void set_connect_timeout(std::chrono::milliseconds timeout);
    void set_unload_wait(std::chrono::milliseconds wait);
    void set_unsent_limit(size_t bytes);                /* default UNSENT_LIMIT */

private:
    websocket_endpoint(const websocket_endpoint&) = delete;
    websocket_endpoint& operator=(const websocket_endpoint&) = delete;

    ws_connection::ptr take(int id);
    /* The next id: positive, and not one still in the map. Under m_list_mutex. */
    int next_free_id();
    /* The record leaves the map, unless another record has taken its id since. */
    void erase_record(const ws_connection::ptr& rec);
    /* A connect that gave up after its record was stored: record and attempt go. */
    void forget(const ws_connection::ptr& rec);
    /* An attempt that did not open: no record is left, a late open is closed, done hears false. */
    void connect_failed(const ws_connection::ptr& rec);
    /* One library connection of a connect: the first, or the retry in full (websocket_endpoint.cpp). */
    struct attempt;
    /* Binds the token header, rec's handlers and the connect's limit on con and starts it; under
     * m_connect_mutex. */
    void begin_attempt(const ws_connection::ptr& rec, client::connection_ptr con, std::shared_ptr<attempt> a);
    /* Whether attempt a of rec failed for the session it offered; on the connection's thread. */
    bool session_failed(const ws_connection::ptr& rec, connection_hdl hdl, const attempt& a);
    /* A handshake that offered a kept TLS session failed before its TLS handshake completed: the
     * service's sessions are dropped and the connect goes on with a full handshake in what is left of
     * its limit. False when it is not retried (then it has failed). On the connection's thread. */
    bool retry_in_full(const ws_connection::ptr& rec, connection_hdl hdl, const std::shared_ptr<attempt>& failed);
    void run(ws_io_loop* loop);
    /* Queues a binary message of these bytes on rec for its loop's next sweep: lists rec for it
     * unless listed, arms it unless armed. Throws only when the message cannot be queued. */
    void enqueue(const ws_connection::ptr& rec, const std::string& bytes);
    /* The sweep, on the loop's thread: sends what every connection in its flush list has queued. */
    void flush_queued(ws_io_loop* loop);
    /* Sets the loop's next sweep FLUSH_DELAY_MS ahead; clears flush_armed when it cannot. */
    void arm_sweep(ws_io_loop* loop);
    /* Hands what rec has queued to the library; on rec's thread only. */
    void flush(const ws_connection::ptr& rec);
    /* On rec's thread: whether the service still takes what is sent, a pong of pong_cost bytes
     * (its payload and PONG_COST) about to be queued included; once what waits for it passes
     * m_unsent_limit, the connection is given up (1001) and this is false. */
    bool takes_more(const ws_connection::ptr& rec, const client::connection_ptr& con, size_t pong_cost = 0);

    con_list m_connection_list;      /* guarded by m_list_mutex */
    int m_next_id;                   /* last id handed out; guarded by m_list_mutex */
    /* One per I/O thread, made at construction; m_threads[i] runs m_loops[i]. */
    std::vector<std::unique_ptr<ws_io_loop>> m_loops;
    std::vector<std::thread> m_threads;  /* the I/O threads; under m_start_mutex */
    std::atomic<unsigned> m_running;     /* how many loops have a thread: set by start() */
    unsigned m_next_loop;              /* deals out the new connections; under m_connect_mutex */

    /* Never held across a library call or a wait; shared for look-ups, which run per audio frame. */
    std::shared_mutex m_list_mutex;
    std::mutex m_start_mutex;
    std::mutex m_connect_mutex;      /* serializes the library's connect calls (the tasks, and an I/O
                                        thread's retry), never a wait */
    CTokenWrapper* m_token;
    std::chrono::milliseconds m_connect_timeout;
    size_t m_unsent_limit;
    std::chrono::milliseconds m_unload_wait;
};

/* The plug-in's process-wide WebSocket client. */
extern websocket_endpoint endpoint;

#endif
