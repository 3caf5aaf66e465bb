#include "bbs/text.h"

namespace bbs {

namespace {

bool continuation(unsigned char c) { return (c & 0xc0) == 0x80; }

}  // namespace

Utf8Unit utf8_unit(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    Utf8Unit single{1, lead, lead < 0x80};
    if (lead < 0xc2 || lead > 0xf4) return single;  // ASCII, a stray continuation, C0/C1 lead, F5..FF
    const std::size_t size = lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (at + size > text.size()) return single;
    // The second byte's range excludes overlong forms, surrogates and
    // code points past U+10FFFF.
    unsigned char low = 0x80, high = 0xbf;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
    if (byte(at + 1) < low || byte(at + 1) > high) return single;
    char32_t code = lead & (size == 2 ? 0x1f : size == 3 ? 0x0f : 0x07);
    for (std::size_t k = 1; k < size; ++k) {
        if (!continuation(byte(at + k))) return single;
        code = code << 6 | (byte(at + k) & 0x3f);
    }
    return Utf8Unit{size, code, true};
}

std::string escaped_for_log(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Unit u = utf8_unit(text, i);
        if (!u.valid || is_control(u)) {
            for (std::size_t k = 0; k < u.size; ++k) {
                const auto c = static_cast<unsigned char>(text[i + k]);
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        } else {
            out.append(text.substr(i, u.size));
        }
        i += u.size;
    }
    return out;
}

std::string log_excerpt(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    std::size_t kept = 0;
    while (kept < text.size()) {
        const std::size_t next = kept + utf8_unit(text, kept).size;
        if (next > limit) break;
        kept = next;
    }
    return std::string(text.substr(0, kept)) + "...(" + std::to_string(text.size()) + " bytes)";
}

}  // namespace bbs
