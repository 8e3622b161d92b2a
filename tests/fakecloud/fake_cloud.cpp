#include "fake_cloud.h"

#include "self_signed_cert.h"

#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

namespace fakecloud {

namespace {

struct server_config : public websocketpp::config::asio_tls {
    typedef server_config type;
    typedef websocketpp::config::asio_tls base;
    struct transport_config : public base::transport_config {
        // websocketpp's server starts the TLS shutdown while its frame read is still pending, so the
        // client's close_notify goes to the read and the shutdown would only end at this time-out.
        static const long timeout_socket_shutdown = 100;
    };
    typedef websocketpp::transport::asio::endpoint<transport_config> transport_type;
};

using server_t = websocketpp::server<server_config>;
using websocketpp::connection_hdl;
using connection_ptr = server_t::connection_ptr;
using message_ptr = server_t::message_ptr;
using ssl_context = boost::asio::ssl::context;
using timer_ptr = std::shared_ptr<boost::asio::steady_timer>;
using strand_t = boost::asio::io_service::strand;
using strand_ptr = std::shared_ptr<strand_t>;  // what websocketpp gives each connection

using tcp = boost::asio::ip::tcp;

std::string token_text(const token_reply& reply, std::size_t request_number)
{
    if (reply.token_length > 0)
        return make_token(reply.token_length);
    if (!reply.token.empty())
        return reply.token;
    return "fake-token-" + std::to_string(request_number);
}

header_list copy_headers(const websocketpp::http::parser::header_list& in)
{
    header_list out;
    for (const auto& h : in)
        out.emplace_back(h.first, h.second);
    return out;
}

// The fake whose I/O thread this is, if any: such a thread never waits for a connection to open.
thread_local const void* t_io_thread_of = nullptr;

}  // namespace

std::string find_header(const header_list& headers, const std::string& name)
{
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
            return h.second;
    return std::string();
}

bool has_header(const header_list& headers, const std::string& name)
{
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

std::string make_token(std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string token(length, '0');
    for (std::size_t i = 0; i < length; ++i)
        token[i] = digits[i % 16];
    return token;
}

behaviour record_only()
{
    return behaviour();
}

behaviour echo_behaviour()
{
    behaviour b;
    b.on_message = [](session& s, const ws_message& m) {
        if (m.binary)
            s.send_binary(m.data);
        else
            s.send_text(m.data);
    };
    return b;
}

namespace {

// Pings while the fake's own send queue is short, then again 1 ms later, until the connection is gone.
// Empty pings never show in buffered_amount(), so a round also ends after 16 KiB of pings as they cost
// on the wire (a TLS record each, some 30 bytes even when empty), and none is sent while the socket is
// full: the fake's own queue stays short whatever the client reads. A round's pings leave only once it
// ends, and in a sanitizer build each costs much: short rounds reach the client sooner.
void ping_without_end(session& s, const std::string& payload)
{
    const std::size_t cost = std::max<std::size_t>(payload.size() + 2, 32);
    if (!s.socket_full())
        for (std::size_t sent = 0; sent < 16 * 1024 && s.buffered_amount() < 64 * 1024; sent += cost)
            if (!s.ping(payload))
                return;
    s.after(1, [payload](session& later) { ping_without_end(later, payload); });
}

}  // namespace

behaviour ping_flood_behaviour(std::size_t payload_size)
{
    const std::string payload(std::min<std::size_t>(payload_size, 125), 'p');  // 125: a control frame's most
    behaviour b;
    auto started = std::make_shared<bool>(false);
    b.on_message = [started, payload](session& s, const ws_message&) {
        if (*started)
            return;
        *started = true;
        s.pause_reading();
        ping_without_end(s, payload);
    };
    return b;
}

// Messages in flight on one connection in one direction wait in a lane of their own, in order; a lane
// holds messages, and exactly one timer (or a running pump) is due for it then, on the connection's
// strand.
struct lane {
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::function<void()>>> items;
    std::uint64_t generation = 0;  // its timer's; a lane emptied and filled again gets a new one
};

// What every message of one connection needs, kept apart from the fake's `mutex`.
struct conn_state {
    conn_state(int id_, connection_hdl hdl_, strand_ptr strand_, int fd_)
        : id(id_), hdl(hdl_), strand(std::move(strand_)), fd(fd_), jitter_random(20261209u + unsigned(id_))
    {
    }
    const int id;
    const connection_hdl hdl;
    const strand_ptr strand;
    const int fd;  // the TCP socket's, while the connection lives: looked at by socket_full from any thread
    // Mirrors of the record's, set under `mutex` with it: looked at for every message sent.
    std::atomic<bool> opened{false};
    std::atomic<bool> ended{false};
    std::mutex lanes_mutex;  // guards the rest (the connection's thread and senders on any thread)
    lane lanes[2];           // [outgoing]
    std::uint64_t lane_generation = 0;
    std::mt19937 jitter_random;  // message jitter, seeded per connection
};

struct fake_cloud::impl {
    impl(fake_cloud* owner, unsigned short token_port, unsigned short ws_port, unsigned io_threads);
    ~impl();

    // Our own accept loops hand each socket to websocketpp, so a handshake can be held or delayed
    // before websocketpp sees it (it cannot defer a WebSocket upgrade itself).
    void accept_next(tcp::acceptor& acceptor, bool ws);
    void accepted(connection_ptr con, bool ws);
    void on_ws_accept(connection_ptr con);
    void hang_up(connection_ptr con);
    void start(connection_ptr con);  // on the connection's strand

    // websocketpp handlers, each on its connection's strand.
    void on_http(connection_hdl hdl);
    bool on_validate(connection_hdl hdl);
    void on_open(connection_hdl hdl);
    void on_message(const std::shared_ptr<conn_state>& st, message_ptr msg);
    void receive(int id, ws_message m);
    void on_close(connection_hdl hdl);
    void on_fail(connection_hdl hdl);
    void on_interrupt(connection_hdl hdl);
    bool end_stopped_hello(const connection_ptr& con);

    // Client hellos that offer a session (the hello callback, on the I/O threads).
    void count_resumed_offer(service_tls::resumed_e mode);
    void remember_session_id(const std::string& id);
    bool gave_out_session_id(const std::string& id) const;

    void answer_token(connection_ptr con, const token_reply& reply, std::size_t number, bool deferred);
    void end_http_without_answer(connection_ptr con);
    connection_ptr live_connection(int id);
    std::shared_ptr<conn_state> state_of(int id) const;
    strand_ptr strand_of(int id);
    // fn runs on `strand` (one connection's work in order), or on the first I/O thread when it is null.
    void schedule(const strand_ptr& strand, int ms, std::function<void(bool cancelled)> fn);
    void schedule_at(const strand_ptr& strand, std::chrono::steady_clock::time_point when,
                     std::function<void(bool cancelled)> fn);
    // Network delays. Callers of net_delay_ms hold `mutex`.
    int net_delay_ms(int base);
    bool delayed(const std::shared_ptr<conn_state>& st, bool outgoing, std::function<void()> fn);
    void arm(const std::shared_ptr<conn_state>& st, bool outgoing, std::uint64_t generation,
             std::chrono::steady_clock::time_point due);
    void pump(const std::shared_ptr<conn_state>& st, bool outgoing, std::uint64_t generation);
    void flush_incoming(connection_hdl hdl);
    template <typename F>
    bool on_live(int id, F action);
    void shutdown();

    // Callers hold `mutex`.
    void bump() { ++change_count; changed.notify_all(); }
    int id_of(connection_hdl hdl) const
    {
        auto it = ids.find(hdl);
        return it == ids.end() ? 0 : it->second;
    }
    template <typename F>
    bool wait_locked(std::chrono::milliseconds timeout, F pred) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
    void log(const std::string& line);
    template <typename F>
    void guarded(const char* what, F fn);
    boost::asio::io_service& first_io() { return servers.front()->get_io_service(); }
    // Any server would do: the handle alone finds the connection.
    connection_ptr connection_of(connection_hdl hdl, websocketpp::lib::error_code& ec)
    {
        return servers.front()->get_con_from_hdl(hdl, ec);
    }
    connection_ptr connection_of(connection_hdl hdl) { return servers.front()->get_con_from_hdl(hdl); }

    // Every member below up to `cert` is guarded by `mutex` and written by the I/O threads (what
    // arrives) and by the public members (scripts, delays, factory, logger) from any thread.
    // Whatever websocketpp or asio owns is touched only on its connection's strand, or on the first
    // I/O thread for the acceptors and `held`.
    fake_cloud* owner;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // every recorded change, and `stopping`
    std::uint64_t change_count = 0;
    bool stopping = false;
    unsigned io_running = 0;  // I/O threads whose run loop has not returned yet
    int deferred_http = 0;    // token answers deferred and not yet ended

    token_reply default_reply;
    std::deque<token_reply> queued_replies;
    std::vector<token_request> requests;
    std::size_t replies_sent = 0;

    ws_handshake default_handshake;
    std::deque<ws_handshake> queued_handshakes;
    std::size_t ws_accepts = 0;
    std::map<connection_hdl, ws_handshake, std::owner_less<connection_hdl>> scripts;  // accept to validate
    behaviour_factory factory;
    std::vector<ws_record> records;                       // index id - 1
    std::vector<std::shared_ptr<behaviour>> behaviours;   // index id - 1, while open
    std::map<connection_hdl, int, std::owner_less<connection_hdl>> ids;  // live connections
    std::function<void(const std::string&)> logger;
    std::atomic<bool> logging{false};  // a logger is set: what is logged for every message is built only then

    // A network far away: token and handshake delays, under `mutex`, written by set_network_delay
    // (any thread). The message delays are copied into atomics, read for every message without `mutex`.
    network_delay net;
    service_tls service_tls_now;  // for the service connections accepted next
    std::size_t resumed_offers = 0;
    std::deque<std::string> session_ids;  // of the TLS 1.2 sessions given out lately, oldest first
    std::mt19937 jitter_random{20261209};
    std::atomic<int> message_ms{0};
    std::atomic<int> message_jitter_ms{0};

    // One per WebSocket connection that sent its upgrade request, index id - 1, kept once the
    // connection is gone: after() work and delayed messages of a connection that ended still run one
    // at a time on its strand. Grown at the upgrade request under `mutex` and conns_mutex both, so
    // either is enough to read it: senders, one look-up per message, share conns_mutex rather than
    // queue on `mutex` behind every other connection's work.
    mutable std::shared_mutex conns_mutex;
    std::vector<std::shared_ptr<conn_state>> conns;

    self_signed_cert cert;
    std::shared_ptr<ssl_context> tls;
    // One websocketpp server, with an I/O service of its own, per I/O thread; a connection lives on
    // one of them (taken in turn at accept) and all its work runs on that one thread. Not one I/O
    // service run by several threads: with Boost 1.70 and later, completions inside the TLS stream
    // go to the I/O service's own executor, not through websocketpp's per-connection strand, so
    // two threads would run one connection's TLS read and write at once.
    std::vector<std::unique_ptr<server_t>> servers;
    // After the servers: these go before their I/O services do. The accept loops of both ports,
    // `held` and `next_server` belong to the first server's thread.
    std::unique_ptr<tcp::acceptor> token_acceptor;
    std::unique_ptr<tcp::acceptor> ws_acceptor;
    int ws_listen_fd = -1;                       // ws_acceptor's, for its window clamp from any thread
    std::vector<connection_ptr> held;  // accepted, never started
    // Connections that read nothing any more, and those whose client hello is never answered: no
    // pending read holds them, so these do until shutdown (under `mutex`).
    std::vector<connection_ptr> paused;
    std::size_t next_server = 0;       // the server the next accepted connection goes to
    std::mutex timers_mutex;           // guards timers and timers_stopped, apart from `mutex`
    std::set<timer_ptr> timers;
    bool timers_stopped = false;
    std::vector<std::thread> io_threads;
    unsigned short token_port = 0;
    unsigned short ws_port = 0;
};

namespace {

// What the client hello callback needs of one service connection, kept on its TLS object (the
// identity endpoint's have none). Touched on the connection's thread only.
struct hello_watch {
    fake_cloud::impl* cloud;
    service_tls::resumed_e resumed;
    bool stopped = false;  // the hello offered a session and got no answer: on_fail ends it as scripted
};

void free_hello_watch(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<hello_watch*>(ptr);
}

int hello_watch_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &free_hello_watch);
    return index;
}

hello_watch* watch_of(SSL* ssl)
{
    return static_cast<hello_watch*>(SSL_get_ex_data(ssl, hello_watch_index()));
}

std::string session_id_of(const SSL_SESSION* session)
{
    unsigned int len = 0;
    const unsigned char* id = SSL_SESSION_get_id(session, &len);
    return std::string(reinterpret_cast<const char*>(id), len);
}

// The sessions the service gives out: a TLS 1.2 one can come back by its ID alone, from a client that
// takes no tickets.
int remember_session(SSL* ssl, SSL_SESSION* session)
{
    hello_watch* watch = watch_of(ssl);
    if (watch && SSL_SESSION_get_protocol_version(session) < TLS1_3_VERSION) {
        std::string id = session_id_of(session);
        if (!id.empty())
            watch->cloud->remember_session_id(id);
    }
    return 0;  // no reference kept
}

// A session offered: a TLS 1.3 pre-shared key, a TLS 1.2 session ticket, or the ID of a TLS 1.2 session
// this fake gave out. Any other ID is no offer: a client that offers TLS 1.3 sends a random one.
bool offers_session(SSL* ssl, const fake_cloud::impl& cloud)
{
    const unsigned char* ext = nullptr;
    std::size_t len = 0;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_psk, &ext, &len) == 1)
        return true;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_session_ticket, &ext, &len) == 1 && len > 0)
        return true;
    const unsigned char* id = nullptr;
    len = SSL_client_hello_get0_session_id(ssl, &id);
    return len > 0 && cloud.gave_out_session_id(std::string(reinterpret_cast<const char*>(id), len));
}

