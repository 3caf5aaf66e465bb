// Game commands, the extension menu, look, tell and the way back from an add-on (through bbshost: e2e test_logon_hardening).

#include "tests/game/game_fixture.h"

namespace game_tests {
namespace {

using GameCommands = GameHost;

TEST_F(GameCommands, StatsShowTheOwnCharacter) {
    EXPECT_EQ(type(login("Bob"), "stats"), "Character: Bobo\rRace: Elf   Profession: Ranger   Gender: female\rTitle: Keeper of the Woods\r"
                                           "Guild: none\rLevel: 4   Experience: 1200   Hit points: 40\rKills: 7   Quests: 2\r"
                                           "Copper: 300\rLives: 8\rTime played: 100\r" + kBoboPrompt);

    EXPECT_EQ(type(login("Sysop"), "stats"), "You have no character in Brakvold.\r" + kPlainPrompt);
}

TEST_F(GameCommands, WhoListsEveryoneOnline) {
    int alice = login("Alice");
    login("Sysop");
    EXPECT_EQ(type(alice, "who"), "In Brakvold now:\r"
                   "  Alice                         Alia\r"
                   "  Sysop                         (no character)\r" + kAliaPrompt);
}

TEST_F(GameCommands, TheExtensionMenuOffersTheLineAndAnAddonTakesTheUserAndHandsHimBack) {
    install_addon();
    int alice = login("Alice");
    EXPECT_EQ(type(alice, "EXT"), "Extensions:\r  [T] Test extension\rExtension: ");
    EXPECT_EQ(calls().displays, 1);
    EXPECT_EQ(type(alice, "zzz top"), "No such extension.\r" + kAliaPrompt);
    EXPECT_EQ(calls().command_words, std::vector<std::string>{"zzz"});

    EXPECT_NE(type(alice, "stats").find("Character: Alia\r"), std::string::npos);
    EXPECT_EQ(calls().commands, 1);

    type(alice, "ext");  // An empty line at the extension prompt is offered to nobody.
    EXPECT_EQ(type(alice, ""), "No such extension.\r" + kAliaPrompt);
    EXPECT_EQ(calls().commands, 1);

    type(alice, "ext");  // An add-on that takes the user; "back" in its module injects status 3.
    EXPECT_EQ(type(alice, "t"), "Inside the test extension.\r");
    EXPECT_EQ(std::pair(usroff(alice)->state, usroff(alice)->substate), std::pair(int32_t{calls().module_number}, uint32_t{42}));
    EXPECT_EQ(type(alice, "back"), kAliaPrompt);
    EXPECT_EQ(usroff(alice)->state, game_->module_number());
    EXPECT_EQ(type(alice, "who").find("In Brakvold now:\r"), 0u);
}

TEST_F(GameCommands, LookAndTellReachAPlayerInTheGameOrInsideAnAddon) {
    install_addon();
    int alice = login("Alice");
    int bob = login("Bob");
    ASSERT_NE(alice, bob);
    EXPECT_EQ(type(alice, "look bobo"), "Bobo, the Elf Ranger, Keeper of the Woods.\r"
                                        "Described channel " +
                                            std::to_string(bob) + ".\r" + kAliaPrompt);
    EXPECT_EQ(calls().described, std::vector<int>{bob});
    EXPECT_EQ(output(bob), "");

    EXPECT_EQ(type(alice, "tell bobo hello  there"), "You tell Bobo: hello there\r" + kAliaPrompt);
    EXPECT_EQ(output(bob), "\rAlia tells you: hello there\r" + kBoboPrompt);
    EXPECT_TRUE(calls().injected.empty());

    type(bob, "ext");
    type(bob, "t");
    EXPECT_EQ(type(alice, "TELL Bobo are you there?"), "You tell Bobo: are you there?\r" + kAliaPrompt);
    EXPECT_EQ(calls().injected, std::vector<std::string>{"\rAlia tells you: are you there?\r"});
    EXPECT_EQ(calls().injected_channels, std::vector<int>{bob});
    EXPECT_EQ(output(bob), "[test module] \rAlia tells you: are you there?\r");
}

// What cannot be done is said, and the prompt comes back.
TEST_F(GameCommands, EmptyUnknownAndImpossibleCommands) {
    install_addon();
    int alice = login("Alice");
    const struct { bool bob_online; const char* line; const char* reply; } cases[] = {  // before the prompt
        {false, "", ""}, {false, "look Bobo", "Bobo is not in the game right now.\r"},
        {false, "look", "Look at whom?\r"}, {false, "tell Bobo hi", "Bobo is not in the game right now.\r"},
        {false, "tell Zed hi", "There is no player named Zed.\r"}, {true, "tell Bobo", "Tell Bobo what?\r"},
        {true, "tell", "Tell whom what?\r"},
    };
    for (const auto& c : cases) {
        if (c.bob_online && host_->channel_of("Bob") < 0) login("Bob");
        EXPECT_EQ(type(alice, c.line), c.reply + kAliaPrompt) << c.line;
    }
    EXPECT_TRUE(calls().described.empty());
}

TEST_F(GameCommands, MailIsListedNewestLast) {
    int alice = login("Alice");
    EXPECT_EQ(type(alice, "mail"), "You have no mail.\r" + kAliaPrompt);

    ASSERT_EQ(brakvold_send_mail("Alice", "First", "one"), 1);
    ASSERT_EQ(brakvold_send_mail("Bob", "Not yours", "x"), 1);
    ASSERT_EQ(brakvold_send_mail("alice", "Second", "\nTime to charge him/her!"), 1);
    EXPECT_EQ(type(alice, "MAIL"), "Your mail, newest last:\r"
                                   "\rMail 1 of 2\rFrom: Brakvold\rSubject: First\rone\r"
                                   "\rMail 2 of 2\rFrom: Brakvold\rSubject: Second\r"
                                   "\nTime to charge him/her!\r" + kAliaPrompt);
}

}  // namespace
}  // namespace game_tests
