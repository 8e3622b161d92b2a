// The access-token client against the fake identity endpoint over real HTTPS.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <apr_xml.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "cloud_access_plugin.h"
#include "fake_cloud.h"
#include "log_capture.h"
#include "token_wrapper.h"

using namespace std::chrono;
using fakecloud::token_reply;

namespace {

// 10:20 past some whole hour of UTC.
const time_t HOUR = 1699999200;
const time_t T0 = HOUR + 20 * 60;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A raw 201 answer with these header lines (each without its CRLF) and body.
token_reply raw_answer(const std::string& lines, const std::string& body = "")
{
    token_reply r;
    r.raw = "HTTP/1.1 201 Created\r\n" + lines + "\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
    return r;
}

size_t entries_in(const std::string& dir)
{
    size_t n = 0;
    DIR* d = opendir(dir.c_str());
    while (d && readdir(d))
        ++n;
    if (d)
        closedir(d);
    return n - 2;  // . and ..
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class TokenWrapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/token_wrapper_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        file = dir + "/x_auth_token.txt";
        url = cloud.token_url();
        sys = {3600, url.c_str(), "user", "secret", "Default", "project"};
        make_wrapper();
    }
    void TearDown() override
    {
        wrapper.reset();
        unlink(file.c_str());
        rmdir(dir.c_str());
    }
    void make_wrapper()
    {
        wrapper.reset(new CTokenWrapper);
        wrapper->SetClock([this] { return now.load(); });
        wrapper->SetWaits(20, 200);
        wrapper->SetTimeouts(2000, 2000);
        wrapper->SetTokenFile(file);
    }
    bool start() { return wrapper->Init(&sys) && wrapper->Start(); }
    // Polls GetToken until it gives `expected`.
    bool wait_token(const std::string& expected, milliseconds timeout = milliseconds(3000))
    {
        steady_clock::time_point end = steady_clock::now() + timeout;
        std::string token;
        while (steady_clock::now() < end) {
            if (wrapper->GetToken(token) && token == expected)
                return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }
    // Waits until the thread has handled n answers, each of which logs one line saying what became
    // of it (a refused token's line is left out: it names the byte).
    bool wait_passes(size_t n, milliseconds timeout = milliseconds(3000))
    {
        steady_clock::time_point end = steady_clock::now() + timeout;
        while (steady_clock::now() < end) {
            size_t done = logs.count(APT_PRIO_INFO, "RunLoop: get_token, succ") +
                          logs.count(APT_PRIO_ERROR, "RunLoop: get_token, fail") +
                          logs.count(APT_PRIO_CRITICAL, "RunLoop: get_token, token empty") +
                          logs.count(APT_PRIO_CRITICAL, "RunLoop: get_token, no token header in the answer") +
                          logs.count(APT_PRIO_CRITICAL, "RunLoop: get_token, token buffer oveflow");
            if (done >= n)
                return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }

    size_t critical_count() const
    {
        size_t n = 0;
        for (const log_record& r : logs.records())
            n += r.priority == APT_PRIO_CRITICAL;
        return n;
    }

    bool wait_log(apt_log_priority_e priority, const std::string& text, milliseconds timeout = milliseconds(3000))
    {
        steady_clock::time_point end = steady_clock::now() + timeout;
        while (steady_clock::now() < end) {
            if (logs.has(priority, text))
                return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }

    log_capture logs;
    fakecloud::fake_cloud cloud;
    std::string dir, file, url;
    system_t sys;
    std::atomic<time_t> now{T0};
    std::unique_ptr<CTokenWrapper> wrapper;
};

TEST_F(TokenWrapperTest, FirstFetchAtOnceStoresTokenInMemoryAndFile)
{
    std::string untouched = "before";
    EXPECT_FALSE(wrapper->GetToken(untouched));
    EXPECT_EQ(untouched, "before");

    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token("fake-token-1"));
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "RunLoop: get_token, last_timestamp=0 ...... ")) << logs.dump();

    EXPECT_EQ(read_file(file), "fake-token-1");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::vector<fakecloud::token_request> requests = cloud.token_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-type"), "application/json");
    EXPECT_EQ(requests[0].body,
              "{\"auth\": {\"identity\": {\"methods\": [\"password\"],\"password\": {\"user\": {\"name\": \"user\","
              "\"password\": \"secret\",\"domain\": {\"name\": \"Default\"}}}},\"scope\": {\"project\": "
              "{\"name\": \"project\"}}}}");
}

