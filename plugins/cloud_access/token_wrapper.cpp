#include "token_wrapper.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <new>

#include <apr_strings.h>

#include "apt_log.h"
#include "cloud_access_plugin.h"
#include "json_text.h"

/* Constructed before `endpoint` (this source comes first in the build), destroyed after it. */
CTokenWrapper tokenwrapper;

namespace {

const char TOKEN_HEADER_NAME[] = "X-Subject-Token";

/* What one answer may bring: its header blocks whole (the token is at most 10239 bytes), of its body,
 * which only the debug log shows, the first bytes. */
const size_t RESPONSE_HEADER_LIMIT = 64 * 1024;
const size_t RESPONSE_BODY_KEPT = 4 * 1024;

/* A configuration string for the request body; a setting that was never given is empty. */
std::string json_setting(const char* text)
{
    return text ? json_escape(text) : std::string();
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

/*
 * Finds the token header among the CRLF-terminated header lines. Field names
 * are case-insensitive (and arrive in lower case over HTTP/2), and blanks may
 * follow the colon. A line without its CRLF does not count. Only the final
 * answer counts: libcurl passes the header blocks of interim answers (100
 * Continue) and of redirects too, each starting with its status line.
 */
bool find_token_header(const std::string& header_text, std::string& token)
{
    const size_t name_len = sizeof(TOKEN_HEADER_NAME) - 1;
    bool found = false;
    std::string value;
    size_t start = 0;
    while (start < header_text.size()) {
        size_t end = header_text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        if (header_text.compare(start, 5, "HTTP/") == 0) {
            found = false;
        } else if (!found && end - start > name_len && header_text[start + name_len] == ':' &&
                   strncasecmp(header_text.c_str() + start, TOKEN_HEADER_NAME, name_len) == 0) {
            size_t from = start + name_len + 1;
            while (from < end && is_blank(header_text[from]))
                ++from;
            size_t to = end;
            while (to > from && is_blank(header_text[to - 1]))
                --to;
            value.assign(header_text, from, to - from);
            found = true;
        }
        start = end + 2;
    }
    if (found)
        token = value;
    return found;
}

/* Where the token holds a control byte, blank or DEL; npos when nowhere. It goes into the
 * handshake as a header value: a line break or other control byte in it would let the identity
 * endpoint (or anyone on its path) add header lines of its own. */
static size_t unsafe_token_byte(const std::string& token)
{
    for (size_t i = 0; i < token.size(); ++i) {
        unsigned char c = (unsigned char)token[i];
        if (c < 0x21 || c == 0x7F)
            return i;
    }
    return std::string::npos;
}

bool token_is_usable(const std::string& token)
{
    return !token.empty() && token.size() < TOKEN_BUFF_SIZE && unsafe_token_byte(token) == std::string::npos;
}

CTokenWrapper::CTokenWrapper()
    : m_thread(),
      m_bInited(false),
      m_bStopFlag(false),
      m_last_scan_token_time(0),
      m_nScanTokenIntervalSec(0),
      m_pProperity(NULL),
      m_token_buff(NULL),
      connection_time_out_ms_(10000),
      request_time_out_ms_(10000),
      curl_handle_(NULL),
      m_curl_header_list(NULL),
      m_bTokenValid(false),
      m_bThreadStarted(false),
      m_bContextReleased(false),
      m_clock([] { return time(NULL); }),
      m_check_interval_ms(60000),
      m_retry_delay_ms(5000),
      m_token_file(TOKEN_FILE_PATH)
{
    /* Ready from load: connects call GetToken even when Init never ran. */
    pthread_mutex_init(&m_mutex, NULL);
}

CTokenWrapper::~CTokenWrapper()
{
    Stop();
    DestoryContext();
}

bool CTokenWrapper::Init(system_t* p)
{
    if (!p)
        return false;
    if (m_bInited)
        return true;
    m_pProperity = p;
    m_nScanTokenIntervalSec = p->token_interval_sec;
    if (!m_token_buff) {
        m_token_buff = new (std::nothrow) char[TOKEN_BUFF_SIZE];
        if (!m_token_buff)
            return false;
        memset(m_token_buff, 0, TOKEN_BUFF_SIZE);
    }
    if (!init_curl()) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "Init: fail");
        return false;
    }
    m_bInited = true;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "Init: success");
    return true;
}

