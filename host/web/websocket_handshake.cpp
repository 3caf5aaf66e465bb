#include "web/websocket_handshake.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <openssl/evp.h>

namespace web {
namespace {

constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool is_base64_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

// 16 bytes in base64: 22 characters of the alphabet and "==".
bool is_key(std::string_view key) {
    return key.size() == 24 && std::all_of(key.begin(), key.begin() + 22, is_base64_char) && key.substr(22) == "==";
}

HandshakeAnswer refuse(int status, std::string_view why) {
    HandshakeAnswer answer;
    answer.refusal = error_response(status, why);
    return answer;
}

}  // namespace

std::string websocket_accept(std::string_view key) {
    std::string input(key);
    input += kGuid;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &digest_size, EVP_sha1(), nullptr) != 1 || digest_size != 20)
        throw std::runtime_error("SHA-1 is not available from libcrypto");
    unsigned char text[32];  // 4 * ceil(20 / 3) = 28, and a NUL
    const int n = EVP_EncodeBlock(text, digest, static_cast<int>(digest_size));
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
}

HandshakeAnswer answer_websocket_upgrade(const HttpRequest& request, const WebOrigins& origins) {
    if (request.method != "GET") {
        auto answer = refuse(405, "a WebSocket opens with GET");
        answer.refusal.extra_headers.emplace_back("Allow", "GET");
        return answer;
    }
    if (request.minor < 1) return refuse(400, "a WebSocket needs HTTP/1.1");
    if (!request.has_token("upgrade", "websocket") || !request.has_token("connection", "upgrade")) {
        auto answer = refuse(426, "this address only speaks WebSocket");
        answer.refusal.extra_headers.emplace_back("Upgrade", "websocket");
        answer.refusal.extra_headers.emplace_back("Connection", "Upgrade");
        return answer;
    }
    const std::string* version = request.header("sec-websocket-version");
    if (request.count("sec-websocket-version") != 1 || *version != "13") {
        auto answer = refuse(426, "only WebSocket version 13 is spoken");
        answer.refusal.extra_headers.emplace_back("Sec-WebSocket-Version", "13");
        return answer;
    }
    const std::string* key = request.header("sec-websocket-key");
    if (request.count("sec-websocket-key") != 1 || !is_key(*key))
        return refuse(400, "Sec-WebSocket-Key is missing or not 16 bytes in base64");
    if (request.count("origin") != 1) return refuse(403, "a WebSocket is opened by a page: one Origin field");
    if (!origins.allows_origin(*request.header("origin")))
        return refuse(403, "a page from another origin may not connect here");
    HandshakeAnswer answer;
    answer.accepted = true;
    answer.switching = "HTTP/1.1 101 Switching Protocols\r\n"
                       "Upgrade: websocket\r\n"
                       "Connection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: " + websocket_accept(*key) + "\r\n\r\n";
    return answer;
}

}  // namespace web
