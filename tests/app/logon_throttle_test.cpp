// The logon throttle on a test clock: guesses per address and user-ID, give-backs, caps, bounded memory.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/logon_throttle.h"
#include "bbs/sqlite.h"
#include "tests/support/database_access.h"

namespace {

using app::LogonThrottle;
using namespace std::chrono_literals;
using Outcome = LogonThrottle::Outcome;
using Refusal = LogonThrottle::Refusal;
using Ending = LogonThrottle::Ending;

class ThrottleTest : public ::testing::Test {
protected:
    LogonThrottle::Clock::time_point now_{};  // 1970: any start will do
    std::optional<LogonThrottle> throttle_{std::in_place, [this] { return now_; }};

    // Passwords tried by an attacker trying once a second for `seconds`, try i from address(i) at userid(i).
    int guesses(int seconds, std::string (*address)(int), std::string (*userid)(int)) {
        int tried = 0;
        for (int i = 0; i < seconds; ++i, now_ += 1s) tried += attempt(address(i), userid(i), Outcome::wrong_password);
        return tried;
    }
    // An attempt that begins, if the throttle lets it, and ends so.
    bool attempt(const std::string& address, const std::string& userid, Outcome outcome) {
        if (!throttle_->attempt_begins(address, userid)) return false;
        throttle_->attempt_ended(address, userid, outcome);
        return true;
    }
};

std::string one_address(int) { return "198.51.100.7"; }
std::string many_addresses(int i) { return "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256); }
std::string many_userids(int i) { return "user" + std::to_string(i); }
std::string one_userid(int i) { return i % 2 ? "alice" : "ALICE"; }  // letter case makes no new user-ID

// Per address 10 at once, then one every 2 minutes; per user-ID 5, then one every 5 minutes.
TEST_F(ThrottleTest, GuessRates) {
    struct Case { const char* who; std::string (*address)(int); std::string (*userid)(int); int seconds, expected; };
    const Case cases[] = {
        {"one address, any user-IDs, an hour", one_address, many_userids, 3600, 10 + 3599 / 120},
        {"one address, any user-IDs, a day", one_address, many_userids, 86400, 10 + 86399 / 120},
        {"one user-ID from a new address every second, an hour", many_addresses, one_userid, 3600, 5 + 3599 / 300},
        {"one user-ID from a new address every second, a day", many_addresses, one_userid, 86400, 5 + 86399 / 300},
    };
    for (const auto& c : cases) {
        throttle_.emplace([this] { return now_; });
        EXPECT_EQ(guesses(c.seconds, c.address, c.userid), c.expected) << c.who;
    }
}

TEST_F(ThrottleTest, ParallelAttemptsShareTheBucketAndRefusalsSayWhenAgain) {
    // Twenty connections of one address type a user-ID at once: ten get a password prompt, whatever the user-IDs.
    int asked = 0;
    LogonThrottle::Verdict last;
    for (int i = 0; i < 20; ++i) {
        last = throttle_->attempt_begins("192.0.2.1", many_userids(i));
        asked += static_cast<bool>(last);
    }
    EXPECT_EQ(asked, 10);
    EXPECT_EQ(last.refusal, Refusal::address_penalized);
    EXPECT_EQ(last.retry_after, 120s);
    EXPECT_EQ(LogonThrottle::message(last), "Too many failed logons from your address. Please try again in 2 minutes.\r\n");
    // The address may not even open the dialogue until an attempt is back.
    EXPECT_EQ(throttle_->dialogue_begins("192.0.2.1").refusal, Refusal::address_penalized);
    now_ += 119s;
    EXPECT_FALSE(throttle_->attempt_begins("192.0.2.1", "x"));
    now_ += 1s;
    EXPECT_TRUE(throttle_->attempt_begins("192.0.2.1", "x"));
    EXPECT_TRUE(throttle_->dialogue_begins("192.0.2.2"));

    // Five guesses at one user-ID from five addresses; the sixth is refused, with the time until the next attempt.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(throttle_->attempt_begins(many_addresses(i), "Carol"));
    const auto refused = throttle_->attempt_begins(many_addresses(5), "carol");
    EXPECT_EQ(refused.refusal, Refusal::userid_penalized);
    EXPECT_EQ(refused.retry_after, 300s);
    EXPECT_EQ(LogonThrottle::message(refused), "Too many failed logons for this user-ID. Please try again in 5 minutes.\r\n");
    EXPECT_TRUE(throttle_->attempt_begins(many_addresses(5), "Dave"));  // A refused attempt costs the address nothing.
}

TEST_F(ThrottleTest, GoodLogonsAndAbandonedAttemptsGiveTheirAttemptBack) {
    // A thousand logons of users behind one address, each right first time.
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(attempt("203.0.113.5", many_userids(i % 50), Outcome::logged_on)) << i;
    // A thousand connections that hang up at the password prompt.
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(attempt("203.0.113.5", "Bob", Outcome::abandoned)) << i;
    // Alice mistypes five times from five places; her good logon fills her user-ID's bucket again at once.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(attempt(many_addresses(i), "Alice", Outcome::wrong_password));
    EXPECT_FALSE(throttle_->attempt_begins("203.0.113.9", "Alice"));
    now_ += 300s;
    ASSERT_TRUE(attempt("203.0.113.9", "Alice", Outcome::logged_on));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(throttle_->attempt_begins(many_addresses(100 + i), "alice")) << i;
}

// Strangers guessing at Alice from twelve new addresses, and then from anywhere as fast as her user-ID's
// attempts come back, for a day, never keep her out of the place she logs on from.
TEST_F(ThrottleTest, StrangersCannotLockTheOwnerOutOfHisKnownAddress) {
    const std::string home = "203.0.113.20";
    ASSERT_TRUE(attempt(home, "Alice", Outcome::logged_on));
    now_ += 1h;
    for (int i = 0; i < 12; ++i) attempt(many_addresses(i), "Alice", Outcome::wrong_password);
    EXPECT_TRUE(attempt(home, "alice", Outcome::logged_on)) << "refused at once after twelve strangers' guesses";
    int stranger = 100;
    for (int minute = 0; minute < 24 * 60; minute += 5, now_ += 5min) {
        while (attempt(many_addresses(stranger++), "ALICE", Outcome::wrong_password)) {}
        if (minute % 60 == 30) {
            EXPECT_TRUE(attempt(home, "Alice", Outcome::logged_on)) << "minute " << minute;
        }
    }
}


// The throttle on bbs.db, made again as a restart of the host makes it.
class ThrottleOnDisk : public ThrottleTest {
protected:
    void SetUp() override {
        char folder[] = "/tmp/throttle-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        bbs::sql::Error error;
        db_ = bbs::sql::Connection::open(dir_ / "bbs.db", &error);
        ASSERT_TRUE(db_ && db_->exec("PRAGMA journal_mode=WAL", "test")) << error.text();
        restart();
    }
    void TearDown() override {
        throttle_.reset();
        db_.reset();
        std::filesystem::remove_all(dir_);
    }
    void restart(LogonThrottle::Gate gate = {}) {
        throttle_.reset();   // writes what it has
        throttle_.emplace([this] { return now_; }, LogonThrottle::Rules{}, LogonThrottle::Context{db_.get(), {}, gate});
    }
    std::filesystem::path dir_;
    std::unique_ptr<bbs::sql::Connection> db_;
};

TEST_F(ThrottleOnDisk, BucketsAndKnownAddressesOutliveARestartAndKnownAddressesExpire) {
    const std::string home = "203.0.113.20", guesser = "198.51.100.66";
    ASSERT_TRUE(attempt(home, "Alice", Outcome::logged_on));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(attempt(many_addresses(i), "Alice", Outcome::wrong_password));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(attempt(guesser, many_userids(i), Outcome::wrong_password));
    restart();
    EXPECT_TRUE(throttle_->known(home, "ALICE"));
    EXPECT_EQ(throttle_->attempt_begins(many_addresses(9), "Alice").refusal, Refusal::userid_penalized);
    EXPECT_EQ(throttle_->attempt_begins(guesser, "Bob").refusal, Refusal::address_penalized);
    EXPECT_TRUE(attempt(home, "Alice", Outcome::logged_on));

    // Ninety days after her last logon from there, home is a stranger's address again.
    now_ += std::chrono::hours(24 * 90);
    restart();
    EXPECT_FALSE(throttle_->known(home, "Alice"));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(attempt(many_addresses(20 + i), "Alice", Outcome::wrong_password));
    EXPECT_EQ(throttle_->attempt_begins(home, "Alice").refusal, Refusal::userid_penalized);
}

// A known address has a bucket of its own at the account: as many guesses as a stranger's, apart from theirs.
TEST_F(ThrottleTest, AKnownAddressGuessesNoFasterThanStrangersDo) {
    const std::string home = "203.0.113.20";
    ASSERT_TRUE(attempt(home, "Alice", Outcome::logged_on));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(attempt(home, "Alice", Outcome::wrong_password)) << i;
    const auto refused = throttle_->attempt_begins(home, "alice");
    EXPECT_EQ(refused.refusal, Refusal::userid_penalized);
    EXPECT_EQ(refused.retry_after, 300s);
    EXPECT_TRUE(attempt("192.0.2.5", "Alice", Outcome::wrong_password)) << "the strangers' bucket is full";
    EXPECT_TRUE(attempt(home, "Bob", Outcome::wrong_password)) << "home's own attempts are not spent";
    now_ += 300s;
    EXPECT_TRUE(attempt(home, "Alice", Outcome::logged_on));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(attempt(home, "Alice", Outcome::wrong_password)) << "filled again " << i;
}

TEST_F(ThrottleTest, AKeyLogonIsRefusedOnlyForABanOrALock) {
    LogonThrottle::Gate gate;
    gate.banned = [](const asio::ip::address& a) -> std::optional<std::string> {
        if (a.to_string().rfind("192.0.2.", 0) == 0) return "scanning";
        return std::nullopt;
    };
    gate.locked = [](std::string_view id) -> std::optional<std::string> {
        if (id == "Bob") return "unpaid";
        return std::nullopt;
    };
    throttle_.emplace([this] { return now_; }, LogonThrottle::Rules{}, LogonThrottle::Context{nullptr, {}, gate});
    const auto v4 = [](const char* a) { return asio::ip::make_address(a); };
    // Alice's user-ID and the address's attempts spent, the source penalized: a key still lets her in, and the
    // address becomes known.
    for (int i = 0; i < 10; ++i) attempt("198.51.100.1", i < 5 ? "Alice" : many_userids(i), Outcome::wrong_password);
    throttle_->connection_ended("198.51.100.1", Ending::refused);
    EXPECT_TRUE(throttle_->key_logon(v4("198.51.100.1"), "Alice"));
    EXPECT_TRUE(throttle_->known("198.51.100.1", "alice"));
    const std::pair<const char*, const char*> refused[] = {{"192.0.2.9", "Alice"}, {"::ffff:192.0.2.9", "Alice"},
                                                            {"198.51.100.1", "Bob"}};
    for (auto [address, userid] : refused) {
        const auto verdict = throttle_->key_logon(v4(address), userid);
        EXPECT_FALSE(verdict) << address << " " << userid;
        EXPECT_EQ(verdict.detail, userid == std::string("Bob") ? "unpaid" : "scanning") << address;
    }
    EXPECT_EQ(LogonThrottle::message(throttle_->key_logon(v4("192.0.2.9"), "Alice")),
              "Connections from your address are not accepted.\r\n");
    // A right password for a locked account is refused, and does not make its address known.
    ASSERT_TRUE(throttle_->attempt_begins("203.0.113.7", "Bob"));
    EXPECT_EQ(throttle_->attempt_ended("203.0.113.7", "Bob", Outcome::logged_on).refusal, Refusal::locked);
    EXPECT_FALSE(throttle_->known("203.0.113.7", "Bob"));
}

// MaxStartups 10:30:64: beyond 10 places taken a connection is refused when the draw (in percent) is below
// 30 + 70 * (taken - 10) / 54.
TEST_F(ThrottleTest, LogonPlacesBeyondTenAreRefusedAtRandomMoreOftenAsTheyFill) {
    const std::pair<double, int> cases[] = {{0.0, 10}, {0.29, 10}, {0.31, 11}, {0.5, 26}, {0.9, 57}, {0.9999, 64}};
    for (auto [draw, places] : cases) {
        throttle_.emplace([this] { return now_; }, LogonThrottle::Rules{},
                          LogonThrottle::Context{nullptr, [draw = draw] { return draw; }, {}});
        int taken = 0;
        LogonThrottle::Verdict verdict;
        while (taken < 100 && (verdict = throttle_->connection_begins(asio::ip::make_address(many_addresses(taken)))))
            ++taken;
        EXPECT_EQ(taken, places) << "draw " << draw;
        EXPECT_EQ(verdict.refusal, Refusal::busy_host) << "draw " << draw;
        // A refusal for a full host is no offence of the source: it gets the next free place.
        throttle_->dialogue_ended(many_addresses(0));
        EXPECT_TRUE(throttle_->connection_begins(asio::ip::make_address(many_addresses(taken)))) << "draw " << draw;
    }
}

TEST_F(ThrottleTest, SourcesWhoseConnectionsEndWithoutALogonWaitLongerEachTime) {
    const auto source = asio::ip::make_address("2001:db8:5:6::77");
    const std::string key = LogonThrottle::source_key(source);
    // (how the connection ends, the wait it earns the source): 30 s doubling to 10 minutes; leaving earns none.
    const std::pair<Ending, int> steps[] = {{Ending::silent, 30},   {Ending::out_of_time, 60}, {Ending::left, 0},
                                            {Ending::refused, 120}, {Ending::silent, 240},     {Ending::silent, 480},
                                            {Ending::silent, 600},  {Ending::silent, 600}};
    for (auto [ending, wait] : steps) {
        ASSERT_TRUE(throttle_->connection_begins(source)) << wait;
        throttle_->dialogue_ended(key);
        throttle_->connection_ended(key, ending);
        const auto verdict = throttle_->connection_begins(asio::ip::make_address("2001:db8:5:6::1"));  // the same /64
        if (wait == 0) {
            EXPECT_TRUE(verdict);
            throttle_->dialogue_ended(key);
            continue;
        }
        EXPECT_EQ(verdict.refusal, Refusal::source_penalized) << wait;
        EXPECT_EQ(verdict.retry_after, std::chrono::seconds(wait));
        now_ += std::chrono::seconds(wait);
    }
    EXPECT_EQ(LogonThrottle::message({Refusal::source_penalized, 600s}),
              "Too many connections from your address ended without a logon. Please try again in 10 minutes.\r\n");
    // An hour without an offence forgives them all.
    now_ += 1h;
    throttle_->connection_ended(key, Ending::silent);
    EXPECT_EQ(throttle_->connection_begins(source).retry_after, 30s);
    // Connections refused because the address's attempts are spent are offences too, told as the
    // spent attempts while they last, as the penalty after.
    now_ += 2h;
    for (int i = 0; i < 10; ++i) attempt(key, many_userids(i), Outcome::wrong_password);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(throttle_->connection_begins(source).refusal, Refusal::address_penalized);
    now_ += 120s;
    const auto verdict = throttle_->connection_begins(source);
    EXPECT_EQ(verdict.refusal, Refusal::source_penalized);
    EXPECT_EQ(verdict.retry_after, 120s);
}

TEST_F(ThrottleTest, ThreeSignUpsPerAddressThenOneEveryTwentyMinutes) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(throttle_->signup_begins("192.0.2.1")) << i;
        throttle_->signup_ended("192.0.2.1", i != 1);   // the second gave up: its sign-up comes back
    }
    ASSERT_TRUE(throttle_->signup_begins("192.0.2.1"));
    throttle_->signup_ended("192.0.2.1", true);
    const auto refused = throttle_->signup_begins("192.0.2.1");
    EXPECT_EQ(LogonThrottle::message(refused), "Too many new accounts from your address. Please try again in 20 minutes.\r\n");
    EXPECT_TRUE(throttle_->signup_begins("192.0.2.2"));
    now_ += 20min;
    EXPECT_TRUE(throttle_->signup_begins("192.0.2.1"));
    EXPECT_FALSE(throttle_->signup_begins("192.0.2.1"));
}

