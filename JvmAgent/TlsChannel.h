// One client's TLS session over its accepted socket, which it makes
// non-blocking: reads and writes block by waiting on the socket, while Poll
// and Peek never block, so the heap walk's cancel poll may use them at a
// safepoint. Not thread-safe: one thread at a time, which the agent gives it
// by construction (the client thread, or the VM thread running the heap
// walk's callbacks while the client thread waits for the walk to end).
// Never throws except std::bad_alloc. Linux only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "TlsContext.h"

namespace Orlo {

class TlsChannel {
public:
    enum class Arrival { Nothing, Data, Closed };

    // The agent's side of the handshake on fd, within timeoutMs. Null when
    // it failed; why then says how ("timed out", OpenSSL's reason).
    static std::unique_ptr<TlsChannel> Accept(const TlsContext& context, int fd, int timeoutMs, std::string& why);
    // Says close_notify if the socket takes it at once; the caller closes fd.
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Blocks until some plaintext arrives: count > 0, or 0 when the peer
    // closed; false when the connection failed.
    bool Read(char* buffer, int length, int* count);
    // Blocks until all of buffer is out; false when the connection failed.
    bool Write(const char* buffer, int length, int* count);
    // Non-blocking: decrypts what has arrived and says whether plaintext is
    // waiting, the peer has closed (or the connection failed), or neither.
    Arrival Poll();
    // After Poll said Data: copies what waits, up to length, without taking it.
    bool Peek(char* buffer, int length, int* count);
    // True when the session holds bytes already taken from the socket, so a
    // wait on the socket would miss them.
    bool Pending() const;

private:
    TlsChannel(SSL* session, int fd) : session(session), fd(fd) {}
    // Waits for the socket as the last call's result asks; false on failure or deadline.
    bool Wait(int result, int timeoutMs);
    // Calls step (an SSL call, 1 on success) until it succeeds or fails for
    // good, waiting for the socket between; SSL_ERROR_NONE or the failure.
    int Retry(const std::function<int()>& step);

    SSL* session;
    int fd;
};

}  // namespace Orlo
