// Thin blocking wrapper around one TCP socket; never throws, keeps the
// platform error code of the last failure.
#pragma once

#ifdef _WIN32
#include <winsock.h>
typedef SOCKET VeskSocketId;
#else
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
typedef int VeskSocketId;
#endif

#include <memory>
#include <string>

namespace Orlo {

class ClientConnection;

class VeskSocket {
public:
    VeskSocket(int type, int family);
    VeskSocket(VeskSocketId socketId, int type, int family);
    virtual ~VeskSocket();  // ClientConnection is deleted through its base
    VeskSocket(const VeskSocket&) = delete;
    VeskSocket& operator=(const VeskSocket&) = delete;

    static bool Initialize();
    static int GetLastSocketError();
    // The system's words for a socket error code (strerror, or the
    // system's message table on Windows).
    static std::string ErrorText(int code);

    // Kept with the class's accessors; nothing in the agent calls it.
    VeskSocketId GetSocketId() const { return socketId; }
    int GetError() const { return lastError; }

    // host: dotted IPv4 address to bind to; null or empty means any.
    bool Bind(int port, const char* host = nullptr);
    // Before Bind, on a socket that will listen: a restarted JVM binds its
    // port even while old connections linger in TIME_WAIT (Linux), and no
    // other program can take the port from under it (Windows).
    bool SetListenerAddressOptions();
    // Accept queue of the platform's maximum length (SOMAXCONN).
    bool Listen();
    // Null when accepting failed (GetError says why).
    std::unique_ptr<ClientConnection> Accept();
    bool Connect(const char* host, int port);
    bool HostPortToSockAddr(sockaddr_in* address, const char* host, int port);
    bool EnableKeepAlive();
    bool SetOption(int level, int name, void* value, int length);
    // Virtual, so that a connection that speaks TLS sends and receives
    // through its session.
    virtual bool Read(char* buffer, int length, int* count);
    virtual bool Peek(char* buffer, int length, int* count);
    virtual bool Write(const char* buffer, int length, int* count);
    bool Select(bool* readable, bool* writable, bool* failed, timeval* timeout);
    bool MsgPending();
    // Waits up to timeoutMs (negative: no limit) for something to read or for
    // the peer to go; false on timeout or failure.
    virtual bool WaitReadable(int timeoutMs);

private:
    bool IsOpen() const;

    int family;
    int type;
    VeskSocketId socketId;
    int lastError;

    static bool initialized;
};

}  // namespace Orlo
