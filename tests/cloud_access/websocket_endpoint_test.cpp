// The secure WebSocket endpoint against the fake cloud over real TLS; built once per plug-in definition.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <limits.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "cloud_access_plugin.h"
#include "fake_cloud.h"
#include "log_capture.h"
#include "proc_self.h"
#include "test_channel.h"
#include "token_wrapper.h"
#include "websocket_endpoint.h"

using namespace std::chrono;

namespace {

#if defined(HARKWIRE_PLUGIN)
const apt_log_priority_e FAIL_PRIO = APT_PRIO_INFO;
#else
const apt_log_priority_e FAIL_PRIO = APT_PRIO_ERROR;
#endif

const milliseconds WAIT(3000);

long elapsed_ms(steady_clock::time_point since)
{
    return (long)duration_cast<milliseconds>(steady_clock::now() - since).count();
}

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        url = cloud.ws_url("/v1/sentence-stream");
        ep.reset(new websocket_endpoint);
        ep->set_token_source(&no_token);
        ASSERT_TRUE(ep->start());
    }
    void TearDown() override { ep.reset(); }
    bool wait_log(apt_log_priority_e priority, const std::string& text, size_t count = 1)
    {
        steady_clock::time_point end = steady_clock::now() + WAIT;
        while (steady_clock::now() < end) {
            if (logs.count(priority, text) >= count)
                return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }

    log_capture logs;
    fakecloud::fake_cloud cloud;
    std::string url;
    CTokenWrapper no_token;  // never initialised: holds no token
    ws_channel_t channel;
    std::unique_ptr<websocket_endpoint> ep;
};

TEST_F(EndpointTest, IdsCountFromOneAndAreNeverReused)
{
    EXPECT_EQ(ep->connect(url, &channel), 1);
    EXPECT_EQ(ep->connect(url, &channel), 2);
    EXPECT_EQ(ep->connect(url, &channel), 3);
    ep->close(3, 1000, "normal");
    ep->close(2, 1000, "normal");
    EXPECT_FALSE(ep->has_connection(2));
    EXPECT_TRUE(ep->has_connection(1));
    EXPECT_EQ(ep->connect(url, &channel), 4);
    EXPECT_EQ(logs.count(APT_PRIO_INFO, "wss_connect.on_open: enter"), 4u);
}

TEST_F(EndpointTest, IdsStayPositiveAndSkipThoseStillInUseWhenTheCounterWraps)
{
    ASSERT_EQ(ep->connect(url, &channel), 1);
    ep->set_last_id(INT_MAX - 1);
    EXPECT_EQ(ep->connect(url, &channel), INT_MAX);
    EXPECT_EQ(ep->connect(url, &channel), 2) << "1 is still open";
    EXPECT_TRUE(ep->has_connection(1));
    EXPECT_EQ(ep->connection_count(), 3u);
}

TEST(EndpointTls, ContextHasTheLibrarysWorkaroundsAndSwitchesNothingElseOff)
{
    context_ptr ctx = on_tls_init(connection_hdl());
    ASSERT_TRUE(ctx);
    SSL_CTX* native = ctx->native_handle();
    const uint64_t options = SSL_CTX_get_options(native);
    EXPECT_EQ(options & SSL_OP_ALL, (uint64_t)SSL_OP_ALL);
    struct bit_case {
        const char* name;
        uint64_t bit;
    };
    const bit_case never[] = {
        {"NO_EXTENDED_MASTER_SECRET", SSL_OP_NO_EXTENDED_MASTER_SECRET},
        {"ALLOW_CLIENT_RENEGOTIATION", SSL_OP_ALLOW_CLIENT_RENEGOTIATION},
        {"ALLOW_NO_DHE_KEX", SSL_OP_ALLOW_NO_DHE_KEX},
        {"NO_TLSv1_2", SSL_OP_NO_TLSv1_2},
        {"NO_TLSv1_3", SSL_OP_NO_TLSv1_3},
        {"SINGLE_DH_USE", SSL_OP_SINGLE_DH_USE},
    };
    for (const bit_case& c : never)
        EXPECT_EQ(options & c.bit, 0u) << c.name;
    EXPECT_EQ(SSL_CTX_get_verify_mode(native), SSL_VERIFY_NONE);
}

