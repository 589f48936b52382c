#include "base/HttpListener.h"

#include <httplib.h>
#include <sys/socket.h>

#include "base/ClientError.h"

namespace vesk {

HttpListener::HttpListener() : server(std::make_unique<httplib::Server>()) {
    // Headers and body go out in separate writes: without TCP_NODELAY every
    // answer waits for the peer's delayed acknowledgement (40 ms).
    server->set_tcp_nodelay(true);
    // cpp-httplib also sets SO_REUSEPORT, which lets a second server take a
    // port already listened on; an address in use must be an error instead.
    server->set_socket_options([](int socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

HttpListener::~HttpListener() {
    server->stop();
    try {
        serving.Wait();
    } catch (...) {
        // The owner's own outcome is what the user needs to see.
    }
}

int HttpListener::Listen(const std::string& host, int port, const std::string& what) {
    int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
    if (bound <= 0)
        throw ClientError(ErrorKind::File, "cannot listen on " + host + ":" + std::to_string(port) + " for " + what);
    serving.Start([this] { server->listen_after_bind(); });
    return bound;
}

}  // namespace vesk
