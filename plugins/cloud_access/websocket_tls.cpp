/*
 * TLS of the endpoint's connections: the one TLS context they all share, and the sessions the
 * services handed out, kept to resume the next connections to the same host and port.
 *
 * Threads: the I/O threads, whoever makes a connection (the connecting task, or an I/O thread that
 * makes a connect again in full), and once the loading thread (the endpoint's constructor makes the
 * cache). The first connection made builds the context (a function-local static, so once, on that
 * connection's maker); every connection uses it, which OpenSSL allows from several threads. Sessions
 * go into the cache from OpenSSL's new-session callback (in a handshake or a read of a connection)
 * and are handed out in offer_session (right before a handshake), and sessions_refused drops a
 * service's (after a handshake that offered one failed), all under the cache's m_mutex; sessions
 * dropped from the cache are freed after it is let go. No other lock is taken here.
 * Lifetime: the endpoint's constructor makes the cache (tls_sessions_init), so it outlives the
 * endpoint: connections still closing in the endpoint's destructor may hand in sessions.
 */
#include <time.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include <openssl/ssl.h>

#include "websocket_internal.h"

namespace {

/* TLS sessions kept to resume, per service and in all. */
const size_t SESSIONS_PER_SERVICE = 16;
const size_t SERVICES_KEPT = 8;
/* How long a service whose handshake failed while offered a session is offered none: the first time,
 * and at most after it failed again each time once offered one more. */
const std::chrono::seconds FIRST_QUIET(60);
const std::chrono::seconds LONGEST_QUIET(3600);

/* The interoperability workarounds of the OpenSSL we are built with, and nothing else: no protocol,
 * extension or key exchange is switched off or on by a literal mask of another version's bits. */
const boost::asio::ssl::context::options TLS_CONTEXT_OPTIONS = (boost::asio::ssl::context::options)SSL_OP_ALL;

/*
 * TLS sessions that the services handed out. A resumed handshake skips the service's certificate
 * and its signature, the costly part of a handshake on both sides; a service that declines the
 * session makes a full handshake instead. A TLS 1.3 session (a ticket) is offered once: a ticket
 * should not be used twice, and each handshake brings new ones. A TLS 1.2 session is offered until
 * it expires or a newer one replaces it: a resumed TLS 1.2 handshake brings none. Bounded:
 * SESSIONS_PER_SERVICE each, and a service beyond SERVICES_KEPT takes the place of the one given a
 * session longest ago.
 * A service whose handshake failed while offered a session (whatever the failure: an alert, a reset,
 * a close, no answer) may fail every offer: its sessions go, and for a quiet time it is offered none
 * and none it hands out is kept; the quiet time doubles each time it fails again, and a resumed
 * handshake ends the doubling.
 */
class tls_session_cache {
public:
    ~tls_session_cache()
    {
        for (auto& service : m_sessions)
            for (SSL_SESSION* s : service.second.sessions)
                SSL_SESSION_free(s);
    }

    /* Keeps s (the caller's reference) for service; false when it is not kept. */
    bool put(const std::string& service, SSL_SESSION* s)
    {
        if (!SSL_SESSION_is_resumable(s))
            return false;
        std::deque<SSL_SESSION*> gone;  /* freed after the lock is let go */
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            kept& k = entry(service, gone);
            if (std::chrono::steady_clock::now() < k.quiet_until)
                return false;
            if (!single_use(s)) {
                /* Replaced: the service handed out a newer one. */
                auto older = std::stable_partition(k.sessions.begin(), k.sessions.end(), single_use);
                gone.insert(gone.end(), older, k.sessions.end());
                k.sessions.erase(older, k.sessions.end());
            }
            if (k.sessions.size() >= SESSIONS_PER_SERVICE) {
                gone.push_back(k.sessions.front());
                k.sessions.pop_front();
            }
            k.sessions.push_back(s);
            k.last_put = ++m_puts;
        }
        for (SSL_SESSION* old : gone)
            SSL_SESSION_free(old);
        return true;
    }

    /* A reference to the newest session for service that has not expired, for the caller; null
     * when none. A single-use one leaves the cache. */
    SSL_SESSION* take(const std::string& service)
    {
        std::deque<SSL_SESSION*> gone;
        SSL_SESSION* found = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_sessions.find(service);
            if (it == m_sessions.end() || std::chrono::steady_clock::now() < it->second.quiet_until)
                return nullptr;
            std::deque<SSL_SESSION*>& sessions = it->second.sessions;
            const long now = (long)time(nullptr);
            while (!sessions.empty() && !found) {
                SSL_SESSION* s = sessions.back();
                /* Expired, or marked by OpenSSL as not to be resumed (a connection that used it
                 * failed): dropped. */
                if (SSL_SESSION_get_time(s) + SSL_SESSION_get_timeout(s) <= now || !SSL_SESSION_is_resumable(s)) {
                    gone.push_back(s);
                    sessions.pop_back();
                } else if (single_use(s)) {
                    found = s;
                    sessions.pop_back();
                } else if (SSL_SESSION_up_ref(s) == 1) {
                    found = s;
                } else {
                    break;
                }
            }
        }
        for (SSL_SESSION* s : gone)
            SSL_SESSION_free(s);
        return found;
    }

    /* A handshake offering one of service's sessions failed: every session kept for it goes, and it
     * is offered none for its quiet time. */
    void refused(const std::string& service)
    {
        std::deque<SSL_SESSION*> gone;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            kept& k = entry(service, gone);
            gone.insert(gone.end(), k.sessions.begin(), k.sessions.end());
            k.sessions.clear();
            k.quiet = std::min(LONGEST_QUIET, std::max(FIRST_QUIET, 2 * k.quiet));
            k.quiet_until = std::chrono::steady_clock::now() + k.quiet;
        }
        for (SSL_SESSION* s : gone)
            SSL_SESSION_free(s);
    }

    /* A handshake resumed one of service's sessions: its next failure starts the quiet time anew. */
    void resumed(const std::string& service)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sessions.find(service);
        if (it != m_sessions.end())
            it->second.quiet = std::chrono::seconds(0);
    }

