// Draws frames (rows of text and a cursor) on an ANSI terminal and keeps
// what it drew, so that each new frame costs only what changed.
//
// Contract:
//  - Characters take the columns `widths` gives them (terminal/columns.h);
//    frame columns are screen columns.
//  - paint() appends the bytes that turn the screen as last painted into
//    `frame`: for each row that differs, each run of changed columns (short
//    stretches of equal ones between changes included, a wide character
//    always written whole) written at its place (CUP), and CSI K where the
//    row got shorter; then the cursor put where the frame wants it (CUP).
//    Nothing when nothing changed.
//  - The first paint, and the first after redraw() or set_window(), resets
//    the attributes, clears the screen (CSI 2J) and draws every row.
//  - Rows are cut to width-1 columns and rows below the window's height
//    are left out, so that the terminal never wraps nor scrolls. Reverse
//    rows are drawn in reverse video (SGR 7, then SGR 0).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "terminal/columns.h"

namespace terminal {

struct Frame {
    struct Row {
        std::u32string text;
        bool reverse = false;
        friend bool operator==(const Row&, const Row&) = default;
    };
    std::vector<Row> rows;
    size_t cursor_row = 0;
    size_t cursor_column = 0;
};

class ScreenPainter {
public:
    explicit ScreenPainter(Widths widths = Widths::unicode) : columns_(widths) {}
    void set_window(size_t width, size_t height);
    void redraw() { drawn_ = false; }
    void paint(const Frame& frame, std::string& out);
    size_t width() const { return width_; }
    size_t height() const { return height_; }

private:
    // A row as the terminal shows it: the cluster drawn in each column, an
    // empty one in the right half of a wide character.
    struct Cells {
        std::vector<std::u32string> columns;
        bool reverse = false;
        friend bool operator==(const Cells&, const Cells&) = default;
    };
    Cells cells(const Frame::Row& row) const;
    void move(size_t row, size_t column, std::string& out);

    Columns columns_;
    size_t width_ = 80;
    size_t height_ = 24;
    bool drawn_ = false;
    std::vector<Cells> shown_;
    size_t row_ = 0;
    size_t column_ = 0;
};

}  // namespace terminal