TEST_F(TokenWrapperTest, RefetchesAtTheNextEpochMultipleOfTheInterval)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token("fake-token-1"));

    // Many checks go by within the hour without a fetch.
    now = HOUR + 3599;
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(cloud.token_request_count(), 1u);

    now = HOUR + 3600;
    ASSERT_TRUE(wait_token("fake-token-2"));
    EXPECT_TRUE(logs.has(APT_PRIO_INFO, "RunLoop: get_token, last_timestamp=1699999200 ...... ")) << logs.dump();
    EXPECT_EQ(cloud.token_request_count(), 2u);
    EXPECT_EQ(read_file(file), "fake-token-2");
}

TEST_F(TokenWrapperTest, FailureRetriesAfterFiveSecondsAndKeepsThePreviousToken)
{
    wrapper->SetWaits(20, 5000);  // the real retry delay
    token_reply first;
    first.token = "good-token";
    cloud.queue_token_reply(first);
    token_reply denied;
    denied.status = 401;
    cloud.set_token_reply(denied);

    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token("good-token"));
    now = HOUR + 3600;
    ASSERT_TRUE(cloud.wait_for_token_requests(3, milliseconds(8000)));

    std::vector<fakecloud::token_request> requests = cloud.token_requests();
    milliseconds gap = duration_cast<milliseconds>(requests[2].received - requests[1].received);
    EXPECT_GE(gap.count(), 4900);
    EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "post: curl_easy_getinfo fail, status_code=401")) << logs.dump();
    EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "RunLoop: get_token, fail"));
    std::string token;
    EXPECT_TRUE(wrapper->GetToken(token));
    EXPECT_EQ(token, "good-token");
    EXPECT_EQ(read_file(file), "good-token");
}

TEST_F(TokenWrapperTest, RequestFailuresMapToTheirResults)
{
    struct failure_case {
        const char* name;
        std::string url;
        int curl_error;
    };
    // A port that was listening and is closed again refuses the connection.
    unsigned short closed_port;
    {
        fakecloud::fake_cloud gone;
        closed_port = gone.token_port();
    }
    std::string slow = cloud.token_url();
    const failure_case cases[] = {
        {"refused", "https://127.0.0.1:" + std::to_string(closed_port) + "/v3/auth/tokens", 7},
        {"timed out", slow, 28},
        {"plain http", "http://127.0.0.1:" + std::to_string(cloud.token_port()) + "/v3/auth/tokens", 1},
    };
    token_reply late;
    late.delay_ms = 3000;
    cloud.set_token_reply(late);
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        make_wrapper();
        wrapper->SetTimeouts(300, 300);
        sys.token_server = c.url.c_str();
        ASSERT_TRUE(start());
        EXPECT_TRUE(wait_log(APT_PRIO_ERROR, "post: curl_easy_perform fail, errno=" + std::to_string(c.curl_error)))
            << logs.dump();
        wrapper.reset();
        EXPECT_FALSE(file_exists(file));
    }
}

TEST_F(TokenWrapperTest, AnswerWithoutUsableTokenStoresNothingAndWaitsForTheNextMultiple)
{
    struct reply_case {
        const char* name;
        token_reply reply;
        const char* why;  // the one critical line, and no "succ"
    };
    token_reply no_header;
    no_header.header_name = "";
    token_reply too_long;
    too_long.token_length = TOKEN_BUFF_SIZE;
    token_reply empty;
    empty.raw = "HTTP/1.1 201 Created\r\nX-Subject-Token: \r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    token_reply interim_only;
    interim_only.raw = "HTTP/1.1 100 Continue\r\nX-Subject-Token: interim\r\n\r\n" + raw_answer("X-Other: 1").raw;
    const char* missing = "RunLoop: get_token, no token header in the answer";
    const reply_case cases[] = {{"no header", no_header, missing},
                                {"10240 bytes", too_long, "RunLoop: get_token, token buffer oveflow"},
                                {"empty", empty, "RunLoop: get_token, token empty"},
                                {"only in the interim answer", interim_only, missing}};
    for (const reply_case& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        make_wrapper();
        size_t before = cloud.token_request_count();
        cloud.set_token_reply(c.reply);
        ASSERT_TRUE(start());
        ASSERT_TRUE(cloud.wait_for_token_replies(before + 1, milliseconds(3000)));
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(cloud.token_request_count(), before + 1);  // no retry within the interval
        std::string token;
        EXPECT_FALSE(wrapper->GetToken(token));
        EXPECT_FALSE(file_exists(file));
        wrapper.reset();
        EXPECT_EQ(logs.count(APT_PRIO_INFO, "RunLoop: get_token, succ"), 0u) << logs.dump();
        EXPECT_EQ(logs.count(APT_PRIO_CRITICAL, c.why), 1u) << logs.dump();
        EXPECT_EQ(critical_count(), 1u) << logs.dump();
    }
}

