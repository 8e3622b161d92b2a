#include "recog_grammar.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <exception>
#include <utility>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>

#include "apt_log.h"
#include "mrcp_start_line.h"
#include "recog_engine.h"
#include "rule.h"

namespace {

const char k_blanks[] = " \t\n\r";
const size_t k_buffer_step = 8192;
const size_t k_zero_tail = 4;

bool starts_with_nocase(const std::string& text, const char* prefix)
{
    size_t n = strlen(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

/* Closes a file descriptor when it goes out of scope. */
class fd_closer {
public:
    explicit fd_closer(int fd) : fd_(fd) {}
    ~fd_closer() { close(fd_); }
    fd_closer(const fd_closer&) = delete;
    fd_closer& operator=(const fd_closer&) = delete;

private:
    int fd_;
};

/*
 * Reads a whole local file; the grammar is its text up to the first zero byte. Only a
 * regular file is read: opening a FIFO waits for a writer and a device may never end,
 * either of which would stop the engine task and every channel with it. The open does
 * not wait (O_NONBLOCK); on a regular file the flag changes nothing, so the reads below
 * are ordinary ones.
 */
bool read_local_file(const std::string& uri, std::string& text)
{
    std::string file_name = grammar_file_name(uri);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "file_name:%s", log_excerpt(file_name).c_str());

    int fd = open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "apr_file_open failed <%s>", log_excerpt(uri).c_str());
        return false;
    }
    fd_closer closer(fd);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "apr_file_info_get failed <%s>", log_excerpt(uri).c_str());
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "grammar file is not a regular file <%s>", log_excerpt(uri).c_str());
        return false;
    }
    if (st.st_size < 0 || (unsigned long long)st.st_size > GRAMMAR_MAX_SIZE) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "grammar file larger than %lu bytes <%s>",
                (unsigned long)GRAMMAR_MAX_SIZE, log_excerpt(uri).c_str());
        return false;
    }
    /* At most the size seen: a file that grows while it is read is not followed. */
    std::string data((size_t)st.st_size, '\0');
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = read(fd, &data[done], data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "apr_file_read failed <%s>", log_excerpt(uri).c_str());
            return false;
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    /* An empty file is an empty grammar; the parse refuses it later. */
    text.assign(data.c_str(), strnlen(data.c_str(), done));
    return true;
}

}  // namespace

std::string& trim(std::string& text)
{
    size_t first = text.find_first_not_of(k_blanks);
    if (first == std::string::npos) {
        text.clear();
        return text;
    }
    size_t last = text.find_last_not_of(k_blanks);
    text = text.substr(first, last - first + 1);
    return text;
}

std::string trim_space(const char* text, size_t length)
{
    std::string copy;
    if (text)
        copy.assign(text, length);
    return trim(copy);
}

apt_bool_t get_content_id(const char* value, std::string& id)
{
    if (!value || !*value)
        return FALSE;
    std::string text(value);
    trim(text);
    if (text.size() >= 2 && text[0] == '<' && text[text.size() - 1] == '>')
        text = text.substr(1, text.size() - 2);
    id = text;
    return TRUE;
}

apt_bool_t buffer_create(_auto_buf* buf)
{
    if (!buf)
        return FALSE;
    buf->len = 0;
    buf->capacity = 0;
    buf->too_large = false;
    buf->data = (char*)calloc(1, k_buffer_step + k_zero_tail);
    if (!buf->data)
        return FALSE;
    buf->capacity = k_buffer_step;
    return TRUE;
}

apt_bool_t write_content(_auto_buf* buf, const char* bytes, size_t n)
{
    if (!buf || !buf->data || !bytes || n == 0)
        return FALSE;
    if (n > GRAMMAR_MAX_SIZE - buf->len) {
        buf->too_large = true;
        return FALSE;
    }
    if (buf->len + n > buf->capacity) {
        /* Doubling keeps a large fetch from being copied over and over, one chunk at a time. */
        size_t capacity = buf->len + n + k_buffer_step;
        if (capacity < 2 * buf->capacity)
            capacity = 2 * buf->capacity;
        if (capacity > GRAMMAR_MAX_SIZE)
            capacity = GRAMMAR_MAX_SIZE;
        char* data = (char*)realloc(buf->data, capacity + k_zero_tail);
        if (!data)
            return FALSE;
        buf->data = data;
        buf->capacity = capacity;
    }
    memcpy(buf->data + buf->len, bytes, n);
    buf->len += n;
    memset(buf->data + buf->len, 0, k_zero_tail);
    return TRUE;
}

apt_bool_t buffer_destroy(_auto_buf* buf)
{
    if (!buf || !buf->data || buf->capacity == 0)
        return FALSE;
    free(buf->data);
    buf->data = NULL;
    buf->capacity = 0;
    buf->len = 0;
    return TRUE;
}

