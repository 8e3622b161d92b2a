#include "websocket_endpoint.h"

#include <limits.h>

#include <time.h>

#include <algorithm>
#include <deque>
#include <iostream>
#include <utility>
#include <vector>

#include <openssl/ssl.h>

#include "apt_log.h"
#include "token_wrapper.h"

namespace {

/* TLS sessions kept to resume, per service and in all. */
const size_t SESSIONS_PER_SERVICE = 16;
const size_t SERVICES_KEPT = 8;

/*
 * TLS sessions that the services handed out, kept to resume the next connections to the same host
 * and port. A resumed handshake skips the service's certificate and its signature, which were most
 * of the handshake's CPU on both sides; a service that declines the session makes a full handshake
 * instead. Each session is offered once (a TLS 1.3 ticket should not be used twice), and every
 * connection brings new ones. Any I/O thread puts (when a session arrives) and takes (before a
 * handshake), under m_mutex. Bounded: SESSIONS_PER_SERVICE each, and a service beyond SERVICES_KEPT
 * takes the place of the one given a session longest ago.
 */
class tls_session_cache {
public:
    ~tls_session_cache()
    {
        for (auto& service : m_sessions)
            for (SSL_SESSION* s : service.second.sessions)
                SSL_SESSION_free(s);
    }

    /* Keeps s (the caller's reference) for service; false when it is not kept. */
    bool put(const std::string& service, SSL_SESSION* s)
    {
        if (!SSL_SESSION_is_resumable(s))
            return false;
        std::deque<SSL_SESSION*> gone;  /* freed after the lock is let go */
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_sessions.find(service);
            if (it == m_sessions.end()) {
                if (m_sessions.size() >= SERVICES_KEPT) {
                    /* The service that was given a session longest ago makes room. */
                    auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(),
                                                   [](const auto& a, const auto& b) {
                                                       return a.second.last_put < b.second.last_put;
                                                   });
                    gone.swap(oldest->second.sessions);
                    m_sessions.erase(oldest);
                }
                it = m_sessions.emplace(service, kept()).first;
            }
            kept& k = it->second;
            if (k.sessions.size() >= SESSIONS_PER_SERVICE) {
                gone.push_back(k.sessions.front());
                k.sessions.pop_front();
            }
            k.sessions.push_back(s);
            k.last_put = ++m_puts;
        }
        for (SSL_SESSION* old : gone)
            SSL_SESSION_free(old);
        return true;
    }

    /* The newest session for service that has not expired, now the caller's; null when none. */
    SSL_SESSION* take(const std::string& service)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sessions.find(service);
        if (it == m_sessions.end())
            return nullptr;
        const long now = (long)time(nullptr);
        while (!it->second.sessions.empty()) {
            SSL_SESSION* s = it->second.sessions.back();
            it->second.sessions.pop_back();
            if (SSL_SESSION_get_time(s) + SSL_SESSION_get_timeout(s) > now)
                return s;
            SSL_SESSION_free(s);
        }
        return nullptr;
    }

    /* Drops every session kept for service. */
    void forget(const std::string& service)
    {
        std::deque<SSL_SESSION*> gone;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_sessions.find(service);
            if (it == m_sessions.end())
                return;
            gone.swap(it->second.sessions);
            m_sessions.erase(it);
        }
        for (SSL_SESSION* s : gone)
            SSL_SESSION_free(s);
    }

private:
    struct kept {
        std::deque<SSL_SESSION*> sessions;  /* oldest first */
        unsigned long long last_put = 0;    /* when the newest came, in puts */
    };
    std::mutex m_mutex;
    std::map<std::string, kept> m_sessions;
    unsigned long long m_puts = 0;
};

/* Before the endpoint, so that it outlives it: connections still closing in the endpoint's
 * destructor may hand in sessions. */
tls_session_cache tls_sessions;

}  // namespace

/* Constructed after `tokenwrapper` (this source follows it in the build), destroyed before it. */
websocket_endpoint endpoint;

#if defined(HARKWIRE_PLUGIN)
#define WSS_FAIL_PRIO APT_PRIO_INFO
#else
#define WSS_FAIL_PRIO APT_PRIO_ERROR
#endif