int on_client_hello(SSL* ssl, int* alert, void*)
{
    hello_watch* watch = watch_of(ssl);
    if (!watch || !offers_session(ssl, *watch->cloud))
        return SSL_CLIENT_HELLO_SUCCESS;
    watch->cloud->count_resumed_offer(watch->resumed);
    switch (watch->resumed) {
    case service_tls::resume:
        return SSL_CLIENT_HELLO_SUCCESS;
    case service_tls::abort_alert:
        *alert = SSL_AD_HANDSHAKE_FAILURE;
        return SSL_CLIENT_HELLO_ERROR;
    default:
        // A handshake paused in this callback writes nothing, not even an alert, and Asio ends it
        // with an error: on_fail then resets, closes or holds the TCP connection.
        watch->stopped = true;
        return SSL_CLIENT_HELLO_RETRY;
    }
}

std::unique_ptr<tcp::acceptor> listen_on(boost::asio::io_service& io, unsigned short port)
{
    tcp::endpoint where(boost::asio::ip::address_v4::loopback(), port);
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    boost::system::error_code ec;
    acceptor->open(where.protocol(), ec);
    if (!ec)
        acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor->bind(where, ec);
    if (!ec)
        acceptor->listen(boost::asio::socket_base::max_listen_connections, ec);
    if (!ec)
        acceptor->non_blocking(true, ec);
    if (ec)
        throw std::runtime_error("fake_cloud: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                 ec.message());
    return acceptor;
}

}  // namespace

