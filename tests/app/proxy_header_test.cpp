// The PROXY protocol's header, v1 and v2, and the client an HTTP request's
// proxies name. (Through the real bbshost: e2e test_proxy.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/proxy_header.h"

namespace {

using app::proxy::Parsed;
using State = Parsed::State;

// A v2 header: version/command, family, then `body` (addresses, TLVs).
std::string v2(unsigned char version_command, unsigned char family, const std::string& body) {
    std::string header(app::proxy::kV2Signature);
    header += static_cast<char>(version_command);
    header += static_cast<char>(family);
    header += static_cast<char>(body.size() >> 8);
    header += static_cast<char>(body.size() & 0xff);
    return header + body;
}

const std::string kTcp4Body{"\xc6\x33\x64\x07" "\xc0\x00\x02\x01" "\x12\x67" "\x00\x17", 12};  // 198.51.100.7:4711 to :23
std::string tcp6_body() {
    std::string body(16, '\0');
    body[0] = '\x20', body[1] = '\x01', body[2] = '\x0d', body[3] = '\xb8', body[15] = '\x09';  // 2001:db8::9
    body += std::string(16, '\0') + "\x12\x67" + std::string("\x00\x16", 2);
    return body;
}

TEST(ProxyHeader, HeadersAreReadToTheirEndAndNameTheirClient) {
    struct Case {
        std::string bytes;
        State state;
        std::size_t length;   // complete
        std::string client;   // complete: "" keeps the peer
    };
    const std::string after = "SSH-2.0-OpenSSH\r\n";  // the way's own bytes stay
    const std::string tlv = std::string("\x04\x00\x03" "abc", 6);
    const Case cases[] = {
        {"PROXY TCP4 198.51.100.7 192.0.2.1 4711 23\r\n" + after, State::complete, 43, "198.51.100.7:4711"},
        {"PROXY TCP6 2001:db8::9 2001:db8::1 4711 22\r\n", State::complete, 44, "[2001:db8::9]:4711"},
        {"PROXY UNKNOWN\r\n", State::complete, 15, ""},
        {"PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n", State::complete, 35, ""},
        {v2(0x21, 0x11, kTcp4Body) + after, State::complete, 28, "198.51.100.7:4711"},
        {v2(0x21, 0x11, kTcp4Body + tlv), State::complete, 34, "198.51.100.7:4711"},
        {v2(0x21, 0x21, tcp6_body()), State::complete, 52, "[2001:db8::9]:4711"},
        {v2(0x20, 0x00, ""), State::complete, 16, ""},          // LOCAL: a health check
        {v2(0x20, 0x11, kTcp4Body), State::complete, 28, ""},   // LOCAL with addresses: still the peer
        {v2(0x21, 0x00, ""), State::complete, 16, ""},          // unspecified family
        // Not yet: more may come.
        {"P", State::incomplete, 0, ""},
        {"PROXY TCP4 198.51.100.7 192.0.", State::incomplete, 0, ""},
        {std::string(app::proxy::kV2Signature).substr(0, 7), State::incomplete, 0, ""},
        {v2(0x21, 0x11, kTcp4Body).substr(0, 20), State::incomplete, 0, ""},
        // Never a header.
        {"SSH-2.0-OpenSSH\r\n", State::malformed, 0, ""},
        {"PROXY TCP4 198.51.100.7 192.0.2.1 4711 23\n", State::malformed, 0, ""},
        {"PROXY TCP5 198.51.100.7 192.0.2.1 4711 23\r\n", State::malformed, 0, ""},
        {"PROXY TCP4 2001:db8::9 192.0.2.1 4711 23\r\n", State::malformed, 0, ""},
        {"PROXY TCP6 198.51.100.7 2001:db8::1 4711 23\r\n", State::malformed, 0, ""},
        {"PROXY TCP4 198.51.100.7 192.0.2.1 65536 23\r\n", State::malformed, 0, ""},
        {"PROXY TCP4 198.51.100.7 192.0.2.1 04711 23\r\n", State::malformed, 0, ""},
        {"PROXY TCP4 198.51.100.7  192.0.2.1 4711 23\r\n", State::malformed, 0, ""},
        {"PROXY TCP4 198.51.100.7 192.0.2.1 4711\r\n", State::malformed, 0, ""},
        {"PROXY UNKNOWN " + std::string(100, 'x'), State::malformed, 0, ""},  // no end within 107 bytes
        {v2(0x11, 0x11, kTcp4Body), State::malformed, 0, ""},  // version 1
        {v2(0x22, 0x11, kTcp4Body), State::malformed, 0, ""},  // command 2
        {v2(0x21, 0x12, kTcp4Body), State::malformed, 0, ""},  // UDP
        {v2(0x21, 0x11, kTcp4Body.substr(0, 8)), State::malformed, 0, ""},
        {v2(0x21, 0x21, kTcp4Body), State::malformed, 0, ""},
        {v2(0x21, 0x11, std::string(600, '\0')).substr(0, 16), State::malformed, 0, ""},  // past the bound
    };
    for (const auto& c : cases) {
        const Parsed parsed = app::proxy::parse(c.bytes);
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        ASSERT_EQ(parsed.state, c.state) << parsed.error;
        if (c.state == State::malformed) {
            EXPECT_FALSE(parsed.error.empty());
        }
        if (c.state != State::complete) continue;
        EXPECT_EQ(parsed.length, c.length);
        std::string client;
        if (parsed.client) {
            const auto address = parsed.client->address();
            client = (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
                     std::to_string(parsed.client->port());
        }
        EXPECT_EQ(client, c.client);
    }
}

TEST(ProxyHeader, FirstBytesThatBeginAHeaderAreToldFromAWaysOwn) {
    for (const std::string& header : std::vector<std::string>{"PROXY TCP4 1.2.3.4", "PROXY ", std::string(app::proxy::kV2Signature) + "\x21"})
        EXPECT_TRUE(app::proxy::looks_like_header(header)) << header;
    for (const std::string& own : std::vector<std::string>{"", "SSH-2.0-x\r\n", "PROXIMA\r\n", "\xff\xfd\x18", "\r\n", "PROXY", "GET / HTTP/1.1",
                                  std::string("\r\n\r\n\0\r\nQUIX\n", 12)})
        EXPECT_FALSE(app::proxy::looks_like_header(own)) << testing::PrintToString(own);
}

TEST(ForwardedClient, TheWalkFromTheNearestProxyStopsAtTheFirstUntrustedAddress) {
    std::string error;
    const app::NetworkList trusted({*app::parse_network("10.0.0.0/8", &error), *app::parse_network("2001:db8::/32", &error)});
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"198.51.100.7"}, "198.51.100.7:0"},
        {{"203.0.113.1", "198.51.100.7"}, "198.51.100.7:0"},        // the client's own word on the left
        {{"203.0.113.1", "198.51.100.7", "10.1.1.1"}, "198.51.100.7:0"},  // a chain of trusted proxies
        {{"10.2.2.2", "10.1.1.1"}, "10.2.2.2:0"},                    // trusted all the way: the farthest
        {{"198.51.100.7:4711"}, "198.51.100.7:4711"},
        {{"[2001:db9::7]:4711"}, "2001:db9::7:4711"},
        {{"2001:db9::7"}, "2001:db9::7:0"},
        {{"[2001:db9::7]", "[2001:db8::1]:80"}, "2001:db9::7:0"},
        {{}, ""},
        {{"unknown"}, ""},
        {{"198.51.100.7", "_hidden"}, ""},      // obfuscated: what lies beyond is nobody's word
        {{"198.51.100.7", ""}, ""},              // a Forwarded element without for=
        {{"198.51.100.7:99999"}, ""},
        {{"[2001:db9::7"}, ""},
        {{"evil.example"}, ""},
    };
    for (const auto& [hops, wanted] : cases) {
        const auto client = app::proxy::forwarded_client(hops, trusted);
        EXPECT_EQ(client ? client->address().to_string() + ":" + std::to_string(client->port()) : "", wanted)
            << testing::PrintToString(hops);
    }
}

}  // namespace
