// Serves one client connection on its own agent thread: reads each request,
// runs its commands in order and sends their framed responses. SNAPSHOT and
// HEAPDUMP are command objects of their own; this class only dispatches.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

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
    static constexpr const char* NAME = "vesk-client";  // the Java thread's

    // Owns the connection; the server outlives every client thread.
    VeskClientThread(std::unique_ptr<ClientConnection> connection, VeskServerThread* server);
    ~VeskClientThread() override;

    // The connection back, of a thread that never started.
    std::unique_ptr<ClientConnection> ReleaseConnection();
    // Serves requests until the peer goes, then hands itself to the server
    // (ClientTerminated), which destroys it.
    void ThreadFunction() override;
    // Serves one request; false when the connection is closed or broken, or
    // is to be closed (a client that failed to authenticate).
    bool ProcessRequest();

    void ProcessRuntime(const char* tag, bool last);
    void ProcessSystemProps(const char* tag, bool last);
    // The agent's release, asked for apart from RUNTIME, whose props are fixed.
    // DUMPS: the captures oom-dump kept; no Java object is made.
    void ProcessDumps(const char* tag, bool last);
    void ProcessVersion(const char* tag, bool last);
    // SnapshotResponse's Run: false when the snapshot ended in an error
    // frame, which ends the request. compressLevel: 0 for plain frames, else
    // the zstd level.
    // fromDump: from the JVM's own heap dump rather than the walk.
    bool ProcessSnapShot(const char* tag, bool last, int compressLevel = 0, bool fromDump = false);
    void RunGC(const char* tag, bool last);

    // The <cmd> elements of RUNTIME and SYSTEM_PROPS (ClientConnection's),
    // kept by these names.
    void AddRuntimeToResponse(JvmInfo* info, StringBuffer& response);
    void AddSystemPropsToResponse(JvmInfo* info, StringBuffer& response);

private:
    // Runs the commands of a parsed request; false once one ends it early.
    bool ProcessCommands(const char* text, int length);
    // AUTH: a challenge, the check of an answer, or (no key) where the
    // server listens. False when the request ends here.
    bool Authenticate(const char* answer, const char* tag, bool last);
    // The one error frame an unauthenticated or failed client gets; the
    // connection closes after it.
    void RefuseClient(const char* message, const char* tag);
    // With a server that requires TLS: the handshake, which authenticates the
    // client; a client that opens in plain text gets TLS_REQUIRED. A failed
    // handshake counts as a failed authentication. False when the connection
    // is to be closed.
    bool OpenTls();
    // Counts a failed authentication of the peer; logs the lock-out it causes.
    void CountFailure();
    // Gives memory freed by the request back to the system where the C
    // library keeps it (glibc); elsewhere nothing.
    static void ReturnFreedMemory();

    ClientConnection* connection;  // owned through the base
    VeskServerThread* server;
    bool authenticated;  // true from the start when the server has no key
    std::vector<uint8_t> nonce;  // the challenge sent and not yet answered
    bool closing = false;
};

}  // namespace Orlo
