// Entering the module from the game's extension menu, the main menu's
// choices, and leaving back to the game.
#include "tests/module/lifecycle_fixture.h"

namespace {

using namespace coretest;

const char* const kMenuLine = "\x1b[1;30m[\x1b[37m*\x1b[30m] . \x1b[0mBrakvold Plus Extensions\r\r";

int plus_number(World& w)
{
    return w.host().find_module("Brakvold Plus");
}

struct Started {
    World w;
    int alice = -1;
    explicit Started(bool enter = true, void (*setup)(World&) = nullptr)
    {
        mark_messages(w);
        w.set_option("LIFECRD", "500");
        if (setup != nullptr) {
            setup(w);
        }
        EXPECT_TRUE(w.start()) << w.stop_reason();
        alice = w.login("Alice");
        if (enter) {
            w.enter(alice);
        }
    }
};

TEST(MainMenuEntry, ExtensionMenuListsTheModule)
{
    Started s(false);
    std::string out = s.w.type(s.alice, "ext");
    EXPECT_NE(out.find(kMenuLine), std::string::npos) << show(out);
}

TEST(MainMenuEntry, AsteriskEntersAndShowsTheMainMenu)
{
    Started s(false);
    s.w.type(s.alice, "ext");
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, "*"));
    EXPECT_EQ(plus_number(s.w), s.w.user(s.alice)->state);
    EXPECT_EQ(1u, s.w.user(s.alice)->substate);
}

TEST(MainMenuEntry, OnlyTheFirstCharacterOfTheCommandCounts)
{
    Started s(false);
    s.w.type(s.alice, "ext");
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, "*plus and more words"));
    EXPECT_EQ(plus_number(s.w), s.w.user(s.alice)->state);

    int bob = s.w.login("Bob");
    s.w.type(bob, "ext");
    int game_state = s.w.user(bob)->state;
    std::string out = s.w.type(bob, "a*");
    EXPECT_EQ(std::string::npos, out.find("<MAINMNU")) << show(out);
    EXPECT_EQ(game_state, s.w.user(bob)->state);
}

TEST(MainMenuEntry, SysopSeesTheSysopLineAndLivesLineFollowsTheLifePrice)
{
    Started s(false, [](World& w) { w.set_option("LIFECRD", "-1"); });
    int sysop = s.w.login("Sysop");
    s.w.type(sysop, "ext");
    EXPECT_OUT(menu_screen(true, false), s.w.type(sysop, "*"));
    s.w.type(s.alice, "ext");
    EXPECT_OUT(menu_screen(false, false), s.w.type(s.alice, "*"));
}

TEST(MainMenuEntry, LifePriceZeroStillSellsLives)
{
    Started s(false, [](World& w) { w.set_option("LIFECRD", "0"); });
    s.w.type(s.alice, "ext");
    EXPECT_OUT(menu_screen(false, true), s.w.type(s.alice, "*"));
}

TEST(MainMenuEntry, LinesBeforeAnyEntryAreHandedBack)
{
    Started s(false);
    // Somebody else's routine put Alice into the module's state, but she never
    // entered through the game: the module hands her back without a word.
    s.w.user(s.alice)->state = plus_number(s.w);
    s.w.user(s.alice)->substate = 1;
    std::string out = s.w.type(s.alice, "I");
    EXPECT_EQ(std::string::npos, out.find('<')) << show(out);
    EXPECT_NE(plus_number(s.w), s.w.user(s.alice)->state);
}

TEST(MainMenuEntry, AnotherChannelsEntryDoesNotLetAUserIn)
{
    Started s(true);
    int bob = s.w.login("Bob");
    s.w.user(bob)->state = plus_number(s.w);
    s.w.user(bob)->substate = 1;
    std::string out = s.w.type(bob, "I");
    EXPECT_EQ(std::string::npos, out.find("<PLSINFO>")) << show(out);
    EXPECT_NE(plus_number(s.w), s.w.user(bob)->state);
    // Alice, who did enter, is served.
    EXPECT_OUT("<PLSINFO>" + kPrompt, s.w.type(s.alice, "I"));
}

TEST(MainMenuEntry, AHungUpChannelMustEnterAgain)
{
    Started s(true);
    s.w.host().hangup(s.alice);
    int carol = s.w.login("Carol");
    ASSERT_EQ(s.alice, carol);
    s.w.user(carol)->state = plus_number(s.w);
    s.w.user(carol)->substate = 1;
    std::string out = s.w.type(carol, "I");
    EXPECT_EQ(std::string::npos, out.find("<PLSINFO>")) << show(out);
}

// ---------------------------------------------------------------------------
// Choices
// ---------------------------------------------------------------------------

TEST(MainMenuChoices, EmptyLineShowsTheMenuAgain)
{
    Started s;
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, ""));
    EXPECT_EQ(1u, s.w.user(s.alice)->substate);
}

TEST(MainMenuChoices, InformationScreen)
{
    Started s;
    EXPECT_OUT("<PLSINFO>" + kPrompt, s.w.type(s.alice, "info please"));
    EXPECT_EQ(1u, s.w.user(s.alice)->substate);
}

