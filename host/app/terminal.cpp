#include "app/terminal.h"

#include "app/transport.h"

namespace app {

void Terminal::feed(std::string_view typed, std::deque<std::string>& lines) { assembler_.feed(typed, lines); }

void Terminal::write(std::string_view output) { transport_.send(line_breaks_.to_wire(output)); }

void Terminal::begin_secret_line() {
    if (secret_) return;
    secret_ = true;
    transport_.local_echo(false);
}

void Terminal::end_secret_line() {
    if (!secret_) return;
    secret_ = false;
    transport_.local_echo(true);
    write("\r\n");
}

void Terminal::resize(int width, int height) {
    width_ = width;
    height_ = height;
}

}  // namespace app
