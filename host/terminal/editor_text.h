// The text the full-screen editor edits, with its cursor and its limits.
//
// Contract:
//  - The text is lines of at most kColumns columns each (characters take the
//    columns `widths` gives them: terminal/columns.h), at most
//    max_lines() of them: as many as `size` holds at 80 bytes a line (79
//    columns and a line break), at least one, or as many as the loaded text
//    has if that is more.
//  - The stored form, stored(), is the lines with their trailing blanks
//    removed and the empty lines at the end left out, joined with the host's
//    line break "\r": what the host's line editor stores for the same lines.
//    It never holds more than size-1 bytes (`size` counts the terminator,
//    as the module's buffer does) and never part of a character.
//  - Loading takes the stored form (line breaks "\r", "\n" or "\r\n") cut
//    to size-1 bytes on a character boundary; invalid bytes become '?',
//    other control characters a blank; longer lines are broken as typing
//    would break them.
//  - Every edit happens whole or, when it would pass a limit (bytes, lines,
//    columns), changes nothing and answers false. Typing past the end of a
//    line's columns wraps: the last word moves to a new line below (a word
//    as long as the line is broken where the line ends).
//  - The cursor stands between clusters (terminal/columns.h): it steps over
//    a wide character or a letter with its marks at once, and Backspace,
//    Delete and overwriting take a cluster whole; a zero-width character
//    typed joins the cluster before the cursor. Up, Down and the page moves
//    keep the screen column the cursor was last put at, or stop before the
//    wide character that covers it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/columns.h"

namespace terminal {

class EditorText {
public:
    static constexpr size_t kColumns = 79;
    struct Position {
        size_t line = 0;
        size_t column = 0;  // characters before the cursor in its line
        friend bool operator==(const Position&, const Position&) = default;
    };

    EditorText(std::string_view stored, size_t size, Widths widths = Widths::unicode);

    bool insert(char32_t c, bool overwrite);
    bool split();        // Enter
    bool backspace();    // at a line's start: joins it to the line above
    bool del();          // at a line's end: joins the next line to it
    bool delete_line();

    bool left();
    bool right();
    bool up() { return vertical(-1); }
    bool down() { return vertical(+1); }
    bool home();
    bool end();
    bool page(long lines) { return vertical(lines); }

    const std::vector<std::u32string>& lines() const { return lines_; }
    Position cursor() const { return cursor_; }
    size_t cursor_column() const;  // on the screen: the columns before the cursor
    std::string stored() const;
    size_t limit() const { return limit_; }
    size_t max_lines() const { return max_lines_; }
    bool changed() const { return stored() != original_; }

private:
    template <class Edit>
    bool edit(Edit&& change);
    bool vertical(long lines);
    bool join(size_t line);  // line and line+1
    void wrap(size_t line);
    bool place(Position to);  // moves the cursor and sets the column kept
    size_t width(std::u32string_view text) const { return columns_.width(text); }
    // The cluster boundary of `line` with the most columns before it, at most `column`.
    size_t at_column(const std::u32string& line, size_t column) const;
    void snap_cursor();  // to the cluster boundary at or after it

    Columns columns_;
    std::vector<std::u32string> lines_;
    Position cursor_;
    size_t goal_column_ = 0;
    size_t limit_;
    size_t max_lines_;
    std::string original_;
};

}  // namespace terminal
