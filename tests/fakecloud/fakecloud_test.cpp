// The fake cloud driven by the same kinds of clients the plug-ins use: libcurl for the token and a
// websocketpp TLS client for the service, over real TLS on 127.0.0.1.
#include "fake_cloud.h"
#include "synth_script.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include <boost/asio/ssl.hpp>

#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using fakecloud::fake_cloud;

namespace {

// ---- libcurl side ----

struct http_result {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string headers;
    std::string body;
};

size_t append_to(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

http_result post(const std::string& url, const std::string& body, long timeout_ms = 10000)
{
    http_result r;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_to);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append_to);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r.headers);
    r.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return r;
}

const char* k_body =
    R"({"auth": {"identity": {"methods": ["password"],"password": {"user": {"name": "u","password": "p","domain": {"name": "d"}}}},"scope": {"project": {"name": "s"}}}})";

// ---- websocketpp side: one client connection per object ----

using client_t = websocketpp::client<websocketpp::config::asio_tls_client>;

class ws_client {
public:
    enum state_e { connecting, open, failed, closed };

    ws_client()
    {
        m_client.clear_access_channels(websocketpp::log::alevel::all);
        m_client.clear_error_channels(websocketpp::log::elevel::all);
        m_client.init_asio();
        m_client.start_perpetual();
        m_client.set_tls_init_handler([](websocketpp::connection_hdl) {
            auto ctx = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::sslv23);
            ctx->set_verify_mode(boost::asio::ssl::verify_none);
            return ctx;
        });
        m_thread = std::thread([this] { m_client.run(); });
    }

    ~ws_client()
    {
        m_client.stop_perpetual();
        if (state() == open) {
            close(1000, "");
            wait_state([](state_e s) { return s != open; }, 2s);
        }
        m_client.stop();
        m_thread.join();
    }

    // Returns the state reached (open, failed or closed), or connecting when `wait` ran out first.
    state_e connect(const std::string& url, const fakecloud::header_list& headers = {},
                    long open_timeout_ms = 5000, std::chrono::milliseconds wait = 10s)
    {
        websocketpp::lib::error_code ec;
        m_con = m_client.get_connection(url, ec);
        if (ec)
            return failed;
        for (const auto& h : headers)
            m_con->append_header(h.first, h.second);
        m_con->set_open_handshake_timeout(open_timeout_ms);
        m_con->set_open_handler([this](websocketpp::connection_hdl) { set_state(open); });
        m_con->set_fail_handler([this](websocketpp::connection_hdl) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_response_code = m_con->get_response_code();
            }
            set_state(failed);
        });
        m_con->set_close_handler([this](websocketpp::connection_hdl) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_close_code = m_con->get_remote_close_code();
                m_close_reason = m_con->get_remote_close_reason();
            }
            set_state(closed);
        });
        m_con->set_message_handler([this](websocketpp::connection_hdl, client_t::message_ptr m) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.push_back({m->get_opcode() == websocketpp::frame::opcode::binary, m->get_payload()});
            m_cv.notify_all();
        });
        m_con->set_ping_handler([this](websocketpp::connection_hdl, std::string payload) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_pings;
            m_ping_payloads.insert(payload);
            m_cv.notify_all();
            return true;  // answered with a pong
        });
        m_con->set_interrupt_handler([this](websocketpp::connection_hdl) {
            boost::system::error_code ignored;
            m_con->get_raw_socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
        });
        m_client.connect(m_con);
        wait_state([](state_e s) { return s != connecting; }, wait);
        return state();
    }

    void send(const std::string& data, bool binary)
    {
        auto ec = m_con->send(data, binary ? websocketpp::frame::opcode::binary : websocketpp::frame::opcode::text);
        EXPECT_FALSE(ec) << ec.message();
    }
    // Runs on the client's I/O thread: the library reads the connection state there without its lock,
    // so a close from this thread could race a drop that the I/O thread is handling.
    void close(std::uint16_t code, const std::string& reason)
    {
        client_t::connection_ptr con = m_con;
        boost::asio::post(m_client.get_io_service(), [con, code, reason] {
            websocketpp::lib::error_code ec;
            con->close(code, reason, ec);
        });
    }
    void drop() { m_con->interrupt(); }

    state_e state() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_state;
    }
    template <typename P>
    bool wait_state(P pred, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return pred(m_state); });
    }
    bool wait_messages(std::size_t n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 5s, [&] { return m_messages.size() >= n; });
    }
    bool wait_pings(std::size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_pings >= n; });
    }
    std::set<std::string> ping_payloads() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ping_payloads;
    }
    std::vector<fakecloud::ws_message> messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    int close_code() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_close_code;
    }
    std::string close_reason() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_close_reason;
    }
    int response_code() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_response_code;
    }

