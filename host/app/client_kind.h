// What kind of client a telnet connection is, learnt from its terminal
// types (RFC 1091: asked again and again, the client names one after the
// other and repeats the last) and the MUD Terminal Type Standard's bits in
// them ("MTTS 2349").
//
// How each kind is served:
//  - terminal: as it agrees (character mode, the host's echo, the
//    full-screen editor), as before.
//  - mud_client (Mudlet, TinTin++, MUSHclient, ... by the first name it
//    gives, or any client whose MTTS lacks VT100): line mode for good; the
//    host says WILL ECHO only while a password is typed, echoes none of
//    its lines, gives it the line editor and ends every prompt with EOR
//    (or GA).
//  - screen_reader (MTTS 64): as a MUD client, and without escape
//    sequences (colours, cursor moves) that a reader would speak.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace app {

enum class ClientKind { terminal, mud_client, screen_reader };

// The MTTS bits.
namespace mtts {
inline constexpr std::uint32_t ansi = 1, vt100 = 2, utf8 = 4, colors256 = 8, mouse = 16, osc_palette = 32,
                               screen_reader = 64, proxy = 128, truecolor = 256, mnes = 512, mslp = 1024,
                               ssl = 2048;
}  // namespace mtts

// The bits of an answer "MTTS N" (any letter case, N a decimal number);
// nothing for any other answer.
std::optional<std::uint32_t> mtts_bits(std::string_view answer);

// The kind of a client from its answers, first to last (empty: it named
// none, a terminal).
ClientKind classify_client(std::span<const std::string> answers);

std::string_view kind_name(ClientKind kind);

}  // namespace app