bool CTokenWrapper::init_curl()
{
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "init_curl: curl_global_init fail");
        return false;
    }
    if (!curl_handle_)
        curl_handle_ = curl_easy_init();
    if (!curl_handle_) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "init_curl: curl_easy_init fail");
        return false;
    }
    if (!initRequestPostHeader() || !initRequestPostData())
        return false;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "init_curl: success");
    return true;
}

bool CTokenWrapper::initRequestPostHeader()
{
    if (!m_pProperity || !m_pProperity->token_server) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "initRequestPostHeader: property not config");
        return false;
    }
    if (m_pProperity->token_server[0] == '\0') {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "initRequestPostHeader: token_server invalid");
        return false;
    }
    m_request_url = m_pProperity->token_server;
    /* Rebuilt, not appended to, so that an Init after a failed one sends one line. */
    m_request_header_list.clear();
    m_request_header_list.push_back("Content-type: application/json");
    return true;
}

bool CTokenWrapper::initRequestPostData()
{
    const system_t* p = m_pProperity;
    m_request_body_string = std::string("{\"auth\": {\"identity\": {\"methods\": [\"password\"],\"password\": "
                                        "{\"user\": {\"name\": \"") +
                            json_setting(p->auth_user_name) + "\",\"password\": \"" +
                            json_setting(p->auth_user_password) + "\",\"domain\": {\"name\": \"" +
                            json_setting(p->auth_user_domain_name) +
                            "\"}}}},\"scope\": {\"project\": {\"name\": \"" +
                            json_setting(p->auth_scope_project_name) + "\"}}}}";
    return true;
}

bool CTokenWrapper::Start()
{
    if (m_nScanTokenIntervalSec < 1 || !m_bInited || m_bThreadStarted)
        return false;
    m_bStopFlag = false;
    if (pthread_create(&m_thread, NULL, thread_token_wrapper, this) != 0)
        return false;
    m_bThreadStarted = true;
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "thread: create success, tid=%lu", (unsigned long)m_thread);
    return true;
}

void CTokenWrapper::Stop()
{
    SetStopFlag(true);
    if (m_bThreadStarted) {
        pthread_join(m_thread, NULL);
        m_bThreadStarted = false;
    }
}

void CTokenWrapper::SetStopFlag(bool flag)
{
    {
        std::lock_guard<std::mutex> lock(m_wait_mutex);
        m_bStopFlag = flag;
    }
    m_wait_cv.notify_all();
}

bool CTokenWrapper::GetStopFlag() const { return m_bStopFlag; }

void CTokenWrapper::SetClock(std::function<time_t()> clock) { m_clock = clock; }

void CTokenWrapper::SetWaits(int check_interval_ms, int retry_delay_ms)
{
    m_check_interval_ms = check_interval_ms;
    m_retry_delay_ms = retry_delay_ms;
}

void CTokenWrapper::SetTimeouts(int connection_time_out_ms, int request_time_out_ms)
{
    connection_time_out_ms_ = connection_time_out_ms;
    request_time_out_ms_ = request_time_out_ms;
}

void CTokenWrapper::SetTokenFile(const std::string& path) { m_token_file = path; }

bool CTokenWrapper::GetToken(std::string& token)
{
    bool held = false;
    pthread_mutex_lock(&m_mutex);
    if (m_token_buff && m_token_buff[0] != '\0') {
        token = m_token_buff;
        held = true;
    }
    pthread_mutex_unlock(&m_mutex);
    return held;
}

bool CTokenWrapper::wait_ms(int ms)
{
    std::unique_lock<std::mutex> lock(m_wait_mutex);
    return !m_wait_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bStopFlag.load(); });
}

void CTokenWrapper::RunLoop()
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "thread: start ......");
    const time_t interval = m_nScanTokenIntervalSec;
    while (!m_bStopFlag) {
        time_t aligned = m_clock() / interval * interval;
        bool stopped = false;
        while (m_bTokenValid && aligned - m_last_scan_token_time < interval) {
            if (!wait_ms(m_check_interval_ms)) {
                stopped = true;
                break;
            }
            aligned = m_clock() / interval * interval;
        }
        if (stopped)
            break;

        bool answered;
        try {
            answered = fetch_token(aligned);
        } catch (std::exception& e) {
            /* Out of memory, say: a failed fetch like any other; the thread goes on. */
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RunLoop: get_token, fail, %s", e.what());
            answered = false;
        }
        if (m_bStopFlag)
            break;
        if (!answered) {
            m_bTokenValid = false;
            wait_ms(m_retry_delay_ms);
        }
    }
}

