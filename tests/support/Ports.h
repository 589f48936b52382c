// Loopback ports for tests that listen or connect.
#pragma once

#ifdef _WIN32
#include <winsock.h>
#else
#include <cerrno>
#endif

namespace vesktest {

// The platform's codes for the socket failures that tests provoke.
#ifdef _WIN32
constexpr int SOCKET_EINVAL = WSAEINVAL;
constexpr int SOCKET_EADDRINUSE = WSAEADDRINUSE;
constexpr int SOCKET_ECONNREFUSED = WSAECONNREFUSED;
inline bool IsPeerGoneError(int error) { return error == WSAECONNRESET || error == WSAECONNABORTED; }
#else
constexpr int SOCKET_EINVAL = EINVAL;
constexpr int SOCKET_EADDRINUSE = EADDRINUSE;
constexpr int SOCKET_ECONNREFUSED = ECONNREFUSED;
inline bool IsPeerGoneError(int error) { return error == EPIPE || error == ECONNRESET; }
#endif

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();
// Waits until something accepts on 127.0.0.1:port.
bool WaitForPort(int port, int timeoutMs);

}  // namespace vesktest
