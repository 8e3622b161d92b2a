// Local fake of the cloud speech service, for tests and the demo.
//
// One fake_cloud listens on two ports of 127.0.0.1 (ephemeral unless given) with a self-signed
// certificate made in memory at start:
//   - the identity endpoint on token_port(): any HTTPS/1.1 request, e.g. a POST to token_url() =
//     https://127.0.0.1:PORT/v3/auth/tokens, is answered 201 with "X-Subject-Token: fake-token-<n>"
//     (n = the request's number) unless scripted otherwise (token_reply);
//   - the WebSocket service on ws_port(): any wss path, ws_url(path) = wss://127.0.0.1:PORT<path>.
// Two ports, so that handshake scripts (which act at TCP accept) never catch a token request.
// Clients must not verify the certificate (both of ours don't).
//
// Recording: every token request (token_requests()) and every WebSocket handshake that reached the
// server (connections(), ids 1, 2, ... in arrival order), with its path, handshake headers, every text
// and binary message received (byte exact, in order) and the close code and reason it received, or
// that the connection ended without a close frame (dropped).
//
// Scripting, per test:
//   - token answers: set_token_reply() for every request, queue_token_reply() for the next ones (FIFO,
//     then back to the default): status, header name spelling or none, token text or length, delay,
//     close without an answer, or raw answer bytes;
//   - handshakes, per TCP connection to the service port: set_handshake() / queue_handshake(): accept,
//     refuse with an HTTP status, never answer (TCP accepted, TLS never answered, held until the fake
//     stops), hang up at once, or any of these after a delay; ws_accept_count() counts the TCP
//     connections, connections() only those whose upgrade request arrived;
//   - behaviour of an open connection: set_behaviour() / set_behaviour_factory(); a behaviour gets the
//     open and each received message with a session through which it can send_text, send_binary,
//     close(code, reason), drop (no close frame) or schedule work with after(). Recognition and
//     synthesis scripts are plain functions returning a behaviour, in their own files;
//   - on cue from the test: send_text(id, ...), send_binary(id, ...), close(id, ...), drop(id);
//   - TLS of the service: set_service_tls() (TLS 1.2 only; what a client hello that offers a session to
//     resume gets: resumed, a handshake_failure alert, a TCP reset, a TCP close without a byte, or no
//     answer ever); resumed_offers() counts the hellos that offered one;
//   - the service's receive window: set_service_receive_window() makes it small, as on a real network
//     path (the connections accepted next inherit it; the TCP window scale they offer follows);
//   - a network far away: set_network_delay() delays the token answers, the handshakes and every message
//     in both directions (on timers: other connections go on meanwhile).
//
// Threads: the fake runs its I/O on one thread, or on as many as the constructor is given, each named
// "fakecloud-io"; each connection is served by one of them, taken in turn. Everything of one
// connection runs on that connection's strand, one piece at a time and in order: its websocketpp
// handlers, its behaviour callbacks, its after() work, its delayed messages, closes and drops, its
// delayed handshake or token answer. Different connections run at the same time on different
// threads, so a behaviour factory, the logger and any state that behaviours of several connections
// share must be thread-safe; state of one connection's behaviour needs no lock. Callbacks must not
// block (use session::after for anything later). Every public member is thread-safe: the recorded
// state is guarded by one mutex inside, written by the I/O threads and by the scripting members.
// Accessors return copies. The wait_* helpers return false on time-out, so tests need no sleeps.
// send_text, close, drop ... called by a test wait up to 2 s for the server side of a just-opened
// connection. The destructor stops listening, closes open connections with 1001, ends held and
// delayed ones and joins its threads (within about 3 s even when a client misbehaves).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fakecloud {

using header_list = std::vector<std::pair<std::string, std::string>>;

// Case-insensitive look-up; "" when absent.
std::string find_header(const header_list& headers, const std::string& name);
bool has_header(const header_list& headers, const std::string& name);

// A token of exactly `length` bytes ("0123456789abcdef" repeated), as token_reply::token_length makes it.
std::string make_token(std::size_t length);

// One request the identity endpoint received.
struct token_request {
    std::string method;                               // "POST"
    std::string target;                               // path and query, e.g. "/v3/auth/tokens"
    header_list headers;                              // as received (names in the client's spelling)
    std::string body;
    std::chrono::system_clock::time_point received;   // wall clock, for schedule tests
    std::string header(const std::string& name) const { return find_header(headers, name); }
};

