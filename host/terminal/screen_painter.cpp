#include "terminal/screen_painter.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "terminal/text.h"

namespace terminal {

namespace {
constexpr size_t kGap = 8;  // about what moving the cursor costs
}  // namespace

void ScreenPainter::set_window(size_t width, size_t height) {
    width_ = width > 1 ? width : 80;
    height_ = height > 0 ? height : 24;
    drawn_ = false;
}

void ScreenPainter::move(size_t row, size_t column, std::string& out) {
    if (row == row_ && column == column_) return;
    out += "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
    row_ = row;
    column_ = column;
}

void ScreenPainter::paint(const Frame& frame, std::string& out) {
    if (!drawn_) {
        out += "\x1b[0m\x1b[H\x1b[2J";
        shown_.assign(height_, Frame::Row{});
        row_ = column_ = 0;
        drawn_ = true;
    }
    const size_t columns = width_ - 1;
    for (size_t r = 0; r < height_; ++r) {
        Frame::Row row = r < frame.rows.size() ? frame.rows[r] : Frame::Row{};
        if (row.text.size() > columns) row.text.resize(columns);
        Frame::Row& was = shown_[r];
        if (row == was) continue;
        const size_t size = row.text.size(), old_size = was.text.size();
        std::vector<std::pair<size_t, size_t>> runs;  // [from, to) to write
        if (row.reverse != was.reverse) {
            runs.emplace_back(0, size);
        } else {
            const size_t common = std::min(size, old_size);
            for (size_t i = 0; i < common;) {
                if (row.text[i] == was.text[i]) {
                    ++i;
                    continue;
                }
                // A run of changes, with the short stretches of equal
                // characters between them: writing those is cheaper than a move.
                size_t end = i + 1, j = end;
                for (; j < common; ++j) {
                    if (row.text[j] == was.text[j]) continue;
                    if (j - end > kGap) break;
                    end = j + 1;
                }
                runs.emplace_back(i, end);
                i = j;
            }
            if (size > old_size) {
                if (!runs.empty() && common - runs.back().second <= kGap) runs.back().second = size;
                else runs.emplace_back(common, size);
            }
        }
        if (row.reverse) out += "\x1b[7m";
        for (auto [from, to] : runs) {
            if (from == to) continue;
            move(r, from, out);
            out += to_utf8(std::u32string_view(row.text).substr(from, to - from));
            column_ = to;
        }
        if (row.reverse) out += "\x1b[0m";
        if (size < old_size) {
            move(r, size, out);
            out += "\x1b[K";
        }
        was = std::move(row);
    }
    move(std::min(frame.cursor_row, height_ - 1), std::min(frame.cursor_column, columns), out);
}

}  // namespace terminal
