// Where the game keeps its players and mail: in the host's database file,
// on the host's connection, so that copper and lives change in the
// transaction of the host call that changes them; and how the data file of
// the game's own that an older data folder has is taken in.
#include <sqlite3.h>

#include "bbs/database.h"
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
    host_->database().note_failure("test");
    EXPECT_FALSE(host_->database().end_call().committed);
    EXPECT_EQ(player("Bobo").copper, 300);
}

TEST_F(GameHost, AWriteTheDatabaseRefusesIsReportedToTheCall) {
    const int bob = login("Bob");
    ASSERT_TRUE(host_->database().begin_call());
    ASSERT_EQ(sqlite3_exec(host_->database().handle(), "PRAGMA query_only = 1", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(addon_adding_life_to_user(bob), 0);
    EXPECT_EQ(brakvold_send_mail("Alice", "subject", "body"), 0);
    ASSERT_EQ(sqlite3_exec(host_->database().handle(), "PRAGMA query_only = 0", nullptr, nullptr, nullptr),
              SQLITE_OK);
    const auto outcome = host_->database().end_call();
    EXPECT_FALSE(outcome.committed);
    EXPECT_NE(outcome.failure.find("updating a player"), std::string::npos) << outcome.failure;
    EXPECT_EQ(player("Bobo").lives, 8);
}

TEST_F(GameHost, AnOlderDataFileOfTheGameIsTakenIn) {
    host_.reset();
    {
        std::string error;
        auto old = game::Store::open((dir_ / "brakvold.db").string(), &error);
        ASSERT_TRUE(old) << error;
        ASSERT_TRUE(old->insert_player(make_player("Zed", "Zack", 77, 5), &error)) << error;
        ASSERT_TRUE(old->insert_player(make_player("Alia", "Alice", 1, 1), &error)) << error;
        ASSERT_TRUE(old->insert_mail({"Brakvold", "Zack", "Old news", "From before."}, &error)) << error;
    }
    start();
    EXPECT_FALSE(fs::exists(dir_ / "brakvold.db"));
    EXPECT_TRUE(fs::exists(dir_ / "brakvold.db.imported"));
    auto zed = game_->player("zed");
    ASSERT_TRUE(zed.has_value());
    EXPECT_EQ(zed->copper, 77);
    EXPECT_EQ(zed->lives, 5);
    EXPECT_EQ(player("Alia").copper, 5000) << "a player of the host database was replaced";
    auto mail = game_->mail_for("Zack");
    ASSERT_EQ(mail.size(), 1u);
    EXPECT_EQ(mail[0].subject, "Old news");
    // A restart does not take it in again.
    restart();
    EXPECT_EQ(game_->mail_for("Zack").size(), 1u);
}

}  // namespace
