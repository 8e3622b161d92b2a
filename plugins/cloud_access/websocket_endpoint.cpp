/*
 * The endpoint: its I/O threads with their run loops, connect, close, and the connection map.
 *
 * Threads: the plug-in's tasks connect (harkwire's engine task, speakwire's speak tasks, several at
 * a time) and close (also the WebSocket handlers, closing their own connection); the media thread
 * looks up a connection per frame (find, under the shared list lock); engine open starts the I/O
 * threads and library unload destroys the endpoint. Each I/O thread runs one loop (run); a
 * connection's handlers and what is posted to its strand run there. A connect whose resumed TLS
 * handshake failed is retried in full from its fail handler, on its I/O thread.
 * Locks: m_connect_mutex (the library's connect calls, never a wait) is taken before a record's mt
 * (begin_attempt, a retry). m_list_mutex (m_connection_list and m_next_id) is held only for a map
 * look-up, insert or extract, and nothing else is taken while it is held; it is taken after a record's
 * channel_mt when a seam function or a connect's done closes its own connection. m_start_mutex guards
 * m_threads and is taken alone (start, the destructor).
 */
#include "websocket_internal.h"

#include <limits.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "apt_log.h"
#include "token_wrapper.h"

using wss::CONNECT_WAIT;
using wss::FIND_SPINS;
using wss::GATHER_WAIT;
using wss::MAX_MESSAGE;
using wss::UNLOAD_WAIT;
using wss::UNSENT_LIMIT;
using wss::post_to_strand;

/* Constructed after `tokenwrapper` (this source follows it in the build), destroyed before it. */
websocket_endpoint endpoint;

namespace {

/*
 * How many I/O threads run the endpoint. Their work is CPU: TLS handshakes and the encryption of
 * every message, which one thread cannot do for a thousand channels (hundreds of handshakes and
 * tens of thousands of messages a second). At least two, so that a burst of handshakes does not
 * hold every other connection's messages; at most four and at most a quarter of the cores, so that
 * both plug-ins together keep to half of them: the server's media thread and its own threads need
 * the rest, and a media thread that loses its core misses its 10 ms. Fewer threads also cost less:
 * each wakes for more events at a time.
 *
 * Each thread runs a run loop of its own, and a connection belongs to one of them for its life.
 * One run loop shared by the threads, with the connection's strand keeping its handlers apart,
 * is not enough with the Asio we build against: the inner steps of a TLS read, write or
 * handshake complete outside the strand that wraps the operation, so a connection's TLS state
 * would be used from two threads at once.
 */
unsigned io_thread_count()
{
    const unsigned quarter = std::thread::hardware_concurrency() / 4;  /* 0 when unknown */
    return std::min(4u, std::max(2u, quarter));
}

}  // namespace

struct websocket_endpoint::attempt {
    /* Fixed before the attempt starts. */
    std::string uri;
    std::string token;  /* "" without one */
    std::chrono::steady_clock::time_point deadline;  /* the connect's, the same for its retry */
    bool resume;        /* offer a kept TLS session */
    /* The connection's thread only: a kept session went out in this attempt's handshake. */
    bool offered = false;
};

websocket_endpoint::websocket_endpoint()
    : m_next_id(0), m_running(0), m_next_loop(0), m_token(&tokenwrapper), m_connect_timeout(CONNECT_WAIT),
      m_unsent_limit(UNSENT_LIMIT), m_unload_wait(UNLOAD_WAIT)
{
    /* The library learns the byte order for 64-bit frame lengths on first use, in a static
     * without a lock: learnt here, at load, before the tasks and the I/O threads send
     * or read long frames at the same time. */
    websocketpp::lib::net::_htonll(0);
    wss::tls_sessions_init();
    const unsigned count = io_thread_count();
    for (unsigned i = 0; i < count; ++i) {
        m_loops.emplace_back(new ws_io_loop);
        client& c = m_loops.back()->c;
        c.clear_access_channels(websocketpp::log::alevel::all);
        c.clear_error_channels(websocketpp::log::elevel::all);
        c.init_asio();
        c.set_tls_init_handler(&on_tls_init);
        c.set_max_message_size(MAX_MESSAGE);

        c.start_perpetual();
    }
}

