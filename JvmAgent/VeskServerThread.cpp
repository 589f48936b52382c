#include "VeskServerThread.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "ClientConnection.h"
#include "ExceptionBoundary.h"
#include "VeskClientThread.h"
#include "VeskLogger.h"
#include "VeskProtocol.h"
#include "VeskSocket.h"

namespace Orlo {

static const int ACCEPT_RETRY_MS = 100;
// How often the thread looks for late trims asked for while it waits.
static const int TRIM_LOOK_MS = 250;

namespace {

// The earlier of two waits in milliseconds, -1 being none.
int Earlier(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

}  // namespace

VeskServerThread::VeskServerThread(int port, const char* address, int idleSeconds, const AuthKey* key,
                                   const TlsContext* tls)
    : VeskThread("vesk-server", std::make_unique<VeskSocket>(SOCK_STREAM, AF_INET)), port(port),
      address(address ? address : ""), idleSeconds(idleSeconds), key(key), tls(tls) {}

VeskServerThread::~VeskServerThread() {
    std::lock_guard<std::mutex> guard(clientsLock);
    // A client still running ends with the process: it cannot be destroyed
    // under its own feet.
    for (std::unique_ptr<VeskClientThread>& client : clients) client.release();
}

Error VeskServerThread::Listen() {
    VeskSocket* listener = GetSocket();
    listening = listener->SetListenerAddressOptions() && listener->Bind(port, address.c_str()) && listener->Listen();
    if (listening) return Error();
    const int code = listener->GetError();
    return Error::Format("cannot listen on %s:%d: %s (error=%d)", address.empty() ? "*" : address.c_str(), port,
                         VeskSocket::ErrorText(code).c_str(), code);
}

void VeskServerThread::ThreadFunction() {
    VeskSocket* listener = GetSocket();
    if (!listening) {
        listener->SetListenerAddressOptions();
        // Without a listening socket every accept fails at once: end instead of spinning.
        if (!listener->Bind(port, address.c_str())) {
            ReportListenFailure("bind");
            return;
        }
        if (!listener->Listen()) {
            ReportListenFailure("listen on");
            return;
        }
    }
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Listening for connections on port: %d", port);
    WarnIfExposed();

    while (!IsStopped()) {
        // A failure with one connection (no memory) must not end the server;
        // the pause keeps a lasting one from filling the log.
        if (!ExceptionBoundary::Run("VeskServerThread", [this] { AcceptNext(); }))
            std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_MS));
    }
}

std::string VeskServerThread::ListenText() const {
    return (address.empty() ? std::string("0.0.0.0") : address) + ":" + std::to_string(port);
}

void VeskServerThread::WarnIfExposed() const {
    // Every 127.x.x.x address is the loopback interface.
    if (key || address.rfind("127.", 0) == 0) return;
    VeskLogger::LogError(
        false,
        "The command server listens on %s without an authentication key: whoever reaches the port can read the "
        "heap and the system properties and pause the JVM. Use address=127.0.0.1 (with an SSH tunnel for remote "
        "use) or auth=FILE",
        ListenText().c_str());
}

void VeskServerThread::ReportListenFailure(const char* action) {
    int error = GetSocket()->GetError();
    std::string text = VeskSocket::ErrorText(error);
    const char* where = address.empty() ? "0.0.0.0" : address.c_str();
    VeskLogger::LogError(false, "JVM Agent failed to %s %s:%d: %s (error=%d); the command server does not start",
                         action, where, port, text.c_str(), error);
    // Also where the JVM's user looks first: the log may be off or elsewhere.
    fprintf(stderr, "JVM Agent failed to %s %s:%d: %s (error=%d); the command server does not start\n", action,
            where, port, text.c_str(), error);
}