namespace {

/* The interoperability workarounds of the OpenSSL we are built with, and nothing else: no protocol,
 * extension or key exchange is switched off or on by a literal mask of another version's bits. */
const boost::asio::ssl::context::options TLS_CONTEXT_OPTIONS = (boost::asio::ssl::context::options)SSL_OP_ALL;

const std::chrono::milliseconds CONNECT_WAIT(5000);
/* As long as the library's close-handshake timeout. */
const std::chrono::milliseconds UNLOAD_WAIT(5000);
/* A service's text message is a JSON reply of a few hundred bytes, a result with alternatives a few
 * kilobytes. A far larger one is refused unread: the plug-ins parse replies holding the channel's
 * lock, which the media thread takes for every frame, and the library's own limit (32 MB) let one
 * reply take 9 s and 1.5 GB to parse while every channel's audio waited. */
const size_t MAX_TEXT_MESSAGE = 64 * 1024;
/* The largest message the library reads at all; past it, it closes with 1009 before it buffers more.
 * harkwire receives only replies. speakwire's audio comes in pieces whose size is the service's
 * choice: 4 MiB is two minutes of 16 kHz audio, and bounds a channel's memory beyond its buffer. */
#if defined(SPEAKWIRE_PLUGIN)
const size_t MAX_MESSAGE = 4 * 1024 * 1024;
#else
const size_t MAX_MESSAGE = MAX_TEXT_MESSAGE;
#endif
/* How long queued audio waits for a sweep. The media thread gives a channel a frame every 10 ms:
 * waiting 40 ms sends four frames per connection in one TLS record and one write. Each write costs
 * the sender a system call, a TLS record and its completions, and the receiver a wake-up; at a
 * thousand channels, writing every 20 ms cost a fifth more CPU than every 40 ms. A frame reaches the
 * service at most 40 ms later, far less than a service waits for silence before it ends speech. */
const long FLUSH_DELAY_MS = 40;
/* How long a busy I/O thread lets events gather before it handles them. At a thousand channels a
 * thread otherwise woke for two or three messages at a time, thousands of times a second, and each
 * wake-up cost more than the messages; after 1 ms it handles a few dozen at once, for at most 1 ms
 * more delay. A thread with nothing to do blocks, so a quiet server pays nothing. */
const std::chrono::microseconds GATHER_WAIT(1000);
/* What the library may hold for a connection that the service has not taken: 16 s of 8 kHz audio
 * beyond what the sockets hold. A service that stops reading (hung, or its network) would otherwise
 * leave every later frame queued for as long as the call lasts; past it the connection closes (the
 * library gives up on the close after its close and shutdown time-outs, 10 s) and its request ends
 * with an error. */
const size_t UNSENT_LIMIT = 256 * 1024;
/* How often find() tries the list lock before it waits asleep. */
const int FIND_SPINS = 200;
/* How many sent payloads a connection keeps for the next frames: about a sweep's worth. */
const size_t SPARE_PAYLOADS = 8;

/*
 * How many I/O threads run the endpoint. Their work is CPU: TLS handshakes and the encryption of
 * every message, which one thread cannot do for a thousand channels (hundreds of handshakes and
 * tens of thousands of messages a second). At least two, so that a burst of handshakes does not
 * hold every other connection's messages; at most four and at most a quarter of the cores, so that
 * both plug-ins together keep to half of them: the server's media thread and its own threads need
 * the rest, and a media thread that loses its core misses its 10 ms. Fewer threads also cost less:
 * each wakes for more events at a time (at a thousand channels on eight cores, two threads took a
 * tenth less CPU than four).
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

/* Runs fn(con) in the connection's strand, after what is already queued there; false when the
 * library no longer has the connection (nothing is left to do for it then). */
template <typename F>
bool post_to_strand(client* c, connection_hdl hdl, F fn)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return false;
    boost::asio::post(*con->get_strand(), [con, fn] { fn(con); });
    return true;
}

/* The library reads a connection's state in its strand without its lock, so a close from
 * elsewhere would race with it: closes run in the strand. */
void close_in_strand(client* c, connection_hdl hdl, unsigned short code, const std::string& reason)
{
    post_to_strand(c, hdl, [code, reason](const client::connection_ptr& con) {
        websocketpp::lib::error_code ignored;
        con->close(code, reason, ignored);
    });
}

