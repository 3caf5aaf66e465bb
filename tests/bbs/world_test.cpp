// The whole host with the game and the module loaded, as the other suites
// use it: start-up, the way into the module and back, and a start-up the
// module refuses.
#include <gtest/gtest.h>

#include "tests/support/world.h"

namespace {

using testing_support::World;

TEST(World, StartsTheGameAndTheModule) {
    World w;
    ASSERT_TRUE(w.start()) << w.stop_reason();
    EXPECT_EQ(w.host().module_count(), 2);
    EXPECT_EQ(w.host().find_module("Brakvold"), 0);
    EXPECT_EQ(w.host().find_module("Brakvold Plus"), 1);
    EXPECT_TRUE(w.account("Sysop"));
    EXPECT_EQ(w.account("Sysop")->keys, std::vector<std::string>{"SYSOP"});
    ASSERT_TRUE(w.player("Alia"));
    EXPECT_STREQ(w.player("Alia")->userid, "Alice");
    EXPECT_TRUE(std::filesystem::exists(w.dir() / "QRTBKPLS.MCV"));

    int alice = w.login("Alice");
    EXPECT_EQ(w.user(alice)->state, 0) << "the game's logon places him in the game";
    std::string menu = w.enter(alice);
    EXPECT_EQ(w.user(alice)->state, 1);
    EXPECT_EQ(w.user(alice)->substate, 1u);
    EXPECT_FALSE(menu.empty());
    std::string back = w.type(alice, "x");
    EXPECT_EQ(w.user(alice)->state, 0);
    EXPECT_NE(back.find(w.game().prompt_for(alice)), std::string::npos) << testing_support::escape_visible(back);
}

TEST(World, OptionsAndIniAreEditedBeforeStart) {
    World w;
    w.set_option("MAINMNU", "<menu %s>");
    w.set_ini("PLUS_PURCHASE_EMAIL_USERID", "Carol");
    w.set_ini("SEND_EMAIL_FOR_PURCHASES", "1");
    ASSERT_TRUE(w.start()) << w.stop_reason();
    int bob = w.login("Bob");
    std::string menu = w.enter(bob);
    EXPECT_EQ(menu.rfind("<menu ", 0), 0u) << testing_support::escape_visible(menu);
    EXPECT_NE(w.game_log().find("(to Carol)"), std::string::npos) << w.game_log();
}

TEST(World, AMissingMessageFileStopsTheHostCleanly) {
    World w;
    w.remove_message_file();
    EXPECT_FALSE(w.start());
    EXPECT_TRUE(w.host().stopped());
    EXPECT_EQ(w.stop_reason(), "Cannot open QRTBKPLS.MCV!");
    EXPECT_NE(w.host_log().find("Cannot open QRTBKPLS.MCV!"), std::string::npos) << w.host_log();
    EXPECT_EQ(w.host().logon("Alice"), -1);
}

TEST(EscapeVisible, ShowsControlBytes) {
    EXPECT_EQ(testing_support::escape_visible("a\x1b[1m\r\n\x91\\"), "a\\e[1m\\r\\n\\x91\\\\");
}

}  // namespace
