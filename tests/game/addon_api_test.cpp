// The game's add-on services, each of which can be made to fail (stored across restarts: e2e test_host_sessions).
#include <algorithm>
#include <regex>

#include "tests/game/game_fixture.h"

namespace game_tests {
namespace {

using AddonServices = GameHost;

AddonDescriptor other_addon = {3, "Other", nullptr, nullptr, nullptr, nullptr};

TEST_F(AddonServices, RegistrationHandsOutHandles) {
    const int32_t first = register_mud_addon(&test_addon), again = register_mud_addon(&test_addon), second = register_mud_addon(&other_addon);
    EXPECT_TRUE(first != 0 && second != 0 && second != first) << first << " " << second;
    EXPECT_EQ(again, first);
    int alice = login("Alice");  // Hooks left empty are skipped by the game.
    EXPECT_EQ(type(alice, "ext"), "Extensions:\r  [T] Test extension\rExtension: ");
    EXPECT_EQ(type(alice, "x"), "No such extension.\r" + kAliaPrompt);
}

TEST_F(AddonServices, RefusedRegistrationLeavesTheAddonOut) {
    game_->failures().register_addon = true;
    EXPECT_EQ(register_mud_addon(&test_addon), 0);
    game_->failures().register_addon = false;
    EXPECT_EQ(type(login("Alice"), "ext"), "Extensions:\rExtension: ");
    EXPECT_EQ(calls().displays, 0);
}

TEST_F(AddonServices, RetrieveByNameIgnoresCaseAndByChannelFindsThePlayerOfTheAccount) {
    PublicUserInfo info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(retrieve_public_userinfo("bObO", &info), 1);
    PublicUserInfo expected = make_player("Bobo", "Bob", 300, 8, 100);
    EXPECT_EQ(std::memcmp(&info, &expected, sizeof info), 0) << "every byte as stored";
    for (const char* name : {"Bob", "Bobo ", ""}) EXPECT_EQ(retrieve_public_userinfo(name, &info), 0) << name;

    const int bob = login("Bob"), sysop = login("Sysop");
    ASSERT_EQ(retrieve_public_usrnum_userinfo(bob, &info), 1);
    EXPECT_STREQ(info.name, "Bobo");
    EXPECT_STREQ(info.userid, "Bob");
    for (int channel : {sysop, 3, 99}) EXPECT_EQ(retrieve_public_usrnum_userinfo(channel, &info), 0) << channel;
    game_->failures().retrieve = true;
    EXPECT_EQ(retrieve_public_usrnum_userinfo(bob, &info), 0);
    EXPECT_EQ(retrieve_public_userinfo("Bobo", &info), 0);
}

TEST_F(AddonServices, CopperNeverGoesBelowZero) {
    int bob = login("Bob");   // 300 copper, 8 lives
    const struct { int32_t (*service)(int32_t channel, int32_t amount); int32_t amount, result, copper_after; } steps[] = {
        {addon_adjust_user_wealth, 200, 1, 100}, {addon_adjust_user_wealth, 101, 0, 100},
        {addon_adjust_user_wealth, -5, 0, 100},  {addon_adjust_user_wealth, 100, 1, 0},
        {addon_adjust_user_wealth, 0, 1, 0},     {addon_return_user_wealth, 70, 1, 70},
        {addon_return_user_wealth, -1, 0, 70},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(s.service(bob, s.amount), s.result) << s.amount;
        EXPECT_EQ(player("Bobo").copper, s.copper_after) << s.amount;
    }
    EXPECT_EQ(addon_adding_life_to_user(bob), 1);
    EXPECT_EQ(std::pair(player("Bobo").lives, player("Alia").copper), std::pair(9, 5000));
}

TEST_F(AddonServices, CopperAndLifeServicesFailWithoutAPlayerOrWhenSwitchedOff) {
    const int bob = login("Bob"), sysop = login("Sysop");
    for (int channel : {sysop, 3})  // adjust, return, add a life
        EXPECT_EQ(std::tuple(addon_adjust_user_wealth(channel, 1), addon_return_user_wealth(channel, 1), addon_adding_life_to_user(channel)),
                  std::tuple(0, 0, 0)) << channel;
    auto& failures = game_->failures();
    failures.add_life = true;
    EXPECT_EQ(addon_adding_life_to_user(bob), 0);
    failures.add_life = false, failures.adjust_wealth = true;
    EXPECT_EQ(addon_adjust_user_wealth(bob, 10), 0);
    failures.adjust_wealth = false, failures.return_wealth = true;
    EXPECT_EQ(addon_return_user_wealth(bob, 10), 0);
    EXPECT_EQ(std::pair(player("Bobo").copper, player("Bobo").lives), std::pair(300, 8));

    failures.return_wealth = false;  // Copper given back cannot pass the largest 32-bit value.
    PublicUserInfo rich = player("Bobo");
    rich.copper = INT32_MAX - 5;
    std::string error;
    ASSERT_TRUE(game_->update_player(rich, &error)) << error;
    EXPECT_EQ(addon_return_user_wealth(bob, 6), 0);
    EXPECT_EQ(addon_return_user_wealth(bob, 5), 1);
    EXPECT_EQ(player("Bobo").copper, INT32_MAX);
}

TEST_F(AddonServices, MailIsStoredFromBrakvold) {
    EXPECT_EQ(brakvold_send_mail("Sysop", "Alice bought mud life", "\nTime to charge him/her!"), 1);
    EXPECT_EQ(brakvold_send_mail("SYSOP", "Second", ""), 1);
    EXPECT_EQ(brakvold_send_mail("", "Nobody", "x"), 0);
    EXPECT_EQ(brakvold_send_mail(nullptr, "Nobody", "x"), 0);
    game_->failures().send_mail = true;
    EXPECT_EQ(brakvold_send_mail("Sysop", "Lost", "x"), 0);
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> mail;
    for (const auto& m : game_->mail_for("sysop")) mail.emplace_back(m.from, m.to, m.subject, m.body);
    EXPECT_EQ(mail, (decltype(mail){{"Brakvold", "Sysop", "Alice bought mud life", "\nTime to charge him/her!"},
                                    {"Brakvold", "SYSOP", "Second", ""}}));
    EXPECT_TRUE(game_->mail_for("Alice").empty());
}

TEST_F(AddonServices, IniValuesAreFoundInAnySectionIgnoringCase) {
    auto value = [](const char* key) { return std::string(get_mud_ini_value(key) ? get_mud_ini_value(key) : "(none)"); };
    EXPECT_EQ(value("plus_purchase_email_userid"), "Sysop");
    EXPECT_EQ(value("SEND_EMAIL_FOR_PURCHASES"), "0");
    EXPECT_EQ(get_mud_ini_value("NO_SUCH_KEY"), nullptr);

    write_ini("[Other]\nColour = blue\n[Brakvold]\ncolour=red\nEmpty=\n");
    game_->reload_ini();
    EXPECT_EQ(value("COLOUR"), "blue");
    EXPECT_EQ(value("empty"), "");
    EXPECT_EQ(get_mud_ini_value("PLUS_PURCHASE_EMAIL_USERID"), nullptr);

    game_->failures().ini_lookup = true;
    EXPECT_EQ(get_mud_ini_value("COLOUR"), nullptr);
}

TEST_F(AddonServices, IniReloadCallsEveryAddonHook) {
    ASSERT_NE(register_mud_addon(&test_addon), 0);
    ASSERT_NE(register_mud_addon(&other_addon), 0);   // no hook: skipped
    write_ini("[Brakvold]\nSEND_EMAIL_FOR_PURCHASES=1\n");
    game_->reload_ini();
    EXPECT_EQ(calls().reloads, 1);
    EXPECT_EQ(calls().ini_at_reload, "1");

    // A missing file leaves no values. (The host's reload reaching the game: e2e test_config sighup_...)
    fs::remove(dir_ / "brakvold.ini");
    game_->reload_ini();
    EXPECT_EQ(calls().reloads, 2);
    EXPECT_EQ(calls().ini_at_reload, "(none)");
}

// The game log without the time stamp each of its lines must begin with (its time in UTC: e2e test_operations).
std::string unstamped(const std::string& log) {
    static const std::regex stamp("(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z ");
    const auto lines = std::count(log.begin(), log.end(), '\n') + (log.empty() || log.ends_with('\n') ? 0 : 1);
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), stamp), std::sregex_iterator()), lines)
        << "not one stamp at the start of every line: " << log;
    return std::regex_replace(log, stamp, "$1");
}