/* Small writes go out at once while the connection opens (true), or wait for the acknowledgement
 * of what is in flight to go out together (false, the system's default). The handshakes are
 * flights of small writes, and the peer acknowledges late (tens of milliseconds) when it has
 * nothing to answer: each connect stalled on that. Once open, audio frames that wait for the
 * frames in flight go out together: fewer packets, for a seventh less CPU at a thousand channels. */
void set_no_delay(client* c, connection_hdl hdl, bool on)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return;
    boost::system::error_code ignored;
    con->get_raw_socket().set_option(boost::asio::ip::tcp::no_delay(on), ignored);
}

/* Where a connection's TLS object points at its service's name (the record's, which outlives every
 * callback of the connection's I/O), for the new-session callback. No free callback: OpenSSL would
 * call it for every TLS object in the process, also once this plug-in is unloaded. */
int service_name_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int on_new_session(SSL* ssl, SSL_SESSION* session)
{
    const std::string* service = static_cast<const std::string*>(SSL_get_ex_data(ssl, service_name_index()));
    /* 1: the cache took the reference. */
    return service != nullptr && tls_sessions.put(*service, session) ? 1 : 0;
}

/* Right before the TLS handshake: names the connection's service on its TLS object, and offers a
 * session kept from an earlier connection to it. */
void offer_session(client* c, connection_hdl hdl, const std::string& service)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    const int index = service_name_index();
    if (ec || !con || index < 0)
        return;
    SSL* ssl = con->get_socket().native_handle();
    if (SSL_set_ex_data(ssl, index, const_cast<std::string*>(&service)) != 1)
        return;
    SSL_SESSION* kept = tls_sessions.take(service);
    if (kept) {
        SSL_set_session(ssl, kept);  /* a session it cannot use is simply not offered */
        SSL_SESSION_free(kept);
    }
}

}  // namespace

context_ptr on_tls_init(connection_hdl)
{
    /* Built once and shared by every connection: a context of its own per connection cost a sixth of
     * each TLS handshake (the library's look-ups of its algorithms), and every connection's is the
     * same. OpenSSL lets many connections of several threads use one context. */
    static const context_ptr shared = [] {
        context_ptr ctx = websocketpp::lib::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::sslv23);
        try {
            ctx->set_options(TLS_CONTEXT_OPTIONS);
            /* Deployments use self-signed service certificates. */
            ctx->set_verify_mode(boost::asio::ssl::verify_none);
            SSL_CTX_set_session_cache_mode(ctx->native_handle(),
                                           SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
            SSL_CTX_sess_set_new_cb(ctx->native_handle(), &on_new_session);
        } catch (std::exception& e) {
            std::cout << e.what() << std::endl;
        }
        return ctx;
    }();
    return shared;
}

/* ---- ws_connection ---- */

ws_connection::ws_connection(ws_io_loop* loop_, connection_hdl hdl, const std::string& service_,
                             ws_channel_t* channel)
    : loop(loop_),
      m_hdl(hdl),
      service(service_),
#if defined(HARKWIRE_PLUGIN)
      recog_channel(channel),
#else
      synth_channel(channel),
#endif
      status(wscs_unconnected),
      id(0),
      listed(false),
      stalled(false),
      pause_wanted(false),
      abandoned(false)
{
    /* Made here, so that handing payloads back after a send never allocates. */
    spare.reserve(SPARE_PAYLOADS);
}

ws_connection::~ws_connection() {}

ws_channel_t*& ws_connection::channel_ref()
{
#if defined(HARKWIRE_PLUGIN)
    return recog_channel;
#else
    return synth_channel;
#endif
}

ws_connection_status ws_connection::set_status(ws_connection_status s)
{
    std::lock_guard<std::mutex> lock(mt);
    ws_connection_status before = status;
    status = s;
    cv.notify_all();
    return before;
}

ws_connection_status ws_connection::get_status()
{
    std::lock_guard<std::mutex> lock(mt);
    return status;
}

void ws_connection::cancel_connect_timer()
{
    client::timer_ptr timer;
    {
        std::lock_guard<std::mutex> lock(mt);
        timer.swap(connect_timer);
    }
    /* Cancelled, the timer lets go of the connection now rather than at its time. */
    if (timer)
        timer->cancel();
}

