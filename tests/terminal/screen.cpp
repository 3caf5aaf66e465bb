#include "tests/terminal/screen.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace termtest {

Screen::Screen(size_t width, size_t height)
    : width_(width), height_(height), cells_(height, std::vector<Cell>(width)) {}

std::string Screen::row(size_t r) const {
    std::u32string text;
    for (const Cell& cell : cells_.at(r))
        if (!cell.tail) text += cell.ch;
    text.erase(text.find_last_not_of(U' ') + 1);
    return terminal::to_utf8(text);
}

std::string Screen::text() const {
    std::string all;
    for (size_t r = 0; r < height_; ++r) all += row(r) + "\n";
    return all.erase(all.find_last_not_of('\n') + 1);
}

void Screen::apply(std::string_view bytes) {
    for (char ch : bytes) {
        auto b = static_cast<unsigned char>(ch);
        if (!escape_.empty()) {
            escape_ += ch;
            if (escape_.size() == 2 && b != '[') throw std::runtime_error("unexpected ESC " + escape_);
            if (escape_.size() > 2 && b >= 0x40 && b <= 0x7E) {
                sequence(std::string_view(escape_).substr(2, escape_.size() - 3), ch);
                escape_.clear();
            }
            continue;
        }
        switch (b) {
        case 0x1B: escape_ = ch; break;
        case '\r': column_ = 0, wrap_pending_ = false; break;
        case '\n': line_feed(); break;
        case '\b': column_ -= column_ > 0, wrap_pending_ = false; break;
        case '\a': ++bells_; break;
        default:
            if (b < 0x20 || b == 0x7F) throw std::runtime_error("unexpected control byte " + std::to_string(b));
            if (utf8_.feed(b) == terminal::Utf8Stream::Result::character) put(utf8_.character());
            else if (!utf8_.pending()) throw std::runtime_error("invalid UTF-8 sent");
        }
    }
}

void Screen::line_feed() {
    wrap_pending_ = false;
    if (row_ + 1 < height_) return void(++row_);
    cells_.erase(cells_.begin());
    cells_.emplace_back(width_);
    ++scrolled_;
}

void Screen::put(char32_t c) {
    const int width = terminal::char_width(c);
    if (width == 0) {
        size_t at = wrap_pending_ ? column_ : column_ - 1;
        if (!wrap_pending_ && column_ == 0) throw std::runtime_error("a zero-width character with nothing to join");
        if (cells_[row_][at].tail) --at;
        cells_[row_][at].ch += c;
        return;
    }
    if (wrap_pending_ || column_ + width > width_) column_ = 0, line_feed();
    for (int i = 0; i < width; ++i) split_wide(row_, column_ + i);
    cells_[row_][column_] = {std::u32string(1, c), reverse_};
    if (width == 2) cells_[row_][column_ + 1] = {U"", reverse_, true};
    if (column_ + width < width_) column_ += width;
    else column_ = width_ - 1, wrap_pending_ = true;
}

void Screen::split_wide(size_t r, size_t c) {
    if (cells_[r][c].tail) cells_[r][c - 1] = {}, cells_[r][c] = {};
    else if (c + 1 < width_ && cells_[r][c + 1].tail) cells_[r][c] = {}, cells_[r][c + 1] = {};
}

void Screen::erase(size_t r, size_t from, size_t to) {
    if (from < to) split_wide(r, from), split_wide(r, to - 1);
    for (size_t c = from; c < to; ++c) cells_[r][c] = {};
}

void Screen::sequence(std::string_view parameters, char final) {
    std::vector<size_t> n;
    for (size_t start = 0; start <= parameters.size();) {
        size_t end = std::min(parameters.find(';', start), parameters.size());
        n.push_back(std::strtoul(std::string(parameters.substr(start, end - start)).c_str(), nullptr, 10));
        start = end + 1;
    }
    const size_t count = std::max<size_t>(1, n[0]);
    wrap_pending_ = false;
    switch (final) {
    case 'A': row_ -= std::min(row_, count); break;
    case 'B': row_ = std::min(height_ - 1, row_ + count); break;
    case 'C': column_ = std::min(width_ - 1, column_ + count); break;
    case 'D': column_ -= std::min(column_, count); break;
    case 'H':
        row_ = std::min(height_, std::max<size_t>(1, n[0])) - 1;
        column_ = std::min(width_, std::max<size_t>(1, n.size() > 1 ? n[1] : 1)) - 1;
        break;
    case 'K': erase(row_, column_, width_); break;
    case 'J':  // 2: all; else from the cursor on
        erase(row_, n[0] == 2 ? 0 : column_, width_);
        for (size_t r = 0; r < height_; ++r)
            if (r > row_ || n[0] == 2) erase(r, 0, width_);
        break;
    case 'm': reverse_ = std::find(n.begin(), n.end(), 7u) != n.end(); break;
    default: throw std::runtime_error("unexpected sequence ESC [" + std::string(parameters) + final);
    }
}

}  // namespace termtest