websocket_endpoint::~websocket_endpoint()
{
    try {
        std::vector<ws_connection::ptr> open;
        {
            std::unique_lock<std::shared_mutex> lock(m_list_mutex);
            for (con_list::value_type& entry : m_connection_list)
                open.push_back(entry.second);
            m_connection_list.clear();
        }
        for (ws_connection::ptr& rec : open) {
            rec->detach();
            rec->pause_wanted = false;
            post_to_strand(&rec->loop->c, rec->get_hdl(), [rec](const client::connection_ptr& con) {
                /* A paused connection would never read the service's answer to the close. */
                rec->resume_paused();
                websocketpp::lib::error_code ignored;
                con->close(websocketpp::close::status::going_away, "", ignored);
            });
        }
        for (std::unique_ptr<ws_io_loop>& loop : m_loops)
            loop->c.stop_perpetual();
        std::lock_guard<std::mutex> lock(m_start_mutex);
        if (!m_threads.empty()) {
            std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + m_unload_wait;
            for (ws_connection::ptr& rec : open)
                rec->wait_ended(deadline);
            /* Whatever did not end in time is dropped with the run loops. */
            for (std::unique_ptr<ws_io_loop>& loop : m_loops)
                loop->c.stop();
            for (std::thread& thread : m_threads)
                thread.join();
        }
    } catch (...) {
    }
}

void websocket_endpoint::run(ws_io_loop* loop)
{
    boost::asio::io_service& io = loop->c.get_io_service();
    for (;;) {
        try {
            /* Waits for an event; then, while each round finds more ready, lets the next ones
             * gather. Both calls return 0 only once the run loop is stopped or out of work. */
            while (io.run_one() > 0)
                while (io.poll() > 0)
                    std::this_thread::sleep_for(GATHER_WAIT);
            return;
        } catch (std::exception& e) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.run: %s", e.what());
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.run: unknown error");
        }
    }
}

