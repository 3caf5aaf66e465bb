#include "text/utf8.h"

namespace text {

Utf8Char decode_utf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    const Utf8Char single{lead, 1, lead < 0x80};
    if (lead < 0xC2 || lead > 0xF4) return single;  // ASCII, a lone continuation, C0/C1 lead, F5..FF
    const std::size_t size = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (text.size() - at < size) return single;
    // The second byte's range excludes overlong forms, surrogates and code
    // points past U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (byte(at + 1) < low || byte(at + 1) > high) return single;
    char32_t code = lead & (size == 2 ? 0x1F : size == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < size; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) return single;
        code = code << 6 | (byte(at + k) & 0x3F);
    }
    return Utf8Char{code, size, true};
}

bool valid_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = decode_utf8(text, at);
        if (!c.valid) return false;
        at += c.size;
    }
    return true;
}

std::string_view cut_utf8(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t next = end + decode_utf8(text, end).size;
        if (next > max_bytes) break;
        end = next;
    }
    return text.substr(0, end);
}

std::size_t utf8_size(char32_t code) { return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4; }

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string escaped_for_log(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = decode_utf8(text, i);
        if (!c.valid || is_control(c.code)) {
            for (std::size_t k = 0; k < c.size; ++k) {
                const auto b = static_cast<unsigned char>(text[i + k]);
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            }
        } else {
            out.append(text.substr(i, c.size));
        }
        i += c.size;
    }
    return out;
}

std::string log_excerpt(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    return std::string(cut_utf8(text, limit)) + "...(" + std::to_string(text.size()) + " bytes)";
}

}  // namespace text
