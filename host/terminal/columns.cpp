#include "terminal/columns.h"

#include <utf8proc.h>

#include "terminal/text.h"
#include "text/utf8.h"

namespace terminal {

namespace {

// Format characters that are drawn: the prepended concatenation marks.
constexpr bool drawn_format(char32_t c) {
    return (c >= 0x0600 && c <= 0x0605) || c == 0x06DD || c == 0x070F || c == 0x0890 || c == 0x0891 ||
           c == 0x08E2 || c == 0x110BD || c == 0x110CD;
}

// The Hangul vowels and finals that join the leading consonant before them.
constexpr bool conjoining_jamo(char32_t c) { return (c >= 0x1160 && c <= 0x11FF) || (c >= 0xD7B0 && c <= 0xD7FF); }

}  // namespace

int char_width(char32_t c, Widths widths) {
    if (!printable(c)) return 0;
    if (widths == Widths::narrow || c < 0x300) return 1;
    if (conjoining_jamo(c)) return 0;
    if (drawn_format(c)) return 1;
    const auto code = static_cast<utf8proc_int32_t>(c);
    // utf8proc gives spacing marks no column; terminals give them one.
    if (utf8proc_category(code) == UTF8PROC_CATEGORY_MC) return 1;
    return utf8proc_charwidth(code);
}

size_t Columns::next(std::u32string_view text, size_t at) const {
    ++at;
    while (at < text.size() && of(text[at]) == 0) ++at;
    return at;
}

size_t Columns::previous(std::u32string_view text, size_t at) const {
    --at;
    while (at > 0 && of(text[at]) == 0) --at;
    return at;
}

size_t Columns::cluster_width(std::u32string_view text, size_t at) const {
    const int w = of(text[at]);
    return w == 0 ? 1 : static_cast<size_t>(w);
}

size_t Columns::width(std::u32string_view text) const {
    size_t total = 0;
    for (size_t i = 0; i < text.size(); i = next(text, i)) total += cluster_width(text, i);
    return total;
}

void Columns::draw(std::u32string_view text, std::string& out) const {
    if (!text.empty() && of(text[0]) == 0) out += ' ';
    for (char32_t c : text) text::append_utf8(out, c);
}

size_t display_width(std::string_view text, Widths widths) { return Columns(widths).width(from_utf8(text)); }

}  // namespace terminal
