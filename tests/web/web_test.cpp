// The web terminal's protocol pieces, bytes in and bytes out, over one fixture: a small site and a session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/web/frames.h"
#include "web/http_request.h"
#include "web/http_response.h"
#include "web/web_session.h"
#include "web/websocket.h"
#include "web/websocket_handshake.h"

namespace {

using namespace webtest;
using web::HttpRequest;
using web::HttpRequestParser;
using web::WebSession;
using web::WebSocket;
using Kind = WebSession::Event::Kind;
using Responses = std::vector<std::pair<std::string, std::string>>;

const std::string kE9 = "\xc3\xa9";  // é
const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: http://127.0.0.1:8080\r\n\r\n";
const std::string kSwitching = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// The origins the tests' sessions are served under.
web::WebConfig served() {
    web::WebConfig config;
    for (const char* origin : {"http://h", "http://127.0.0.1:8080"}) config.origins.add(origin, nullptr);
    return config;
}

class Web : public ::testing::Test {
protected:
    Web() {
        site_.add("/index.html", {"text/html; charset=utf-8", "<p>page</p>"});
        site_.add("/terminal.js", {"text/javascript; charset=utf-8", "go();"});
    }
    std::string feed(std::string_view input) {
        session_.feed(input, events_);
        return session_.take_output();
    }
    static Responses responses(std::string wire) {  // The status lines and bodies of the responses in `wire`.
        Responses out;
        for (auto end = wire.find("\r\n\r\n"); end != std::string::npos; end = wire.find("\r\n\r\n")) {
            const std::string head = wire.substr(0, end);
            const auto at = head.find("Content-Length: ");
            const std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
            out.emplace_back(head.substr(0, head.find("\r\n")), wire.substr(end + 4, length));
            wire.erase(0, end + 4 + length);
        }
        return out;
    }
    // The events so far, taken, as text.
    static std::vector<std::string> taken(std::vector<WebSession::Event>& events) {
        std::vector<std::string> out;
        for (const auto& e : std::exchange(events, {}))
            out.push_back(e.kind == Kind::started ? "started" : e.kind == Kind::ended ? "ended" : e.kind == Kind::input ? "input " + e.input
                          : "size " + std::to_string(e.size.cols) + "x" + std::to_string(e.size.rows));
        return out;
    }
    web::StaticSite site_;
    WebSession session_{site_, served()};
    std::vector<WebSession::Event> events_;
};

template <class Case>
struct Table : Web, ::testing::WithParamInterface<Case> {};

template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}


// status 0: accepted, at `path`
struct Head { const char* name; std::string input; int status; std::string path; bool keep_alive = true; };
void PrintTo(const Head& c, std::ostream* os) { *os << c.name; }

const std::string kGet = "GET /index.html?x=1 HTTP/1.1\r\nHost: h\r\n";
const std::string kLong = std::string(61, 'a');

