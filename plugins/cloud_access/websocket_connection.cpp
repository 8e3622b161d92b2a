/*
 * The connection record (ws_connection): one connection of one channel, its status hand-off to the
 * connecting task, its channel, and the handlers the library calls for it.
 *
 * Threads: the connecting task creates the record, and sets up and starts each library connection
 * of its connect (begin_attempt: the first on the task, a retry in full on the I/O thread) before any
 * handler of it can run. From then on the library's handlers (on_open, on_fail, on_close, on_message,
 * the ping handler), the connect timer, give_up, and whatever the endpoint posts to the connection's
 * strand run on the connection's I/O thread, one at a time, and every call into the library for the
 * connection is made there, also the socket's release after the close (a timer of the loop, which
 * has this one thread). The tasks and the media thread read the status, and close() detaches the
 * channel from any thread.
 * Locks: mt guards status, abandoned, connect_timer and m_hdl, and is held for no call out; channel_mt
 * (recursive: a plug-in closes from inside its own handler) guards the channel pointer and the
 * connect's done callback and is held while a seam function or done runs. channel_mt may be taken
 * before mt (attach), never mt before channel_mt.
 */
#include "websocket_internal.h"

#include "apt_log.h"

using wss::MAX_MESSAGE;
using wss::MAX_TEXT_MESSAGE;
using wss::RELEASE_GRACE_MS;
using wss::SPARE_PAYLOADS;

namespace wss {

void close_in_strand(client* c, connection_hdl hdl, unsigned short code, const std::string& reason)
{
    post_to_strand(c, hdl, [code, reason](const client::connection_ptr& con) {
        websocketpp::lib::error_code ignored;
        con->close(code, reason, ignored);
    });
}

void cut_in_strand(client* c, connection_hdl hdl)
{
    post_to_strand(c, hdl, [](const client::connection_ptr& con) {
        boost::system::error_code ignored;
        con->get_raw_socket().close(ignored);
    });
}

/* The handshakes are flights of small writes, and the peer acknowledges late when it has nothing to
 * answer: each connect would stall on that, so small writes go out at once while the connection
 * opens. Once open, audio frames that wait for the frames in flight go out together: fewer packets,
 * less CPU (the system's default). */
void set_no_delay(client* c, connection_hdl hdl, bool on)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return;
    boost::system::error_code ignored;
    con->get_raw_socket().set_option(boost::asio::ip::tcp::no_delay(on), ignored);
}

void release_socket(client* c, connection_hdl hdl)
{
    try {
        /* The loop's own timer holds only the handle: a connection that ends as it should (the
         * service closes its end, the library lets go) is gone by then, and its socket closed in
         * order; only one that is still held is cut off. */
        c->set_timer(RELEASE_GRACE_MS, [c, hdl](const websocketpp::lib::error_code& timer_ec) {
            websocketpp::lib::error_code gone;
            client::connection_ptr held = c->get_con_from_hdl(hdl, gone);
            if (timer_ec || gone || !held)
                return;
            boost::system::error_code ignored;
            held->get_raw_socket().close(ignored);
        });
    } catch (...) {
        /* Without memory for the timer the socket stays until the service closes it. */
    }
}

}  // namespace wss

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
      pongs_owed(0),
      acked_seen(0),
      given_up(false),
      too_big(false),
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

connection_hdl ws_connection::get_hdl()
{
    std::lock_guard<std::mutex> lock(mt);
    return m_hdl;
}

bool ws_connection::retarget(connection_hdl hdl)
{
    std::lock_guard<std::mutex> lock(mt);
    if (abandoned || status != wscs_unconnected)
        return false;
    m_hdl = hdl;
    return true;
}

