// Player lookup: the global command word anywhere on the host, and the lookup prompt of the registry menu.
#include "tests/module/fixture.h"
#include "text/ascii.h"

namespace {

using namespace modtest;

// What PUBINFO shows for this player with this age.
std::string pubinfo(const PublicUserInfo& p, int age) {
    const std::string guild(text::field(p.guild));
    return "<PUBINFO " + std::string(text::field(p.name)) + "|" + std::string(text::field(p.race)) + "|" +
           std::string(text::field(p.title)) + "|" + std::string(text::field(p.profession)) + "|" +
           (p.gender == 'M' ? "Male" : "Female") + "|" + std::to_string(age) + "|" + std::to_string(p.experience) +
           "|" + std::to_string(p.quests) + "|" + std::to_string(p.level) + "|" + (guild.empty() ? "None" : guild) +
           "|" + std::to_string(p.kills) + ">";
}

// Types a global command at the game prompt; what came before the game's prompt.
std::string lookup(World& w, int ch, const std::string& line) {
    std::string out = w.type(ch, line);
    std::string prompt = w.game().prompt_for(ch);
    bool prompted = out.size() >= prompt.size() && out.compare(out.size() - prompt.size(), prompt.size(), prompt) == 0;
    EXPECT_TRUE(prompted) << "no game prompt after " << line << ": " << show(out);
    return prompted ? out.substr(0, out.size() - prompt.size()) : out;
}

class Lookup : public PlusTest {
protected:
    void prepare() override {
        w.set_option("LOOKCMD", "whois");
        testing_support::UserSpec dora;
        dora.userid = "Dora";
        dora.player_name = "Dorana";
        dora.time_played = 2999;
        dora.gender = 'm';
        w.add_user(dora);
    }
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PlusTest::SetUp());
        ch = w.login("Alice");
        ASSERT_GE(ch, 0);
    }

    PublicUserInfo player(std::string_view name) {
        auto p = w.player(name);
        EXPECT_TRUE(p.has_value()) << name;
        return p.value_or(PublicUserInfo{});
    }

    int ch = -1;
};

TEST_F(Lookup, GlobalCommandInAnyLetterCase) {
    PublicUserInfo bobo = player("Bobo");
    ASSERT_EQ(2500u, bobo.time_played);
    for (const char* line : {"whois Bobo", "WHOIS bobo", "WhoIs BOBO"})
        EXPECT_OUT(pubinfo(bobo, 18), lookup(w, ch, line)) << line;  // 2500 / 1000 + 16
    // The rest of the line is one name; an account name is no player name; a name too long; a game that cannot answer.
    const std::vector<std::string> unknown = {"Bobo Bobo", "Nobody", "Zzz", "Alice", std::string(40, 'B')};
    for (const std::string& name : unknown) EXPECT_OUT("<NOSUCHP>", lookup(w, ch, "whois " + name)) << name;
    w.game().failures().retrieve = true;
    EXPECT_OUT("<NOSUCHP>", lookup(w, ch, "whois Bobo"));
}

// Lines that are not the command word and a name, and any line when the command word is empty, are left to the game.
TEST(LookupCommand, LinesThatAreNotTheCommandAreLeftAlone) {
    struct Case {
        const char* lookcmd;
        std::vector<const char*> lines;
    } cases[] = {
        {"whois", {"whois", "WHOIS", "who is Bobo", "whoisBobo", "Bobo whois Bobo"}},
        {"", {"whois Bobo", "Bobo Bobo", "/lookup Bobo"}},
    };
    for (const Case& c : cases) {
        World w;
        mark_messages(w);
        w.set_option("LOOKCMD", c.lookcmd);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        int ch = w.login("Alice");
        for (const char* line : c.lines) {
            SCOPED_TRACE(line);
            std::string got = w.type(ch, line);
            EXPECT_EQ(std::string::npos, got.find("<PUBINFO")) << show(got);
            EXPECT_EQ(std::string::npos, got.find("<NOSUCHP>")) << show(got);
        }
    }
}

