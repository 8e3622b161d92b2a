/*
 * What the WebSocket endpoint's sources share, and nothing a plug-in uses:
 *   websocket_tls.cpp         the TLS context and the TLS session cache
 *   websocket_connection.cpp  the connection record (ws_connection)
 *   websocket_endpoint.cpp    construction, the run loops, connect, close, look-ups
 *   websocket_send.cpp        commands and audio: queueing, the sweep, the flush, the bound
 *   websocket_socket.cpp      the kernel's figures of a socket (websocket_socket.h)
 */
#ifndef CLOUD_ACCESS_WEBSOCKET_INTERNAL_H
#define CLOUD_ACCESS_WEBSOCKET_INTERNAL_H

#include <chrono>
#include <string>

#include "websocket_endpoint.h"
#include "websocket_socket.h"

#if defined(HARKWIRE_PLUGIN)
#define WSS_FAIL_PRIO APT_PRIO_INFO
#else
#define WSS_FAIL_PRIO APT_PRIO_ERROR
#endif

namespace wss {

const std::chrono::milliseconds CONNECT_WAIT(5000);
/* As long as the library's close-handshake timeout. */
const std::chrono::milliseconds UNLOAD_WAIT(5000);
/* A service's text message is a JSON reply of a few hundred bytes, a result with alternatives a few
 * kilobytes. A far larger one is refused unread: the plug-ins parse replies holding the channel's
 * lock, which the media thread takes for every frame, and under the library's own limit (32 MB) one
 * reply could keep every channel's audio waiting for seconds. */
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
 * the sender a system call, a TLS record and its completions, and the receiver a wake-up. A frame
 * reaches the service at most 40 ms later, far less than a service waits for silence before it ends
 * speech. */
const long FLUSH_DELAY_MS = 40;
/* How long a busy I/O thread lets events gather before it handles them. With many channels a thread
 * otherwise wakes for two or three messages at a time, and each wake-up costs more than the
 * messages; after 1 ms it handles a few dozen at once, for at most 1 ms more delay. A thread with
 * nothing to do blocks, so a quiet server pays nothing. */
const std::chrono::microseconds GATHER_WAIT(1000);
/* What may wait for a service that has not taken it, in the library and in the socket: 16 s of
 * 8 kHz audio. A service that stops reading (hung, or its network) would otherwise leave every later
 * frame queued for as long as the call lasts, and one that pings and reads nothing every pong. Past it
 * the connection is reset and its request ends with an error at once. */
const size_t UNSENT_LIMIT = 256 * 1024;
/* What a pong costs beyond its payload while the library holds it: the message, the payload buffer
 * it reserves and the frame header. Counted in full, so that a flood of empty pings (payload 0) fills
 * the bound too. */
const size_t PONG_COST = 384;
/* How often find() tries the list lock before it waits asleep. */
const int FIND_SPINS = 200;
/* How many sent payloads a connection keeps for the next frames: about a sweep's worth. */
const size_t SPARE_PAYLOADS = 8;

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
void close_in_strand(client* c, connection_hdl hdl, unsigned short code, const std::string& reason);

/* Closes the connection's socket in its strand: its pending operations fail at once, and so does a
 * connection still opening (no TLS shutdown towards a peer that may never answer). */
void cut_in_strand(client* c, connection_hdl hdl);

/* Small writes at once (true) or held for the acknowledgement of what is in flight (false). */
void set_no_delay(client* c, connection_hdl hdl, bool on);

/* How long a connection the library is done with may keep its socket. */
const long RELEASE_GRACE_MS = 1000;

/* Called once the library is done with a connection (its close or fail handler): closes its socket
 * RELEASE_GRACE_MS later if the connection is still held then. When the TLS shutdown towards a
 * service that answers nothing has timed out, the library lets the connection end, but the operation
 * still waiting for the service's answer keeps it, and with it the socket, for as long as the service
 * stays connected. The grace lets a service that does answer end the connection in order. */
void release_socket(client* c, connection_hdl hdl);

/* The TLS session cache (websocket_tls.cpp). */
/* Makes the cache; the endpoint's constructor calls it first, so that the cache outlives the
 * endpoint (connections still closing in its destructor may hand in sessions). */
void tls_sessions_init();
/* Right before the TLS handshake: names the connection's service on its TLS object (the sessions
 * it brings are kept) and, when resume, offers a session kept from an earlier connection to it.
 * True when a session was offered. */
bool offer_session(client* c, connection_hdl hdl, const std::string& service, bool resume);
/* A handshake that offered one of service's sessions failed: its sessions go, and for a quiet time
 * it is offered none. */
void sessions_refused(const std::string& service);
/* The connection's TLS handshake completed (whatever failed after it, the session offered did not). */
bool tls_established(client* c, connection_hdl hdl);
/* At the open of a connection that offered a session: when the service resumed it, the service's
 * next refusal starts the shortest quiet time. */
void note_resumed(client* c, connection_hdl hdl, const std::string& service);

}  // namespace wss

#endif
