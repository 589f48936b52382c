// A cpp-httplib server that listens on one address and port, on a thread of
// its own from Listen until destruction. Its owner registers the handlers on
// Server() before Listen.
#pragma once

#include <memory>
#include <string>

#include "base/Parallel.h"

namespace httplib {
class Server;
}

namespace vesk {

class HttpListener {
public:
    HttpListener();
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    httplib::Server& Server() { return *server; }

    // Binds host:port (port 0: one the system picks) and starts answering;
    // returns the port. Throws File ("cannot listen on HOST:PORT for WHAT")
    // when the address cannot be bound.
    int Listen(const std::string& host, int port, const std::string& what);

private:
    std::unique_ptr<httplib::Server> server;
    Beside<> serving;
};

}  // namespace vesk
