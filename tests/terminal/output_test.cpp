// Output for dumb terminals, and paging: what the reader sees at each "-- More --".
#include <gtest/gtest.h>

#include <optional>

#include "terminal/output.h"
#include "terminal/pager.h"
#include "tests/terminal/screen.h"

namespace {

using terminal::AnsiStripper;
using terminal::Key;
using terminal::Pager;

TEST(AnsiStripper, RemovesEscapeSequencesWhereverTheOutputIsCut) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[1;31mred\x1b[0m text", "red text"}, {"a\x1b]0;title\x07" "b\x1b]2;t\x1b\\c", "abc"},
        {"a\x1b(Bb\x1b" "7c\x1b#8d", "abcd"}, {"\x1b[2J\x1b[H\r\nline\a\b", "\r\nline\a\b"},
        {"\x1b[12\r\nnext", "\r\nnext"},  // a control ends a broken sequence and stays
        {"Ça█ серебро", "Ça█ серебро"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(AnsiStripper().strip(in), out) << in;
        AnsiStripper pieces;
        std::string by_byte;
        for (char c : in) by_byte += pieces.strip(std::string_view(&c, 1));
        EXPECT_EQ(by_byte, out) << in << ", a byte at a time";
    }
}

class PagerTest : public ::testing::Test {
protected:
    void window(size_t width, size_t height) {
        pager_.set_window(width, height);
        screen_.emplace(width, height);
    }
    void write(std::string_view bytes) { screen_->apply(pager_.write(bytes)); }
    bool press(const Key& key) {
        std::string out;
        bool released = pager_.key(key, out);
        screen_->apply(out);
        return released;
    }
    static std::string lines(int from, int to) {
        std::string out;
        for (int n = from; n <= to; ++n) out += "line " + std::to_string(n) + "\r\n";
        return out;
    }

    Pager pager_;
    std::optional<termtest::Screen> screen_;
};

TEST_F(PagerTest, PagesThreeHundredLinesInATwentyFourRowWindow) {
    window(80, 24);
    write(lines(1, 300));
    int first = 1, pauses = 0;
    while (pager_.paused()) {
        ++pauses;
        // The page fills the window and nothing unread has scrolled away.
        for (int r = 0; r < 23; ++r) ASSERT_EQ(screen_->row(r), "line " + std::to_string(first + r)) << "page " << pauses;
        ASSERT_EQ(screen_->row(23), "-- More --");
        EXPECT_FALSE(press(Key::text(U'x')));
        ASSERT_TRUE(press(pauses % 2 ? Key(Key::Code::enter) : Key::text(U' ')));
        first += 23;
    }
    EXPECT_EQ(pauses, 13);
    EXPECT_EQ(screen_->row(22), "line 300");
    EXPECT_EQ(screen_->row(23), "");
    EXPECT_EQ(screen_->cursor_column(), 0u);
    EXPECT_EQ(pager_.held(), 0u);
}

// (Held output, Q, paging off and on: e2e test_terminal paging_and_a_listing_that_waits, short_windows_page_help_...)

TEST_F(PagerTest, CountsWrappedRowsInColumnsAndIgnoresEscapes) {
    const std::string x(20, 'x'), y(20, 'y');
    window(20, 5);
    write(std::string(70, 'x') + "\r\n" + "next\r\n");  // 70 characters take four rows
    ASSERT_TRUE(pager_.paused());
    EXPECT_EQ(screen_->text(), x + "\n" + x + "\n" + x + "\n" + std::string(10, 'x') + "\n-- More --");
    press(Key::text(U' '));
    EXPECT_EQ(screen_->row(3), "next");
    EXPECT_EQ(screen_->scrolled(), 1u);

    window(20, 5);
    pager_.new_output();
    write(std::string(85, 'y'));  // the 81st character would wrap onto the prompt's row
    EXPECT_TRUE(pager_.paused());
    EXPECT_EQ(screen_->text(), y + "\n" + y + "\n" + y + "\n" + y + "\n-- More --");

    pager_ = Pager{};
    window(20, 5);
    std::string cyrillic;
    for (int i = 0; i < 20; ++i) cyrillic += "е";
    write("\x1b[1;31m" + cyrillic + "\x1b[0m\r\n" + lines(2, 4));  // twenty characters fill one row
    EXPECT_FALSE(pager_.paused());

    pager_ = Pager{};
    window(20, 5);
    // A wide character takes two columns, and the next row when one is left; a mark takes none.
    std::string marks;
    for (int i = 0; i < 8; ++i) marks += "e\u0301";
    const std::string wide = "a漢漢漢漢漢漢漢漢漢字" + marks;
    write(wide.substr(0, 11));
    write(wide.substr(11) + "\r\n" + lines(3, 4));  // cut inside a character
    EXPECT_FALSE(pager_.paused());
    EXPECT_EQ(screen_->text(), "a漢漢漢漢漢漢漢漢漢\n字" + marks + "\nline 3\nline 4");
    write("more");
    EXPECT_TRUE(pager_.paused());
}

TEST_F(PagerTest, PassesOutputUnchangedWhenTheWindowIsUnknownOrTooSmall) {
    const std::string text = lines(1, 100);
    EXPECT_EQ(pager_.write(text), text);
    for (auto [width, height] : {std::pair{0, 0}, {1, 1}, {2, 2}, {10, 2}, {19, 24}, {80, 4}}) {
        pager_.set_window(width, height);
        EXPECT_EQ(pager_.write(text), text) << width << "x" << height;
        EXPECT_FALSE(pager_.paused());
    }
    pager_.set_window(80, 24);  // shrinking while paused sends the rest at once
    pager_.write(text);
    ASSERT_TRUE(pager_.paused());
    pager_.set_window(3, 3);
    std::string out;
    ASSERT_TRUE(pager_.key(Key::text(U' '), out));
    EXPECT_FALSE(pager_.paused());
    EXPECT_NE(out.find(lines(24, 100)), std::string::npos);
}

}  // namespace
