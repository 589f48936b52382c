#include "VeskSocket.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <cstdlib>
#else
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>
#endif

#include "ClientConnection.h"
#include "VeskLogger.h"

namespace Orlo {

#ifdef _WIN32
typedef int SockLen;
static const int SEND_FLAGS = 0;
static const int BAD_ADDRESS_ERROR = WSAEINVAL;
static bool Interrupted(int error) { return error == WSAEINTR; }
#else
typedef socklen_t SockLen;
// A peer that has gone away must not raise SIGPIPE in the JVM.
static const int SEND_FLAGS = MSG_NOSIGNAL;
static const int BAD_ADDRESS_ERROR = EINVAL;
static bool Interrupted(int error) { return error == EINTR; }
#endif

bool VeskSocket::initialized = false;

VeskSocket::VeskSocket(int type, int family) : family(family), type(type), lastError(0) {
    socketId = socket(family, type, 0);
    if (!IsOpen()) lastError = GetLastSocketError();
}

VeskSocket::VeskSocket(VeskSocketId socketId, int type, int family)
    : family(family), type(type), socketId(socketId), lastError(0) {}

VeskSocket::~VeskSocket() {
    if (!IsOpen()) return;
#ifdef _WIN32
    closesocket(socketId);
#else
    close(socketId);
#endif
    socketId = 0;
}

bool VeskSocket::IsOpen() const {
#ifdef _WIN32
    return socketId != 0 && socketId != INVALID_SOCKET;
#else
    return socketId > 0;
#endif
}

bool VeskSocket::Initialize() {
#ifdef _WIN32
    if (initialized) return true;
    WSADATA data;
    int result = WSAStartup(0x0101, &data);
    if (result != 0) {
        VeskLogger::LogError(true, "Failed to initialize WinSock, error=%d", result);
    } else if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        VeskLogger::LogError(true, "Failed to find version 1.1 WinSock dll");
    } else {
        initialized = true;
    }
#else
    initialized = true;
#endif
    return initialized;
}

int VeskSocket::GetLastSocketError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

