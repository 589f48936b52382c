#include "TlsChannel.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <functional>

namespace Orlo {

std::unique_ptr<TlsChannel> TlsChannel::Accept(const TlsContext& context, int fd, int timeoutMs, std::string& why) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        why = "cannot make the socket non-blocking";
        return nullptr;
    }
    SSL* session = context.NewSession(fd);
    if (!session) {
        why = "no memory";
        return nullptr;
    }
    std::unique_ptr<TlsChannel> channel(new TlsChannel(session, fd));
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    ERR_clear_error();
    for (;;) {
        int result = SSL_accept(session);
        if (result == 1) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int error = SSL_get_error(session, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            why = TlsContext::TakeError(error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN
                                            ? "the client closed the connection"
                                            : "handshake failed");
            return nullptr;
        }
        if (left <= 0 || !channel->Wait(result, static_cast<int>(left) + 1)) {
            why = "no handshake within " + std::to_string(timeoutMs / 1000) + " s";
            return nullptr;
        }
    }
    if (!TlsContext::ProvedKey(session)) {
        why = "the client did not use the key";
        return nullptr;
    }
    return channel;
}

TlsChannel::~TlsChannel() {
    SSL_shutdown(session);
    SSL_free(session);
    ERR_clear_error();
}

bool TlsChannel::Wait(int result, int timeoutMs) {
    pollfd entry{fd, static_cast<short>(SSL_get_error(session, result) == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    int n;
    do {
        n = poll(&entry, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

int TlsChannel::Retry(const std::function<int()>& step) {
    for (;;) {
        int result = step();
        if (result == 1) return SSL_ERROR_NONE;
        int error = SSL_get_error(session, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (Wait(result, -1)) continue;
            error = SSL_ERROR_SYSCALL;
        }
        ERR_clear_error();
        return error;
    }
}

bool TlsChannel::Read(char* buffer, int length, int* count) {
    size_t got = 0;
    int error = Retry([&] { return SSL_read_ex(session, buffer, static_cast<size_t>(length), &got); });
    *count = error == SSL_ERROR_NONE ? static_cast<int>(got) : error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    return *count >= 0;
}

bool TlsChannel::Write(const char* buffer, int length, int* count) {
    size_t written = 0;
    // SSL_write_ex writes all or nothing; a retry passes the same bytes again.
    int error = Retry([&] { return SSL_write_ex(session, buffer, static_cast<size_t>(length), &written); });
    *count = error == SSL_ERROR_NONE ? static_cast<int>(written) : -1;
    return *count >= 0;
}

TlsChannel::Arrival TlsChannel::Poll() {
    char byte;
    size_t got = 0;
    // SSL_want, not SSL_get_error: the error queue is per thread, and its
    // first use allocates, which the VM thread must not do at a safepoint.
    if (SSL_peek_ex(session, &byte, 1, &got) == 1) return Arrival::Data;
    return SSL_want_read(session) || SSL_want_write(session) ? Arrival::Nothing : Arrival::Closed;
}

bool TlsChannel::Peek(char* buffer, int length, int* count) {
    size_t got = 0;
    bool peeked = SSL_peek_ex(session, buffer, static_cast<size_t>(length), &got) == 1;
    *count = peeked ? static_cast<int>(got) : 0;
    return peeked;
}

bool TlsChannel::Pending() const { return SSL_has_pending(session) == 1; }

}  // namespace Orlo