fake_cloud::impl::impl(fake_cloud* o, unsigned short wanted_token_port, unsigned short wanted_ws_port,
                       unsigned io_thread_count)
    : owner(o)
{
    // The library learns the byte order for 64-bit frame lengths on first use, in a static without a
    // lock; learnt here, before the I/O threads and the tests' threads send long frames at once.
    websocketpp::lib::net::_htonll(0);
    tls = std::make_shared<ssl_context>(ssl_context::tls_server);
    tls->set_options(ssl_context::default_workarounds | ssl_context::no_sslv2 | ssl_context::no_sslv3);
    if (!cert.install(tls->native_handle()))
        throw std::runtime_error("fake_cloud: cannot install the certificate");
    SSL_CTX_set_client_hello_cb(tls->native_handle(), &on_client_hello, nullptr);
    SSL_CTX_sess_set_new_cb(tls->native_handle(), &remember_session);

    for (unsigned i = 0; i < std::max(1u, io_thread_count); ++i) {
        servers.emplace_back(new server_t);
        server_t& server = *servers.back();
        server.clear_access_channels(websocketpp::log::alevel::all);
        server.clear_error_channels(websocketpp::log::elevel::all);
        server.init_asio();
        server.start_perpetual();  // a thread whose server has no connection yet waits for one
        server.set_tls_init_handler([this](connection_hdl) { return tls; });
        server.set_http_handler([this](connection_hdl h) { guarded("http", [&] { on_http(h); }); });
        server.set_validate_handler([this](connection_hdl h) {
            bool ok = false;
            guarded("validate", [&] { ok = on_validate(h); });
            return ok;
        });
        server.set_open_handler([this](connection_hdl h) { guarded("open", [&] { on_open(h); }); });
        server.set_close_handler([this](connection_hdl h) { guarded("close", [&] { on_close(h); }); });
        server.set_fail_handler([this](connection_hdl h) { guarded("fail", [&] { on_fail(h); }); });
        server.set_interrupt_handler([this](connection_hdl h) { guarded("drop", [&] { on_interrupt(h); }); });
    }

    token_acceptor = listen_on(first_io(), wanted_token_port);
    ws_acceptor = listen_on(first_io(), wanted_ws_port);
    token_port = token_acceptor->local_endpoint().port();
    ws_port = ws_acceptor->local_endpoint().port();
    ws_listen_fd = ws_acceptor->native_handle();
    accept_next(*token_acceptor, false);
    accept_next(*ws_acceptor, true);

    io_running = static_cast<unsigned>(servers.size());
    for (auto& server : servers)
        io_threads.emplace_back([this, &server] {
            pthread_setname_np(pthread_self(), "fakecloud-io");  // told apart from the plug-ins' threads
            t_io_thread_of = this;
            try {
                server->run();
            } catch (const std::exception& e) {
                log(std::string("fake-cloud: I/O thread ended: ") + e.what());
            }
            std::lock_guard<std::mutex> lock(mutex);
            --io_running;
            bump();
        });
}

