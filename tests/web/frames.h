// WebSocket frames as a browser sends them, and the server's bytes read back (web tests and fuzz target).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace webtest {

struct Frame {
    bool fin = true;
    std::uint8_t opcode = 0;  // 0xFF: a masked, cut or RSV frame, which ends the list
    std::string payload;
    bool operator==(const Frame&) const = default;
};

inline void PrintTo(const Frame& f, std::ostream* os) {
    *os << "{fin " << f.fin << ", opcode " << int(f.opcode) << ", \"" << f.payload.substr(0, 40) << "\"}";
}

// One client frame, masked unless `masked` is false, `rsv` in the RSV bits, the shortest length unless `wide`.
inline std::string client_frame(std::uint8_t opcode, std::string_view payload, bool fin = true, bool masked = true,
                                std::uint8_t rsv = 0, bool wide = false) {
    const char mask[4] = {0x37, static_cast<char>(0xfa), 0x21, 0x3d};
    std::string out(1, static_cast<char>((fin ? 0x80 : 0) | (rsv << 4) | opcode));
    const std::uint64_t n = payload.size();
    const int width = n < 126 && !wide ? 0 : n <= 0xFFFF && !wide ? 2 : 8;
    out += static_cast<char>((masked ? 0x80 : 0) | (width == 0 ? n : width == 2 ? 126 : 127));
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
    if (masked) out.append(mask, 4);
    for (std::size_t i = 0; i < n; ++i) out += masked ? static_cast<char>(payload[i] ^ mask[i % 4]) : payload[i];
    return out;
}

inline std::string text(std::string_view s, bool fin = true) { return client_frame(0x1, s, fin); }
inline std::string binary(std::string_view s, bool fin = true) { return client_frame(0x2, s, fin); }
inline std::string more(std::string_view s, bool fin = true) { return client_frame(0x0, s, fin); }
inline std::string ping(std::string_view s) { return client_frame(0x9, s); }
inline std::string code_bytes(std::uint16_t code) { return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)}; }
inline std::string close_frame(std::uint16_t code, std::string_view reason = {}) {
    return client_frame(0x8, code_bytes(code) + std::string(reason));
}
inline Frame server_close(std::uint16_t code, std::string_view reason = {}) {
    return {true, 0x8, code_bytes(code) + std::string(reason)};
}

inline std::vector<Frame> server_frames(std::string_view bytes) {
    std::vector<Frame> frames;
    while (!bytes.empty()) {
        const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
        if (bytes.size() < 2 || (b(0) & 0x70) || (b(1) & 0x80)) return frames.push_back({false, 0xFF, {}}), frames;
        std::uint64_t n = b(1) & 0x7F;
        const std::size_t width = n < 126 ? 0 : n == 126 ? 2 : 8, at = 2 + width;
        if (bytes.size() < at) return frames.push_back({false, 0xFF, {}}), frames;
        if (width) n = 0;
        for (std::size_t i = 0; i < width; ++i) n = (n << 8) | b(2 + i);
        if (bytes.size() - at < n) return frames.push_back({false, 0xFF, {}}), frames;
        frames.push_back({(b(0) & 0x80) != 0, static_cast<std::uint8_t>(b(0) & 0x0F), std::string(bytes.substr(at, n))});
        bytes.remove_prefix(at + n);
    }
    return frames;
}

}  // namespace webtest
