// Linked into every executable of the ThreadSanitizer build: the sanitizer reads these at start, so a
// test run by hand judges exactly as one run by the test script.
//
// OPENSSL_sk_free: the last reference to a TLS session may be dropped on one I/O thread (the session
// cache lets go of it) after another I/O thread read the session (OpenSSL copies a session's
// certificate chain when a new ticket arrives, then drops its own reference). The order between the
// two is libcrypto's atomic reference count, which is not instrumented, so the sanitizer sees a free
// after an unordered read. Nothing of ours touches a session's insides, and every reference we hold
// is our own (taken from or given to OpenSSL through its reference counting).
extern "C" const char* __tsan_default_suppressions()
{
    return "race:OPENSSL_sk_free\n";
}