// Backpressure: a paused connection reads nothing more until resumed; then everything arrives in order,
// and a close while paused still completes its handshake at once.
TEST_F(EndpointTest, PausedReadingHoldsTheServiceBackUntilResumed)
{
    const int total = 40;
    fakecloud::behaviour burst;
    burst.on_message = [](fakecloud::session& s, const fakecloud::ws_message&) {
        for (int i = 0; i < total; ++i)
            s.send_binary(std::string(60000, (char)(i + 1)));  // within what harkwire accepts, 64 KiB
    };
    cloud.set_behaviour(burst);
    int id = ep->connect(url, &channel);
    ASSERT_EQ(id, 1);
    // Pauses after the first message and after every one past the first burst. Decided by the
    // message's own number, which the handler counts: a flag switched by this thread could reach the
    // handler of the burst's last message, still running when the wait for it returns, and pause the
    // connection before the second burst.
    channel.on_message = [&](int got) {
        const size_t n = channel.message_count();
        if (n == 1 || n > (size_t)total)
            ep->pause_reading(got);
    };
    ASSERT_TRUE(ep->send_command(id, "go"));
    ASSERT_TRUE(channel.wait_messages(1, WAIT));
    std::this_thread::sleep_for(milliseconds(300));
    // What the last socket read held may still complete a message, nothing beyond it.
    EXPECT_LE(channel.message_count(), 2u);

    ep->resume_reading(id);
    ep->resume_reading(id);  // a second resume changes nothing
    ASSERT_TRUE(channel.wait_messages(total, WAIT)) << channel.message_count();
    std::vector<received_message> got = channel.received();
    for (int i = 0; i < total; ++i)
        EXPECT_EQ(got[i].data, std::string(60000, (char)(i + 1))) << i;

    ASSERT_TRUE(ep->send_command(id, "again"));
    ASSERT_TRUE(channel.wait_messages(total + 1, WAIT));
    steady_clock::time_point begin = steady_clock::now();
    ep->close(id, 1000, "normal");
    ASSERT_TRUE(cloud.wait_for_end(1, WAIT));
    EXPECT_LT(elapsed_ms(begin), 2000) << "the close waited for the library's time-out";
    EXPECT_EQ(cloud.connection(1).close_code, 1000);
}

TEST_F(EndpointTest, RejectedUriYieldsMinusOneWithoutTakingAnId)
{
    EXPECT_EQ(ep->connect("not a uri", &channel), -1);
    EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "wss_endpoint.connect: fail, invalid uri")) << logs.dump();
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "wss_endpoint.connect: enter, uri=not a uri"));
    EXPECT_EQ(ep->last_id(), 0);
    EXPECT_EQ(ep->connection_count(), 0u);
    EXPECT_EQ(ep->connect(url, &channel), 1);
}

TEST_F(EndpointTest, AuthTokenHeaderGoesOutExactlyWhileATokenIsHeld)
{
    ASSERT_EQ(ep->connect(url, &channel), 1);
    ASSERT_TRUE(cloud.wait_for_open(1, WAIT));
    EXPECT_FALSE(cloud.connection(1).has_auth_token);
    EXPECT_FALSE(logs.has_text("wss_endpoint.connect: get_token success"));

    std::string token_url = cloud.token_url();
    system_t sys = {3600, token_url.c_str(), "u", "p", "d", "s"};
    CTokenWrapper token;
    token.SetTokenFile("/dev/null");
    ASSERT_TRUE(token.Init(&sys));
    ASSERT_TRUE(token.Start());
    std::string held;
    for (int i = 0; i < 300 && !token.GetToken(held); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    ASSERT_EQ(held, "fake-token-1");

    ep->set_token_source(&token);
    ASSERT_EQ(ep->connect(url, &channel), 2);
    ASSERT_TRUE(cloud.wait_for_open(2, WAIT));
    fakecloud::ws_record rec = cloud.connection(2);
    EXPECT_EQ(rec.auth_token, "fake-token-1");
    size_t spelled = 0;
    for (const std::pair<std::string, std::string>& h : rec.headers)
        if (h.first == "X-Auth-Token")
            ++spelled;
    EXPECT_EQ(spelled, 1u);
    EXPECT_EQ(rec.resource, "/v1/sentence-stream");
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "wss_endpoint.connect: get_token success"));
    ep->set_token_source(&no_token);
}

TEST_F(EndpointTest, RefusedConnectFailsAtOnceAndLeavesNoRecord)
{
    unsigned short closed_port;
    {
        fakecloud::fake_cloud gone;
        closed_port = gone.ws_port();
    }
    fakecloud::ws_handshake refuse;
    refuse.mode = fakecloud::ws_handshake::refuse;
    refuse.refuse_status = 403;
    struct refused_case {
        const char* name;
        std::string uri;
    };
    const refused_case cases[] = {
        {"port closed", "wss://127.0.0.1:" + std::to_string(closed_port) + "/v1"},
        {"upgrade refused", url},
        {"hung up", url},
    };
    fakecloud::ws_handshake hang_up;
    hang_up.mode = fakecloud::ws_handshake::hang_up;
    cloud.queue_handshake(refuse);
    // The hello offers the session of the refused upgrade's handshake: a hang-up makes the connect again
    // in full, hung up too.
    cloud.queue_handshake(hang_up);
    cloud.queue_handshake(hang_up);
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.name);
        steady_clock::time_point begin = steady_clock::now();
        EXPECT_EQ(ep->connect(c.uri, &channel), -1);
        EXPECT_LT(elapsed_ms(begin), 3000);
        EXPECT_EQ(ep->connection_count(), 0u);
    }
    EXPECT_EQ(ep->last_id(), 3);
    EXPECT_EQ(logs.count(FAIL_PRIO, "wss_connect.on_fail: enter"), 3u) << logs.dump();
    EXPECT_TRUE(channel.lost_ids().empty());
}

