// UTF-8 to and from code points, CP437 both ways, and the columns characters take.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "terminal/columns.h"
#include "terminal/output.h"
#include "terminal/text.h"

namespace {

using namespace terminal;

TEST(Utf8, RoundTripsCyrillic) {
    const std::string text = "серебряный лук";
    EXPECT_EQ(from_utf8(text).size(), 14u);
    EXPECT_EQ(to_utf8(from_utf8(text)), text);
    EXPECT_EQ(from_utf8("a\xff", U'?'), U"a?");
}

TEST(Columns, CharactersTakeTheColumnsTerminalsGiveThem) {
    struct Case { char32_t code; int width; const char* what; } cases[] = {
        {U'A', 1, "ASCII"}, {U'я', 1, "Cyrillic"}, {0xE9, 1, "precomposed e acute"}, {0xAD, 1, "soft hyphen"},
        {0x2500, 1, "box drawing (ambiguous: narrow)"}, {0x2665, 1, "heart suit, text by default"},
        {0x2764, 1, "heavy heart, text by default"}, {0x1F1E6, 1, "regional indicator"}, {0xE000, 1, "private use"},
        {0x0903, 1, "Devanagari visarga, a spacing mark"}, {0x0600, 1, "Arabic number sign, drawn"},
        {0x6F22, 2, "CJK ideograph"}, {0x20000, 2, "CJK extension B"}, {0xAC00, 2, "Hangul syllable"},
        {0x1100, 2, "Hangul leading consonant"}, {0x3000, 2, "ideographic space"}, {0x3001, 2, "ideographic comma"},
        {0xFF21, 2, "fullwidth A"}, {0x1F3F9, 2, "bow and arrow"}, {0x1F600, 2, "grinning face"},
        {0x231A, 2, "watch, emoji by default"}, {0x2B50, 2, "star, emoji by default"}, {0x1F3FB, 2, "skin tone"},
        {0x0301, 0, "combining acute"}, {0x20DD, 0, "enclosing circle"}, {0x0E31, 0, "Thai vowel mark"},
        {0x200B, 0, "zero-width space"}, {0x200D, 0, "zero-width joiner"}, {0x200E, 0, "left-to-right mark"},
        {0xFEFF, 0, "zero-width no-break space"}, {0xFE0F, 0, "emoji variation selector"},
        {0xE0100, 0, "variation selector 17"}, {0x1160, 0, "Hangul vowel"}, {0x11A8, 0, "Hangul final"},
        {0x0007, 0, "a control"}, {0x0085, 0, "a C1 control"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(char_width(c.code), c.width) << c.what;
        EXPECT_EQ(char_width(c.code, Widths::narrow), printable(c.code) ? 1 : 0) << c.what;
    }
    for (int b = 1; b < 256; ++b) EXPECT_EQ(char_width(cp437_glyph(static_cast<unsigned char>(b))), 1) << b;
}

TEST(Columns, ClustersAreACharacterAndTheZeroWidthOnesAfterIt) {
    const Columns columns;
    const std::u32string text = U"\u0301a\u0301\u0302漢\u200d字";
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); i = columns.next(text, i)) starts.push_back(i);
    EXPECT_EQ(starts, (std::vector<size_t>{0, 1, 4, 6}));
    for (size_t k = 1; k < starts.size(); ++k) EXPECT_EQ(columns.previous(text, starts[k]), starts[k - 1]);
    EXPECT_EQ(columns.previous(text, text.size()), 6u);
    EXPECT_EQ(columns.width(text), 1u + 1 + 2 + 2);  // the first mark has nothing to join: it sits on a blank
    std::string drawn;
    columns.draw(text, drawn);
    EXPECT_EQ(drawn, " " + to_utf8(text));
    EXPECT_EQ(Columns(Widths::narrow).width(text), text.size());
    EXPECT_EQ(display_width("Второй ряд: серебряный лук 🏹 and 漢字"), 38u);
    EXPECT_EQ(display_width("e\u0301\xffz"), 3u);  // an invalid byte takes a column of its own
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