void VeskServerThread::AcceptNext() {
    VeskSocket* listener = GetSocket();
    // Wake up for the next rejected connection that is due to be closed.
    int wait = Earlier(CloseLingering(), TrimLate());
    if (wait >= 0 && !listener->WaitReadable(wait)) return;
    std::unique_ptr<ClientConnection> connection = listener->Accept();
    if (!connection) {
        // Out of descriptors, accept fails at once until one is freed:
        // retry at a pace that does not take a processor from the JVM.
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_MS));
        return;
    }
    if (key && lockout.IsLocked(connection->GetPeerAddress(), AuthLockout::Clock::now())) {
        Reject(std::move(connection), Protocol::CMD_AUTH, Protocol::AUTH_LOCKED);
        return;
    }
    if (HasClient()) {
        if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Rejecting new client connection");
        Reject(std::move(connection), Protocol::CMD_REJECT, REJECT_MESSAGE);
        return;
    }
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Accepting new client connection");
    // Until it authenticates, a client holds the one slot for a short time only.
    connection->SetIdleTimeout(key && (idleSeconds == 0 || idleSeconds > AUTH_SECONDS) ? AUTH_SECONDS : idleSeconds);
    ServeClient(std::make_unique<VeskClientThread>(std::move(connection), this));
}

void VeskServerThread::Reject(std::unique_ptr<ClientConnection> owned, const char* command, const char* message) {
    owned->SendError(command, message, "0");
    // Closed later: a close with the peer's request still unread resets the
    // connection, and the reset can destroy the rejection before it is read.
    if (lingering.size() >= MAX_LINGERING) lingering.pop_front();
    lingering.push_back({std::chrono::steady_clock::now() + REJECT_LINGER, std::move(owned)});
}

int VeskServerThread::CloseLingering() {
    auto now = std::chrono::steady_clock::now();
    while (!lingering.empty() && lingering.front().closeAt <= now) lingering.pop_front();
    if (lingering.empty()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lingering.front().closeAt - now);
    return static_cast<int>(left.count()) + 1;
}

void VeskServerThread::ServeClient(std::unique_ptr<VeskClientThread> owned) {
    VeskClientThread* client = owned.get();
    {
        std::lock_guard<std::mutex> guard(clientsLock);
        clients.push_back(std::move(owned));
    }
    // Never started: dropped, or every later client would be rejected; its
    // peer told why rather than finding the connection reset.
    if (!client->Start()) {
        std::unique_ptr<ClientConnection> connection = client->ReleaseConnection();
        ClientTerminated(client);
        if (connection) Reject(std::move(connection), Protocol::CMD_REJECT, Protocol::NO_THREAD_MESSAGE);
    }
}

void VeskServerThread::TrimMemoryLater() {
#ifdef __GLIBC__
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(trimsLock);
    for (std::chrono::milliseconds delay : LATE_TRIMS) trims.push_back(now + delay);
    std::sort(trims.begin(), trims.end());
#endif
}

int VeskServerThread::TrimLate() {
#ifdef __GLIBC__
    auto now = std::chrono::steady_clock::now();
    bool due = false;
    int wait = -1;
    {
        std::lock_guard<std::mutex> guard(trimsLock);
        while (!trims.empty() && trims.front() <= now) {
            trims.pop_front();
            due = true;
        }
        if (!trims.empty())
            wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(trims.front() - now).count()) + 1;
    }
    if (due) malloc_trim(0);
    return wait < 0 && HasClient() ? TRIM_LOOK_MS : wait;
#else
    return -1;
#endif
}

bool VeskServerThread::HasClient() {
    std::lock_guard<std::mutex> guard(clientsLock);
    return !clients.empty();
}

void VeskServerThread::ClientTerminated(VeskClientThread* client) {
    std::unique_ptr<VeskClientThread> ending;
    {
        std::lock_guard<std::mutex> guard(clientsLock);
        auto found = std::find_if(clients.begin(), clients.end(),
                                  [client](const std::unique_ptr<VeskClientThread>& c) { return c.get() == client; });
        if (found == clients.end()) return;
        ending = std::move(*found);
        clients.erase(found);
    }
    // Destroyed outside the lock: closing the connection may take a while.
}

}  // namespace Orlo
