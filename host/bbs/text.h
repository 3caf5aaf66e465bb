// Text from users is UTF-8. These helpers read it one character at a time
// and show untrusted text in a log so that no byte of it can act on the
// terminal of whoever reads the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bbs {

// One unit of a byte string read as UTF-8: a whole, well-formed character
// (shortest form, no surrogate, at most U+10FFFF), or a single byte that
// is not part of one (`valid` false, `code` the byte's value).
struct Utf8Unit {
    std::size_t size = 1;
    char32_t code = 0;
    bool valid = false;
};

// The unit that starts at text[at]; at must be < text.size().
Utf8Unit utf8_unit(std::string_view text, std::size_t at);

// A control character: C0 (below 0x20), DEL, or C1 (0x80-0x9F) whether it
// is a byte that is not UTF-8 or an encoded U+0080-U+009F.
inline bool is_control(const Utf8Unit& u) { return u.code < 0x20 || (u.code >= 0x7f && u.code <= 0x9f); }

// The text with every control character and every byte that is not UTF-8
// (CR and LF too) shown as \xHH, each of its bytes; well-formed characters
// stay.
std::string escaped_for_log(std::string_view text);

// How much of a client's text a log line quotes.
inline constexpr std::size_t kLogExcerpt = 200;

// A text a client sent (a typed user-ID, an SSH user name, a terminal
// type, an HTTP path), as a log line quotes it: whole when it has at most
// `limit` bytes; otherwise its first characters that fit in `limit` bytes
// (never part of one) and "...(N bytes)", N its whole size. Not escaped:
// the log does that when it writes the line.
std::string log_excerpt(std::string_view text, std::size_t limit = kLogExcerpt);

}  // namespace bbs
