// What the page's messages mean for the terminal session behind a
// WebSocket. Every text message and every binary message is typed input,
// except a binary message that starts with 0xFF: that byte never occurs in
// UTF-8, so typed text cannot produce it, and it marks a control message:
//
//   FF 53 CC CC RR RR   window size ('S'): columns and rows, each 16 bits,
//                       most significant byte first, both at least 1
//
// Any other control message, and a window size of another length or with
// a zero in it, means nothing and is ignored (kinds may be added later).
// The server's output to the page is binary messages of terminal bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace web {

struct WindowSize {
    std::uint16_t cols = 0;
    std::uint16_t rows = 0;
    bool operator==(const WindowSize&) const = default;
};

struct TerminalMessage {
    enum class Kind { input, window_size, ignored } kind = Kind::ignored;
    std::string_view input;  // kind input: the bytes typed (a view into the message)
    WindowSize size;         // kind window_size
};

// Reads one message from the page (`text`: it came as a text message).
TerminalMessage read_terminal_message(bool text, std::string_view data);

// The window-size message, as the page sends it.
std::string window_size_message(WindowSize size);

}  // namespace web