private:
    static bool single_use(const SSL_SESSION* s) { return SSL_SESSION_get_protocol_version(s) >= TLS1_3_VERSION; }

    struct kept {
        std::deque<SSL_SESSION*> sessions;  /* oldest first */
        unsigned long long last_put = 0;    /* when the newest came, in puts */
        std::chrono::seconds quiet{0};      /* the last quiet time; 0 since a resumed handshake */
        std::chrono::steady_clock::time_point quiet_until;  /* offered nothing, keeps nothing before */
    };

    /* service's entry, made when it has none; under m_mutex. A new service beyond SERVICES_KEPT takes
     * the place of the one given a session longest ago, whose sessions go to gone. */
    kept& entry(const std::string& service, std::deque<SSL_SESSION*>& gone)
    {
        auto it = m_sessions.find(service);
        if (it != m_sessions.end())
            return it->second;
        if (m_sessions.size() >= SERVICES_KEPT) {
            auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(), [](const auto& a, const auto& b) {
                return a.second.last_put < b.second.last_put;
            });
            gone.insert(gone.end(), oldest->second.sessions.begin(), oldest->second.sessions.end());
            m_sessions.erase(oldest);
        }
        return m_sessions.emplace(service, kept()).first->second;
    }
    std::mutex m_mutex;
    std::map<std::string, kept> m_sessions;
    unsigned long long m_puts = 0;
};

tls_session_cache& tls_sessions()
{
    static tls_session_cache cache;
    return cache;
}

/* Where a connection's TLS object points at its service's name (the record's, which outlives every
 * callback of the connection's I/O), for the new-session callback. No free callback: OpenSSL would
 * call it for every TLS object in the process, also once this plug-in is unloaded. */
int service_name_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int on_new_session(SSL* ssl, SSL_SESSION* session)
{
    const std::string* service = static_cast<const std::string*>(SSL_get_ex_data(ssl, service_name_index()));
    /* 1: the cache took the reference. */
    return service != nullptr && tls_sessions().put(*service, session) ? 1 : 0;
}

}  // namespace

namespace wss {

void tls_sessions_init() { tls_sessions(); }

bool offer_session(client* c, connection_hdl hdl, const std::string& service, bool resume)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    const int index = service_name_index();
    if (ec || !con || index < 0)
        return false;
    SSL* ssl = con->get_socket().native_handle();
    if (SSL_set_ex_data(ssl, index, const_cast<std::string*>(&service)) != 1 || !resume)
        return false;
    SSL_SESSION* kept = tls_sessions().take(service);
    if (!kept)
        return false;
    /* A session it cannot use is simply not offered. */
    const bool offered = SSL_set_session(ssl, kept) == 1;
    SSL_SESSION_free(kept);
    return offered;
}

void sessions_refused(const std::string& service) { tls_sessions().refused(service); }

bool tls_established(client* c, connection_hdl hdl)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    return !ec && con && SSL_is_init_finished(con->get_socket().native_handle()) == 1;
}

void note_resumed(client* c, connection_hdl hdl, const std::string& service)
{
    websocketpp::lib::error_code ec;
    client::connection_ptr con = c->get_con_from_hdl(hdl, ec);
    if (!ec && con && SSL_session_reused(con->get_socket().native_handle()) == 1)
        tls_sessions().resumed(service);
}

}  // namespace wss

context_ptr on_tls_init(connection_hdl)
{
    /* Built once and shared by every connection: every connection's is the same, and building one
     * per connection repeats the library's look-ups of its algorithms in every handshake. OpenSSL
     * lets many connections of several threads use one context. */
    static const context_ptr shared = [] {
        context_ptr ctx = websocketpp::lib::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::sslv23);
        try {
            ctx->set_options(TLS_CONTEXT_OPTIONS);
            /* Deployments use self-signed service certificates. */
            ctx->set_verify_mode(boost::asio::ssl::verify_none);
            SSL_CTX_set_session_cache_mode(ctx->native_handle(),
                                           SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
            SSL_CTX_sess_set_new_cb(ctx->native_handle(), &on_new_session);
        } catch (std::exception& e) {
            std::cout << e.what() << std::endl;
        }
        return ctx;
    }();
    return shared;
}
