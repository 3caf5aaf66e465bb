// The WebSocket opening handshake: the accept value, the checks of an
// upgrade request, the same-host origin rule.
#include <gtest/gtest.h>

#include "web/websocket_handshake.h"

namespace {

using web::HttpRequest;

TEST(WebSocketAccept, MatchesTheProtocolsExample) {
    EXPECT_EQ(web::websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

// A browser's upgrade request, changed by `edit`.
HttpRequest upgrade(const std::function<void(HttpRequest&)>& edit = {}) {
    HttpRequest r;
    r.method = "GET";
    r.target = r.path = "/ws";
    r.headers = {{"host", "bbs.example:8080"},
                 {"upgrade", "websocket"},
                 {"connection", "Upgrade"},
                 {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=="},
                 {"sec-websocket-version", "13"},
                 {"origin", "http://bbs.example:8080"}};
    if (edit) edit(r);
    return r;
}

void set(HttpRequest& r, const std::string& name, const std::string& value) {
    for (auto& h : r.headers)
        if (h.name == name) h.value = value;
}

void drop(HttpRequest& r, const std::string& name) {
    std::erase_if(r.headers, [&](const web::HttpHeader& h) { return h.name == name; });
}

struct Case {
    const char* name;
    HttpRequest request;
    int status;  // 101: accepted
    const char* refusal_header = nullptr;  // a header line the refusal must carry
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::vector<Case> kCases = {
    {"browser request", upgrade(), 101},
    {"token lists and any case", upgrade([](auto& r) { set(r, "connection", "keep-alive, UPGRADE"); set(r, "upgrade", "WebSocket"); }), 101},
    {"no Origin (not a browser)", upgrade([](auto& r) { drop(r, "origin"); }), 101},
    {"Origin with the default port", upgrade([](auto& r) { set(r, "host", "bbs.example"); set(r, "origin", "http://BBS.example:80"); }), 101},
    {"POST", upgrade([](auto& r) { r.method = "POST"; }), 405, "Allow: GET"},
    {"HTTP/1.0", upgrade([](auto& r) { r.minor = 0; }), 400},
    {"no Upgrade", upgrade([](auto& r) { drop(r, "upgrade"); }), 426, "Upgrade: websocket"},
    {"Connection without upgrade", upgrade([](auto& r) { set(r, "connection", "keep-alive"); }), 426},
    {"version 8", upgrade([](auto& r) { set(r, "sec-websocket-version", "8"); }), 426, "Sec-WebSocket-Version: 13"},
    {"no version", upgrade([](auto& r) { drop(r, "sec-websocket-version"); }), 426},
    {"no key", upgrade([](auto& r) { drop(r, "sec-websocket-key"); }), 400},
    {"key of 15 bytes", upgrade([](auto& r) { set(r, "sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ="); }), 400},
    {"key with a bad character", upgrade([](auto& r) { set(r, "sec-websocket-key", "dGhlIHNhbXBsZSBub25j*Q=="); }), 400},
    {"two keys", upgrade([](auto& r) { r.headers.push_back({"sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAA=="}); }), 400},
    {"Origin of another host", upgrade([](auto& r) { set(r, "origin", "http://evil.example:8080"); }), 403},
    {"Origin of another port", upgrade([](auto& r) { set(r, "origin", "http://bbs.example:8081"); }), 403},
    {"Origin null", upgrade([](auto& r) { set(r, "origin", "null"); }), 403},
    {"two Origins", upgrade([](auto& r) { r.headers.push_back({"origin", "http://bbs.example:8080"}); }), 403},
};

class WebSocketUpgrade : public ::testing::TestWithParam<Case> {};

TEST_P(WebSocketUpgrade, IsAcceptedOrRefusedWithTheRightStatus) {
    const Case& c = GetParam();
    const auto answer = web::answer_websocket_upgrade(c.request, web::same_host_origin);
    if (c.status == 101) {
        ASSERT_TRUE(answer.accepted) << answer.refusal.body;
        EXPECT_EQ(answer.switching, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
        return;
    }
    ASSERT_FALSE(answer.accepted);
    EXPECT_EQ(answer.refusal.status, c.status);
    EXPECT_TRUE(answer.refusal.close);
    if (c.refusal_header) {
        EXPECT_NE(answer.refusal.serialize({}).find(std::string("\r\n") + c.refusal_header + "\r\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSocketUpgrade, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

TEST(SameHostOrigin, ComparesSchemeDefaultPortsHostsAndPorts) {
    struct Row {
        const char* origin;
        const char* host;
        bool same;
    };
    for (const auto& [origin, host, same] : {
             Row{"https://bbs.example", "bbs.example:443", true},
             Row{"https://bbs.example", "bbs.example:80", false},
             Row{"http://[::1]:2380", "[::1]:2380", true},
             Row{"http://[::1]:2380", "[::2]:2380", false},
             Row{"http://127.0.0.1:2380", "localhost:2380", false},
             Row{"ftp://bbs.example", "bbs.example", false},
             Row{"http://bbs.example:", "bbs.example:80", false},
             Row{"http://bbs.example", "", false},
             Row{"http://bbs.example:8o", "bbs.example:8o", false},
         })
        EXPECT_EQ(web::same_host_origin(origin, host), same) << origin << " / " << host;
}

TEST(WebSocketUpgrade, AnOriginCheckOfTheCallersDecides) {
    const auto request = upgrade([](auto& r) { set(r, "origin", "https://play.example"); });
    EXPECT_TRUE(web::answer_websocket_upgrade(request, [](auto origin, auto) { return origin == "https://play.example"; }).accepted);
    EXPECT_FALSE(web::answer_websocket_upgrade(request, {}).accepted);
}

}  // namespace