bool VeskSocket::Bind(int port, const char* host) {
    lastError = 0;
    sockaddr_in address{};
    address.sin_family = static_cast<decltype(address.sin_family)>(family);
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (host && *host) {
        address.sin_addr.s_addr = inet_addr(host);
        // inet_addr cannot tell a bad text from the broadcast address.
        if (address.sin_addr.s_addr == INADDR_NONE) {
            lastError = BAD_ADDRESS_ERROR;
            return false;
        }
    }
    if (bind(socketId, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        lastError = GetLastSocketError();
        return false;
    }
    return EnableKeepAlive();
}

bool VeskSocket::SetListenerAddressOptions() {
    int on = 1;
#ifdef _WIN32
#ifndef SO_EXCLUSIVEADDRUSE
#define SO_EXCLUSIVEADDRUSE ((int)(~SO_REUSEADDR))
#endif
    return SetOption(SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &on, sizeof on);
#else
    return SetOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
}

bool VeskSocket::Listen() {
    lastError = 0;
    if (listen(socketId, SOMAXCONN) == 0) return true;
    lastError = GetLastSocketError();
    return false;
}

std::string VeskSocket::ErrorText(int code) {
#ifdef _WIN32
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    // The system's messages end in a line break and often a full stop.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) length--;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(code);
#else
    return strerror(code);
#endif
}

std::unique_ptr<ClientConnection> VeskSocket::Accept() {
    lastError = 0;
    sockaddr_in peer{};
#ifdef _WIN32
    int peerSize = sizeof peer;
#else
    socklen_t peerSize = sizeof peer;
#endif
    VeskSocketId accepted = accept(socketId, reinterpret_cast<sockaddr*>(&peer), &peerSize);
#ifdef _WIN32
    bool failed = accepted == INVALID_SOCKET;
#else
    bool failed = accepted < 0;
#endif
    if (failed) {
        lastError = GetLastSocketError();
        return nullptr;
    }
    auto connection = std::make_unique<ClientConnection>(accepted, type, family);
    connection->SetPeerAddress(ntohl(peer.sin_addr.s_addr));
    return connection;
}

bool VeskSocket::Connect(const char* host, int port) {
    lastError = 0;
    sockaddr_in address{};
    HostPortToSockAddr(&address, host, port);
    if (connect(socketId, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        lastError = GetLastSocketError();
        return false;
    }
    return EnableKeepAlive();
}

bool VeskSocket::HostPortToSockAddr(sockaddr_in* address, const char* host, int port) {
    address->sin_family = static_cast<decltype(address->sin_family)>(family);
    address->sin_addr.s_addr = inet_addr(host);
    address->sin_port = htons(static_cast<unsigned short>(port));
    return true;
}

bool VeskSocket::EnableKeepAlive() {
    int on = 1;
    return SetOption(SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

bool VeskSocket::SetOption(int level, int name, void* value, int length) {
    if (setsockopt(socketId, level, name, static_cast<const char*>(value),
                   static_cast<SockLen>(length)) == 0)
        return true;
    lastError = GetLastSocketError();
    return false;
}

bool VeskSocket::Read(char* buffer, int length, int* count) {
    lastError = 0;
    int n;
    do {
        n = static_cast<int>(recv(socketId, buffer, length, 0));
    } while (n < 0 && Interrupted(GetLastSocketError()));
    *count = n;
    if (n >= 0) return true;
    lastError = GetLastSocketError();
    return false;
}

bool VeskSocket::Peek(char* buffer, int length, int* count) {
    lastError = 0;
    int n;
    do {
        n = static_cast<int>(recv(socketId, buffer, length, MSG_PEEK));
    } while (n < 0 && Interrupted(GetLastSocketError()));
    *count = n;
    if (n >= 0) return true;
    lastError = GetLastSocketError();
    return false;
}

bool VeskSocket::Write(const char* buffer, int length, int* count) {
    lastError = 0;
    // A frame cut short by an interrupted send would desynchronise the
    // client, so the rest of a partial send is sent too.
    int sent = 0;
    while (sent < length) {
        int n = static_cast<int>(send(socketId, buffer + sent, length - sent, SEND_FLAGS));
        if (n < 0) {
            int error = GetLastSocketError();
            if (Interrupted(error)) continue;
            lastError = error;
            *count = -1;
            return false;
        }
        sent += n;
    }
    *count = sent;
    return true;
}

bool VeskSocket::Select(bool* readable, bool* writable, bool* failed, timeval* timeout) {
#ifdef _WIN32
    fd_set readSet, writeSet, failSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&failSet);
    FD_SET(socketId, &readSet);
    FD_SET(socketId, &writeSet);
    FD_SET(socketId, &failSet);
    int ready = select(0, readable ? &readSet : nullptr, writable ? &writeSet : nullptr,
                       failed ? &failSet : nullptr, timeout);
    if (ready <= 0) {
        lastError = GetLastSocketError();
        return false;
    }
    if (readable) *readable = FD_ISSET(socketId, &readSet) != 0;
    if (writable) *writable = FD_ISSET(socketId, &writeSet) != 0;
    if (failed) *failed = FD_ISSET(socketId, &failSet) != 0;
    return true;
#else
    // poll, not select: a JVM easily holds descriptors above FD_SETSIZE.
    pollfd entry{};
    entry.fd = socketId;
    if (readable) entry.events |= POLLIN;
    if (writable) entry.events |= POLLOUT;
    if (failed) entry.events |= POLLPRI;
    int waitMs = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
    int ready = poll(&entry, 1, waitMs);
    short reported = entry.revents & (entry.events | POLLHUP | POLLERR);
    if (ready <= 0 || reported == 0) {
        lastError = GetLastSocketError();
        return false;
    }
    // A closed or failed peer reads as readable, as select reports it.
    if (readable) *readable = (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (writable) *writable = (entry.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    if (failed) *failed = (entry.revents & POLLPRI) != 0;
    return true;
#endif
}

bool VeskSocket::MsgPending() { return WaitReadable(0); }

bool VeskSocket::WaitReadable(int timeoutMs) {
    bool readable = false;
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return Select(&readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &wait) && readable;
}

}  // namespace Orlo
