// GMCP (telnet option 201) as the host speaks it: messages "Package.Name
// JSON" (the body may be missing), as the Mudlet and IRE documentation
// describe them.
//
// From the client the host understands Core.Hello (his name and version),
// Core.Supports.Set/Add/Remove (the packages he wants, "Char 1") and
// Core.Ping (answered by Core.Ping); anything else, and a message longer
// than kMaxMessage bytes, is ignored. Nothing of it reaches the host or a
// module.
//
// To the client the host sends its character's state where he supports the
// package ("Char" or the message's own name), each message only when it
// differs from the last one he was sent:
//   Char.Name    {"name": "Alia", "fullname": "Alia the Wanderer of the North"}
//   Char.Status  {"level": 7, "race": "Elf", "profession": "Ranger",
//                 "guild": "Silver Leaf", "copper": 12000, "lives": 3,
//                 "time_played": 18000}
//   Char.Vitals  {"hp": 62}
// and Core.Goodbye when the host ends the session.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct PublicUserInfo;

namespace app {

struct GmcpMessage {
    std::string name;  // "Core.Supports.Set"
    std::string body;  // JSON, or empty
};

// "Name" or "Name BODY"; nothing when the name is empty or not printable ASCII.
std::optional<GmcpMessage> parse_gmcp(std::string_view message);
std::string gmcp_text(std::string_view name, std::string_view body);

// One client's side of GMCP: what he supports, and what he was sent last.
class GmcpClient {
public:
    static constexpr std::size_t kMaxMessage = 4096;
    static constexpr std::size_t kMaxPackages = 64;

    // A message of the client: the answer to send him (Core.Ping's), or nothing.
    std::optional<std::string> received(std::string_view message);
    bool supports(std::string_view name) const;
    // The last message received set, added or removed packages.
    bool supports_changed() const { return supports_changed_; }
    const std::string& client() const { return client_; }

    // The character's messages he supports and has not been sent as they
    // are now (each remembered as sent).
    std::vector<std::string> character_news(const PublicUserInfo& info);

private:
    void support(std::string_view body, bool on, bool reset);

    std::set<std::string, std::less<>> packages_;
    bool supports_changed_ = false;
    std::string client_;  // "MUDLET 4.17.2", from Core.Hello
    std::map<std::string, std::string, std::less<>> sent_;  // the last body of each message name
};

}  // namespace app