bool CTokenWrapper::fetch_token(time_t aligned)
{
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "RunLoop: get_token, last_timestamp=%u ...... ",
            (unsigned)m_last_scan_token_time);
    std::string response_header;
    std::string response_body;
    HTTP_ERROR_CODE result = post(m_request_url.c_str(), m_request_header_list, m_request_body_string.data(),
                                  (int)m_request_body_string.size(), response_header, response_body);
    if (m_bStopFlag)
        return true;
    if (result != HTTP_ERROR_NONE) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RunLoop: get_token, fail");
        return false;
    }
    if (response_header.empty()) {
        /* Treated like a failure: an immediate retry would hammer the endpoint. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RunLoop: get_token, header=null");
        return false;
    }
    /* One line says what became of the answer: "succ" only for a token that is taken. */
    std::string token;
    const bool found = find_token_header(response_header, token);
    if (found && token_is_usable(token)) {
        apt_log(APT_LOG_MARK, APT_PRIO_INFO, "RunLoop: get_token, succ");
        store_token(token);
    } else if (!found) {
        apt_log(APT_LOG_MARK, APT_PRIO_CRITICAL, "RunLoop: get_token, no token header in the answer");
    } else if (token.empty()) {
        /* A token header without a value: nothing overflowed, so it is not said as an overflow. */
        apt_log(APT_LOG_MARK, APT_PRIO_CRITICAL, "RunLoop: get_token, token empty");
    } else if (token.size() < TOKEN_BUFF_SIZE) {
        /* Said plainly, without the token: it is no size problem. A token that would break the
         * handshake's header is an answer gone wrong (or tampered with on the way): asked again
         * soon, like a failed request. */
        size_t at = unsafe_token_byte(token);
        apt_log(APT_LOG_MARK, APT_PRIO_CRITICAL,
                "RunLoop: get_token, token refused: byte 0x%02x at offset %lu is a control byte or blank",
                (unsigned)(unsigned char)token[at], (unsigned long)at);
        return false;
    } else {
        apt_log(APT_LOG_MARK, APT_PRIO_CRITICAL, "RunLoop: get_token, token buffer oveflow");
    }
    m_last_scan_token_time = aligned;
    m_bTokenValid = true;
    return true;
}

void CTokenWrapper::store_token(const std::string& token)
{
    pthread_mutex_lock(&m_mutex);
    /* The whole buffer, so that a shorter token leaves nothing of the one before. */
    memset(m_token_buff, 0, TOKEN_BUFF_SIZE);
    memcpy(m_token_buff, token.data(), token.size());
    /* Under the lock: whoever sees the new token also finds it in the file. */
    write_token_file(token);
    pthread_mutex_unlock(&m_mutex);
}

void CTokenWrapper::write_token_file(const std::string& token)
{
    /* Both plug-ins write this file, each from its own thread: a whole new file renamed over the old
     * one, so that a reader never finds a mix of two tokens. Readable by the server's user only (a
     * bearer token); mkstemp makes it so. */
    std::string tmp = m_token_file + ".XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RunLoop: get_token, open file fail");
        return;
    }
    const char* p = token.data();
    size_t left = token.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= (size_t)n;
    }
    const bool closed = close(fd) == 0;
    if (left > 0 || !closed || rename(tmp.c_str(), m_token_file.c_str()) != 0) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "RunLoop: get_token, write file fail, errno=%d", errno);
        unlink(tmp.c_str());
    }
}

int CTokenWrapper::progress_callback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    /* Non-zero aborts the transfer, so a stop does not wait out the request timeout. */
    return static_cast<CTokenWrapper*>(user)->m_bStopFlag ? 1 : 0;
}

