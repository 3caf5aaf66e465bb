#include "terminal/input_line.h"

#include "terminal/text.h"

namespace terminal {

namespace {

void csi(std::string& out, size_t n, char final) {
    out += "\x1b[";
    if (n != 1) out += std::to_string(n);
    out += final;
}

size_t bytes_of(std::u32string_view text) {
    size_t n = 0;
    for (char32_t c : text) n += utf8_size(c);
    return n;
}

}  // namespace

void InputLine::set_terminal(bool ansi, size_t width) {
    ansi_ = ansi;
    width_ = width > 0 ? width : 80;
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

void InputLine::move(size_t from, size_t to, std::string& out) const {
    const size_t a = column_ + from, b = column_ + to;
    const size_t row_a = a / width_, row_b = b / width_, col_a = a % width_, col_b = b % width_;
    if (row_b < row_a) csi(out, row_a - row_b, 'A');
    if (row_b > row_a) csi(out, row_b - row_a, 'B');
    if (col_b + 1 == col_a) out += '\b';
    else if (col_b < col_a) csi(out, col_a - col_b, 'D');
    else if (col_b > col_a) csi(out, col_b - col_a, 'C');
}

void InputLine::print(size_t from, size_t to, std::string& out) const {
    if (from >= to) return;
    out += to_utf8(std::u32string_view(chars_).substr(from, to - from));
    // A character in the last column leaves the cursor there, waiting to
    // wrap; take it to the next row so that it is where we count it.
    if ((column_ + to) % width_ == 0) out += "\r\n";
}

bool InputLine::change(size_t from, size_t count, std::u32string_view with, size_t cursor, std::string& echo) {
    const size_t removed_bytes = bytes_of(std::u32string_view(chars_).substr(from, count));
    const size_t bytes = bytes_ - removed_bytes + bytes_of(with);
    if (bytes > limit_) {
        bell(echo);
        return false;
    }
    const size_t old_size = chars_.size();
    if (at_end_only()) {
        // Only at the end: the cursor is there, and so will it be.
        if (!password_)
            for (size_t i = 0; i < count; ++i) echo += "\b \b";
        chars_.replace(from, count, with);
        if (!password_) echo += to_utf8(with);
    } else {
        move(cursor_, from, echo);
        chars_.replace(from, count, with);
        print(from, chars_.size(), echo);
        if (chars_.size() < old_size) {
            // The cursor is where the text now ends; the rest of the old text
            // is on this row, or also on rows below.
            const bool rows_freed = (column_ + old_size - 1) / width_ > (column_ + chars_.size()) / width_;
            echo += rows_freed ? "\x1b[J" : "\x1b[K";
        }
        move(chars_.size(), cursor, echo);
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
    if (!at_end_only()) move(cursor_, chars_.size(), echo);
    const bool wrapped_already = !at_end_only() && !chars_.empty() && (column_ + chars_.size()) % width_ == 0;
    if (!wrapped_already) echo += "\r\n";
    if (!password_ && !chars_.empty() && (history_.empty() || history_.back() != chars_)) {
        history_.push_back(chars_);
        while (history_.size() > depth_) history_.pop_front();
    }
    std::string line = text();
    begin(0, false);
    return line;
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
        if (refuse_unless(cursor_ > 0)) change(cursor_ - 1, 1, {}, cursor_ - 1, echo);
        break;
    case Code::del:
        if (refuse_unless(!at_end_only() && cursor_ < size)) change(cursor_, 1, {}, cursor_, echo);
        break;
    case Code::left:
        if (refuse_unless(!at_end_only() && cursor_ > 0)) move(cursor_, cursor_ - 1, echo), --cursor_;
        break;
    case Code::right:
        if (refuse_unless(!at_end_only() && cursor_ < size)) move(cursor_, cursor_ + 1, echo), ++cursor_;
        break;
    case Code::home:
    case Code::end:
        if (refuse_unless(!at_end_only())) {
            size_t to = key.code == Code::home ? 0 : size;
            move(cursor_, to, echo);
            cursor_ = to;
        }
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
        for (size_t i = 0; i < chars_.size(); ++i) out += "\b \b";
        return;
    }
    move(cursor_, 0, out);
    out += "\x1b[J";
}

void InputLine::show(size_t column, std::string& out) {
    column_ = column;
    if (password_) return;
    print(0, chars_.size(), out);
    if (!at_end_only()) move(chars_.size(), cursor_, out);
}

}  // namespace terminal
