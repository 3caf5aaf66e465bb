// Entering the module from the game's extension menu, the main menu's choices, and leaving back to the game.
#include "tests/module/fixture.h"

namespace {

using namespace modtest;

const char* const kMenuLine = "\x1b[1;30m[\x1b[37m*\x1b[30m] . \x1b[0mBrakvold Plus Extensions\r\r";

int plus_number(World& w) { return w.host().find_module("Brakvold Plus"); }

struct Started {
    World w;
    int alice = -1;
    explicit Started(bool enter = true) {
        mark_messages(w);
        w.set_option("LIFECRD", "500");
        EXPECT_TRUE(w.start()) << w.stop_reason();
        alice = w.login("Alice");
        if (enter) w.enter(alice);
    }
};

TEST(MainMenuEntry, ExtensionMenuListsTheModuleAndTheAsteriskEnters) {
    Started s(false);
    std::string out = s.w.type(s.alice, "ext");
    EXPECT_NE(out.find(kMenuLine), std::string::npos) << show(out);
    EXPECT_OUT(menu_screen(), s.w.type(s.alice, "*plus and more words"));  // only the first character counts
    EXPECT_EQ(plus_number(s.w), s.w.user(s.alice)->state);
    EXPECT_EQ((uint32_t)SS_MAIN, s.w.user(s.alice)->substate);

    int bob = s.w.login("Bob");
    s.w.type(bob, "ext");
    int game_state = s.w.user(bob)->state;
    out = s.w.type(bob, "a*");
    EXPECT_EQ(std::string::npos, out.find("<MAINMNU")) << show(out);
    EXPECT_NE(std::string::npos, out.find("No such extension.")) << show(out);  // the module did not take it
    EXPECT_EQ(game_state, s.w.user(bob)->state);
}

// The sysop line for sysops; the lives line unless the life price is -1.
TEST(MainMenuEntry, MenuLinesFollowTheUserAndTheLifePrice) {
    for (const char* lifecrd : {"-1", "0"}) {
        SCOPED_TRACE(lifecrd);
        Started s(false);
        s.w.set_option("LIFECRD", lifecrd);
        s.w.host().reload();
        bool lives = std::string(lifecrd) != "-1";
        EXPECT_OUT(menu_screen(true, lives), type_all(s.w, s.w.login("Sysop"), {"ext", "*"}));
        EXPECT_OUT(menu_screen(false, lives), type_all(s.w, s.alice, {"ext", "*"}));
    }
}

// A user put into the module's state who never entered through the game on this channel since it was last hung up
// is handed back without a word.
TEST(MainMenuEntry, LinesBeforeTheChannelsOwnEntryAreHandedBack) {
    for (const char* how : {"never entered", "other channel entered", "hung up"}) {
        SCOPED_TRACE(how);
        Started s(std::string(how) != "never entered");
        int ch = s.alice;
        if (std::string(how) == "other channel entered") {
            ch = s.w.login("Bob");
        } else if (std::string(how) == "hung up") {
            s.w.host().hangup(s.alice);
            ch = s.w.login("Carol");
            ASSERT_EQ(s.alice, ch);
        }
        s.w.user(ch)->state = plus_number(s.w);
        s.w.user(ch)->substate = SS_MAIN;
        std::string out = s.w.type(ch, "I");
        EXPECT_EQ(std::string::npos, out.find('<')) << show(out);
        EXPECT_NE(plus_number(s.w), s.w.user(ch)->state);
        if (ch != s.alice) {
            EXPECT_OUT("<PLSINFO>" + kPrompt, s.w.type(s.alice, "I"));  // Alice, who did enter, is served
        }
    }
}

TEST(MainMenuChoices, EachChoiceShowsItsScreen) {
    struct Case {
        bool sysop;
        const char* lifecrd;
        const char* line;
        std::string expected;
        uint32_t substate;
    } cases[] = {
        // clang-format off
        {false, "500", "", menu_screen(), SS_MAIN}, {false, "500", "info please", "<PLSINFO>" + kPrompt, SS_MAIN},
        {false, "500", "1", "<BADCHC>" + kPrompt, SS_MAIN}, {false, "500", "?", "<BADCHC>" + kPrompt, SS_MAIN},
        {false, "500", "Z", "<BADCHC>" + kPrompt, SS_MAIN}, {false, "500", "b", "<BADCHC>" + kPrompt, SS_MAIN},
        {false, "500", "q", "<BADCHC>" + kPrompt, SS_MAIN},
        {false, "500", "A", menu_screen(), SS_MAIN}, {false, "500", "s", menu_screen(), SS_MAIN},  // sysop choices
        {true, "500", "a", "Not implemented yet.\r", SS_MAIN},
        {true, "500", "Sysop", "<SYSDMNU>" + kPrompt, SS_SYSDESC},
        {false, "500", "r", "<REGMENU><REGPRMT>", SS_REGISTRY},
        {false, "500", "Delete", none_screen(), SS_DESC},
        {false, "-1", "L", "<BADCHC>" + kPrompt, SS_MAIN}, // lives not sold
        {false, "500", "l", "<LIFECST 500|250|3>", SS_LIFE_CONFIRM},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Started s(false);
        for (auto [name, value] : {std::pair{"LIFECRD", c.lifecrd}, {"LIFECOP", "250"}, {"LIFEDAY", "3"}})
            s.w.set_option(name, value);
        s.w.host().reload();
        int ch = c.sysop ? s.w.login("Sysop") : s.alice;
        s.w.enter(ch);
        EXPECT_SCREEN(s.w, ch, c.substate, c.expected, s.w.type(ch, c.line));
    }
}

// X, or a substate outside the menus, puts the user back where he entered from, and the game takes him back on the
// status the exit left for it.
TEST(MainMenuExit, XAndSubstatesOutsideTheMenusGoBackToWhereTheUserCameFrom) {
    const struct {
        const char* line;
        std::optional<uint32_t> substate; // put into the module's state before the line
    } cases[] = {{"x", {}}, {"Xylophone", {}}, {"D", 0u}, {"D", 17u}, {"D", 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " " + std::to_string(c.substate.value_or(1)));
        Started s(false);
        s.w.type(s.alice, "ext");
        s.w.user(s.alice)->substate = 7;
        HostUser before = *s.w.user(s.alice);
        s.w.type(s.alice, "*");
        if (c.substate) s.w.user(s.alice)->substate = *c.substate;
        EXPECT_OUT("", s.w.type_only(s.alice, c.line));
        EXPECT_EQ(before.state, s.w.user(s.alice)->state);
        EXPECT_EQ(7u, s.w.user(s.alice)->substate);
        EXPECT_EQ(1u, s.w.host().pending_statuses());
        s.w.user(s.alice)->substate = before.substate;
        s.w.deliver_all();
        std::string back = s.w.output(s.alice);
        EXPECT_TRUE(back.size() >= 3 && back.compare(back.size() - 3, 3, "]: ") == 0) << show(back);
    }
}

TEST(MainMenuExit, EachUserReturnsToHisOwnPlace) {
    Started s(false);
    int bob = s.w.login("Bob");
    s.w.type(s.alice, "ext");
    HostUser alice_before = *s.w.user(s.alice);
    s.w.type(s.alice, "*");
    type_all(s.w, bob, {"ext", "*"});
    s.w.type_only(s.alice, "X");
    EXPECT_EQ(alice_before.state, s.w.user(s.alice)->state);
    EXPECT_EQ(alice_before.substate, s.w.user(s.alice)->substate);
    EXPECT_EQ(plus_number(s.w), s.w.user(bob)->state);
    s.w.deliver_all();
    s.w.type_only(bob, "X");
    EXPECT_EQ(alice_before.state, s.w.user(bob)->state);
    s.w.deliver_all();
    s.w.output(s.alice);
    EXPECT_OUT(menu_screen(), type_all(s.w, s.alice, {"ext", "*"}));  // back in after leaving
}

} // namespace
