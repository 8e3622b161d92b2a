// Grammar loading: inline bodies, URI lists over http from a local server, local
// files, the transfer buffer, Content-Id trimming, and DEFINE-GRAMMAR through the host.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "recog_engine.h"
#include "recog_grammar.h"

#ifdef HARKWIRE_PLUGIN_PATH
#include "mrcp_host.h"
#endif

static ::testing::Environment* const log_env = ::testing::AddGlobalTestEnvironment(new log_environment);

namespace {

const char k_small_grammar[] = "#WORDLIST V1.0;\nhello\nworld\n";

// A plain HTTP/1.1 server on 127.0.0.1 with a few fixed answers, one thread per connection.
class grammar_server {
public:
    grammar_server()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(fd_, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, (sockaddr*)&addr, &len) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { run(); });
    }
    ~grammar_server()
    {
        stop_ = true;
        if (acceptor_.joinable())
            acceptor_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::thread& t : workers_)
            t.join();
        close(fd_);
    }

    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    static std::string big_body() { return std::string(20000, 'a') + "end"; }

private:
    void run()
    {
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int client = accept(fd_, NULL, NULL);
            if (client < 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            workers_.emplace_back([this, client] {
                handle(client);
                close(client);
            });
        }
    }

    bool send_all(int fd, const std::string& data)
    {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += (size_t)n;
        }
        return true;
    }

    void answer(int fd, int status, const std::string& body, const std::string& extra = "")
    {
        send_all(fd, "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n" + extra + "\r\n" + body);
    }

    void handle(int fd)
    {
        std::string request;
        char chunk[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0)
                return;
            request.append(chunk, (size_t)n);
        }
        std::string path = request.substr(4, request.find(' ', 4) - 4);
        if (path == "/grammar") {
            answer(fd, 200, k_small_grammar);
        } else if (path == "/big") {
            answer(fd, 200, big_body());
        } else if (path == "/empty") {
            answer(fd, 200, "");
        } else if (path == "/missing") {
            answer(fd, 404, "<html>not found</html>");
        } else if (path == "/moved") {
            answer(fd, 302, "", "Location: /grammar\r\n");
        } else if (path == "/slow") {
            for (int i = 0; i < 60 && !stop_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            answer(fd, 200, "late");
        } else if (path == "/exact") {
            answer(fd, 200, std::string(GRAMMAR_MAX_SIZE, 'x'));
        } else if (path == "/announced") {
            // Says it is too large; the client must refuse before the body.
            send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(GRAMMAR_MAX_SIZE + 1) +
                             "\r\nConnection: close\r\n\r\n");
        } else if (path == "/endless") {
            // No length given: the body runs past the limit until the client gives up.
            if (!send_all(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"))
                return;
            std::string block(65536, 'y');
            for (size_t sent = 0; sent <= GRAMMAR_MAX_SIZE + block.size() && !stop_; sent += block.size())
                if (!send_all(fd, block))
                    return;
        } else {
            answer(fd, 400, "");
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
};

// A channel record with just what grammar loading uses.
class GrammarLoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        apr_pool_create(&pool_, NULL);
        channel_.reset(new recog_channel_t());
        channel_->context = new recog_context_t();
    }
    void TearDown() override
    {
        delete channel_->context;
        channel_.reset();
        apr_pool_destroy(pool_);
    }

    // A load as the engine task does it, with the fetch run here instead of on a thread of its own.
    int load_str(const char* id, const char* type, const apt_str_t* str, apr_size_t timeout = 0)
    {
        grammar_fetch_request fetch;
        int status = recog_grammar_load(channel_.get(), id, type, str, timeout, pool_, &fetch);
        if (status != GRAMMAR_LOAD_FETCH)
            return status;
        fetch_cancel cancel;
        std::string text, error;
        bool ok = read_uri_file(fetch.uri.c_str(), fetch.timeout_ms, text, error, cancel);
        return recog_grammar_fetched(channel_.get(), fetch, ok, text, error);
    }
    int load(const char* id, const char* type, const std::string& body, apr_size_t timeout = 0)
    {
        apt_str_t str;
        str.buf = body.empty() ? NULL : const_cast<char*>(body.data());
        str.length = body.size();
        return load_str(id, type, &str, timeout);
    }
    int load_uri(const std::string& uri, apr_size_t timeout = 0)
    {
        return load("g1", "text/uri-list", uri, timeout);
    }
    std::string stored(const std::string& id)
    {
        const std::string* text = channel_->context->grammars.find(id);
        return text ? *text : "(none)";
    }
    bool logged_error(const std::string& text) const { return log_.has(APT_PRIO_ERROR, text); }

    apr_pool_t* pool_ = NULL;
    std::unique_ptr<recog_channel_t> channel_;
    log_capture log_;
};

