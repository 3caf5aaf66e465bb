// The terminal layer of one session, between its transport and the
// session: typed bytes become lines (input decoding and line editing), and
// what the host and the session print becomes the bytes the user's
// terminal is sent (output shaping).
//
// Every way in is served in line mode: the client edits the line and shows
// it (a line ends at CR, LF, CR LF or CR NUL; BS and DEL take back the last
// byte; at most kMaxLine bytes of a line are kept, the rest is dropped, and
// the host cuts the cleaned line further: bbs/input.h), and every line
// break of the output ("\r", "\n" or "\r\n") becomes CR LF. A secret line
// (a password) is typed with the client's echo off; its line end, which the
// client did not show either, is sent when the secret line is over.
//
// The window's size and the terminal's type are kept as the transport
// tells them, for what needs them (character mode, paging).
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "app/wire.h"

namespace app {

class Transport;

class Terminal {
public:
    static constexpr std::size_t kMaxLine = 512;

    explicit Terminal(Transport& transport) : transport_(transport) {}

    // Appends every line the typed bytes complete to `lines`.
    void feed(std::string_view typed, std::deque<std::string>& lines);
    void write(std::string_view output);
    void begin_secret_line();
    void end_secret_line();

    void resize(int width, int height);
    void set_type(std::string_view name) { type_ = name; }
    int width() const { return width_; }
    int height() const { return height_; }
    const std::string& type() const { return type_; }

private:
    Transport& transport_;
    LineAssembler assembler_{kMaxLine};
    LineBreaks line_breaks_;
    bool secret_ = false;
    int width_ = 80, height_ = 24;
    std::string type_;
};

}  // namespace app
