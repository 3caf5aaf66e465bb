// UTF-8 decoding, cutting and width, and CP437 both ways.
#include <gtest/gtest.h>

#include <set>

#include "terminal/output.h"
#include "terminal/text.h"

namespace {

using namespace terminal;

TEST(Utf8, DecodesValidCharactersAndRejectsEveryInvalidForm) {
    struct Case { std::string bytes; char32_t code; size_t size; bool valid; } cases[] = {
        {"A", U'A', 1, true}, {"\xc3\xa9", U'é', 2, true}, {"\xe2\x82\xac", U'€', 3, true},
        {"\xf0\x9f\x98\x80", U'😀', 4, true}, {"\xf4\x8f\xbf\xbf", 0x10FFFF, 4, true},
        // overlong NUL and '/', a surrogate, past U+10FFFF, a lone continuation, cut short
        {"\xc0\x80", kReplacement, 1, false}, {"\xe0\x80\xaf", kReplacement, 1, false},
        {"\xed\xa0\x80", kReplacement, 1, false}, {"\xf4\x90\x80\x80", kReplacement, 1, false},
        {"\x80", kReplacement, 1, false}, {"\xe2\x82", kReplacement, 1, false},
        {"\xe2\x82" "A", kReplacement, 1, false}, {"\xff", kReplacement, 1, false},
    };
    for (const auto& c : cases) {
        Utf8Char got = decode_utf8(c.bytes);
        EXPECT_EQ(got.code, c.code) << c.bytes;
        EXPECT_EQ(got.size, c.size) << c.bytes;
        EXPECT_EQ(got.valid, c.valid) << c.bytes;
        EXPECT_EQ(valid_utf8(c.bytes), c.valid && c.size == c.bytes.size()) << c.bytes;
    }
}

TEST(Utf8, RoundTripsCyrillicAndCountsCharacters) {
    const std::string text = "серебряный лук";
    EXPECT_EQ(display_width(text), 14u);
    EXPECT_EQ(from_utf8(text).size(), 14u);
    EXPECT_EQ(to_utf8(from_utf8(text)), text);
    EXPECT_EQ(display_width("a\xffz"), 3u);  // an invalid byte takes a column of its own
    EXPECT_EQ(from_utf8("a\xff", U'?'), U"a?");
}

TEST(Utf8, CutsOnlyBetweenCharacters) {
    struct Case { std::string text; size_t max; std::string cut; } cases[] = {
        {"серебряный", 5, "се"}, {"серебряный", 4, "се"}, {"серебряный", 1, ""}, {"abc", 5, "abc"},
        {"a€", 3, "a"}, {"a€", 4, "a€"}, {"😀x", 3, ""},
        {"\xff\xfe" "abc", 3, "\xff\xfe" "a"},  // invalid bytes are cut anywhere
    };
    for (const auto& c : cases) EXPECT_EQ(cut_utf8(c.text, c.max), c.cut) << c.text << " to " << c.max;
}

TEST(Cp437, TableIsAFullBijectionWithTheUsualGraphics) {
    std::set<char32_t> seen;
    for (int b = 0; b < 256; ++b) seen.insert(cp437_glyph(static_cast<unsigned char>(b)));
    EXPECT_EQ(seen.size(), 256u);
    const std::pair<unsigned char, char32_t> known[] = {
        {0x01, U'☺'}, {0x03, U'♥'}, {0x0D, U'♪'}, {0x1B, U'←'}, {0x7F, U'⌂'}, {0x80, U'Ç'}, {0x9B, U'¢'},
        {0xB0, U'░'}, {0xC9, U'╔'}, {0xDB, U'█'}, {0xE1, U'ß'}, {0xF9, U'∙'}, {0xFE, U'■'}, {0xFF, 0xA0},
    };
    for (auto [byte, code] : known) EXPECT_EQ(cp437_glyph(byte), code) << int(byte);
    for (int b = 1; b < 256; ++b) {
        auto byte = static_cast<unsigned char>(b);
        const bool printable = b >= 0x20 ? b != 0x7F : !cp437_control(byte);
        EXPECT_EQ(cp437_from_unicode(cp437_glyph(byte)), printable ? b : -1) << b;
    }
}

TEST(Cp437, TranslatesBothWaysKeepingControls) {
    EXPECT_EQ(cp437_to_utf8("\x80\xdb\r\n\x01\x1b[0m"), "Ç█\r\n\x01\x1b[0m");
    EXPECT_EQ(utf8_to_cp437("Ça█\r\n☺ ♪ € ’\xff"), "\x80" "a\xdb\r\n\x01 ? ? '?");
    std::string high;
    for (int b = 0x80; b < 256; ++b) high += static_cast<char>(b);
    EXPECT_EQ(utf8_to_cp437(cp437_to_utf8(high)), high);

    const std::string text = "Ç█ сер\xe2\x82" "A";  // Output cut inside a character still translates it whole.
    Cp437Encoder whole, pieces;
    std::string by_byte;
    for (char c : text) by_byte += pieces.encode(std::string_view(&c, 1));
    EXPECT_EQ(whole.encode(text), utf8_to_cp437(text));
    EXPECT_EQ(by_byte, utf8_to_cp437(text));
}

}  // namespace