TEST_F(AddonServices, LogAppendsTheFormattedTextWithControlBytesShown) {
    EXPECT_EQ(game_->log_path(), fs::canonical(dir_) / "brakvold.log");
    EXPECT_EQ(game_->read_log(), "");
    BKLog("Deducted %lu credits from %s for a life.\r\n", 500ul, "Alice");
    BKLog("%s purchased a life.\n", "Al\xc3\xaf" "ce");
    game_->failures().log = true;
    BKLog("lost\r\n");
    game_->failures().log = false;
    // A user's text cannot act on the log reader's terminal: ESC, C1 controls, a lone CR, bytes not UTF-8.
    BKLog("%s bought a life.\r\n", "Eve\x1b[2J\x9b" "31m\r\x90\xff");
    EXPECT_EQ(unstamped(game_->read_log()), "Deducted 500 credits from Alice for a life.\r\nAl\xc3\xaf" "ce purchased a life.\n"
                                            "Eve\\x1b[2J\\x9b31m\\x0d\\x90\\xff bought a life.\r\n");
}

// A line written in pieces has one stamp, also across a restart and a reopening; each of several its own.
TEST_F(AddonServices, EveryLineOfTheLogHasOneStamp) {
    BKLog("one ");
    BKLog("line\r\ntwo\r\n\r\nthree");
    restart();
    BKLog(", continued");
    host_->reopen_logs();
    BKLog(" and ended\r\n");
    EXPECT_EQ(unstamped(game_->read_log()), "one line\r\ntwo\r\n\r\nthree, continued and ended\r\n");
}