fake_cloud::impl::~impl()
{
    shutdown();
}

void fake_cloud::impl::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        bump();
    }
    {
        std::lock_guard<std::mutex> lock(timers_mutex);
        timers_stopped = true;
        for (const auto& t : timers)
            t->cancel();  // delayed answers end unanswered, after() work is skipped
    }
    // Acceptors and sockets belong to the I/O threads; close them there.
    boost::asio::post(first_io(), [this] {
        boost::system::error_code ec;
        token_acceptor->close(ec);
        ws_acceptor->close(ec);
        for (const auto& con : held)
            con->get_raw_socket().close(ec);
        held.clear();
        std::vector<connection_ptr> reading_nothing;
        {
            std::lock_guard<std::mutex> lock(mutex);
            reading_nothing.swap(paused);
        }
        for (const auto& con : reading_nothing)
            con->get_strand()->post([con] {
                boost::system::error_code cec;
                con->get_raw_socket().close(cec);  // its close handshake could never end
            });
        std::vector<connection_hdl> open;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& entry : ids)
                open.push_back(entry.first);
        }
        for (const auto& hdl : open) {
            websocketpp::lib::error_code wec;
            connection_ptr con = connection_of(hdl, wec);
            if (wec)
                continue;
            con->get_strand()->post([con] {
                websocketpp::lib::error_code cec;
                if (con->get_state() == websocketpp::session::state::open)
                    con->close(websocketpp::close::status::going_away, "", cec);
            });
        }
    });
    for (auto& server : servers)
        server->stop_perpetual();
    // The run loops end by themselves once the closing handshakes are done; whatever is still
    // pending after that (e.g. a client stuck half-way in TLS) is dropped.
    if (!wait_locked(std::chrono::seconds(3), [this] { return io_running == 0; }))
        for (auto& server : servers)
            server->stop();
    for (auto& t : io_threads)
        t.join();
    std::lock_guard<std::mutex> lock(timers_mutex);
    timers.clear();
}

void fake_cloud::impl::accept_next(tcp::acceptor& acceptor, bool ws)
{
    // Every connection already waiting is taken before waiting again: one accept per turn of a busy
    // I/O thread is fewer than many clients open a second, and they would queue in the backlog.
    for (;;) {
        connection_ptr con = servers[next_server]->get_connection();
        next_server = (next_server + 1) % servers.size();
        if (!con) {
            log("fake-cloud: cannot create a connection");
            return;
        }
        // The socket joins its own server's I/O service; the accept completes on the first thread.
        boost::system::error_code ec;
        acceptor.accept(con->get_raw_socket(), ec);  // the acceptor does not block
        if (ec) {
            // None waiting: wait for the next. An error here ends the loop (the acceptor was
            // closed); the unused connection goes with the handler.
            acceptor.async_accept(con->get_raw_socket(), [this, con, ws, &acceptor](const boost::system::error_code& aec) {
                if (aec)
                    return;
                accepted(con, ws);
                accept_next(acceptor, ws);
            });
            return;
        }
        accepted(con, ws);
    }
}

void fake_cloud::impl::accepted(connection_ptr con, bool ws)
{
    // As a service does: its small writes (a handshake flight, a reply) go out at once.
    boost::system::error_code ignored;
    con->get_raw_socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    guarded("accept", [&] {
        if (ws)
            on_ws_accept(con);
        else
            start(con);
    });
}

void fake_cloud::impl::on_ws_accept(connection_ptr con)
{
    ws_handshake hs;
    service_tls service;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++ws_accepts;
        if (!queued_handshakes.empty()) {
            hs = queued_handshakes.front();
            queued_handshakes.pop_front();
        } else {
            hs = default_handshake;
        }
        if (hs.mode == ws_handshake::accept || hs.mode == ws_handshake::refuse)
            hs.delay_ms += net_delay_ms(net.handshake_ms);
        scripts[con->get_handle()] = hs;
        service = service_tls_now;
        bump();
    }
    // The accepted connection has its TLS object; its handshake has not started.
    SSL* ssl = con->get_socket().native_handle();
    if (service.tls12_only)
        SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
    auto watch = std::make_unique<hello_watch>();
    watch->cloud = this;
    watch->resumed = service.resumed;
    if (watch->resumed == service_tls::resume && service.abort_resumed)
        watch->resumed = service_tls::abort_alert;
    if (SSL_set_ex_data(ssl, hello_watch_index(), watch.get()) == 1)
        watch.release();  // the TLS object frees it
    switch (hs.mode) {
    case ws_handshake::hang_up:
        log("ws: TCP connection closed at once");
        hang_up(con);
        return;
    case ws_handshake::never_answer:
        log("ws: TCP connection held without an answer");
        held.push_back(con);
        return;
    default:
        break;
    }
    if (hs.delay_ms > 0) {
        schedule(con->get_strand(), hs.delay_ms, [this, con](bool cancelled) {
            if (cancelled)
                hang_up(con);
            else
                con->start();
        });
        return;
    }
    start(con);
}

void fake_cloud::impl::start(connection_ptr con)
{
    con->get_strand()->post([this, con] { guarded("start", [&] { con->start(); }); });
}

void fake_cloud::impl::hang_up(connection_ptr con)
{
    boost::system::error_code ec;
    con->get_raw_socket().close(ec);
    std::lock_guard<std::mutex> lock(mutex);
    scripts.erase(con->get_handle());
}

template <typename F>
void fake_cloud::impl::guarded(const char* what, F fn)
{
    // Nothing may escape into websocketpp's I/O loop.
    try {
        fn();
    } catch (const std::exception& e) {
        log(std::string("fake-cloud: ") + what + " handler failed: " + e.what());
    } catch (...) {
        log(std::string("fake-cloud: ") + what + " handler failed");
    }
}