// How to answer one token request.
struct token_reply {
    int status = 201;
    std::string header_name = "X-Subject-Token";  // "" sends no token header at all
    std::string token;                             // "" with token_length 0: "fake-token-<request number>"
    std::size_t token_length = 0;                  // > 0: make_token(token_length)
    int delay_ms = 0;                              // wait this long before answering (or refusing)
    bool refuse = false;                           // close the connection without any answer
    std::string raw;                               // non-empty: written as the whole answer, then closed
};

// How to answer one WebSocket handshake.
struct ws_handshake {
    enum mode_e {
        accept,        // open the connection
        refuse,        // answer the upgrade with refuse_status
        never_answer,  // accept TCP, never start TLS
        hang_up        // accept TCP and close it at once
    };
    mode_e mode = accept;
    int refuse_status = 403;  // for refuse
    int delay_ms = 0;         // for accept and refuse: start TLS this much after the TCP accept
};

// Delays of a network between the clients and the service; all 0 (the default): answers at once.
struct network_delay {
    int token_ms = 0;      // every token answer (or refusal) leaves this much later, on top of token_reply::delay_ms
    int handshake_ms = 0;  // every WebSocket handshake: TLS starts this much after the TCP accept, so the
                           // upgrade answer comes this much later (on top of ws_handshake::delay_ms)
    int message_ms = 0;    // every message in each direction: what the service sends (and its close or drop)
                           // leaves this much later, what it receives reaches the record and the behaviour
                           // this much later
    int jitter_ms = 0;     // each delay gets a random 0..jitter_ms more (fixed seed); one connection's
                           // messages keep their order in each direction
};

// TLS of the WebSocket service; the defaults: any version the client offers, sessions resumed.
struct service_tls {
    // What the service does with a client hello that offers a session to resume: a TLS 1.3 pre-shared
    // key, a TLS 1.2 session ticket, or the ID of a TLS 1.2 session this fake gave out. A hello that
    // offers none is answered with a full handshake in every mode.
    enum resumed_e {
        resume,          // resume it (or make a full handshake when it cannot)
        abort_alert,     // fail the handshake with a handshake_failure alert
        reset,           // reset the TCP connection (RST), not a byte answered
        close_silently,  // close the TCP connection (FIN), not a byte answered
        never_answer     // keep the TCP connection open and never answer, until the fake stops
    };
    bool tls12_only = false;     // speak TLS 1.2 at most
    resumed_e resumed = resume;
    bool abort_resumed = false;  // the same as resumed = abort_alert (when resumed is left at resume)
};

struct ws_message {
    bool binary = false;
    std::string data;
};

// One WebSocket handshake that reached the server, and what became of it.
struct ws_record {
    int id = 0;                  // 1, 2, ... in order of arrival
    std::string resource;        // path with query, e.g. "/v1/sentence-stream?x=1"
    header_list headers;         // the upgrade request's headers
    bool has_auth_token = false; // "X-Auth-Token" present
    bool tls_resumed = false;    // the TLS handshake resumed a session the client kept
    std::string auth_token;      // its value
    bool opened = false;         // the handshake was accepted and the connection opened
    std::vector<ws_message> messages;  // received, in order
    int pongs = 0;               // pongs received (answers to session::ping)
    bool ended = false;          // the connection is gone (closed, dropped, refused or failed)
    bool close_received = false; // a close frame arrived from the client
    int close_code = 0;          // its code (1005 when the frame had none)
    std::string close_reason;
    bool dropped() const { return opened && ended && !close_received; }
    std::string header(const std::string& name) const { return find_header(headers, name); }
};

class fake_cloud;

// Handle on one connection for behaviours (and for tests); cheap to copy, usable from any thread.
// Operations on a connection that is gone return false.
class session {
public:
    session(fake_cloud* cloud, int id) : m_cloud(cloud), m_id(id) {}
    int id() const { return m_id; }
    ws_record record() const;
    bool send_text(const std::string& text);
    bool send_binary(const std::string& data);
    bool close(std::uint16_t code, const std::string& reason);
    bool drop();  // end TCP without a close frame
    bool ping(const std::string& payload);
    bool pause_reading();  // as fake_cloud::pause_reading
    // Bytes queued for sending and not yet written to the socket (0 once the connection is gone).
    // Payload bytes only: empty frames never count.
    std::size_t buffered_amount() const;
    bool socket_full() const;  // as fake_cloud::socket_full
    // Run fn on the connection's strand after ms milliseconds (skipped when the fake stops first).
    void after(int ms, std::function<void(session&)> fn);

private:
    fake_cloud* m_cloud;
    int m_id;
};

