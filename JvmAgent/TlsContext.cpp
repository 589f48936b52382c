#include "TlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace Orlo {

namespace {

const unsigned char AES_128_GCM_SHA256[] = {0x13, 0x01};

bool Retriable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int SocketWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = send(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && Retriable(errno)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int SocketRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t n = recv(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(length), 0);
    if (n < 0 && Retriable(errno)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

// The socket BIO's control (descriptor, flush, EOF) with our send and recv.
const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        const BIO_METHOD* socket = BIO_s_socket();
        method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "vesk socket");
        if (!method) return;
        BIO_meth_set_write(method, SocketWrite);
        BIO_meth_set_read(method, SocketRead);
        BIO_meth_set_ctrl(method, BIO_meth_get_ctrl(socket));
        BIO_meth_set_create(method, BIO_meth_get_create(socket));
        BIO_meth_set_destroy(method, BIO_meth_get_destroy(socket));
    });
    return method;
}

const uint8_t* PskOf(SSL* ssl) { return static_cast<const uint8_t*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))); }

SSL_SESSION* PskSession(SSL* ssl) {
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, AES_128_GCM_SHA256);
    SSL_SESSION* session = cipher ? SSL_SESSION_new() : nullptr;
    if (session && SSL_SESSION_set1_master_key(session, PskOf(ssl), AuthKey::DIGEST_BYTES) &&
        SSL_SESSION_set_cipher(session, cipher) && SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION))
        return session;
    SSL_SESSION_free(session);
    return nullptr;
}

int FindSession(SSL* ssl, const unsigned char* identity, size_t length, SSL_SESSION** session) {
    // Another identity finds nothing, and without a certificate the handshake fails.
    const size_t expected = strlen(TlsContext::IDENTITY);
    *session = length == expected && memcmp(identity, TlsContext::IDENTITY, expected) == 0 ? PskSession(ssl) : nullptr;
    return 1;
}

int UseSession(SSL* ssl, const EVP_MD* digest, const unsigned char** identity, size_t* length,
               SSL_SESSION** session) {
    *session = PskSession(ssl);
    if (!*session) return 0;
    // After a HelloRetryRequest the agent's suite may need another hash: then no PSK.
    if (digest && digest != SSL_CIPHER_get_handshake_digest(SSL_SESSION_get0_cipher(*session))) {
        SSL_SESSION_free(*session);
        *session = nullptr;
        return 1;
    }
    *identity = reinterpret_cast<const unsigned char*>(TlsContext::IDENTITY);
    *length = strlen(TlsContext::IDENTITY);
    return 1;
}

}  // namespace

TlsContext::~TlsContext() {
    SSL_CTX_free(context);
    volatile uint8_t* p = psk.data();
    for (size_t i = 0; i < psk.size(); i++) p[i] = 0;
}

std::unique_ptr<TlsContext> TlsContext::Create(Side side, const AuthKey& key, Error& error) {
    static const uint8_t* label = reinterpret_cast<const uint8_t*>(PSK_LABEL);
    std::unique_ptr<TlsContext> created(new TlsContext());
    if (key.Empty() || !key.Sign(label, strlen(PSK_LABEL), created->psk)) {
        error = Error("TLS needs an authentication key");
        return nullptr;
    }
    // No configuration file (the system's could load other providers into
    // the JVM), and no exit handler racing the JVM's threads at exit.
    SSL_CTX* context = nullptr;
    if (OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) && SocketMethod())
        context = SSL_CTX_new(TLS_method());
    created->context = context;
    // Only suites of the PSK's hash: an agent that chose a SHA-384 suite
    // (a client's first choice) would drop the PSK, and the handshake with it.
    bool ready = context && SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) &&
                 SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) &&
                 SSL_CTX_set_ciphersuites(context, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256");
    if (ready) {
        SSL_CTX_set_app_data(context, created->psk.data());
        SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
        if (side == Side::Server) {
            ready = SSL_CTX_set_num_tickets(context, 0);
            SSL_CTX_set_psk_find_session_callback(context, FindSession);
        } else {
            // A peer that offers a certificate instead of the PSK fails: no CA is trusted.
            SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
            SSL_CTX_set_psk_use_session_callback(context, UseSession);
        }
    }
    if (!ready) {
        error = Error("cannot set up TLS: " + TakeError("no memory"));
        return nullptr;
    }
    return created;
}

SSL* TlsContext::NewSession(int fd) const {
    SSL* session = SSL_new(context);
    BIO* bio = session ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) {
        SSL_free(session);
        return nullptr;
    }
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(session, bio, bio);
    return session;
}

bool TlsContext::ProvedKey(SSL* session) { return SSL_session_reused(session) == 1 && !SSL_get0_peer_certificate(session); }

std::string TlsContext::PskHex(const AuthKey& key) {
    Psk digest;
    if (!key.Sign(reinterpret_cast<const uint8_t*>(PSK_LABEL), strlen(PSK_LABEL), digest)) return "";
    return AuthKey::ToHex(digest.data(), digest.size());
}

std::string TlsContext::TakeError(const char* fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : fallback;
}

}  // namespace Orlo
