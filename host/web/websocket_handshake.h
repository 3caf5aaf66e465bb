// The server's side of the WebSocket opening handshake (version 13 only):
// checks an upgrade request and answers it with 101 or with a refusal.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "web/http_request.h"
#include "web/http_response.h"

namespace web {

// Sec-WebSocket-Accept for a Sec-WebSocket-Key: base64 of the SHA-1 of the
// key followed by the protocol's fixed GUID.
std::string websocket_accept(std::string_view key);

// Decides whether a page from `origin` (the Origin field, e.g.
// "https://bbs.example:8443") may open a WebSocket on the server the
// request names in `host` (the Host field, e.g. "bbs.example:8443").
using OriginCheck = std::function<bool(std::string_view origin, std::string_view host)>;

// The default check: the origin is http or https on the same host and port
// as `host` (case-insensitive; a port that is the scheme's default may be
// left out on either side).
bool same_host_origin(std::string_view origin, std::string_view host);

struct HandshakeAnswer {
    bool accepted = false;
    std::string switching;  // accepted: the 101 response, bytes on the wire
    HttpResponse refusal;   // refused: 400, 403, 405 or 426 with what was wrong
};

// Checks a request for the WebSocket path: GET over HTTP/1.1, "Upgrade:
// websocket", "Connection: Upgrade", Sec-WebSocket-Version 13 and one key
// of 16 bytes in base64. A request without an Origin field (no browser
// sends one) is not asked about; one with an Origin must pass `origin_ok`.
// No subprotocol and no extension is ever agreed.
HandshakeAnswer answer_websocket_upgrade(const HttpRequest& request, const OriginCheck& origin_ok);

}  // namespace web
