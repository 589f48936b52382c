#include "VeskServerThread.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "ClientConnection.h"
#include "VeskClientThread.h"
#include "VeskLogger.h"
#include "VeskSocket.h"

namespace Orlo {

static const int ACCEPT_RETRY_MS = 100;

VeskServerThread::VeskServerThread(int port, const char* address)
    : VeskThread(new VeskSocket(SOCK_STREAM, AF_INET)), port(port), address(address ? address : "") {}

VeskServerThread::~VeskServerThread() {
    std::lock_guard<std::mutex> guard(clientsLock);
    clients.clear();
}

void VeskServerThread::ThreadFunction() {
    VeskSocket* listener = GetSocket();
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
        ClientConnection* connection = listener->Accept();
        if (!connection) {
            // Out of descriptors, accept fails at once until one is freed:
            // retry at a pace that does not take a processor from the JVM.
            std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_MS));
            continue;
        }
        if (HasClient()) {
            if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Rejecting new client connection");
            connection->Reject(REJECT_MESSAGE);
            // Give the peer time to read the rejection before the close.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            delete connection;
            continue;
        }
        if (VeskLogger::IsDebugLevel()) VeskLogger::LogDebug("Accepting new client connection");
        ServeClient(new VeskClientThread(connection, this));
    }
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
