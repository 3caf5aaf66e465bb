#include "app/throttle_store.h"

#include <algorithm>

namespace app {

namespace sql = bbs::sql;

ThrottleStore::ThrottleStore(bbs::sql::Connection& db) : db_(db), where_(db.name() + " logon throttle") { make_tables(); }

ThrottleStore::~ThrottleStore() = default;

bool ThrottleStore::make_tables() {
    if (tables_) return true;
    for (const char* table : {"CREATE TABLE IF NOT EXISTS logon_throttle (kind TEXT NOT NULL, key TEXT NOT NULL,"
                              " at INTEGER NOT NULL, count INTEGER NOT NULL, PRIMARY KEY (kind, key)) WITHOUT ROWID",
                              "CREATE TABLE IF NOT EXISTS logon_known_addresses (userid TEXT NOT NULL COLLATE NOCASE,"
                              " source TEXT NOT NULL, last_logon INTEGER NOT NULL, PRIMARY KEY (userid, source))"
                              " WITHOUT ROWID"}) {
        // A locked database is no failure: the next write tries again.
        sql::Statement create(db_, table, where_, false);
        sql::Use s(create);
        if (s.attempt("making the logon throttle's tables") != sql::Use::Step::done) return false;
    }
    tables_ = put_.prepare(db_, "INSERT OR REPLACE INTO logon_throttle (kind, key, at, count) VALUES (?1, ?2, ?3, ?4)",
                           where_) &&
              erase_.prepare(db_, "DELETE FROM logon_throttle WHERE kind = ?1 AND key = ?2", where_) &&
              put_known_.prepare(db_,
                                 "INSERT OR REPLACE INTO logon_known_addresses (userid, source, last_logon)"
                                 " VALUES (?1, ?2, ?3)",
                                 where_) &&
              erase_known_.prepare(db_, "DELETE FROM logon_known_addresses WHERE userid = ?1 AND source = ?2",
                                   where_) &&
              begin_.prepare(db_, "BEGIN IMMEDIATE", where_) && commit_.prepare(db_, "COMMIT", where_) &&
              rollback_.prepare(db_, "ROLLBACK", where_);
    return tables_;
}

std::vector<ThrottleStore::Row> ThrottleStore::rows() {
    std::vector<Row> rows;
    if (!make_tables()) return rows;
    sql::Statement read(db_, "SELECT kind, key, at, count FROM logon_throttle", where_, false);
    sql::Use s(read);
    while (s.row("reading the logon throttle")) rows.push_back({s.text(0), s.text(1), s.integer(2), s.integer(3)});
    return rows;
}

std::vector<ThrottleStore::Known> ThrottleStore::known() {
    std::vector<Known> known;
    if (!make_tables()) return known;
    sql::Statement read(db_, "SELECT userid, source, last_logon FROM logon_known_addresses", where_, false);
    sql::Use s(read);
    while (s.row("reading the known addresses")) known.push_back({s.text(0), s.text(1), s.integer(2)});
    return known;
}

void ThrottleStore::put(std::string_view kind, const std::string& key, int64_t at, int64_t count) {
    rows_[{std::string(kind), key}] = Row{std::string(kind), key, at, count};
}

void ThrottleStore::erase(std::string_view kind, const std::string& key) { rows_[{std::string(kind), key}].reset(); }

void ThrottleStore::put_known(const std::string& userid, const std::string& source, int64_t last_logon) {
    known_[{userid, source}] = last_logon;
}

void ThrottleStore::erase_known(const std::string& userid, const std::string& source) {
    known_[{userid, source}].reset();
}

bool ThrottleStore::write(Clock::time_point now) {
    if (queued() == 0) return true;
    if (now < paused_until_ || db_.in_transaction()) return false;
    if (!make_tables() || !write_queued()) {
        pause(now);
        return false;
    }
    rows_.clear();
    known_.clear();
    pause_ = std::chrono::seconds(0);
    paused_until_ = {};
    return true;
}

bool ThrottleStore::write_queued() {
    {
        sql::Use begin(begin_);
        if (begin.attempt("writing the logon throttle") != sql::Use::Step::done) return false;
    }
    bool ok = true;
    for (const auto& [at, row] : rows_) {
        if (!ok) break;
        sql::Use s(row ? put_ : erase_);
        s.bind(1, at.first).bind(2, at.second);
        if (row) s.bind(3, row->at).bind(4, row->count);
        ok = s.run("writing the logon throttle");
    }
    for (const auto& [at, last_logon] : known_) {
        if (!ok) break;
        sql::Use s(last_logon ? put_known_ : erase_known_);
        s.bind(1, at.first).bind(2, at.second);
        if (last_logon) s.bind(3, *last_logon);
        ok = s.run("writing a known address");
    }
    if (ok) {
        sql::Use commit(commit_);
        ok = commit.run("writing the logon throttle");
    }
    if (!ok && db_.in_transaction()) {
        sql::Use rollback(rollback_);
        rollback.attempt("abandoning a write of the logon throttle");
    }
    return ok;
}

void ThrottleStore::pause(Clock::time_point now) {
    pause_ = pause_.count() == 0 ? kFirstPause : std::min(pause_ * 2, kLongestPause);
    paused_until_ = now + pause_;
}

}  // namespace app