private:
    void set_state(state_e s)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = s;
        m_cv.notify_all();
    }

    client_t m_client;
    std::thread m_thread;
    client_t::connection_ptr m_con;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    state_e m_state = connecting;
    std::vector<fakecloud::ws_message> m_messages;
    std::size_t m_pings = 0;
    std::set<std::string> m_ping_payloads;  // each distinct payload of the pings received
    int m_close_code = 0;
    std::string m_close_reason;
    int m_response_code = 0;
};

// ---- bare TLS: what websocketpp runs underneath ----

struct session_free {
    void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
using session_ptr = std::unique_ptr<SSL_SESSION, session_free>;

// One TLS handshake with the service port, run on the test's thread: its own error tells an alert, a
// reset and an end of stream apart, which websocketpp reports alike.
struct tls_client {
    using stream_t = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;
    boost::asio::io_context io;
    boost::asio::ssl::context ctx{boost::asio::ssl::context::tls_client};
    std::unique_ptr<stream_t> stream;
    bool ended = false;  // the handshake ended, with ec
    boost::system::error_code ec;
    session_ptr session;  // the newest one the service handed out
    char buffer[64];

    static int index()  // Asio keeps its own pointer in the app data
    {
        static const int i = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        return i;
    }
    explicit tls_client(bool tickets)
    {
        if (!tickets)
            SSL_CTX_set_options(ctx.native_handle(), SSL_OP_NO_TICKET);  // TLS 1.2 resumes by session ID
        SSL_CTX_set_session_cache_mode(ctx.native_handle(),
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(ctx.native_handle(), [](SSL* ssl, SSL_SESSION* s) {
            static_cast<tls_client*>(SSL_get_ex_data(ssl, index()))->session.reset(s);
            return 1;
        });
    }
    ~tls_client()
    {
        if (!stream)
            return;
        // Ended as if closed cleanly: OpenSSL spoils the session of a connection cut short.
        SSL_set_shutdown(stream->native_handle(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
        boost::system::error_code ignored;
        stream->next_layer().close(ignored);
        io.restart();
        io.run();  // the cancelled operations end before their stream goes
    }
    // Offers `offer` when not null; runs until the handshake ends or `bound` passes.
    void connect(unsigned short port, SSL_SESSION* offer, std::chrono::milliseconds bound)
    {
        stream.reset(new stream_t(io, ctx));
        stream->next_layer().connect({boost::asio::ip::address_v4::loopback(), port});
        SSL_set_ex_data(stream->native_handle(), index(), this);
        if (offer)
            SSL_set_session(stream->native_handle(), offer);
        stream->async_handshake(stream_t::client, [this](const boost::system::error_code& e) {
            ended = true;
            ec = e;
            if (!e)  // reads what follows: a TLS 1.3 service's sessions
                stream->async_read_some(boost::asio::buffer(buffer),
                                        [](const boost::system::error_code&, std::size_t) {});
        });
        run_until([this] { return ended; }, bound);
    }
    template <typename P>
    bool run_until(P done, std::chrono::milliseconds bound)
    {
        auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            io.restart();
            if (io.run_one_until(deadline) == 0)
                break;  // the bound passed, or nothing is pending any more
        }
        return done();
    }
    bool resumed() const { return SSL_session_reused(stream->native_handle()) == 1; }
};

}  // namespace

// ---- identity endpoint ----

TEST(FakeCloudToken, DefaultAnswerAndRecordedRequest)
{
    fake_cloud cloud;
    http_result r = post(cloud.token_url(), k_body);
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    EXPECT_EQ(r.status, 201);
    EXPECT_NE(r.headers.find("\r\nX-Subject-Token: fake-token-1\r\n"), std::string::npos) << r.headers;

    r = post(cloud.token_url(), k_body);
    EXPECT_NE(r.headers.find("\r\nX-Subject-Token: fake-token-2\r\n"), std::string::npos) << r.headers;

    auto requests = cloud.token_requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v3/auth/tokens");
    EXPECT_EQ(requests[0].body, k_body);
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    // The client's own spelling is kept.
    bool spelled = false;
    for (const auto& h : requests[0].headers)
        spelled = spelled || h.first == "Content-type";
    EXPECT_TRUE(spelled);
}

TEST(FakeCloudToken, ScriptedAnswers)
{
    struct row {
        const char* name;
        fakecloud::token_reply reply;
        long status;
        std::string expected_line;  // "" when the answer must carry no token line at all
    };
    auto reply = [](int status, const char* header, std::string token, std::size_t length) {
        fakecloud::token_reply r;
        r.status = status;
        r.header_name = header;
        r.token = token;
        r.token_length = length;
        return r;
    };
    const row rows[] = {
        {"unauthorised", reply(401, "", "", 0), 401, ""},
        {"server error with token", reply(500, "X-Subject-Token", "t", 0), 500, "\r\nX-Subject-Token: t\r\n"},
        {"lower-case name", reply(201, "x-subject-token", "abc", 0), 201, "\r\nx-subject-token: abc\r\n"},
        {"no token header", reply(201, "", "", 0), 201, ""},
        {"10239 bytes", reply(201, "X-Subject-Token", "", 10239), 201,
         "\r\nX-Subject-Token: " + fakecloud::make_token(10239) + "\r\n"},
        {"10240 bytes", reply(201, "X-Subject-Token", "", 10240), 201,
         "\r\nX-Subject-Token: " + fakecloud::make_token(10240) + "\r\n"},
    };
    fake_cloud cloud;
    for (const row& r : rows) {
        cloud.set_token_reply(r.reply);
        http_result got = post(cloud.token_url(), k_body);
        ASSERT_EQ(got.code, CURLE_OK) << r.name;
        EXPECT_EQ(got.status, r.status) << r.name;
        if (r.expected_line.empty())
            EXPECT_EQ(got.headers.find("ubject-"), std::string::npos) << r.name << ": " << got.headers;
        else
            EXPECT_NE(got.headers.find(r.expected_line), std::string::npos) << r.name;
    }
    EXPECT_EQ(fakecloud::make_token(10240).size(), 10240u);
}

TEST(FakeCloudToken, QueuedAnswersComeFirstThenTheDefault)
{
    fake_cloud cloud;
    fakecloud::token_reply fail;
    fail.status = 500;
    cloud.queue_token_reply(fail);
    fakecloud::token_reply fixed;
    fixed.token = "steady";
    cloud.set_token_reply(fixed);

    EXPECT_EQ(post(cloud.token_url(), k_body).status, 500);
    EXPECT_NE(post(cloud.token_url(), k_body).headers.find("X-Subject-Token: steady\r\n"), std::string::npos);
    EXPECT_NE(post(cloud.token_url(), k_body).headers.find("X-Subject-Token: steady\r\n"), std::string::npos);
}

TEST(FakeCloudToken, RefusedDelayedAndRawAnswers)
{
    fake_cloud cloud;
    fakecloud::token_reply refuse;
    refuse.refuse = true;
    cloud.queue_token_reply(refuse);
    EXPECT_EQ(post(cloud.token_url(), k_body).code, CURLE_GOT_NOTHING);

    // A delay longer than the client's patience: the client times out, the fake still counts it.
    fakecloud::token_reply slow;
    slow.delay_ms = 600;
    cloud.queue_token_reply(slow);
    EXPECT_EQ(post(cloud.token_url(), k_body, 200).code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_TRUE(cloud.wait_for_token_replies(2, 5s));

    fakecloud::token_reply raw;
    raw.raw = "HTTP/1.1 201 Created\r\nX-Subject-Token:tight\r\nContent-Length: 0\r\n\r\n";
    cloud.queue_token_reply(raw);
    http_result r = post(cloud.token_url(), k_body);
    EXPECT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.status, 201);
    EXPECT_NE(r.headers.find("\r\nX-Subject-Token:tight\r\n"), std::string::npos) << r.headers;
    EXPECT_EQ(cloud.token_request_count(), 3u);
}

TEST(FakeCloudToken, StopsPromptlyWhileAnAnswerIsDelayed)
{
    auto cloud = std::make_unique<fake_cloud>();
    fakecloud::token_reply slow;
    slow.delay_ms = 60000;
    cloud->set_token_reply(slow);
    std::string url = cloud->token_url();
    http_result r;
    std::thread client([&] { r = post(url, k_body); });
    ASSERT_TRUE(cloud->wait_for_token_requests(1, 5s));
    cloud.reset();  // must not wait for the minute
    client.join();
    EXPECT_EQ(r.code, CURLE_GOT_NOTHING);
}

// ---- WebSocket service ----

TEST(FakeCloudWs, RecordsHandshakePathAndToken)
{
    fake_cloud cloud;
    {
        ws_client c;
        ASSERT_EQ(c.connect(cloud.ws_url("/v1/sentence-stream?lang=en"), {{"X-Auth-Token", "tok-1"}}),
                  ws_client::open);
    }
    {
        ws_client c;
        ASSERT_EQ(c.connect(cloud.ws_url("/tts")), ws_client::open);
    }
    ASSERT_TRUE(cloud.wait_for_end(2, 5s));
    auto records = cloud.connections();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, 1);
    EXPECT_EQ(records[0].resource, "/v1/sentence-stream?lang=en");
    EXPECT_TRUE(records[0].has_auth_token);
    EXPECT_EQ(records[0].auth_token, "tok-1");
    EXPECT_NE(records[0].header("User-Agent").find("WebSocket++"), std::string::npos);
    EXPECT_TRUE(records[0].opened);
    EXPECT_EQ(records[1].resource, "/tts");
    EXPECT_FALSE(records[1].has_auth_token);
}

TEST(FakeCloudWs, MessagesBothWaysByteForByte)
{
    fake_cloud cloud;
    cloud.set_behaviour(fakecloud::echo_behaviour());
    ws_client c;
    ASSERT_EQ(c.connect(cloud.ws_url("/echo")), ws_client::open);

    const std::string text = "{\"command\":\"START\"}\n";
    std::string audio;
    for (int i = 0; i < 320; ++i)
        audio.push_back(static_cast<char>(i & 0xff));  // NULs and high bytes included
    c.send(text, false);
    c.send(audio, true);
    c.send("", true);

    ASSERT_TRUE(cloud.wait_for_messages(1, 3, 5s));
    auto rec = cloud.connection(1);
    ASSERT_EQ(rec.messages.size(), 3u);
    EXPECT_FALSE(rec.messages[0].binary);
    EXPECT_EQ(rec.messages[0].data, text);
    EXPECT_TRUE(rec.messages[1].binary);
    EXPECT_EQ(rec.messages[1].data, audio);
    EXPECT_TRUE(rec.messages[2].binary);
    EXPECT_EQ(rec.messages[2].data, "");

    ASSERT_TRUE(c.wait_messages(3));
    auto back = c.messages();
    EXPECT_EQ(back[0].data, text);
    EXPECT_FALSE(back[0].binary);
    EXPECT_EQ(back[1].data, audio);
    EXPECT_TRUE(back[1].binary);
}

TEST(FakeCloudWs, BehaviourRepliesOnOpenAndLater)
{
    fake_cloud cloud;
    std::atomic<int> made{0};
    cloud.set_behaviour_factory([&made](const fakecloud::ws_record& rec) {
        ++made;
        fakecloud::behaviour b;
        std::string path = rec.resource;
        b.on_open = [path](fakecloud::session& s) { s.send_text("hello " + path); };
        b.on_message = [](fakecloud::session& s, const fakecloud::ws_message& m) {
            if (m.data == "later")
                s.after(50, [](fakecloud::session& s2) { s2.send_binary(std::string("\0\1", 2)); });
        };
        return b;
    });
    ws_client c;
    ASSERT_EQ(c.connect(cloud.ws_url("/x")), ws_client::open);
    c.send("later", false);
    ASSERT_TRUE(c.wait_messages(2));
    auto got = c.messages();
    EXPECT_EQ(got[0].data, "hello /x");
    EXPECT_TRUE(got[1].binary);
    EXPECT_EQ(got[1].data, std::string("\0\1", 2));
    EXPECT_EQ(made.load(), 1);

    // On cue from the test.
    EXPECT_TRUE(cloud.send_text(1, "cue"));
    ASSERT_TRUE(c.wait_messages(3));
    EXPECT_EQ(c.messages()[2].data, "cue");
    EXPECT_FALSE(cloud.send_text(99, "nobody"));
}

TEST(FakeCloudWs, CloseCodesBothWays)
{
    fake_cloud cloud;
    {
        ws_client c;
        ASSERT_EQ(c.connect(cloud.ws_url("/a")), ws_client::open);
        c.close(1000, "normal");
        ASSERT_TRUE(cloud.wait_for_end(1, 5s));
    }
    auto rec = cloud.connection(1);
    EXPECT_TRUE(rec.close_received);
    EXPECT_EQ(rec.close_code, 1000);
    EXPECT_EQ(rec.close_reason, "normal");
    EXPECT_FALSE(rec.dropped());

    ws_client c;
    ASSERT_EQ(c.connect(cloud.ws_url("/b")), ws_client::open);
    EXPECT_TRUE(cloud.close(2, 4001, "bye"));
    ASSERT_TRUE(c.wait_state([](ws_client::state_e s) { return s == ws_client::closed; }, 5s));
    EXPECT_EQ(c.close_code(), 4001);
    EXPECT_EQ(c.close_reason(), "bye");
    ASSERT_TRUE(cloud.wait_for_end(2, 5s));
    EXPECT_FALSE(cloud.connection(2).dropped());  // the client echoed the close frame
}

TEST(FakeCloudWs, DropsAreSeenOnBothSides)
{
    fake_cloud cloud;
    {
        // The fake drops: the client sees the stream end without a close frame.
        ws_client c;
        ASSERT_EQ(c.connect(cloud.ws_url("/d")), ws_client::open);
        EXPECT_TRUE(cloud.drop(1));
        ASSERT_TRUE(c.wait_state([](ws_client::state_e s) { return s == ws_client::closed; }, 5s));
        EXPECT_EQ(c.close_code(), websocketpp::close::status::abnormal_close);
        ASSERT_TRUE(cloud.wait_for_end(1, 5s));
        EXPECT_TRUE(cloud.connection(1).dropped());
    }
    {
        // The client drops: the fake records it as dropped.
        ws_client c;
        ASSERT_EQ(c.connect(cloud.ws_url("/d")), ws_client::open);
        c.drop();
        ASSERT_TRUE(cloud.wait_for_end(2, 5s));
        auto rec = cloud.connection(2);
        EXPECT_TRUE(rec.dropped());
        EXPECT_FALSE(rec.close_received);
    }
}

TEST(FakeCloudWs, RefusedAndUnansweredHandshakes)
{
    fake_cloud cloud;
    fakecloud::ws_handshake refuse;
    refuse.mode = fakecloud::ws_handshake::refuse;
    refuse.refuse_status = 403;
    cloud.queue_handshake(refuse);
    {
        ws_client c;
        EXPECT_EQ(c.connect(cloud.ws_url("/r"), {{"X-Auth-Token", "t"}}), ws_client::failed);
        EXPECT_EQ(c.response_code(), 403);
    }
    ASSERT_TRUE(cloud.wait_for_end(1, 5s));
    auto rec = cloud.connection(1);
    EXPECT_FALSE(rec.opened);
    EXPECT_TRUE(rec.has_auth_token);

    // The queue is used up: the next one opens.
    {
        ws_client c;
        EXPECT_EQ(c.connect(cloud.ws_url("/ok")), ws_client::open);
    }

    fakecloud::ws_handshake hang_up;
    hang_up.mode = fakecloud::ws_handshake::hang_up;
    cloud.queue_handshake(hang_up);
    {
        ws_client c;
        EXPECT_EQ(c.connect(cloud.ws_url("/gone")), ws_client::failed);
    }

    // Never answered: the client is still waiting; the fake saw the TCP connection only.
    fakecloud::ws_handshake silent;
    silent.mode = fakecloud::ws_handshake::never_answer;
    cloud.queue_handshake(silent);
    ws_client c;
    EXPECT_EQ(c.connect(cloud.ws_url("/silent"), {}, 30000, 500ms), ws_client::connecting);
    EXPECT_TRUE(cloud.wait_for_ws_accepts(4, 5s));
    EXPECT_EQ(cloud.connection_count(), 2u);
}

TEST(FakeCloudWs, DelayedHandshakeOpensLate)
{
    fake_cloud cloud;
    fakecloud::ws_handshake late;
    late.delay_ms = 300;
    cloud.queue_handshake(late);
    auto begin = std::chrono::steady_clock::now();
    ws_client c;
    EXPECT_EQ(c.connect(cloud.ws_url("/late")), ws_client::open);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
    EXPECT_TRUE(cloud.wait_for_open(1, 5s));
}

TEST(FakeCloudWs, StopClosesOpenConnectionsAndReleasesHeldHandshakes)
{
    auto cloud = std::make_unique<fake_cloud>();
    ws_client open_client;
    ASSERT_EQ(open_client.connect(cloud->ws_url("/open")), ws_client::open);

    fakecloud::ws_handshake silent;
    silent.mode = fakecloud::ws_handshake::never_answer;
    cloud->queue_handshake(silent);
    ws_client held;
    std::thread t([&] { held.connect(cloud->ws_url("/held"), {}, 30000); });
    ASSERT_TRUE(cloud->wait_for_ws_accepts(2, 5s));

    cloud.reset();
    t.join();
    EXPECT_EQ(held.state(), ws_client::failed);
    ASSERT_TRUE(open_client.wait_state([](ws_client::state_e s) { return s == ws_client::closed; }, 5s));
    EXPECT_EQ(open_client.close_code(), websocketpp::close::status::going_away);
}

TEST(FakeCloudWs, ManyClientsAtOnceAllOpenWithDistinctIds)
{
    fake_cloud cloud;
    const int n = 8;
    std::vector<std::unique_ptr<ws_client>> clients;
    for (int i = 0; i < n; ++i)
        clients.emplace_back(new ws_client);
    std::vector<ws_client::state_e> states(n, ws_client::connecting);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            states[i] = clients[i]->connect(cloud.ws_url("/many/" + std::to_string(i)), {}, 5000, 5s);
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(states[i], ws_client::open) << "client " << i;
    ASSERT_TRUE(cloud.wait_for_connections(n, 5s));
    std::vector<bool> seen(n, false);
    for (const auto& rec : cloud.connections()) {
        ASSERT_GE(rec.id, 1);
        ASSERT_LE(rec.id, n);
        EXPECT_FALSE(seen[rec.id - 1]) << "id " << rec.id << " twice";
        seen[rec.id - 1] = true;
    }
}

TEST(FakeCloudWs, PingFloodWithFullOrEmptyPayloads)
{
    const struct {
        std::size_t payload_size;
        std::string payload;
    } rows[] = {{125, std::string(125, 'p')}, {0, ""}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.payload_size);
        fake_cloud cloud;
        cloud.set_behaviour(r.payload_size == 125 ? fakecloud::ping_flood_behaviour()
                                                  : fakecloud::ping_flood_behaviour(r.payload_size));
        ws_client c;
        ASSERT_EQ(c.connect(cloud.ws_url("/flood")), ws_client::open);
        c.send("go", false);  // the flood begins at the first message
        ASSERT_TRUE(c.wait_pings(5000, 20s));
        EXPECT_EQ(c.ping_payloads(), std::set<std::string>{r.payload});
        c.drop();  // the fake reads no close frame any more
    }
}

