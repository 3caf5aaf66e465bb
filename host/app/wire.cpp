#include "app/wire.h"

namespace app {

std::string LineBreaks::to_wire(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8 + 2);
    size_t i = 0;
    while (i < bytes.size()) {
        // What lies up to the next line end goes as it is.
        size_t end = i;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        if (end > i) {
            out.append(bytes, i, end - i);
            after_cr_ = false;
            i = end;
            continue;
        }
        if (bytes[i] == '\r') {
            out += "\r\n";
            after_cr_ = true;
        } else {
            if (!after_cr_) out += "\r\n";
            after_cr_ = false;
        }
        ++i;
    }
    return out;
}

void LineAssembler::feed(std::string_view bytes, std::deque<std::string>& lines) {
    for (char c : bytes) {
        if (after_cr_) {
            after_cr_ = false;
            if (c == '\n' || c == '\0') continue;  // the second half of CR LF / CR NUL
        }
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(current_));
            current_.clear();
            after_cr_ = (c == '\r');
        } else if (c == '\b' || c == 0x7f) {
            if (!current_.empty()) current_.pop_back();
        } else if (c == '\0') {
            // NUL outside CR NUL carries nothing
        } else if (current_.size() < limit_) {
            current_ += c;
        }
    }
}

std::size_t CompressionRefusal::admit(std::string_view bytes) {
    constexpr unsigned char kIac = 255, kSb = 250, kCompress2 = 86;
    if (refused_) return 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == kCompress2 && last_ == kSb && before_last_ == kIac) {
            refused_ = true;
            return i;
        }
        before_last_ = last_;
        last_ = c;
    }
    return bytes.size();
}

}  // namespace app
