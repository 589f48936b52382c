#include "cli/MetricsServer.h"

#include <httplib.h>

#include <cstdlib>

#include "base/ClientError.h"

namespace vesk {

MetricsServer::MetricsServer(const std::string& address) {
    size_t colon = address.rfind(':');
    int port = colon == std::string::npos ? 0 : std::atoi(address.c_str() + colon + 1);
    if (colon == std::string::npos || colon == 0 || port <= 0 || port > 65535)
        throw ClientError(ErrorKind::Usage, "--metrics takes ADDRESS:PORT, such as 127.0.0.1:9464, not '" + address + "'");
    std::string host = address.substr(0, colon);
    listener.Server().Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        std::string text;
        {
            std::lock_guard<std::mutex> guard(lock);
            text = current;
        }
        if (text.empty()) {
            response.status = 503;
            response.set_content("no sample yet\n", "text/plain");
            return;
        }
        response.set_content(text, CONTENT_TYPE);
    });
    listener.Listen(host, port, "--metrics");
}

MetricsServer::~MetricsServer() = default;

void MetricsServer::Publish(std::string text) {
    std::lock_guard<std::mutex> guard(lock);
    current = std::move(text);
}

}  // namespace vesk