// The window is the listener's: the window scale of its SYN-ACK follows it.
TEST(FakeCloudWs, ServiceReceiveWindow)
{
    const int rows[] = {0, 16384, 0};  // the system's, small, the system's again
    fake_cloud cloud;
    int system_scale = -1;
    for (int bytes : rows) {
        SCOPED_TRACE(bytes);
        cloud.set_service_receive_window(bytes);
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket client(io);
        client.connect({boost::asio::ip::address_v4::loopback(), cloud.ws_port()});
        tcp_info info{};
        socklen_t len = sizeof info;
        ASSERT_EQ(getsockopt(client.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &len), 0);
        if (bytes > 0)
            EXPECT_EQ(info.tcpi_snd_wscale, 0);  // a 16 KiB window needs no scale
        else if (system_scale < 0)
            system_scale = info.tcpi_snd_wscale;
        else
            EXPECT_EQ(info.tcpi_snd_wscale, system_scale);
    }
}

// ---- TLS of the service ----

// Each mode for TLS 1.3, TLS 1.2 with a ticket and TLS 1.2 by session ID alone: a first handshake brings
// a session, a second offers it and meets the mode, a third offers none and is answered in full.
TEST(FakeCloudTls, ClientHelloOfferingASession)
{
    using fakecloud::service_tls;
    enum outcome_e { full, resumed, alert, reset, closed, silence, other };
    const struct {
        const char* name;
        service_tls::resumed_e mode;
        bool abort_resumed;
        outcome_e outcome;
    } modes[] = {
        {"resume", service_tls::resume, false, resumed},
        {"abort_alert", service_tls::abort_alert, false, alert},
        {"abort_resumed", service_tls::resume, true, alert},
        {"reset", service_tls::reset, false, reset},
        {"close_silently", service_tls::close_silently, false, closed},
        {"never_answer", service_tls::never_answer, false, silence},
    };
    const struct {
        const char* name;
        bool tls12_only;
        bool tickets;
    } versions[] = {{"TLS 1.3", false, true}, {"TLS 1.2", true, true}, {"TLS 1.2 by session ID", true, false}};
    auto outcome_of = [](const tls_client& c) {
        const boost::system::error_code& ec = c.ec;
        if (!c.ended)
            return silence;
        if (!ec)
            return c.resumed() ? resumed : full;
        if (ec == boost::asio::error::connection_reset)
            return reset;
        if (ec == boost::asio::ssl::error::stream_truncated || ec == boost::asio::error::eof)
            return closed;
        bool ssl = ec.category() == boost::asio::error::get_ssl_category();
        return ssl && ERR_GET_REASON(ec.value()) == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ? alert : other;
    };
    for (const auto& m : modes)
        for (const auto& v : versions) {
            SCOPED_TRACE(std::string(m.name) + ", " + v.name);
            auto cloud = std::make_unique<fake_cloud>();
            service_tls tls;
            tls.tls12_only = v.tls12_only;
            tls.resumed = m.mode;
            tls.abort_resumed = m.abort_resumed;
            cloud->set_service_tls(tls);

            // A client left half-way to its upgrade would hold up the fake's stop for 3 s: each goes once done.
            session_ptr kept;
            {
                tls_client first(v.tickets);
                first.connect(cloud->ws_port(), nullptr, 10s);
                ASSERT_EQ(outcome_of(first), full) << first.ec.message();
                ASSERT_TRUE(first.run_until([&] { return first.session != nullptr; }, 10s));
                kept = std::move(first.session);
                EXPECT_EQ(cloud->resumed_offers(), 0u);
            }
            tls_client second(v.tickets);
            second.connect(cloud->ws_port(), kept.get(), m.outcome == silence ? 500ms : 10s);
            EXPECT_EQ(outcome_of(second), m.outcome) << second.ec.message();
            EXPECT_TRUE(cloud->wait_until([&] { return cloud->resumed_offers() == 1; }, 10s));
            {
                tls_client third(v.tickets);
                third.connect(cloud->ws_port(), nullptr, 10s);
                EXPECT_EQ(outcome_of(third), full) << third.ec.message();
                EXPECT_EQ(cloud->resumed_offers(), 1u);
            }
            if (m.outcome == silence) {  // held until the fake stops, which ends it
                cloud.reset();
                EXPECT_TRUE(second.run_until([&] { return second.ended; }, 10s));
            }
        }
}