bool ws_connection::is_abandoned()
{
    std::lock_guard<std::mutex> lock(mt);
    return abandoned;
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
    wss::set_no_delay(c, hdl, false);
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

ws_connection_status ws_connection::on_fail(client* c, connection_hdl hdl)
{
    apt_log(APT_LOG_MARK, WSS_FAIL_PRIO, "wss_connect.on_fail: enter");
    return ended(c, hdl, wscs_error, "wss_connect.on_fail");
}

ws_connection_status ws_connection::on_close(client* c, connection_hdl hdl)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "wss_connect.on_close: enter");
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    /* The library's own refusal of a message over MAX_MESSAGE shows only here. */
    if (con && con->get_local_close_code() == websocketpp::close::status::message_too_big)
        log_too_big();
    return ended(c, hdl, wscs_shutdown, "wss_connect.on_close");
}

ws_connection_status ws_connection::ended(client* c, connection_hdl hdl, ws_connection_status s, const char* where)
{
    wss::release_socket(c, hdl);
    cancel_connect_timer();
    /* Ended while paused (a failed write): the connection is not kept for a resume. */
    paused_con.reset();
    ws_connection_status before = set_status(s);
    tell_lost(before, where);
    return before;
}

void ws_connection::tell_lost(ws_connection_status before, const char* where)
{
    if (before != wscs_connected)
        return;
    std::lock_guard<std::recursive_mutex> lock(channel_mt);
    if (channel_ref()) {
        try {
            ws_channel_on_lost(channel_ref(), id);
        } catch (...) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "%s: handler threw", where);
        }
    }
}

void ws_connection::give_up(const client::connection_ptr& con, unsigned short code)
{
    if (given_up)
        return;
    given_up = true;
    /* What the socket still holds would keep it in the kernel for minutes after its close, and the
     * service's end open: its close resets the connection instead. */
    wss::reset_at_close(con->get_raw_socket().native_handle());
    websocketpp::lib::error_code ignored;
    con->close(code, "", ignored);
    /* A service that takes nothing reads neither the close nor anything after it: the socket goes
     * now, and the library ends the connection on the failed write. */
    if (code == websocketpp::close::status::going_away) {
        boost::system::error_code not_open;
        con->get_raw_socket().close(not_open);
    }
    /* Marked ended here, so that the close handler, whenever it comes, tells the channel nothing. */
    tell_lost(set_status(wscs_shutdown), "wss_connect.give_up");
}

void ws_connection::on_message(client* c, connection_hdl hdl, message_ptr msg)
{
    if (msg->get_opcode() == websocketpp::frame::opcode::text && msg->get_payload().size() > MAX_TEXT_MESSAGE) {
        /* In the connection's strand: the close is the library's own answer to a message too big.
         * The request ends now: a service that goes on sending would otherwise hold it until the
         * library's close time-out. */
        websocketpp::lib::error_code ec;
        client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
        /* Said now, before the channel hears of it: a read error while the connection shuts down
         * replaces the 1009 that the close handler would see. */
        log_too_big();
        if (con)
            give_up(con, websocketpp::close::status::message_too_big);
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

void ws_connection::log_too_big()
{
    if (too_big)
        return;
    too_big = true;
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR,
            "wss_connect.on_close: connection <%d> closed with 1009, message too big (a service message "
            "may hold %lu bytes of text, %lu in all)",
            id, (unsigned long)MAX_TEXT_MESSAGE, (unsigned long)MAX_MESSAGE);
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
    connection_hdl hdl;
    {
        std::lock_guard<std::mutex> lock(mt);
        abandoned = true;
        open = status == wscs_connected;
        hdl = m_hdl;
    }
    if (open) {
        /* Opened just after the wait gave up. */
        wss::close_in_strand(c, hdl, websocketpp::close::status::going_away, "");
        return;
    }
    /* Still connecting: close the socket in the strand. Its pending operations
     * fail at once and so does the attempt; a TLS shutdown towards a silent peer
     * would wait another 5 s. */
    wss::cut_in_strand(c, hdl);
}

bool ws_connection::wait_ended(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(mt);
    return cv.wait_until(lock, deadline, [this] { return status != wscs_connected; });
}

