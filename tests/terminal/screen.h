// A small terminal: UTF-8 with xterm's wrapping, CR LF BS BEL, CSI A B C D H J K m; anything else throws.
// Characters take the columns terminal::char_width gives them: a wide one that does not fit on the
// row goes to the next, writing or erasing over either half of one blanks both, and a zero-width one
// joins the character before it (with none before it on the row, it throws).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/columns.h"
#include "terminal/text.h"

namespace termtest {

class Screen {
public:
    Screen(size_t width, size_t height);

    void apply(std::string_view bytes);

    std::string row(size_t r) const;  // UTF-8, trailing blanks removed
    std::string text() const;         // the rows joined with LF, blank rows at the end left out
    bool reverse(size_t r, size_t c) const { return cells_[r][c].reverse; }
    size_t cursor_row() const { return row_; }
    size_t cursor_column() const { return column_; }
    size_t bells() const { return bells_; }
    size_t scrolled() const { return scrolled_; }  // rows scrolled off the top

private:
    struct Cell {
        std::u32string ch = U" ";  // a character and the zero-width ones joined to it
        bool reverse = false;
        bool tail = false;  // the right half of a wide character
    };
    void put(char32_t c);
    void split_wide(size_t r, size_t c);  // blanks the wide character that covers the cell, if any
    void line_feed();
    void sequence(std::string_view parameters, char final);
    void erase(size_t r, size_t from, size_t to);

    size_t width_, height_;
    std::vector<std::vector<Cell>> cells_;
    size_t row_ = 0, column_ = 0;
    bool wrap_pending_ = false, reverse_ = false;
    size_t bells_ = 0, scrolled_ = 0;
    terminal::Utf8Stream utf8_;
    std::string escape_;  // a sequence being read, from its ESC on
};

}  // namespace termtest
