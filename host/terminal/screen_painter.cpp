#include "terminal/screen_painter.h"

#include <algorithm>
#include <utility>
#include <vector>


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

ScreenPainter::Cells ScreenPainter::cells(const Frame::Row& row) const {
    Cells out{{}, row.reverse};
    const std::u32string_view text = row.text;
    for (size_t i = 0; i < text.size();) {
        const size_t next = columns_.next(text, i), width = columns_.cluster_width(text, i);
        if (out.columns.size() + width > width_ - 1) break;
        out.columns.emplace_back(text.substr(i, next - i));
        if (width == 2) out.columns.emplace_back();
        i = next;
    }
    return out;
}

void ScreenPainter::paint(const Frame& frame, std::string& out) {
    if (!drawn_) {
        out += "\x1b[0m\x1b[H\x1b[2J";
        shown_.assign(height_, Cells{});
        row_ = column_ = 0;
        drawn_ = true;
    }
    for (size_t r = 0; r < height_; ++r) {
        Cells row = cells(r < frame.rows.size() ? frame.rows[r] : Frame::Row{});
        Cells& was = shown_[r];
        if (row == was) continue;
        const auto& now = row.columns;
        const size_t size = now.size(), old_size = was.columns.size();
        std::vector<std::pair<size_t, size_t>> runs;  // [from, to) to write
        if (row.reverse != was.reverse) {
            runs.emplace_back(0, size);
        } else {
            const size_t common = std::min(size, old_size);
            for (size_t i = 0; i < common;) {
                if (now[i] == was.columns[i]) {
                    ++i;
                    continue;
                }
                // A run of changes, with the short stretches of equal
                // columns between them: writing those is cheaper than a move.
                size_t end = i + 1, j = end;
                for (; j < common; ++j) {
                    if (now[j] == was.columns[j]) continue;
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
            while (from > 0 && now[from].empty()) --from;  // wide characters are written whole
            while (to < size && now[to].empty()) ++to;
            if (from >= to) continue;
            move(r, from, out);
            for (size_t c = from; c < to; ++c) columns_.draw(now[c], out);
            column_ = to;
        }
        if (row.reverse) out += "\x1b[0m";
        if (size < old_size) {
            move(r, size, out);
            out += "\x1b[K";
        }
        was = std::move(row);
    }
    move(std::min(frame.cursor_row, height_ - 1), std::min(frame.cursor_column, width_ - 1), out);
}

}  // namespace terminal
