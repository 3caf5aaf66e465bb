// Host accounts: user-ID bounds, locks and sign-ups, credits through a channel, password hashes (the rest: e2e test_admin).

#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <tuple>

#include "tests/bbs/host_fixture.h"
#include "tests/support/database_access.h"

namespace {

using hosttest::HostTest;

TEST_F(HostTest, UserIdsAreUniqueIgnoringCaseAndOneToTwentyNineCharacters) {
    bbs::AccountInfo a;
    a.class_name = "Member";
    a.days = 65535;
    std::string error;
    const std::tuple<const char*, bool, const char*> cases[] = {  // the user-ID, added, the refusal
        {"Alice", true, ""}, {"ALICE", false, "taken"}, {"", false, "1 to 29"},
        {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false, "1 to 29"}, {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxx", true, ""}};
    for (auto [userid, added, says] : cases) {
        a.userid = userid;
        error.clear();
        EXPECT_EQ(host().accounts().add(a, "pw", &error), added) << userid << ": " << error;
        EXPECT_NE(error.find(says), std::string::npos) << userid << ": " << error;
    }
    close();
    open();
    EXPECT_EQ(host().accounts().find("aLiCe")->days, 65535);
    EXPECT_FALSE(host().accounts().find("Alic"));
}

// Locks and sign-ups awaiting validation, kept across a reopening; a table of before gets their columns.
TEST_F(HostTest, LocksAndPendingSignUpsAreKeptWithTheAccount) {
    close();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir_ / "bbs.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE accounts; CREATE TABLE accounts (userid TEXT PRIMARY KEY COLLATE NOCASE, class_name TEXT NOT NULL,"
                                   " credits INTEGER NOT NULL, days INTEGER NOT NULL, keys TEXT NOT NULL,"
                                   " password_hash TEXT NOT NULL, last_logon INTEGER);"
                                   "INSERT INTO accounts VALUES ('Old', 'Member', 1, 2, '', 'x', NULL)",
                               nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    open();
    bbs::Accounts& accounts = host().accounts();
    EXPECT_FALSE(accounts.find("old")->locked);
    bbs::AccountInfo newcomer{.userid = "Newt", .class_name = "Member", .keys = {}, .last_logon = {}, .pending_since = 1700000000};
    std::string error;
    ASSERT_TRUE(accounts.add(newcomer, "pw", &error)) << error;
    newcomer.userid = "Earlier";
    newcomer.pending_since = 1600000000;
    ASSERT_TRUE(accounts.add(newcomer, "pw", &error)) << error;
    ASSERT_TRUE(accounts.lock("OLD", "unpaid dues", &error)) << error;
    ASSERT_TRUE(accounts.lock("newt", "", &error)) << error;
    EXPECT_FALSE(accounts.lock("Nobody", "x", &error));
    close();
    open();
    bbs::Accounts& again = host().accounts();
    EXPECT_EQ(again.locked("old"), "unpaid dues");
    EXPECT_EQ(again.locked("Newt"), "");
    EXPECT_EQ(again.find("Newt")->locked, "");
    using Locked = std::vector<std::pair<std::string, std::string>>;
    auto all_locked = again.all_locked();
    std::sort(all_locked.begin(), all_locked.end());
    EXPECT_EQ(all_locked, (Locked{{"Newt", ""}, {"Old", "unpaid dues"}}));
    const auto pending = again.pending();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].userid + " " + pending[1].userid, "Earlier Newt");
    EXPECT_TRUE(again.validate("newt", &error)) << error;
    EXPECT_FALSE(again.validate("Newt", &error));
    EXPECT_NE(error.find("awaits no validation"), std::string::npos) << error;
    EXPECT_FALSE(again.find("Newt")->pending_since);
    EXPECT_TRUE(again.unlock("Old", &error)) << error;
    EXPECT_FALSE(again.locked("Old"));
    EXPECT_EQ(again.all_locked(), (Locked{{"Newt", ""}}));
    EXPECT_EQ(again.find("Old")->credits, 1);
}

TEST_F(HostTest, CreditsOfTheChannelsAccountNeverGoBelowZero) {
    add_account("Alice", {}, 30, 100);
    const int a = host().logon("Alice");
    // The call (t: otstcrd, d: odedcrd, D: odedcrd with its flag set, a: oaddcrd), its amount, its result, the credits after.
    const std::tuple<char, int, int, int64_t> steps[] = {{'t', 100, 1, 100}, {'t', 101, 0, 100}, {'D', 101, 0, 100}, {'d', 60, 1, 40},
                                                         {'a', 15, 1, 55},   {'d', -5, 0, 55},   {'a', -5, 0, 55},   {'d', 55, 1, 0}};
    for (auto [call, amount, result, after] : steps) {
        EXPECT_EQ(call == 't' ? otstcrd(a, amount, 1) : call == 'a' ? oaddcrd(a, amount, 1) : odedcrd(a, amount, 1, call == 'D'), result)
            << call << amount;
        EXPECT_EQ(host().accounts().find("Alice")->credits, after) << call << amount;
    }
    EXPECT_EQ(otstcrd(3, 1, 1), 0) << "a free channel has no account";
    EXPECT_EQ(odedcrd(3, 1, 1, 0), 0);
}

// A hash of another kind (libsodium's argon2i of "hunter2") or a password in the clear never verifies.
// (argon2id hashes only, and passwords with conversions and blanks: e2e test_logon_hardening, test_bad_input.)
TEST_F(HostTest, OnlyArgon2idHashesVerify) {
    add_account("Alice");
    EXPECT_TRUE(host().accounts().verify_password("ALICE", "pw-Alice"));
    sqlite3* db = testing_support::sqlite_handle(host().database());
    for (const char* hash : {"$argon2i$v=19$m=8,t=3,p=1$0Dfc019EEGCnKkgA64hZOg$LF1iGcHrmN67FsKTlxGB+FlnGG80hakDHJVbiKvR52M",
                             "hunter2"}) {
        const std::string sql = std::string("UPDATE accounts SET password_hash = '") + hash + "' WHERE userid = 'Alice'";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        EXPECT_FALSE(host().accounts().verify_password("Alice", "hunter2")) << hash;
    }
}

// The dummy hash an unknown user-ID is checked against must cost what a real
// hash costs: an argon2id string that libsodium reads, with the limits of a
// hash made now, a salt of its own, and no password that matches it.
TEST(DummyHash, HasTheLimitsOfARealHashAndMatchesNothing) {
    const std::string real = bbs::Accounts::make_hash("pw");
    const std::string dummy = bbs::Accounts::dummy_hash();
    auto limits = [](const std::string& hash) { return hash.substr(0, hash.find('$', hash.find("p=")));};
    EXPECT_EQ(limits(dummy), limits(real));
    EXPECT_TRUE(bbs::Accounts::usable_hash(dummy));
    for (const auto& [ops, mem] : {std::pair{crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN},
                                   std::pair{crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE}}) {
        const int wanted = crypto_pwhash_str_needs_rehash(real.c_str(), ops, mem);
        ASSERT_NE(wanted, -1) << real;
        EXPECT_EQ(crypto_pwhash_str_needs_rehash(dummy.c_str(), ops, mem), wanted) << dummy;
    }
    EXPECT_NE(bbs::Accounts::dummy_hash(), dummy);
    for (const char* password : {"", "pw", "password"}) EXPECT_FALSE(bbs::Accounts::hash_matches(dummy, password));
}

}  // namespace
