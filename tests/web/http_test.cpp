// HTTP request heads: what is accepted and which status refuses the rest,
// whole and byte by byte; and the headers every response carries.
#include <gtest/gtest.h>

#include <algorithm>

#include "web/http_request.h"
#include "web/http_response.h"

namespace {

using web::HttpLimits;
using web::HttpRequestParser;
using Status = HttpRequestParser::Status;

const HttpLimits kLimits{64, 4, 256};

struct Case {
    const char* name;
    std::string input;
    int status;        // 0: accepted
    std::string path;  // when accepted
    bool keep_alive = true;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string repeat(std::string_view s, int n) {
    std::string out;
    while (n-- > 0) out += s;
    return out;
}

const std::string kGet = "GET /index.html?x=1 HTTP/1.1\r\nHost: h\r\n";

const std::vector<Case> kCases = {
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
    {"folded header", kGet + "X-A: 1\r\n 2\r\n\r\n", 400, ""},
    {"no colon", kGet + "Nonsense\r\n\r\n", 400, ""},
    {"NUL in a value", kGet + std::string("X-A: a\0b\r\n\r\n", 11), 400, ""},
    {"CR inside a value", kGet + "X-A: a\rb\r\n\r\n", 400, ""},
    {"request line over the limit", "GET /" + std::string(60, 'a') + " HTTP/1.1\r\nHost: h\r\n\r\n", 414, ""},
    {"header line over the limit", kGet + "X-A: " + std::string(60, 'a') + "\r\n\r\n", 431, ""},
    {"header line just at the limit", kGet + "X-A: " + std::string(59, 'a') + "\r\n\r\n", 0, "/index.html"},
    {"too many fields", kGet + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 431, ""},
    {"head over the limit", "GET /" + std::string(50, 'p') + " HTTP/1.1\r\nHost: h\r\n" + "A: " + std::string(61, 'a') +
                                "\r\nB: " + std::string(61, 'a') + "\r\nC: " + std::string(61, 'a') + "\r\n\r\n", 431, ""},
    // The head's limit is crossed before the line's: that decides, however the bytes arrive.
    {"blank lines, then a long request line", repeat("\r\n", 100) + "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n", 414, ""},
    {"a body", kGet + "Content-Length: 5\r\n\r\nhello", 413, ""},
    {"a chunked body", kGet + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 413, ""},
    {"length not a number", kGet + "Content-Length: -1\r\n\r\n", 400, ""},
    {"lengths that disagree", kGet + "Content-Length: 0\r\nContent-Length: 1\r\n\r\n", 400, ""},
};

class HttpRequestHeads : public ::testing::TestWithParam<Case> {};

TEST_P(HttpRequestHeads, AcceptedOrRefusedWithTheRightStatusWhateverThePieces) {
    const Case& c = GetParam();
    std::string first_error;
    for (std::size_t piece : {c.input.size(), std::size_t{1}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        HttpRequestParser parser(kLimits);
        std::string_view rest = c.input;
        Status status = Status::incomplete;
        while (status == Status::incomplete && !rest.empty()) {
            const std::size_t n = std::min(piece, rest.size());
            std::string_view part = rest.substr(0, n);
            status = parser.feed(part);
            rest.remove_prefix(n - part.size());  // what the parser took
        }
        if (c.status == 0) {
            ASSERT_EQ(status, Status::complete) << parser.error();
            EXPECT_EQ(parser.request().path, c.path);
            EXPECT_EQ(parser.request().keep_alive(), c.keep_alive);
        } else {
            ASSERT_EQ(status, Status::failed);
            EXPECT_EQ(parser.error_status(), c.status) << parser.error();
            EXPECT_FALSE(parser.error().empty());
            if (first_error.empty()) first_error = parser.error();
            EXPECT_EQ(parser.error(), first_error);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpRequestHeads, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

TEST(HttpRequestParser, StopsAtTheEndOfAHeadAndReadsTheNextAfterReset) {
    HttpRequestParser parser;
    std::string_view bytes = "GET /a HTTP/1.1\r\nHOST: h\r\nConnection: keep-alive, Upgrade\r\n\r\nHEAD /b HTTP/1.0\r\n\r\nrest";
    ASSERT_EQ(parser.feed(bytes), Status::complete);
    const auto& first = parser.request();
    EXPECT_EQ(first.method, "GET");
    EXPECT_EQ(*first.header("host"), "h");
    EXPECT_TRUE(first.has_token("CONNECTION", "upgrade"));
    EXPECT_FALSE(first.has_token("connection", "close"));
    EXPECT_TRUE(first.keep_alive());
    parser.reset();
    ASSERT_EQ(parser.feed(bytes), Status::complete);
    EXPECT_EQ(parser.request().method, "HEAD");
    EXPECT_EQ(parser.request().path, "/b");
    EXPECT_FALSE(parser.request().keep_alive());
    EXPECT_EQ(bytes, "rest");
}

TEST(HttpResponse, CarriesLengthTypeCacheAndSecurityHeadersButNoServer) {
    web::HttpResponse response;
    response.content_type = "text/html; charset=utf-8";
    response.body = "<p>hi</p>";
    response.cache_control = "no-cache";
    response.extra_headers.emplace_back("Allow", "GET, HEAD");
    const auto when = std::chrono::system_clock::from_time_t(784111777);
    const std::string wire = response.serialize(when);
    EXPECT_EQ(wire.substr(0, wire.find("\r\n")), "HTTP/1.1 200 OK");
    for (const char* field :
         {"\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n", "\r\nContent-Type: text/html; charset=utf-8\r\n",
          "\r\nContent-Length: 9\r\n", "\r\nCache-Control: no-cache\r\n", "\r\nX-Content-Type-Options: nosniff\r\n",
          "\r\nContent-Security-Policy: default-src 'none'; script-src 'self';", "\r\nAllow: GET, HEAD\r\n"})
        EXPECT_NE(wire.find(field), std::string::npos) << field;
    EXPECT_EQ(wire.find("Server:"), std::string::npos);
    EXPECT_EQ(wire.find("Connection:"), std::string::npos);
    EXPECT_EQ(wire.substr(wire.size() - 13), "\r\n\r\n<p>hi</p>");

    const std::string head = response.serialize(when, true);
    EXPECT_EQ(head, wire.substr(0, wire.size() - 9));

    const std::string error = web::error_response(404, "no such page").serialize(when);
    EXPECT_EQ(error.substr(0, error.find("\r\n")), "HTTP/1.1 404 Not Found");
    EXPECT_NE(error.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_NE(error.find("\r\nCache-Control: no-store\r\n"), std::string::npos);
    EXPECT_EQ(error.substr(error.find("\r\n\r\n") + 4), "Not Found: no such page\n");
}

}  // namespace
