#include "terminal/pager.h"

#include <algorithm>
#include <utility>

#include "terminal/text.h"
#include "text/utf8.h"

namespace terminal {

namespace {

// True when `bytes` are all the start of one UTF-8 character, its end still to come.
bool unfinished(std::string_view bytes) {
    Utf8Stream stream;
    for (char c : bytes)
        if (stream.feed(static_cast<unsigned char>(c)) != Utf8Stream::Result::pending) return false;
    return true;
}

}  // namespace

void Pager::set_window(size_t width, size_t height) {
    const bool known = usable_window(width, height);
    width_ = known ? width : kUntoldWidth;
    height_ = known ? height : 0;
}

std::string Pager::new_output() {
    std::string out = std::exchange(partial_, {});
    if (paused_) out += release() + std::exchange(held_, {});
    rows_ = column_ = 0;
    stopped_ = false;
    return out;
}

std::string Pager::write(std::string_view bytes) {
    if (paused_) {
        held_ += bytes;
        return {};
    }
    if (!paging()) return std::exchange(partial_, {}) + std::string(bytes);
    return page(bytes);
}

std::string Pager::release() {
    paused_ = false;
    rows_ = column_ = 0;
    return "\r" + std::string(kPrompt.size(), ' ') + "\r";
}

bool Pager::key(const Key& key, std::string& out) {
    if (!paused_) return false;
    if (key.code == Key::Code::enter || key.is_text(U' ')) {
        out += release();
        out += paging() ? page(std::exchange(held_, {})) : std::exchange(held_, {});  // the window may be gone
        return true;
    }
    if (key.is_text(U'q') || key.is_text(U'Q')) {
        out += release();
        out += std::exchange(held_, {});
        stopped_ = true;
        return true;
    }
    return false;
}

std::string Pager::page(std::string_view bytes) {
    std::string input = std::exchange(partial_, {});
    input += bytes;
    const size_t last_row = height_ - 1;
    // The next character, at input[i], would print on the last row: the
    // bytes before it and the prompt go out, the rest is held.
    auto pause_at = [&](size_t i) {
        paused_ = true;
        held_.assign(input, i);
        input.resize(i);
        return input + std::string(kPrompt);
    };
    for (size_t i = 0; i < input.size(); ++i) {
        if (scanner_.in_text()) {
            // A run of printable ASCII, a column each: row by row at once.
            const size_t end = i + printable_run(input, i);
            while (i < end) {
                if (column_ + 1 > width_) ++rows_, column_ = 0;
                if (rows_ >= last_row) return pause_at(i);
                const size_t take = std::min(end - i, width_ - column_);
                column_ += take;
                i += take;
            }
            if (i == input.size()) break;
        }
        auto b = static_cast<unsigned char>(input[i]);
        if (scanner_.in_sequence(b)) continue;
        size_t columns = 0, more_bytes = 0;
        if (b == '\r') {
            column_ = 0;
        } else if (b == '\b') {
            if (column_ > 0) --column_;
        } else if (b == '\t') {
            column_ = std::min(width_, (column_ / 8 + 1) * 8);
        } else if (b >= 0x20 && b < 0x7F) {
            columns = 1;
        } else if (b >= 0xC0) {  // the first byte of a UTF-8 character, or an invalid one
            const std::string_view rest = std::string_view(input).substr(i);
            if (unfinished(rest)) {
                partial_ = rest;
                input.resize(i);
                return input;
            }
            const text::Utf8Char c = text::decode_utf8(rest);
            columns = c.valid ? static_cast<size_t>(char_width(c.code, widths_)) : 1;
            more_bytes = c.size - 1;
        }
        if (b != '\n' && columns == 0) {  // prints nothing, or joins the character before it
            i += more_bytes;
            continue;
        }
        if (column_ + columns > width_) ++rows_, column_ = 0;  // it goes on the next row
        if (rows_ >= last_row) return pause_at(i);
        if (b == '\n') ++rows_;
        else column_ += columns;
        i += more_bytes;
    }
    return input;
}

}  // namespace terminal
