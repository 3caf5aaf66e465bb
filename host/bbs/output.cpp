#include "bbs/output.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace bbs {

size_t OutputBuffer::length() const { return strnlen(data_, kSize - 1); }

void OutputBuffer::append_v(const char* format, va_list args) {
    size_t used = length();
    if (used >= kSize - 1 || !format) return;
    std::vsnprintf(data_ + used, kSize - used, format, args);
}

void OutputBuffer::append(std::string_view text) {
    size_t used = length();
    size_t room = kSize - 1 - used;
    size_t n = text.size() < room ? text.size() : room;
    if (n > 0) std::memcpy(data_ + used, text.data(), n);  // an empty view may have no data at all
    data_[used + n] = '\0';
}

std::string OutputBuffer::take() {
    std::string out(data_, length());
    clear();
    return out;
}

char* SprRing::format_v(const char* format, va_list args) {
    char* slot = slots_[next_];
    next_ = (next_ + 1) % kCount;
    if (!format) {
        slot[0] = '\0';
        return slot;
    }
    std::vsnprintf(slot, kSize, format, args);
    return slot;
}

}  // namespace bbs
