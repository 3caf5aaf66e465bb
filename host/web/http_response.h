// HTTP/1.1 responses as the web listener sends them: every response carries
// Date, Content-Length, Cache-Control and the same strict security headers
// (a Content-Security-Policy that lets the page load only its own scripts
// and styles and connect only to its own origin, no sniffing, no framing,
// no referrer); no Server field.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace web {

// The policy every response carries.
inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::string cache_control = "no-store";
    std::vector<std::pair<std::string, std::string>> extra_headers;  // e.g. Allow
    bool close = false;  // "Connection: close": the connection ends after it

    // The bytes on the wire. `head_only` (the answer to HEAD) leaves the
    // body out but keeps its Content-Length.
    std::string serialize(std::chrono::system_clock::time_point now, bool head_only = false) const;
    // Status line and header fields (with the blank line after them) for a
    // body of `body_size` bytes sent separately; `body` is not used.
    std::string head(std::chrono::system_clock::time_point now, std::size_t body_size) const;
};

// "Not Found" for 404 and so on; "Unknown" for a status not used here.
std::string_view reason_phrase(int status);

// An error answer: a short plain-text body (the reason phrase and
// `detail`), not cached, and the connection closed after it.
HttpResponse error_response(int status, std::string_view detail);

// An IMF-fixdate, as in "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date(std::chrono::system_clock::time_point when);

}  // namespace web
