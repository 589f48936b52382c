// Serves one client connection: reads each request, runs its commands in
// order and sends their framed responses.
#pragma once

#include "VeskThread.h"

namespace Orlo {

class ClientConnection;
class JvmInfo;
class StringBuffer;
class VeskServerThread;

class VeskClientThread : public VeskThread {
public:
    static constexpr unsigned long REQUEST_SIZE = 2048;
    static constexpr const char* CANCELLED_MESSAGE = "Operation cancelled by user";

    VeskClientThread(ClientConnection* connection, VeskServerThread* server);
    ~VeskClientThread() override;

    void ThreadFunction() override;
    // Serves one request; false when the connection is closed or broken.
    bool ProcessRequest();

    void ProcessRuntime(const char* tag, bool last);
    void ProcessSystemProps(const char* tag, bool last);
    // False when the snapshot ended in an error frame, which ends the request.
    bool ProcessSnapShot(const char* tag, bool last);
    void RunGC(const char* tag, bool last);

    void AddRuntimeToResponse(JvmInfo* info, StringBuffer& response);
    void AddSystemPropsToResponse(JvmInfo* info, StringBuffer& response);

private:
    // Runs the commands of a parsed request; false once one ends it early.
    bool ProcessCommands(const char* text, int length);
    void SendSnapShotHeader(JvmInfo* info, StringBuffer& response, const char* tag);
    // One frame per file, the final one with the metrics; false when a file
    // could not be opened or read (its error frame sent).
    bool SendSnapShotFiles(JvmInfo* info, StringBuffer& response, bool last, const char* tag);
    // Sends "Failed <action> snapshot file ..." with errno as a bare error frame.
    bool SendSnapShotFileError(const char* action, const char* path, const char* tag);
    // A bare status-0 frame with <last value="1"/>.
    void SendSnapShotError(StringBuffer& response, const char* message, const char* tag);
    void ThrowIfCancelled(const char* logMessage);
    // Gives memory freed by the request back to the system where the C
    // library keeps it (glibc); elsewhere nothing.
    static void ReturnFreedMemory();

    ClientConnection* connection;
    VeskServerThread* server;
};

}  // namespace Orlo