// Another process holds bbs.db's write lock: the throttle goes on deciding from memory, tries a write at most
// once a second, and writes it all once the lock is free.
TEST_F(ThrottleOnDisk, ABusyDatabaseDelaysTheWritesAndLosesNothing) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "bbs.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    int waits = 0;   // how often the throttle's connection met the lock
    sqlite3_busy_handler(bbs::sql::RawAccess::handle(*db_), [](void* count, int) { return ++*static_cast<int*>(count), 0; }, &waits);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(attempt(many_addresses(i), "Alice", Outcome::wrong_password));
    EXPECT_EQ(throttle_->attempt_begins("192.0.2.1", "Alice").refusal, Refusal::userid_penalized);
    EXPECT_EQ(waits, 1) << "tried again within a second of meeting the lock";
    now_ += 1s;
    EXPECT_FALSE(throttle_->flush());
    EXPECT_EQ(waits, 2);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    now_ += 1s;
    EXPECT_FALSE(throttle_->flush()) << "the pause doubled";
    now_ += 1s;
    EXPECT_TRUE(throttle_->flush());
    restart();
    EXPECT_EQ(throttle_->attempt_begins("192.0.2.1", "Alice").refusal, Refusal::userid_penalized);
}

// (Ten per address, and the place freed: e2e test_logon_hardening one_address_holds_at_most_ten_...)
TEST_F(ThrottleTest, ConnectionsAtTheDialogueAreCappedInAll) {
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(throttle_->dialogue_begins("192.0.2.1"));
    for (int i = 0; i < 54; ++i) ASSERT_TRUE(throttle_->dialogue_begins(many_addresses(i))) << i;
    EXPECT_EQ(throttle_->dialogue_begins("192.0.2.99").refusal, Refusal::busy_host);
    throttle_->dialogue_ended(many_addresses(3));
    EXPECT_TRUE(throttle_->dialogue_begins("192.0.2.99"));
    throttle_->dialogue_ended("192.0.2.200");  // Ending a dialogue twice or of an address that has none changes nothing.
    EXPECT_EQ(throttle_->dialogue_begins("192.0.2.100").refusal, Refusal::busy_host);
}

TEST_F(ThrottleTest, MemoryIsBoundedAndThePenalizedAreForgottenLast) {
    LogonThrottle::Rules rules;
    rules.keys_kept = 8;
    LogonThrottle small([this] { return now_; }, rules);
    for (int i = 0; i < 5; ++i) small.attempt_begins(many_addresses(i), "victim");
    // Ten thousand user-IDs tried once from as many addresses: eight keys kept, the emptiest bucket still among them.
    for (int i = 0; i < 10000; ++i) small.attempt_begins(many_addresses(1000 + i), many_userids(i));
    EXPECT_EQ(small.attempt_begins("192.0.2.1", "victim").refusal, Refusal::userid_penalized);
}

TEST(SourceKey, IPv6CountsBySlash64AndMappedIPv4AsIPv4) {
    const std::pair<const char*, const char*> cases[] = {{"192.0.2.1", "192.0.2.1"}, {"::ffff:192.0.2.1", "192.0.2.1"}, {"::1", "::/64"},
                          {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"}, {"2001:db8:1:2:ffff::1", "2001:db8:1:2::/64"}};
    for (auto [address, key] : cases) EXPECT_EQ(LogonThrottle::source_key(asio::ip::make_address(address)), key) << address;
}

}  // namespace
