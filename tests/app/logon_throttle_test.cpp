// The logon throttle on a test clock: guesses per address and user-ID, give-backs, caps, bounded memory.
#include <gtest/gtest.h>

#include <string>

#include "app/logon_throttle.h"

namespace {

using app::LogonThrottle;
using namespace std::chrono_literals;
using Outcome = LogonThrottle::Outcome;
using Refusal = LogonThrottle::Refusal;

class ThrottleTest : public ::testing::Test {
protected:
    LogonThrottle::Clock::time_point now_{};  // the epoch of the steady clock: any start will do
    LogonThrottle throttle_{[this] { return now_; }};

    // Passwords tried by an attacker trying once a second for `seconds`, try i from address(i) at userid(i).
    int guesses(int seconds, std::string (*address)(int), std::string (*userid)(int)) {
        int tried = 0;
        for (int i = 0; i < seconds; ++i, now_ += 1s) tried += attempt(address(i), userid(i), Outcome::wrong_password);
        return tried;
    }
    // An attempt that begins, if the throttle lets it, and ends so.
    bool attempt(const std::string& address, const std::string& userid, Outcome outcome) {
        if (!throttle_.attempt_begins(address, userid)) return false;
        throttle_.attempt_ended(address, userid, outcome);
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
        {"one address, any user-IDs, a day", one_address, many_userids, 86400, 10 + 86399 / 120},
        {"one user-ID from a new address every second, a day", many_addresses, one_userid, 86400, 5 + 86399 / 300},
    };
    for (const auto& c : cases) {
        throttle_ = LogonThrottle([this] { return now_; });
        EXPECT_EQ(guesses(c.seconds, c.address, c.userid), c.expected) << c.who;
    }
}

TEST_F(ThrottleTest, ParallelAttemptsShareTheBucketAndRefusalsSayWhenAgain) {
    // Twenty connections of one address type a user-ID at once: ten get a password prompt, whatever the user-IDs.
    int asked = 0;
    LogonThrottle::Verdict last;
    for (int i = 0; i < 20; ++i) {
        last = throttle_.attempt_begins("192.0.2.1", many_userids(i));
        asked += static_cast<bool>(last);
    }
    EXPECT_EQ(asked, 10);
    EXPECT_EQ(last.refusal, Refusal::address_penalized);
    EXPECT_EQ(last.retry_after, 120s);
    EXPECT_EQ(LogonThrottle::message(last), "Too many failed logons from your address. Please try again in 2 minutes.\r\n");
    // The address may not even open the dialogue until an attempt is back.
    EXPECT_EQ(throttle_.dialogue_begins("192.0.2.1").refusal, Refusal::address_penalized);
    now_ += 119s;
    EXPECT_FALSE(throttle_.attempt_begins("192.0.2.1", "x"));
    now_ += 1s;
    EXPECT_TRUE(throttle_.attempt_begins("192.0.2.1", "x"));
    EXPECT_TRUE(throttle_.dialogue_begins("192.0.2.2"));

    // Five guesses at one user-ID from five addresses; the sixth is refused, with the time until the next attempt.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(throttle_.attempt_begins(many_addresses(i), "Carol"));
    const auto refused = throttle_.attempt_begins(many_addresses(5), "carol");
    EXPECT_EQ(refused.refusal, Refusal::userid_penalized);
    EXPECT_EQ(refused.retry_after, 300s);
    EXPECT_EQ(LogonThrottle::message(refused), "Too many failed logons for this user-ID. Please try again in 5 minutes.\r\n");
    EXPECT_TRUE(throttle_.attempt_begins(many_addresses(5), "Dave"));  // A refused attempt costs the address nothing.
}

TEST_F(ThrottleTest, GoodLogonsAndAbandonedAttemptsGiveTheirAttemptBack) {
    // A thousand logons of users behind one address, each right first time.
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(attempt("203.0.113.5", many_userids(i % 50), Outcome::logged_on)) << i;
    // A thousand connections that hang up at the password prompt.
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(attempt("203.0.113.5", "Bob", Outcome::abandoned)) << i;
    // Alice mistypes five times from five places; her good logon fills her user-ID's bucket again at once.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(attempt(many_addresses(i), "Alice", Outcome::wrong_password));
    EXPECT_FALSE(throttle_.attempt_begins("203.0.113.9", "Alice"));
    now_ += 300s;
    ASSERT_TRUE(attempt("203.0.113.9", "Alice", Outcome::logged_on));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(throttle_.attempt_begins(many_addresses(100 + i), "alice")) << i;
}

// (Ten per address, and the place freed: e2e test_logon_hardening one_address_holds_at_most_ten_...)
TEST_F(ThrottleTest, ConnectionsAtTheDialogueAreCappedInAll) {
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(throttle_.dialogue_begins("192.0.2.1"));
    for (int i = 0; i < 54; ++i) ASSERT_TRUE(throttle_.dialogue_begins(many_addresses(i))) << i;
    EXPECT_EQ(throttle_.dialogue_begins("192.0.2.99").refusal, Refusal::busy_host);
    throttle_.dialogue_ended(many_addresses(3));
    EXPECT_TRUE(throttle_.dialogue_begins("192.0.2.99"));
    throttle_.dialogue_ended("192.0.2.200");  // Ending a dialogue twice or of an address that has none changes nothing.
    EXPECT_EQ(throttle_.dialogue_begins("192.0.2.100").refusal, Refusal::busy_host);
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
