// Byte-level helpers between the wire and the host: output turned into wire
// line breaks and typed bytes assembled into lines (the terminal layer in
// line mode, app/terminal.h), and the telnet transport's refusal of
// compressed input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <deque>

namespace app {

// Every "\r", "\n" or "\r\n" of module output becomes one CR LF; other
// bytes pass unchanged. Keeps state between calls, so a "\r" at the end of
// one piece and a "\n" at the start of the next still make one line break.
class LineBreaks {
public:
    std::string to_wire(std::string_view bytes);

private:
    bool after_cr_ = false;
};

// Collects typed bytes into lines. A line ends at CR, LF, CR LF or CR NUL;
// backspace and DEL remove the last byte (for clients in character mode).
// Lines longer than `limit` are cut; the rest of such a line is dropped.
class LineAssembler {
public:
    explicit LineAssembler(std::size_t limit) : limit_(limit) {}
    // Appends the bytes; every line they complete is added to `lines`.
    void feed(std::string_view bytes, std::deque<std::string>& lines);

private:
    std::size_t limit_;
    std::string current_;
    bool after_cr_ = false;
};

// Stands between the socket and libtelnet and stops the input where a
// client would start compressed input. libtelnet begins to inflate all that
// follows once it has parsed IAC SB COMPRESS2 ... IAC SE, negotiated or not,
// and a few kilobytes can inflate to gigabytes: the host never lets that
// begin. libtelnet enters a subnegotiation only at the byte SB right after
// an IAC byte, and takes its option from the byte after that; so wherever
// the bytes IAC SB COMPRESS2 (255 250 86) stand in the stream (also split
// over reads), the input ends before the COMPRESS2 byte, whatever state the
// parser is in. (The same three bytes as data would need an escaped 255
// before a 250, which no UTF-8 text holds.)
class CompressionRefusal {
public:
    // How many of `bytes` may go to the parser: all of them, or those before
    // the COMPRESS2 byte that would start compressed input. After that
    // nothing more is admitted.
    std::size_t admit(std::string_view bytes);
    bool refused() const { return refused_; }

private:
    unsigned char before_last_ = 0, last_ = 0;  // the two bytes admitted last
    bool refused_ = false;
};

}  // namespace app
