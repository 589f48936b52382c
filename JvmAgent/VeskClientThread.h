// Serves one client connection on its own agent thread: reads each request,
// runs its commands in order and sends their framed responses. SNAPSHOT and
// HEAPDUMP are command objects of their own; this class only dispatches.
#pragma once

#include <memory>

#include "VeskProtocol.h"
#include "VeskThread.h"

namespace Orlo {

class ClientConnection;
class JvmInfo;
class StringBuffer;
class VeskServerThread;

class VeskClientThread : public VeskThread {
public:
    static constexpr unsigned long REQUEST_SIZE = Protocol::REQUEST_SIZE;

    // Owns the connection; the server outlives every client thread.
    VeskClientThread(std::unique_ptr<ClientConnection> connection, VeskServerThread* server);
    ~VeskClientThread() override;

    // Serves requests until the peer goes, then hands itself to the server
    // (ClientTerminated), which destroys it.
    void ThreadFunction() override;
    // Serves one request; false when the connection is closed or broken.
    bool ProcessRequest();

    void ProcessRuntime(const char* tag, bool last);
    void ProcessSystemProps(const char* tag, bool last);
    // SnapshotResponse's Run: false when the snapshot ended in an error
    // frame, which ends the request.
    bool ProcessSnapShot(const char* tag, bool last);
    void RunGC(const char* tag, bool last);

    // The <cmd> elements of RUNTIME and SYSTEM_PROPS (ClientConnection's),
    // kept by these names.
    void AddRuntimeToResponse(JvmInfo* info, StringBuffer& response);
    void AddSystemPropsToResponse(JvmInfo* info, StringBuffer& response);

private:
    // Runs the commands of a parsed request; false once one ends it early.
    bool ProcessCommands(const char* text, int length);
    // Gives memory freed by the request back to the system where the C
    // library keeps it (glibc); elsewhere nothing.
    static void ReturnFreedMemory();

    ClientConnection* connection;  // owned through the base
    VeskServerThread* server;
};

}  // namespace Orlo
