#include "tls.h"

#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "logging.h"

namespace {

// The first error of the thread's queue as text, for a log line.
std::string ssl_error_text()
{
    char text[256];
    unsigned long code = ERR_get_error();
    if (!code)
        return "unknown error";
    ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// "key /path: reason" when the file cannot be opened for reading; OpenSSL's
// own message names neither the key nor the file.
bool file_unreadable(const char* key, const char* path, std::string* failure)
{
    FILE* file = std::fopen(path, "re");
    if (file) {
        std::fclose(file);
        return false;
    }
    *failure = std::string(key) + " " + path + ": " + std::strerror(errno);
    return true;
}

bool context_load(SSL_CTX* ctx, const tls_conf* conf, std::string* failure)
{
    if (file_unreadable("tls_cert_file", conf->tls_cert_file, failure) ||
        file_unreadable("tls_key_file", conf->tls_key_file, failure) ||
        (conf->tls_ca_file[0] && file_unreadable("tls_ca_file", conf->tls_ca_file, failure)))
        return false;
    if (SSL_CTX_use_certificate_chain_file(ctx, conf->tls_cert_file) != 1) {
        *failure = std::string("tls_cert_file ") + conf->tls_cert_file + ": " + ssl_error_text();
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, conf->tls_key_file, SSL_FILETYPE_PEM) != 1) {
        *failure = std::string("tls_key_file ") + conf->tls_key_file + ": " + ssl_error_text();
        return false;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        *failure = std::string("tls_key_file ") + conf->tls_key_file + ": not the key of tls_cert_file";
        ERR_clear_error();
        return false;
    }
    if (conf->tls_require_certificate == 1 && !conf->tls_ca_file[0]) {
        *failure = "tls_require_certificate = 1 needs tls_ca_file";
        return false;
    }
    if (!conf->tls_ca_file[0])
        return true;
    if (SSL_CTX_load_verify_locations(ctx, conf->tls_ca_file, nullptr) != 1) {
        *failure = std::string("tls_ca_file ") + conf->tls_ca_file + ": " + ssl_error_text();
        return false;
    }
    // Tells clients which authority to pick their certificate from.
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(conf->tls_ca_file))
        SSL_CTX_set_client_CA_list(ctx, names);
    // A certificate is asked for; one that does not verify ends the
    // handshake, and with the requirement on so does none at all.
    int mode = SSL_VERIFY_PEER;
    if (conf->tls_require_certificate == 1)
        mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    SSL_CTX_set_verify(ctx, mode, nullptr);
    return true;
}

// Socket writes with MSG_NOSIGNAL: a peer that reset the connection must
// not raise SIGPIPE, which would end the daemon. Reads and the rest are
// the library's socket BIO.
int bio_write_nosignal(BIO* bio, const char* data, int len)
{
    ssize_t n = send(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(len), MSG_NOSIGNAL);
    BIO_clear_retry_flags(bio);
    if (n <= 0 && BIO_sock_should_retry(static_cast<int>(n)))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

const BIO_METHOD* bio_method()
{
    static BIO_METHOD* method = [] {
        const BIO_METHOD* base = BIO_s_socket();
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "halyx socket");
        if (!m)
            return m;
        BIO_meth_set_write(m, bio_write_nosignal);
        BIO_meth_set_read(m, BIO_meth_get_read(base));
        BIO_meth_set_puts(m, BIO_meth_get_puts(base));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
        BIO_meth_set_create(m, BIO_meth_get_create(base));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
        return m;
    }();
    return method;
}

// Maps a call's return value to a count or an outcome.
int outcome(SSL* ssl, int ret)
{
    if (ret > 0)
        return ret;
    switch (SSL_get_error(ssl, ret)) {
    case SSL_ERROR_WANT_READ:
        return TLS_WANT_READ;
    case SSL_ERROR_WANT_WRITE:
        return TLS_WANT_WRITE;
    case SSL_ERROR_ZERO_RETURN:
        return TLS_CLOSED;
    default:
        // After a fatal error the session may send nothing more, not even
        // its close_notify.
        SSL_set_quiet_shutdown(ssl, 1);
        ERR_clear_error();
        return TLS_FAILED;
    }
}

} // namespace

SSL_CTX* tls_context_new(const tls_conf* conf, std::string* failure)
{
    failure->clear();
    if (!conf || !conf->tls_cert_file[0] || !conf->tls_key_file[0])
        return nullptr;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        *failure = "TLS: " + ssl_error_text();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    // A client asking to renegotiate again and again would make the
    // server compute handshakes for free.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Partial writes resume from the output buffer, which may have grown
    // (and moved) meanwhile; idle sessions give their buffers back.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    if (!context_load(ctx, conf, failure)) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

SSL* tls_session_new(SSL_CTX* ctx, int sock)
{
    SSL* ssl = SSL_new(ctx);
    if (!ssl)
        return nullptr;
    const BIO_METHOD* method = bio_method();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_fd(bio, sock, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_accept_state(ssl);
    return ssl;
}

void tls_session_free(SSL* ssl)
{
    if (!ssl)
        return;
    if (SSL_is_init_finished(ssl)) {
        ERR_clear_error();
        SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
}

int tls_handshake(SSL* ssl)
{
    ERR_clear_error();
    int ret = outcome(ssl, SSL_do_handshake(ssl));
    return ret == TLS_CLOSED ? TLS_FAILED : ret;
}

int tls_read(SSL* ssl, void* buf, size_t len)
{
    ERR_clear_error();
    return outcome(ssl, SSL_read(ssl, buf, static_cast<int>(len > INT_MAX ? INT_MAX : len)));
}

int tls_write(SSL* ssl, const void* buf, size_t len)
{
    ERR_clear_error();
    int ret = outcome(ssl, SSL_write(ssl, buf, static_cast<int>(len > INT_MAX ? INT_MAX : len)));
    return ret == TLS_CLOSED ? TLS_FAILED : ret;
}
