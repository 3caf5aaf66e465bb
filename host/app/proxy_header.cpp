#include "app/proxy_header.h"

#include <charconv>
#include <vector>

namespace app::proxy {

namespace {

Parsed malformed(std::string why) { return {Parsed::State::malformed, 0, std::nullopt, std::move(why)}; }

Parsed complete(std::size_t length, std::optional<asio::ip::tcp::endpoint> client = std::nullopt) {
    return {Parsed::State::complete, length, client, {}};
}

bool agrees(std::string_view bytes, std::string_view start) {
    const std::size_t n = std::min(bytes.size(), start.size());
    return bytes.substr(0, n) == start.substr(0, n);
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at <= line.size()) {
        const std::size_t space = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    return words;
}

std::optional<uint16_t> port_of(std::string_view text) {
    unsigned value = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (fault != std::errc() || end != text.data() + text.size() || text.empty() || text.size() > 5 ||
        value > 65535 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

Parsed parse_v1(std::string_view bytes) {
    const std::string too_long = "a v1 header longer than " + std::to_string(kMaxV1) + " bytes";
    const std::size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) {
        if (bytes.size() >= kMaxV1) return malformed(too_long);
        return {};
    }
    if (lf + 1 > kMaxV1) return malformed(too_long);
    if (bytes[lf - 1] != '\r') return malformed("a v1 header ends in LF without CR");
    const std::size_t end = lf - 1;
    const auto words = words_of(bytes.substr(kV1Start.size(), end - kV1Start.size()));
    if (words[0] == "UNKNOWN") return complete(end + 2);
    if (words[0] != "TCP4" && words[0] != "TCP6") return malformed("v1 protocol is not TCP4, TCP6 or UNKNOWN");
    if (words.size() != 5) return malformed("a v1 header needs two addresses and two ports");
    const bool v4 = words[0] == "TCP4";
    std::error_code source_ec, destination_ec;
    const auto source = asio::ip::make_address(std::string(words[1]), source_ec);
    const auto destination = asio::ip::make_address(std::string(words[2]), destination_ec);
    if (source_ec || destination_ec || source.is_v4() != v4 || destination.is_v4() != v4)
        return malformed(std::string("v1 addresses are not ") + (v4 ? "IPv4" : "IPv6") + " addresses");
    const auto source_port = port_of(words[3]);
    if (!source_port || !port_of(words[4])) return malformed("v1 ports are not numbers from 0 to 65535");
    return complete(end + 2, asio::ip::tcp::endpoint(source, *source_port));
}

uint16_t big_endian(std::string_view bytes, std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) << 8 | static_cast<unsigned char>(bytes[at + 1]));
}

Parsed parse_v2(std::string_view bytes) {
    if (bytes.size() < 16) return {};
    const auto version_command = static_cast<unsigned char>(bytes[12]);
    if (version_command >> 4 != 2) return malformed("v2 version is not 2");
    const unsigned command = version_command & 0x0f;
    if (command > 1) return malformed("v2 command is neither LOCAL nor PROXY");
    const std::size_t length = 16 + big_endian(bytes, 14);
    if (length > kMaxV2) return malformed("a v2 header longer than " + std::to_string(kMaxV2) + " bytes");
    if (bytes.size() < length) return {};
    if (command == 0) return complete(length);  // LOCAL: the proxy's own connection (a health check)
    const auto family = static_cast<unsigned char>(bytes[13]);
    switch (family) {
    case 0x11: {  // TCP over IPv4: source, destination, their ports
        if (length < 16 + 12) return malformed("v2 TCP4 addresses are shorter than 12 bytes");
        asio::ip::address_v4::bytes_type source;
        for (std::size_t i = 0; i < 4; ++i) source[i] = static_cast<unsigned char>(bytes[16 + i]);
        return complete(length, asio::ip::tcp::endpoint(asio::ip::address_v4(source), big_endian(bytes, 24)));
    }
    case 0x21: {  // TCP over IPv6
        if (length < 16 + 36) return malformed("v2 TCP6 addresses are shorter than 36 bytes");
        asio::ip::address_v6::bytes_type source;
        for (std::size_t i = 0; i < 16; ++i) source[i] = static_cast<unsigned char>(bytes[16 + i]);
        return complete(length, asio::ip::tcp::endpoint(asio::ip::address_v6(source), big_endian(bytes, 48)));
    }
    case 0x00:  // unspecified
    case 0x31:  // a UNIX stream socket
        return complete(length);
    default: return malformed("v2 family and transport are not TCP over IPv4 or IPv6");
    }
}

}  // namespace

Parsed parse(std::string_view bytes) {
    if (bytes.empty() || !(agrees(bytes, kV1Start) || agrees(bytes, kV2Signature))) return malformed("no PROXY header");
    if (agrees(bytes, kV1Start) && bytes.size() >= kV1Start.size()) return parse_v1(bytes);
    if (bytes.size() >= kV2Signature.size() && agrees(bytes, kV2Signature)) return parse_v2(bytes);
    return {};
}

namespace {

std::optional<asio::ip::tcp::endpoint> endpoint_of(std::string_view hop) {
    std::string_view address = hop, port;
    if (hop.starts_with('[')) {
        const auto close = hop.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        address = hop.substr(1, close - 1);
        if (close + 1 < hop.size()) {
            if (hop[close + 1] != ':') return std::nullopt;
            port = hop.substr(close + 2);
        }
    } else if (const auto colon = hop.find(':'); colon != std::string_view::npos && hop.rfind(':') == colon) {
        address = hop.substr(0, colon);  // IPv4 with a port; more colons: IPv6 alone
        port = hop.substr(colon + 1);
    }
    std::error_code ec;
    const auto ip = asio::ip::make_address(std::string(address), ec);
    if (ec) return std::nullopt;
    const auto number = port.empty() ? std::optional<uint16_t>(0) : port_of(port);
    if (!number) return std::nullopt;
    return asio::ip::tcp::endpoint(ip, *number);
}

}  // namespace

std::optional<asio::ip::tcp::endpoint> forwarded_client(const std::vector<std::string>& hops,
                                                        const NetworkList& trusted) {
    std::optional<asio::ip::tcp::endpoint> client;
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        client = endpoint_of(*hop);
        if (!client) return std::nullopt;
        if (!trusted.contains(client->address())) break;
    }
    return client;
}

bool looks_like_header(std::string_view bytes) {
    return bytes.starts_with(kV1Start) || bytes.starts_with(kV2Signature);
}

}  // namespace app::proxy