TEST(MainMenuChoices, UnknownChoicesGetBadChoiceWithoutTheMenu)
{
    Started s;
    for (const char* line : {"1", "?", "Z", "b", "q"}) {
        EXPECT_OUT("<BADCHC>" + kPrompt, s.w.type(s.alice, line)) << line;
        EXPECT_EQ(1u, s.w.user(s.alice)->substate) << line;
    }
}

TEST(MainMenuChoices, SysopOnlyChoicesShowTheMenuToOthers)
{
    Started s;
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, "A"));
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, "s"));
    EXPECT_EQ(1u, s.w.user(s.alice)->substate);
}

TEST(MainMenuChoices, SysopChoices)
{
    Started s;
    int sysop = s.w.login("Sysop");
    s.w.enter(sysop);
    EXPECT_OUT("Not implemented yet.\r", s.w.type(sysop, "a"));
    EXPECT_EQ(1u, s.w.user(sysop)->substate);
    EXPECT_OUT("<SYSDMNU>" + kPrompt, s.w.type(sysop, "Sysop"));
    EXPECT_EQ(4u, s.w.user(sysop)->substate);
}

TEST(MainMenuChoices, RegistryMenu)
{
    Started s;
    EXPECT_OUT("<REGMENU><REGPRMT>", s.w.type(s.alice, "r"));
    EXPECT_EQ(7u, s.w.user(s.alice)->substate);
}

TEST(MainMenuChoices, DescriptionScreenForAUserWithout)
{
    Started s;
    EXPECT_OUT(none_screen(), s.w.type(s.alice, "Delete"));
    EXPECT_EQ(2u, s.w.user(s.alice)->substate);
}

TEST(MainMenuChoices, LifeChoiceWhileLivesAreNotSold)
{
    Started s(true, [](World& w) { w.set_option("LIFECRD", "-1"); });
    EXPECT_OUT("<BADCHC>" + kPrompt, s.w.type(s.alice, "L"));
    EXPECT_EQ(1u, s.w.user(s.alice)->substate);
}

TEST(MainMenuChoices, LifeChoiceShowsThePrices)
{
    Started s(true, [](World& w) {
        w.set_option("LIFECOP", "250");
        w.set_option("LIFEDAY", "3");
    });
    EXPECT_OUT("<LIFECST 500|250|3>", s.w.type(s.alice, "l"));
    EXPECT_EQ(13u, s.w.user(s.alice)->substate);
}

// ---------------------------------------------------------------------------
// Leaving
// ---------------------------------------------------------------------------

TEST(MainMenuExit, XGoesBackToWhereTheUserCameFrom)
{
    for (const char* line : {"x", "Xylophone"}) {
        Started s(false);
        s.w.type(s.alice, "ext");
        HostUser before = *s.w.user(s.alice);
        s.w.type(s.alice, "*");
        EXPECT_OUT("", s.w.type_only(s.alice, line)) << line;
        EXPECT_EQ(before.state, s.w.user(s.alice)->state) << line;
        EXPECT_EQ(before.substate, s.w.user(s.alice)->substate) << line;
        // The game takes him back on the status the exit left for it.
        EXPECT_EQ(1u, s.w.host().pending_statuses()) << line;
        s.w.deliver_all();
        std::string back = s.w.output(s.alice);
        EXPECT_TRUE(back.size() >= 3 && back.compare(back.size() - 3, 3, "]: ") == 0) << show(back);
    }
}

TEST(MainMenuExit, SubstatesOutsideTheMenusLeave)
{
    for (uint32_t substate : {0u, 17u, 0xFFFFFFFFu}) {
        Started s(false);
        s.w.type(s.alice, "ext");
        HostUser before = *s.w.user(s.alice);
        s.w.type(s.alice, "*");
        s.w.user(s.alice)->substate = substate;
        EXPECT_OUT("", s.w.type_only(s.alice, "D"));
        EXPECT_EQ(before.state, s.w.user(s.alice)->state) << substate;
        EXPECT_EQ(before.substate, s.w.user(s.alice)->substate) << substate;
        EXPECT_EQ(1u, s.w.host().pending_statuses()) << substate;
    }
}

TEST(MainMenuExit, EachUserReturnsToHisOwnPlace)
{
    Started s(false);
    int bob = s.w.login("Bob");
    s.w.type(s.alice, "ext");
    HostUser alice_before = *s.w.user(s.alice);
    s.w.type(s.alice, "*");
    s.w.type(bob, "ext");
    s.w.type(bob, "*");
    // Alice leaves after Bob came in; then Bob leaves.
    s.w.type_only(s.alice, "X");
    EXPECT_EQ(alice_before.state, s.w.user(s.alice)->state);
    EXPECT_EQ(alice_before.substate, s.w.user(s.alice)->substate);
    EXPECT_EQ(plus_number(s.w), s.w.user(bob)->state);
    s.w.deliver_all();
    s.w.type_only(bob, "X");
    EXPECT_EQ(alice_before.state, s.w.user(bob)->state);
    // Alice can come back in after leaving.
    s.w.deliver_all();
    s.w.output(s.alice);
    s.w.type(s.alice, "ext");
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, "*"));
}

}  // namespace
