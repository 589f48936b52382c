// Listens on the agent's port and serves one client at a time; every further
// connection is rejected. Owns its client threads; each ends by handing
// itself back (ClientTerminated).
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AuthLockout.h"
#include "Error.h"
#include "VeskThread.h"

namespace Orlo {

class AuthKey;
class ClientConnection;
class TlsContext;
class VeskClientThread;

class VeskServerThread : public VeskThread {
public:
    static constexpr const char* REJECT_MESSAGE =
        "Connection rejected: Exceeded maximum number of concurrent connections (1)";
    // How long a rejected connection stays open for its peer to read the rejection.
    static constexpr std::chrono::milliseconds REJECT_LINGER{1000};
    // Rejected connections held open at most; beyond, the oldest is closed early.
    static constexpr size_t MAX_LINGERING = 256;

    // address: dotted IPv4 address to listen on; null or empty means any.
    // Seconds a connection to a server with a key has to authenticate.
    static constexpr int AUTH_SECONDS = 10;

    // address: dotted IPv4 address to listen on; null or empty means any.
    // Nothing is bound before Listen or ThreadFunction runs.
    // idleSeconds: a client that sends no request for that long is let go;
    // 0 means never.
    // key: null serves every client; else each must authenticate first
    // (VeskClientThread), within AUTH_SECONDS. It outlives the server.
    // tls: null for plain TCP; else every client must open a TLS handshake
    // keyed by key within AUTH_SECONDS. It outlives the server too. The
    // rejections this thread sends at accept (another client served, an
    // address locked out) go in plain text before any handshake: they hold
    // nothing secret, and a locked-out peer gets no handshake to try keys on.
    VeskServerThread(int port, const char* address, int idleSeconds = 0, const AuthKey* key = nullptr,
                     const TlsContext* tls = nullptr);
    ~VeskServerThread() override;

    // Binds and listens on the calling thread, before Start, so that a load
    // into a running JVM fails at once on a port in use and a client may
    // connect as soon as the load returns. When it fails: "cannot listen on
    // ADDRESS:PORT: TEXT (error=CODE)" with the platform's words and code.
    Error Listen();

    // Binds and listens unless Listen did; a failure is logged and written
    // to standard error with the address, port and the system's message, and
    // ends the thread.
    // Then accepts without ever sleeping between connections: a rejected one
    // gets its rejection at once and is closed by this thread REJECT_LINGER
    // later.
    void ThreadFunction() override;
    // Called by a client thread as its last act, on that thread; destroys
    // it, so the caller touches nothing of itself afterwards.
    void ClientTerminated(VeskClientThread* client);

    // From any thread, after a snapshot: this thread gives freed memory back
    // to the system LATE_TRIMS after now. The JVM frees the remains of a
    // disposed tag map on its own threads after the dispose has returned
    // (measured: up to 0.3 s, +130-190 MiB at 2.5 M objects), after the
    // request's own trim.
    void TrimMemoryLater();
    static constexpr std::chrono::milliseconds LATE_TRIMS[] = {std::chrono::milliseconds(1000),
                                                               std::chrono::milliseconds(3000)};

    const AuthKey* GetAuthKey() const { return key; }
    const TlsContext* GetTlsContext() const { return tls; }
    AuthLockout& Lockout() { return lockout; }
    int GetIdleSeconds() const { return idleSeconds; }
    // "ADDRESS:PORT" as listened on, 0.0.0.0 for every interface.
    std::string ListenText() const;

private:
    struct Lingering {
        std::chrono::steady_clock::time_point closeAt;
        std::unique_ptr<ClientConnection> connection;
    };

    void AcceptNext();
    // Sends the error frame, then closes the connection REJECT_LINGER later.
    void Reject(std::unique_ptr<ClientConnection> connection, const char* command, const char* message);
    // Logs, at every level, that the server is open to the network without a key.
    void WarnIfExposed() const;
    // Closes the rejected connections whose time is up; the wait until the
    // next one is due in milliseconds, -1 when none is left.
    int CloseLingering();
    // Makes the late trims that are due; the wait until the next one in
    // milliseconds, else a short one while a client (who may ask for trims)
    // is connected, else -1.
    int TrimLate();
    bool HasClient();
    void ServeClient(std::unique_ptr<VeskClientThread> client);
    // Logs a failure to set up the listening socket and writes it to stderr.
    void ReportListenFailure(const char* action);

    int port;
    std::string address;
    bool listening = false;  // set by Listen before the thread starts
    int idleSeconds;
    const AuthKey* key;
    const TlsContext* tls;
    AuthLockout lockout;
    std::deque<Lingering> lingering;  // in closing order; this thread only
    std::mutex clientsLock;
    std::vector<std::unique_ptr<VeskClientThread>> clients;
    std::mutex trimsLock;
    std::deque<std::chrono::steady_clock::time_point> trims;  // in order
};

}  // namespace Orlo
