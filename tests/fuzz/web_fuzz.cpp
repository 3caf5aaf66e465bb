// Fuzz target: the web terminal's protocol pieces. The bytes as HTTP heads, as requests to a session, as
// client WebSocket frames and as a session after an upgrade (its output taken, and never taken), each whole
// and cut: the same either way, and sound; no page or WebSocket for a request of another Host or Origin, and
// a client that never reads cannot pile up replies. And the bytes as what a proxy sends first on a stream port
// (a PROXY header, app/proxy_header.h): read a byte more at a time, its verdict, once given, stays, within bounds.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/proxy_header.h"
#include "tests/fuzz/fuzz.h"
#include "tests/web/frames.h"
#include "text/utf8.h"
#include "web/http_request.h"
#include "web/web_session.h"
#include "web/websocket.h"

namespace plusfuzz {
namespace {

constexpr std::size_t kMaxMessage = 512, kMaxOutput = 1024, kMaxControlFrame = 2 + 125;
const web::HttpLimits kHttpLimits{128, 8, 512};
// Served under http://127.0.0.1:8080 and http://h: the Host fields and Origins that name them, in lower case.
const std::set<std::string, std::less<>> kHosts = {"127.0.0.1:8080", "h", "h:80"};
const std::set<std::string, std::less<>> kOrigins = {"http://127.0.0.1:8080", "http://127.0.0.1:8080/", "http://h",
                                                     "http://h/", "http://h:80", "http://h:80/"};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

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
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: http://127.0.0.1:8080\r\n\r\n";

web::WebConfig config() {
    web::WebConfig config;
    config.http = kHttpLimits, config.websocket = {kMaxMessage, kMaxOutput};
    for (const char* origin : {"http://127.0.0.1:8080", "http://h"}) config.origins.add(origin, nullptr);
    config.clock = [] { return std::chrono::system_clock::time_point{}; };
    return config;
}

const web::StaticSite& site() {
    static const web::StaticSite site = [] {
        web::StaticSite s;
        s.add("/index.html", {"text/html; charset=utf-8", "<p>page</p>"});
        return s;
    }();
    return site;
}

// The bytes as requests to a session: every request answered with a page or the WebSocket (200, 101) named
// our Host, the WebSocket's our Origin too; after a refusal or the upgrade no request is answered.
std::string run_http(const std::vector<std::string_view>& pieces, std::string_view whole) {
    web::WebSession session(site(), config());
    std::vector<web::WebSession::Event> events;
    std::string output;
    for (auto piece : pieces) {
        session.feed(piece, events);
        output += session.take_output();
    }
    web::HttpRequestParser parser(kHttpLimits);
    std::string_view wire = output;
    while (!wire.empty()) {
        const auto head_end = wire.find("\r\n\r\n");
        if (!wire.starts_with("HTTP/1.1 ") || head_end == std::string_view::npos) fail("an answer that is no HTTP/1.1 head");
        const int status = std::stoi(std::string(wire.substr(9, 3)));
        const std::string_view head = wire.substr(0, head_end);
        if (parser.feed(whole) != web::HttpRequestParser::Status::complete) {
            if (status < 400) fail("status " + std::to_string(status) + " to a request that was not read whole");
            break;  // refused as malformed or too large
        }
        const auto& request = parser.request();
        const std::string* host = request.header("host");
        const std::string* origin = request.header("origin");
        const bool ours = host && kHosts.contains(lower(*host));
        if ((status == 200 || status == 101) && !ours) fail("status " + std::to_string(status) + " for Host \"" + shown(host ? *host : "") + "\"");
        if (status == 101 && !(origin && request.count("origin") == 1 && kOrigins.contains(lower(*origin))))
            fail("a WebSocket opened from Origin \"" + shown(origin ? *origin : "") + "\"");
        if (!ours && status != (host ? 421 : 400))
            fail("status " + std::to_string(status) + " for Host \"" + shown(host ? *host : "") + "\"");
        if (status == 101) break;  // what follows is the WebSocket's
        std::size_t body = 0;
        if (const auto at = head.find("\r\nContent-Length: "); at != std::string_view::npos && request.method != "HEAD")
            body = std::stoul(std::string(head.substr(at + 18)));
        wire.remove_prefix(std::min(wire.size(), head_end + 4 + body));
        if (status != 200) {
            if (!wire.empty()) fail("an answer after a refusal or the upgrade");
            break;
        }
        parser.reset();
    }
    return output;
}

// The bytes after an upgrade to a client that never reads: what waits for it stays within the output
// limit, a pong and a Close, and a ping past the limit fails the WebSocket.
std::string run_unread(const std::vector<std::string_view>& pieces) {
    web::WebSession session(site(), config());
    std::vector<web::WebSession::Event> events;
    session.feed(kUpgrade, events);
    session.take_output();
    for (auto piece : pieces) {
        session.feed(piece, events);
        if (session.pending_output() >= kMaxOutput + 2 * kMaxControlFrame)
            fail(std::to_string(session.pending_output()) + " bytes wait for a client that does not read");
    }
    return session.take_output() + (session.finished() ? "finished" : "open");
}

std::string run_session(const std::vector<std::string_view>& pieces) {
    auto unbounded = config();  // its output is taken after every piece, as the pieces fall: run_unread bounds it
    unbounded.websocket.max_output = std::numeric_limits<std::size_t>::max();
    web::WebSession session(site(), unbounded);
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

// The connection's first n bytes, n = 1, 2, ...: incomplete until a verdict (a complete header of
// at most the bytes so far and the bound, or a malformed one with its reason), which more bytes never change.
void read_proxy_header(std::string_view bytes) {
    using app::proxy::Parsed;
    std::optional<Parsed> verdict;
    for (std::size_t n = 1; n <= std::min(bytes.size(), app::proxy::kMaxV2 + 1); ++n) {
        const Parsed parsed = app::proxy::parse(bytes.substr(0, n));
        if (verdict) {
            if (parsed.state != verdict->state || parsed.length != verdict->length || parsed.client != verdict->client)
                fail("a PROXY header's verdict changed when more bytes came");
            continue;
        }
        if (parsed.state == Parsed::State::incomplete) {
            if (n >= app::proxy::kMaxV2) fail("a PROXY header is still incomplete at its bound");
            continue;
        }
        if (parsed.state == Parsed::State::complete && (parsed.length == 0 || parsed.length > n))
            fail("a complete PROXY header of " + std::to_string(parsed.length) + " bytes in " + std::to_string(n));
        if (parsed.state == Parsed::State::malformed && parsed.error.empty()) fail("a malformed PROXY header, no reason");
        verdict = parsed;
    }
}

}  // namespace

void fuzz_one(std::string_view bytes) {
    read_proxy_header(bytes);
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
    if (run_unread(whole) != run_unread(pieces)) fail("a session that is never read runs differently when cut");
    if (run_http(whole, bytes) != run_http(pieces, bytes)) fail("requests are answered differently when the bytes are cut");
}

}  // namespace plusfuzz