void fake_cloud::impl::log(const std::string& line)
{
    std::function<void(const std::string&)> out;
    {
        std::lock_guard<std::mutex> lock(mutex);
        out = logger;
    }
    if (out)
        out(line);
}

void fake_cloud::impl::schedule(const strand_ptr& strand, int ms, std::function<void(bool cancelled)> fn)
{
    schedule_at(strand, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(fn));
}

void fake_cloud::impl::schedule_at(const strand_ptr& strand, std::chrono::steady_clock::time_point when,
                                   std::function<void(bool cancelled)> fn)
{
    auto timer = std::make_shared<boost::asio::steady_timer>(strand ? strand->context() : first_io());
    std::unique_lock<std::mutex> lock(timers_mutex);
    if (timers_stopped) {
        lock.unlock();
        fn(true);
        return;
    }
    // All timer operations happen under the lock, so shutdown's cancel never races them.
    timers.insert(timer);
    timer->expires_at(when);
    auto done = [this, timer, fn](const boost::system::error_code& ec) {
        bool cancelled;
        {
            std::lock_guard<std::mutex> lock(timers_mutex);
            timers.erase(timer);
            cancelled = ec || timers_stopped;
        }
        guarded("timer", [&] { fn(cancelled); });
    };
    if (strand)
        timer->async_wait(strand->wrap(done));
    else
        timer->async_wait(done);
}

int fake_cloud::impl::net_delay_ms(int base)
{
    if (net.jitter_ms <= 0)
        return base;
    return base + std::uniform_int_distribution<int>(0, net.jitter_ms)(jitter_random);
}

// Runs fn on the connection's strand once the message delay has passed, behind whatever the lane still
// holds. False when messages are not delayed (the caller acts at once).
bool fake_cloud::impl::delayed(const std::shared_ptr<conn_state>& st, bool outgoing, std::function<void()> fn)
{
    const int base = message_ms, jitter = message_jitter_ms;
    if (base <= 0 && jitter <= 0)
        return false;
    std::chrono::steady_clock::time_point due;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(st->lanes_mutex);
        int ms = base;
        if (jitter > 0)
            ms += std::uniform_int_distribution<int>(0, jitter)(st->jitter_random);
        due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        lane& l = st->lanes[outgoing];
        if (!l.items.empty() && due < l.items.back().first)
            due = l.items.back().first;  // TCP keeps the order, whatever the jitter
        if (l.items.empty())
            generation = l.generation = ++st->lane_generation;
        l.items.emplace_back(due, std::move(fn));
    }
    if (generation)
        arm(st, outgoing, generation, due);
    return true;
}

void fake_cloud::impl::arm(const std::shared_ptr<conn_state>& st, bool outgoing, std::uint64_t generation,
                           std::chrono::steady_clock::time_point due)
{
    schedule_at(st->strand, due, [this, st, outgoing, generation](bool cancelled) {
        if (!cancelled) {
            pump(st, outgoing, generation);
            return;
        }
        std::lock_guard<std::mutex> lock(st->lanes_mutex);
        st->lanes[outgoing].items.clear();
    });
}

void fake_cloud::impl::pump(const std::shared_ptr<conn_state>& st, bool outgoing, std::uint64_t generation)
{
    std::vector<std::function<void()>> due_now;
    std::chrono::steady_clock::time_point next;
    bool rearm = false;
    {
        std::lock_guard<std::mutex> lock(st->lanes_mutex);
        lane& l = st->lanes[outgoing];
        if (l.items.empty() || l.generation != generation)
            return;  // flushed meanwhile; a lane filled again has a timer of its own
        auto now = std::chrono::steady_clock::now();
        while (!l.items.empty() && l.items.front().first <= now) {
            due_now.push_back(std::move(l.items.front().second));
            l.items.pop_front();
        }
        if (!l.items.empty()) {
            rearm = true;
            next = l.items.front().first;
        }
    }
    if (rearm)
        arm(st, outgoing, generation, next);
    for (auto& fn : due_now)
        fn();
}

// What a connection received but the behaviour has not seen yet goes to it before the connection ends.
void fake_cloud::impl::flush_incoming(connection_hdl hdl)
{
    int id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = id_of(hdl);
    }
    std::shared_ptr<conn_state> st = state_of(id);
    if (!st)
        return;
    lane pending;
    {
        std::lock_guard<std::mutex> lock(st->lanes_mutex);
        pending.items.swap(st->lanes[false].items);
    }
    for (auto& item : pending.items)
        item.second();
}

// ---- identity endpoint ----

void fake_cloud::impl::on_http(connection_hdl hdl)
{
    connection_ptr con = connection_of(hdl);
    token_request req;
    req.method = con->get_request().get_method();
    req.target = con->get_resource();
    req.headers = copy_headers(con->get_request().get_headers());
    req.body = con->get_request_body();
    req.received = std::chrono::system_clock::now();

    token_reply reply;
    std::size_t number;
    {
        std::lock_guard<std::mutex> lock(mutex);
        scripts.erase(hdl);  // a plain request on the service port has no upgrade to script
        requests.push_back(req);
        number = requests.size();
        if (!queued_replies.empty()) {
            reply = queued_replies.front();
            queued_replies.pop_front();
        } else {
            reply = default_reply;
        }
        reply.delay_ms += net_delay_ms(net.token_ms);
        bump();
    }
    log("token request #" + std::to_string(number) + ": " + req.method + " " + req.target);

    bool deferred = reply.delay_ms > 0 || reply.refuse || !reply.raw.empty();
    if (deferred) {
        con->defer_http_response();
        std::lock_guard<std::mutex> lock(mutex);
        ++deferred_http;
    }
    if (reply.delay_ms > 0) {
        schedule(con->get_strand(), reply.delay_ms, [this, con, reply, number](bool cancelled) {
            if (cancelled)
                end_http_without_answer(con);
            else
                answer_token(con, reply, number, true);
        });
        return;
    }
    answer_token(con, reply, number, deferred);
}

