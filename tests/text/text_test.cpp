// The host's text toolkit: ASCII case and blanks, fixed-width fields, UTF-8
// decoding, validating and cutting, and text shown in a log.
#include <gtest/gtest.h>

#include <string>

#include "text/ascii.h"
#include "text/utf8.h"

namespace {

int sign(int n) { return n < 0 ? -1 : n > 0 ? 1 : 0; }

TEST(Ascii, CaseIsIgnoredForAsciiLettersOnly) {
    struct Case { std::string_view a, b; bool equal; int order; bool starts; } cases[] = {
        {"Alice", "aLICE", true, 0, true}, {"", "", true, 0, true}, {"alice", "", false, 1, true},
        {"Al", "alice", false, -1, false}, {"alice", "AL", false, 1, true}, {"Bob", "alice", false, 1, false},
        {"[", "a", false, -1, false},  // '[' sorts after 'A' but before 'a': letters compare lowered
        {"\xc3\xa9", "\xc3\x89", false, 1, false},  // é and É: bytes past 0x7F stay as they are
        {std::string_view("a\0b", 3), std::string_view("A\0B", 3), true, 0, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::equal_ignoring_case(c.a, c.b), c.equal) << c.a << " ~ " << c.b;
        EXPECT_EQ(sign(text::compare_ignoring_case(c.a, c.b)), c.order) << c.a << " ~ " << c.b;
        EXPECT_EQ(sign(text::compare_ignoring_case(c.b, c.a)), -c.order) << c.b << " ~ " << c.a;
        EXPECT_EQ(text::starts_ignoring_case(c.a, c.b), c.starts) << c.a << " ~ " << c.b;
    }
    EXPECT_EQ(text::lowercase("Keep-Alive 1\xc3\x89"), "keep-alive 1\xc3\x89");
    EXPECT_EQ(text::uppercase("yes, n\xc3\xa9"), "YES, N\xc3\xa9");
}

TEST(Ascii, TrimmingTakesTheGivenBlanksOffEitherEnd) {
    struct Case { std::string_view s, blanks, both, front, back; } cases[] = {
        {" \tkey = v \t", text::kBlanks, "key = v", "key = v \t", " \tkey = v"},
        {"\r\n YES\v\f", text::kWhiteSpace, "YES", "YES\v\f", "\r\n YES"},
        {"\r\n YES\v\f", text::kBlanks, "\r\n YES\v\f", "\r\n YES\v\f", "\r\n YES\v\f"},
        {" \t ", text::kBlanks, "", "", ""}, {"", text::kBlanks, "", "", ""}, {"a", text::kBlanks, "a", "a", "a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::trim(c.s, c.blanks), c.both) << '"' << c.s << '"';
        EXPECT_EQ(text::trim_front(c.s, c.blanks), c.front) << '"' << c.s << '"';
        EXPECT_EQ(text::trim_back(c.s, c.blanks), c.back) << '"' << c.s << '"';
    }
}

TEST(Ascii, AFieldEndsAtItsFirstNulOrItsWidth) {
    const char full[4] = {'a', 'b', 'c', 'd'}, early[4] = {'a', '\0', 'c', 'd'}, empty[4] = {};
    struct Case { std::string_view got, expected; } cases[] = {
        {text::field(full), "abcd"},  // a text that fills its field has no terminator
        {text::field(early), "a"}, {text::field(empty), ""}, {text::field(full, 2), "ab"}, {text::field(early, 4), "a"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(Utf8, DecodesValidCharactersAndRejectsEveryInvalidForm) {
    struct Case { std::string bytes; char32_t code; size_t size; bool valid, whole; } cases[] = {
        {"A", U'A', 1, true, true}, {"\xc3\xa9", U'é', 2, true, true}, {"\xe2\x82\xac", U'€', 3, true, true},
        {"\xef\xbf\xbf", 0xFFFF, 3, true, true}, {"\xf0\x90\x80\x80", 0x10000, 4, true, true},
        {"\xf0\x9f\x98\x80", U'😀', 4, true, true}, {"\xf4\x8f\xbf\xbf", 0x10FFFF, 4, true, true},
        {"plain", U'p', 1, true, true}, {"a\xc3", U'a', 1, true, false},
        // overlong forms, surrogates, past U+10FFFF, a lone continuation, a
        // lead that none follows or one not continued: each a byte of its own
        {"\xc0\x80", 0xC0, 1, false, false}, {"\xc1\xbf", 0xC1, 1, false, false},
        {"\xe0\x80\xaf", 0xE0, 1, false, false}, {"\xe0\x9f\xbf", 0xE0, 1, false, false},
        {"\xf0\x8f\xbf\xbf", 0xF0, 1, false, false}, {"\xed\xa0\x80", 0xED, 1, false, false},
        {"\xf4\x90\x80\x80", 0xF4, 1, false, false}, {"\xf5\x80\x80\x80", 0xF5, 1, false, false},
        {"\x80", 0x80, 1, false, false}, {"\xe2\x82", 0xE2, 1, false, false},
        {"\xe2\x82" "A", 0xE2, 1, false, false}, {"\xff", 0xFF, 1, false, false},
    };
    for (const auto& c : cases) {
        const text::Utf8Char got = text::decode_utf8(c.bytes);
        EXPECT_EQ(got.code, c.code) << c.bytes;
        EXPECT_EQ(got.size, c.size) << c.bytes;
        EXPECT_EQ(got.valid, c.valid) << c.bytes;
        EXPECT_EQ(text::valid_utf8(c.bytes), c.whole) << c.bytes;
        if (c.valid) {
            std::string encoded;
            text::append_utf8(encoded, c.code);
            EXPECT_EQ(encoded, c.bytes.substr(0, c.size)) << c.bytes;
            EXPECT_EQ(text::utf8_size(c.code), c.size) << c.bytes;
        }
    }
    EXPECT_TRUE(text::valid_utf8(""));
    EXPECT_EQ(text::decode_utf8("a\xc3\xa9", 1).code, U'é');
}

TEST(Utf8, CutsOnlyBetweenCharacters) {
    struct Case { std::string text; size_t max; std::string cut; } cases[] = {
        {"серебряный", 5, "се"}, {"серебряный", 4, "се"}, {"серебряный", 1, ""}, {"abc", 5, "abc"},
        {"a€", 3, "a"}, {"a€", 4, "a€"}, {"😀x", 3, ""},
        {"\xff\xfe" "abc", 3, "\xff\xfe" "a"},  // invalid bytes are cut anywhere
    };
    for (const auto& c : cases) EXPECT_EQ(text::cut_utf8(c.text, c.max), c.cut) << c.text << " to " << c.max;
}

TEST(Utf8, ALogShowsControlsAndInvalidBytesAsHex) {
    struct Case { std::string_view text, shown; } cases[] = {
        {"plain é 漢", "plain é 漢"}, {"bell\a esc\x1b[2J", "bell\\x07 esc\\x1b[2J"}, {"line\r\n", "line\\x0d\\x0a"},
        {"del\x7f", "del\\x7f"}, {"\xc2\x85 next line", "\\xc2\\x85 next line"},  // U+0085, a C1 control
        {"\x9b" "31m \xe2\x82", "\\x9b31m \\xe2\\x82"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::escaped_for_log(c.text), c.shown) << c.text;
}

}  // namespace
