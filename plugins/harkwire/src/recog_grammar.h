/*
 * Grammar loading: a grammar given inline in a request body, or named by a
 * URI in a "text/uri-list" body and fetched over http/https or read from a
 * local file, is stored in the channel's recognition context under its id.
 * Also the small text routines that DEFINE-GRAMMAR and RECOGNIZE use for ids
 * and bodies, and the growable buffer an http fetch fills.
 *
 * Everything here runs on the engine task, except read_uri_file, which runs on
 * a fetch's own thread (recog_fetch.h), and fetch_cancel::cancel.
 */
#ifndef HARKWIRE_RECOG_GRAMMAR_H
#define HARKWIRE_RECOG_GRAMMAR_H

#include <stddef.h>

#include <atomic>
#include <map>
#include <string>

#include <apr_pools.h>
#include <curl/curl.h>

#include "apt.h"
#include "apt_string.h"

struct recog_channel_t;

/* No grammar, inline, fetched or read from a file, may be larger than this. */
#define GRAMMAR_MAX_SIZE ((size_t)16 * 1024 * 1024)

/* What one channel may keep in stored grammars (see grammar_store): two of the largest
 * and smaller ones besides. */
#define GRAMMAR_CHANNEL_MAX_BYTES ((size_t)40 * 1024 * 1024)

/*
 * The grammars a channel keeps, texts under their ids, and the bytes they take: each
 * entry counts its id, its text and GRAMMAR_ENTRY_BYTES for the entry itself, so that
 * many small grammars are bounded as well as a few large ones. Engine task only.
 */
#define GRAMMAR_ENTRY_BYTES ((size_t)128)

class grammar_store {
public:
    /* The text stored under id, NULL when there is none. */
    const std::string* find(const std::string& id) const;
    /* Stores text under id, replacing an earlier text of that id. False, nothing changed,
     * when the channel would then keep more than GRAMMAR_CHANNEL_MAX_BYTES. */
    bool store(const std::string& id, std::string&& text);
    void clear();
    size_t size() const { return grammars_.size(); }
    bool empty() const { return grammars_.empty(); }
    size_t bytes() const { return bytes_; }

private:
    std::map<std::string, std::string> grammars_;
    size_t bytes_ = 0;
};

/* A fetch runs at most this long when the request gives no usable Fetch-Timeout. */
#define GRAMMAR_FETCH_TIMEOUT_MAX_MS 600000L

/* What recog_grammar_load leaves to its caller: a grammar to fetch over http or https. */
struct grammar_fetch_request {
    std::string id;        /* the trimmed id to store the text under */
    std::string uri;       /* the trimmed URI */
    long timeout_ms = 0;   /* the fetch limit */
};

/* recog_grammar_load's answer for a grammar that must be fetched first: not an MRCP status. */
#define GRAMMAR_LOAD_FETCH 0

/*
 * Stores one grammar under content_id in the channel's grammars and makes the
 * id current. content_type "text/uri-list" (any case) names the grammar by a
 * URI in the body; any other type carries the grammar text itself. The body is
 * taken by its length and left unchanged. fetch_timeout is in milliseconds
 * (1 to 600000; anything else means 600 s). A local file is read only when it is
 * a regular file (never waiting for a writer of a FIFO or a device).
 * Returns 200 when stored, 407 when the grammar could not be read, is larger than
 * GRAMMAR_MAX_SIZE or would take the channel past GRAMMAR_CHANNEL_MAX_BYTES
 * (nothing stored, the current id unchanged). An http or https URI is not fetched
 * here: the answer is GRAMMAR_LOAD_FETCH with 'fetch' filled in, and the caller
 * fetches it (read_uri_file) and hands the outcome to recog_grammar_fetched.
 */
int recog_grammar_load(recog_channel_t* recog_channel, const char* content_id, const char* content_type,
                       const apt_str_t* body, apr_size_t fetch_timeout, apr_pool_t* pool,
                       grammar_fetch_request* fetch);

/* The outcome of a fetch that recog_grammar_load asked for: 200 with the text stored as
 * recog_grammar_load stores it, or 407 (the failure logged with its error). */
int recog_grammar_fetched(recog_channel_t* recog_channel, const grammar_fetch_request& fetch, bool ok,
                          std::string& text, const std::string& error);

/* The fetch limit for a Fetch-Timeout value in milliseconds: the value when it lies in 1 to 600000, else 600000. */
long recog_fetch_timeout_ms(apr_size_t fetch_timeout);

/*
 * Lets another thread cut a read_uri_file short. It holds the transfer's libcurl
 * multi handle, so that cancel() can wake the transfer's wait at once.
 */
class fetch_cancel {
public:
    fetch_cancel();
    ~fetch_cancel();
    fetch_cancel(const fetch_cancel&) = delete;
    fetch_cancel& operator=(const fetch_cancel&) = delete;

    /* Any thread, while the object lives: the transfer ends at once as failed ("cancelled!"). */
    void cancel();
    bool cancelled() const { return cancelled_; }
    CURLM* multi() const { return multi_; }

private:
    CURLM* multi_;                      /* created with the object; NULL when that failed */
    std::atomic<bool> cancelled_{false};
};

/*
 * Fetches an http or https URI within timeout_ms (0: 600 s), on the calling thread,
 * until 'cancel' cuts it short. On success text holds the body of a 2xx answer; on
 * failure error says why ("return %d while perform!", "http status %ld while
 * perform!", the size limit, "cancelled!", ...). One transfer per fetch_cancel.
 */
apt_bool_t read_uri_file(const char* uri, long timeout_ms, std::string& text, std::string& error,
                         fetch_cancel& cancel);

/* The local file name a non-http URI names ("file:///C:\g.xml" is "/mnt/C/g.xml"). */
std::string grammar_file_name(const std::string& uri);

/* The transfer buffer of a fetch: held bytes always followed by four zero bytes. */
struct _auto_buf {
    size_t len;        /* bytes held */
    size_t capacity;   /* room for this many bytes plus the zero tail */
    char* data;
    bool too_large;    /* an append was refused at GRAMMAR_MAX_SIZE */
};

apt_bool_t buffer_create(_auto_buf* buf);
/* Appends n bytes; FALSE (buffer unchanged) when growing fails or the total would pass GRAMMAR_MAX_SIZE. */
apt_bool_t write_content(_auto_buf* buf, const char* bytes, size_t n);
apt_bool_t buffer_destroy(_auto_buf* buf);

/* libcurl's write callback: size * count on success, 0 (ends the transfer as failed) when the append fails. */
size_t WriteCallBack(char* data, size_t size, size_t count, void* buffer);

/*
 * The id of a Content-Id value: trimmed, one enclosing "<" ">" pair removed.
 * FALSE for a NULL or empty value (id untouched).
 */
apt_bool_t get_content_id(const char* value, std::string& id);

/* Removes every leading and trailing " ", "\t", "\n" and "\r"; returns text. */
std::string& trim(std::string& text);

/* A trimmed copy of length bytes of text (which need not be terminated); NULL gives "". */
std::string trim_space(const char* text, size_t length);

#endif /* HARKWIRE_RECOG_GRAMMAR_H */