size_t WriteCallBack(char* data, size_t size, size_t count, void* buffer)
{
    size_t n = size * count;
    if (n == 0)
        return 0;
    /* A short count makes libcurl fail the transfer: a grammar is never kept cut off. */
    if (size != 0 && n / size != count)
        return 0;
    return write_content((_auto_buf*)buffer, data, n) ? n : 0;
}

fetch_cancel::fetch_cancel() : multi_(curl_multi_init()) {}

fetch_cancel::~fetch_cancel()
{
    if (multi_)
        curl_multi_cleanup(multi_);
}

void fetch_cancel::cancel()
{
    cancelled_ = true;
    if (multi_)
        curl_multi_wakeup(multi_);
}

namespace {

/* Runs the transfer in the cancel's multi handle: its wait wakes at once on a cancel, not only
 * when the server answers or the timeout passes. CURLE_OK or the transfer's own failure; 'cut'
 * when a cancel ended it. */
CURLcode run_transfer(CURL* curl, fetch_cancel& cancel, bool* cut)
{
    CURLM* multi = cancel.multi();
    *cut = false;
    if (!multi || curl_multi_add_handle(multi, curl) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode res = CURLE_OK;
    int running = 1;
    while (running) {
        if (cancel.cancelled()) {
            *cut = true;
            break;
        }
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            res = CURLE_FAILED_INIT;
            break;
        }
        if (running && curl_multi_poll(multi, NULL, 0, 1000, NULL) != CURLM_OK) {
            res = CURLE_FAILED_INIT;
            break;
        }
    }
    if (!running && !*cut) {
        int left = 0;
        CURLMsg* msg = NULL;
        while ((msg = curl_multi_info_read(multi, &left)) != NULL) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == curl)
                res = msg->data.result;
        }
    }
    curl_multi_remove_handle(multi, curl);
    return res;
}

}  // namespace

apt_bool_t read_uri_file(const char* uri, long timeout_ms, std::string& text, std::string& error,
                         fetch_cancel& cancel)
{
    if (!uri) {
        error = "no uri!";
        return FALSE;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        error = "curl_easy_init failed!";
        return FALSE;
    }
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms > 0 ? timeout_ms : GRAMMAR_FETCH_TIMEOUT_MAX_MS);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteCallBack);
    /* A server that announces a larger body is refused before anything is read. */
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)GRAMMAR_MAX_SIZE);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");

    _auto_buf buf;
    if (!buffer_create(&buf)) {
        error = "create buffer failed!";
        curl_easy_cleanup(curl);
        return FALSE;
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &buf);
    curl_easy_setopt(curl, CURLOPT_URL, uri);

    apt_bool_t ok = FALSE;
    char message[128];
    bool cut = false;
    CURLcode res = run_transfer(curl, cancel, &cut);
    long http_status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_status);
    if (cut) {
        error = "cancelled!";
    } else if (buf.too_large || res == CURLE_FILESIZE_EXCEEDED) {
        snprintf(message, sizeof(message), "grammar larger than %lu bytes!", (unsigned long)GRAMMAR_MAX_SIZE);
        error = message;
    } else if (res != CURLE_OK) {
        snprintf(message, sizeof(message), "return %d while perform!", (int)res);
        error = message;
    } else if (http_status < 200 || http_status > 299) {
        /* An error page is not a grammar. */
        snprintf(message, sizeof(message), "http status %ld while perform!", http_status);
        error = message;
    } else {
        text.assign(buf.data);
        ok = TRUE;
    }
    buffer_destroy(&buf);
    curl_easy_cleanup(curl);
    return ok;
}

std::string grammar_file_name(const std::string& uri)
{
    std::string name = uri;
    size_t pos = name.find("file://");
    if (pos == std::string::npos)
        return name;
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "pos:%d", (int)pos);
    size_t triple = name.find("file:///");
    if (triple != std::string::npos)
        name = name.substr(triple + 8);
    size_t dbl = name.find("file://");
    if (dbl != std::string::npos)
        name = name.substr(dbl + 7);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "***tmp: (%s)", log_excerpt(name).c_str());
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\')
            name[i] = '/';
    }
    size_t colon = name.find(':');
    if (colon != std::string::npos)
        name = "/mnt/" + name.substr(0, colon) + name.substr(colon + 1);
    return name;
}

long recog_fetch_timeout_ms(apr_size_t fetch_timeout)
{
    /* Fetch-Timeout is in milliseconds. */
    if (fetch_timeout >= 1 && fetch_timeout <= (apr_size_t)GRAMMAR_FETCH_TIMEOUT_MAX_MS)
        return (long)fetch_timeout;
    return GRAMMAR_FETCH_TIMEOUT_MAX_MS;
}

