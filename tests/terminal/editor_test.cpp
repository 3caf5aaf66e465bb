// The full-screen editor: what keystrokes store, the limits, the menu, the screen after minimal updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "terminal/full_screen_editor.h"
#include "terminal/text.h"
#include "tests/terminal/keys.h"
#include "tests/terminal/screen.h"

namespace {

using namespace termtest;
using terminal::FullScreenEditor;
using Outcome = FullScreenEditor::Outcome;

class EditorTest : public ::testing::Test {
protected:
    void open(std::string_view text = "", size_t size = 801, size_t width = 80, size_t height = 24) {
        editor_.emplace(text, size, width, height);
        screen_.emplace(width, height);
        std::string out;
        editor_->start(out);
        screen_->apply(out);
        outcome_ = Outcome::editing;
    }
    std::string press(std::string_view bytes) {  // Presses the keys until the editor is done; the last key's update.
        std::string out;
        for (const auto& key : decode(bytes)) {
            if (outcome_ != Outcome::editing) break;
            out.clear();
            outcome_ = editor_->key(key, out);
            screen_->apply(out);
        }
        return out;
    }
    void expect_screen_is_current() {  // A full drawing of the editor shows the screen the updates made.
        std::string out;
        editor_->key(terminal::Key::ctrl('L'), out);
        Screen fresh(80, 24);
        fresh.apply(out);
        EXPECT_EQ(screen_->text(), fresh.text());
        EXPECT_EQ(std::pair(screen_->cursor_row(), screen_->cursor_column()),
                  std::pair(fresh.cursor_row(), fresh.cursor_column()));
    }

