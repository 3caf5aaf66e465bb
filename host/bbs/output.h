// The host's formatted-output buffer (prf, prfmsg, outprf, prfbuf) and the
// ring of short-lived texts spr hands out.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace bbs {

class OutputBuffer {
public:
    static constexpr size_t kSize = 16 * 1024;

    OutputBuffer() { data_[0] = '\0'; }
    char* data() { return data_; }
    // Appends formatted text after what the buffer holds; text that does not
    // fit is cut, the buffer always stays terminated.
    void append_v(const char* format, va_list args);
    void append(std::string_view text);
    std::string take();  // the content; the buffer is empty afterwards
    void clear() { data_[0] = '\0'; }
    size_t length() const;

private:
    char data_[kSize];
};

// spr results live in a ring: the last kCount results stay valid at once.
class SprRing {
public:
    static constexpr size_t kCount = 8;
    static constexpr size_t kSize = 2048;
    char* format_v(const char* format, va_list args);

private:
    char slots_[kCount][kSize] = {};
    size_t next_ = 0;
};

}  // namespace bbs
