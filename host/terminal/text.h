// Text as the terminal layer sees it: UTF-8 inside the host (text/utf8.h
// has its rules), CP437 on the wire of an ANSI-BBS terminal. Where a text is
// not valid, each byte that starts no valid character counts as one
// character of its own, shown as U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/utf8.h"

namespace terminal {

// Decodes UTF-8 one byte at a time. feed() answers:
//  - pending: the byte continues a character not yet complete;
//  - character: a character is complete (see character());
//  - invalid: the bytes fed since the last character make none;
//  - restart: the bytes before this one were an unfinished character and are
//    dropped; the stream is reset and this byte must be fed again.
class Utf8Stream {
public:
    enum class Result : uint8_t { pending, character, invalid, restart };
    Result feed(unsigned char byte);
    char32_t character() const { return code_; }
    bool pending() const { return need_ != 0; }
    void reset() { need_ = 0; }

private:
    char32_t code_ = 0;
    char32_t min_ = 0;
    uint8_t need_ = 0;
};

std::string to_utf8(std::u32string_view text);
// Every byte that starts no valid character becomes `invalid`.
std::u32string from_utf8(std::string_view text, char32_t invalid = text::kReplacement);

// Not a C0 or C1 control, DEL, a surrogate or past U+10FFFF.
constexpr bool printable(char32_t c) {
    return c >= 0x20 && !(c >= 0x7F && c <= 0x9F) && !(c >= 0xD800 && c <= 0xDFFF) && c <= 0x10FFFF;
}

// CP437, all 256 bytes: the usual graphics for 0x01-0x1F and 0x7F
// (0x01 is U+263A), U+0000 for 0x00, ASCII for 0x20-0x7E.
char32_t cp437_glyph(unsigned char byte);
// True for the bytes below 0x20 and 0x7F that ANSI-BBS terminals act on
// instead of drawing their graphic: NUL, BEL, BS, TAB, LF, FF, CR, ESC, DEL.
bool cp437_control(unsigned char byte);
// The CP437 byte that shows `code`, or -1. A control position's graphic is
// mapped only where the byte is printable (see cp437_control); a few
// typographic marks fall back to their ASCII look (U+2019 is ').
int cp437_from_unicode(char32_t code);

// Bytes 0x80-0xFF become their characters; everything below 0x80, controls
// included, stays as it is.
std::string cp437_to_utf8(std::string_view bytes);
// ASCII stays as it is, controls included; other characters become their
// CP437 byte, '?' where CP437 has none, and so does every invalid byte.
std::string utf8_to_cp437(std::string_view text);

}  // namespace terminal