TEST_F(EndpointTest, SilentServiceFailsAfterFiveSecondsAndLeavesNothingOpen)
{
    fakecloud::ws_handshake silent;
    silent.mode = fakecloud::ws_handshake::never_answer;
    cloud.set_handshake(silent);
    steady_clock::time_point begin = steady_clock::now();
    EXPECT_EQ(ep->connect(url, &channel), -1);
    long took = elapsed_ms(begin);
    EXPECT_GE(took, 4900);
    EXPECT_LT(took, 7000);
    EXPECT_EQ(ep->connection_count(), 0u);
    ASSERT_TRUE(cloud.wait_for_ws_accepts(1, WAIT));
    // The attempt was cancelled: the library reports it failed.
    EXPECT_TRUE(wait_log(FAIL_PRIO, "wss_connect.on_fail: enter")) << logs.dump();
    EXPECT_TRUE(channel.lost_ids().empty());
}

TEST_F(EndpointTest, LateOpenAfterTheWaitLeavesNoOpenConnection)
{
    ep->set_connect_timeout(milliseconds(300));
    fakecloud::ws_handshake slow;
    slow.delay_ms = 1000;
    cloud.set_handshake(slow);
    cloud.set_behaviour(fakecloud::echo_behaviour());
    EXPECT_EQ(ep->connect(url, &channel), -1);
    EXPECT_EQ(ep->connection_count(), 0u);
    ASSERT_TRUE(cloud.wait_for_ws_accepts(1, WAIT));
    // Past the service's delayed handshake: no connection of ours may be open.
    std::this_thread::sleep_for(milliseconds(1500));
    for (const fakecloud::ws_record& rec : cloud.connections())
        EXPECT_TRUE(rec.ended) << rec.id;
    EXPECT_EQ(channel.message_count(), 0u);
    EXPECT_TRUE(channel.lost_ids().empty());
}

TEST_F(EndpointTest, SpuriousWakeUpsDoNotFailAConnectThatIsStillOpening)
{
    fakecloud::ws_handshake slow;
    slow.delay_ms = 800;
    cloud.set_handshake(slow);
    std::atomic<bool> done(false);
    std::thread waker([&] {
        while (!done) {
            ws_connection::ptr rec = ep->find(1);
            if (rec)
                rec->cv.notify_all();
            std::this_thread::sleep_for(milliseconds(5));
        }
    });
    int id = ep->connect(url, &channel);
    done = true;
    waker.join();
    EXPECT_EQ(id, 1);
}

TEST_F(EndpointTest, MessagesTravelByteForByte)
{
    cloud.set_behaviour(fakecloud::echo_behaviour());
    int id = ep->connect(url, &channel);
    ASSERT_EQ(id, 1);
    const std::string command = "{\"command\":\"START\",\"text\":\"gr\xc3\xbc\xc3\x9f \\\"x\\\"\"}\n";
    std::string audio;
    for (int i = 0; i < 1024; ++i)
        audio += (char)(i % 256);
    EXPECT_TRUE(ep->send_command(id, command));
    EXPECT_TRUE(ep->send_data(id, audio));

    ASSERT_TRUE(cloud.wait_for_messages(1, 2, WAIT));
    std::vector<fakecloud::ws_message> got = cloud.connection(1).messages;
    EXPECT_FALSE(got[0].binary);
    EXPECT_EQ(got[0].data, command);
    EXPECT_TRUE(got[1].binary);
    EXPECT_EQ(got[1].data, audio);
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "wss_endpoint.send_command: >>>send: " + command));

    ASSERT_TRUE(channel.wait_messages(2, WAIT));
    std::vector<received_message> echoed = channel.received();
    EXPECT_EQ(echoed[0].id, id);
    EXPECT_FALSE(echoed[0].binary);
    EXPECT_EQ(echoed[0].data, command);
    EXPECT_TRUE(echoed[1].binary);
    EXPECT_EQ(echoed[1].data, audio);
}

