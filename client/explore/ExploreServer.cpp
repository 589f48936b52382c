#include "explore/ExploreServer.h"

#include <httplib.h>
#include <nettle/memops.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "base/ClientError.h"
#include "explore/ExploreAssets.h"

namespace vesk {

namespace {

const char COOKIE_NAME[] = "vesk_token";

// Scripts, styles and requests from this origin only: no inline script, so
// a name that ever reached the page as markup could not run.
const char PAGE_POLICY[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

bool SameText(const std::string& given, const std::string& token) {
    return given.size() == token.size() && memeql_sec(given.data(), token.data(), token.size());
}

// The value of the cookie named name in a Cookie header; "" when absent.
std::string CookieValue(const std::string& header, const std::string& name) {
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        size_t start = header.find_first_not_of(' ', at);
        if (start < end && header.compare(start, name.size() + 1, name + "=") == 0)
            return header.substr(start + name.size() + 1, end - start - name.size() - 1);
        at = end + 1;
    }
    return "";
}

void Json(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body + "\n", "application/json");
}

}  // namespace

std::string ExploreServer::NewToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ClientError(ErrorKind::File, std::string("no random source for the token: ") + strerror(errno));
        got += static_cast<size_t>(n);
    }
    static const char HEX[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) token += {HEX[b >> 4], HEX[b & 15]};
    return token;
}

ExploreServer::ExploreServer(const ExploreApi& api, const std::string& address, int port)
    : api(api), address(address), token(NewToken()) {
    httplib::Server& server = listener.Server();
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});
    auto asset = [&server](const char* path, const char* text, const char* type) {
        server.Get(path, [text, type](const httplib::Request&, httplib::Response& response) {
            response.set_header("Content-Security-Policy", PAGE_POLICY);
            response.set_header("X-Frame-Options", "DENY");
            response.set_content(text, type);
        });
    };
    asset("/", EXPLORE_HTML, "text/html; charset=utf-8");
    asset("/explore.css", EXPLORE_CSS, "text/css; charset=utf-8");
    asset("/explore.js", EXPLORE_JS, "text/javascript; charset=utf-8");
    server.Get(R"(/api/.*)", [this](const httplib::Request& request, httplib::Response& response) {
        std::string bearer = request.get_header_value("Authorization");
        bool byHeader = bearer.rfind("Bearer ", 0) == 0 && SameText(bearer.substr(7), token);
        bool byCookie = SameText(CookieValue(request.get_header_value("Cookie"), COOKIE_NAME), token);
        if (!byHeader && !byCookie)
            return Json(response, 403, nlohmann::json{{"error", "this heap needs the token of its vesk serve"}}.dump());
        if (!byCookie)
            response.set_header("Set-Cookie",
                                std::string(COOKIE_NAME) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/api");
        std::map<std::string, std::string> query;
        for (const auto& [name, value] : request.params) query.emplace(name, value);
        ApiAnswer answer = this->api.Handle(request.path, query);
        Json(response, answer.status, answer.body);
    });
    this->port = listener.Listen(address, port, "vesk serve");
}

std::string ExploreServer::Url() const {
    // A wildcard address is reached on this machine through the loopback.
    std::string host = address == "0.0.0.0" || address == "::" ? "127.0.0.1" : address;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(port) + "/#token=" + token;
}

}  // namespace vesk
