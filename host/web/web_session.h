// One connection of the web listener, byte in and byte out: HTTP requests
// for the page's files, then, once a request asks for the WebSocket path
// and passes the handshake, the terminal session's WebSocket.
//
// A transport drives it: every read goes to feed(), whose events it acts
// on (started: open a host session; input: typed bytes for it;
// window_size: the terminal's size; ended: hang the session up); the
// session's output goes out with send(); after every call it writes what
// take_output() gives, and once finished() is true it closes the socket
// after that write. Output waits in memory until taken: the transport
// bounds it (pending_output()) and cuts off a client that never reads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/http_request.h"
#include "web/origins.h"
#include "web/static_site.h"
#include "web/terminal_message.h"
#include "web/websocket.h"
#include "web/websocket_handshake.h"

namespace web {

struct WebConfig {
    HttpLimits http;
    WebSocketLimits websocket;
    // The Host names every request must name and the Origins the WebSocket
    // is opened from (none: every request is misdirected).
    WebOrigins origins;
    std::string websocket_path = "/ws";
    // Untaken output at which further pipelined requests end the connection
    // instead of being answered: small requests for large files cannot pile
    // up output (browsers do not pipeline).
    std::size_t max_http_output = 1 << 20;
    std::function<std::chrono::system_clock::time_point()> clock = [] { return std::chrono::system_clock::now(); };
};

class WebSession {
public:
    struct Event {
        enum class Kind { started, input, window_size, ended };
        Kind kind;
        std::string input;  // kind input: the bytes typed
        WindowSize size;    // kind window_size
        // kind started: who the upgrade came through (web::forwarded_for)
        std::vector<std::string> forwarded_for{};
    };

    // `site` must outlive the session.
    explicit WebSession(const StaticSite& site, WebConfig config = {});

    // Reads client bytes; appends what they mean to `events`. GET and HEAD
    // of the site's files are answered (keep-alive as HTTP/1.1 says); a
    // request without a Host field is refused with 400, one whose Host is
    // not among the origins with 421 (Misdirected Request); any other
    // request or a malformed one is answered with an error; a refusal ends
    // the connection. `ended` comes once, when the WebSocket is closed
    // (by the client, by a failure of its frames, or when the client
    // answers close()).
    void feed(std::string_view bytes, std::vector<Event>& events);

    // Terminal output for the page, as one binary message; ignored unless
    // the WebSocket is open.
    void send(std::string_view output);

    // Ends the session from this side: the WebSocket's close handshake with
    // `code` (close_code::going_away at shutdown), or, before the upgrade,
    // the connection at once.
    void close(std::uint16_t code, std::string_view reason = {});

    std::string take_output();
    std::size_t pending_output() const;

    bool upgraded() const { return socket_.has_value(); }
    bool finished() const;
    // What the client did wrong, for the log: a refused request or a
    // failed WebSocket; empty when nothing.
    std::string problem() const;

private:
    void answer(const HttpRequest& request, std::vector<Event>& events);
    void refuse(const HttpResponse& response, bool head_only = false);
    void feed_socket(std::string_view bytes, std::vector<Event>& events);

    const StaticSite& site_;
    WebConfig config_;
    HttpRequestParser parser_;
    std::optional<WebSocket> socket_;
    std::string output_;
    bool http_done_ = false;  // no further request is read
    bool ended_ = false;      // `ended` was reported
    std::string refused_;
};

}  // namespace web