// A connect resumes the TLS session of an earlier connection to the same service, so the service
// skips its certificate and signature; each connection brings more sessions. Resuming only saves work:
// a failure after the TLS handshake (a refused upgrade) or a connect given up by close keeps the
// sessions. A TLS 1.2 session serves until it is replaced; a TLS 1.3 ticket once.
TEST_F(EndpointTest, LaterConnectsResumeTheTlsSessionAndNoneFailsForIt)
{
    enum step_e { accept, refuse_upgrade, given_up };
    const struct {
        const char* name;
        step_e step;
        bool tls12_only;
        bool resumed;  // its handshake, when it reached the upgrade
    } steps[] = {
        {"first", accept, false, false},
        {"second", accept, false, true},
        {"upgrade refused", refuse_upgrade, false, true},
        {"after the refusal", accept, false, true},
        {"given up by close", given_up, false, false},
        {"after the give-up", accept, false, true},
        {"TLS 1.2", accept, true, false},
        {"TLS 1.2 resumed", accept, true, true},
        {"TLS 1.2 session again", accept, true, true},
    };
    size_t records = 0;
    int id = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        fakecloud::service_tls tls;
        tls.tls12_only = s.tls12_only;
        cloud.set_service_tls(tls);
        ++id;
        if (s.step == given_up) {
            fakecloud::ws_handshake slow;  // TLS starts long after the close
            slow.delay_ms = 2000;
            cloud.queue_handshake(slow);
            const size_t open = proc_self::tcp_sockets_to(cloud.ws_port());  // the earlier steps'
            std::atomic<int> told{0};
            ASSERT_EQ(ep->connect_async(url, nullptr, [&told](int, bool) { ++told; }), id);
            ASSERT_TRUE(cloud.wait_for_ws_accepts((size_t)id, WAIT));
            ep->close(id, 1000, "normal");
            const int told_at_close = told;
            // The attempt ends with its socket, and its done is not told after the close.
            steady_clock::time_point end = steady_clock::now() + WAIT;
            while (proc_self::tcp_sockets_to(cloud.ws_port()) != open && steady_clock::now() < end)
                std::this_thread::sleep_for(milliseconds(5));
            EXPECT_EQ(open, proc_self::tcp_sockets_to(cloud.ws_port()));
            EXPECT_EQ(0, told_at_close);
            EXPECT_EQ(0, told.load());
            continue;
        }
        if (s.step == refuse_upgrade) {
            fakecloud::ws_handshake refuse;
            refuse.mode = fakecloud::ws_handshake::refuse;
            refuse.refuse_status = 403;
            cloud.queue_handshake(refuse);
        }
        EXPECT_EQ(ep->connect(url, &channel), s.step == accept ? id : -1);
        ASSERT_TRUE(cloud.wait_for_connections(++records, WAIT));
        EXPECT_EQ(cloud.ws_accept_count(), (size_t)id);
        EXPECT_EQ(cloud.connection((int)records).tls_resumed, s.resumed);
    }
}

// A service that answers a hello offering a session with an alert, a reset or a close, or never at
// all, may still answer a full handshake. Such a failure drops its sessions and the connect is made in
// full at once, in the same 5 s; only a service that answered nothing for the whole limit fails the
// request. The next connects offer no session.
TEST_F(EndpointTest, AHelloOfferingASessionThatDiesCostsAtMostOneRequest)
{
    using fakecloud::service_tls;
    const struct {
        const char* name;
        service_tls::resumed_e resumed;
    } modes[] = {
        {"alert", service_tls::abort_alert},
        {"reset", service_tls::reset},
        {"closed", service_tls::close_silently},
        {"never answered", service_tls::never_answer},
    };
    ep->set_connect_timeout(milliseconds(1500));
    // A service of its own for each case, its sessions and quiet time only: all kept until the end, so
    // that no two share a port.
    std::vector<std::unique_ptr<fakecloud::fake_cloud>> services;
    for (bool tls12 : {false, true}) {
        for (const auto& m : modes) {
            SCOPED_TRACE(std::string(tls12 ? "TLS 1.2, " : "TLS 1.3, ") + m.name);
            services.emplace_back(new fakecloud::fake_cloud);
            fakecloud::fake_cloud& service = *services.back();
            const std::string uri = service.ws_url("/v1");
            service_tls tls;
            tls.tls12_only = tls12;
            service.set_service_tls(tls);
            int first = ep->connect(uri, &channel);
            ASSERT_GT(first, 0);
            ep->close(first, 1000, "normal");
            tls.resumed = m.resumed;
            service.set_service_tls(tls);
            const bool fails = m.resumed == service_tls::never_answer;
            int second = ep->connect(uri, &channel);
            EXPECT_EQ(fails, second == -1);
            EXPECT_EQ(1u, service.resumed_offers());
            EXPECT_EQ(fails ? 2u : 3u, service.ws_accept_count()) << "a failed offer is made again in full";
            if (second > 0)
                ep->close(second, 1000, "normal");
            int third = ep->connect(uri, &channel);
            EXPECT_GT(third, 0) << "the next request";
            EXPECT_EQ(1u, service.resumed_offers()) << "a session offered again";
            ep->close(third, 1000, "normal");
        }
    }
}