bool websocket_endpoint::start()
{
    std::lock_guard<std::mutex> lock(m_start_mutex);
    if (!m_threads.empty())
        return true;
    try {
        m_threads.reserve(m_loops.size());
        while (m_threads.size() < m_loops.size())
            m_threads.emplace_back(&websocket_endpoint::run, this, m_loops[m_threads.size()].get());
    } catch (std::exception& e) {
        /* New connections go only to the run loops that have a thread: fewer only means slower. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.start: fail, %s", e.what());
    }
    m_running = (unsigned)m_threads.size();
    if (m_threads.empty())
        return false;
#if defined(SPEAKWIRE_PLUGIN)
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.start");
#endif
    return true;
}

int websocket_endpoint::next_free_id()
{
    /* harkwire sends audio only on a positive id; the map cannot hold every positive int, so this ends. */
    do {
        m_next_id = m_next_id >= INT_MAX || m_next_id < 0 ? 1 : m_next_id + 1;
    } while (m_connection_list.count(m_next_id) != 0);
    return m_next_id;
}

void websocket_endpoint::erase_record(const ws_connection::ptr& rec)
{
    con_list::node_type gone;  /* freed after the lock is let go */
    std::unique_lock<std::shared_mutex> lock(m_list_mutex);
    con_list::iterator it = m_connection_list.find(rec->id);
    if (it != m_connection_list.end() && it->second == rec)
        gone = m_connection_list.extract(it);
}

void websocket_endpoint::forget(const ws_connection::ptr& rec)
{
    try {
        erase_record(rec);
        rec->abandon();
    } catch (...) {
        /* The record is out of the map and its channel detached before anything here can throw. */
    }
}

int websocket_endpoint::connect(const std::string& uri, ws_channel_t* channel)
{
    /* An I/O thread tells the outcome; the caller's thread only waits for it. */
    struct outcome {
        std::mutex m;
        std::condition_variable cv;
        int state = 0;  /* 0 pending, 1 opened, 2 failed */
    };
    std::shared_ptr<outcome> result = std::make_shared<outcome>();
    int id = connect_async(uri, channel, [result](int, bool opened) {
        std::lock_guard<std::mutex> lock(result->m);
        result->state = opened ? 1 : 2;
        result->cv.notify_all();
    });
    if (id == -1)
        return -1;
    bool told;
    int state;
    {
        std::unique_lock<std::mutex> lock(result->m);
        /* The limit is the connection's timer; this bound only covers a run loop that is not running. */
        told = result->cv.wait_for(lock, m_connect_timeout + std::chrono::seconds(1),
                                   [&result] { return result->state != 0; });
        state = result->state;
    }
    if (!told) {
        ws_connection::ptr rec = find(id);
        if (rec)
            forget(rec);
        return -1;
    }
    return state == 1 ? id : -1;
}

int websocket_endpoint::connect_async(const std::string& uri, ws_channel_t* channel,
                                      std::function<void(int, bool)> done)
{
    ws_connection::ptr rec;
    int id = -1;
    try {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.connect: enter, uri=%s", uri.c_str());
        /* The library's connect makes and uses one resolver for all connections without a lock;
         * tasks of several channels connect at the same time. Only these calls are serialized:
         * the handshake itself proceeds on the I/O threads. */
        std::unique_lock<std::mutex> connecting(m_connect_mutex);
        /* The run loops take the new connections in turn; before start(), the first one (whose
         * connections then wait for it). */
        const unsigned running = m_running;
        ws_io_loop* loop = m_loops[running ? m_next_loop++ % running : 0].get();
        client* c = &loop->c;
        websocketpp::lib::error_code ec;
        client::connection_ptr con = c->get_connection(uri, ec);
        if (ec || !con) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.connect: fail, %s",
                    ec ? ec.message().c_str() : "Connection creation attempt failed");
            return -1;
        }
        std::string token;
        if (m_token && m_token->GetToken(token))
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.connect: get_token success");
        else
            token.clear();

        /* The record and its map node are made before the list is locked: the media thread looks up
         * every frame's connection under that lock and must not wait for an allocation. */
        rec = websocketpp::lib::make_shared<ws_connection>(loop, con->get_handle(),
                                                           con->get_host() + ":" + std::to_string(con->get_port()),
                                                           channel);
        con_list staged;
        con_list::node_type node = staged.extract(staged.emplace(0, rec).first);
        {
            std::unique_lock<std::shared_mutex> lock(m_list_mutex);
            id = next_free_id();
            rec->id = id;
            node.key() = id;
            m_connection_list.insert(std::move(node));
        }
        rec->set_done(std::move(done));

        std::shared_ptr<attempt> first = std::make_shared<attempt>();
        first->uri = uri;
        first->token = std::move(token);
        first->deadline = std::chrono::steady_clock::now() + m_connect_timeout;
        first->resume = true;
        begin_attempt(rec, con, first);
        return id;
    } catch (std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.connect: fail, %s", e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.connect: fail, unknown error");
    }
    /* A record stored before the failure must not keep the channel reachable. */
    if (rec)
        forget(rec);
    return -1;
}

