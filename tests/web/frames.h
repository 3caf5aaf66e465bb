// Frames as a browser sends them (masked) and as the server's bytes read
// back, for the web tests.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace webtest {

struct Frame {
    bool fin = true;
    std::uint8_t opcode = 0;
    std::string payload;
    bool operator==(const Frame&) const = default;
};

inline void PrintTo(const Frame& f, std::ostream* os) {
    *os << "{fin " << f.fin << ", opcode " << int(f.opcode) << ", " << f.payload.size() << " bytes \"" << f.payload.substr(0, 40) << "\"}";
}

// One client frame: masked with `mask` unless `masked` is false; `rsv` goes
// into the RSV bits; the length takes the shortest form unless `wide` asks
// for the 64-bit one.
inline std::string client_frame(std::uint8_t opcode, std::string_view payload, bool fin = true, bool masked = true,
                                std::uint8_t rsv = 0, bool wide = false) {
    const std::array<std::uint8_t, 4> mask{0x37, 0xfa, 0x21, 0x3d};
    std::string out;
    out += static_cast<char>((fin ? 0x80 : 0) | (rsv << 4) | opcode);
    const std::uint8_t m = masked ? 0x80 : 0;
    const std::uint64_t n = payload.size();
    if (n < 126 && !wide) {
        out += static_cast<char>(m | n);
    } else if (n <= 0xFFFF && !wide) {
        out += static_cast<char>(m | 126);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xFF);
    } else {
        out += static_cast<char>(m | 127);
        for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
    }
    if (masked) out.append(reinterpret_cast<const char*>(mask.data()), 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out += masked ? static_cast<char>(payload[i] ^ mask[i % 4]) : payload[i];
    return out;
}

inline std::string text(std::string_view s, bool fin = true) { return client_frame(0x1, s, fin); }
inline std::string binary(std::string_view s, bool fin = true) { return client_frame(0x2, s, fin); }
inline std::string more(std::string_view s, bool fin = true) { return client_frame(0x0, s, fin); }
inline std::string ping(std::string_view s) { return client_frame(0x9, s); }
inline std::string close_frame(std::uint16_t code, std::string_view reason = {}) {
    std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    return client_frame(0x8, payload + std::string(reason));
}

// The server's frames; a frame that is masked, truncated or uses RSV bits
// ends the list with an opcode 0xFF entry so that the test sees it.
inline std::vector<Frame> server_frames(std::string_view bytes) {
    std::vector<Frame> frames;
    while (!bytes.empty()) {
        const auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
        if (bytes.size() < 2 || (b(0) & 0x70) || (b(1) & 0x80)) return frames.push_back({false, 0xFF, {}}), frames;
        std::uint64_t n = b(1) & 0x7F;
        std::size_t at = 2;
        if (n >= 126) {
            const std::size_t width = n == 126 ? 2 : 8;
            if (bytes.size() < 2 + width) return frames.push_back({false, 0xFF, {}}), frames;
            n = 0;
            for (std::size_t i = 0; i < width; ++i) n = (n << 8) | b(2 + i);
            at += width;
        }
        if (bytes.size() - at < n) return frames.push_back({false, 0xFF, {}}), frames;
        frames.push_back({(b(0) & 0x80) != 0, static_cast<std::uint8_t>(b(0) & 0x0F), std::string(bytes.substr(at, n))});
        bytes.remove_prefix(at + n);
    }
    return frames;
}

inline Frame server_close(std::uint16_t code, std::string_view reason = {}) {
    return {true, 0x8, std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)} + std::string(reason)};
}

}  // namespace webtest
