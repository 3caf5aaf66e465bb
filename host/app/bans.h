// Addresses the sysop banned (bbshost ban add): one address or a network
// (CIDR), IPv4 or IPv6, for good or until a time, with a reason. An IPv4
// address inside IPv6 (::ffff:a.b.c.d) is the IPv4 address it holds, as a
// ban and as an address checked.
//
// Kept in bbs.db, table bans (made when missing):
//   network TEXT PRIMARY KEY   as Network::text() writes it
//   added INTEGER, until INTEGER (NULL: for good), reason TEXT
// times in seconds since 1970 (UTC).
//
// find() runs on every accepted connection: it reads a cache, which it
// loads again only when another connection (an admin command) committed a
// change to the database since it last looked (SQLite's data_version), and
// looks up the addresses with one hash lookup per prefix length banned.
// A ban past its end stops applying at once; it stays listed (as expired)
// until it is removed or added again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/network.h"
#include "bbs/sqlite.h"

namespace app {

struct Ban {
    Network network;
    int64_t added = 0;               // seconds since 1970 (UTC)
    std::optional<int64_t> until{};  // when it ends; none: for good
    std::string reason{};
    bool applies_at(int64_t now) const { return !until || *until > now; }
};

class Bans {
public:
    using Clock = std::chrono::system_clock;
    using Now = std::function<Clock::time_point()>;

    // Makes the table when missing. A statement that fails for a reason of
    // the database is reported by the connection (bbs/sqlite.h).
    explicit Bans(bbs::sql::Connection& db, Now now = [] { return Clock::now(); });
    Bans(const Bans&) = delete;
    Bans& operator=(const Bans&) = delete;

    // Adds a ban, or replaces the one of the same network. False with *error
    // when the database refuses.
    bool add(const Ban& ban, std::string* error);
    // False with *error when there is no ban of that network.
    bool remove(const Network& network, std::string* error);
    // Every ban, those past their end too, in the order of their networks' text.
    std::vector<Ban> list();

    // The ban that applies to `address` now (of the longest prefix), or null.
    // The pointer is good until the next call.
    const Ban* find(const asio::ip::address& address);
    bool banned(const asio::ip::address& address) { return find(address) != nullptr; }

private:
    bool make_table();
    bool load_if_changed();
    void load();

    bbs::sql::Connection& db_;
    std::string where_;   // "bbs.db bans"
    Now now_;
    bbs::sql::DataVersion data_version_;
    bool table_ = false;
    // Per address length (4 or 16 bytes), per prefix length from the
    // longest: the bans by their network's bytes.
    using ByNetwork = std::unordered_map<std::string, Ban>;
    std::map<int, ByNetwork, std::greater<>> v4_, v6_;
};

}  // namespace app
