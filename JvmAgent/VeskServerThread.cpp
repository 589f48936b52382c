#include "VeskServerThread.h"

#include <algorithm>
#include <thread>

#include "ClientConnection.h"
#include "ExceptionBoundary.h"
#include "VeskClientThread.h"
#include "VeskLogger.h"
#include "VeskSocket.h"

namespace Orlo {

static const int ACCEPT_RETRY_MS = 100;

VeskServerThread::VeskServerThread(int port, const char* address, int idleSeconds)
    : VeskThread(new VeskSocket(SOCK_STREAM, AF_INET)), port(port), address(address ? address : ""),
      idleSeconds(idleSeconds) {}

VeskServerThread::~VeskServerThread() {
    std::lock_guard<std::mutex> guard(clientsLock);
    clients.clear();
}

bool VeskServerThread::CanBind(int port, const char* address, int* error) {
    VeskSocket probe(SOCK_STREAM, AF_INET);
    bool bound = probe.SetListenerAddressOptions() && probe.Bind(port, address);
    *error = bound ? 0 : probe.GetError();
    return bound;
}

void VeskServerThread::ThreadFunction() {
    VeskSocket* listener = GetSocket();
    listener->SetListenerAddressOptions();
    // Without a listening socket every accept fails at once: end instead of spinning.
    if (!listener->Bind(port, address.c_str())) {
        VeskLogger::LogError(false,
                             "VeskServerThread::ThreadFunction Failed to bind to connection socket, error=%d",
                             listener->GetError());
        return;
    }
    if (!listener->Listen()) {
        VeskLogger::LogError(false,
                             "VeskServerThread::ThreadFunction Failed to listen on connection socket, error=%d",
                             listener->GetError());
        return;
    }
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Listening for connections on port: %d", port);

    while (!IsStopped()) {
        // A failure with one connection (no memory) must not end the server;
        // the pause keeps a lasting one from filling the log.
        if (!ExceptionBoundary::Run("VeskServerThread", [this] { AcceptNext(); }))
            std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_MS));
    }
}

void VeskServerThread::AcceptNext() {
    VeskSocket* listener = GetSocket();
    // Wake up for the next rejected connection that is due to be closed.
    int wait = CloseLingering();
    if (wait >= 0 && !listener->WaitReadable(wait)) return;
    ClientConnection* connection = listener->Accept();
    if (!connection) {
        // Out of descriptors, accept fails at once until one is freed:
        // retry at a pace that does not take a processor from the JVM.
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_MS));
        return;
    }
    if (HasClient()) {
        Reject(connection);
        return;
    }
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Accepting new client connection");
    std::unique_ptr<ClientConnection> owned(connection);
    owned->SetIdleTimeout(idleSeconds);
    ServeClient(new VeskClientThread(owned.get(), this));
    owned.release();  // the client thread's from here on
}

void VeskServerThread::Reject(ClientConnection* connection) {
    std::unique_ptr<ClientConnection> owned(connection);
    if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Rejecting new client connection");
    owned->Reject(REJECT_MESSAGE);
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

void VeskServerThread::ServeClient(VeskClientThread* client) {
    {
        std::lock_guard<std::mutex> guard(clientsLock);
        clients.push_back(client);
    }
    if (client->Start()) return;
    // Never started: drop it, or every later client would be rejected.
    std::lock_guard<std::mutex> guard(clientsLock);
    clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
    delete client;
}

bool VeskServerThread::HasClient() {
    std::lock_guard<std::mutex> guard(clientsLock);
    return !clients.empty();
}

void VeskServerThread::ClientTerminated(VeskClientThread* client) {
    {
        std::lock_guard<std::mutex> guard(clientsLock);
        clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
    }
    delete client;
}

}  // namespace Orlo
