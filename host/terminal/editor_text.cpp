#include "terminal/editor_text.h"

#include <algorithm>

#include "terminal/text.h"
#include "text/utf8.h"

namespace terminal {

namespace {

size_t trimmed_size(const std::u32string& line) {
    size_t n = line.size();
    while (n > 0 && line[n - 1] == U' ') --n;
    return n;
}

}  // namespace

EditorText::EditorText(std::string_view stored, size_t size, Widths widths)
    : columns_(widths), limit_(size > 0 ? size - 1 : 0), max_lines_(std::max<size_t>(1, (limit_ + 79) / 80)) {
    std::u32string text = from_utf8(text::cut_utf8(stored, limit_), U'?');
    lines_.emplace_back();
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c == U'\r' || c == U'\n') {
            if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
            lines_.emplace_back();
            continue;
        }
        lines_.back() += printable(c) ? c : U' ';
        if (width(lines_.back()) > kColumns) wrap(lines_.size() - 1);
    }
    // Lines broken where they had no blank take a line break more each; the
    // text's end gives way to them.
    while (this->stored().size() > limit_) {
        while (lines_.size() > 1 && trimmed_size(lines_.back()) == 0) lines_.pop_back();
        lines_.back().resize(trimmed_size(lines_.back()) - 1);
    }
    max_lines_ = std::max(max_lines_, lines_.size());
    cursor_ = {};
    original_ = this->stored();
}

std::string EditorText::stored() const {
    size_t last = lines_.size();
    while (last > 0 && trimmed_size(lines_[last - 1]) == 0) --last;
    std::string out;
    for (size_t i = 0; i < last; ++i) {
        if (i > 0) out += '\r';
        out += to_utf8(std::u32string_view(lines_[i]).substr(0, trimmed_size(lines_[i])));
    }
    return out;
}

template <class Edit>
bool EditorText::edit(Edit&& change) {
    const auto lines = lines_;
    const auto cursor = cursor_;
    change();
    // Empty lines pushed past the last allowed one go, unless the cursor is on one.
    while (lines_.size() > max_lines_ && lines_.back().empty() && cursor_.line + 1 < lines_.size())
        lines_.pop_back();
    const bool fits = lines_.size() <= max_lines_ && stored().size() <= limit_ &&
                      std::all_of(lines_.begin(), lines_.end(), [&](const auto& l) { return width(l) <= kColumns; });
    if (!fits) {
        lines_ = lines;
        cursor_ = cursor;
        return false;
    }
    goal_column_ = cursor_column();
    return true;
}

size_t EditorText::cursor_column() const {
    return width(lines_[cursor_.line].substr(0, cursor_.column));
}

size_t EditorText::at_column(const std::u32string& line, size_t column) const {
    size_t used = 0, at = 0;
    for (; at < line.size(); at = columns_.next(line, at)) {
        used += columns_.cluster_width(line, at);
        if (used > column) break;
    }
    return at;
}

void EditorText::snap_cursor() {
    const std::u32string& line = lines_[cursor_.line];
    while (cursor_.column < line.size() && !columns_.boundary(line, cursor_.column)) ++cursor_.column;
}

void EditorText::wrap(size_t i) {
    std::u32string& line = lines_[i];
    if (width(line) <= kColumns) return;
    // The last blank that has no more than a line's columns before it, or
    // else the first cluster that does not fit.
    size_t blank = 0, overflow = line.size(), used = 0;
    for (size_t k = 0; k < line.size() && used <= kColumns; k = columns_.next(line, k)) {
        if (k > 0 && line[k] == U' ' && columns_.next(line, k) == k + 1) blank = k;
        used += columns_.cluster_width(line, k);
        if (used > kColumns) overflow = k;
    }
    const size_t cut = blank > 0 ? blank : overflow, skip = blank > 0 ? 1 : 0;  // the blank where the line breaks goes
    std::u32string rest = line.substr(cut + skip);
    line.resize(cut);
    lines_.insert(lines_.begin() + static_cast<long>(i) + 1, std::move(rest));
    if (cursor_.line == i && cursor_.column > cut) cursor_ = {i + 1, cursor_.column - cut - skip};
    else if (cursor_.line > i) ++cursor_.line;
}

