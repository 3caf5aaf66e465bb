#include "terminal/pager.h"

#include <algorithm>
#include <utility>

namespace terminal {

void Pager::set_window(size_t width, size_t height) {
    width_ = width > 0 ? width : 80;
    height_ = height;
}

std::string Pager::new_output() {
    std::string out;
    if (paused_) out = release() + std::exchange(held_, {});
    rows_ = column_ = 0;
    stopped_ = false;
    return out;
}

std::string Pager::write(std::string_view bytes) {
    if (paused_) {
        held_ += bytes;
        return {};
    }
    if (!paging()) return std::string(bytes);
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
        out += page(std::exchange(held_, {}));
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
    const size_t last_row = height_ - 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (scanner_.in_sequence(b)) continue;
        bool prints = false;
        if (b == '\n') {
            prints = true;
        } else if (b == '\r') {
            column_ = 0;
        } else if (b == '\b') {
            if (column_ > 0) --column_;
        } else if (b == '\t') {
            column_ = std::min(width_, (column_ / 8 + 1) * 8);
        } else if ((b >= 0x20 && b < 0x7F) || b >= 0xC0) {
            prints = true;  // ASCII or the first byte of a UTF-8 character
            if (column_ >= width_) ++rows_, column_ = 0;  // it goes on the next row
        }
        if (!prints) continue;
        if (rows_ >= last_row) {
            paused_ = true;
            held_.assign(bytes.substr(i));
            return std::string(bytes.substr(0, i)) + std::string(kPrompt);
        }
        if (b == '\n') ++rows_;
        else ++column_;
    }
    return std::string(bytes);
}

}  // namespace terminal