// A close that comes while a connect is made again in full after its offered session failed gives the
// connect up: its done is told at most once, never after close() returned, and every library connection
// it made ends, its socket with it.
TEST_F(EndpointTest, CloseRacingAFullRetryEndsTheConnectOnce)
{
    // A library connection of the connect is made again in full, or it is the last one and ends in its
    // fail or close handler.
    auto ended = [this] {
        return logs.count(FAIL_PRIO, "wss_connect.on_fail: enter") + logs.count(APT_PRIO_INFO, "wss_connect.on_close: enter");
    };
    // Each round's service is kept to the end, so that no later one takes its port and its quiet time.
    std::vector<std::unique_ptr<fakecloud::fake_cloud>> services;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        services.emplace_back(new fakecloud::fake_cloud);
        fakecloud::fake_cloud& service = *services.back();
        const std::string uri = service.ws_url("/v1");
        logs.clear();
        int first = ep->connect(uri, &channel);
        ASSERT_GT(first, 0);
        ep->close(first, 1000, "normal");
        ASSERT_TRUE(wait_log(APT_PRIO_INFO, "wss_connect.on_close: enter"));
        logs.clear();
        fakecloud::service_tls tls;
        tls.resumed = round % 2 ? fakecloud::service_tls::reset : fakecloud::service_tls::abort_alert;
        service.set_service_tls(tls);
        std::atomic<int> told{0};
        int id = ep->connect_async(uri, nullptr, [&told](int, bool) { ++told; });
        ASSERT_GT(id, 0);
        // From before the offered hello reaches the service to after the retry has begun.
        ASSERT_TRUE(service.wait_for_ws_accepts(round % 3 ? 3u : 2u, WAIT));
        std::this_thread::sleep_for(microseconds(200 * (round / 3)));
        ep->close(id, 1000, "normal");
        const int told_at_close = told;
        EXPECT_LE(told_at_close, 1);
        auto over = [&] { return ended() == 1 && proc_self::tcp_sockets_to(service.ws_port()) == 0; };
        // A close that catches a TCP connect still pending leaves it to the library's open time-out (5 s).
        steady_clock::time_point end = steady_clock::now() + milliseconds(20000);
        while (!over() && steady_clock::now() < end)
            std::this_thread::sleep_for(milliseconds(5));
        EXPECT_TRUE(over()) << logs.dump();
        EXPECT_EQ(told_at_close, told.load());
    }
}

// Audio is queued for a sweep on an I/O thread (the media thread must not wait for the library's
// shared locks): a command and the close that follow it must still leave after it, in order.
TEST_F(EndpointTest, QueuedAudioLeavesInOrderWithCommandsAndBeforeTheClose)
{
    int id = ep->connect(url, &channel);
    ASSERT_EQ(id, 1);
    ASSERT_TRUE(cloud.wait_for_open(1, WAIT));
    std::vector<fakecloud::ws_message> expected;
    expected.push_back({false, "START"});
    ASSERT_TRUE(ep->send_command(id, "START"));
    for (int i = 0; i < 50; ++i) {
        std::string frame(160, (char)(i + 1));
        expected.push_back({true, frame});
        ASSERT_TRUE(ep->send_data(id, frame));
    }
    expected.push_back({false, "END"});
    ASSERT_TRUE(ep->send_command(id, "END"));
    ep->close(id, 1001, "");
    EXPECT_FALSE(ep->send_data(id, "late"));

    ASSERT_TRUE(cloud.wait_for_end(1, WAIT));
    fakecloud::ws_record rec = cloud.connection(1);
    ASSERT_EQ(rec.messages.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rec.messages[i].binary, expected[i].binary) << i;
        EXPECT_EQ(rec.messages[i].data, expected[i].data) << i;
    }
    EXPECT_TRUE(rec.close_received);
    EXPECT_EQ(rec.close_code, 1001);
}

TEST_F(EndpointTest, UnknownIdsSendNothing)
{
    size_t before = logs.records().size();
    EXPECT_FALSE(ep->send_command(7, "x"));
    EXPECT_EQ(logs.records().size(), before);
    EXPECT_FALSE(ep->send_data(7, "x"));
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "id (7) was not exist, may be destory"));
    ep->close(7, 1000, "");
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "wss_endpoint.close: enter"));
}

TEST_F(EndpointTest, CloseSendsCodeAndReasonAndRemovesTheRecord)
{
    struct close_case {
        unsigned short code;
        const char* reason;
    };
    const close_case cases[] = {{1001, ""}, {1000, "normal"}};
    int fake_id = 0;
    for (const close_case& c : cases) {
        SCOPED_TRACE(c.code);
        int id = ep->connect(url, &channel);
        ASSERT_GT(id, 0);
        ++fake_id;
        ASSERT_TRUE(cloud.wait_for_open(fake_id, WAIT));
        ep->close(id, c.code, c.reason);
        EXPECT_FALSE(ep->has_connection(id));
        EXPECT_FALSE(ep->send_command(id, "late"));
        ASSERT_TRUE(cloud.wait_for_end(fake_id, WAIT));
        fakecloud::ws_record rec = cloud.connection(fake_id);
        EXPECT_TRUE(rec.close_received);
        EXPECT_EQ(rec.close_code, c.code);
        EXPECT_EQ(rec.close_reason, c.reason);
        EXPECT_TRUE(rec.messages.empty());
    }
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(channel.lost_ids().empty());  // our own close is no loss
}