bool EditorText::insert(char32_t c, bool overwrite) {
    return edit([&] {
        std::u32string& line = lines_[cursor_.line];
        const size_t at = cursor_.column;
        if (overwrite && at < line.size() && columns_.of(c) != 0) line.replace(at, columns_.next(line, at) - at, 1, c);
        else line.insert(at, 1, c);
        ++cursor_.column;
        snap_cursor();
        wrap(cursor_.line);
    });
}

bool EditorText::split() {
    return edit([&] {
        std::u32string& line = lines_[cursor_.line];
        std::u32string rest = line.substr(cursor_.column);
        line.resize(cursor_.column);
        lines_.insert(lines_.begin() + static_cast<long>(cursor_.line) + 1, std::move(rest));
        cursor_ = {cursor_.line + 1, 0};
    });
}

bool EditorText::join(size_t i) {
    if (i + 1 >= lines_.size() || width(lines_[i] + lines_[i + 1]) > kColumns) return false;
    return edit([&] {
        cursor_ = {i, lines_[i].size()};
        lines_[i] += lines_[i + 1];
        lines_.erase(lines_.begin() + static_cast<long>(i) + 1);
        snap_cursor();  // a mark that began the next line joins this one's last letter
    });
}

bool EditorText::backspace() {
    if (cursor_.column == 0) return cursor_.line > 0 && join(cursor_.line - 1);
    return edit([&] {
        std::u32string& line = lines_[cursor_.line];
        const size_t from = columns_.previous(line, cursor_.column);
        line.erase(from, cursor_.column - from);
        cursor_.column = from;
    });
}

bool EditorText::del() {
    std::u32string& line = lines_[cursor_.line];
    if (cursor_.column == line.size()) return join(cursor_.line);
    return edit([&] { line.erase(cursor_.column, columns_.next(line, cursor_.column) - cursor_.column); });
}

bool EditorText::delete_line() {
    if (lines_.size() == 1 && lines_[0].empty()) return false;
    return edit([&] {
        if (lines_.size() == 1) lines_[0].clear();
        else lines_.erase(lines_.begin() + static_cast<long>(cursor_.line));
        cursor_.line = std::min(cursor_.line, lines_.size() - 1);
        cursor_.column = 0;
    });
}

bool EditorText::place(Position to) {
    const bool moved = to != cursor_;
    cursor_ = to;
    goal_column_ = cursor_column();
    return moved;
}

bool EditorText::left() {
    if (cursor_.column > 0) return place({cursor_.line, columns_.previous(lines_[cursor_.line], cursor_.column)});
    if (cursor_.line > 0) return place({cursor_.line - 1, lines_[cursor_.line - 1].size()});
    return false;
}

bool EditorText::right() {
    const std::u32string& line = lines_[cursor_.line];
    if (cursor_.column < line.size()) return place({cursor_.line, columns_.next(line, cursor_.column)});
    if (cursor_.line + 1 < lines_.size()) return place({cursor_.line + 1, 0});
    return false;
}

bool EditorText::home() { return place({cursor_.line, 0}); }
bool EditorText::end() { return place({cursor_.line, lines_[cursor_.line].size()}); }

bool EditorText::vertical(long delta) {
    const long last = static_cast<long>(lines_.size()) - 1;
    const auto line = static_cast<size_t>(std::clamp(static_cast<long>(cursor_.line) + delta, 0L, last));
    Position to{line, at_column(lines_[line], goal_column_)};
    if (to == cursor_) return false;
    cursor_ = to;
    return true;
}

}  // namespace terminal