// ---- network delay ----

TEST(FakeCloudNetwork, DelaysTokenHandshakeAndMessagesInOrder)
{
    fake_cloud cloud;
    fakecloud::network_delay far;
    far.token_ms = 200;
    far.handshake_ms = 200;
    far.message_ms = 150;
    far.jitter_ms = 40;
    cloud.set_network_delay(far);
    fakecloud::behaviour b = fakecloud::echo_behaviour();
    b.on_message = [](fakecloud::session& s, const fakecloud::ws_message& m) {
        s.send_text(m.data);
        if (m.data == "19")  // the close goes behind the answers
            s.close(1000, "done");
    };
    cloud.set_behaviour(b);

    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(post(cloud.token_url(), k_body).status, 201);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);

    begin = std::chrono::steady_clock::now();
    ws_client c;
    ASSERT_EQ(c.connect(cloud.ws_url("/far")), ws_client::open);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);

    begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        c.send(std::to_string(i), false);
    ASSERT_TRUE(c.wait_messages(1));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);  // both ways
    ASSERT_TRUE(c.wait_messages(20));
    EXPECT_TRUE(c.wait_state([](ws_client::state_e s) { return s == ws_client::closed; }, 5s));
    EXPECT_EQ(c.close_code(), 1000);
    auto back = c.messages();
    auto rec = cloud.connection(1);
    ASSERT_EQ(back.size(), 20u);
    ASSERT_EQ(rec.messages.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(rec.messages[i].data, std::to_string(i));
        EXPECT_EQ(back[i].data, std::to_string(i));
    }
}

