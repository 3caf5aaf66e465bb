// Fuzz target: the web terminal's protocol pieces. The bytes as HTTP heads, as client WebSocket
// frames and as a session after an upgrade, each whole and cut: the same either way, and sound.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/fuzz.h"
#include "tests/web/frames.h"
#include "text/utf8.h"
#include "web/http_request.h"
#include "web/web_session.h"
#include "web/websocket.h"

namespace plusfuzz {
namespace {

constexpr std::size_t kMaxMessage = 512;
const web::HttpLimits kHttpLimits{128, 8, 512};

bool is_token(std::string_view s, bool lower) {
    if (s.empty()) return false;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || std::string_view("\"(),/:;<=>?@[\\]{}").find(c) != std::string_view::npos) return false;
        if (lower && c >= 'A' && c <= 'Z') return false;
    }
    return true;
}

// One line per head: what it was read as.
std::vector<std::string> read_heads(const std::vector<std::string_view>& pieces) {
    web::HttpRequestParser parser(kHttpLimits);
    std::vector<std::string> seen;
    std::size_t head_bytes = 0;
    for (auto piece : pieces) {
        while (!piece.empty()) {
            const std::size_t before = piece.size();
            const auto status = parser.feed(piece);
            head_bytes += before - piece.size();
            if (status == web::HttpRequestParser::Status::incomplete) continue;
            if (status == web::HttpRequestParser::Status::failed) {
                const int s = parser.error_status();
                if (s != 400 && s != 413 && s != 414 && s != 431 && s != 505)
                    fail("a head refused with status " + std::to_string(s));
                if (parser.error().empty()) fail("a head refused without a reason");
                seen.push_back("refused " + std::to_string(s) + " " + parser.error());
                return seen;
            }
            if (head_bytes > kHttpLimits.max_head) fail("a head of " + std::to_string(head_bytes) + " bytes was accepted");
            const auto& r = parser.request();
            if (!is_token(r.method, false)) fail("method \"" + shown(r.method) + "\" is not a token");
            if (r.path.empty() || r.path[0] != '/') fail("path \"" + shown(r.path) + "\" does not start with /");
            if (r.headers.size() > kHttpLimits.max_headers) fail(std::to_string(r.headers.size()) + " fields accepted");
            std::string line = r.method + " " + r.target + " 1." + std::to_string(r.minor);
            for (const auto& h : r.headers) {
                if (!is_token(h.name, true)) fail("field name \"" + shown(h.name) + "\" is not a lower-case token");
                for (char c : h.value)
                    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
                        fail("the value of " + h.name + " holds \"" + shown(h.value) + "\"");
                line += " " + h.name + "=" + h.value;
            }
            seen.push_back(line);
            parser.reset();
            head_bytes = 0;
        }
    }
    return seen;
}

// Checks the server's frames; returns whether they end with a Close.
bool check_server_frames(const std::vector<webtest::Frame>& frames, const std::string& what) {
    bool closed = false;
    for (const auto& f : frames) {
        if (closed) fail(what + ": bytes after the Close");
        if (f.opcode == 0xFF) fail(what + ": a masked, cut or RSV frame");
        if (!f.fin) fail(what + ": a frame without FIN");
        if (f.payload.size() > 125) fail(what + ": a control frame with an extended length");
        if (f.opcode != 0xA && f.opcode != 0x8) fail(what + ": the server sent opcode " + std::to_string(f.opcode));
        if (f.opcode != 0x8) continue;
        closed = true;
        if (f.payload.size() == 1) fail(what + ": a Close of one byte");
        if (f.payload.size() < 2) continue;
        const int code = static_cast<std::uint8_t>(f.payload[0]) << 8 | static_cast<std::uint8_t>(f.payload[1]);
        if (!((code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999)))
            fail(what + ": Close code " + std::to_string(code));
        if (!text::valid_utf8(std::string_view(f.payload).substr(2))) fail(what + ": a Close reason that is not UTF-8");
    }
    return closed;
}

