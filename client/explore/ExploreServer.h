// vesk serve's HTTP side: the explorer's page and its assets to anyone who
// can connect (they hold no heap data), and the API to requests that carry
// the token, as "Authorization: Bearer TOKEN" or as the cookie the first
// authorised answer sets (HttpOnly, SameSite=Strict, Path=/api). Any other
// API request gets 403 and a one-line JSON error. Served on threads of its
// own from construction until destruction.
#pragma once

#include <string>

#include "base/HttpListener.h"
#include "explore/ExploreApi.h"

namespace vesk {

class ExploreServer {
public:
    // Listens on address:port (port 0: a free one the system picks) with a
    // fresh random 128-bit token. api must outlive the server. Throws File
    // when the address cannot be listened on.
    ExploreServer(const ExploreApi& api, const std::string& address, int port);

    int Port() const { return port; }
    const std::string& Token() const { return token; }
    // The page's address with the token in its fragment, for a browser.
    std::string Url() const;

    // 32 hexadecimal digits from the system's random source; throws File
    // when there is none.
    static std::string NewToken();

private:
    const ExploreApi& api;
    std::string address;
    std::string token;
    int port = 0;
    HttpListener listener;  // last: stopped before the rest goes
};

}  // namespace vesk