TEST(FakeCloudNetwork, DelayedMessagesHoldNothingElse)
{
    fake_cloud cloud;
    fakecloud::network_delay far;
    far.message_ms = 800;
    cloud.set_network_delay(far);
    cloud.set_behaviour(fakecloud::echo_behaviour());
    ws_client c;
    ASSERT_EQ(c.connect(cloud.ws_url("/far")), ws_client::open);
    c.send("ping", false);
    // The I/O thread answers a token request while the message is on its way.
    EXPECT_EQ(post(cloud.token_url(), k_body).status, 201);
    EXPECT_TRUE(c.messages().empty());
    EXPECT_TRUE(c.wait_messages(1));
}

// On several I/O threads each connection's callbacks, after() work and delayed messages still run one
// at a time and in order: the behaviour keeps its state without a lock (the TSan build checks that).
TEST(FakeCloudNetwork, SeveralIoThreadsKeepEachConnectionInOrder)
{
    fake_cloud cloud(0, 0, 4);
    fakecloud::network_delay far;
    far.message_ms = 2;
    far.jitter_ms = 6;
    cloud.set_network_delay(far);
    cloud.set_behaviour_factory([](const fakecloud::ws_record&) {
        auto count = std::make_shared<int>(0);
        fakecloud::behaviour b;
        b.on_message = [count](fakecloud::session& s, const fakecloud::ws_message& m) {
            s.send_text(std::to_string(++*count) + ":" + m.data);
            s.after(0, [count](fakecloud::session&) { ++*count; });
        };
        return b;
    });
    const int clients = 6, messages = 40;
    std::vector<std::unique_ptr<ws_client>> c;
    for (int i = 0; i < clients; ++i) {
        c.emplace_back(new ws_client);
        ASSERT_EQ(c[i]->connect(cloud.ws_url("/order")), ws_client::open);
    }
    for (int n = 0; n < messages; ++n)
        for (int i = 0; i < clients; ++i)
            c[i]->send(std::to_string(n), false);
    for (int i = 0; i < clients; ++i) {
        ASSERT_TRUE(c[i]->wait_messages(messages));
        auto back = c[i]->messages();
        int last = 0;
        for (int n = 0; n < messages; ++n) {
            std::string text = back[n].data;
            int count = std::stoi(text);
            EXPECT_GT(count, last) << "client " << i;
            last = count;
            EXPECT_EQ(text.substr(text.find(':') + 1), std::to_string(n)) << "client " << i;
        }
    }
    for (const auto& rec : cloud.connections())
        for (int n = 0; n < messages; ++n)
            EXPECT_EQ(rec.messages.at(n).data, std::to_string(n)) << "connection " << rec.id;
}

TEST(FakeCloudNetwork, SynthesisAudioPacedAtItsSpeed)
{
    fake_cloud cloud;
    fakecloud::synth_script script;
    script.audio = fakecloud::synth_audio_pattern(16000, 1);  // 1 s at 8000 Hz
    script.speed = 4;
    cloud.set_behaviour_factory(fakecloud::synth_factory(script));
    ws_client c;
    ASSERT_EQ(c.connect(cloud.ws_url("/tts")), ws_client::open);
    auto begin = std::chrono::steady_clock::now();
    c.send(R"({"command":"START","config":{"audio_format":"pcm","pitch":0,"property":"p","sample_rate":"8000",)"
           R"("speed":0,"tagmode":"none","volume":50},"text":"x"})",
           false);
    ASSERT_TRUE(c.wait_messages(12));  // START, 10 chunks, END
    // The last chunk is due at 0.9 s / 4 = 225 ms after the fake's own clock started; timers may fire a
    // little early against ours, so only a clear flood (everything at once) fails.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);
    auto back = c.messages();
    std::string audio;
    for (const auto& m : back)
        if (m.binary)
            audio += m.data;
    EXPECT_EQ(audio, script.audio);
    EXPECT_NE(back.back().data.find("\"END\""), std::string::npos);
}
