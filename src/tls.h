// TLS for the listeners of the TCP and HTTP threads (OpenSSL). The main
// thread builds one server context from the configuration before any
// thread starts; each thread that serves TLS takes a reference to it and
// creates a session per accepted socket. Every call here is non-blocking:
// the socket is the thread's, and a step that cannot finish tells what the
// socket must become (readable or writable) before it is tried again.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

#include "conf_records.h"

// Outcomes of a TLS step besides a positive byte count.
enum : int {
    TLS_CLOSED = 0,       // the peer ended the session
    TLS_WANT_READ = -1,   // repeat the same call once the socket is readable
    TLS_WANT_WRITE = -2,  // repeat the same call once the socket is writable
    TLS_FAILED = -3,      // protocol or socket error: close the connection
};

// Seconds from accept for the handshake to finish; a client that never
// starts it is closed then, like one that never sends its request.
constexpr int TLS_HANDSHAKE_TIMEOUT_SEC = 10;

// Main thread: the server context for `conf`, or null when no certificate
// and key are configured (the TLS listeners then stay closed). A file that
// cannot be read or used fills `failure` ("tls_cert_file /path: No such
// file or directory") and returns null.
[[nodiscard]] SSL_CTX* tls_context_new(const tls_conf* conf, std::string* failure);

// A server session on the non-blocking socket `sock`; null when out of
// memory.
[[nodiscard]] SSL* tls_session_new(SSL_CTX* ctx, int sock);
// Sends close_notify once, as far as the socket takes it, and frees the
// session; the socket is the caller's to close.
void tls_session_free(SSL* ssl);

// Handshake step: 1 when done, else TLS_WANT_READ, TLS_WANT_WRITE or
// TLS_FAILED (TLS_CLOSED counts as failed).
[[nodiscard]] int tls_handshake(SSL* ssl);
// At most `len` bytes of application data: a count, or an outcome.
[[nodiscard]] int tls_read(SSL* ssl, void* buf, size_t len);
// Writes some of `len` bytes (partial writes are on): a count, or an
// outcome. After a TLS_WANT_*, the next call must offer at least the bytes
// offered before; they may have moved.
[[nodiscard]] int tls_write(SSL* ssl, const void* buf, size_t len);
