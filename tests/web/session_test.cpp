// One web connection end to end in bytes: the page's files, the upgrade,
// the terminal's messages and the close; and what the pieces under it
// decide alone (the site's files, control messages, UTF-8).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tests/web/frames.h"
#include "web/utf8.h"
#include "web/web_session.h"

namespace {

using namespace webtest;
using web::WebSession;
using Kind = WebSession::Event::Kind;

const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: http://127.0.0.1:8080\r\n\r\n";
const std::string kSwitching =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

class WebSessionTest : public ::testing::Test {
protected:
    WebSessionTest() {
        site_.add("/index.html", {"text/html; charset=utf-8", "<p>page</p>"});
        site_.add("/terminal.js", {"text/javascript; charset=utf-8", "go();"});
    }

    // Feeds the bytes; returns the output.
    std::string feed(std::string_view bytes) {
        session_.feed(bytes, events_);
        return session_.take_output();
    }

    // The status lines and bodies of the responses in `wire`.
    static std::vector<std::pair<std::string, std::string>> responses(std::string wire) {
        std::vector<std::pair<std::string, std::string>> out;
        while (!wire.empty()) {
            const auto head_end = wire.find("\r\n\r\n");
            if (head_end == std::string::npos) break;
            const std::string head = wire.substr(0, head_end);
            const auto at = head.find("Content-Length: ");
            const std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
            out.emplace_back(head.substr(0, head.find("\r\n")), wire.substr(head_end + 4, length));
            wire.erase(0, head_end + 4 + length);
        }
        return out;
    }

