// TLS 1.3 keyed by the authentication key alone: an external pre-shared key
// with (EC)DHE (psk_dhe_ke, so a key that leaks later opens no recorded
// session), no certificates, no tickets. The PSK identity is IDENTITY and the
// PSK the HMAC-SHA-256 of PSK_LABEL under the key, so a standard tool given
// its hex (PskHex) reaches the agent. Both ends prove the key: the client by
// its binder, the agent by its Finished.
// Shared by the agent (OpenSSL linked statically) and vesk. Linux only. One
// object serves any number of sessions on any threads; it must outlive them.
// Sessions talk to the socket with MSG_NOSIGNAL: a peer that went away must
// not raise SIGPIPE in the JVM.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "AuthKey.h"
#include "Error.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace Orlo {

class TlsContext {
public:
    enum class Side { Server, Client };
    static constexpr const char* IDENTITY = "vesk";
    static constexpr const char* PSK_LABEL = "vesk-tls-psk";
    // A record's first byte when it carries a handshake or an alert.
    static constexpr uint8_t HANDSHAKE_RECORD = 0x16;
    static constexpr uint8_t ALERT_RECORD = 0x15;

    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Null and an error (OpenSSL's reason) when the key is empty or OpenSSL
    // cannot set up the context.
    static std::unique_ptr<TlsContext> Create(Side side, const AuthKey& key, Error& error);
    // A session on the connected socket fd, which the caller keeps and closes
    // after freeing the session; null when OpenSSL has no memory.
    SSL* NewSession(int fd) const;
    // After a finished handshake: true only when the peer proved the key (the
    // external PSK was taken; never a certificate).
    static bool ProvedKey(SSL* session);
    // The PSK of this key in hex, as `openssl s_client -psk` takes it;
    // empty when signing failed.
    static std::string PskHex(const AuthKey& key);
    // OpenSSL's words for the oldest error queued on this thread ("decrypt
    // error"), or fallback when none; empties the queue.
    static std::string TakeError(const char* fallback);

private:
    using Psk = AuthKey::Digest;

    TlsContext() = default;

    SSL_CTX* context = nullptr;
    Psk psk{};  // the context's callbacks find it through the context
};

}  // namespace Orlo
