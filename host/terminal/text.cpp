#include "terminal/text.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace terminal {

Utf8Stream::Result Utf8Stream::feed(unsigned char b) {
    if (need_ == 0) {
        if (b < 0x80) {
            code_ = b;
            return Result::character;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            code_ = b & 0x1Fu, need_ = 1, min_ = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            code_ = b & 0x0Fu, need_ = 2, min_ = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            code_ = b & 0x07u, need_ = 3, min_ = 0x10000;
        } else {
            return Result::invalid;  // a continuation byte alone, C0, C1, F5-FF
        }
        return Result::pending;
    }
    if ((b & 0xC0) != 0x80) {
        need_ = 0;
        return Result::restart;
    }
    code_ = (code_ << 6) | (b & 0x3Fu);
    if (--need_ > 0) return Result::pending;
    if (code_ < min_ || code_ > 0x10FFFF || (code_ >= 0xD800 && code_ <= 0xDFFF)) return Result::invalid;
    return Result::character;
}

std::string to_utf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) text::append_utf8(out, c);
    return out;
}

std::u32string from_utf8(std::string_view text, char32_t invalid) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const text::Utf8Char c = text::decode_utf8(text, at);
        out += c.valid ? c.code : invalid;
        at += c.size;
    }
    return out;
}

namespace {

constexpr std::array<char16_t, 32> kLow = {
    0x0000, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC};

constexpr std::array<char16_t, 128> kHigh = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// Marks CP437 lacks, shown as the ASCII they look like.
constexpr std::pair<char16_t, char> kLookalikes[] = {
    {0x2018, '\''}, {0x2019, '\''}, {0x201C, '"'}, {0x201D, '"'},
    {0x2013, '-'},  {0x2014, '-'},  {0x2212, '-'}, {0x2026, '.'}};

// (code point, byte) for every byte above 0x7F and every printable control
// position, sorted by code point.
const std::vector<std::pair<char32_t, unsigned char>>& reverse_table() {
    static const auto table = [] {
        std::vector<std::pair<char32_t, unsigned char>> t;
        for (int b = 1; b < 256; ++b)
            if (b >= 0x80 || ((b < 0x20 || b == 0x7F) && !cp437_control(static_cast<unsigned char>(b))))
                t.emplace_back(cp437_glyph(static_cast<unsigned char>(b)), static_cast<unsigned char>(b));
        std::sort(t.begin(), t.end());
        return t;
    }();
    return table;
}

}  // namespace

char32_t cp437_glyph(unsigned char b) {
    if (b < 0x20) return kLow[b];
    if (b < 0x7F) return b;
    if (b == 0x7F) return 0x2302;
    return kHigh[b - 0x80];
}

bool cp437_control(unsigned char b) {
    switch (b) {
    case 0x00: case 0x07: case 0x08: case 0x09: case 0x0A:
    case 0x0C: case 0x0D: case 0x1B: case 0x7F:
        return true;
    default:
        return false;
    }
}

int cp437_from_unicode(char32_t code) {
    if (code < 0x80) return (code >= 0x20 && code < 0x7F) ? static_cast<int>(code) : -1;
    const auto& table = reverse_table();
    auto it = std::lower_bound(table.begin(), table.end(), std::pair<char32_t, unsigned char>(code, 0));
    if (it != table.end() && it->first == code) return it->second;
    for (auto [from, to] : kLookalikes)
        if (from == code) return to;
    return -1;
}

std::string cp437_to_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x80) out += c;
        else text::append_utf8(out, cp437_glyph(b));
    }
    return out;
}

std::string utf8_to_cp437(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const text::Utf8Char c = text::decode_utf8(text, at);
        at += c.size;
        int b = !c.valid ? '?' : c.code < 0x80 ? static_cast<int>(c.code) : cp437_from_unicode(c.code);
        out += static_cast<char>(b < 0 ? '?' : b);
    }
    return out;
}

}  // namespace terminal
