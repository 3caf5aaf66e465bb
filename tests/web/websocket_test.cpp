// WebSocket framing on the server: what client bytes deliver and what the
// server answers, whole and cut into pieces.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/web/frames.h"
#include "web/websocket.h"

namespace {

using namespace webtest;
using web::WebSocket;
using Message = WebSocket::Message;

constexpr std::size_t kLimit = 300;

struct Outcome {
    std::vector<Message> messages;
    std::vector<Frame> output;
    WebSocket::State state;
};

Outcome run(std::string_view input, std::size_t piece) {
    WebSocket socket(web::WebSocketLimits{kLimit});
    Outcome result;
    for (std::size_t at = 0; at < input.size(); at += piece) socket.feed(input.substr(at, piece), result.messages);
    result.output = server_frames(socket.take_output());
    result.state = socket.state();
    return result;
}

struct Case {
    const char* name;
    std::string input;
    std::vector<Message> messages{};
    std::vector<std::string> pongs{};  // payloads of the pongs sent, in order
    std::uint16_t close = 0;         // the code of the server's Close; 0: still open
};

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

const std::string kE9 = "\xc3\xa9";  // é

const std::vector<Case> kCases = {
    // The example of a single-frame masked text message from the protocol's description.
    {"masked Hello", bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}), {{true, "Hello"}}},
    {"unmasked frame", client_frame(0x1, "Hello", true, false), {}, {}, 1002},
    {"binary and text", binary(std::string("\0\xff\x80", 3)) + text("ok"), {{false, std::string("\0\xff\x80", 3)}, {true, "ok"}}},
    {"empty binary message", binary(""), {{false, ""}}},
    {"fragments with a ping between", text("Hel", false) + ping("x") + more("lo"), {{true, "Hello"}}, {"x"}},
    {"three binary fragments, two pings", binary("a", false) + ping("1") + more("b", false) + ping("") + more("c"),
     {{false, "abc"}}, {"1", ""}},
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
    {"64-bit length with the top bit", bytes({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}), {}, {}, 1002},
    {"overlong UTF-8", text("\xc0\xaf"), {}, {}, 1007},
    {"surrogate in UTF-8", text("\xed\xa0\x80"), {}, {}, 1007},
    {"UTF-8 cut at the end of the message", text(kE9.substr(0, 1)), {}, {}, 1007},
    {"invalid UTF-8 in binary is fine", binary("\xc0\xaf"), {{false, "\xc0\xaf"}}},
    {"one frame over the limit", binary(std::string(kLimit + 1, 'x')), {}, {}, 1009},
    {"fragments over the limit", binary(std::string(kLimit, 'x'), false) + more("y"), {}, {}, 1009},
    {"a message of exactly the limit", binary(std::string(kLimit, 'x')), {{false, std::string(kLimit, 'x')}}},
    {"huge declared length", bytes({0x82, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), {}, {}, 1009},
    {"close 1000 is echoed", text("a") + close_frame(1000, "bye"), {{true, "a"}}, {}, 1000},
    {"close 4999 is echoed", close_frame(4999), {}, {}, 4999},
    {"close 3000 is echoed", close_frame(3000), {}, {}, 3000},
    {"close of one byte", client_frame(0x8, "\x03"), {}, {}, 1002},
    {"close 1005 may not be sent", close_frame(1005), {}, {}, 1002},
    {"close 999", close_frame(999), {}, {}, 1002},
    {"close 2999", close_frame(2999), {}, {}, 1002},
    {"close 5000", close_frame(5000), {}, {}, 1002},
    {"close reason not UTF-8", close_frame(1000, "\xff"), {}, {}, 1007},
    {"nothing is read after a close", close_frame(1001) + text("late") + ping("late"), {}, {}, 1001},
    {"close between fragments", text("a", false) + close_frame(1000) + more("b"), {}, {}, 1000},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class WebSocketFraming : public ::testing::TestWithParam<Case> {};

TEST_P(WebSocketFraming, DeliversAndAnswersAlikeWhateverThePieces) {
    const Case& c = GetParam();
    for (std::size_t piece : {c.input.size(), std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        const Outcome r = run(c.input, std::max<std::size_t>(piece, 1));
        EXPECT_EQ(r.messages, c.messages);
        std::vector<Frame> expected;
        for (const auto& p : c.pongs) expected.push_back({true, 0xA, p});
        std::vector<Frame> output = r.output;
        if (c.close) {
            ASSERT_FALSE(output.empty());
            EXPECT_EQ(output.back().opcode, 0x8);
            ASSERT_GE(output.back().payload.size(), 2u);
            EXPECT_EQ((static_cast<std::uint8_t>(output.back().payload[0]) << 8) | static_cast<std::uint8_t>(output.back().payload[1]),
                      c.close);
            output.pop_back();
            EXPECT_EQ(r.state, WebSocket::State::closed);
        } else {
            EXPECT_EQ(r.state, WebSocket::State::open);
        }
        EXPECT_EQ(output, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WebSocketFraming, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

TEST(WebSocketClose, ClientCloseWithoutCodeIsAnsweredWithoutCode) {
    WebSocket socket;
    std::vector<Message> messages;
    socket.feed(client_frame(0x8, ""), messages);
    EXPECT_EQ(server_frames(socket.take_output()), (std::vector<Frame>{{true, 0x8, ""}}));
    EXPECT_EQ(socket.close_code(), web::close_code::none);
    EXPECT_TRUE(socket.closed_by_client());
}

TEST(WebSocketClose, ServerCloseWaitsForTheClientAndDropsDataMeanwhile) {
    WebSocket socket;
    std::vector<Message> messages;
    socket.close(web::close_code::going_away, "shutting down");
    EXPECT_EQ(socket.state(), WebSocket::State::closing);
    EXPECT_EQ(server_frames(socket.take_output()), std::vector<Frame>{server_close(1001, "shutting down")});
    socket.send_binary("not sent");
    socket.feed(text("typed late") + ping("p"), messages);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(socket.take_output(), "");
    socket.feed(close_frame(1001), messages);
    EXPECT_EQ(socket.state(), WebSocket::State::closed);
    EXPECT_EQ(socket.take_output(), "");  // no second Close
    EXPECT_FALSE(socket.closed_by_client());
    EXPECT_EQ(socket.close_code(), 1001);
}

TEST(WebSocketClose, UnsendableCodesBecome1011AndLongReasonsAreCutOnACharacter) {
    WebSocket socket;
    const std::string reason = "a" + std::string(101, 'b') + std::string(20, '\0') + kE9 + kE9;  // é at bytes 122 and 123
    socket.close(1006, reason);
    const auto frames = server_frames(socket.take_output());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], server_close(1011, reason.substr(0, 122)));
}

TEST(WebSocketSend, ServerFramesAreUnmaskedWithTheShortestLength) {
    struct Size {
        std::size_t payload;
        std::size_t header;
    };
    for (const auto [payload, header] : {Size{0, 2}, Size{125, 2}, Size{126, 4}, Size{65535, 4}, Size{65536, 10}}) {
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

}  // namespace