// A token that would put bytes of its own into the handshake's header, or an answer too large to keep,
// is not used: the old token stays, in memory and in the file, and the fetch is repeated like a failed
// one. Only the final answer's header block counts.
TEST_F(TokenWrapperTest, TamperedTokensAreRefusedAndOnlyTheFinalAnswerCounts)
{
    cloud.queue_token_reply(raw_answer("X-Subject-Token: good-token"));
    struct refused_case {
        const char* name;
        token_reply reply;
        const char* refusal;   // what the critical record says was refused; NULL: the request failed
    };
    const refused_case refused[] = {
        {"bare LF", raw_answer("X-Subject-Token: tok-1\nX-Injected: 1"), "byte 0x0a at offset 5"},
        {"bare CR", raw_answer("X-Subject-Token: tok-1\rX-Injected: 1"), "byte 0x0d at offset 5"},
        {"tab inside", raw_answer("X-Subject-Token: tok\t1"), "byte 0x09 at offset 3"},
        {"DEL", raw_answer("X-Subject-Token: tok\x7f" "1"), "byte 0x7f at offset 3"},
        {"header block past the bound", raw_answer("X-Subject-Token: big\r\nX-Filler: " + std::string(70000, 'f')),
         NULL},
    };
    for (const refused_case& c : refused)
        cloud.queue_token_reply(c.reply);
    token_reply interim;
    interim.raw = "HTTP/1.1 100 Continue\r\nX-Subject-Token: interim\r\n\r\n" +
                  raw_answer("X-Subject-Token: final", std::string(1000000, 'b')).raw;
    cloud.queue_token_reply(interim);

    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token("good-token"));
    now = HOUR + 3600;  // every later fetch without the clock moving on is a retry
    const size_t total = 2 + sizeof(refused) / sizeof(refused[0]);
    ASSERT_TRUE(wait_token("final", milliseconds(5000))) << logs.dump();
    EXPECT_EQ(cloud.token_request_count(), total);
    EXPECT_EQ(read_file(file), "final");
    for (const refused_case& c : refused) {
        if (!c.refusal)
            continue;
        EXPECT_EQ(logs.count(APT_PRIO_CRITICAL, std::string("RunLoop: get_token, token refused: ") + c.refusal +
                                                    " is a control byte or blank"),
                  1u)
            << c.name << "\n" << logs.dump();
    }
    // Only the two tokens taken say "succ"; a refused one says only why.
    EXPECT_EQ(logs.count(APT_PRIO_INFO, "RunLoop: get_token, succ"), 2u) << logs.dump();
    EXPECT_EQ(critical_count(), 4u) << logs.dump();
    EXPECT_EQ(logs.count(APT_PRIO_CRITICAL, "RunLoop: get_token, token buffer oveflow"), 0u) << logs.dump();
    EXPECT_EQ(entries_in(dir), 1u) << "a temporary file was left";
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TokenWrapperTest, LongestTokenIsStoredAndAShorterOneLeavesNoTrace)
{
    token_reply longest;
    longest.token_length = TOKEN_BUFF_SIZE - 1;
    cloud.queue_token_reply(longest);
    token_reply too_long;
    too_long.token_length = TOKEN_BUFF_SIZE;
    cloud.queue_token_reply(too_long);
    token_reply shorter;
    shorter.token = "short";
    cloud.queue_token_reply(shorter);

    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token(fakecloud::make_token(TOKEN_BUFF_SIZE - 1)));
    EXPECT_EQ(read_file(file), fakecloud::make_token(TOKEN_BUFF_SIZE - 1));

    now = HOUR + 3600;  // the 10240-byte answer: refused, the longest one stays
    ASSERT_TRUE(wait_passes(2));
    std::string token;
    EXPECT_TRUE(wrapper->GetToken(token));
    EXPECT_EQ(token.size(), (size_t)TOKEN_BUFF_SIZE - 1);

    now = HOUR + 7200;
    ASSERT_TRUE(wait_token("short"));
    EXPECT_EQ(read_file(file), "short");
}

