// Where the game keeps its players and mail: in the host's database file,
// on the host's connection, so that copper and lives change in the
// transaction of the host call that changes them.
#include <sqlite3.h>

#include "bbs/database.h"
#include "bbs/faults.h"
#include "game/store.h"
#include "tests/game/game_fixture.h"

namespace {

using namespace game_tests;

TEST_F(GameHost, PlayersAndMailLiveInTheHostDatabase) {
    EXPECT_FALSE(fs::exists(dir_ / "brakvold.db"));
    sqlite3* db = host_->database().handle();
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT copper FROM players WHERE name = 'Bobo'", -1, &s, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 300);
    sqlite3_finalize(s);
    ASSERT_EQ(brakvold_send_mail("Alice", "Hello", "there"), 1);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT subject FROM mail WHERE recipient = 'alice'", -1, &s, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "Hello");
    sqlite3_finalize(s);
}

TEST_F(GameHost, CopperTakenInARolledBackCallIsBack) {
    const int bob = login("Bob");
    ASSERT_TRUE(host_->database().begin_call());
    ASSERT_EQ(addon_adjust_user_wealth(bob, 100), 1);
    EXPECT_EQ(player("Bobo").copper, 200);
    host_->database().faults().fail_commit();
    EXPECT_FALSE(host_->database().end_call().committed);
    EXPECT_EQ(player("Bobo").copper, 300);
}

TEST_F(GameHost, AWriteTheDatabaseRefusesIsReportedToTheCall) {
    const int bob = login("Bob");
    ASSERT_TRUE(host_->database().begin_call());
    host_->database().faults().fail_write(1);
    EXPECT_EQ(addon_adding_life_to_user(bob), 0);
    const auto outcome = host_->database().end_call();
    EXPECT_FALSE(outcome.committed);
    EXPECT_NE(outcome.failure.what.find("updating a player"), std::string::npos) << outcome.failure.text();
    EXPECT_EQ(player("Bobo").lives, 8);
}

}  // namespace
