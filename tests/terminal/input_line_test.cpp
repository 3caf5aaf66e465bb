// The character-mode line on a screen model: exact echo, limits, history, passwords, dumb terminals.
#include <gtest/gtest.h>

#include <optional>

#include "terminal/input_line.h"
#include "tests/terminal/keys.h"
#include "tests/terminal/screen.h"

namespace {

using namespace termtest;
using terminal::InputLine;

class InputLineTest : public ::testing::Test {
protected:
    // A prompt "> " on a screen of six rows, then the line at column 2.
    void open(size_t width = 80, size_t limit = 79, bool ansi = true) {
        screen_.emplace(width, 6);
        line_.emplace(limit, 3);
        line_->set_terminal(ansi, width);
        screen_->apply("> ");
        line_->begin(2);
    }
    std::string type(std::string_view bytes) {  // Types the bytes; answers the echo, and keeps the lines entered.
        std::string echo;
        for (const auto& key : decode(bytes))
            if (auto entered = line_->key(key, echo)) entered_.push_back(*entered);
        screen_->apply(echo);
        return echo;
    }
    void expect_cursor(size_t row, size_t column) {
        EXPECT_EQ(std::pair(screen_->cursor_row(), screen_->cursor_column()), std::pair(row, column));
    }

    std::optional<Screen> screen_;
    std::optional<InputLine> line_;
    std::vector<std::string> entered_;
};

TEST_F(InputLineTest, EditsShowOnTheScreenAsTheLineHoldsThem) {
    struct Case { const char* script; std::string keys; std::string line; size_t cursor; } cases[] = {
        {"delete under the cursor", "hello" + ctrl('A') + kRight + kDelete, "hllo", 1},
        {"backspace in the middle", "hello" + kLeft + kLeft + kBackspace, "helo", 2},
        {"kill two words", "one two three" + ctrl('W') + ctrl('W'), "one ", 4},
        {"kill a word mid-line", "one two three" + kLeft + kLeft + kLeft + kLeft + kLeft + ctrl('W'), "one three", 4},
        {"kill the line", "abc" + kLeft + ctrl('U') + "x", "x", 1},
        {"utf-8", "сербряный" + kLeft + kLeft + kLeft + kLeft + kLeft + kLeft + "е", "серебряный", 4},
        {"tab", "a\tb", "a b", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        open();
        entered_.clear();
        type(c.keys);
        EXPECT_EQ(line_->text(), c.line);
        EXPECT_EQ(line_->cursor(), c.cursor);
        std::string shown = "> " + c.line;
        EXPECT_EQ(screen_->text(), shown.erase(shown.find_last_not_of(' ') + 1));
        expect_cursor(0, 2 + c.cursor);
        EXPECT_EQ(screen_->bells(), 0u);
        type(kEnter);
        EXPECT_EQ(entered_, std::vector<std::string>{c.line});
    }
}

TEST_F(InputLineTest, EchoesEachKeyWithExactBytes) {
    open();
    const std::pair<std::string, std::string> ansi[] = {
        {"a", "a"}, {"é", "é"}, {kLeft, "\b"}, {kRight, "\x1b[C"}, {kBackspace, "\b\x1b[K"}, {"bc", "bc"},
        {kHome, "\x1b[3D"}, {"X", "Xabc\x1b[3D"}, {kEnter, "\x1b[3C\r\n"},
    };
    for (const auto& [keys, echo] : ansi) EXPECT_EQ(type(keys), echo);
    EXPECT_EQ(entered_, std::vector<std::string>{"Xabc"});

    open(80, 79, /*ansi=*/false);
    const std::pair<std::string, std::string> dumb[] = {
        {"xyz", "xyz"}, {kBackspace, "\b \b"}, {kLeft + kHome + kDelete, "\a\a\a"}, {ctrl('U'), "\b \b\b \b"},
        {"ok" + kEnter, "ok\r\n"},
    };
    for (const auto& [keys, echo] : dumb) EXPECT_EQ(type(keys), echo);
    EXPECT_EQ(entered_.back(), "ok");
}

TEST_F(InputLineTest, PasswordsAreNeverEchoedNorKept) {
    open();
    line_->begin(2, /*password=*/true);
    EXPECT_EQ(type("secret" + kBackspace + "T" + kLeft + kUp), "\a\a");
    EXPECT_EQ(type(kEnter), "\r\n");
    EXPECT_EQ(entered_, std::vector<std::string>{"secreT"});
    EXPECT_FALSE(line_->password());  // for this line only
    EXPECT_EQ(type(kUp), "\a");       // nothing to recall
}

TEST_F(InputLineTest, LimitCountsBytesAndNeverSplitsACharacter) {
    open(80, 5);
    type("серебро");
    EXPECT_EQ(line_->text(), "се");
    EXPECT_EQ(screen_->bells(), 5u);
    type("a" + kHome + "b");
    EXPECT_EQ(line_->text(), "сеa");
    EXPECT_EQ(screen_->text(), "> сеa");
    EXPECT_EQ(screen_->bells(), 6u);
}

TEST_F(InputLineTest, UpAndDownRecallTheLastLines) {
    open();
    type("first" + kEnter + "second" + kEnter + "second" + kEnter + "third" + kEnter);
    screen_->apply("> ");
    line_->begin(2);
    type("dr");
    for (const auto& [key, shown] : std::initializer_list<std::pair<std::string, std::string>>{
             {kUp, "third"}, {kUp, "second"}, {kUp, "first"}, {kDown, "second"}, {kDown, "third"}, {kDown, "dr"}}) {
        type(key);
        EXPECT_EQ(line_->text(), shown);
        EXPECT_EQ(screen_->row(4), "> " + shown);
        EXPECT_EQ(screen_->cursor_column(), 2 + shown.size());
    }
    EXPECT_EQ(screen_->bells(), 0u);
    type(kDown + kUp + kUp + kUp + kUp);
    EXPECT_EQ(screen_->bells(), 2u);  // past the newest, then past the oldest of three kept
    EXPECT_EQ(line_->text(), "first");
}

TEST_F(InputLineTest, LongLinesWrapAndStayEditableAcrossRows) {
    open(10, 79);
    type("abcdefghijklmnopqrst");  // 2 + 20 columns: rows of 10, 10 and 2
    EXPECT_EQ(screen_->text(), "> abcdefgh\nijklmnopqr\nst");
    type(kHome + "X");
    EXPECT_EQ(screen_->text(), "> Xabcdefg\nhijklmnopq\nrst");
    expect_cursor(0, 3);
    type(kDelete + kDelete + kDelete + kEnd);
    EXPECT_EQ(screen_->text(), "> Xdefghij\nklmnopqrst");
    expect_cursor(2, 0);  // the line fills two rows: the cursor waits on the next
    type(kBackspace + kLeft + kLeft + kLeft + ctrl('W'));
    EXPECT_EQ(line_->text(), "qrs");
    EXPECT_EQ(screen_->text(), "> qrs");
    expect_cursor(0, 2);
    type(kEnter);
    EXPECT_EQ(entered_.back(), "qrs");
    expect_cursor(1, 0);
}

TEST_F(InputLineTest, WideCharactersTakeTwoColumnsAndMarksNone) {
    // Each script ends with the cursor at a column of the first row.
    struct Case { const char* script; std::string keys; std::string line; size_t cursor, column; } cases[] = {
        {"wide at the end", "漢字", "漢字", 2, 6},
        {"left over a wide one", "漢字" + kLeft, "漢字", 1, 4},
        {"a mark joins the letter before it", "ae\u0301b" + kLeft + kLeft, "ae\u0301b", 1, 3},
        {"backspace takes a letter with its mark", "ae\u0301" + kBackspace, "a", 1, 3},
        {"delete takes a wide one", "a🏹b" + kHome + kRight + kDelete, "ab", 1, 3},
        {"insert before a wide one", "字" + kHome + "漢", "漢字", 1, 4},
        {"a mark typed first has a blank to sit on", "\u0301x", "\u0301x", 2, 4},
        {"a letter typed before that mark takes it", "\u0301" + kHome + "e", "e\u0301", 2, 3},
        {"a mark after a wide one", "漢\u0301x" + kLeft + kLeft, "漢\u0301x", 0, 2},
        {"joiners and selectors take no column", "👨\u200d👩\u2764\ufe0f", "👨\u200d👩\u2764\ufe0f", 5, 7},
        {"end after home", "漢e\u0301🏹" + kHome + kEnd, "漢e\u0301🏹", 4, 7},
        {"kill a word", "漢字 ab\u0301c" + ctrl('W'), "漢字 ", 3, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        open();
        type(c.keys);
        EXPECT_EQ(line_->text(), c.line);
        EXPECT_EQ(line_->cursor(), c.cursor);
        std::string shown = "> " + (c.line.rfind("\u0301", 0) == 0 ? " " + c.line : c.line);
        EXPECT_EQ(screen_->text(), shown.erase(shown.find_last_not_of(' ') + 1));
        expect_cursor(0, c.column);
        EXPECT_EQ(screen_->bells(), 0u);
    }

    open(10, 79);  // a wide character that does not fit in the row's last column goes to the next row
    type("abcdefg漢字");
    EXPECT_EQ(screen_->text(), "> abcdefg\n漢字");
    expect_cursor(1, 4);
    type(kHome + kDelete);
    EXPECT_EQ(screen_->text(), "> bcdefg漢\n字");
    type(kEnd + kLeft);
    expect_cursor(1, 0);
    type(kHome + "x");
    EXPECT_EQ(screen_->text(), "> xbcdefg\n漢字");
    type(kEnd + kBackspace + kBackspace);
    EXPECT_EQ(screen_->text(), "> xbcdefg");
    expect_cursor(0, 9);

    open(80, 79, /*ansi=*/false);  // a dumb terminal takes back both columns of a wide character
    EXPECT_EQ(type("a漢" + kBackspace + "e\u0301" + kBackspace), "a漢\b\b  \b\be\u0301\b \b");
}

TEST_F(InputLineTest, OutputWhileTypingHidesAndShowsTheLine) {
    open();
    type("abc" + kLeft);
    std::string out;
    line_->hide(out);
    out += "\r\nAlice says hi.\r\n> ";
    line_->show(2, out);
    screen_->apply(out);
    EXPECT_EQ(screen_->text(), ">\nAlice says hi.\n> abc");
    expect_cursor(2, 4);
    type("d");
    EXPECT_EQ(screen_->row(2), "> abdc");
}

}  // namespace