void ws_connection::on_open(client* c, connection_hdl hdl)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_open: enter");
    cancel_connect_timer();
    set_no_delay(c, hdl, false);
    bool late;
    {
        std::lock_guard<std::mutex> lock(mt);
        status = wscs_connected;
        late = abandoned;
        cv.notify_all();
    }
    if (late) {
        /* Nobody owns this connection any more. */
        websocketpp::lib::error_code ec;
        c->close(hdl, websocketpp::close::status::going_away, "", ec);
        return;
    }
    report(true);
}

ws_connection_status ws_connection::on_fail(client*, connection_hdl)
{
    apt_log(APT_LOG_MARK, WSS_FAIL_PRIO, "wss_connect.on_fail: enter");
    cancel_connect_timer();
    paused_con.reset();
    ws_connection_status before = set_status(wscs_error);
    if (before != wscs_connected)
        return before;
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    if (channel_ref()) {
        try {
            ws_channel_on_lost(channel_ref(), id);
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_fail: handler threw");
        }
    }
    return before;
}

ws_connection_status ws_connection::on_close(client* c, connection_hdl hdl)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_close: enter");
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    if (con && con->get_local_close_code() == websocketpp::close::status::message_too_big)
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR,
                "wss_connect.on_close: connection <%d> closed with 1009, message too big (a service message "
                "may hold %lu bytes of text, %lu in all)",
                id, (unsigned long)MAX_TEXT_MESSAGE, (unsigned long)MAX_MESSAGE);
    cancel_connect_timer();
    /* Ended while paused (a failed write): the connection is not kept for a resume. */
    paused_con.reset();
    ws_connection_status before = set_status(wscs_shutdown);
    if (before != wscs_connected)
        return before;
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    if (channel_ref()) {
        try {
            ws_channel_on_lost(channel_ref(), id);
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_close: handler threw");
        }
    }
    return before;
}

void ws_connection::on_message(client* c, connection_hdl hdl, message_ptr msg)
{
    if (msg->get_opcode() == websocketpp::frame::opcode::text && msg->get_payload().size() > MAX_TEXT_MESSAGE) {
        /* In the connection's strand: the close is the library's own answer to a message too big,
         * and the close handler ends what the connection carried. */
        websocketpp::lib::error_code ec;
        client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
        if (con)
            con->close(websocketpp::close::status::message_too_big, "", ec);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    if (!channel_ref())
        return;
    try {
        ws_channel_on_message(channel_ref(), id, msg);
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_connect.on_message: handler threw");
    }
    pause_if_wanted(c, hdl);
}

void ws_connection::pause_if_wanted(client* c, connection_hdl hdl)
{
    if (!pause_wanted || paused_con)
        return;
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return;
    /* Called inside the library's read handler, in the connection's strand: clearing the read flag
     * here (and not through the library's posted pause) means no further read is started, so a
     * later resume can never start a second read beside a pending one. Without a pending operation
     * nothing of the library holds the connection any more: the record does until it resumes. */
    con->handle_pause_reading();
    paused_con = con;
}

void ws_connection::resume_paused()
{
    client::connection_ptr con;
    con.swap(paused_con);
    if (!con)
        return;
    websocketpp::session::state::value state = con->get_state();
    if (state == websocketpp::session::state::open || state == websocketpp::session::state::closing)
        con->handle_resume_reading();
}

void ws_connection::detach()
{
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    channel_ref() = NULL;
    on_done = nullptr;
}

bool ws_connection::attach(ws_channel_t* channel)
{
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    if (get_status() != wscs_connected)
        return false;
    channel_ref() = channel;
    return true;
}

void ws_connection::set_done(std::function<void(int, bool)> done)
{
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    on_done = std::move(done);
}

void ws_connection::report(bool opened)
{
    /* Held while done runs, so that once detach() has returned it runs no more. */
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    if (!on_done)
        return;
    std::function<void(int, bool)> done;
    done.swap(on_done);
    try {
        done(id, opened);
    } catch (...) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.connect: done handler threw");
    }
}

void ws_connection::abandon()
{
    client* c = &loop->c;
    detach();
    bool open;
    {
        std::lock_guard<std::mutex> lock(mt);
        abandoned = true;
        open = status == wscs_connected;
    }
    if (open) {
        /* Opened just after the wait gave up. */
        close_in_strand(c, m_hdl, websocketpp::close::status::going_away, "");
        return;
    }
    /* Still connecting: close the socket in the strand. Its pending operations
     * fail at once and so does the attempt; a TLS shutdown towards a silent peer
     * would wait another 5 s. */
    post_to_strand(c, m_hdl, [](const client::connection_ptr& con) {
        boost::system::error_code ignored;
        con->get_raw_socket().close(ignored);
    });
}