TEST_F(EndpointTest, ServiceEndingTheConnectionFiresTheLostHook)
{
    struct lost_case {
        const char* name;
        bool drop;
    };
    const lost_case cases[] = {{"dropped", true}, {"closed by the service", false}};
    int fake_id = 0;
    for (const lost_case& c : cases) {
        SCOPED_TRACE(c.name);
        ws_channel_t ch;
        int id = ep->connect(url, &ch);
        ASSERT_GT(id, 0);
        ++fake_id;
        ASSERT_TRUE(cloud.wait_for_open(fake_id, WAIT));
        if (c.drop)
            ASSERT_TRUE(cloud.drop(fake_id));
        else
            ASSERT_TRUE(cloud.close(fake_id, 1011, "bye"));
        ASSERT_TRUE(ch.wait_lost(WAIT));
        EXPECT_EQ(ch.lost_ids(), std::vector<int>{id});
        // The plug-in's reaction: close, which removes the record.
        ep->close(id, 1001, "");
        EXPECT_FALSE(ep->has_connection(id));
    }
}

// A service that reads nothing would leave everything later queued in the library and the socket: the
// audio, or the pongs to its pings. Past the limit the connection closes, what comes after is dropped,
// and the channel learns at once that the connection is lost: before the library's close time-outs end
// the connection (the close handler), which a service that reads nothing never lets happen sooner.
TEST_F(EndpointTest, ServiceThatStopsReadingIsGivenUpAtOnce)
{
    struct row {
        const char* name;
        bool pings;           // the service pings without end; else the plug-in streams audio
        size_t ping_payload;  // bytes in each ping
        size_t limit;         // what may wait for the service
        int send_buffer;      // > 0: SO_SNDBUF of the plug-in's socket, as on a real path
    };
    std::vector<row> rows = {
        {"pings", true, 125, 64 * 1024, 0},
        // Pongs whose payloads count nothing, and a socket that holds less than the limit (the kernel
        // doubles what it is given): only the pongs' own cost can reach it, as on a real network.
        {"empty pings", true, 0, 128 * 1024, 32 * 1024},
    };
#if defined(HARKWIRE_PLUGIN)  // only harkwire sends audio; the code is the same in both
    rows.push_back({"audio", false, 0, 64 * 1024, 0});
#endif
    int fake_id = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ep->set_unsent_limit(r.limit);
        // The service's receive window as on a real path: with loopback's, a service that reads nothing
        // would take megabytes of pongs before anything waits in the plug-in.
        cloud.set_service_receive_window(r.pings ? 8 * 1024 : 0);
        cloud.set_behaviour(r.pings ? fakecloud::ping_flood_behaviour(r.ping_payload) : fakecloud::record_only());
        ws_channel_t ch;
        const size_t closes_before = logs.count(APT_PRIO_INFO, "wss_connect.on_close: enter");
        std::atomic<size_t> closes_at_lost{0};
        ch.on_lost = [&](int) { closes_at_lost = logs.count(APT_PRIO_INFO, "wss_connect.on_close: enter"); };
        int id = ep->connect(url, &ch);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(cloud.wait_for_open(++fake_id, WAIT));
        if (r.send_buffer > 0) {
            const std::vector<int> fds = proc_self::socket_fds_to(cloud.ws_port());
            ASSERT_EQ(1u, fds.size());
            ASSERT_EQ(0, setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &r.send_buffer, sizeof r.send_buffer));
        }
        if (r.pings) {
            ASSERT_TRUE(ep->send_command(id, "go"));  // the flood begins at the service's first message
        } else {
            ASSERT_TRUE(cloud.pause_reading(fake_id));
            // Far more than the two sockets hold, in steps: each sweep hands the library what came meanwhile.
            const std::string frame(4000, 'a');
            for (int i = 0; i < 4000 && ep->send_data(id, frame); ++i)
                if (i % 100 == 99)
                    std::this_thread::sleep_for(milliseconds(50));
        }
        ASSERT_TRUE(ch.wait_lost(milliseconds(30000)));
        EXPECT_EQ(ch.lost_ids(), std::vector<int>{id});
        EXPECT_EQ(closes_before, closes_at_lost.load()) << "the loss waited for the library's close";
        const std::string said =
            "wss_connect: connection <" + std::to_string(id) + "> closes, the service takes nothing: ";
        size_t told = 0;
        for (const log_record& rec : logs.records())
            told += rec.priority == APT_PRIO_ERROR && rec.text.compare(0, said.size(), said) == 0;
        EXPECT_EQ(1u, told) << logs.dump();
        // Nothing more can reach the service: its end is reset at once, and the socket, with what it
        // held, is gone, not left to the kernel.
        EXPECT_TRUE(wait_log(APT_PRIO_INFO, "wss_connect.on_close: enter", closes_before + 1));
        EXPECT_EQ(0u, proc_self::tcp_sockets_to(cloud.ws_port()));
        // The reset reaches the service's end as soon as the kernel gets to it, which on a busy machine
        // is not always within the close.
        steady_clock::time_point end = steady_clock::now() + WAIT;
        while (proc_self::tcp_established_at(cloud.ws_port()) != 0 && steady_clock::now() < end)
            std::this_thread::sleep_for(milliseconds(5));
        EXPECT_EQ(0u, proc_self::tcp_established_at(cloud.ws_port()));
        ep->close(id, 1001, "");
    }
}