const std::vector<Head> kHeads = {
    {"minimal", kGet + "\r\n", 0, "/index.html"},
    {"blank lines before the request", "\r\n\r\n" + kGet + "\r\n", 0, "/index.html"},
    {"HTTP/1.0 needs no Host and closes", "GET / HTTP/1.0\r\n\r\n", 0, "/", false},
    {"HTTP/1.0 kept alive when asked", "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 0, "/"},
    {"HTTP/1.1 closed when asked", kGet + "Connection: Close\r\n\r\n", 0, "/index.html", false},
    {"blanks around a value", "GET / HTTP/1.1\r\nHost: \t h \t\r\n\r\n", 0, "/"},
    {"a body of length 0", kGet + "Content-Length: 0\r\n\r\n", 0, "/index.html"},
    {"LF without CR", "GET / HTTP/1.1\nHost: h\n\n", 400, ""},
    {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", 400, ""},
    {"two Host fields", kGet + "Host: h\r\n\r\n", 400, ""},
    {"two blanks in the request line", "GET  / HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
    {"no version", "GET /\r\nHost: h\r\n\r\n", 400, ""},
    {"lower-case version", "GET / http/1.1\r\nHost: h\r\n\r\n", 400, ""},
    {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", 505, ""},
    {"absolute target", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
    {"fragment in the target", "GET /#x HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
    {"control byte in the target", "GET /\x01 HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
    {"method not a token", "G(T / HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
    {"blank before the colon", kGet + "Origin : x\r\n\r\n", 400, ""},
    {"folded header", kGet + "X-A: 1\r\n 2\r\n\r\n", 400, ""}, {"no colon", kGet + "Nonsense\r\n\r\n", 400, ""},
    {"NUL in a value", kGet + std::string("X-A: a\0b\r\n\r\n", 11), 400, ""},
    {"CR inside a value", kGet + "X-A: a\rb\r\n\r\n", 400, ""},
    {"request line over the limit", "GET /" + std::string(60, 'a') + " HTTP/1.1\r\nHost: h\r\n\r\n", 414, ""},
    {"header line over the limit", kGet + "X-A: " + std::string(60, 'a') + "\r\n\r\n", 431, ""},
    {"header line just at the limit", kGet + "X-A: " + std::string(59, 'a') + "\r\n\r\n", 0, "/index.html"},
    {"too many fields", kGet + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 431, ""},
    {"head over the limit", "GET /" + std::string(50, 'p') + " HTTP/1.1\r\nHost: h\r\nA: " + kLong + "\r\nB: " + kLong +
                                "\r\nC: " + kLong + "\r\n\r\n", 431, ""},
    // The head's limit is crossed before the line's: that decides, however the bytes arrive.
    {"blank lines, then a long request line", [] { std::string s; while (s.size() < 200) s += "\r\n"; return s; }() + "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n", 414, ""},
    {"a body", kGet + "Content-Length: 5\r\n\r\nhello", 413, ""},
    {"a chunked body", kGet + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 413, ""},
    {"length not a number", kGet + "Content-Length: -1\r\n\r\n", 400, ""},
    {"lengths that disagree", kGet + "Content-Length: 0\r\nContent-Length: 1\r\n\r\n", 400, ""},
};

using HttpHeads = Table<Head>;
TEST_P(HttpHeads, AcceptedOrRefusedWithTheRightStatusWhateverThePieces) {
    const Head& c = GetParam();
    std::string first_error;
    for (std::size_t piece : {c.input.size(), std::size_t{1}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        HttpRequestParser parser(web::HttpLimits{64, 4, 256});
        std::string_view rest = c.input;
        auto status = HttpRequestParser::Status::incomplete;
        while (status == HttpRequestParser::Status::incomplete && !rest.empty()) {
            const std::size_t n = std::min(piece, rest.size());
            std::string_view part = rest.substr(0, n);
            status = parser.feed(part);
            rest.remove_prefix(n - part.size());  // what the parser took
        }
        if (c.status == 0) {
            ASSERT_EQ(status, HttpRequestParser::Status::complete) << parser.error();
            EXPECT_EQ(parser.request().path, c.path);
            EXPECT_EQ(parser.request().keep_alive(), c.keep_alive);
            continue;
        }
        ASSERT_EQ(status, HttpRequestParser::Status::failed);
        EXPECT_EQ(parser.error_status(), c.status) << parser.error();
        EXPECT_FALSE(parser.error().empty());
        if (first_error.empty()) first_error = parser.error();
        EXPECT_EQ(parser.error(), first_error);
    }
}
INSTANTIATE_TEST_SUITE_P(Cases, HttpHeads, ::testing::ValuesIn(kHeads), case_name<Head>);

TEST_F(Web, ParserStopsAtTheEndOfAHeadAndReadsTheNextAfterReset) {
    HttpRequestParser parser;
    std::string_view input = "GET /a HTTP/1.1\r\nHOST: h\r\nConnection: keep-alive, Upgrade\r\n\r\nHEAD /b HTTP/1.0\r\n\r\nrest";
    ASSERT_EQ(parser.feed(input), HttpRequestParser::Status::complete);
    const auto& r = parser.request();  // the method, the Host, two tokens of Connection, keep-alive
    EXPECT_EQ(std::tuple(r.method, *r.header("host"), r.has_token("CONNECTION", "upgrade"), r.has_token("connection", "close"),
                         r.keep_alive()), std::tuple("GET", "h", true, false, true));
    parser.reset();
    ASSERT_EQ(parser.feed(input), HttpRequestParser::Status::complete);
    EXPECT_EQ(std::tuple(r.method, r.path, r.keep_alive()), std::tuple("HEAD", "/b", false));
    EXPECT_EQ(input, "rest");
}

TEST_F(Web, ForwardedForListsTheHopsOfXForwardedForElseOfForwarded) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"X-Forwarded-For: 203.0.113.1, 198.51.100.7\r\nX-Forwarded-For:192.0.2.9\r\n",
         {"203.0.113.1", "198.51.100.7", "192.0.2.9"}},
        {"Forwarded: for=203.0.113.1;proto=http, For=\"[2001:db8::1]:4711\";by=x\r\n",
         {"203.0.113.1", "[2001:db8::1]:4711"}},
        {"Forwarded: for=unknown, by=192.0.2.1, for=\"_a,b\"\r\n", {"unknown", "", "_a,b"}},
        {"Forwarded: for=192.0.2.5\r\nX-Forwarded-For: 198.51.100.7\r\n", {"198.51.100.7"}},
        {"", {}},
    };
    for (const auto& [fields, hops] : cases) {
        HttpRequestParser parser;
        const std::string head = std::string("GET / HTTP/1.1\r\nHost: h\r\n") + fields + "\r\n";
        std::string_view input = head;
        ASSERT_EQ(parser.feed(input), HttpRequestParser::Status::complete) << fields;
        EXPECT_EQ(web::forwarded_for(parser.request()), hops) << fields;
    }
}

TEST_F(Web, ResponsesCarryLengthTypeCacheAndSecurityHeadersButNoServer) {
    web::HttpResponse response;
    response.content_type = "text/html; charset=utf-8", response.body = "<p>hi</p>", response.cache_control = "no-cache";
    response.extra_headers.emplace_back("Allow", "GET, HEAD");
    const auto when = std::chrono::system_clock::from_time_t(784111777);
    const std::string security =
        "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
        "base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\nX-Content-Type-Options: nosniff\r\n"
        "X-Frame-Options: DENY\r\nReferrer-Policy: no-referrer\r\n";
    const std::string head = "HTTP/1.1 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Type: text/html; charset=utf-8\r\n"
                             "Content-Length: 9\r\nCache-Control: no-cache\r\n" + security + "Allow: GET, HEAD\r\n\r\n";
    EXPECT_EQ(response.serialize(when), head + "<p>hi</p>");
    EXPECT_EQ(response.serialize(when, true), head);  // HEAD: no body
    EXPECT_EQ(web::error_response(404, "no such page").serialize(when),
              "HTTP/1.1 404 Not Found\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 24\r\nCache-Control: no-store\r\n" + security + "Connection: close\r\n\r\nNot Found: no such page\n");
}


// A browser's upgrade request, changed by `edit`.
HttpRequest upgrade(const std::function<void(HttpRequest&)>& edit = {}) {
    HttpRequest r;
    r.method = "GET";
    r.target = r.path = "/ws";
    r.headers = {{"host", "bbs.example:8080"}, {"upgrade", "websocket"}, {"connection", "Upgrade"},
                 {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=="}, {"sec-websocket-version", "13"},
                 {"origin", "http://bbs.example:8080"}};
    if (edit) edit(r);
    return r;
}
auto set(std::string name, std::string value) {
    return [=](HttpRequest& r) { for (auto& h : r.headers) if (h.name == name) h.value = value; };
}
auto drop(std::string name) { return [=](HttpRequest& r) { std::erase_if(r.headers, [&](const auto& h) { return h.name == name; }); }; }
auto add(std::string name, std::string value) { return [=](HttpRequest& r) { r.headers.push_back({name, value}); }; }

// status 101: accepted; else a header line the refusal must carry, if any
struct Upgrade { const char* name; HttpRequest request; int status; const char* refusal_header = nullptr; };
void PrintTo(const Upgrade& c, std::ostream* os) { *os << c.name; }

const std::vector<Upgrade> kUpgrades = {
    {"browser request", upgrade(), 101},
    {"token lists and any case", upgrade([](auto& r) { set("connection", "keep-alive, UPGRADE")(r); set("upgrade", "WebSocket")(r); }), 101},
    {"Origin with the default port", upgrade(set("origin", "https://BBS.example:443")), 101},
    {"Origin of the other origin", upgrade(set("origin", "https://bbs.example")), 101},
    {"no Origin (no page's)", upgrade(drop("origin")), 403},
    {"POST", upgrade([](auto& r) { r.method = "POST"; }), 405, "Allow: GET"},
    {"HTTP/1.0", upgrade([](auto& r) { r.minor = 0; }), 400},
    {"no Upgrade", upgrade(drop("upgrade")), 426, "Upgrade: websocket"},
    {"Connection without upgrade", upgrade(set("connection", "keep-alive")), 426},
    {"version 8", upgrade(set("sec-websocket-version", "8")), 426, "Sec-WebSocket-Version: 13"},
    {"no version", upgrade(drop("sec-websocket-version")), 426}, {"no key", upgrade(drop("sec-websocket-key")), 400},
    {"key of 15 bytes", upgrade(set("sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=")), 400},
    {"key with a bad character", upgrade(set("sec-websocket-key", "dGhlIHNhbXBsZSBub25j*Q==")), 400},
    {"two keys", upgrade(add("sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAA==")), 400},
    {"Origin of another port", upgrade(set("origin", "http://bbs.example:8081")), 403},
    {"Origin of another scheme", upgrade(set("origin", "https://bbs.example:8080")), 403},
    {"Origin null", upgrade(set("origin", "null")), 403},
    {"two Origins", upgrade(add("origin", "http://bbs.example:8080")), 403},
};

using WebSocketUpgrade = Table<Upgrade>;
TEST_P(WebSocketUpgrade, IsAcceptedOrRefusedWithTheRightStatus) {
    const Upgrade& c = GetParam();
    web::WebOrigins origins;
    for (const char* origin : {"http://bbs.example:8080", "https://bbs.example"}) origins.add(origin, nullptr);
    const auto answer = web::answer_websocket_upgrade(c.request, origins);
    if (c.status == 101) {
        ASSERT_TRUE(answer.accepted) << answer.refusal.body;
        EXPECT_EQ(answer.switching, kSwitching);  // the accept value of the protocol's example key
        return;
    }
    ASSERT_FALSE(answer.accepted);
    EXPECT_EQ(answer.refusal.status, c.status);
    EXPECT_TRUE(answer.refusal.close);
    const std::string refusal = answer.refusal.serialize({});
    if (c.refusal_header) { EXPECT_NE(refusal.find(std::string("\r\n") + c.refusal_header + "\r\n"), std::string::npos) << refusal; }
}
INSTANTIATE_TEST_SUITE_P(Cases, WebSocketUpgrade, ::testing::ValuesIn(kUpgrades), case_name<Upgrade>);

TEST_F(Web, OriginsAreReadAndMatchHostFieldsAndOriginFields) {
    web::WebOrigins origins;
    std::string error;
    for (const auto& [url, wrong] : {std::pair{"ftp://bbs.example", "http:// or https://"}, {"bbs.example", "http://"},
                                     {"https://bbs.example/play", "no path"}, {"https://user@bbs.example", "no path"},
                                     {"https://", "no host"}, {"http://bbs.example:", "port"}, {"http://bbs.example:0", "port"},
                                     {"http://bbs.example:65536", "port"}, {"http://bbs example", "host"}, {"http://::1", "IPv6"}}) {
        EXPECT_FALSE(origins.add(url, &error)) << url;
        EXPECT_NE(error.find(wrong), std::string::npos) << url << ": " << error;
    }
    EXPECT_TRUE(origins.empty());
    for (const char* url : {"HTTPS://BBS.Example/", "http://[::1]:2380", "http://127.0.0.1:8080", "https://bbs.example:443"})
        EXPECT_TRUE(origins.add(url, &error)) << url << ": " << error;
    EXPECT_EQ(origins.list(), "https://bbs.example, http://[::1]:2380, http://127.0.0.1:8080");
    struct Row { const char* text; bool host, origin; };
    for (const auto& [text, host, origin] :
         {Row{"bbs.example", true, false}, Row{"BBS.example:443", true, false}, Row{"https://bbs.example", false, true},
          Row{"bbs.example:80", false, false}, Row{"http://bbs.example", false, false}, Row{"https://bbs.example:8443", false, false},
          Row{"[::1]:2380", true, false}, Row{"[::2]:2380", false, false}, Row{"http://[::1]:2380", false, true},
          Row{"127.0.0.1:8080", true, false}, Row{"127.0.0.1", false, false}, Row{"localhost:8080", false, false},
          Row{"evil.example:8080", false, false}, Row{"http://evil.example:8080", false, false}, Row{"null", false, false},
          Row{"", false, false}, Row{"127.0.0.1:8o80", false, false}}) {
        EXPECT_EQ(origins.serves_host(text), host) << text;
        EXPECT_EQ(origins.allows_origin(text), origin) << text;
    }
    // Where a listener is reached: its address, and localhost on loopback; nothing known on every interface.
    for (const auto& [address, tls, list] :
         {std::tuple{"127.0.0.1", false, "http://127.0.0.1:8080, http://localhost:8080"},
          {"::1", true, "https://[::1]:8080, https://localhost:8080"}, {"192.0.2.7", false, "http://192.0.2.7:8080"},
          {"0:0::1", false, "http://[::1]:8080, http://localhost:8080"}, {"0.0.0.0", false, ""}, {"::", false, ""},
          {"bbs.example", false, ""}})
        EXPECT_EQ(web::WebOrigins::listening_at(address, 8080, tls).list(), list) << address;
    EXPECT_EQ(web::websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}


constexpr std::size_t kLimit = 300;

// The messages delivered, the payloads of the pongs sent in order, the code of the server's Close (0: still open).
struct Framing {
    const char* name; std::string input; std::vector<WebSocket::Message> messages{}; std::vector<std::string> pongs{};
    std::uint16_t close = 0;
};
void PrintTo(const Framing& c, std::ostream* os) { *os << c.name; }

const std::vector<Framing> kFramings = {
    // The example of a single-frame masked text message from the protocol's description.
    {"masked Hello", "\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", {{true, "Hello"}}},
    {"unmasked frame", client_frame(0x1, "Hello", true, false), {}, {}, 1002},
    {"binary and text", binary(std::string("\0\xff\x80", 3)) + text("ok"), {{false, std::string("\0\xff\x80", 3)}, {true, "ok"}}},
    {"empty binary message", binary(""), {{false, ""}}},
    {"fragments with a ping between", text("Hel", false) + ping("x") + more("lo"), {{true, "Hello"}}, {"x"}},
    {"three binary fragments, two pings", binary("a", false) + ping("1") + more("b", false) + ping("") + more("c"), {{false, "abc"}}, {"1", ""}},
    {"UTF-8 cut between fragments", text(kE9.substr(0, 1), false) + more(kE9.substr(1)), {{true, kE9}}},
    {"pong is ignored", client_frame(0xA, "zz") + text("a"), {{true, "a"}}},
    {"16-bit length", binary(std::string(200, 'q')), {{false, std::string(200, 'q')}}},
    {"64-bit length", client_frame(0x2, "wide", true, true, 0, true), {{false, "wide"}}},
    {"continuation without a message", more("x"), {}, {}, 1002},
    {"new message inside a fragmented one", text("a", false) + text("b"), {}, {}, 1002},
    {"fragmented ping", client_frame(0x9, "p", false), {}, {}, 1002},
    {"ping of 126 bytes", ping(std::string(126, 'p')), {}, {}, 1002},
    {"RSV1 without an extension", client_frame(0x1, "a", true, true, 4), {}, {}, 1002},
    {"reserved opcode 3", client_frame(0x3, "a"), {}, {}, 1002},
    {"reserved control opcode 0xB", client_frame(0xB, "a"), {}, {}, 1002},
    {"64-bit length with the top bit", std::string("\x82\xFF\x80\0\0\0\0\0\0\1\0\0\0\0", 14), {}, {}, 1002},
    {"overlong UTF-8", text("\xc0\xaf"), {}, {}, 1007}, {"surrogate in UTF-8", text("\xed\xa0\x80"), {}, {}, 1007},
    {"UTF-8 cut at the end of the message", text(kE9.substr(0, 1)), {}, {}, 1007},
    {"invalid UTF-8 in binary is fine", binary("\xc0\xaf"), {{false, "\xc0\xaf"}}},
    {"one frame over the limit", binary(std::string(kLimit + 1, 'x')), {}, {}, 1009},
    {"fragments over the limit", binary(std::string(kLimit, 'x'), false) + more("y"), {}, {}, 1009},
    {"a message of exactly the limit", binary(std::string(kLimit, 'x')), {{false, std::string(kLimit, 'x')}}},
    {"huge declared length", std::string("\x82\xFF\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF\0\0\0\0", 14), {}, {}, 1009},
    {"close 1000 is echoed", text("a") + close_frame(1000, "bye"), {{true, "a"}}, {}, 1000},
    {"close 4999 is echoed", close_frame(4999), {}, {}, 4999},
    {"close 3000 is echoed", close_frame(3000), {}, {}, 3000},
    {"close of one byte", client_frame(0x8, "\x03"), {}, {}, 1002},
    {"close 1005 may not be sent", close_frame(1005), {}, {}, 1002}, {"close 999", close_frame(999), {}, {}, 1002},
    {"close 2999", close_frame(2999), {}, {}, 1002}, {"close 5000", close_frame(5000), {}, {}, 1002},
    {"close reason not UTF-8", close_frame(1000, "\xff"), {}, {}, 1007},
    {"nothing is read after a close", close_frame(1001) + text("late") + ping("late"), {}, {}, 1001},
    {"close between fragments", text("a", false) + close_frame(1000) + more("b"), {}, {}, 1000},
    {"pings while the output limit waits unread", ping(std::string(100, 'p')) + ping(std::string(100, 'q')) +
     ping(std::string(100, 'r')) + ping("s") + text("late"), {}, {std::string(100, 'p'), std::string(100, 'q'), std::string(100, 'r')}, 1008},
};

using WebSocketFraming = Table<Framing>;
TEST_P(WebSocketFraming, DeliversAndAnswersAlikeWhateverThePieces) {
    const Framing& c = GetParam();
    for (std::size_t piece : {std::max<std::size_t>(c.input.size(), 1), std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        WebSocket socket(web::WebSocketLimits{kLimit, kLimit});  // the output is taken at the end
        std::vector<WebSocket::Message> messages;
        for (std::size_t at = 0; at < c.input.size(); at += piece) socket.feed(std::string_view(c.input).substr(at, piece), messages);
        EXPECT_EQ(messages, c.messages);
        std::vector<Frame> output = server_frames(socket.take_output()), expected;
        for (const auto& p : c.pongs) expected.push_back({true, 0xA, p});
        if (c.close) {
            ASSERT_FALSE(output.empty());
            EXPECT_EQ(output.back().opcode, 0x8);
            EXPECT_EQ(output.back().payload.substr(0, 2), code_bytes(c.close));
            output.pop_back();
        }
        EXPECT_EQ(socket.state(), c.close ? WebSocket::State::closed : WebSocket::State::open);
        EXPECT_EQ(output, expected);
    }
}
INSTANTIATE_TEST_SUITE_P(Cases, WebSocketFraming, ::testing::ValuesIn(kFramings), case_name<Framing>);

TEST_F(Web, WebSocketCloses) {
    std::vector<WebSocket::Message> messages;
    WebSocket client_closes;  // without a code: answered without one
    client_closes.feed(client_frame(0x8, ""), messages);
    EXPECT_EQ(server_frames(client_closes.take_output()), (std::vector<Frame>{{true, 0x8, ""}}));
    EXPECT_EQ(std::pair(client_closes.close_code(), client_closes.closed_by_client()), std::pair(web::close_code::none, true));

    WebSocket server_closes;  // waits for the client and drops data meanwhile
    server_closes.close(web::close_code::going_away, "shutting down");
    EXPECT_EQ(server_closes.state(), WebSocket::State::closing);
    EXPECT_EQ(server_frames(server_closes.take_output()), std::vector<Frame>{server_close(1001, "shutting down")});
    server_closes.send_binary("not sent");
    server_closes.feed(text("typed late") + ping("p"), messages);
    EXPECT_EQ(std::pair(messages.size(), server_closes.take_output()), std::pair(std::size_t{0}, std::string()));
    server_closes.feed(close_frame(1001), messages);
    // Closed, without a second Close, by the server, with the client's code.
    EXPECT_EQ(std::tuple(server_closes.state(), server_closes.take_output(), server_closes.closed_by_client(), server_closes.close_code()),
              std::tuple(WebSocket::State::closed, "", false, 1001));

    WebSocket odd;  // unsendable codes become 1011, long reasons are cut on a character
    const std::string reason = "a" + std::string(101, 'b') + std::string(20, '\0') + kE9 + kE9;  // é at bytes 122 and 123
    odd.close(1006, reason);
    EXPECT_EQ(server_frames(odd.take_output()), std::vector<Frame>{server_close(1011, reason.substr(0, 122))});
}

TEST_F(Web, ServerFramesAreUnmaskedWithTheShortestLength) {
    for (const auto& [payload, header] : {std::pair<std::size_t, std::size_t>{0, 2}, {125, 2}, {126, 4}, {65535, 4}, {65536, 10}}) {
        WebSocket socket;
        socket.send_binary(std::string(payload, 'x'));
        const std::string out = socket.take_output();
        EXPECT_EQ(out.size(), payload + header) << payload;
        EXPECT_EQ(server_frames(out), (std::vector<Frame>{{true, 0x2, std::string(payload, 'x')}})) << payload;
    }
    WebSocket socket;
    socket.send_text("é");
    socket.ping(std::string(200, 'p'));
    EXPECT_EQ(server_frames(socket.take_output()), (std::vector<Frame>{{true, 0x1, "é"}, {true, 0x9, std::string(125, 'p')}}));
}


TEST_F(Web, ServesPipelinedRequestsOnOneConnectionUntilOneAsksToClose) {
    const std::string wire = feed("GET / HTTP/1.1\r\nHost: h\r\n\r\nHEAD /terminal.js HTTP/1.1\r\nHost: h\r\n\r\nGET /terminal.js HTTP/1.1\r\nHost: h\r\n");
    EXPECT_EQ(responses(wire), (Responses{{"HTTP/1.1 200 OK", "<p>page</p>"}, {"HTTP/1.1 200 OK", ""}}));
    EXPECT_NE(wire.find("Content-Type: text/javascript; charset=utf-8\r\nContent-Length: 5\r\n"), std::string::npos);
    EXPECT_FALSE(session_.finished());
    EXPECT_EQ(responses(feed("Connection: close\r\n\r\nGET / HTTP/1.1\r\nHost: h\r\n\r\n")), (Responses{{"HTTP/1.1 200 OK", "go();"}}));
    EXPECT_TRUE(session_.finished());
    EXPECT_TRUE(events_.empty());
}

TEST_F(Web, PipelinedRequestsCannotPileUpOutput) {
    site_.add("/big.js", {"text/javascript; charset=utf-8", std::string(1000, 'x')});
    web::WebConfig config = served();
    config.max_http_output = 2500;
    const std::string request = "GET /big.js HTTP/1.1\r\nHost: h\r\n\r\n";
    WebSession hasty(site_, config), patient(site_, config);
    std::string requests;
    for (int i = 0; i < 10; ++i) requests += request;
    hasty.feed(requests, events_);
    EXPECT_EQ(responses(hasty.take_output()).size(), 2u);  // about 1400 bytes each: two pass the limit
    EXPECT_TRUE(hasty.finished());
    EXPECT_NE(hasty.problem().find("pipelined"), std::string::npos);
    for (int i = 0; i < 10; ++i) {  // a client that waits for each answer is never cut off
        patient.feed(request, events_);
        EXPECT_EQ(responses(patient.take_output()).size(), 1u);
    }
    EXPECT_FALSE(patient.finished());
}

TEST_F(Web, RefusesWhatItDoesNotServeAndEndsTheConnection) {
    for (const auto& [request, status_line] : std::vector<std::pair<std::string, std::string>>{
             {"HEAD /missing HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"POST / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
             {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
             {"GET /ws HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 426 Upgrade Required"},
             {"GET / HTTP/1.1\r\nHost: h\r\nX: " + std::string(9000, 'x'), "HTTP/1.1 431 Request Header Fields Too Large"},
             {"GET / HTTP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},  // no Host
             {"HEAD / HTTP/1.1\r\nHost: evil.example\r\n\r\n", "HTTP/1.1 421 Misdirected Request"},
             {kUpgrade.substr(0, 18) + "Host: evil.example:8080" + kUpgrade.substr(38), "HTTP/1.1 421 Misdirected Request"}}) {
        WebSession session(site_, served());
        std::vector<WebSession::Event> events;
        session.feed(request + "GET / HTTP/1.1\r\nHost: h\r\n\r\n", events);
        const std::string wire = session.take_output();
        const auto answers = responses(wire);
        ASSERT_EQ(answers.size(), 1u) << request.substr(0, 40);
        if (request.starts_with("HEAD")) { EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n"); }  // no body
        EXPECT_EQ(answers[0].first, status_line);
        EXPECT_TRUE(session.finished());
        EXPECT_FALSE(session.problem().empty());
        EXPECT_TRUE(events.empty());
    }
}

// (Logon, window size, input and output over the WebSocket: e2e test_ways alice_logs_on_through_the_websocket.)
TEST_F(Web, FramesInTheUpgradesReadCountAndEndedComesOnceAndLast) {
    EXPECT_EQ(feed(kUpgrade + binary(web::window_size_message({80, 24})) + binary("") + text("Alice\r")), kSwitching);
    EXPECT_EQ(taken(events_), (std::vector<std::string>{"started", "size 80x24", "input Alice\r"}));  // the empty message: none
    EXPECT_EQ(server_frames(feed(binary("secret\r") + close_frame(1001) + text("late"))), std::vector<Frame>{server_close(1001)});
    EXPECT_EQ(taken(events_), (std::vector<std::string>{"input secret\r", "ended"}));
    EXPECT_TRUE(session_.finished());
}

TEST_F(Web, ClosingFromThisSideEndsWhenTheClientAnswersAndABrokenFrameEndsItAtOnce) {
    feed(kUpgrade);
    session_.close(web::close_code::going_away, "host shutting down");
    EXPECT_EQ(server_frames(session_.take_output()), std::vector<Frame>{server_close(1001, "host shutting down")});
    EXPECT_FALSE(session_.finished());
    feed(close_frame(1001));
    EXPECT_TRUE(session_.finished());
    EXPECT_EQ(taken(events_), (std::vector<std::string>{"started", "ended"}));

    WebSession broken(site_, served());
    std::vector<WebSession::Event> events;
    broken.feed(kUpgrade + client_frame(0x2, "x", true, false), events);
    EXPECT_EQ(server_frames(broken.take_output().substr(kSwitching.size())),
              std::vector<Frame>{server_close(1002, "a client frame is not masked")});
    EXPECT_EQ(taken(events), (std::vector<std::string>{"started", "ended"}));
    EXPECT_NE(broken.problem().find("not masked"), std::string::npos);
}


TEST_F(Web, ControlMessagesStartWith0xFFInBinaryOnly) {
    using web::TerminalMessage;
    const auto input = TerminalMessage::Kind::input, size = TerminalMessage::Kind::window_size,
               ignored = TerminalMessage::Kind::ignored;
    struct Row { bool text; std::string data; TerminalMessage::Kind kind; web::WindowSize size; };
    for (const auto& row : {Row{false, web::window_size_message({0x1234, 0xFF01}), size, {0x1234, 0xFF01}},
                            Row{false, std::string("\xff" "S\x00\x50\x00\x00", 6), ignored, {}},
                            Row{false, std::string("\xff" "S\x00\x50\x00", 5), ignored, {}}, Row{false, "\xff" "Q", ignored, {}},
                            Row{true, "\xff" "S\x01\x01\x01\x01", input, {}}, Row{false, "ls\r", input, {}}, Row{false, "", input, {}}}) {
        const auto m = web::read_terminal_message(row.text, row.data);
        EXPECT_EQ(m.kind, row.kind) << row.data;
        if (row.kind == size) { EXPECT_EQ(m.size, row.size); }
        if (row.kind == input) { EXPECT_EQ(m.input, row.data); }
    }
}

TEST_F(Web, TheXtermBundlePutsEveryModuleButTestsInPlaceOfTheMarker) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("web-bundle-" + std::to_string(::getpid()));
    fs::create_directories(dir / "public");
    for (const auto& [name, content] : {std::pair{"public/Terminal.js", "exports.Terminal = 1;\n//# sourceMappingURL=Terminal.js.map\n"},
                                        {"Buffer.js", "exports.B = 2;\n"}, {"Buffer.test.js", "exports.T = 3;\n"}, {"Buffer.js.map", "{}"}})
        std::ofstream(dir / name) << content;
    EXPECT_EQ(web::xterm_bundle(dir, "head\n/* xterm modules */\ntail\n"),
              "head\n\"Buffer\": function (exports, require, module) {\nexports.B = 2;\n\n},\n"
              "\"public/Terminal\": function (exports, require, module) {\nexports.Terminal = 1;\n\n},\n\ntail\n");
    EXPECT_THROW(web::xterm_bundle(dir, "no marker"), std::runtime_error);
    fs::remove(dir / "public/Terminal.js");
    EXPECT_THROW(web::xterm_bundle(dir, "/* xterm modules */"), std::runtime_error);
    fs::remove_all(dir);
}

// (/, /terminal.js and /xterm.js served, an unknown path 404: e2e test_ways the_page_and_its_files_are_served.)
TEST_F(Web, TheSiteLoadsThePageAndDebiansXterm) {
    const auto site = web::StaticSite::load({PLUS_WEB_PAGE_DIR});
    for (const char* path : {"/terminal.css", "/xterm.css"}) EXPECT_NE(site.find(path), nullptr) << path;
    EXPECT_NE(site.find("/xterm.js")->body.find("\"addons/fit/fit\": function"), std::string::npos);
    EXPECT_EQ(site.find("/index.html"), site.find("/"));
    EXPECT_EQ(site.find("/xterm.js.map"), nullptr);
    EXPECT_THROW(web::StaticSite::load({"/nonexistent"}), std::runtime_error);
}

}  // namespace