TEST_F(TokenWrapperTest, TokenHeaderIsFoundWhateverItsCaseAndBlanks)
{
    struct header_case {
        const char* name;
        token_reply reply;
    };
    token_reply lower;
    lower.header_name = "x-subject-token";
    lower.token = "lower-token";
    token_reply tight;
    tight.raw = "HTTP/1.1 201 Created\r\nContent-Length: 0\r\nx-SUBJECT-token:tight-token \t\r\nConnection: close\r\n\r\n";
    token_reply spaced;
    spaced.raw = "HTTP/1.1 201 Created\r\nX-Subject-Token: \t spaced-token\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    const header_case cases[] = {{"lower-token", lower}, {"tight-token", tight}, {"spaced-token", spaced}};
    for (const header_case& c : cases) {
        SCOPED_TRACE(c.name);
        make_wrapper();
        cloud.set_token_reply(c.reply);
        ASSERT_TRUE(start());
        EXPECT_TRUE(wait_token(c.name)) << logs.dump();
        EXPECT_EQ(read_file(file), c.name);
        wrapper.reset();
    }
}

TEST_F(TokenWrapperTest, CredentialsAreEscapedAndParseBackToTheOriginals)
{
    const std::string user = "us\"er\\name";
    const std::string password = "pa\nss\t\x01word\x7f";
    const std::string domain = "dom\xc3\xa4in";
    const std::string project = "}},\"injected\": {\"x\": \"";
    sys.auth_user_name = user.c_str();
    sys.auth_user_password = password.c_str();
    sys.auth_user_domain_name = domain.c_str();
    sys.auth_scope_project_name = project.c_str();
    ASSERT_TRUE(start());
    ASSERT_TRUE(cloud.wait_for_token_requests(1, milliseconds(3000)));

    Json::Value body;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(cloud.token_requests()[0].body);
    ASSERT_TRUE(Json::parseFromStream(builder, in, &body, &errors)) << errors;
    const Json::Value& identity = body["auth"]["identity"];
    EXPECT_EQ(identity["methods"][0].asString(), "password");
    EXPECT_EQ(identity["password"]["user"]["name"].asString(), user);
    EXPECT_EQ(identity["password"]["user"]["password"].asString(), password);
    EXPECT_EQ(identity["password"]["user"]["domain"]["name"].asString(), domain);
    EXPECT_EQ(body["auth"]["scope"]["project"]["name"].asString(), project);
    EXPECT_EQ(body["auth"].size(), 2u);
}

TEST_F(TokenWrapperTest, AbsentCredentialsGiveEmptyValues)
{
    sys.auth_user_name = nullptr;
    sys.auth_scope_project_name = nullptr;
    ASSERT_TRUE(start());
    ASSERT_TRUE(cloud.wait_for_token_requests(1, milliseconds(3000)));
    const std::string body = cloud.token_requests()[0].body;
    EXPECT_NE(body.find("{\"user\": {\"name\": \"\",\"password\""), std::string::npos) << body;
    EXPECT_NE(body.find("{\"project\": {\"name\": \"\"}}}}"), std::string::npos) << body;
}

TEST_F(TokenWrapperTest, InitRefusesMissingSettings)
{
    EXPECT_FALSE(wrapper->Init(nullptr));

    sys.token_server = nullptr;
    EXPECT_FALSE(wrapper->Init(&sys));
    EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "initRequestPostHeader: property not config"));
    EXPECT_FALSE(wrapper->Start());

    sys.token_server = "";
    EXPECT_FALSE(wrapper->Init(&sys));
    EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "initRequestPostHeader: token_server invalid"));
    EXPECT_EQ(logs.count(APT_PRIO_ERROR, "Init: fail"), 2u);

    // A later open with a usable setting still works, with one header line.
    sys.token_server = url.c_str();
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token("fake-token-1"));
    EXPECT_EQ(cloud.token_requests()[0].header("Content-type"), "application/json");
}