void fake_cloud::impl::answer_token(connection_ptr con, const token_reply& reply, std::size_t number,
                                    bool deferred)
{
    if (reply.refuse) {
        end_http_without_answer(con);
        log("token request #" + std::to_string(number) + ": closed without an answer");
    } else if (!reply.raw.empty()) {
        auto bytes = std::make_shared<std::string>(reply.raw);
        // The response is deferred, so websocketpp has no operation pending on this socket.
        boost::asio::async_write(con->get_socket(), boost::asio::buffer(*bytes),
                                 con->get_strand()->wrap([this, con, bytes](const boost::system::error_code&,
                                                                            std::size_t) {
                                     end_http_without_answer(con);
                                 }));
        log("token request #" + std::to_string(number) + ": raw answer of " + std::to_string(bytes->size()) +
            " bytes");
    } else {
        con->set_status(static_cast<websocketpp::http::status_code::value>(reply.status));
        if (!reply.header_name.empty())
            con->append_header(reply.header_name, token_text(reply, number));
        con->append_header("Content-Type", "application/json");
        con->set_body("{}");
        if (deferred) {
            websocketpp::lib::error_code ec;
            con->send_http_response(ec);
            std::lock_guard<std::mutex> lock(mutex);
            --deferred_http;
        }
        log("token request #" + std::to_string(number) + ": answered " + std::to_string(reply.status));
    }
    std::lock_guard<std::mutex> lock(mutex);
    ++replies_sent;
    bump();
}

void fake_cloud::impl::end_http_without_answer(connection_ptr con)
{
    // The same ending websocketpp gives an HTTP connection after its answer, minus the answer.
    con->terminate(websocketpp::error::make_error_code(websocketpp::error::http_connection_ended));
    std::lock_guard<std::mutex> lock(mutex);
    --deferred_http;
    bump();
}

// ---- WebSocket service ----

bool fake_cloud::impl::on_validate(connection_hdl hdl)
{
    connection_ptr con = connection_of(hdl);
    ws_record rec;
    rec.resource = con->get_resource();
    rec.headers = copy_headers(con->get_request().get_headers());
    rec.has_auth_token = has_header(rec.headers, "X-Auth-Token");
    rec.auth_token = find_header(rec.headers, "X-Auth-Token");
    rec.tls_resumed = SSL_session_reused(con->get_socket().native_handle()) == 1;

    ws_handshake hs;
    std::shared_ptr<conn_state> st;
    {
        std::lock_guard<std::mutex> lock(mutex);
        rec.id = static_cast<int>(records.size()) + 1;
        st = std::make_shared<conn_state>(rec.id, hdl, con->get_strand(), con->get_raw_socket().native_handle());
        {
            std::unique_lock<std::shared_mutex> conns_lock(conns_mutex);
            conns.push_back(st);
        }
        records.push_back(rec);
        behaviours.emplace_back();
        ids[hdl] = rec.id;
        auto script = scripts.find(hdl);
        if (script != scripts.end()) {
            hs = script->second;
            scripts.erase(script);
        }
        bump();
    }
    // The connection's own handler, bound to its state: a message needs no look-up under `mutex`.
    con->set_message_handler(
        [this, st](connection_hdl, message_ptr m) { guarded("message", [&] { on_message(st, m); }); });
    con->set_pong_handler([this, st](connection_hdl, std::string) {
        std::lock_guard<std::mutex> lock(mutex);
        ++records[st->id - 1].pongs;
        bump();
    });
    log("ws #" + std::to_string(rec.id) + ": handshake " + rec.resource +
        (rec.has_auth_token ? " with X-Auth-Token" : " without X-Auth-Token"));

    if (hs.mode == ws_handshake::refuse) {
        con->set_status(static_cast<websocketpp::http::status_code::value>(hs.refuse_status));
        log("ws #" + std::to_string(rec.id) + ": refused with " + std::to_string(hs.refuse_status));
        return false;
    }
    return true;
}

void fake_cloud::impl::on_open(connection_hdl hdl)
{
    int id;
    behaviour_factory make;
    ws_record snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = id_of(hdl);
        if (id == 0)
            return;
        records[id - 1].opened = true;
        conns[id - 1]->opened = true;
        snapshot = records[id - 1];
        make = factory;
        bump();
    }
    log("ws #" + std::to_string(id) + ": open");

    auto b = std::make_shared<behaviour>(make ? make(snapshot) : record_only());
    {
        std::lock_guard<std::mutex> lock(mutex);
        behaviours[id - 1] = b;
    }
    if (b->on_open) {
        session s(owner, id);
        b->on_open(s);
    }
}

void fake_cloud::impl::on_message(const std::shared_ptr<conn_state>& st, message_ptr msg)
{
    if (st->ended)
        return;
    ws_message m;
    m.binary = msg->get_opcode() == websocketpp::frame::opcode::binary;
    m.data = msg->get_payload();
    const int id = st->id;
    if (!delayed(st, false, [this, id, m] { receive(id, m); }))
        receive(id, std::move(m));
}

void fake_cloud::impl::receive(int id, ws_message m)
{
    std::shared_ptr<behaviour> b;
    ws_message kept = m;  // copied before the lock: every I/O thread records under it
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (records[id - 1].ended)
            return;
        records[id - 1].messages.push_back(std::move(kept));
        b = behaviours[id - 1];
        bump();
    }
    if (logging)
        log("ws #" + std::to_string(id) +
            (m.binary ? ": binary, " + std::to_string(m.data.size()) + " bytes" : ": text " + m.data.substr(0, 400)));
    if (b && b->on_message) {
        session s(owner, id);
        b->on_message(s, m);
    }
}

void fake_cloud::impl::on_close(connection_hdl hdl)
{
    connection_ptr con = connection_of(hdl);
    auto code = con->get_remote_close_code();
    std::string reason = con->get_remote_close_reason();
    flush_incoming(hdl);
    int id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = id_of(hdl);
        if (id == 0)
            return;
        ws_record& rec = records[id - 1];
        rec.ended = true;
        conns[id - 1]->ended = true;
        // 1006 never travels in a frame: websocketpp reports it when no close frame came.
        rec.close_received = code != websocketpp::close::status::abnormal_close;
        rec.close_code = rec.close_received ? code : 0;
        rec.close_reason = reason;
        ids.erase(hdl);
        behaviours[id - 1].reset();
        bump();
    }
    log("ws #" + std::to_string(id) + ": closed, " +
        (code == websocketpp::close::status::abnormal_close
             ? std::string("no close frame")
             : "code " + std::to_string(code) + " reason \"" + reason + "\""));
}

