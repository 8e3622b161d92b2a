/*
 * What leaves on a connection: commands (text) and audio (binary), in the order they were queued.
 *
 * Threads: the tasks queue commands and the media thread queues audio (send_data, which must not
 * wait: it copies the frame, under out_mt, into a payload kept from an earlier send, and lists the
 * connection for its loop's sweep). Only the connection's I/O thread hands messages to the library: a command's flush
 * posted to the connection's strand, the loop's sweep every FLUSH_DELAY_MS while anything is listed,
 * and the close.
 * Locks: a record's out_mt guards outbox, spare and listed; a loop's flush_mutex guards its flush
 * list. Each is held only to add or to take a list whole, never across a library call, and never
 * both at once (enqueue lets go of out_mt before it takes flush_mutex).
 */
#include "websocket_internal.h"

#include <algorithm>

#include "apt_log.h"

using wss::FLUSH_DELAY_MS;
using wss::SPARE_PAYLOADS;

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
        return wss::post_to_strand(&rec->loop->c, rec->get_hdl(),
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
    if (con)
        takes_more(rec, con);
    for (ws_connection::outgoing& out : rec->sending) {
        if (rec->given_up)
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

bool websocket_endpoint::takes_more(const ws_connection::ptr& rec, const client::connection_ptr& con, size_t pong_cost)
{
    /* On the connection's thread, which alone hands the library messages and writes; its loop has
     * this one thread, so the close below is in step with the connection's strand. */
    if (rec->given_up)
        return false;
    /* The kernel's buffers fill before the library queues anything; what the socket holds counts too.
     * It is bounded by the socket's send buffer, which on a real path is below the limit: the library's
     * queue and the pongs must trip it on their own. */
    const int fd = con->get_raw_socket().native_handle();
    const size_t in_socket = wss::socket_unsent(fd);
    /* The pongs' count is forgotten only as far as the service takes data: all of it once the socket
     * holds nothing unacknowledged, else as much as it acknowledged since. Without pongs nothing is
     * asked of the kernel. */
    if (in_socket == 0)
        rec->pongs_owed = 0;
    if (rec->pongs_owed > 0 || pong_cost > 0) {
        const uint64_t acked = wss::socket_acked(fd);
        if (acked > rec->acked_seen && rec->pongs_owed > 0)
            rec->pongs_owed -= (size_t)std::min<uint64_t>(rec->pongs_owed, acked - rec->acked_seen);
        rec->acked_seen = std::max(rec->acked_seen, acked);
        rec->pongs_owed += pong_cost;
    }
    const size_t unsent = con->get_buffered_amount() + in_socket + rec->pongs_owed;
    if (unsent <= m_unsent_limit)
        return true;
    apt_log(APT_LOG_MARK, APT_PRIO_ERROR,
            "wss_connect: connection <%d> closes, the service takes nothing: %lu bytes wait to be sent", rec->id,
            (unsigned long)unsent);
    rec->give_up(con, websocketpp::close::status::going_away);
    return false;
}
