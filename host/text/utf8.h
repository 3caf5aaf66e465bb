// UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates (U+D800 to
// U+DFFF), nothing past U+10FFFF. Where a text is not valid, each byte that
// starts no valid character counts as one character of its own. Also the
// form untrusted text is shown in inside a log, where no byte of it may act
// on the terminal of whoever reads the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

inline constexpr char32_t kReplacement = 0xFFFD;  // what shows a byte that is not UTF-8

// One character of a byte string: a whole, valid character (`code`, in
// `size` bytes), or a single byte that is not part of one (`valid` false,
// `size` 1, `code` the byte's value).
struct Utf8Char {
    char32_t code = 0;
    std::size_t size = 1;
    bool valid = false;
};
// The character that starts at text[at]. REQUIRES: at < text.size().
Utf8Char decode_utf8(std::string_view text, std::size_t at = 0);

// True when `text` is whole, valid UTF-8 (an empty text is).
bool valid_utf8(std::string_view text);

// The longest start of `text` of at most `max_bytes` bytes that does not
// end inside a valid character (an invalid byte may be cut off anywhere).
std::string_view cut_utf8(std::string_view text, std::size_t max_bytes);

std::size_t utf8_size(char32_t code);  // bytes of its UTF-8 form
void append_utf8(std::string& out, char32_t code);

// A C0 control (below U+0020), DEL, or a C1 control (U+0080-U+009F),
// whether `code` is a character or the value of a byte that is not UTF-8.
constexpr bool is_control(char32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

// The text with every control character and every byte that is not UTF-8
// (CR and LF too) shown as \xHH, each of its bytes; valid characters stay.
std::string escaped_for_log(std::string_view text);

// How much of a client's text a log line quotes.
inline constexpr std::size_t kLogExcerpt = 200;

// A text a client sent (a typed user-ID, an SSH user name, a terminal
// type, an HTTP path), as a log line quotes it: whole when it has at most
// `limit` bytes; otherwise its first characters that fit in `limit` bytes
// (never part of one) and "...(N bytes)", N its whole size. Not escaped:
// the log does that when it writes the line.
std::string log_excerpt(std::string_view text, std::size_t limit = kLogExcerpt);

}  // namespace text