    std::optional<FullScreenEditor> editor_;
    std::optional<Screen> screen_;
    Outcome outcome_ = Outcome::editing;
};

// Lines "1" to "25", some of them changed.
std::string numbered(const std::map<int, std::string>& changed) {
    std::string text;
    for (int n = 1; n <= 25; ++n) {
        if (n > 1) text += '\r';
        text += changed.count(n) ? changed.at(n) : std::to_string(n);
    }
    return text;
}

TEST_F(EditorTest, KeystrokeScriptsStoreTheTextTheyShow) {
    const std::string a75(75, 'a');
    struct Case {
        const char* script;
        std::string loaded;
        std::string keys;
        std::string stored;
        size_t bells = 0;
    } cases[] = {
        {"utf-8", "", "серебряный лук", "серебряный лук"},
        {"enter splits", "", "abcdef" + kLeft + kLeft + kLeft + kEnter, "abc\rdef"},
        {"backspace joins", "", "abc" + kEnter + "def" + kHome + kBackspace, "abcdef"},
        {"delete joins", "", "abc" + kEnter + "def" + kUp + kEnd + kDelete, "abcdef"},
        {"trailing blanks go", "", " a  b   " + kEnter + kEnter + "   ", " a  b"},
        {"loaded text", "one\rtwo", kDown + kEnd + "!", "one\rtwo!"},
        {"loaded with other breaks", "one\r\ntwo\nthree", kDown + kDown + kEnd + "!", "one\rtwo\rthree!"},
        {"delete a line", "one\rtwo\rthree", kDown + ctrl('Y'), "one\rthree"},
        {"overwrite", "abcd", kInsert + "XY" + kInsert + "Z", "XYZcd"},
        {"word wrap", "", a75 + " bbbbbb", a75 + "\rbbbbbb"},
        {"wrap in the middle", "", a75 + " bbb" + kHome + "cc", "cc" + a75 + "\rbbb"},
        {"page down and up", numbered({}), kPageDown + "a" + kPageDown + "b" + kPageUp + "c",
         numbered({{4, "4c"}, {22, "a22"}, {25, "2b5"}})},
        {"nothing to delete", "", kBackspace + kDelete + ctrl('Y'), "", 3},
        {"a join that does not fit", a75 + "\rbbbbb", kDown + kBackspace, a75 + "\rbbbbb", 1},
    };
    for (const auto& c : cases) {
        open(c.loaded);
        press(c.keys);
        EXPECT_EQ(outcome_, Outcome::editing) << c.script;
        EXPECT_EQ(screen_->bells(), c.bells) << c.script;
        press(ctrl('Z'));
        EXPECT_EQ(outcome_, Outcome::save) << c.script;
        EXPECT_EQ(editor_->stored(), c.stored) << c.script;
    }
}

TEST_F(EditorTest, NeverGrowsPastTheSizeNorSplitsACharacter) {
    open("", 6);  // five bytes
    press("жжж");
    EXPECT_EQ(editor_->stored(), "жж");
    EXPECT_EQ(screen_->bells(), 1u);
    press("a" + kHome + "b");
    EXPECT_EQ(editor_->stored(), "жжa");
    EXPECT_EQ(screen_->bells(), 2u);
    press(kEnd + "    ");  // blanks at the end are not stored, so they fit
    EXPECT_EQ(screen_->bells(), 2u);

    open(std::string(79, 'x'), 81);  // one line
    press(kEnd + "y" + kEnter + kHome + kEnter);
    EXPECT_EQ(editor_->stored(), std::string(79, 'x'));
    EXPECT_EQ(screen_->bells(), 3u);
    EXPECT_EQ(editor_->text().max_lines(), 1u);

    open("абвгд", 8);  // loaded text longer than the size is cut whole
    EXPECT_EQ(editor_->stored(), "абв");
}

TEST_F(EditorTest, MenuSavesAbandonsAndAsksBeforeLosingChanges) {
    open("text");
    press(kEsc + "a");
    EXPECT_EQ(outcome_, Outcome::abandon);  // nothing changed: no question

    open("text");  // (abandoning changed text after Y: e2e test_terminal full_screen_editor_saves_...)
    const std::string menu = "Save, Abandon, Help or Continue? (S/A/H/C)";
    for (const auto& [keys, row, shown, bells] : std::initializer_list<std::tuple<std::string, size_t, std::string, size_t>>{
             {kEnd + "!" + kEsc, 23, menu, 0}, {"z", 23, menu, 1}, {"a", 23, "Your text has changed. Abandon it? (Y/N)", 1},
             {"n", 0, "text!", 1}, {"?" + kEsc + "h", 0, "The editor's keys", 1}, {"x", 0, "text!?", 1}, {kEsc + "c.", 0, "text!?.", 1}}) {
        press(keys);
        EXPECT_EQ(screen_->row(row), shown) << keys;
        EXPECT_EQ(screen_->bells(), bells) << keys;
        EXPECT_EQ(outcome_, Outcome::editing) << keys;
    }

    open("text");
    press(kEnd + "s" + kEsc + "S");
    EXPECT_EQ(outcome_, Outcome::save);
    EXPECT_EQ(editor_->stored(), "texts");
}

// The whole 80x24 screen: the text's rows, blank rows down to the status line, the status and the keys.
std::string page(const std::string& rows, const std::string& status) {
    return rows + std::string(22 - std::count(rows.begin(), rows.end(), '\n'), '\n') + status +
           "\nCtrl-Z save  Esc menu  Ctrl-Y delete line  Ctrl-L redraw  Insert overwrite";
}

TEST_F(EditorTest, ScreenShowsTextStatusAndKeysAndUpdatesOnlyWhatChanged) {
    open("first line\rсеребряный лук");
    EXPECT_EQ(screen_->text(), page("first line\nсеребряный лук", " Line 1/10   Column 1   Insert      Used 38 of 800 bytes"));
    EXPECT_TRUE(screen_->reverse(22, 0));
    EXPECT_TRUE(screen_->reverse(22, 78));
    EXPECT_EQ(screen_->cursor_row(), 0u);

    const std::string update = press(kDown + kEnd + "!");
    EXPECT_EQ(update.substr(0, 1), "!");  // typed where the cursor is: no redraw
    EXPECT_EQ(update.find("\x1b[2J"), std::string::npos);
    EXPECT_LT(update.size(), 40u);
    EXPECT_EQ(screen_->text(), page("first line\nсеребряный лук!", " Line 2/10   Column 16   Insert      Used 39 of 800 bytes"));
    EXPECT_EQ(screen_->cursor_column(), 15u);
    expect_screen_is_current();

    press(kHome + kDelete + kUp + kEnter + "x" + kInsert + ctrl('Y') + kEnd);
    EXPECT_EQ(screen_->text(), page("\nеребряный лук!", " Line 2/10   Column 15   Overwrite   Used 27 of 800 bytes"));
    expect_screen_is_current();
}

TEST_F(EditorTest, WideCharactersTakeTwoColumnsAndMarksNone) {
    const auto times = [](const std::string& key, int n) { std::string keys; while (n-- > 0) keys += key; return keys; };
    open();
    const std::string line = "Второй ряд: серебряный лук 🏹 and 漢字";
    press(line);
    EXPECT_EQ(screen_->text(), page(line, " Line 1/10   Column 39   Insert      Used 64 of 800 bytes"));
    // A step over a wide character is two columns.
    for (const auto& [keys, column] : std::initializer_list<std::pair<std::string, size_t>>{
             {kLeft, 36}, {times(kLeft, 7), 27}, {kRight, 29}, {kHome, 0}, {kEnd, 38}, {times(kLeft, 8) + kRight, 29}}) {
        press(keys);
        EXPECT_EQ(screen_->cursor_column(), column) << keys;
    }
    // A mark joins the letter before it: no step of its own.
    press(kBackspace + kEnd + kEnter + "e\u0301te\u0301" + kLeft + kLeft);
    EXPECT_EQ(screen_->cursor_column(), 1u);
    EXPECT_EQ(screen_->row(22).substr(0, 24), " Line 2/10   Column 2   ");
    // Words wrap where the row's columns end: eleven words of seven columns, and the twelfth.
    press(kEnd + kEnter + times("한국어 ", 12));
    const std::string hangul = times("한국어 ", 10) + "한국어", no_bow = "Второй ряд: серебряный лук  and 漢字";
    EXPECT_EQ(screen_->text(), page(no_bow + "\ne\u0301te\u0301\n" + hangul + "\n한국어",
                                    " Line 4/10   Column 8   Insert      Used 188 of 800 bytes"));
    expect_screen_is_current();
    press(kUp + kUp + kEnd + kDown);  // the column kept falls inside a wide character: before it
    EXPECT_EQ(std::pair(screen_->cursor_row(), screen_->cursor_column()), std::pair(size_t{2}, size_t{2}));
    press(kDelete + kDelete + kUp + kBackspace);
    expect_screen_is_current();
    press(ctrl('Z'));
    EXPECT_EQ(editor_->stored(), no_bow + "\re\u0301e\u0301\r한" + hangul.substr(9) + "\r한국어");

    // A CP437 terminal shows each character in one column, '?' for what it lacks.
    FullScreenEditor cp437("漢字 e\u0301", 801, 80, 24, terminal::Widths::narrow);
    std::string out;
    cp437.start(out);
    cp437.key(terminal::Key(terminal::Key::Code::end), out);
    Screen shown(80, 24);
    shown.apply(terminal::cp437_to_utf8(terminal::utf8_to_cp437(out)));
    EXPECT_EQ(shown.row(0), "?? e?");
    EXPECT_EQ(shown.cursor_column(), 5u);
}

TEST_F(EditorTest, ScrollsToKeepTheCursorInViewAndRedrawsOnResize) {
    std::string loaded;
    for (int n = 1; n <= 30; ++n) loaded += "line " + std::to_string(n) + "\r";
    open(loaded, 4001, 80, 10);  // eight text rows
    press(kPageDown + kPageDown);
    EXPECT_EQ(screen_->row(7), "line 15");
    EXPECT_EQ(screen_->cursor_row(), 7u);
    press(kPageUp);
    EXPECT_EQ(screen_->row(0), "line 8");
    EXPECT_EQ(screen_->cursor_row(), 0u);

    std::string out;
    editor_->resize(100, 30, out);
    Screen bigger(100, 30);
    bigger.apply(out);
    EXPECT_EQ(bigger.row(0), "line 8");
    EXPECT_EQ(bigger.row(28).substr(0, 10), " Line 8/50");
    out.clear();
    editor_->resize(2, 2, out);  // too small to mean anything: laid out as 80 by 24
    Screen untold(80, 24);
    untold.apply(out);
    EXPECT_EQ(untold.row(22).substr(0, 10), " Line 8/50");
}

}  // namespace
