#include "bbs/input.h"

#include <cstring>

namespace bbs {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kBel = 0x07;

bool control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Where the escape sequence that starts at raw[at] (an ESC) ends: the index
// of its first byte after it.
size_t skip_escape(std::string_view raw, size_t at) {
    const size_t n = raw.size();
    size_t i = at + 1;
    if (i >= n) return n;
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(raw[k]); };
    const unsigned char kind = byte(i);
    if (kind == '[') {  // CSI: parameters 0x30-0x3F, intermediates 0x20-0x2F, final 0x40-0x7E
        for (++i; i < n; ++i) {
            const unsigned char c = byte(i);
            if (c >= 0x40 && c <= 0x7e) return i + 1;
            if (c < 0x20 || c > 0x3f) return i;  // broken off: the byte is looked at anew
        }
        return n;
    }
    if (kind == ']' || kind == 'P' || kind == 'X' || kind == '^' || kind == '_') {
        // A control string: up to BEL or the string terminator ESC \.
        for (++i; i < n; ++i) {
            const unsigned char c = byte(i);
            if (c == kBel) return i + 1;
            if (c == kEsc) return (i + 1 < n && raw[i + 1] == '\\') ? i + 2 : i;
        }
        return n;
    }
    if (kind == 'N' || kind == 'O') return i + 2 <= n ? i + 2 : n;  // SS2, SS3 and one byte
    // ESC, intermediates 0x20-0x2F, final 0x30-0x7E.
    for (; i < n; ++i) {
        const unsigned char c = byte(i);
        if (c >= 0x30 && c <= 0x7e) return i + 1;
        if (c < 0x20 || c > 0x2f) return i;
    }
    return n;
}

}  // namespace

std::string clean_line(std::string_view raw, size_t limit) {
    std::string out;
    out.reserve(raw.size() < limit ? raw.size() : limit);
    size_t i = 0;
    while (i < raw.size() && out.size() < limit) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c == kEsc) {
            i = skip_escape(raw, i);
            continue;
        }
        if (!control(c)) out += raw[i];
        ++i;
    }
    return out;
}

void split_words(std::string_view line, char* buffer, size_t size, char** words, size_t max_words,
                 int32_t* count) {
    size_t n = line.size() < size - 1 ? line.size() : size - 1;
    std::memcpy(buffer, line.data(), n);
    std::memset(buffer + n, 0, size - n);
    for (size_t i = 0; i < max_words; ++i) words[i] = buffer + n;
    *count = 0;
    size_t pos = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (pos < n && static_cast<size_t>(*count) < max_words) {
        while (pos < n && blank(buffer[pos])) ++pos;
        if (pos >= n) break;
        words[(*count)++] = buffer + pos;
        if (static_cast<size_t>(*count) == max_words) break;  // the last word keeps the rest
        while (pos < n && !blank(buffer[pos])) ++pos;
        if (pos < n) buffer[pos++] = '\0';
    }
}

void rejoin_words(char** words, int32_t* count) {
    if (*count <= 0) return;
    for (int32_t i = 0; i + 1 < *count; ++i) words[i][std::strlen(words[i])] = ' ';
    *count = 1;
}

}  // namespace bbs