// A closed connection's socket goes within the library's close and shutdown time-outs (5 s each), also
// when the service reads nothing more and so never answers the close frame or the TLS close.
TEST_F(EndpointTest, ClosedConnectionLetsGoOfItsSocketWhenTheServiceIsMute)
{
    int id = ep->connect(url, &channel);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(cloud.wait_for_open(1, WAIT));
    ASSERT_TRUE(cloud.pause_reading(1));
    // The service's read already pending takes this command; it reads nothing after it.
    ASSERT_TRUE(ep->send_command(id, "last"));
    ASSERT_TRUE(cloud.wait_for_messages(1, 1, WAIT));
    ASSERT_EQ(1u, proc_self::tcp_sockets_to(cloud.ws_port()));
    ep->close(id, 1000, "normal");
    steady_clock::time_point end = steady_clock::now() + milliseconds(30000);
    while (proc_self::tcp_sockets_to(cloud.ws_port()) != 0 && steady_clock::now() < end)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(0u, proc_self::tcp_sockets_to(cloud.ws_port()));
    EXPECT_FALSE(cloud.connection(1).close_received);  // it was mute indeed
}

TEST_F(EndpointTest, CloseFromInsideTheMessageHandlerStopsDelivery)
{
    fakecloud::behaviour burst;
    burst.on_message = [](fakecloud::session& s, const fakecloud::ws_message&) {
        for (int i = 0; i < 50; ++i)
            s.send_text("reply " + std::to_string(i));
    };
    cloud.set_behaviour(burst);
    int id = ep->connect(url, &channel);
    ASSERT_EQ(id, 1);
    // As harkwire completes: close the connection from inside on_message, on an I/O thread.
    channel.on_message = [&](int got) { ep->close(got, 1001, ""); };
    ASSERT_TRUE(ep->send_command(id, "go"));
    ASSERT_TRUE(channel.wait_messages(1, WAIT));
    ASSERT_TRUE(cloud.wait_for_end(1, WAIT));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(channel.message_count(), 1u);
    EXPECT_TRUE(channel.lost_ids().empty());
    EXPECT_EQ(cloud.connection(1).close_code, 1001);
}

// Each connection's handlers run on whichever I/O thread is free, while other connections' run beside
// them: a close on a task's thread races the message being handled, and once it returns the channel
// hears nothing more.
TEST_F(EndpointTest, NoMessageReachesAChannelAfterCloseReturns)
{
    fakecloud::behaviour stream;
    stream.on_open = [](fakecloud::session& s) {
        for (int i = 0; i < 400; ++i)
            s.after(i, [i](fakecloud::session& t) { t.send_binary(std::string(64, (char)i)); });
    };
    cloud.set_behaviour(stream);
    const int n = 8;
    std::vector<std::unique_ptr<ws_channel_t>> channels;
    std::vector<int> ids;
    for (int i = 0; i < n; ++i) {
        channels.emplace_back(new ws_channel_t);
        // A handler that takes a while, so that closes land while one runs.
        channels.back()->on_message = [](int) { std::this_thread::sleep_for(microseconds(200)); };
        ids.push_back(ep->connect(url, channels.back().get()));
        ASSERT_GT(ids.back(), 0);
    }
    std::vector<std::thread> closers;
    std::atomic<int> late(0);
    for (int i = 0; i < n; ++i)
        closers.emplace_back([&, i] {
            if (!channels[i]->wait_messages(20 + 10 * i, WAIT))
                return;
            ep->close(ids[i], 1000, "normal");
            size_t at_close = channels[i]->message_count();
            std::this_thread::sleep_for(milliseconds(100));
            if (channels[i]->message_count() != at_close)
                ++late;
            channels[i].reset();  // destroyed: a late handler would touch freed memory
        });
    for (std::thread& t : closers)
        t.join();
    EXPECT_EQ(late, 0);
    for (const std::unique_ptr<ws_channel_t>& ch : channels)
        EXPECT_FALSE(ch) << "a channel got too few messages to be closed";
    std::this_thread::sleep_for(milliseconds(100));
}

