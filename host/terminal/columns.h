// How many columns text takes on the user's terminal.
//
// On a UTF-8 terminal (Widths::unicode) a character takes what the usual
// terminals' wcwidth gives it (glibc's, xterm's, VTE's): two columns for East
// Asian Wide and Fullwidth characters and for emoji shown as emoji; none for
// nonspacing and enclosing marks, zero-width format characters (ZWSP, ZWJ,
// the bidirectional marks), variation selectors and the conjoining Hangul
// vowels and finals; one for everything else printable, spacing marks
// included. A CP437 terminal (Widths::narrow) shows every character in one
// column, '?' for what it lacks. Controls take none.
//
// A cluster is a character with the zero-width characters after it: the
// terminal draws them in one place, and a cursor steps over them at once. A
// zero-width character that begins a text has nothing to join, so it is
// drawn on a blank and takes a column; every other cluster takes its first
// character's columns. Indexes below are into a UTF-32 text; a boundary is
// 0, the text's size, or an index where a cluster begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace terminal {

enum class Widths : uint8_t { unicode, narrow };

// 0, 1 or 2.
int char_width(char32_t c, Widths widths = Widths::unicode);

class Columns {
public:
    explicit Columns(Widths widths = Widths::unicode) : widths_(widths) {}

    int of(char32_t c) const { return char_width(c, widths_); }
    bool boundary(std::u32string_view text, size_t at) const {
        return at == 0 || at >= text.size() || of(text[at]) != 0;
    }
    // REQUIRES at < text.size(): the end of the cluster that begins at `at`.
    size_t next(std::u32string_view text, size_t at) const;
    // REQUIRES at > 0: the start of the cluster that ends at `at`.
    size_t previous(std::u32string_view text, size_t at) const;
    // The columns `text` takes, laid out from the start of a row.
    size_t width(std::u32string_view text) const;
    // The columns of the cluster that begins at `at`.
    size_t cluster_width(std::u32string_view text, size_t at) const;
    // Appends `text` in UTF-8 as the terminal is to draw it.
    void draw(std::u32string_view text, std::string& out) const;

private:
    Widths widths_;
};

// The columns UTF-8 text takes; an invalid byte takes one (U+FFFD).
size_t display_width(std::string_view text, Widths widths = Widths::unicode);

}  // namespace terminal
