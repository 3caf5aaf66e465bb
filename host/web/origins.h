// The origins the web terminal is served under: scheme, host and port, as a
// browser names the page's origin ("https://bbs.example.org",
// "http://127.0.0.1:8080"). Every request must name one of them in its
// Host field (else it is misdirected: a name the attacker controls that
// resolves to this host, as in DNS rebinding, gets no page and no
// WebSocket), and a WebSocket upgrade must come from a page of one of them
// (its Origin field).
//
// Host names and schemes compare without letter case; a port left out is
// the scheme's default (80, 443), in a Host field too, so that a proxy that
// passes "bbs.example.org" on for https://bbs.example.org matches.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

class WebOrigins {
public:
    // Adds "http://HOST[:PORT]" or "https://HOST[:PORT]" (a "/" after it
    // allowed; an IPv6 address in brackets). On failure returns false and
    // sets *error to what is wrong with it; nothing is added.
    bool add(std::string_view url, std::string* error);

    // Where a listener at `address` (an IP address) and `port` is reached:
    // its address, and localhost too when it is a loopback address, over
    // http (https with `tls`). None for the address of every interface
    // (0.0.0.0, ::) or one that is no IP address: the names users open are
    // not known there.
    static WebOrigins listening_at(std::string_view address, std::uint16_t port, bool tls);

    bool empty() const { return origins_.empty(); }
    // The origins, ", " between them, as given (normalised).
    std::string list() const;

    // Whether a request's Host field names one of them.
    bool serves_host(std::string_view host) const;
    // Whether a request's Origin field is one of them.
    bool allows_origin(std::string_view origin) const;

private:
    struct Origin {
        std::string scheme;  // "http" or "https"
        std::string host;    // lower case; an IPv6 address with its brackets
        std::string port;    // never empty
        bool operator==(const Origin&) const = default;
    };
    static bool parse(std::string_view url, Origin& out, std::string* error);

    std::vector<Origin> origins_;
};

}  // namespace web