void websocket_endpoint::begin_attempt(const ws_connection::ptr& rec, client::connection_ptr con,
                                       std::shared_ptr<attempt> a)
{
    client* c = &rec->loop->c;
    if (!a->token.empty())
        con->replace_header("X-Auth-Token", a->token);
    /* After the TCP connect, right before the TLS handshake. */
    con->set_tcp_pre_init_handler([c, rec, a](connection_hdl hdl) {
        if (rec->is_abandoned()) {
            /* Given up while its socket was not yet open, which the give-up's close then missed: it
             * ends here rather than after its handshake. */
            wss::cut_in_strand(c, hdl);
            return;
        }
        wss::set_no_delay(c, hdl, true);
        a->offered = wss::offer_session(c, hdl, rec->service, a->resume);
    });
    con->set_open_handler([c, rec, a](connection_hdl hdl) {
        if (a->offered)
            wss::note_resumed(c, hdl, rec->service);
        rec->on_open(c, hdl);
    });
    con->set_fail_handler([this, c, rec, a](connection_hdl hdl) {
        if (retry_in_full(rec, hdl, a)) {
            wss::release_socket(c, hdl);
            return;
        }
        if (rec->on_fail(c, hdl) == wscs_unconnected)
            connect_failed(rec);
    });
    con->set_close_handler([this, c, rec](connection_hdl hdl) {
        if (rec->on_close(c, hdl) == wscs_unconnected)
            connect_failed(rec);
    });
    /* The library answers every ping with a pong: a service that pings and reads nothing would have
     * them queued without end. Past the limit of what may wait for it, it is given up. */
    con->set_ping_handler([this, c, rec](connection_hdl hdl, std::string payload) {
        websocketpp::lib::error_code ping_ec;
        client::connection_ptr pinged = c->get_con_from_hdl(hdl, ping_ec);
        return pinged && takes_more(rec, pinged, payload.size() + wss::PONG_COST);
    });
    using websocketpp::lib::bind;
    namespace ph = websocketpp::lib::placeholders;
    con->set_message_handler(bind(&ws_connection::on_message, rec, c, ph::_1, ph::_2));

    /* The connection's own timer: it fires in the connection's strand, on its thread, one at a time
     * with the open and fail handlers, so it cannot cross them. A retry gets what is left. */
    const long left_ms = (long)std::max<long long>(
        0, std::chrono::ceil<std::chrono::milliseconds>(a->deadline - std::chrono::steady_clock::now()).count());
    client::timer_ptr timer = con->set_timer(left_ms, [this, c, rec, a](const websocketpp::lib::error_code& timer_ec) {
        /* Cancelled by the open or the failure; otherwise the attempt has had its time. A service that
         * never answered a hello offering a session may answer one without: the next connect offers
         * none. */
        if (timer_ec || rec->get_status() != wscs_unconnected)
            return;
        if (session_failed(rec, rec->get_hdl(), *a))
            wss::sessions_refused(rec->service);
        connect_failed(rec);
    });
    {
        std::lock_guard<std::mutex> lock(rec->mt);
        rec->connect_timer = timer;
    }
    c->connect(con);
}

bool websocket_endpoint::retry_in_full(const ws_connection::ptr& rec, connection_hdl hdl,
                                       const std::shared_ptr<attempt>& failed)
{
    if (!session_failed(rec, hdl, *failed))
        return false;
    client* c = &rec->loop->c;
    wss::sessions_refused(rec->service);
    try {
        if (std::chrono::steady_clock::now() >= failed->deadline)
            return false;
        std::shared_ptr<attempt> again = std::make_shared<attempt>(*failed);
        again->resume = false;
        again->offered = false;
        std::unique_lock<std::mutex> connecting(m_connect_mutex);
        websocketpp::lib::error_code ec;
        client::connection_ptr next = c->get_connection(again->uri, ec);
        if (ec || !next)
            return false;
        /* Follows the new connection from here; a close() that came first keeps the connect failed. */
        if (!rec->retarget(next->get_handle()))
            return false;
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_fail: resumed TLS handshake failed, connecting in full");
        rec->cancel_connect_timer();
        begin_attempt(rec, next, again);
        return true;
    } catch (std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.connect: fail, %s", e.what());
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.connect: fail, unknown error");
    }
    return false;
}

bool websocket_endpoint::session_failed(const ws_connection::ptr& rec, connection_hdl hdl, const attempt& a)
{
    /* An alert, a reset, a close or no answer to a hello that offered a session: a full handshake may
     * still succeed. Not so a failure after the TLS handshake (a refused upgrade), nor a handshake cut
     * by our own close (a STOP, a channel close). */
    return a.offered && !rec->is_abandoned() && !wss::tls_established(&rec->loop->c, hdl);
}

void websocket_endpoint::connect_failed(const ws_connection::ptr& rec)
{
    {
        std::lock_guard<std::mutex> lock(rec->mt);
        if (rec->status == wscs_unconnected)
            rec->status = wscs_error;
        rec->cv.notify_all();
    }
    /* Leave nothing behind: no record, no channel, no attempt. */
    erase_record(rec);
    rec->report(false);
    rec->abandon();
}

