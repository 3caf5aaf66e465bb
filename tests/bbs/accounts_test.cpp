// Host accounts in the database file: user-IDs, password hashes, credits,
// and what survives a restart.
#include <gtest/gtest.h>

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;

bbs::AccountInfo account(std::string id, int64_t credits = 50) {
    bbs::AccountInfo a;
    a.userid = std::move(id);
    a.class_name = "Member";
    a.credits = credits;
    a.days = 12;
    a.keys = {"SYSOP", "PLAYER"};
    return a;
}

TEST_F(HostTest, UserIdsAreUniqueIgnoringCaseAndAccountsSurviveARestart) {
    open();
    std::string error;
    ASSERT_TRUE(host().accounts().add(account("Alice"), "pw", &error)) << error;
    EXPECT_FALSE(host().accounts().add(account("ALICE"), "pw", &error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
    EXPECT_FALSE(host().accounts().add(account(""), "pw", &error));
    EXPECT_FALSE(host().accounts().add(account(std::string(30, 'x')), "pw", &error));
    EXPECT_TRUE(host().accounts().add(account(std::string(29, 'x')), "pw", &error)) << error;

    auto found = host().accounts().find("aLiCe");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->userid, "Alice");
    EXPECT_EQ(found->class_name, "Member");
    EXPECT_EQ(found->credits, 50);
    EXPECT_EQ(found->days, 12);
    EXPECT_EQ(found->keys, (std::vector<std::string>{"SYSOP", "PLAYER"}));
    EXPECT_FALSE(host().accounts().find("Alic"));
    EXPECT_EQ(host().accounts().all().size(), 2u);

    found->days = 65535;
    found->keys = {};
    ASSERT_TRUE(host().accounts().update(*found, &error)) << error;
    close();  // what was written survives a restart
    open();
    EXPECT_EQ(host().accounts().find("alice")->days, 65535);
    EXPECT_EQ(host().accounts().find("alice")->credits, 50);
    EXPECT_TRUE(host().accounts().verify_password("Alice", "pw"));
    EXPECT_TRUE(host().accounts().find("alice")->keys.empty());
    EXPECT_TRUE(host().accounts().remove("ALICE", &error));
    EXPECT_FALSE(host().accounts().find("Alice"));
    EXPECT_FALSE(host().accounts().remove("Alice", &error));
}

TEST_F(HostTest, CreditsNeverGoBelowZero) {
    open();
    std::string error;
    ASSERT_TRUE(host().accounts().add(account("Carol", 30), "pw", &error));
    EXPECT_TRUE(host().accounts().has_credits("carol", 30));
    EXPECT_FALSE(host().accounts().has_credits("carol", 31));
    EXPECT_FALSE(host().accounts().deduct_credits("carol", 31));
    EXPECT_TRUE(host().accounts().deduct_credits("carol", 30));
    EXPECT_EQ(host().accounts().find("Carol")->credits, 0);
    EXPECT_FALSE(host().accounts().deduct_credits("carol", -5));
    EXPECT_TRUE(host().accounts().add_credits("carol", 7));
    EXPECT_EQ(host().accounts().find("Carol")->credits, 7);
    EXPECT_FALSE(host().accounts().add_credits("nobody", 7));
    EXPECT_FALSE(host().accounts().deduct_credits("nobody", 0));
}

}  // namespace
