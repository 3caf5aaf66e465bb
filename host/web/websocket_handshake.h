// The server's side of the WebSocket opening handshake (version 13 only):
// checks an upgrade request and answers it with 101 or with a refusal.
#pragma once

#include <string>
#include <string_view>

#include "web/http_request.h"
#include "web/http_response.h"
#include "web/origins.h"

namespace web {

// Sec-WebSocket-Accept for a Sec-WebSocket-Key: base64 of the SHA-1 of the
// key followed by the protocol's fixed GUID.
std::string websocket_accept(std::string_view key);

struct HandshakeAnswer {
    bool accepted = false;
    std::string switching;  // accepted: the 101 response, bytes on the wire
    HttpResponse refusal;   // refused: 400, 403, 405 or 426 with what was wrong
};

// Checks a request for the WebSocket path: GET over HTTP/1.1, "Upgrade:
// websocket", "Connection: Upgrade", Sec-WebSocket-Version 13, one key of
// 16 bytes in base64, and one Origin field that `origins` allows (every
// browser sends one; a request without it is no page's and is refused, as
// it could come from anywhere). The Host field is the caller's to check.
// No subprotocol and no extension is ever agreed.
HandshakeAnswer answer_websocket_upgrade(const HttpRequest& request, const WebOrigins& origins);

}  // namespace web
