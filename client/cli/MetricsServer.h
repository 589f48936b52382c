// The metrics endpoint of vesk watch: GET /metrics answers the text last
// published, in the OpenMetrics text format, served by cpp-httplib on a
// thread of its own from construction until destruction. Anything else is 404.
#pragma once

#include <mutex>
#include <string>

#include "base/HttpListener.h"

namespace vesk {

class MetricsServer {
public:
    static constexpr const char* CONTENT_TYPE = "application/openmetrics-text; version=1.0.0; charset=utf-8";

    // address: "HOST:PORT". Throws Usage for one that is not, File when it
    // cannot be listened on.
    explicit MetricsServer(const std::string& address);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // The text the next scrapes get; from any thread. Before the first, a
    // scrape gets 503.
    void Publish(std::string text);

private:
    std::mutex lock;
    std::string current;
    HttpListener listener;  // last: stopped before what its handler reads goes
};

}  // namespace vesk
