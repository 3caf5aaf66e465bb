// The logon throttle's state in bbs.db, so that it outlives a restart
// (app/logon_throttle.h). Two tables, made when missing:
//
//   logon_throttle (kind, key, at, count): a bucket short of attempts
//       (kind "address", "userid", "pair" or "signup"; at: when it is full
//       again) or a source's penalty (kind "penalty"; at: its last offence;
//       count: its offences); times in milliseconds since 1970 (UTC).
//   logon_known_addresses (userid, source, last_logon): an address (as
//       LogonThrottle::source_key counts it) the account logged on from,
//       and when it last did (seconds since 1970, UTC).
//
// The throttle's memory is authoritative: the store queues what changed
// (put, erase) and writes it in one transaction when asked. A write never
// joins a transaction somebody else has open on the connection. One that
// finds the database locked by another connection waits at most the
// connection's busy timeout, keeps what it queued and is not tried again
// for a second (two after the next failure, ... at most a minute).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/sqlite.h"

namespace app {

class ThrottleStore {
public:
    using Clock = std::chrono::system_clock;
    struct Row {
        std::string kind, key;
        int64_t at = 0, count = 0;
    };
    struct Known {
        std::string userid, source;
        int64_t last_logon = 0;
    };

    // Makes the tables when missing; when the database is locked, the
    // first write that gets it makes them.
    explicit ThrottleStore(bbs::sql::Connection& db);
    ~ThrottleStore();
    ThrottleStore(const ThrottleStore&) = delete;
    ThrottleStore& operator=(const ThrottleStore&) = delete;

    // What the tables hold; nothing when they are not there yet.
    std::vector<Row> rows();
    std::vector<Known> known();

    // Queued for the next write; a later change of the same row replaces
    // an earlier one.
    void put(std::string_view kind, const std::string& key, int64_t at, int64_t count = 0);
    void erase(std::string_view kind, const std::string& key);
    void put_known(const std::string& userid, const std::string& source, int64_t last_logon);
    void erase_known(const std::string& userid, const std::string& source);

    // Writes what was queued, unless a failed write's pause runs until
    // after `now`. True when nothing waits to be written any more.
    bool write(Clock::time_point now);
    std::size_t queued() const { return rows_.size() + known_.size(); }

    static constexpr std::chrono::seconds kFirstPause{1};
    static constexpr std::chrono::seconds kLongestPause{60};

private:
    bool make_tables();
    bool write_queued();
    void pause(Clock::time_point now);

    bbs::sql::Connection& db_;
    std::string where_;  // "bbs.db logon throttle"
    bool tables_ = false;
    bbs::sql::Statement put_, erase_, put_known_, erase_known_, begin_, commit_, rollback_;
    // What waits to be written: a row, or none for one to delete.
    std::map<std::pair<std::string, std::string>, std::optional<Row>> rows_;
    std::map<std::pair<std::string, std::string>, std::optional<int64_t>> known_;
    Clock::time_point paused_until_{};
    std::chrono::seconds pause_{0};
};

}  // namespace app