bool ws_connection::wait_ended(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(mt);
    return cv.wait_until(lock, deadline, [this] { return status != wscs_connected; });
}

/* ---- websocket_endpoint ---- */

websocket_endpoint::websocket_endpoint()
    : m_next_id(0), m_running(0), m_next_loop(0), m_token(&tokenwrapper), m_connect_timeout(CONNECT_WAIT),
      m_unsent_limit(UNSENT_LIMIT), m_unload_wait(UNLOAD_WAIT)
{
    /* The library learns the byte order for 64-bit frame lengths on first use, in a static
     * without a lock: learnt here, at load, before the tasks and the I/O threads send
     * or read long frames at the same time. */
    websocketpp::lib::net::_htonll(0);
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
        if (m_token && m_token->GetToken(token)) {
            con->replace_header("X-Auth-Token", token);
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.connect: get_token success");
        }

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

        /* After the TCP connect, right before the TLS handshake. */
        con->set_tcp_pre_init_handler([c, rec](connection_hdl hdl) {
            set_no_delay(c, hdl, true);
            offer_session(c, hdl, rec->service);
        });
        con->set_open_handler([c, rec](connection_hdl hdl) { rec->on_open(c, hdl); });
        con->set_fail_handler([this, c, rec](connection_hdl hdl) {
            if (rec->on_fail(c, hdl) == wscs_unconnected)
                connect_failed(rec);
        });
        con->set_close_handler([this, c, rec](connection_hdl hdl) {
            if (rec->on_close(c, hdl) == wscs_unconnected)
                connect_failed(rec);
        });
        using websocketpp::lib::bind;
        namespace ph = websocketpp::lib::placeholders;
        con->set_message_handler(bind(&ws_connection::on_message, rec, c, ph::_1, ph::_2));

        /* The connection's own timer: it fires in the connection's strand, on its thread, one at a
         * time with the open and fail handlers, so it cannot cross them. */
        client::timer_ptr timer = con->set_timer(m_connect_timeout.count(),
                                                 [this, rec](const websocketpp::lib::error_code& timer_ec) {
            /* Cancelled by the open or the failure; otherwise the attempt has had its time. */
            if (!timer_ec && rec->get_status() == wscs_unconnected)
                connect_failed(rec);
        });
        {
            std::lock_guard<std::mutex> lock(rec->mt);
            rec->connect_timer = timer;
        }
        c->connect(con);
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
    /* Should a service fail resumed handshakes, the next connect makes a full one rather than try the
     * other kept sessions first. */
    tls_sessions.forget(rec->service);
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
     * map insert or extract (about a microsecond, a thousand times a second with many channels),
     * so a reader that finds it held tries again for a few microseconds before it sleeps: falling
     * asleep and being woken costs the media thread far more than the wait. */
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

bool websocket_endpoint::send_command(int id, const std::string& command)
{
    ws_connection::ptr rec = find(id);
    if (!rec)
        return false;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_endpoint.send_command: >>>send: %s", command.c_str());
    /* The library's send does not take the connection's state in step with what its thread does
     * (a close from the service), so the command goes out on that thread, behind what is queued.
     * Not open: a connection lost before the caller stored its id must fail the command, since the
     * lost handler could not tell the channel. Lost from here on, the handler finds the id. */
    if (rec->get_status() != wscs_connected)
        return false;
    try {
        {
            std::lock_guard<std::mutex> lock(rec->out_mt);
            rec->outbox.push_back(ws_connection::outgoing{websocketpp::frame::opcode::text, command});
        }
        /* Not left for the sweep: a command goes out at once. */
        return post_to_strand(&rec->loop->c, rec->get_hdl(),
                              [this, rec](const client::connection_ptr&) { flush(rec); });
    } catch (...) {
        return false;
    }
}

bool websocket_endpoint::send_data(int id, const std::string& data)
{
    ws_connection::ptr rec = find(id);
    if (!rec) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "id (%d) was not exist, may be destory", id);
        return false;
    }
    /* The media thread calls this for every frame. Sending here would take the library's locks
     * that every connection and the I/O threads share (the run loop's queue, the masking-key
     * generator), and the media thread would wait whenever one of their holders is busy: the frame
     * is queued on its own connection (out_mt, which no one holds across a library call) and the
     * sweep on the connection's thread sends it. */
    if (rec->get_status() != wscs_connected) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "%s", "invalid state");
        return false;
    }
    try {
        enqueue(rec, data);
        return true;
    } catch (...) {
        return false;
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

void websocket_endpoint::enqueue(const ws_connection::ptr& rec, const std::string& bytes)
{
    bool list;
    {
        std::lock_guard<std::mutex> lock(rec->out_mt);
        std::string payload;
        if (!rec->spare.empty()) {
            payload.swap(rec->spare.back());
            rec->spare.pop_back();
        }
        payload.assign(bytes);
        rec->outbox.push_back(ws_connection::outgoing{websocketpp::frame::opcode::binary, std::move(payload)});
        list = !rec->listed;
        rec->listed = true;
    }
    ws_io_loop* loop = rec->loop;
    try {
        if (list) {
            std::lock_guard<std::mutex> lock(loop->flush_mutex);
            loop->flush_list.push_back(rec);
        }
    } catch (...) {
        /* Not listed: the next message queued on it tries again. */
        std::lock_guard<std::mutex> lock(rec->out_mt);
        rec->listed = false;
        return;
    }
    /* Armed here only when the loop's sweeps had stopped: while audio flows, each sweep arms the
     * next on its own thread, and the media thread does not touch the run loop's timers. */
    if (!loop->flush_armed.exchange(true))
        arm_sweep(loop);
}

void websocket_endpoint::arm_sweep(ws_io_loop* loop)
{
    try {
        loop->c.set_timer(FLUSH_DELAY_MS, [this, loop](const websocketpp::lib::error_code& ec) {
            if (!ec)
                flush_queued(loop);
        });
    } catch (...) {
        /* The next message queued arms it again; this one waits for that sweep. */
        loop->flush_armed = false;
    }
}

void websocket_endpoint::flush_queued(ws_io_loop* loop)
{
    std::vector<ws_connection::ptr> recs;
    {
        std::lock_guard<std::mutex> lock(loop->flush_mutex);
        recs.swap(loop->flush_list);
        /* Nothing queued: the sweeps stop, and whoever lists a connection next (after this, under
         * flush_mutex) arms them again. */
        if (recs.empty()) {
            loop->flush_armed = false;
            return;
        }
    }
    arm_sweep(loop);
    for (ws_connection::ptr& rec : recs)
        flush(rec);
}

void websocket_endpoint::flush(const ws_connection::ptr& rec)
{
    {
        /* The media thread waits for out_mt at most this long: the library is called without it. */
        std::lock_guard<std::mutex> lock(rec->out_mt);
        rec->sending.swap(rec->outbox);
        /* What is queued from here on lists the connection for the next sweep. */
        rec->listed = false;
    }
    websocketpp::lib::error_code ec;
    client::connection_ptr con = rec->loop->c.get_con_from_hdl(rec->get_hdl(), ec);
    /* What the library still queues (on this thread, which alone hands it messages and writes). */
    if (!rec->stalled && con && con->get_buffered_amount() > m_unsent_limit) {
        rec->stalled = true;
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR,
                "wss_connect: connection <%d> closes, the service takes nothing: %lu bytes wait to be sent", rec->id,
                (unsigned long)con->get_buffered_amount());
        close_in_strand(&rec->loop->c, rec->get_hdl(), websocketpp::close::status::going_away, "");
    }
    for (ws_connection::outgoing& out : rec->sending) {
        if (rec->stalled)
            break;  /* dropped: the connection is ending */
        try {
            if (con)
                ec = con->send(out.payload, out.opcode);
        } catch (...) {
            ec = websocketpp::error::make_error_code(websocketpp::error::general);
        }
        if (ec) {
            /* The connection is going; the rest cannot follow. */
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "%s", ec.message().c_str());
            break;
        }
    }
    /* The library copied what it sends: the payloads' memory takes the next frames, and the emptied
     * list the next outbox. */
    {
        std::lock_guard<std::mutex> lock(rec->out_mt);
        for (ws_connection::outgoing& out : rec->sending)
            if (rec->spare.size() < SPARE_PAYLOADS)
                rec->spare.push_back(std::move(out.payload));
    }
    rec->sending.clear();
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
