#include "app/network.h"

#include <algorithm>
#include <charconv>

namespace app {

std::string bytes_of(const asio::ip::address& address) {
    if (address.is_v4()) {
        const auto b = address.to_v4().to_bytes();
        return std::string(b.begin(), b.end());
    }
    const auto b = address.to_v6().to_bytes();
    return std::string(b.begin(), b.end());
}

std::string masked(std::string bytes, int prefix) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int kept = std::clamp(prefix - static_cast<int>(i) * 8, 0, 8);
        bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) & (0xff00 >> kept));
    }
    return bytes;
}

namespace {

asio::ip::address address_of(const std::string& bytes) {
    if (bytes.size() == 4) {
        asio::ip::address_v4::bytes_type b;
        std::copy(bytes.begin(), bytes.end(), b.begin());
        return asio::ip::address_v4(b);
    }
    asio::ip::address_v6::bytes_type b;
    std::copy(bytes.begin(), bytes.end(), b.begin());
    return asio::ip::address_v6(b);
}

int bits_of(const asio::ip::address& address) { return address.is_v4() ? 32 : 128; }

}  // namespace

asio::ip::address unmapped(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

std::string Network::text() const {
    const std::string shown = address.to_string();
    return prefix == bits_of(address) ? shown : shown + "/" + std::to_string(prefix);
}

bool Network::contains(const asio::ip::address& candidate) const {
    const auto plain = unmapped(candidate);
    return plain.is_v4() == address.is_v4() && masked(bytes_of(plain), prefix) == bytes_of(address);
}

std::optional<Network> parse_network(std::string_view text, std::string* error) {
    const auto slash = text.find('/');
    const std::string_view address_text = text.substr(0, slash);
    std::error_code ec;
    auto address = asio::ip::make_address(std::string(address_text), ec);
    if (ec) {
        *error = "\"" + std::string(address_text) + "\" is no IPv4 or IPv6 address";
        return std::nullopt;
    }
    int prefix = bits_of(address);
    if (slash != std::string_view::npos) {
        const std::string_view length = text.substr(slash + 1);
        const auto [end, fault] = std::from_chars(length.data(), length.data() + length.size(), prefix);
        if (fault != std::errc() || end != length.data() + length.size() || length.empty() || prefix < 0 ||
            prefix > bits_of(address)) {
            *error = "\"" + std::string(text) + "\": the prefix length must be a number from 0 to " +
                     std::to_string(bits_of(address));
            return std::nullopt;
        }
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        if (prefix < 96) {
            *error = "\"" + std::string(text) + "\": an IPv4 network inside IPv6 needs a prefix length of 96 or more";
            return std::nullopt;
        }
        address = unmapped(address);
        prefix -= 96;
    }
    return Network{address_of(masked(bytes_of(address), prefix)), prefix};
}

bool NetworkList::contains(const asio::ip::address& address) const {
    return std::any_of(networks_.begin(), networks_.end(), [&](const Network& n) { return n.contains(address); });
}

}  // namespace app
