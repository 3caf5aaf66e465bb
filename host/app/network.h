// IP networks as the sysop names them (a ban's network, a trusted proxy):
// one address or a network (CIDR), IPv4 or IPv6. An IPv4 address inside
// IPv6 (::ffff:a.b.c.d) is the IPv4 address it holds, as a network and as
// an address checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/address.hpp>

namespace app {

// An IPv4 address inside IPv6 (::ffff:a.b.c.d) as the IPv4 address it is;
// any other address as it is.
asio::ip::address unmapped(const asio::ip::address& address);

struct Network {
    asio::ip::address address;   // its first address (the bits after the prefix zero)
    int prefix = 32;             // its length in bits; 32 (IPv4) or 128 (IPv6): one address
    // "192.0.2.0/24", "2001:db8::/32"; one address without its length.
    std::string text() const;
    bool contains(const asio::ip::address& address) const;
};

// "ADDRESS" or "ADDRESS/LENGTH", IPv4 or IPv6; the bits after the length
// are dropped. None with *error saying what is wrong.
std::optional<Network> parse_network(std::string_view text, std::string* error);

// An address's bytes (4 or 16), and such bytes with every bit after the
// first `prefix` zero: keys for looking networks up by prefix length.
std::string bytes_of(const asio::ip::address& address);
std::string masked(std::string bytes, int prefix);

// Networks a connection may come from, as a list: whether any holds an address.
class NetworkList {
public:
    NetworkList() = default;
    explicit NetworkList(std::vector<Network> networks) : networks_(std::move(networks)) {}
    bool empty() const { return networks_.empty(); }
    bool contains(const asio::ip::address& address) const;

private:
    std::vector<Network> networks_;
};

}  // namespace app
