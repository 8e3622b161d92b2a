/*
 * The access-token client: a thread of its own posts a password-authentication
 * request to the identity endpoint over HTTPS, keeps the token from the
 * "X-Subject-Token" answer header for the WebSocket handshakes and writes it to
 * the token file. One process-wide instance per plug-in, `tokenwrapper`.
 *
 * The plug-in supplies the complete `system_t` (struct tag `system_t`, with the
 * six token fields below) in its header "cloud_access_plugin.h"; this header
 * needs only the forward declaration.
 *
 * Threads: Init, Start and Stop run on the engine-open/close path (server
 * thread); GetToken on any thread that connects; RunLoop on the token thread.
 */
#ifndef CLOUD_ACCESS_TOKEN_WRAPPER_H
#define CLOUD_ACCESS_TOKEN_WRAPPER_H

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include <apr_pools.h>
#include <apr_xml.h>
#include <curl/curl.h>

#include "apt.h"

/*
 * The plug-in's general settings; the token client reads token_interval_sec,
 * token_server, auth_user_name, auth_user_password, auth_user_domain_name and
 * auth_scope_project_name.
 */
typedef struct system_t system_t;

typedef enum _HTTP_ERROR_CODE {
    HTTP_ERROR_NONE = 0,
    HTTP_ERROR_URL_INVALID = 1,
    HTTP_ERROR_SET_URL = 2,
    HTTP_ERROR_SET_HEADER = 3,
    HTTP_ERROR_SET_CONNECT_TIMEOUT = 4,
    HTTP_ERROR_SET_REQUEST_TIMEOUT = 5,
    HTTP_ERROR_CURL_EASR_INIT = 6,
    HTTP_ERROR_CURL_MULTI_INIT = 7,
    HTTP_ERROR_DOWNLOADFILE_INVALID = 8,
    HTTP_ERROR_NO_RESPONSE = 9,
    HTTP_ERROR_RESPONSE_MORE_LARGE = 10,
    HTTP_ERROR_CONNECT_FAILED = 11,
    HTTP_ERROR_ACCEPT_TIMEOUT = 12,
    HTTP_ERROR_PERFORM_FAILED = 13
} HTTP_ERROR_CODE;

/* Size of the token buffer; a token holds at most TOKEN_BUFF_SIZE - 1 bytes. */
#define TOKEN_BUFF_SIZE 10240

/* Where the current token is written, relative to the server's working directory. */
#define TOKEN_FILE_PATH "../conf/x_auth_token.txt"

class CTokenWrapper {
public:
    CTokenWrapper();
    ~CTokenWrapper();

    /* Prepares the request from p; false when the client cannot work. A second
     * call after a successful one changes nothing and returns true. */
    bool Init(system_t* p);
    /* Starts the token thread once; false for an interval below 1, without a
     * successful Init, or when the thread already runs. */
    bool Start();
    /* Stops the token thread and waits for it (at most one libcurl progress
     * step when a request is in flight). Idempotent; the destructor calls it. */
    void Stop();
    /* True and the token while a non-empty token is held; else false and
     * token untouched. */
    bool GetToken(std::string& token);

    void RunLoop();
    void SetStopFlag(bool flag);
    bool GetStopFlag() const;

    /* Test seam; call before Start. The clock gives seconds since the epoch,
     * the waits are the 60 s check period and the 5 s retry delay. */
    void SetClock(std::function<time_t()> clock);
    void SetWaits(int check_interval_ms, int retry_delay_ms);
    void SetTimeouts(int connection_time_out_ms, int request_time_out_ms);
    void SetTokenFile(const std::string& path);

private:
    CTokenWrapper(const CTokenWrapper&) = delete;
    CTokenWrapper& operator=(const CTokenWrapper&) = delete;

    void DestoryContext();
    bool init_curl();
    bool initRequestPostHeader();
    bool initRequestPostData();
    HTTP_ERROR_CODE post(const char* url, const std::list<std::string>& headers, const void* data, int len,
                         std::string& response_header, std::string& response_body);

    /* Waits ms milliseconds; false when the stop flag ended the wait. */
    bool wait_ms(int ms);
    /* One fetch; false when it failed and is to be retried after the retry delay. */
    bool fetch_token(time_t aligned);
    void store_token(const std::string& token);
    void write_token_file(const std::string& token);
    static int progress_callback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    pthread_t m_thread;
    pthread_mutex_t m_mutex;                 /* guards m_token_buff and the writing of the token file */
    bool m_bInited;                          /* Init succeeded once */
    std::atomic<bool> m_bStopFlag;           /* the token thread ends at its next check */
    time_t m_last_scan_token_time;           /* interval multiple at which the last answered fetch began */
    int m_nScanTokenIntervalSec;
    system_t* m_pProperity;
    char* m_token_buff;                      /* TOKEN_BUFF_SIZE bytes, NUL-terminated token */
    int connection_time_out_ms_;
    int request_time_out_ms_;
    std::string m_request_url;
    std::list<std::string> m_request_header_list;
    std::string m_request_body_string;
    CURL* curl_handle_;
    struct curl_slist* m_curl_header_list;

    /* Token thread only: a fetch in the current interval got an answer with headers. */
    bool m_bTokenValid;
    bool m_bThreadStarted;                   /* m_thread is joinable */
    bool m_bContextReleased;
    std::mutex m_wait_mutex;                 /* with m_wait_cv: the interruptible waits */
    std::condition_variable m_wait_cv;
    std::function<time_t()> m_clock;
    int m_check_interval_ms;                 /* 60000 */
    int m_retry_delay_ms;                    /* 5000 */
    std::string m_token_file;
};

/* Runs RunLoop on the CTokenWrapper given (nothing for null); returns null. */
void* thread_token_wrapper(void* arg);

/* Finds the "X-Subject-Token" line among the CRLF-terminated header lines of
 * the final answer (the block behind the last status line) and gives its value
 * without surrounding blanks. */
bool find_token_header(const std::string& header_text, std::string& token);

/* True for a token that can go into the handshake: 1 to TOKEN_BUFF_SIZE - 1 bytes, none of them a
 * control byte, blank or DEL. */
bool token_is_usable(const std::string& token);

/* What a libcurl callback keeps of an answer: at most `limit` bytes; past it the transfer fails
 * (fail_past_limit) or the rest is dropped. */
struct bounded_text {
    bounded_text(size_t limit_, bool fail_past_limit_) : limit(limit_), fail_past_limit(fail_past_limit_) {}
    std::string text;
    size_t limit;
    bool fail_past_limit;
};

/* libcurl write and header callback: appends size * count bytes to the bounded_text at user. */
size_t HttpRecvCallBack(void* ptr, size_t size, size_t count, void* user);

/*
 * Fills the six token settings of p from the attributes of elem (names compared
 * without regard to case; later values overwrite earlier ones; strings copied
 * into pool). Always TRUE. Configuration loaders call it for "auth_info" and
 * then for each of its "auth_identity" and "auth_scope" children.
 */
apt_bool_t authinfo_properties_load(system_t* p, const apr_xml_elem* elem, apr_pool_t* pool);

/* The plug-in's process-wide token client. */
extern CTokenWrapper tokenwrapper;

#endif