TEST_F(Lookup, AgeGenderAndGuild) {
    PublicUserInfo dorana = player("Dorana");
    // Lower-case m is not male (pubinfo says Female); 2999 / 1000 drops the remainder.
    EXPECT_OUT(pubinfo(dorana, 18), lookup(w, ch, "whois dorana"));

    dorana.guild[0] = 0;
    dorana.time_played = 123456;
    std::string error;
    ASSERT_TRUE(w.game().update_player(dorana, &error)) << error;
    EXPECT_OUT(pubinfo(dorana, 123 + 16), lookup(w, ch, "whois Dorana"));  // no guild: None

    std::strcpy(dorana.guild, "K");  // one letter is a guild too
    ASSERT_TRUE(w.game().update_player(dorana, &error)) << error;
    EXPECT_OUT(pubinfo(dorana, 123 + 16), lookup(w, ch, "whois Dorana"));

    // A registry age overrides the default; the age itself is never a registry line.
    insert(w, registry_record("Dorana", 30, {}));
    EXPECT_OUT(pubinfo(dorana, 30), lookup(w, ch, "whois Dorana"));
}

TEST_F(Lookup, RegistryLinesFollowInPublicForm) {
    PublicUserInfo cara = player("Cara");
    insert(w, registry_record("Cara", -5, {"", "", "", "", "", "", "Dumplings"}));
    EXPECT_OUT(pubinfo(cara, -5) + "<REGLAB7>: Dumplings\r", lookup(w, ch, "whois cara"));

    PublicUserInfo bobo = player("Bobo");
    insert(w, registry_record("Bobo", 0, {"Bob Bobson", "", "S", "", "", "", "", "", "", "the end"}));
    EXPECT_OUT(pubinfo(bobo, 18) + "<REGLAB1>: Bob Bobson\r<REGLAB3>: S\r<REGLAB10>: the end\r",
                 lookup(w, ch, "whois Bobo"));

    // All lines empty: nothing after PUBINFO.
    PublicUserInfo alia = player("Alia");
    insert(w, registry_record("Alia", 44, {}));
    EXPECT_OUT(pubinfo(alia, 44), lookup(w, ch, "whois Alia"));

    // A registry of another kind of record is not his registry.
    insert(w, registry_record("Dorana", 55, {"not a registry"}, "QRTBKPLS_REGX"));
    PublicUserInfo dorana = player("Dorana");
    EXPECT_OUT(pubinfo(dorana, 18), lookup(w, ch, "whois Dorana"));
}

// The age divisor and base and the registry prefix come from the options.
TEST(LookupOptions, AgeAndPrefixFollowTheOptions) {
    World w;
    mark_messages(w);
    for (auto [name, value] : {std::pair{"LOOKCMD", "whois"}, {"AGEDIV", "7"}, {"AGEBASE", "0"}, {"REGPFX", " => "}})
        w.set_option(name, value);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    insert(w, registry_record("Cara", 0, {"line one"}));
    int ch = w.login("Bob");
    auto bobo = w.player("Bobo");
    auto cara = w.player("Cara");
    ASSERT_TRUE(bobo && cara);
    EXPECT_OUT(pubinfo(*bobo, 2500 / 7), lookup(w, ch, "whois Bobo"));
    EXPECT_OUT(pubinfo(*cara, cara->time_played / 7) + "<REGLAB1> => line one\r", lookup(w, ch, "whois Cara"));
}

TEST_F(Lookup, PromptLooksUpOneNameAfterAnother) {
    insert(w, registry_record("Bobo", 0, {"Bob Bobson"}));
    PublicUserInfo bobo = player("Bobo");
    w.enter(ch);
    EXPECT_SCREEN(w, ch, SS_LOOKUP, "<LOOKASK>", type_all(w, ch, {"R", "L"}));
    EXPECT_SCREEN(w, ch, SS_LOOKUP, pubinfo(bobo, 18) + "<REGLAB1>: Bob Bobson\r<LOOKASK>", w.type(ch, "bobo"));
    for (const char* line : {"x Bobo", "Bobo Bobo"}) EXPECT_OUT("<NOSUCHP><LOOKASK>", w.type(ch, line)) << line;
    EXPECT_EQ((uint32_t)SS_LOOKUP, w.user(ch)->substate);

    // The global command works at the prompt too and leaves it as it is (no prompt of the module's after it).
    EXPECT_SCREEN(w, ch, SS_LOOKUP, pubinfo(bobo, 18) + "<REGLAB1>: Bob Bobson\r", w.type(ch, "whois Bobo"));

    EXPECT_SCREEN(w, ch, SS_REGISTRY, kRegistryMenu, w.type(ch, "X"));
    EXPECT_SCREEN(w, ch, SS_REGISTRY, kRegistryMenu, type_all(w, ch, {"L", ""}));
}

} // namespace