bool websocket_endpoint::attach(int id, ws_channel_t* channel)
{
    ws_connection::ptr rec = find(id);
    return rec && rec->attach(channel);
}

ws_connection::ptr websocket_endpoint::take(int id)
{
    con_list::node_type gone;  /* freed after the lock is let go */
    {
        std::unique_lock<std::shared_mutex> lock(m_list_mutex);
        con_list::iterator it = m_connection_list.find(id);
        if (it == m_connection_list.end())
            return ws_connection::ptr();
        gone = m_connection_list.extract(it);
    }
    return gone.mapped();
}

ws_connection::ptr websocket_endpoint::find(int id)
{
    /* The media thread looks up every frame's connection here. A writer holds the list only for a
     * map insert or extract, so a reader that finds it held tries again for a few microseconds
     * before it sleeps: falling asleep and being woken costs the media thread far more than the
     * wait. */
    std::shared_lock<std::shared_mutex> lock(m_list_mutex, std::defer_lock);
    for (int tries = 0; !lock.try_lock(); ++tries) {
        if (tries == FIND_SPINS) {
            lock.lock();
            break;
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    con_list::iterator it = m_connection_list.find(id);
    return it == m_connection_list.end() ? ws_connection::ptr() : it->second;
}

void websocket_endpoint::close(int id, unsigned short code, std::string reason)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.close: enter");
    ws_connection::ptr rec = take(id);
    if (!rec)
        return;
    /* From here on no handler reaches the channel, which may be destroyed next. */
    rec->detach();
    rec->pause_wanted = false;
    if (rec->get_status() == wscs_unconnected) {
        /* Still opening: the attempt is given up, and closed should it open after all. */
        rec->abandon();
        return;
    }
    try {
        /* What is still queued goes out before the close frame. Errors (a connection already
         * gone) are of no interest to the caller. A paused connection reads again, so that the
         * service's answer to the close arrives (what else comes is dropped: no channel). */
        post_to_strand(&rec->loop->c, rec->get_hdl(), [this, rec, code, reason](const client::connection_ptr& con) {
            rec->resume_paused();
            flush(rec);
            websocketpp::lib::error_code ignored;
            con->close(code, reason, ignored);
        });
    } catch (...) {
    }
}

void websocket_endpoint::pause_reading(int id)
{
    ws_connection::ptr rec = find(id);
    if (rec)
        rec->pause_wanted = true;
}

void websocket_endpoint::resume_reading(int id)
{
    ws_connection::ptr rec = find(id);
    if (!rec || !rec->pause_wanted.exchange(false))
        return;
    try {
        post_to_strand(&rec->loop->c, rec->get_hdl(), [rec](const client::connection_ptr&) {
            /* A pause asked for again since stays. */
            if (!rec->pause_wanted)
                rec->resume_paused();
        });
    } catch (...) {
        /* Without memory for the post the connection stays paused until it is closed. */
    }
}

bool websocket_endpoint::has_connection(int id) { return bool(find(id)); }

size_t websocket_endpoint::connection_count()
{
    std::unique_lock<std::shared_mutex> lock(m_list_mutex);
    return m_connection_list.size();
}

int websocket_endpoint::last_id()
{
    std::unique_lock<std::shared_mutex> lock(m_list_mutex);
    return m_next_id;
}

void websocket_endpoint::set_last_id(int id)
{
    std::unique_lock<std::shared_mutex> lock(m_list_mutex);
    m_next_id = id;
}

void websocket_endpoint::set_token_source(CTokenWrapper* token) { m_token = token; }

void websocket_endpoint::set_connect_timeout(std::chrono::milliseconds timeout) { m_connect_timeout = timeout; }

void websocket_endpoint::set_unload_wait(std::chrono::milliseconds wait) { m_unload_wait = wait; }
void websocket_endpoint::set_unsent_limit(size_t bytes) { m_unsent_limit = bytes; }
