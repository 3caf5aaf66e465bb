#include "app/bans.h"

#include <algorithm>
#include <charconv>

namespace app {

namespace sql = bbs::sql;

// ---- the table ----------------------------------------------------------------

Bans::Bans(sql::Connection& db, Now now) : db_(db), where_(db.name() + " bans"), now_(std::move(now)) {
    data_version_.prepare(db_, where_);
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
    return data_version_.moved().value_or(false);
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
