// The window a client tells (telnet's NAWS, SSH's pty size and window
// changes, the web page's size message), as the terminal layer takes it.
//
// A window narrower than kMinWidth columns or lower than kMinHeight rows
// (0 by 0 among them) is no window anybody reads in: paging it would ask
// for an answer every line or two, so it counts as untold, as from a client
// that never said: the line editor and the full-screen editor lay out for
// 80 by 24 and output is not paged.
#pragma once

#include <cstddef>

namespace terminal {

inline constexpr std::size_t kMinWidth = 20, kMinHeight = 5;
inline constexpr std::size_t kUntoldWidth = 80, kUntoldHeight = 24;

constexpr bool usable_window(std::size_t width, std::size_t height) {
    return width >= kMinWidth && height >= kMinHeight;
}

}  // namespace terminal