TEST_F(TokenWrapperTest, SecondInitAndStartStartNoSecondThread)
{
    ASSERT_TRUE(start());
    EXPECT_TRUE(wrapper->Init(&sys));
    EXPECT_FALSE(wrapper->Start());
    ASSERT_TRUE(wait_token("fake-token-1"));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(cloud.token_request_count(), 1u);
    EXPECT_EQ(logs.count(APT_PRIO_INFO, "thread: start ......"), 1u);
}

TEST_F(TokenWrapperTest, DestructionDuringARequestReturnsPromptly)
{
    token_reply late;
    late.delay_ms = 8000;
    cloud.set_token_reply(late);
    wrapper->SetTimeouts(10000, 10000);
    ASSERT_TRUE(start());
    ASSERT_TRUE(cloud.wait_for_token_requests(1, milliseconds(3000)));
    steady_clock::time_point begin = steady_clock::now();
    wrapper.reset();
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begin).count(), 3000);
}

TEST_F(TokenWrapperTest, DestructionDuringTheWaitReturnsPromptly)
{
    wrapper->SetWaits(60000, 5000);
    ASSERT_TRUE(start());
    ASSERT_TRUE(wait_token("fake-token-1"));
    std::this_thread::sleep_for(milliseconds(50));  // into the one-minute wait
    steady_clock::time_point begin = steady_clock::now();
    wrapper.reset();
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begin).count(), 2000);
}

// ---- authinfo_properties_load, on real APR XML ----

class AuthInfoTest : public ::testing::Test {
protected:
    void SetUp() override { apr_pool_create(&pool, NULL); }
    void TearDown() override { apr_pool_destroy(pool); }
    // Parses xml and loads auth_info and its auth_identity/auth_scope children, as the plug-ins do.
    void load(const std::string& xml)
    {
        apr_xml_parser* parser = apr_xml_parser_create(pool);
        ASSERT_EQ(apr_xml_parser_feed(parser, xml.data(), xml.size()), APR_SUCCESS);
        apr_xml_doc* doc = NULL;
        ASSERT_EQ(apr_xml_parser_done(parser, &doc), APR_SUCCESS);
        for (const apr_xml_elem* section = doc->root->first_child; section; section = section->next) {
            if (strcasecmp(section->name, "auth_info") != 0)
                continue;
            EXPECT_TRUE(authinfo_properties_load(&sys, section, pool));
            for (const apr_xml_elem* e = section->first_child; e; e = e->next) {
                if (strcasecmp(e->name, "auth_identity") == 0 || strcasecmp(e->name, "auth_scope") == 0) {
                    EXPECT_TRUE(authinfo_properties_load(&sys, e, pool));
                }
            }
        }
    }
    apr_pool_t* pool = NULL;
    system_t sys = {};
};

TEST_F(AuthInfoTest, ReadsAttributesInAnyCaseLaterOnesWinning)
{
    load("<durnel><AUTH_INFO Token_Interval=\"12abc\" TOKEN_SERVER=\"https://id/v3\" other=\"x\">"
         "<auth_identity user_name=\"u1\" USER_PASSWORD=\"p\" user_domain_name=\"d\"/>"
         "<ignored user_name=\"nobody\"/>"
         "<Auth_Scope scope_project_name=\"proj\" user_name=\"u2\"/>"
         "</AUTH_INFO></durnel>");
    EXPECT_EQ(sys.token_interval_sec, 12);
    EXPECT_STREQ(sys.token_server, "https://id/v3");
    EXPECT_STREQ(sys.auth_user_name, "u2");
    EXPECT_STREQ(sys.auth_user_password, "p");
    EXPECT_STREQ(sys.auth_user_domain_name, "d");
    EXPECT_STREQ(sys.auth_scope_project_name, "proj");
}

TEST_F(AuthInfoTest, NonNumericIntervalReadsAsZeroAndStartsNoThread)
{
    fakecloud::fake_cloud cloud;
    std::string url = cloud.token_url();
    load("<pelka><auth_info token_interval=\"abc\" token_server=\"" + url + "\"/></pelka>");
    EXPECT_EQ(sys.token_interval_sec, 0);

    CTokenWrapper wrapper;
    EXPECT_TRUE(wrapper.Init(&sys));
    EXPECT_FALSE(wrapper.Start());
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(cloud.token_request_count(), 0u);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new log_environment);
    return RUN_ALL_TESTS();
}
