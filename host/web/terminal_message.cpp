#include "web/terminal_message.h"

namespace web {
namespace {
constexpr unsigned char kControl = 0xFF;
constexpr char kWindowSize = 'S';
}  // namespace

TerminalMessage read_terminal_message(bool text, std::string_view data) {
    TerminalMessage message;
    if (text || data.empty() || static_cast<unsigned char>(data[0]) != kControl) {
        message.kind = TerminalMessage::Kind::input;
        message.input = data;
        return message;
    }
    if (data.size() == 6 && data[1] == kWindowSize) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(data[i])); };
        const WindowSize size{static_cast<std::uint16_t>(byte(2) << 8 | byte(3)), static_cast<std::uint16_t>(byte(4) << 8 | byte(5))};
        if (size.cols > 0 && size.rows > 0) {
            message.kind = TerminalMessage::Kind::window_size;
            message.size = size;
        }
    }
    return message;
}

std::string window_size_message(WindowSize size) {
    return {static_cast<char>(kControl), kWindowSize, static_cast<char>(size.cols >> 8), static_cast<char>(size.cols & 0xFF),
            static_cast<char>(size.rows >> 8), static_cast<char>(size.rows & 0xFF)};
}

}  // namespace web