HTTP_ERROR_CODE CTokenWrapper::post(const char* url, const std::list<std::string>& headers, const void* data,
                                    int len, std::string& response_header, std::string& response_body)
{
    if (!url || url[0] == '\0') {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "post: request.uri error: %s", url ? url : "");
        return HTTP_ERROR_URL_INVALID;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "post: request.uri=%s", url);

    CURL* h = curl_handle_;
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, (long)connection_time_out_ms_);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, (long)request_time_out_ms_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    /* Deployments use self-signed identity endpoints. */
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    /* Kept within bounds: the headers whole (a longer answer fails), of the body, which only the
     * debug log shows, the start. */
    bounded_text header_text(RESPONSE_HEADER_LIMIT, true);
    bounded_text body_text(RESPONSE_BODY_KEPT, false);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, HttpRecvCallBack);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body_text);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, HttpRecvCallBack);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &header_text);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CTokenWrapper::progress_callback);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_URL, url);

    if (m_curl_header_list) {
        curl_slist_free_all(m_curl_header_list);
        m_curl_header_list = NULL;
    }
    std::string joined;
    for (const std::string& line : headers) {
        struct curl_slist* next = curl_slist_append(m_curl_header_list, line.c_str());
        if (next)
            m_curl_header_list = next;
        joined += line;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "post: request.header=%s", joined.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, m_curl_header_list);

    if (data && len != 0) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, data);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, (long)len);
    } else {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, (const char*)NULL);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
    }

    CURLcode e = curl_easy_perform(h);
    response_header.swap(header_text.text);
    response_body.swap(body_text.text);
    if (e != CURLE_OK) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "post: curl_easy_perform fail, errno=%d", (int)e);
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "post: curl_easy_perform: response.header=%s", response_header.c_str());
        apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "post: curl_easy_perform: response.body=%s", response_body.c_str());
        if (e == CURLE_COULDNT_CONNECT)
            return HTTP_ERROR_CONNECT_FAILED;
        if (e == CURLE_OPERATION_TIMEDOUT)
            return HTTP_ERROR_ACCEPT_TIMEOUT;
        return HTTP_ERROR_PERFORM_FAILED;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 201) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "post: curl_easy_getinfo fail, status_code=%d", (int)status);
        return HTTP_ERROR_PERFORM_FAILED;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "post: curl_easy_perform success");
    return HTTP_ERROR_NONE;
}

void CTokenWrapper::DestoryContext()
{
    /* Only after the thread is joined (Stop), so nothing can still use what goes here. */
    if (m_curl_header_list) {
        curl_slist_free_all(m_curl_header_list);
        m_curl_header_list = NULL;
    }
    if (curl_handle_) {
        curl_easy_cleanup(curl_handle_);
        curl_handle_ = NULL;
    }
    if (!m_bContextReleased) {
        pthread_mutex_lock(&m_mutex);
        delete[] m_token_buff;
        m_token_buff = NULL;
        pthread_mutex_unlock(&m_mutex);
        pthread_mutex_destroy(&m_mutex);
        m_bContextReleased = true;
    }
}

void* thread_token_wrapper(void* arg)
{
    CTokenWrapper* wrapper = static_cast<CTokenWrapper*>(arg);
    try {
        if (wrapper)
            wrapper->RunLoop();
    } catch (...) {
        /* Nothing may leave a thread: it would end the server. */
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "thread: stopped by an unexpected error");
    }
    return NULL;
}

size_t HttpRecvCallBack(void* ptr, size_t size, size_t count, void* user)
{
    const size_t n = size * count;
    bounded_text* out = static_cast<bounded_text*>(user);
    /* Called from libcurl's C code: nothing may be thrown through it. A count other than n fails the
     * transfer. */
    try {
        const size_t room = out->limit > out->text.size() ? out->limit - out->text.size() : 0;
        if (n > room) {
            if (out->fail_past_limit)
                return n == 0 ? 1 : 0;
            out->text.append(static_cast<const char*>(ptr), room);
            return n;
        }
        out->text.append(static_cast<const char*>(ptr), n);
        return n;
    } catch (...) {
        return n == 0 ? 1 : 0;
    }
}

apt_bool_t authinfo_properties_load(system_t* p, const apr_xml_elem* elem, apr_pool_t* pool)
{
    if (!p || !elem)
        return TRUE;
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        if (!attr->name)
            continue;
        const char* value = attr->value ? attr->value : "";
        if (strcasecmp(attr->name, "token_interval") == 0) {
            /* Leading digits only, as atoi reads them, but without its overflow. */
            long n = strtol(value, NULL, 10);
            if (n > INT_MAX)
                n = INT_MAX;
            if (n < INT_MIN)
                n = INT_MIN;
            p->token_interval_sec = (int)n;
        } else if (strcasecmp(attr->name, "token_server") == 0) {
            p->token_server = apr_pstrdup(pool, value);
        } else if (strcasecmp(attr->name, "user_name") == 0) {
            p->auth_user_name = apr_pstrdup(pool, value);
        } else if (strcasecmp(attr->name, "user_password") == 0) {
            p->auth_user_password = apr_pstrdup(pool, value);
        } else if (strcasecmp(attr->name, "user_domain_name") == 0) {
            p->auth_user_domain_name = apr_pstrdup(pool, value);
        } else if (strcasecmp(attr->name, "scope_project_name") == 0) {
            p->auth_scope_project_name = apr_pstrdup(pool, value);
        }
    }
    return TRUE;
}