// Several connections, each fed from its own thread while the I/O threads deliver the echoes: every
// connection's messages leave and arrive in their order, and its handler never runs twice at once.
TEST_F(EndpointTest, EachConnectionKeepsItsOrderAmongManyOnSeveralThreads)
{
    cloud.set_behaviour(fakecloud::echo_behaviour());
    const int n = 12;
    const int per = 60;
    std::vector<ws_channel_t> channels(n);
    std::vector<int> ids;
    // Closed before the channels go: a handler may still be finishing when its last message is seen.
    struct closer {
        websocket_endpoint& ep;
        const std::vector<int>& ids;
        ~closer()
        {
            for (int id : ids)
                ep.close(id, 1000, "normal");
        }
    } close_all{*ep, ids};
    for (int i = 0; i < n; ++i) {
        channels[i].on_message = [](int) { std::this_thread::sleep_for(microseconds(50)); };
        ids.push_back(ep->connect(url, &channels[i]));
        ASSERT_GT(ids.back(), 0);
    }
    auto text = [](int id, int k) { return std::to_string(id) + ":" + std::to_string(k); };
    std::vector<std::thread> senders;
    for (int i = 0; i < n; ++i)
        senders.emplace_back([&, i] {
            // Commands and audio mixed, as harkwire's engine task and media thread send them.
            for (int k = 0; k < per; ++k)
                k % 3 == 0 ? ep->send_command(ids[i], text(ids[i], k)) : ep->send_data(ids[i], text(ids[i], k));
        });
    for (std::thread& t : senders)
        t.join();
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(channels[i].wait_messages(per, WAIT)) << channels[i].message_count();
        std::vector<received_message> got = channels[i].received();
        ASSERT_EQ(got.size(), (size_t)per);
        for (int k = 0; k < per; ++k) {
            EXPECT_EQ(got[k].id, ids[i]);
            EXPECT_EQ(got[k].binary, k % 3 != 0) << k;
            EXPECT_EQ(got[k].data, text(ids[i], k));
        }
        EXPECT_EQ(channels[i].overlaps, 0);
    }
}

TEST_F(EndpointTest, ManyThreadsConnectingGetDistinctIds)
{
    const int n = 8;
    std::vector<int> ids(n, 0);
    std::vector<ws_channel_t> channels(n);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] { ids[i] = ep->connect(url, &channels[i]); });
    for (std::thread& t : threads)
        t.join();
    std::sort(ids.begin(), ids.end());
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(ids[i], i + 1);
    EXPECT_EQ(ep->connection_count(), (size_t)n);
    EXPECT_EQ(cloud.connection_count(), (size_t)n);
}

TEST_F(EndpointTest, DestructionClosesOpenConnectionsGoingAway)
{
    ASSERT_EQ(ep->connect(url, &channel), 1);
    ASSERT_EQ(ep->connect(url, &channel), 2);
    ASSERT_TRUE(cloud.wait_for_open(2, WAIT));
    steady_clock::time_point begin = steady_clock::now();
    ep.reset();
    EXPECT_LT(elapsed_ms(begin), 6000);
    for (int id = 1; id <= 2; ++id) {
        ASSERT_TRUE(cloud.wait_for_end(id, WAIT));
        EXPECT_EQ(cloud.connection(id).close_code, 1001);
    }
    EXPECT_TRUE(channel.lost_ids().empty());
}

TEST_F(EndpointTest, StartTwiceStartsTheThreadsOnce)
{
    const size_t threads = proc_self::entries("/proc/self/task");
    EXPECT_TRUE(ep->start());
    EXPECT_EQ(proc_self::entries("/proc/self/task"), threads);
    EXPECT_EQ(ep->connect(url, &channel), 1);
#if defined(SPEAKWIRE_PLUGIN)
    EXPECT_EQ(logs.count(APT_PRIO_INFO, "wss_endpoint.start"), 1u);
#endif
}

TEST(EndpointLifecycle, NeverStartedEndpointJoinsNothing)
{
    log_capture logs;
    {
        websocket_endpoint ep;
        ep.set_connect_timeout(milliseconds(200));
        ws_channel_t ch;
        EXPECT_EQ(ep.connect("wss://127.0.0.1:1/x", &ch), -1);
        EXPECT_EQ(ep.connection_count(), 0u);
    }
    websocket_endpoint started;
    EXPECT_TRUE(started.start());
#if defined(SPEAKWIRE_PLUGIN)
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "wss_endpoint.start"));
#else
    EXPECT_FALSE(logs.has_text("wss_endpoint.start"));
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new log_environment);
    return RUN_ALL_TESTS();
}