TEST(ContentId, TrimmedAndStrippedOfOnePairOfAngleBrackets)
{
    const struct {
        const char* value;
        const char* id;
    } cases[] = {
        {" <g1> ", "g1"},         {"\t<g1>\r\n", "g1"}, {"<>", ""},     {"<g1", "<g1"},
        {"g1>", "g1>"},           {"   ", ""},          {"g1", "g1"},   {"<<g1>>", "<g1>"},
        {" <a b> ", "a b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::string id = "before";
        EXPECT_TRUE(get_content_id(c.value, id));
        EXPECT_EQ(id, c.id);
    }
    std::string id = "before";
    EXPECT_FALSE(get_content_id(NULL, id));
    EXPECT_FALSE(get_content_id("", id));
    EXPECT_EQ(id, "before");
}

TEST(TrimSpace, TakesTheTextByItsLength)
{
    const char text[] = " \r\n uri \t\r\nrest";
    EXPECT_EQ(trim_space(text, 9), "uri");
    EXPECT_EQ(trim_space(text, 4), "");
    EXPECT_EQ(trim_space(NULL, 5), "");
    std::string embedded("a\0b ", 4);
    EXPECT_EQ(trim_space(embedded.data(), embedded.size()), std::string("a\0b", 3));
}

TEST(FetchTimeout, IsMillisecondsWithinTenMinutes)
{
    const struct {
        apr_size_t value;
        long ms;
    } cases[] = {{0, 600000}, {1, 1}, {30, 30}, {5000, 5000}, {600000, 600000}, {600001, 600000},
                 {(apr_size_t)-1, 600000}};
    for (const auto& c : cases)
        EXPECT_EQ(recog_fetch_timeout_ms(c.value), c.ms) << c.value;
}

TEST(GrammarFileName, FollowsTheSchemeRules)
{
    const struct {
        const char* uri;
        const char* name;
    } cases[] = {
        {"file:///C:\\grammars\\menu.xml", "/mnt/C/grammars/menu.xml"},
        {"file:///opt/menu.xml", "opt/menu.xml"},
        {"file://opt/menu.xml", "opt/menu.xml"},
        {"/opt/menu.xml", "/opt/menu.xml"},
        {"C:\\menu.xml", "C:\\menu.xml"},
        {"file:////abs/menu.xml", "/abs/menu.xml"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(grammar_file_name(c.uri), c.name) << c.uri;
}

TEST(TransferBuffer, GrowsKeepsAZeroTailAndRefusesPastTheLimit)
{
    _auto_buf buf;
    ASSERT_TRUE(buffer_create(&buf));
    EXPECT_EQ(buf.capacity, 8192u);
    EXPECT_EQ(buf.data[0], '\0');
    EXPECT_FALSE(write_content(&buf, NULL, 3));
    EXPECT_FALSE(write_content(&buf, "abc", 0));

    std::string chunk(5000, 'q');
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(write_content(&buf, chunk.data(), chunk.size()));
    EXPECT_EQ(buf.len, 15000u);
    EXPECT_EQ(std::string(buf.data), std::string(15000, 'q'));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(buf.data[buf.len + i], '\0');

    // One byte over the limit is refused whole and leaves the buffer as it was.
    std::string rest(GRAMMAR_MAX_SIZE - buf.len, 'r');
    EXPECT_EQ(WriteCallBack(&rest[0], 1, rest.size(), &buf), rest.size());
    EXPECT_EQ(buf.len, GRAMMAR_MAX_SIZE);
    char one = 's';
    EXPECT_EQ(WriteCallBack(&one, 1, 1, &buf), 0u);
    EXPECT_TRUE(buf.too_large);
    EXPECT_EQ(buf.len, GRAMMAR_MAX_SIZE);

    EXPECT_TRUE(buffer_destroy(&buf));
    EXPECT_FALSE(buffer_destroy(&buf));
}

TEST_F(GrammarLoadTest, InlineBodyIsStoredByItsLengthUnderTheTrimmedId)
{
    const std::string body = "<grammar>one</grammar>TAIL";
    apt_str_t str = {const_cast<char*>(body.data()), body.size() - 4};
    EXPECT_EQ(load_str(" g1\r\n", "application/srgs+xml", &str), 200);
    EXPECT_EQ(channel_->context->grammar_id, "g1");
    EXPECT_EQ(stored("g1"), "<grammar>one</grammar>");
    EXPECT_TRUE(log_.has(APT_PRIO_INFO, "add grammar to list <g1>{<grammar>one</grammar>}")) << log_.dump();

    // The same id again replaces the text and makes it current again.
    EXPECT_EQ(load("g2", "application/srgs+xml", "two"), 200);
    EXPECT_EQ(load("g1", "application/srgs+xml", "three"), 200);
    EXPECT_EQ(channel_->context->grammar_id, "g1");
    EXPECT_EQ(stored("g1"), "three");
    EXPECT_EQ(channel_->context->grammars.size(), 2u);
}

TEST_F(GrammarLoadTest, HttpFetches)
{
    grammar_server server;
    const struct {
        const char* name;
        std::string uri;
        int status;
        std::string text;   // stored text when 200
        std::string error;  // the failure's log when 407
    } cases[] = {
        {"small", server.url("/grammar"), 200, k_small_grammar, ""},
        {"over 8192 bytes", server.url("/big"), 200, grammar_server::big_body(), ""},
        {"empty", server.url("/empty"), 200, "", ""},
        {"blanks, CR LF and upper-case scheme", " \r\n" + server.url("/grammar").replace(0, 4, "HTTP") + " \r\n",
         200, k_small_grammar, ""},
        {"404", server.url("/missing"), 407, "",
         "read_uri_file failed <" + server.url("/missing") + ">{http status 404 while perform!}"},
        {"redirect not followed", server.url("/moved"), 407, "",
         "read_uri_file failed <" + server.url("/moved") + ">{http status 302 while perform!}"},
        {"size announced over the limit", server.url("/announced"), 407, "",
         "read_uri_file failed <" + server.url("/announced") + ">{grammar larger than 16777216 bytes!}"},
        {"body running over the limit", server.url("/endless"), 407, "",
         "read_uri_file failed <" + server.url("/endless") + ">{grammar larger than 16777216 bytes!}"},
        {"connection refused", "http://127.0.0.1:1/g", 407, "",
         "read_uri_file failed <http://127.0.0.1:1/g>{return 7 while perform!}"},
        {"HTTPS is fetched, not opened as a file", "HTTPS://127.0.0.1:1/g", 407, "",
         "read_uri_file failed <HTTPS://127.0.0.1:1/g>{return 7 while perform!}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        channel_->context->grammars.clear();
        channel_->context->grammar_id = "earlier";
        EXPECT_EQ(load_uri(c.uri), c.status) << log_.dump();
        if (c.status == 200) {
            EXPECT_EQ(channel_->context->grammar_id, "g1");
            EXPECT_TRUE(stored("g1") == c.text) << stored("g1").size();
        } else {
            EXPECT_EQ(channel_->context->grammar_id, "earlier");
            EXPECT_TRUE(channel_->context->grammars.empty());
            EXPECT_TRUE(logged_error(c.error)) << log_.dump();
        }
    }
}

TEST_F(GrammarLoadTest, GrammarOfExactlyTheLimitArrivesWhole)
{
    grammar_server server;
    EXPECT_EQ(load_uri(server.url("/exact")), 200);
    EXPECT_EQ(stored("g1").size(), GRAMMAR_MAX_SIZE);
}

TEST_F(GrammarLoadTest, FetchTimeoutIsInMilliseconds)
{
    grammar_server server;  // answers /slow after 3 seconds
    EXPECT_EQ(load_uri(server.url("/slow"), 300), 407);
    EXPECT_TRUE(logged_error("read_uri_file failed <" + server.url("/slow") + ">{return 28 while perform!}"))
        << log_.dump();
}

// A cancel from another thread ends a fetch that waits for its answer, and one not begun yet.
TEST(FetchCancel, EndsTheFetchAsFailed)
{
    grammar_server server;  // answers /slow after 3 seconds
    std::string text, error;
    fetch_cancel cancel;
    apt_bool_t ok = TRUE;
    std::thread fetch([&] { ok = read_uri_file(server.url("/slow").c_str(), 0, text, error, cancel); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel.cancel();
    fetch.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "cancelled!");

    fetch_cancel early;
    early.cancel();
    error.clear();
    EXPECT_FALSE(read_uri_file(server.url("/grammar").c_str(), 0, text, error, early));
    EXPECT_EQ(error, "cancelled!");
    EXPECT_TRUE(text.empty());
}

TEST_F(GrammarLoadTest, LocalFiles)
{
    // A directory under the working directory, so that relative names can be reached.
    char tmpl[] = "grammar_files_XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string rel = tmpl;
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
    const std::string abs = std::string(cwd) + "/" + rel;
    auto write = [](const std::string& path, const std::string& data) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    };
    write(rel + "/menu.xml", "<grammar>menu</grammar>");
    write(rel + "/empty.xml", "");
    write(rel + "/nul.xml", std::string("before\0after", 12));
    ASSERT_EQ(0, mkfifo((rel + "/fifo.xml").c_str(), 0600));

    const struct {
        std::string uri;
        int status;
        const char* text;
    } cases[] = {
        {"file:///" + rel + "/menu.xml", 200, "<grammar>menu</grammar>"},
        {"file://" + rel + "/menu.xml", 200, "<grammar>menu</grammar>"},
        {"\r\n file:///" + abs + "/menu.xml \r\n", 200, "<grammar>menu</grammar>"},  // "file:////abs/..."
        {abs + "/menu.xml", 200, "<grammar>menu</grammar>"},
        {rel + "/empty.xml", 200, ""},
        {rel + "/nul.xml", 200, "before"},
        {"file:///" + rel + "/none.xml", 407, ""},
        {rel, 407, ""},  // a directory cannot be read
        // Neither waits for a writer or an end: the engine task must never block on them.
        {"file:///" + rel + "/fifo.xml", 407, ""},
        {"/dev/zero", 407, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        log_.clear();
        channel_->context->grammars.clear();
        EXPECT_EQ(load_uri(c.uri), c.status) << log_.dump();
        if (c.status == 200)
            EXPECT_EQ(stored("g1"), c.text);
        else
            EXPECT_TRUE(channel_->context->grammars.empty());
    }
    // The error names the URI as given, not the rewritten path.
    log_.clear();
    EXPECT_EQ(load_uri("file:///" + rel + "/none.xml"), 407);
    EXPECT_TRUE(logged_error("apr_file_open failed <file:///" + rel + "/none.xml>")) << log_.dump();
    log_.clear();
    EXPECT_EQ(load_uri(rel + "/fifo.xml"), 407);
    EXPECT_TRUE(logged_error("grammar file is not a regular file <" + rel + "/fifo.xml>")) << log_.dump();

    std::string cmd = "rm -rf '" + rel + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

// One grammar and what a channel keeps are bounded; the log shows a grammar's first bytes and length.
TEST_F(GrammarLoadTest, SizesAreBoundedAndLoggedShort)
{
    const char* type = "application/srgs+xml";
    const std::string largest(GRAMMAR_MAX_SIZE, 'x');
    EXPECT_EQ(load("big", type, largest + "x"), 407);
    EXPECT_TRUE(logged_error("grammar larger than 16777216 bytes <big>")) << log_.dump();

    EXPECT_EQ(load("g1", type, largest), 200);
    EXPECT_EQ(load("g2", type, largest), 200);
    EXPECT_EQ(load("g3", type, largest), 407);
    EXPECT_TRUE(logged_error("grammars of the channel would pass 41943040 bytes, <g3> refused")) << log_.dump();
    EXPECT_EQ(channel_->context->grammar_id, "g2");
    EXPECT_EQ(stored("g3"), "(none)");
    EXPECT_EQ(load("g1", type, largest), 200);  // a replacement counts only what it adds
    EXPECT_EQ(load("small", type, k_small_grammar), 200);
    EXPECT_EQ(channel_->context->grammars.size(), 3u);

    EXPECT_TRUE(log_.has(APT_PRIO_INFO, "add grammar to list <g1>{" + std::string(64, 'x') + "... (16777216 bytes)}"))
        << log_.dump().substr(0, 4000);
    for (const log_record& r : log_.records())
        EXPECT_LT(r.text.size(), 200u) << r.text.substr(0, 200);

    channel_->context->grammars.clear();
    EXPECT_EQ(channel_->context->grammars.bytes(), 0u);
}

TEST_F(GrammarLoadTest, UriListBodyIsLeftAsItCame)
{
    grammar_server server;
    std::string body = "  " + server.url("/grammar") + "\r\n";
    const std::string before = body;
    EXPECT_EQ(load_uri(body), 200);
    EXPECT_EQ(body, before);

    // Only the body's length counts: what follows it is not part of the URI.
    std::string longer = server.url("/grammar") + "XYZ";
    apt_str_t str = {&longer[0], longer.size() - 3};
    EXPECT_EQ(load_str("g2", "TEXT/URI-LIST", &str), 200);
    EXPECT_EQ(stored("g2"), k_small_grammar);
}

#ifdef HARKWIRE_PLUGIN_PATH

// DEFINE-GRAMMAR through the host with the real plug-in.
class DefineGrammarTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mrcphost::host_initialize();
        mrcphost::log_capture::instance().set_quiet(true);
        mrcphost::log_capture::instance().clear();
        char tmpl[] = "/tmp/recog_grammar_XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
        mrcphost::plugin_options options;
        options.path = HARKWIRE_PLUGIN_PATH;
        options.name = "harkwire";
        options.conf_dir = dir_;
        options.data_dir = dir_;
        plugin_.reset(new mrcphost::plugin(options));
        std::string error;
        ASSERT_TRUE(plugin_->load(&error)) << error;
        ASSERT_TRUE(plugin_->open()) << mrcphost::log_capture::instance().dump();
        channel_ = plugin_->create_channel("ch1");
        ASSERT_TRUE(channel_);
        channel_->set_codec(8000);
        ASSERT_TRUE(channel_->open(5000, false));
    }
    void TearDown() override
    {
        plugin_.reset();
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string dir_;
    std::unique_ptr<mrcphost::plugin> plugin_;
    mrcphost::channel* channel_ = NULL;
};

TEST_F(DefineGrammarTest, AnswersWithStatusAndCompletionCause)
{
    grammar_server server;
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::string body;
        int status;
        int cause;
    } cases[] = {
        {"inline", {"Content-Type: application/srgs+xml", "Content-Id: <g1>"}, k_small_grammar, 200, 0},
        {"http uri", {"Content-Type: text/uri-list", "Content-Id: g2", "Fetch-Timeout: 5000"},
         server.url("/grammar"), 200, 0},
        {"http uri without Content-Id", {"Content-Type: text/uri-list"}, server.url("/grammar") + "\r\n", 200, 0},
        {"http error status", {"Content-Type: text/uri-list", "Content-Id: g3"}, server.url("/missing"), 407, 4},
        {"missing file", {"Content-Type: text/uri-list", "Content-Id: g4"}, "file:///" + dir_ + "/none.xml", 407, 4},
        {"no Content-Type", {"Content-Id: g5"}, k_small_grammar, 406, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        mrcp_request_id id = channel_->send("DEFINE-GRAMMAR", c.lines, c.body, &error);
        ASSERT_NE(id, 0u) << error;
        mrcphost::message_record response;
        ASSERT_TRUE(channel_->wait_response(id, 5000, &response));
        EXPECT_EQ(response.status_code, c.status) << response.line();
        EXPECT_EQ(response.completion_cause, c.cause) << response.line();
    }
    EXPECT_TRUE(mrcphost::log_capture::instance().contains("add grammar to list <g1>", APT_PRIO_INFO));
    EXPECT_TRUE(mrcphost::log_capture::instance().contains("add grammar to list <" + server.url("/grammar") + ">",
                                                           APT_PRIO_INFO));
    EXPECT_TRUE(mrcphost::log_capture::instance().contains("apr_file_open failed <file:///" + dir_ + "/none.xml>",
                                                           APT_PRIO_ERROR));
}

#endif  // HARKWIRE_PLUGIN_PATH

}  // namespace
