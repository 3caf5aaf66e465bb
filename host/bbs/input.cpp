#include "bbs/input.h"

#include <algorithm>
#include <cstring>

#include "text/utf8.h"

namespace bbs {

namespace {

constexpr char32_t kEsc = 0x1b;
constexpr char32_t kBel = 0x07;
constexpr char32_t kSt = 0x9c;  // string terminator, C1 form of ESC backslash

// The kind of the control function whose introducer starts at raw[at] (an
// ESC or a C1 control), in its 7-bit form: for ESC the byte after it, for
// a C1 control the byte ESC would pair with (0x9B CSI is ESC [). *after is
// where the sequence goes on. 0 when an ESC is followed by nothing that
// makes a sequence (the end, a control, a byte past 0x7E).
char kind_of(std::string_view raw, size_t at, size_t* after) {
    const text::Utf8Char u = text::decode_utf8(raw, at);
    *after = at + u.size;
    if (u.code != kEsc) return static_cast<char>(u.code - 0x40);
    if (*after >= raw.size()) return 0;
    const auto next = static_cast<unsigned char>(raw[*after]);
    if (next < 0x20 || next > 0x7e) return 0;
    ++*after;
    return static_cast<char>(next);
}

// U+202A-U+202E (LRE, RLE, PDF, LRO, RLO) and U+2066-U+2069 (LRI, RLI,
// FSI, PDI).
bool reorders(const text::Utf8Char& u) { return (u.code >= 0x202a && u.code <= 0x202e) || (u.code >= 0x2066 && u.code <= 0x2069); }

bool introduces(const text::Utf8Char& u) { return u.code == kEsc || (u.code >= 0x80 && u.code <= 0x9f); }

// Where the control sequence whose introducer starts at raw[at] ends: the
// index of the first unit after it. A sequence broken off by a byte that
// cannot belong to it ends before that byte, which is looked at anew.
size_t skip_control(std::string_view raw, size_t at) {
    const size_t n = raw.size();
    size_t i = 0;
    const char kind = kind_of(raw, at, &i);
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(raw[k]); };
    if (kind == '[') {  // CSI: parameters 0x30-0x3F, intermediates 0x20-0x2F, final 0x40-0x7E
        for (; i < n; ++i) {
            const unsigned char c = byte(i);
            if (c >= 0x40 && c <= 0x7e) return i + 1;
            if (c < 0x20 || c > 0x3f) return i;
        }
        return n;
    }
    if (kind == ']' || kind == 'P' || kind == 'X' || kind == '^' || kind == '_') {
        // A control string (OSC, DCS, SOS, PM, APC): up to BEL or ST.
        while (i < n) {
            const text::Utf8Char u = text::decode_utf8(raw, i);
            if (u.code == kBel || u.code == kSt) return i + u.size;
            if (u.code == kEsc) return (i + 1 < n && raw[i + 1] == '\\') ? i + 2 : i;
            if (introduces(u)) return i;
            i += u.size;
        }
        return n;
    }
    if (kind == 'N' || kind == 'O') return i < n ? i + text::decode_utf8(raw, i).size : n;  // SS2, SS3 and one character
    if (kind >= 0x30 && kind <= 0x7e) return i;  // a two-byte sequence, or a lone C1 control
    if (kind == 0) return i;                     // ESC alone
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
    while (i < raw.size()) {
        const text::Utf8Char u = text::decode_utf8(raw, i);
        if (introduces(u)) {
            i = skip_control(raw, i);
            continue;
        }
        if (u.valid && !text::is_control(u.code) && !reorders(u)) {
            if (out.size() + u.size > limit) break;
            out.append(raw.substr(i, u.size));
        }
        i += u.size;
    }
    return out;
}

std::string clean_lines(std::string_view raw) {
    std::string out;
    for (size_t start = 0; start <= raw.size();) {
        const size_t end = std::min(raw.find('\r', start), raw.size());
        if (start > 0) out += '\r';
        out += clean_line(raw.substr(start, end - start), raw.size());
        start = end + 1;
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