void fake_cloud::impl::on_fail(connection_hdl hdl)
{
    if (end_stopped_hello(connection_of(hdl)))
        return;
    flush_incoming(hdl);
    int id;
    {
        std::lock_guard<std::mutex> lock(mutex);
        scripts.erase(hdl);
        id = id_of(hdl);
        if (id == 0)
            return;  // failed before the upgrade request (TCP or TLS)
        records[id - 1].ended = true;
        conns[id - 1]->ended = true;
        ids.erase(hdl);
        behaviours[id - 1].reset();
        bump();
    }
    log("ws #" + std::to_string(id) + ": failed");
}

// A handshake the hello callback stopped ends now, as its service_tls scripted; false for any other.
bool fake_cloud::impl::end_stopped_hello(const connection_ptr& con)
{
    hello_watch* watch = watch_of(con->get_socket().native_handle());
    if (!watch || !watch->stopped)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        scripts.erase(con->get_handle());
    }
    boost::system::error_code ec;
    switch (watch->resumed) {
    case service_tls::reset:
        // Lingering for 0 s makes the close a reset.
        con->get_raw_socket().set_option(boost::asio::socket_base::linger(true, 0), ec);
        con->get_raw_socket().close(ec);
        log("ws: client hello with a session: TCP reset");
        break;
    case service_tls::close_silently:
        // The hello was read whole, so nothing unread turns the close into a reset.
        con->get_raw_socket().close(ec);
        log("ws: client hello with a session: TCP closed");
        break;
    default:
        // Nothing is pending on it any more: kept here, the socket stays open until shutdown.
        {
            std::lock_guard<std::mutex> lock(mutex);
            paused.push_back(con);
        }
        log("ws: client hello with a session: held without an answer");
        break;
    }
    return true;
}

void fake_cloud::impl::count_resumed_offer(service_tls::resumed_e mode)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++resumed_offers;
        bump();
    }
    log(mode == service_tls::abort_alert ? "ws: client hello with a session: handshake aborted"
                                         : "ws: client hello offers a session");
}

void fake_cloud::impl::remember_session_id(const std::string& id)
{
    std::lock_guard<std::mutex> lock(mutex);
    session_ids.push_back(id);
    if (session_ids.size() > 1024)
        session_ids.pop_front();
}

bool fake_cloud::impl::gave_out_session_id(const std::string& id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(session_ids.begin(), session_ids.end(), id) != session_ids.end();
}

void fake_cloud::impl::on_interrupt(connection_hdl hdl)
{
    // Only drop() interrupts. Runs on the connection's strand, so the socket is ours to cut;
    // the peer sees the TCP stream end without a close frame.
    connection_ptr con = connection_of(hdl);
    boost::system::error_code ec;
    con->get_raw_socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
}

connection_ptr fake_cloud::impl::live_connection(int id)
{
    std::shared_ptr<conn_state> st = state_of(id);
    if (!st)
        return connection_ptr();
    // A client may see the open a moment before the server does: a test acting on cue right
    // after its client opened waits for that. Never on an I/O thread, which may be the one to open it.
    if (!st->opened && !st->ended && t_io_thread_of != this) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(2), [&] { return st->opened || st->ended; });
    }
    if (st->ended || !st->opened)
        return connection_ptr();
    websocketpp::lib::error_code ec;
    connection_ptr con = connection_of(st->hdl, ec);
    if (ec || con->get_state() != websocketpp::session::state::open)
        return connection_ptr();
    return con;
}

std::shared_ptr<conn_state> fake_cloud::impl::state_of(int id) const
{
    std::shared_lock<std::shared_mutex> lock(conns_mutex);
    if (id < 1 || id > static_cast<int>(conns.size()))
        return nullptr;
    return conns[id - 1];
}

strand_ptr fake_cloud::impl::strand_of(int id)
{
    std::shared_ptr<conn_state> st = state_of(id);
    return st ? st->strand : strand_ptr();
}

// ---- public surface ----

fake_cloud::fake_cloud(unsigned short token_port, unsigned short ws_port, unsigned io_threads)
    : m_impl(new impl(this, token_port, ws_port, io_threads))
{
}

fake_cloud::~fake_cloud() = default;

unsigned short fake_cloud::token_port() const
{
    return m_impl->token_port;
}

unsigned short fake_cloud::ws_port() const
{
    return m_impl->ws_port;
}

std::string fake_cloud::token_url() const
{
    return "https://127.0.0.1:" + std::to_string(m_impl->token_port) + "/v3/auth/tokens";
}

std::string fake_cloud::ws_url(const std::string& path) const
{
    std::string p = path.empty() || path[0] != '/' ? "/" + path : path;
    return "wss://127.0.0.1:" + std::to_string(m_impl->ws_port) + p;
}

void fake_cloud::set_token_reply(const token_reply& reply)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->default_reply = reply;
}

void fake_cloud::queue_token_reply(const token_reply& reply)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->queued_replies.push_back(reply);
}

std::vector<token_request> fake_cloud::token_requests() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->requests;
}

std::size_t fake_cloud::token_request_count() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->requests.size();
}

bool fake_cloud::wait_for_token_requests(std::size_t n, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, n] { return m_impl->requests.size() >= n; });
}

std::size_t fake_cloud::token_replies_sent() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->replies_sent;
}

bool fake_cloud::wait_for_token_replies(std::size_t n, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, n] { return m_impl->replies_sent >= n; });
}

void fake_cloud::set_handshake(const ws_handshake& handshake)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->default_handshake = handshake;
}

void fake_cloud::queue_handshake(const ws_handshake& handshake)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->queued_handshakes.push_back(handshake);
}

void fake_cloud::set_behaviour(const behaviour& b)
{
    set_behaviour_factory([b](const ws_record&) { return b; });
}

void fake_cloud::set_behaviour_factory(behaviour_factory factory)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->factory = std::move(factory);
}

std::size_t fake_cloud::ws_accept_count() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->ws_accepts;
}