const std::string* grammar_store::find(const std::string& id) const
{
    std::map<std::string, std::string>::const_iterator it = grammars_.find(id);
    return it == grammars_.end() ? NULL : &it->second;
}

bool grammar_store::store(const std::string& id, std::string&& text)
{
    std::map<std::string, std::string>::iterator it = grammars_.find(id);
    size_t kept = bytes_;
    if (it != grammars_.end())
        kept -= it->first.size() + it->second.size() + GRAMMAR_ENTRY_BYTES;
    size_t entry = id.size() + text.size() + GRAMMAR_ENTRY_BYTES;
    if (entry > GRAMMAR_CHANNEL_MAX_BYTES - kept)
        return false;
    if (it == grammars_.end())
        grammars_[id] = std::move(text);
    else
        it->second = std::move(text);
    bytes_ = kept + entry;
    return true;
}

void grammar_store::clear()
{
    grammars_.clear();
    bytes_ = 0;
}

namespace {

/* The last step of every load: the text under its id, which becomes current. */
int store_grammar(recog_channel_t* recog_channel, const std::string& id, std::string&& text)
{
    const std::string excerpt = log_excerpt(text);
    recog_context_t* context = recog_channel->context;
    if (!context->grammars.store(id, std::move(text))) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "grammars of the channel would pass %lu bytes, <%s> refused",
                (unsigned long)GRAMMAR_CHANNEL_MAX_BYTES, log_excerpt(id).c_str());
        return MRCP_STATUS_CODE_METHOD_FAILED;
    }
    apt_log(APT_LOG_MARK, APT_PRIO_INFO, "add grammar to list <%s>{%s}", log_excerpt(id).c_str(), excerpt.c_str());
    context->grammar_id = id;
    return MRCP_STATUS_CODE_SUCCESS;
}

}  // namespace

int recog_grammar_load(recog_channel_t* recog_channel, const char* content_id, const char* content_type,
                       const apt_str_t* body, apr_size_t fetch_timeout, apr_pool_t* pool,
                       grammar_fetch_request* fetch)
{
    (void)pool; /* a local file is read without the channel's pool */
    try {
        if (!recog_channel || !recog_channel->context || !fetch) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "recog_grammar_load: no channel");
            return MRCP_STATUS_CODE_METHOD_FAILED;
        }
        long timeout_ms = recog_fetch_timeout_ms(fetch_timeout);
        const char* body_text = body ? body->buf : NULL;
        size_t body_length = body_text ? body->length : 0;
        std::string id = content_id ? content_id : "";
        trim(id);
        if (body_length > GRAMMAR_MAX_SIZE) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "grammar larger than %lu bytes <%s>",
                    (unsigned long)GRAMMAR_MAX_SIZE, log_excerpt(id).c_str());
            return MRCP_STATUS_CODE_METHOD_FAILED;
        }

        std::string text;
        if (!content_type || strcasecmp(content_type, "text/uri-list") != 0) {
            text.assign(body_text ? body_text : "", body_length);
        } else {
            /* The request's body stays as it came; the URI is a trimmed copy. */
            std::string uri = trim_space(body_text, body_length);
            if (uri.find('\0') != std::string::npos) {
                apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "invalid uri <%s>", log_excerpt(uri).c_str());
                return MRCP_STATUS_CODE_METHOD_FAILED;
            }
            if (starts_with_nocase(uri, "http://") || starts_with_nocase(uri, "https://")) {
                /* The network may take up to the timeout: not on the engine task. */
                fetch->id = id;
                fetch->uri = uri;
                fetch->timeout_ms = timeout_ms;
                return GRAMMAR_LOAD_FETCH;
            }
            if (!read_local_file(uri, text))
                return MRCP_STATUS_CODE_METHOD_FAILED;
        }
        return store_grammar(recog_channel, id, std::move(text));
    } catch (const std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "recog_grammar_load failed: %s", e.what());
        return MRCP_STATUS_CODE_METHOD_FAILED;
    }
}

int recog_grammar_fetched(recog_channel_t* recog_channel, const grammar_fetch_request& fetch, bool ok,
                          std::string& text, const std::string& error)
{
    try {
        if (!ok) {
            apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "read_uri_file failed <%s>{%s}", log_excerpt(fetch.uri).c_str(),
                    error.c_str());
            return MRCP_STATUS_CODE_METHOD_FAILED;
        }
        return store_grammar(recog_channel, fetch.id, std::move(text));
    } catch (const std::exception& e) {
        apt_log(APT_LOG_MARK, APT_PRIO_ERROR, "recog_grammar_load failed: %s", e.what());
        return MRCP_STATUS_CODE_METHOD_FAILED;
    }
}