struct SocketRun { std::vector<web::WebSocket::Message> messages; std::string output; web::WebSocket::State state; };

SocketRun run_socket(const std::vector<std::string_view>& pieces, bool close_first) {
    web::WebSocket socket(web::WebSocketLimits{kMaxMessage});
    SocketRun run;
    if (close_first) socket.close(web::close_code::going_away, "bye");
    for (auto piece : pieces) {
        socket.feed(piece, run.messages);
        run.output += socket.take_output();
    }
    run.state = socket.state();
    for (const auto& m : run.messages) {
        if (m.data.size() > kMaxMessage) fail("a message of " + std::to_string(m.data.size()) + " bytes");
        if (m.text && !text::valid_utf8(m.data)) fail("a text message that is not UTF-8: \"" + shown(m.data) + "\"");
    }
    const bool ends_closed = check_server_frames(webtest::server_frames(run.output), "WebSocket output");
    if ((run.state != web::WebSocket::State::open) != ends_closed)
        fail("the state does not match the output's Close");
    if (close_first && !run.messages.empty()) fail("messages delivered after the server's Close");
    return run;
}

const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nHost: h:1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

std::string run_session(const std::vector<std::string_view>& pieces) {
    web::WebConfig config;
    config.http = kHttpLimits, config.websocket.max_message = kMaxMessage;
    config.clock = [] { return std::chrono::system_clock::time_point{}; };
    web::StaticSite site;
    site.add("/index.html", {"text/html; charset=utf-8", "<p>page</p>"});
    web::WebSession session(site, config);
    std::vector<web::WebSession::Event> events;
    std::string output;
    session.feed(kUpgrade, events);
    output += session.take_output();
    const std::size_t switching = output.size();
    for (auto piece : pieces) {
        session.feed(piece, events);
        session.send("out");
        output += session.take_output();
    }
    if (events.empty() || events[0].kind != web::WebSession::Event::Kind::started) fail("the session did not start");
    std::string trace;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& e = events[i];
        if (i > 0 && e.kind == web::WebSession::Event::Kind::started) fail("started twice");
        if (e.kind == web::WebSession::Event::Kind::ended && i + 1 != events.size()) fail("events after ended");
        if (e.kind == web::WebSession::Event::Kind::window_size && (e.size.cols == 0 || e.size.rows == 0))
            fail("a window size with a zero");
        trace += std::to_string(static_cast<int>(e.kind)) + ":" + e.input + std::to_string(e.size.cols) + "x" +
                 std::to_string(e.size.rows) + "\n";
    }
    // The server's data frames ("out", sent after every piece) aside, the
    // WebSocket rules hold for its control frames.
    auto frames = webtest::server_frames(std::string_view(output).substr(switching));
    std::erase(frames, webtest::Frame{true, 0x2, "out"});
    const bool closed = check_server_frames(frames, "session output");
    if (closed != session.finished()) fail("finished() does not match the output's Close");
    std::string control;
    for (const auto& f : frames) control += std::to_string(f.opcode) + ":" + f.payload + "\n";
    // How often output was sent depends on the pieces; the rest may not.
    return trace + output.substr(0, switching) + control;
}

}  // namespace

void fuzz_one(std::string_view bytes) {
    const auto seed = static_cast<std::uint8_t>(bytes.empty() ? 0 : bytes[0]);
    const std::vector<std::string_view> whole{bytes};
    const auto pieces = cut(bytes, seed);
    if (read_heads(whole) != read_heads(pieces)) fail("HTTP heads read differently when the bytes are cut");
    const bool close_first = seed & 1;
    const auto a = run_socket(whole, close_first);
    const auto b = run_socket(pieces, close_first);
    if (a.messages != b.messages || a.output != b.output || a.state != b.state)
        fail("WebSocket frames read differently when the bytes are cut");
    if (run_session(whole) != run_session(pieces)) fail("a session runs differently when the bytes are cut");
}

}  // namespace plusfuzz