bool fake_cloud::wait_for_ws_accepts(std::size_t n, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, n] { return m_impl->ws_accepts >= n; });
}

std::vector<ws_record> fake_cloud::connections() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->records;
}

std::size_t fake_cloud::connection_count() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->records.size();
}

ws_record fake_cloud::connection(int id) const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (id < 1 || id > static_cast<int>(m_impl->records.size()))
        return ws_record();
    return m_impl->records[id - 1];
}

bool fake_cloud::wait_for_connections(std::size_t n, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, n] { return m_impl->records.size() >= n; });
}

bool fake_cloud::wait_for_open(int id, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, id] {
        return id >= 1 && id <= static_cast<int>(m_impl->records.size()) && m_impl->records[id - 1].opened;
    });
}

bool fake_cloud::wait_for_messages(int id, std::size_t n, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, id, n] {
        return id >= 1 && id <= static_cast<int>(m_impl->records.size()) &&
               m_impl->records[id - 1].messages.size() >= n;
    });
}

bool fake_cloud::wait_for_end(int id, std::chrono::milliseconds timeout) const
{
    return m_impl->wait_locked(timeout, [this, id] {
        return id >= 1 && id <= static_cast<int>(m_impl->records.size()) && m_impl->records[id - 1].ended;
    });
}

// With a network delay, an action on a live connection is taken later on its strand, if the
// connection still lives then; it reports true at once.
template <typename F>
bool fake_cloud::impl::on_live(int id, F action)
{
    connection_ptr con = live_connection(id);
    if (!con)
        return false;
    if (delayed(state_of(id), true, [this, id, action] {
            connection_ptr later = live_connection(id);
            if (later)
                action(later);
        }))
        return true;
    return action(con);
}

bool fake_cloud::send_text(int id, const std::string& text)
{
    return m_impl->on_live(id, [text](const connection_ptr& con) {
        return !con->send(text, websocketpp::frame::opcode::text);
    });
}

bool fake_cloud::send_binary(int id, const std::string& data)
{
    return m_impl->on_live(id, [data](const connection_ptr& con) {
        return !con->send(data, websocketpp::frame::opcode::binary);
    });
}

bool fake_cloud::close(int id, std::uint16_t code, const std::string& reason)
{
    return m_impl->on_live(id, [code, reason](const connection_ptr& con) {
        websocketpp::lib::error_code ec;
        con->close(code, reason, ec);
        return !ec;
    });
}

bool fake_cloud::drop(int id)
{
    return m_impl->on_live(id, [](const connection_ptr& con) { return !con->interrupt(); });
}

bool fake_cloud::ping(int id, const std::string& payload)
{
    return m_impl->on_live(id, [payload](const connection_ptr& con) {
        websocketpp::lib::error_code ec;
        con->ping(payload, ec);
        return !ec;
    });
}

bool fake_cloud::pause_reading(int id)
{
    return m_impl->on_live(id, [this](const connection_ptr& con) {
        {
            std::lock_guard<std::mutex> lock(m_impl->mutex);
            m_impl->paused.push_back(con);
        }
        return !con->pause_reading();
    });
}

std::size_t fake_cloud::buffered_amount(int id) const
{
    connection_ptr con = m_impl->live_connection(id);
    return con ? con->get_buffered_amount() : 0;
}

bool fake_cloud::socket_full(int id) const
{
    std::shared_ptr<conn_state> st = m_impl->state_of(id);
    if (!st || !st->opened || st->ended)
        return false;
    pollfd p = {st->fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 0;
}

void fake_cloud::after(int id, int ms, std::function<void(session&)> fn)
{
    m_impl->schedule(m_impl->strand_of(id), ms, [this, id, fn](bool cancelled) {
        if (cancelled)
            return;
        session s(this, id);
        fn(s);
    });
}

bool fake_cloud::wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_impl->mutex);
    for (;;) {
        std::uint64_t seen = m_impl->change_count;
        lock.unlock();
        if (pred())
            return true;
        lock.lock();
        if (!m_impl->changed.wait_until(lock, deadline, [&] { return m_impl->change_count != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

void fake_cloud::set_network_delay(const network_delay& delay)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->net = delay;
    m_impl->message_ms = delay.message_ms;
    m_impl->message_jitter_ms = delay.jitter_ms;
}

void fake_cloud::set_service_tls(const service_tls& tls)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->service_tls_now = tls;
}

std::size_t fake_cloud::resumed_offers() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->resumed_offers;
}

void fake_cloud::set_service_receive_window(int bytes)
{
    // Set on the listener: an accepted socket starts with it, and the SYN-ACK's window scale is chosen
    // from it before the accept. A listener's clamp cannot be set back to none: the largest window
    // TCP can offer is as good.
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    int clamp = bytes > 0 ? bytes : 65535 << 14;
    setsockopt(m_impl->ws_listen_fd, IPPROTO_TCP, TCP_WINDOW_CLAMP, &clamp, sizeof clamp);
}

void fake_cloud::set_logger(std::function<void(const std::string&)> logger)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->logging = bool(logger);
    m_impl->logger = std::move(logger);
}

// ---- session ----

ws_record session::record() const
{
    return m_cloud->connection(m_id);
}

bool session::send_text(const std::string& text)
{
    return m_cloud->send_text(m_id, text);
}

bool session::send_binary(const std::string& data)
{
    return m_cloud->send_binary(m_id, data);
}

bool session::close(std::uint16_t code, const std::string& reason)
{
    return m_cloud->close(m_id, code, reason);
}

bool session::drop()
{
    return m_cloud->drop(m_id);
}

bool session::ping(const std::string& payload)
{
    return m_cloud->ping(m_id, payload);
}

bool session::pause_reading()
{
    return m_cloud->pause_reading(m_id);
}

std::size_t session::buffered_amount() const
{
    return m_cloud->buffered_amount(m_id);
}

bool session::socket_full() const
{
    return m_cloud->socket_full(m_id);
}

void session::after(int ms, std::function<void(session&)> fn)
{
    m_cloud->after(m_id, ms, std::move(fn));
}

}  // namespace fakecloud
