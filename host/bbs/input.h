// How the host turns a typed line into `input`, `margc` and `margv`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bbs {

// The longest line a module ever sees: the host keeps a typed line in
// `input` (HOST_INPSIZ bytes with the terminator), so a line is cut at
// HOST_INPSIZ - 1 = 255 bytes once it has been cleaned. (The telnet front
// end already drops whatever passes 512 bytes of one line.) No field a
// module asks for is longer.
//
// The line is read as UTF-8. Cleaning removes, in this order of precedence:
//  - control sequences a terminal sends or a user types, whole, whether
//    they start with ESC or with its 8-bit form, a C1 control (0x80-0x9F as
//    a byte that is not UTF-8, or U+0080-U+009F encoded): CSI (ESC [ or
//    0x9B, parameters, intermediates, final byte, e.g. "\x1b[1;31m"),
//    SS2/SS3 and the character they shift (function keys), the control
//    strings OSC, DCS, SOS, PM and APC up to BEL or ST (ESC \ or 0x9C), and
//    every other ESC (intermediates) final-byte sequence or lone C1
//    control; an unfinished sequence at the end of the line goes too;
//  - every other control character: C0 (NUL, BEL, TAB, CR, LF, ...), DEL;
//  - the bidirectional embeddings, overrides and isolates (U+202A-U+202E,
//    U+2066-U+2069): each opens a run that reorders what follows it up to
//    the end of the paragraph on a terminal that lays text out in both
//    directions, so one user's line could reverse or hide the text printed
//    after it on another's screen. The marks (U+200E, U+200F, U+061C) stay:
//    they open no run, move only the neutral characters beside them, and
//    right-to-left writers need them;
//  - every byte that is not part of a well-formed UTF-8 character.
// Well-formed UTF-8 text stays; the cut at `limit` bytes never splits a
// character.
std::string clean_line(std::string_view raw, size_t limit);

// A text of lines joined by CR (what an editor stores): each line cleaned as
// clean_line() cleans a typed one, the CRs between them kept. No cut.
std::string clean_lines(std::string_view raw);

// Copies the line into `buffer` (of `size` bytes) and splits it into words
// at blanks, in place: the blank after every word becomes a terminator and
// words[i] points at word i. At most `max_words` words; the last one then
// keeps the rest of the line.
void split_words(std::string_view line, char* buffer, size_t size, char** words, size_t max_words,
                 int32_t* count);

// Puts the blanks back after the first count-1 words, so that words[0]
// holds the whole line from its first word to the end of its last word.
void rejoin_words(char** words, int32_t* count);

}  // namespace bbs