TEST_F(AddonServices, ALineTheLogCannotTakeGoesToTheHostLog) {
    host_.reset();
    fs::remove(dir_ / "brakvold.log");
    fs::create_symlink("/dev/full", dir_ / "brakvold.log");
    start();
    BKLog("%s purchased a life.\r\n", "Alice");
    EXPECT_TRUE(logged({"error: Brakvold: cannot write the game log", "No space left on device; lost: Alice purchased a life."}));
}

TEST_F(AddonServices, PlayersAreCheckedBeforeTheyAreStored) {
    PublicUserInfo too_long = make_player("Cara", "Carol");
    std::memset(too_long.name, 'x', sizeof too_long.name);   // no terminator
    const struct { PublicUserInfo player; const char* error; } refused[] = {  // part of the refusal, or "" for any
        {make_player("ALIA", "Carol"), "Alia"}, {make_player("Other", "alice"), "Alia"},
        {make_player("", "Carol"), ""},         {make_player(" Cara", "Carol"), ""},
        {make_player("Cara", ""), ""},          {too_long, "10 characters"},
    };
    std::string error;
    for (const auto& r : refused) {
        error.clear();
        EXPECT_FALSE(game_->add_player(r.player, &error)) << &r - refused;
        EXPECT_FALSE(error.empty()) << &r - refused;
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }

    EXPECT_TRUE(game_->add_player(make_player("Mary Ann", "Carol"), &error)) << error;
    EXPECT_TRUE(game_->add_player(make_player("Tenletters", "Dave"), &error)) << error;
    EXPECT_EQ(game_->players().size(), 4u);
    ASSERT_TRUE(game_->player_of_account("CAROL").has_value());
    EXPECT_STREQ(game_->player_of_account("CAROL")->name, "Mary Ann");

    EXPECT_TRUE(game_->update_player(make_player("mary ann", "Carol", 1, 2, 3), &error)) << error;
    EXPECT_EQ(std::pair(std::string(player("MARY ANN").name), player("Mary Ann").copper), std::pair(std::string("Mary Ann"), 1));
    EXPECT_FALSE(game_->update_player(make_player("Nobody", "Erin"), &error));
    EXPECT_FALSE(game_->update_player(make_player("Mary Ann", "Alice"), &error));
}

// Copper and lives change in the transaction of the host call that changes them.
using SharedStore = GameHost;

TEST_F(SharedStore, ARolledBackCallGivesCopperBackAndARefusedWriteIsReportedToIt) {
    const int bob = login("Bob");
    auto& db = host_->database();
    ASSERT_TRUE(db.begin_call());
    ASSERT_EQ(addon_adjust_user_wealth(bob, 100), 1);
    EXPECT_EQ(player("Bobo").copper, 200);
    faults().fail_commit();
    EXPECT_FALSE(db.end_call().committed);
    EXPECT_EQ(player("Bobo").copper, 300);

    ASSERT_TRUE(db.begin_call());
    faults().fail_write(1);
    EXPECT_EQ(addon_adding_life_to_user(bob), 0);
    const auto outcome = db.end_call();
    EXPECT_FALSE(outcome.committed);
    EXPECT_NE(outcome.failure.what.find("updating a player"), std::string::npos) << outcome.failure.text();
    EXPECT_EQ(player("Bobo").lives, 8);
}

}  // namespace
}  // namespace game_tests
