// What a terminal sends for the keys the tests press, and the keys decoded from it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "terminal/input_decoder.h"

namespace termtest {

inline const std::string kUp = "\x1b[A", kDown = "\x1b[B", kRight = "\x1b[C", kLeft = "\x1b[D";
inline const std::string kHome = "\x1b[H", kEnd = "\x1b[F", kInsert = "\x1b[2~", kDelete = "\x1b[3~";
inline const std::string kPageUp = "\x1b[5~", kPageDown = "\x1b[6~", kEnter = "\r", kBackspace = "\x7f";
inline const std::string kEsc = "\x1b";
inline std::string ctrl(char letter) { return std::string(1, static_cast<char>(letter - 'A' + 1)); }

inline std::vector<terminal::Key> decode(std::string_view bytes,
                                         terminal::Encoding encoding = terminal::Encoding::utf8) {
    terminal::InputDecoder decoder(encoding);
    std::vector<terminal::Key> keys;
    decoder.feed(bytes, keys);
    decoder.flush(keys);
    return keys;
}

}  // namespace termtest