// Behaviour of one open connection; either callback may be empty.
struct behaviour {
    std::function<void(session&)> on_open;
    std::function<void(session&, const ws_message&)> on_message;
};
// Called once per opened connection, so each connection can get fresh state.
using behaviour_factory = std::function<behaviour(const ws_record&)>;

behaviour record_only();      // the default: records, never answers
behaviour echo_behaviour();   // sends every message back with its opcode
// At the first message: reads nothing more and pings without end (the client's pongs, its close,
// everything it sends stays unread), each ping carrying payload_size bytes (125, the most a control
// frame may carry, or fewer; 0: empty pings). What the fake keeps queued stays short whatever the client
// reads.
behaviour ping_flood_behaviour(std::size_t payload_size = 125);

class fake_cloud {
public:
    // Port 0: ephemeral. io_threads: how many threads run the I/O (0 counts as 1). Throws
    // std::runtime_error when it cannot listen.
    explicit fake_cloud(unsigned short token_port = 0, unsigned short ws_port = 0, unsigned io_threads = 1);
    ~fake_cloud();
    fake_cloud(const fake_cloud&) = delete;
    fake_cloud& operator=(const fake_cloud&) = delete;

    unsigned short token_port() const;
    unsigned short ws_port() const;
    std::string token_url() const;                              // https://127.0.0.1:TOKEN_PORT/v3/auth/tokens
    std::string ws_url(const std::string& path = "/") const;    // wss://127.0.0.1:WS_PORT<path>

    // Identity endpoint.
    void set_token_reply(const token_reply& reply);
    void queue_token_reply(const token_reply& reply);
    std::vector<token_request> token_requests() const;
    std::size_t token_request_count() const;
    bool wait_for_token_requests(std::size_t n, std::chrono::milliseconds timeout) const;
    // Requests answered (or refused) so far; a request counts once its answer left.
    std::size_t token_replies_sent() const;
    bool wait_for_token_replies(std::size_t n, std::chrono::milliseconds timeout) const;

    // WebSocket service.
    void set_handshake(const ws_handshake& handshake);
    void queue_handshake(const ws_handshake& handshake);
    void set_behaviour(const behaviour& b);
    void set_behaviour_factory(behaviour_factory factory);
    std::size_t ws_accept_count() const;  // TCP connections accepted on the service port
    bool wait_for_ws_accepts(std::size_t n, std::chrono::milliseconds timeout) const;
    std::vector<ws_record> connections() const;
    std::size_t connection_count() const;
    ws_record connection(int id) const;  // an empty record (id 0) when unknown
    bool wait_for_connections(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_open(int id, std::chrono::milliseconds timeout) const;
    bool wait_for_messages(int id, std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_end(int id, std::chrono::milliseconds timeout) const;  // closed, dropped or failed

    bool send_text(int id, const std::string& text);
    bool send_binary(int id, const std::string& data);
    bool close(int id, std::uint16_t code, const std::string& reason);
    bool drop(int id);
    bool ping(int id, const std::string& payload);
    // The service reads nothing more from the connection (what it sends still goes out).
    bool pause_reading(int id);
    std::size_t buffered_amount(int id) const;
    // The connection's socket takes nothing more for now (its send buffer is full: the client reads
    // slowly or not at all), so what is sent now waits in the fake; false once the connection is gone.
    bool socket_full(int id) const;
    void after(int id, int ms, std::function<void(session&)> fn);

    // TLS of the service port for the connections accepted from now on.
    void set_service_tls(const service_tls& tls);
    // Client hellos on the service port that offered a session to resume, in every mode (resume too).
    std::size_t resumed_offers() const;

    // The TCP receive window the service's connections accepted from now on offer at most, in bytes
    // (TCP_WINDOW_CLAMP of its listening socket; the window scale of their SYN-ACK follows it). 0: the
    // system's. A small window, not a small receive buffer: the window closes before the buffer is full,
    // however small the client's segments, so the service's kernel never drops data it offered room
    // for. Where it does, it ignores the client's acknowledgements until the client retransmits, after
    // back-offs of seconds, and a flood the service sends waits on them.
    void set_service_receive_window(int bytes);

    // Network delays for what comes next (connections already in the middle of something keep theirs).
    void set_network_delay(const network_delay& delay);

    // Waits until pred() holds, re-checking it after every recorded change; pred runs without locks.
    bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

    // One line per event (request, open, close, ...), for the program's console; may be empty.
    void set_logger(std::function<void(const std::string&)> logger);

    struct impl;

private:
    std::unique_ptr<impl> m_impl;
};

}  // namespace fakecloud
