#include "terminal/input_line.h"

#include "terminal/text.h"
#include "text/utf8.h"

namespace terminal {

namespace {

void csi(std::string& out, size_t n, char final) {
    out += "\x1b[";
    if (n != 1) out += std::to_string(n);
    out += final;
}

// Where a cluster `width` columns wide that would begin at `cell` is drawn:
// at the next row's start when it does not fit in this row.
size_t fitted(size_t cell, size_t width, size_t row) {
    return cell % row + width > row && width <= row ? cell + row - cell % row : cell;
}

size_t bytes_of(std::u32string_view text) {
    size_t n = 0;
    for (char32_t c : text) n += text::utf8_size(c);
    return n;
}

}  // namespace

void InputLine::set_terminal(bool ansi, size_t width, Widths widths) {
    ansi_ = ansi;
    width_ = width > 0 ? width : 80;
    columns_ = Columns(widths);
}

void InputLine::begin(size_t column, bool password) {
    chars_.clear();
    cursor_ = bytes_ = 0;
    column_ = column;
    password_ = password;
    browsing_ = history_.size();
    draft_.clear();
}

std::string InputLine::text() const { return to_utf8(chars_); }

size_t InputLine::reach(size_t index) const {
    size_t cell = column_;
    for (size_t i = 0; i < index && i < chars_.size(); i = columns_.next(chars_, i)) {
        const size_t width = columns_.cluster_width(chars_, i);
        cell = fitted(cell, width, width_) + width;
    }
    return cell;
}

size_t InputLine::place(size_t index) const {
    const size_t cell = reach(index);
    return index < chars_.size() ? fitted(cell, columns_.cluster_width(chars_, index), width_) : cell;
}

void InputLine::move(size_t a, size_t b, std::string& out) const {
    const size_t row_a = a / width_, row_b = b / width_, col_a = a % width_, col_b = b % width_;
    if (row_b < row_a) csi(out, row_a - row_b, 'A');
    if (row_b > row_a) csi(out, row_b - row_a, 'B');
    if (col_b + 1 == col_a) out += '\b';
    else if (col_b < col_a) csi(out, col_a - col_b, 'D');
    else if (col_b > col_a) csi(out, col_b - col_a, 'C');
}

void InputLine::print(size_t from, std::string& out) const {
    if (from >= chars_.size()) return;
    size_t cell = reach(from);
    for (size_t i = from; i < chars_.size();) {
        const size_t next = columns_.next(chars_, i), width = columns_.cluster_width(chars_, i);
        for (size_t blank = fitted(cell, width, width_); cell < blank; ++cell) out += ' ';
        columns_.draw(std::u32string_view(chars_).substr(i, next - i), out);
        cell += width;
        i = next;
    }
    // A character in the last column leaves the cursor there, waiting to
    // wrap; take it to the next row so that it is where we count it.
    if (cell % width_ == 0) out += "\r\n";
}

void InputLine::rub_out(std::u32string_view text, std::string& echo) const {
    for (size_t end = text.size(); end > 0;) {
        const size_t start = columns_.previous(text, end), width = columns_.width(text.substr(start, end - start));
        echo.append(width, '\b').append(width, ' ').append(width, '\b');
        end = start;
    }
}

bool InputLine::change(size_t from, size_t count, std::u32string_view with, size_t cursor, std::string& echo) {
    const size_t removed_bytes = bytes_of(std::u32string_view(chars_).substr(from, count));
    const size_t bytes = bytes_ - removed_bytes + bytes_of(with);
    if (bytes > limit_) {
        bell(echo);
        return false;
    }
    if (at_end_only()) {
        // Only at the end: the cursor is there, and so will it be.
        if (!password_) rub_out(std::u32string_view(chars_).substr(from), echo);
        chars_.replace(from, count, with);
        if (!password_ && from == 0) columns_.draw(chars_, echo);
        else if (!password_) echo += to_utf8(with);
    } else {
        const size_t old_end = place(chars_.size());
        const size_t shown = place(cursor_);
        chars_.replace(from, count, with);
        // A zero-width character now at `from` joins the cluster before it: draw that again.
        const size_t start = from > 0 && !columns_.boundary(chars_, from) ? columns_.previous(chars_, from) : from;
        move(shown, reach(start), echo);
        print(start, echo);
        const size_t end = place(chars_.size());
        if (end < old_end) {
            // The cursor is where the text now ends; the rest of the old text
            // is on this row, or also on rows below.
            echo += (old_end - 1) / width_ > end / width_ ? "\x1b[J" : "\x1b[K";
        }
        while (cursor < chars_.size() && !columns_.boundary(chars_, cursor)) ++cursor;
        move(end, place(cursor), echo);
    }
    bytes_ = bytes;
    cursor_ = at_end_only() ? chars_.size() : cursor;
    return true;
}

void InputLine::recall(int step, std::string& echo) {
    if (password_ || (step < 0 && browsing_ == 0) || (step > 0 && browsing_ >= history_.size())) {
        bell(echo);
        return;
    }
    if (browsing_ == history_.size()) draft_ = chars_;
    browsing_ = step < 0 ? browsing_ - 1 : browsing_ + 1;
    std::u32string line = browsing_ == history_.size() ? draft_ : history_[browsing_];
    while (bytes_of(line) > limit_) line.pop_back();  // a line kept under a larger limit
    change(0, chars_.size(), line, line.size(), echo);
}

std::string InputLine::enter(std::string& echo) {
    const size_t end = place(chars_.size());
    if (!at_end_only()) move(place(cursor_), end, echo);
    const bool wrapped_already = !at_end_only() && !chars_.empty() && end % width_ == 0;
    if (!wrapped_already) echo += "\r\n";
    if (!password_ && !chars_.empty() && (history_.empty() || history_.back() != chars_)) {
        history_.push_back(chars_);
        while (history_.size() > depth_) history_.pop_front();
    }
    std::string line = text();
    begin(0, false);
    return line;
}

void InputLine::step(size_t to, std::string& echo) {
    move(place(cursor_), place(to), echo);
    cursor_ = to;
}

std::optional<std::string> InputLine::key(const Key& key, std::string& echo) {
    using Code = Key::Code;
    const size_t size = chars_.size();
    auto refuse_unless = [&](bool ok) {
        if (!ok) bell(echo);
        return ok;
    };
    char32_t typed = key.code == Code::tab ? U' ' : key.ch;
    switch (key.code) {
    case Code::character:
    case Code::tab:
        if (printable(typed)) change(cursor_, 0, std::u32string_view(&typed, 1), cursor_ + 1, echo);
        break;
    case Code::enter: return enter(echo);
    case Code::backspace:
        if (refuse_unless(cursor_ > 0)) {
            const size_t from = columns_.previous(chars_, cursor_);
            change(from, cursor_ - from, {}, from, echo);
        }
        break;
    case Code::del:
        if (refuse_unless(!at_end_only() && cursor_ < size)) change(cursor_, columns_.next(chars_, cursor_) - cursor_, {}, cursor_, echo);
        break;
    case Code::left:
        if (refuse_unless(!at_end_only() && cursor_ > 0)) step(columns_.previous(chars_, cursor_), echo);
        break;
    case Code::right:
        if (refuse_unless(!at_end_only() && cursor_ < size)) step(columns_.next(chars_, cursor_), echo);
        break;
    case Code::home:
    case Code::end:
        if (refuse_unless(!at_end_only())) step(key.code == Code::home ? 0 : size, echo);
        break;
    case Code::up: recall(-1, echo); break;
    case Code::down: recall(+1, echo); break;
    case Code::control:
        if (key.ch == 'A') return this->key(Key(Code::home), echo);
        if (key.ch == 'E') return this->key(Key(Code::end), echo);
        if (key.ch == 'U' && refuse_unless(size > 0)) change(0, size, {}, 0, echo);
        if (key.ch == 'W') {
            size_t from = cursor_;
            while (from > 0 && chars_[from - 1] == U' ') --from;
            while (from > 0 && chars_[from - 1] != U' ') --from;
            while (from < cursor_ && !columns_.boundary(chars_, from)) ++from;
            if (refuse_unless(from < cursor_)) change(from, cursor_ - from, {}, from, echo);
        }
        break;
    default: break;
    }
    return std::nullopt;
}

void InputLine::hide(std::string& out) const {
    if (password_) return;
    if (!ansi_) {
        rub_out(chars_, out);
        return;
    }
    move(place(cursor_), column_, out);
    out += "\x1b[J";
}

void InputLine::show(size_t column, std::string& out) {
    column_ = column;
    if (password_) return;
    print(0, out);
    if (!at_end_only()) move(place(chars_.size()), place(cursor_), out);
}

}  // namespace terminal
