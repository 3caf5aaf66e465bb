#include "app/bans.h"

#include <algorithm>
#include <charconv>

namespace app {

namespace sql = bbs::sql;

namespace {

std::string bytes_of(const asio::ip::address& address) {
    if (address.is_v4()) {
        const auto b = address.to_v4().to_bytes();
        return std::string(b.begin(), b.end());
    }
    const auto b = address.to_v6().to_bytes();
    return std::string(b.begin(), b.end());
}

// The bytes with every bit after the first `prefix` zero.
std::string masked(std::string bytes, int prefix) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int kept = std::clamp(prefix - static_cast<int>(i) * 8, 0, 8);
        bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) & (0xff00 >> kept));
    }
    return bytes;
}

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

// ---- the table ----------------------------------------------------------------

Bans::Bans(sql::Connection& db, Now now) : db_(db), where_(db.name() + " bans"), now_(std::move(now)) {
    data_version_.prepare(db_, "PRAGMA data_version", where_);
    make_table();
}

bool Bans::make_table() {
    if (table_) return true;
    // A locked database is no failure: the table is made at a later look.
    sql::Statement create(db_,
                          "CREATE TABLE IF NOT EXISTS bans (network TEXT PRIMARY KEY, added INTEGER NOT NULL,"
                          " until INTEGER, reason TEXT NOT NULL)",
                          where_, false);
    sql::Use s(create);
    table_ = s.attempt("making the bans table") == sql::Use::Step::done;
    return table_;
}

bool Bans::add(const Ban& ban, std::string* error) {
    sql::Statement put(db_, "INSERT OR REPLACE INTO bans (network, added, until, reason) VALUES (?1, ?2, ?3, ?4)",
                       where_, false);
    sql::Use s(put);
    const std::string network = ban.network.text();
    s.bind(1, network).bind(2, ban.added).bind(4, ban.reason);
    if (ban.until) s.bind(3, *ban.until);
    else s.bind_null(3);
    if (!s.run("adding a ban")) {
        *error = db_.error_of(s.code(), "adding a ban", where_).text();
        return false;
    }
    load();
    return true;
}

bool Bans::remove(const Network& network, std::string* error) {
    sql::Statement erase(db_, "DELETE FROM bans WHERE network = ?1", where_, false);
    sql::Use s(erase);
    const std::string text = network.text();
    s.bind(1, text);
    if (!s.run("removing a ban")) {
        *error = db_.error_of(s.code(), "removing a ban", where_).text();
        return false;
    }
    if (db_.changes() != 1) {
        *error = "no ban of " + text;
        return false;
    }
    load();
    return true;
}

std::vector<Ban> Bans::list() {
    std::vector<Ban> bans;
    if (!make_table()) return bans;
    sql::Statement read(db_, "SELECT network, added, coalesce(until, -1), reason FROM bans ORDER BY network", where_,
                        false);
    sql::Use s(read);
    while (s.row("reading the bans")) {
        std::string ignored;
        const auto network = parse_network(s.text(0), &ignored);
        if (!network) continue;   // written by hand: never matches
        Ban ban{*network, s.integer(1), std::nullopt, s.text(3)};
        if (const int64_t until = s.integer(2); until >= 0) ban.until = until;
        bans.push_back(std::move(ban));
    }
    return bans;
}

bool Bans::load_if_changed() {
    sql::Use s(data_version_);
    if (!s.row("reading the data version")) return false;
    const int64_t version = s.integer(0);
    if (version == version_seen_) return false;
    version_seen_ = version;
    return true;
}

void Bans::load() {
    v4_.clear();
    v6_.clear();
    for (Ban& ban : list()) {
        auto& family = ban.network.address.is_v4() ? v4_ : v6_;
        const int prefix = ban.network.prefix;
        family[prefix][bytes_of(ban.network.address)] = std::move(ban);
    }
}

const Ban* Bans::find(const asio::ip::address& address) {
    if (load_if_changed()) load();
    const auto plain = unmapped(address);
    const std::string bytes = bytes_of(plain);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(now_().time_since_epoch()).count();
    for (const auto& [prefix, bans] : plain.is_v4() ? v4_ : v6_) {
        const auto it = bans.find(masked(bytes, prefix));
        if (it != bans.end() && it->second.applies_at(now)) return &it->second;
    }
    return nullptr;
}

}  // namespace app
