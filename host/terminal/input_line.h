// The line a user types in character mode, edited and echoed by the host
// (the terminal's own echo being off).
//
// Contract:
//  - begin(column) starts an empty line with the cursor at that column of
//    the screen (where the prompt ended). key() applies one key and appends
//    to `echo` the exact bytes that show its effect; on Enter it echoes
//    CR LF, returns the line (UTF-8) and starts an empty line at column 0.
//  - Keys: characters insert at the cursor, Tab a space; Backspace, Delete,
//    Left, Right, Home and Ctrl-A, End and Ctrl-E, Ctrl-U (the whole line),
//    Ctrl-W (the word before the cursor), Up and Down (the last `history`
//    lines entered, empty ones and repeats left out; Down past the newest
//    brings back what was being typed). Other keys change nothing.
//  - The line never holds more than `limit` bytes, nor part of a character.
//    A key that would pass the limit, or has nothing to act on, rings the
//    bell (BEL) and changes nothing.
//  - An ANSI terminal is sent cursor movement (BS for one step left, CSI A,
//    B, C, D otherwise) and erasing (CSI K, CSI J when the line shrinks by a
//    row), so that a line may be edited anywhere, also over several rows of
//    the window's width. A dumb terminal is sent only text, BS and spaces:
//    the cursor stays at the end of the line, and the keys that would move
//    it ring the bell.
//  - Characters take the columns `widths` gives them (terminal/columns.h):
//    the cursor steps over a cluster (a wide character, a letter with its
//    marks) at once and never stands inside one, and Backspace and Delete
//    take a cluster whole. A wide character that would start in a row's
//    last column goes to the next row, that column left blank.
//  - A password line echoes nothing but the final CR LF, is edited only at
//    its end (like a dumb terminal's) and stays out of the history.
//  - Output the host sends while a line is open, or a change of the window's
//    width: hide() first, show() after.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "terminal/columns.h"
#include "terminal/key.h"

namespace terminal {

class InputLine {
public:
    explicit InputLine(size_t limit, size_t history = 20) : limit_(limit), depth_(history) {}

    void set_limit(size_t limit) { limit_ = limit; }  // for the next line
    void set_terminal(bool ansi, size_t width, Widths widths = Widths::unicode);
    void begin(size_t column = 0, bool password = false);

    std::optional<std::string> key(const Key& key, std::string& echo);

    std::string text() const;
    size_t cursor() const { return cursor_; }  // characters (not columns) before the cursor
    bool password() const { return password_; }

    // Erases the shown text, leaving the cursor where the line starts.
    void hide(std::string& out) const;
    // Shows the line again from `column`, where the cursor is now.
    void show(size_t column, std::string& out);

private:
    bool at_end_only() const { return !ansi_ || password_; }
    void bell(std::string& echo) const { echo += '\a'; }
    // Cells are counted from the left edge of the window on the line's first
    // row. reach(index): where drawing the text before `index` ends; place():
    // where the cluster at `index` is drawn (past the cell left blank when a
    // wide character does not fit in the row's last one), or the text's end.
    size_t reach(size_t index) const;
    size_t place(size_t index) const;
    void move(size_t from_cell, size_t to_cell, std::string& out) const;
    void print(size_t from, std::string& out) const;  // the text from the cluster at `from` on
    void step(size_t to, std::string& echo);  // moves the cursor
    void rub_out(std::u32string_view text, std::string& echo) const;  // a dumb terminal's BS, blank, BS
    // Replaces `count` characters from `from` with `with`; the cursor ends
    // at `cursor`. False (nothing changed) when the limit forbids it.
    bool change(size_t from, size_t count, std::u32string_view with, size_t cursor, std::string& echo);
    void recall(int step, std::string& echo);
    std::string enter(std::string& echo);

    size_t limit_;
    size_t depth_;
    bool ansi_ = true;
    Columns columns_;
    size_t width_ = 80;
    size_t column_ = 0;
    bool password_ = false;
    std::u32string chars_;
    size_t cursor_ = 0;
    size_t bytes_ = 0;
    std::deque<std::u32string> history_;
    size_t browsing_ = 0;  // index into history_; history_.size() when not browsing
    std::u32string draft_;
};

}  // namespace terminal
