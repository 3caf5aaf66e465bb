#include "web/origins.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "text/ascii.h"

namespace web {
namespace {

std::string_view default_port(std::string_view scheme) { return scheme == "https" ? "443" : "80"; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A host name or IPv4 address (letters, digits, '-', '.', '_'), or an IPv6
// address in brackets (hex digits, ':', '.').
bool is_host(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return std::all_of(host.begin() + 1, host.end() - 1,
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; });
    }
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
    });
}

struct Authority {
    std::string host;  // lower case
    std::string port;  // empty when none was given
};

// host[:port]; false when it is not one (a port is 1 to 65535).
bool split_authority(std::string_view text, Authority& out) {
    std::string_view host = text, port;
    const auto colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(']', colon) == std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), is_digit)) return false;
        const long number = std::stol(std::string(port));
        if (number < 1 || number > 65535) return false;
    }
    if (!is_host(host)) return false;
    out.host = text::lowercase(host);
    out.port = std::string(port);
    return true;
}

}  // namespace

bool WebOrigins::parse(std::string_view url, Origin& out, std::string* error) {
    const auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    const auto separator = url.find("://");
    const std::string scheme = text::lowercase(url.substr(0, separator));
    if (separator == std::string_view::npos || (scheme != "http" && scheme != "https"))
        return fail("an origin begins with http:// or https://");
    std::string_view authority = url.substr(separator + 3);
    if (!authority.empty() && authority.back() == '/') authority.remove_suffix(1);
    if (authority.find_first_of("/?#@") != std::string_view::npos)
        return fail("an origin is a scheme, a host and a port: no path, query or user name");
    if (authority.empty()) return fail("an origin names a host: there is no host");
    Authority parts;
    if (!split_authority(authority, parts))
        return fail("not a host name or address with a port of 1 to 65535 (an IPv6 address in brackets)");
    out = {scheme, parts.host, parts.port.empty() ? std::string(default_port(scheme)) : parts.port};
    return true;
}

bool WebOrigins::add(std::string_view url, std::string* error) {
    Origin origin;
    if (!parse(url, origin, error)) return false;
    if (std::find(origins_.begin(), origins_.end(), origin) == origins_.end()) origins_.push_back(std::move(origin));
    return true;
}

WebOrigins WebOrigins::listening_at(std::string_view address, std::uint16_t port, bool tls) {
    const std::string text(address);
    std::array<unsigned char, 16> bytes{};
    std::array<char, INET6_ADDRSTRLEN> shown{};
    std::string host;
    bool loopback = false;
    if (inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) {
        if (std::all_of(bytes.begin(), bytes.begin() + 4, [](unsigned char b) { return b == 0; })) return {};
        host = inet_ntop(AF_INET, bytes.data(), shown.data(), shown.size());
        loopback = bytes[0] == 127;
    } else if (inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1) {
        if (std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; })) return {};
        host = "[" + std::string(inet_ntop(AF_INET6, bytes.data(), shown.data(), shown.size())) + "]";
        const bool mapped = std::all_of(bytes.begin(), bytes.begin() + 10, [](unsigned char b) { return b == 0; }) &&
                            bytes[10] == 0xFF && bytes[11] == 0xFF;
        loopback = host == "[::1]" || (mapped && bytes[12] == 127);
    } else {
        return {};
    }
    const std::string scheme = tls ? "https" : "http", at = ":" + std::to_string(port);
    WebOrigins origins;
    origins.add(scheme + "://" + host + at, nullptr);
    if (loopback) origins.add(scheme + "://localhost" + at, nullptr);
    return origins;
}

std::string WebOrigins::list() const {
    std::string out;
    for (const auto& o : origins_) {
        out += (out.empty() ? "" : ", ") + o.scheme + "://" + o.host;
        if (o.port != default_port(o.scheme)) out += ":" + o.port;
    }
    return out;
}

bool WebOrigins::serves_host(std::string_view host) const {
    Authority asked;
    if (!split_authority(host, asked)) return false;
    return std::any_of(origins_.begin(), origins_.end(), [&](const Origin& o) {
        return o.host == asked.host && o.port == (asked.port.empty() ? default_port(o.scheme) : asked.port);
    });
}

bool WebOrigins::allows_origin(std::string_view origin) const {
    Origin asked;
    return parse(origin, asked, nullptr) && std::find(origins_.begin(), origins_.end(), asked) != origins_.end();
}

}  // namespace web
