#include "websocket_endpoint.h"

#include <limits.h>

#include <iostream>
#include <utility>
#include <vector>

#include <openssl/ssl.h>

#include "apt_log.h"
#include "token_wrapper.h"

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
/* How long queued audio waits for the WebSocket thread: frames of all channels go out together. */
const long FLUSH_DELAY_MS = 2;

/* The library reads a connection's state on the WebSocket thread without its
 * lock, so a close from another thread would race with it: closes run there. */
void close_on_ws_thread(client* c, connection_hdl hdl, unsigned short code, const std::string& reason)
{
    c->get_io_service().post([c, hdl, code, reason] {
        websocketpp::lib::error_code ignored;
        c->close(hdl, code, reason, ignored);
    });
}

}  // namespace

context_ptr on_tls_init(connection_hdl)
{
    context_ptr ctx = websocketpp::lib::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::sslv23);
    try {
        ctx->set_options(TLS_CONTEXT_OPTIONS);
        /* Deployments use self-signed service certificates. */
        ctx->set_verify_mode(boost::asio::ssl::verify_none);
    } catch (std::exception& e) {
        std::cout << e.what() << std::endl;
    }
    return ctx;
}

/* ---- ws_connection ---- */

ws_connection::ws_connection(connection_hdl hdl, const std::string&, ws_channel_t* channel, int id_)
    : m_hdl(hdl),
#if defined(HARKWIRE_PLUGIN)
      recog_channel(channel),
#else
      synth_channel(channel),
#endif
      status(wscs_unconnected),
      id(id_),
      pause_wanted(false),
      abandoned(false)
{
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

void ws_connection::on_open(client* c, connection_hdl hdl)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_open: enter");
    bool late;
    client::timer_ptr timer;
    {
        std::lock_guard<std::mutex> lock(mt);
        status = wscs_connected;
        late = abandoned;
        timer.swap(connect_timer);
        cv.notify_all();
    }
    if (timer)
        timer->cancel();
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

ws_connection_status ws_connection::on_close(client*, connection_hdl)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_close: enter");
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
    /* Called inside the library's read handler, on the connection's thread: clearing the read flag
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

void ws_connection::abandon(client* c)
{
    detach();
    bool open;
    {
        std::lock_guard<std::mutex> lock(mt);
        abandoned = true;
        open = status == wscs_connected;
    }
    if (open) {
        /* Opened just after the wait gave up. */
        close_on_ws_thread(c, m_hdl, websocketpp::close::status::going_away, "");
        return;
    }
    websocketpp::lib::error_code ec;
    /* Still connecting: close the socket on the WebSocket thread. Its pending
     * operations fail at once and so does the attempt; a TLS shutdown towards a
     * silent peer would wait another 5 s. */
    client::connection_ptr con = c->get_con_from_hdl(m_hdl, ec);
    if (ec || !con)
        return;
    c->get_io_service().post([con] {
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
    : m_next_id(0), m_token(&tokenwrapper), m_connect_timeout(CONNECT_WAIT), m_unload_wait(UNLOAD_WAIT),
      m_flush_armed(false)
{
    /* The library learns the byte order for 64-bit frame lengths on first use, in a static
     * without a lock: learnt here, at load, before the tasks and the WebSocket thread send
     * or read long frames at the same time. */
    websocketpp::lib::net::_htonll(0);
    m_endpoint.clear_access_channels(websocketpp::log::alevel::all);
    m_endpoint.clear_error_channels(websocketpp::log::elevel::all);
    m_endpoint.init_asio();
    m_endpoint.set_tls_init_handler(&on_tls_init);
    m_endpoint.start_perpetual();
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
            m_endpoint.get_io_service().post([this, rec] {
                /* A paused connection would never read the service's answer to the close. */
                rec->resume_paused();
                websocketpp::lib::error_code ignored;
                m_endpoint.close(rec->get_hdl(), websocketpp::close::status::going_away, "", ignored);
            });
        }
        m_endpoint.stop_perpetual();
        if (m_thread) {
            std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + m_unload_wait;
            for (ws_connection::ptr& rec : open)
                rec->wait_ended(deadline);
            /* Whatever did not end in time is dropped with the run loop. */
            m_endpoint.stop();
            m_thread->join();
        }
    } catch (...) {
    }
}

