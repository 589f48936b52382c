// Listens on the agent's port and serves one client at a time; every further
// connection is rejected.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "VeskThread.h"

namespace Orlo {

class VeskClientThread;

class VeskServerThread : public VeskThread {
public:
    static constexpr const char* REJECT_MESSAGE =
        "Connection rejected: Exceeded maximum number of concurrent connections (1)";

    // address: dotted IPv4 address to listen on; null or empty means any.
    VeskServerThread(int port, const char* address);
    ~VeskServerThread() override;

    void ThreadFunction() override;
    // Called by a client thread as its last act; deletes it.
    void ClientTerminated(VeskClientThread* client);

private:
    bool HasClient();
    void ServeClient(VeskClientThread* client);

    int port;
    std::string address;
    std::mutex clientsLock;
    std::vector<VeskThread*> clients;
};

}  // namespace Orlo
