// Raw terminal bytes in, keys out: what any way into the host (telnet, SSH,
// a web terminal) feeds with the bytes a user's terminal sends.
//
// Contract:
//  - Text is UTF-8 (or CP437, each byte above 0x7F translated); invalid
//    UTF-8 and C1 controls (U+0080-U+009F) are dropped.
//  - CR, CR LF, CR NUL and a lone LF are one Enter each, even when the CR
//    and what follows it arrive in different pieces.
//  - BS and DEL are Backspace; TAB is Tab; 0x01-0x1A otherwise Ctrl-A..Ctrl-Z;
//    NUL and 0x1C-0x1F are dropped.
//  - Cursor keys, Home, End, Insert, Delete, PgUp, PgDn in their CSI and SS3
//    forms (ESC [ A, ESC O A, ESC [ 1~ .. ESC [ 8~, ESC [ H, ESC [ F, with or
//    without modifier parameters) are keys; every other CSI and SS3
//    sequence, and OSC, DCS, SOS, PM and APC strings (up to BEL or ESC \),
//    are swallowed whole. A sequence broken by a control byte is dropped and
//    the control byte taken as typed.
//  - ESC followed by anything else is the Escape key, then that byte. An ESC
//    that is the last byte so far stays pending: escape_pending() says so,
//    and flush() (after a short pause with nothing more) makes it the
//    Escape key. Unfinished CSI sequences wait for the rest.
//  - The result does not depend on how the bytes are cut into pieces, and
//    the decoder's memory is fixed whatever it is fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "terminal/key.h"
#include "terminal/text.h"

namespace terminal {

enum class Encoding : uint8_t { utf8, cp437 };

class InputDecoder {
public:
    explicit InputDecoder(Encoding encoding = Encoding::utf8) : encoding_(encoding) {}
    void set_encoding(Encoding encoding);

    // Appends to `keys` every key the bytes complete.
    void feed(std::string_view bytes, std::vector<Key>& keys);
    bool escape_pending() const { return state_ == State::escape; }
    // A pending ESC becomes the Escape key; nothing happens otherwise.
    void flush(std::vector<Key>& keys);

private:
    enum class State : uint8_t { ground, escape, csi, ss3, linux_fkey, string, string_escape };
    // Longest string sequence swallowed before the decoder gives up on its
    // end and takes the bytes as typed again.
    static constexpr size_t kMaxString = 1024;

    void byte(unsigned char b, std::vector<Key>& keys);
    void ground(unsigned char b, std::vector<Key>& keys);
    void text(char32_t c, std::vector<Key>& keys);
    void csi_final(unsigned char final, std::vector<Key>& keys);
    void ss3_final(unsigned char final, std::vector<Key>& keys);
    void start_sequence(State state);

    Encoding encoding_;
    State state_ = State::ground;
    bool after_cr_ = false;
    Utf8Stream utf8_;
    // The first number of a CSI sequence, whether anything else than digits
    // and ';' came, and how long a string sequence has run.
    unsigned number_ = 0;
    bool in_first_number_ = true;
    bool unusual_ = false;
    bool any_parameter_ = false;
    size_t string_length_ = 0;
};

}  // namespace terminal
