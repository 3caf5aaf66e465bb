// Byte-level helpers between the telnet stream and the host: module output
// turned into wire line breaks, and typed bytes assembled into lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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
    void feed(std::string_view bytes, std::vector<std::string>& lines);

private:
    std::size_t limit_;
    std::string current_;
    bool after_cr_ = false;
};

}  // namespace app
