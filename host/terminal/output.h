// Shaping the host's output for the terminal at the other end. Each class
// keeps what it needs between calls, so the output may be cut into pieces
// anywhere, also inside an escape sequence or a character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "terminal/text.h"

namespace terminal {

// Tells, byte by byte, which bytes of output text belong to escape
// sequences: ESC with intermediates and a final byte (ESC 7, ESC ( B), CSI
// sequences (ESC [ ... final), and OSC, DCS, SOS, PM and APC strings ended
// by BEL or ESC \. A control byte inside a CSI sequence ends it and is text;
// a string that runs on past kMaxString bytes is taken as text from there.
class EscapeScanner {
public:
    // True when `byte` is part of an escape sequence.
    bool in_sequence(unsigned char byte);
    // Outside every sequence: a printable ASCII byte fed now is text.
    bool in_text() const { return state_ == State::text; }

private:
    static constexpr size_t kMaxString = 4096;
    enum class State : uint8_t { text, escape, csi, string, string_escape };
    State state_ = State::text;
    size_t string_length_ = 0;
};

// How many bytes from `from` on are printable ASCII (0x20 to 0x7E), which
// take a column each and leave every scanner's state as it is, so that a
// run of them may be counted at once instead of byte by byte.
size_t printable_run(std::string_view bytes, size_t from);

// For a dumb terminal: the output without its escape sequences; every other
// byte, controls included, passes unchanged.
class AnsiStripper {
public:
    std::string strip(std::string_view bytes);

private:
    EscapeScanner scanner_;
};

// For a CP437 terminal: UTF-8 output to CP437 bytes, as utf8_to_cp437 does,
// with a character cut between two pieces still translated whole.
class Cp437Encoder {
public:
    std::string encode(std::string_view text);

private:
    Utf8Stream utf8_;
    unsigned pending_ = 0;  // bytes of an unfinished character seen so far
};

}  // namespace terminal
