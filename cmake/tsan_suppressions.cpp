// Linked into every executable of the ThreadSanitizer build: the sanitizer reads these at start, so a
// test run by hand judges exactly as one run by the test script.
//
// OPENSSL_sk_dup: when a new TLS 1.3 ticket arrives, OpenSSL copies the connection's session, its
// certificate chain included, on that connection's I/O thread and then drops its own reference to the
// old session. The last reference may be dropped on another I/O thread: the session cache lets go of
// it, or a connection holding it ends (its SSL_free). libcrypto's atomic reference count orders the
// copy before the free, but libcrypto is not instrumented, so the sanitizer sees the free race the
// copy. Named by the copy, the read side, which only this race has: any other free of an OpenSSL
// stack is still reported. Nothing of ours touches a session's insides, and every reference we hold
// is our own (taken from or given to OpenSSL through its reference counting).
extern "C" const char* __tsan_default_suppressions()
{
    return "race:OPENSSL_sk_dup\n";
}
