// The server side of an HTTP/1.1 request head (request line and header
// fields), read incrementally from the bytes of a connection, under strict
// limits. Only what serving a few static files with GET and HEAD and a
// WebSocket upgrade needs: origin-form targets, no request bodies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace web {

struct HttpLimits {
    std::size_t max_line = 8192;     // one line (request line or header field), CR LF excluded
    std::size_t max_headers = 64;    // header fields in one request
    std::size_t max_head = 16384;    // the whole head with its line ends
};

struct HttpHeader {
    std::string name;   // lower case
    std::string value;  // without leading and trailing blanks
};

struct HttpRequest {
    std::string method;  // as sent (methods are case-sensitive)
    std::string target;  // as sent: path and query
    std::string path;    // target up to '?'
    int minor = 1;       // HTTP/1.<minor>; 0 or 1
    std::vector<HttpHeader> headers;

    // The value of the first field called `name` (any case); null when none.
    const std::string* header(std::string_view name) const;
    std::size_t count(std::string_view name) const;
    // True when a comma-separated list in any field `name` holds `token`
    // (compared case-insensitively), as in "Connection: keep-alive, Upgrade".
    bool has_token(std::string_view name, std::string_view token) const;
    // Whether the connection stays open after the response: HTTP/1.1 unless
    // "Connection: close", HTTP/1.0 only with "Connection: keep-alive".
    bool keep_alive() const;
};

// The clients and proxies a request passed through as the proxies recorded
// them, the nearest last: the X-Forwarded-For fields' list, or when there
// is none, the for= parameters of the Forwarded fields (RFC 7239, quotes
// taken off: "[2001:db8::1]:4711"); an element of Forwarded without one
// is empty. Each as sent, blanks trimmed: whose word counts is the
// caller's business.
std::vector<std::string> forwarded_for(const HttpRequest& request);

// Reads one request head after the other. Every failure carries the status
// to answer with: 400 (malformed), 413 (a request body: none is taken),
// 414 (request line too long), 431 (a header line too long, too many
// fields or too large a head), 505 (not HTTP/1.x). After a failure the
// connection is to be closed; the parser stays failed until reset().
class HttpRequestParser {
public:
    enum class Status { incomplete, complete, failed };

    explicit HttpRequestParser(HttpLimits limits = {}) : limits_(limits) {}

    // Consumes bytes from the front of `bytes` (the view is advanced past
    // them) up to the end of one request head at most: what follows a
    // complete head stays in `bytes`. Memory held is bounded by the limits.
    Status feed(std::string_view& bytes);

    Status status() const { return status_; }
    const HttpRequest& request() const { return request_; }  // once complete
    int error_status() const { return error_status_; }       // once failed
    const std::string& error() const { return error_; }      // once failed: what was wrong

    // Ready for the next request on the same connection.
    void reset();

private:
    void line(std::string_view text);  // one line without its CR LF
    void request_line(std::string_view text);
    void header_line(std::string_view text);
    void finish();
    void fail(int status, std::string why);

    HttpLimits limits_;
    Status status_ = Status::incomplete;
    HttpRequest request_;
    std::string line_;              // the line being read, up to its LF
    std::size_t head_size_ = 0;     // bytes of the head so far
    bool seen_request_line_ = false;
    int error_status_ = 0;
    std::string error_;
};

}  // namespace web
