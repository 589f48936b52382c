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

#include "VeskThread.h"

namespace Orlo {

class ClientConnection;
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
    // Nothing is bound before ThreadFunction runs.
    // idleSeconds: a client that sends no request for that long is let go;
    // 0 means never.
    VeskServerThread(int port, const char* address, int idleSeconds = 0);
    ~VeskServerThread() override;

    // Binds and listens; a failure is logged and written to standard error
    // with the address, port and the system's message, and ends the thread.
    // Then accepts without ever sleeping between connections: a rejected one
    // gets its rejection at once and is closed by this thread REJECT_LINGER
    // later.
    void ThreadFunction() override;
    // Called by a client thread as its last act, on that thread; destroys
    // it, so the caller touches nothing of itself afterwards.
    void ClientTerminated(VeskClientThread* client);

private:
    struct Lingering {
        std::chrono::steady_clock::time_point closeAt;
        std::unique_ptr<ClientConnection> connection;
    };

    void AcceptNext();
    void Reject(std::unique_ptr<ClientConnection> connection);
    // Closes the rejected connections whose time is up; the wait until the
    // next one is due in milliseconds, -1 when none is left.
    int CloseLingering();
    bool HasClient();
    void ServeClient(std::unique_ptr<VeskClientThread> client);
    // Logs a failure to set up the listening socket and writes it to stderr.
    void ReportListenFailure(const char* action);

    int port;
    std::string address;
    int idleSeconds;
    std::deque<Lingering> lingering;  // in closing order; this thread only
    std::mutex clientsLock;
    std::vector<std::unique_ptr<VeskClientThread>> clients;
};

}  // namespace Orlo