    web::StaticSite site_;
    WebSession session_{site_};
    std::vector<WebSession::Event> events_;
};

TEST_F(WebSessionTest, ServesPipelinedRequestsOnOneConnectionUntilOneAsksToClose) {
    const std::string wire = feed("GET / HTTP/1.1\r\nHost: h\r\n\r\nHEAD /terminal.js HTTP/1.1\r\nHost: h\r\n\r\nGET /terminal.js HTTP/1.1\r\nHost: h\r\n");
    EXPECT_EQ(responses(wire), (std::vector<std::pair<std::string, std::string>>{{"HTTP/1.1 200 OK", "<p>page</p>"},
                                                                                   {"HTTP/1.1 200 OK", ""}}));
    EXPECT_NE(wire.find("Content-Type: text/javascript; charset=utf-8\r\nContent-Length: 5\r\n"), std::string::npos);
    EXPECT_FALSE(session_.finished());
    EXPECT_EQ(responses(feed("Connection: close\r\n\r\nGET / HTTP/1.1\r\nHost: h\r\n\r\n")),
              (std::vector<std::pair<std::string, std::string>>{{"HTTP/1.1 200 OK", "go();"}}));
    EXPECT_TRUE(session_.finished());
    EXPECT_TRUE(events_.empty());
}

TEST_F(WebSessionTest, PipelinedRequestsCannotPileUpOutput) {
    site_.add("/big.js", {"text/javascript; charset=utf-8", std::string(1000, 'x')});
    web::WebConfig config;
    config.max_http_output = 2500;
    WebSession session(site_, config);
    std::string requests;
    for (int i = 0; i < 10; ++i) requests += "GET /big.js HTTP/1.1\r\nHost: h\r\n\r\n";
    session.feed(requests, events_);
    EXPECT_EQ(responses(session.take_output()).size(), 2u);  // about 1400 bytes each: two pass the limit
    EXPECT_TRUE(session.finished());
    EXPECT_NE(session.problem().find("pipelined"), std::string::npos);

    WebSession patient(site_, config);  // a client that waits for each answer is never cut off
    for (int i = 0; i < 10; ++i) {
        patient.feed("GET /big.js HTTP/1.1\r\nHost: h\r\n\r\n", events_);
        EXPECT_EQ(responses(patient.take_output()).size(), 1u);
    }
    EXPECT_FALSE(patient.finished());
}

TEST_F(WebSessionTest, RefusesWhatItDoesNotServeAndEndsTheConnection) {
    struct Row {
        std::string request;
        std::string status_line;
    };
    for (const auto& [request, status_line] : {
             Row{"GET /missing HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 404 Not Found"},
             Row{"HEAD /missing HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 404 Not Found"},
             Row{"POST / HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
             Row{"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
             Row{"GET /ws HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 426 Upgrade Required"},
             Row{"GET / HTTP/1.1\r\nHost: h\r\nX: " + std::string(9000, 'x'), "HTTP/1.1 431 Request Header Fields Too Large"},
         }) {
        WebSession session(site_);
        std::vector<WebSession::Event> events;
        session.feed(request + "GET / HTTP/1.1\r\nHost: h\r\n\r\n", events);
        const std::string wire = session.take_output();
        const auto answers = responses(wire);
        ASSERT_EQ(answers.size(), 1u) << request.substr(0, 40);
        if (request.starts_with("HEAD")) {
            EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");  // no body
        }
        EXPECT_EQ(answers[0].first, status_line);
        EXPECT_TRUE(session.finished());
        EXPECT_FALSE(session.problem().empty());
        EXPECT_TRUE(events.empty());
    }
}

TEST_F(WebSessionTest, CarriesTheTerminalOverTheWebSocketUntilTheClientCloses) {
    // The upgrade and the first frames arrive in one read.
    const std::string out = feed(kUpgrade + binary(web::window_size_message({80, 24})) + binary("") + text("Alice\r"));
    EXPECT_EQ(out, kSwitching);
    ASSERT_EQ(events_.size(), 3u);
    EXPECT_EQ(events_[0].kind, Kind::started);
    EXPECT_EQ(events_[1].kind, Kind::window_size);
    EXPECT_EQ(events_[1].size, (web::WindowSize{80, 24}));
    EXPECT_EQ(events_[2].kind, Kind::input);
    EXPECT_EQ(events_[2].input, "Alice\r");
    EXPECT_TRUE(session_.upgraded());

    session_.send("Password: ");
    EXPECT_EQ(server_frames(session_.take_output()), (std::vector<Frame>{{true, 0x2, "Password: "}}));

    events_.clear();
    EXPECT_EQ(server_frames(feed(binary("secret\r") + close_frame(1001))), std::vector<Frame>{server_close(1001)});
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[0].input, "secret\r");
    EXPECT_EQ(events_[1].kind, Kind::ended);
    EXPECT_TRUE(session_.finished());
    events_.clear();
    feed(text("late"));
    EXPECT_TRUE(events_.empty());  // ended comes once, nothing after it
}

TEST_F(WebSessionTest, ClosingFromThisSideEndsWhenTheClientAnswers) {
    feed(kUpgrade);
    session_.close(web::close_code::going_away, "host shutting down");
    EXPECT_EQ(server_frames(session_.take_output()), std::vector<Frame>{server_close(1001, "host shutting down")});
    EXPECT_FALSE(session_.finished());
    feed(close_frame(1001));
    EXPECT_TRUE(session_.finished());
    EXPECT_EQ(events_.back().kind, Kind::ended);
}

TEST_F(WebSessionTest, ABrokenFrameEndsTheSessionWithAProtocolError) {
    feed(kUpgrade);
    const auto frames = server_frames(feed(client_frame(0x2, "x", true, false)));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.substr(0, 2), "\x03\xea");  // 1002
    EXPECT_EQ(events_.back().kind, Kind::ended);
    EXPECT_NE(session_.problem().find("not masked"), std::string::npos);
}

TEST(TerminalMessage, ControlMessagesStartWith0xFFInBinaryOnly) {
    using web::TerminalMessage;
    struct Row {
        bool text;
        std::string data;
        TerminalMessage::Kind kind;
        web::WindowSize size;
    };
    const auto input = TerminalMessage::Kind::input, size = TerminalMessage::Kind::window_size,
               ignored = TerminalMessage::Kind::ignored;
    for (const auto& row : {
             Row{false, web::window_size_message({300, 2}), size, {300, 2}},
             Row{false, web::window_size_message({0x1234, 0xFF01}), size, {0x1234, 0xFF01}},
             Row{false, std::string("\xff" "S\x00\x50\x00\x00", 6), ignored, {}},
             Row{false, std::string("\xff" "S\x00\x50\x00", 5), ignored, {}},
             Row{false, "\xff" "Q", ignored, {}},
             Row{true, "\xff" "S\x01\x01\x01\x01", input, {}},
             Row{false, "ls\r", input, {}},
             Row{false, "", input, {}},
         }) {
        const auto m = web::read_terminal_message(row.text, row.data);
        EXPECT_EQ(m.kind, row.kind) << row.data;
        if (row.kind == size) {
            EXPECT_EQ(m.size, row.size);
        }
        if (row.kind == input) {
            EXPECT_EQ(m.input, row.data);
        }
    }
}

TEST(Utf8, AcceptsRfc3629AndNothingElse) {
    for (const char* good : {"", "plain", "\xc3\xa9", "\xe2\x82\xac", "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(web::valid_utf8(good)) << good;
    for (const char* bad : {"\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xf0\x8f\xbf\xbf",
                            "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xe2\x82", "a\xc3"})
        EXPECT_FALSE(web::valid_utf8(bad)) << bad;
}

class XtermBundle : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("web-bundle-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "public");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }
    std::filesystem::path dir_;
};

TEST_F(XtermBundle, PutsEveryModuleButTestsInPlaceOfTheMarker) {
    write("public/Terminal.js", "exports.Terminal = 1;\n//# sourceMappingURL=Terminal.js.map\n");
    write("Buffer.js", "exports.B = 2;\n");
    write("Buffer.test.js", "exports.T = 3;\n");
    write("Buffer.js.map", "{}");
    const std::string bundle = web::xterm_bundle(dir_, "head\n/* xterm modules */\ntail\n");
    EXPECT_EQ(bundle,
              "head\n"
              "\"Buffer\": function (exports, require, module) {\nexports.B = 2;\n\n},\n"
              "\"public/Terminal\": function (exports, require, module) {\nexports.Terminal = 1;\n\n},\n"
              "\ntail\n");
    EXPECT_THROW(web::xterm_bundle(dir_, "no marker"), std::runtime_error);
    std::filesystem::remove(dir_ / "public/Terminal.js");
    EXPECT_THROW(web::xterm_bundle(dir_, "/* xterm modules */"), std::runtime_error);
}

TEST(StaticSite, LoadsThePageAndDebiansXterm) {
    const auto site = web::StaticSite::load({PLUS_WEB_PAGE_DIR});
    for (const char* path : {"/", "/terminal.js", "/terminal.css", "/xterm.css", "/xterm.js"}) {
        const auto* file = site.find(path);
        ASSERT_NE(file, nullptr) << path;
        EXPECT_FALSE(file->body.empty()) << path;
    }
    EXPECT_NE(site.find("/xterm.js")->body.find("\"addons/fit/fit\": function"), std::string::npos);
    EXPECT_NE(site.find("/")->body.find("<script src=\"terminal.js\"></script>"), std::string::npos);
    EXPECT_EQ(site.find("/index.html"), site.find("/"));
    EXPECT_EQ(site.find("/xterm.js.map"), nullptr);
    EXPECT_THROW(web::StaticSite::load({"/nonexistent"}), std::runtime_error);
}

}  // namespace
