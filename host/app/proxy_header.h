// The PROXY protocol's header (HAProxy's, versions 1 and 2): what a proxy
// in front of a stream port sends first on a connection to name the client
// it passes on.
//
//  v1: text, "PROXY TCP4|TCP6 SOURCE DESTINATION SPORT DPORT\r\n" or
//      "PROXY UNKNOWN...\r\n", at most kMaxV1 bytes.
//  v2: the 12 bytes of kV2Signature, the version (2) and command (LOCAL or
//      PROXY), the family and transport, the length of what follows (the
//      addresses, then TLVs, which are skipped); at most kMaxV2 bytes here.
//
// A header that names no client (v1 UNKNOWN, v2 LOCAL, v2's unspecified
// or UNIX family) keeps the connection's own peer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/tcp.hpp>

#include "app/network.h"

namespace app::proxy {

inline constexpr std::string_view kV1Start = "PROXY ";
inline constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
inline constexpr std::size_t kMaxV1 = 107;
inline constexpr std::size_t kMaxV2 = 16 + 512;

struct Parsed {
    enum class State { incomplete, complete, malformed };
    State state = State::incomplete;
    std::size_t length = 0;                          // complete: the header's bytes
    std::optional<asio::ip::tcp::endpoint> client{};  // complete: none keeps the peer
    std::string error{};                              // malformed: what is wrong
};

// The header at the front of `bytes`, which may hold more after it. Incomplete
// while `bytes` may still grow into a header within the bounds; malformed
// as soon as it cannot.
Parsed parse(std::string_view bytes);

// Whether the first bytes of a connection begin a header of either version:
// kV1Start or kV2Signature, whole (fewer bytes are no header: a user's
// first line may be a bare CR LF).
bool looks_like_header(std::string_view bytes);

// The client an HTTP request came from, as the proxies it passed through
// recorded it (`hops`, the nearest last: web::forwarded_for): walking from
// the nearest, the first address that is no trusted proxy (the one the
// nearest trusted proxy saw), or the farthest when all are trusted. None
// (the peer stays) when there are no hops, or when the walk meets one that
// names no address ("unknown", an obfuscated "_name", anything else): what
// lies beyond it is the client's own word. An address may come with a port
// ("192.0.2.7:4711", "[2001:db8::1]:4711"); without one its port is 0.
std::optional<asio::ip::tcp::endpoint> forwarded_client(const std::vector<std::string>& hops,
                                                        const NetworkList& trusted);

}  // namespace app::proxy