void websocket_endpoint::run()
{
    for (;;) {
        try {
            m_endpoint.run();
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
    if (m_thread)
        return true;
    try {
        m_thread = websocketpp::lib::make_shared<std::thread>(&websocket_endpoint::run, this);
    } catch (std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "wss_endpoint.start: fail, %s", e.what());
        return false;
    }
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
    std::unique_lock<std::shared_mutex> lock(m_list_mutex);
    con_list::iterator it = m_connection_list.find(rec->id);
    if (it != m_connection_list.end() && it->second == rec)
        m_connection_list.erase(it);
}

void websocket_endpoint::forget(const ws_connection::ptr& rec)
{
    try {
        erase_record(rec);
        rec->abandon(&m_endpoint);
    } catch (...) {
        /* The record is out of the map and its channel detached before anything here can throw. */
    }
}

int websocket_endpoint::connect(const std::string& uri, ws_channel_t* channel)
{
    /* The WebSocket thread tells the outcome; the caller's thread only waits for it. */
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
        /* The limit is the WebSocket thread's timer; this bound only covers a run loop that is not running. */
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
         * the handshake itself proceeds on the WebSocket thread. */
        std::unique_lock<std::mutex> connecting(m_connect_mutex);
        websocketpp::lib::error_code ec;
        client::connection_ptr con = m_endpoint.get_connection(uri, ec);
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

        {
            std::unique_lock<std::shared_mutex> lock(m_list_mutex);
            const int next = next_free_id();
            rec = websocketpp::lib::make_shared<ws_connection>(con->get_handle(), uri, channel, next);
            m_connection_list[next] = rec;
            id = next;
        }
        rec->set_done(std::move(done));

        con->set_open_handler([this, rec](connection_hdl hdl) { rec->on_open(&m_endpoint, hdl); });
        con->set_fail_handler([this, rec](connection_hdl hdl) {
            if (rec->on_fail(&m_endpoint, hdl) == wscs_unconnected)
                connect_failed(rec);
        });
        con->set_close_handler([this, rec](connection_hdl hdl) {
            if (rec->on_close(&m_endpoint, hdl) == wscs_unconnected)
                connect_failed(rec);
        });
        using websocketpp::lib::bind;
        namespace ph = websocketpp::lib::placeholders;
        con->set_message_handler(bind(&ws_connection::on_message, rec, &m_endpoint, ph::_1, ph::_2));

        client::timer_ptr timer = m_endpoint.set_timer(m_connect_timeout.count(),
                                                       [this, rec](const websocketpp::lib::error_code& timer_ec) {
            /* Cancelled by the open; otherwise the attempt has had its time. */
            if (!timer_ec && rec->get_status() == wscs_unconnected)
                connect_failed(rec);
        });
        {
            std::lock_guard<std::mutex> lock(rec->mt);
            rec->connect_timer = timer;
        }
        m_endpoint.connect(con);
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
    rec->abandon(&m_endpoint);
}

bool websocket_endpoint::attach(int id, ws_channel_t* channel)
{
    ws_connection::ptr rec = find(id);
    return rec && rec->attach(channel);
}

ws_connection::ptr websocket_endpoint::take(int id)
{
    std::unique_lock<std::shared_mutex> lock(m_list_mutex);
    con_list::iterator it = m_connection_list.find(id);
    if (it == m_connection_list.end())
        return ws_connection::ptr();
    ws_connection::ptr rec = it->second;
    m_connection_list.erase(it);
    return rec;
}

ws_connection::ptr websocket_endpoint::find(int id)
{
    std::shared_lock<std::shared_mutex> lock(m_list_mutex);
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
        rec->abandon(&m_endpoint);
        return;
    }
    try {
        /* What is still queued goes out before the close frame. Errors (a connection already
         * gone) are of no interest to the caller. A paused connection reads again, so that the
         * service's answer to the close arrives (what else comes is dropped: no channel). */
        m_endpoint.get_io_service().post([this, rec, code, reason] {
            rec->resume_paused();
            flush(rec);
            websocketpp::lib::error_code ignored;
            m_endpoint.close(rec->get_hdl(), code, reason, ignored);
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
    try {
        {
            std::lock_guard<std::mutex> lock(rec->out_mt);
            if (rec->outbox.empty()) {
                websocketpp::lib::error_code ec;
                m_endpoint.send(rec->get_hdl(), command, websocketpp::frame::opcode::text, ec);
                return !ec;
            }
            /* Behind queued audio, as it was sent. */
            rec->outbox.push_back(ws_connection::outgoing{websocketpp::frame::opcode::text, command});
        }
        schedule_flush();
        return true;
    } catch (...) {
        return false;
    }
}

bool websocket_endpoint::send_data(int id, std::string data)
{
    ws_connection::ptr rec = find(id);
    if (!rec) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "id (%d) was not exist, may be destory", id);
        return false;
    }
    /* The media thread calls this for every frame. Sending here would take the library's locks
     * that every connection and the WebSocket thread share (the run loop's queue, the masking-key
     * generator), and the media thread would wait whenever one of their holders is busy: the frame
     * is queued on its own connection and the WebSocket thread sends it. */
    if (rec->get_status() != wscs_connected) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "%s", "invalid state");
        return false;
    }
    try {
        {
            std::lock_guard<std::mutex> lock(rec->out_mt);
            rec->outbox.push_back(ws_connection::outgoing{websocketpp::frame::opcode::binary, std::move(data)});
        }
        schedule_flush();
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
        m_endpoint.get_io_service().post([this, rec] {
            /* A pause asked for again since stays. */
            if (!rec->pause_wanted)
                rec->resume_paused();
        });
    } catch (...) {
        /* Without memory for the post the connection stays paused until it is closed. */
    }
}

void websocket_endpoint::schedule_flush()
{
    if (m_flush_armed.exchange(true))
        return;
    try {
        m_endpoint.set_timer(FLUSH_DELAY_MS, [this](const websocketpp::lib::error_code& ec) {
            if (!ec)
                flush_all();
        });
    } catch (...) {
        m_flush_armed = false;
    }
}

void websocket_endpoint::flush_all()
{
    /* Cleared before the sweep: whatever is queued from here on arms the next one. */
    m_flush_armed = false;
    std::vector<ws_connection::ptr> recs;
    {
        std::shared_lock<std::shared_mutex> lock(m_list_mutex);
        recs.reserve(m_connection_list.size());
        for (con_list::value_type& entry : m_connection_list)
            recs.push_back(entry.second);
    }
    for (ws_connection::ptr& rec : recs)
        flush(rec);
}

void websocket_endpoint::flush(const ws_connection::ptr& rec)
{
    std::lock_guard<std::mutex> lock(rec->out_mt);
    for (ws_connection::outgoing& out : rec->outbox) {
        websocketpp::lib::error_code ec;
        try {
            m_endpoint.send(rec->get_hdl(), out.payload, out.opcode, ec);
        } catch (...) {
            ec = websocketpp::error::make_error_code(websocketpp::error::general);
        }
        if (ec) {
            /* The connection is going; the rest cannot follow. */
            apt_log(APT_LOG_MARK, APT_PRIO_INFO, "%s", ec.message().c_str());
            break;
        }
    }
    rec->outbox.clear();
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
