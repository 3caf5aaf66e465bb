// Terminal bytes to keys: text, line ends, editing keys, sequences swallowed, bytes dropped.
#include <gtest/gtest.h>

#include "tests/terminal/keys.h"

namespace {

using terminal::Encoding;
using terminal::InputDecoder;
using terminal::Key;
using Code = Key::Code;

std::vector<Key> text(std::u32string_view s) {
    std::vector<Key> keys;
    for (char32_t c : s) keys.push_back(Key::text(c));
    return keys;
}

std::vector<Key> operator+(std::vector<Key> a, const std::vector<Key>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case { const char* name; std::string bytes; std::vector<Key> keys; Encoding encoding = Encoding::utf8; };

const Key enter{Code::enter};

TEST(InputDecoder, TurnsBytesIntoKeysHoweverTheyArrive) {
    const Case cases[] = {
        {"text", "abc", text(U"abc")}, {"utf-8", "серебряный лук", text(U"серебряный лук")},
        {"line ends", std::string("a\r\nb\r\0c\nd\re\r\r", 13),
         text(U"a") + std::vector{enter} + text(U"b") + std::vector{enter} + text(U"c") + std::vector{enter} +
             text(U"d") + std::vector{enter} + text(U"e") + std::vector{enter, enter}},
        {"erasing", "\b\x7f\x1b[3~", {Code::backspace, Code::backspace, Code::del}},
        {"cursor keys", "\x1b[A\x1b[B\x1b[C\x1b[D\x1bOA\x1bOB\x1bOC\x1bOD",
         {Code::up, Code::down, Code::right, Code::left, Code::up, Code::down, Code::right, Code::left}},
        {"home and end", "\x1b[H\x1b[F\x1b[1~\x1b[4~\x1bOH\x1bOF\x1b[7~\x1b[8~",
         {Code::home, Code::end, Code::home, Code::end, Code::home, Code::end, Code::home, Code::end}},
        {"paging keys", "\x1b[2~\x1b[5~\x1b[6~", {Code::insert, Code::page_up, Code::page_down}},
        {"with modifiers", "\x1b[1;5C\x1b[3;2~", {Code::right, Code::del}},
        {"controls", "\x01\x05\x15\x17\x1a\t",
         {Key::ctrl('A'), Key::ctrl('E'), Key::ctrl('U'), Key::ctrl('W'), Key::ctrl('Z'), Code::tab}},
        {"escape then a key", "\x1bx\x1b\x1b[A", std::vector<Key>{Code::escape} + text(U"x") + std::vector<Key>{Code::escape, Code::up}},
        {"unknown sequences", "\x1b[15~a\x1b[?1;2cb\x1b[>0;1Rc\x1b[[Ad\x1bOPe", text(U"abcde")},
        {"strings", "\x1b]0;title\x07" "a\x1b]0;t\x1b\\b\x1bPq#0\x1b\\c\x1b_x\x18" "d", text(U"abcd")},
        {"bracketed paste", "\x1b[200~hi\x1b[201~", text(U"hi")},
        {"broken sequences", "\x1b[12\rx\x1b[\x7fy", std::vector{enter} + text(U"x") + std::vector<Key>{Code::backspace} + text(U"y")},
        {"dropped", std::string("\0\x1c\x1f\xc2\x9b\x9b\xff\xc3(\xe2\x82" "A", 12), text(U"(A")},
        {"cp437", "\x80\xdb\x01\x1b[A\r\n", text(U"Ç█") + std::vector<Key>{Key::ctrl('A'), Code::up, Code::enter},
         Encoding::cp437},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(termtest::decode(c.bytes, c.encoding), c.keys) << c.name;
        InputDecoder decoder(c.encoding);
        std::vector<Key> one_by_one;
        for (char b : c.bytes) decoder.feed(std::string_view(&b, 1), one_by_one);
        decoder.flush(one_by_one);
        EXPECT_EQ(one_by_one, c.keys) << c.name << ", a byte at a time";
    }
}

TEST(InputDecoder, LoneEscapeWaitsForTheOwnerToFlushIt) {
    InputDecoder decoder;
    std::vector<Key> keys;
    decoder.feed("a\x1b", keys);
    EXPECT_EQ(keys, text(U"a"));
    EXPECT_TRUE(decoder.escape_pending());
    decoder.flush(keys);
    EXPECT_EQ(keys, text(U"a") + std::vector<Key>{Code::escape});
    EXPECT_FALSE(decoder.escape_pending());

    keys.clear();
    decoder.feed("\x1b[", keys);  // a sequence begun waits for its end
    EXPECT_FALSE(decoder.escape_pending());
    decoder.flush(keys);
    decoder.feed("D", keys);
    EXPECT_EQ(keys, std::vector<Key>{Code::left});
}

TEST(InputDecoder, GivesUpOnAStringThatNeverEnds) {
    auto keys = termtest::decode("\x1b]" + std::string(3000, 'x'));
    EXPECT_GT(keys.size(), 1000u);
    EXPECT_LT(keys.size(), 3000u);
    EXPECT_EQ(keys.back(), Key::text(U'x'));
}

}  // namespace
