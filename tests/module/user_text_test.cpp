// Text users type goes everywhere as text: printf conversions in
// descriptions, registry lines, user-IDs and names are stored and printed
// literally (no user text is ever a format), user-IDs with blanks and of
// 200 characters are answered sensibly, and lines far longer than a field
// are cut to it, through the whole stack from a typed line to the record.
#include "tests/module/lifecycle_fixture.h"

namespace {

using namespace coretest;
using testing_support::escape_visible;
using testing_support::UserSpec;

const std::string kConversions = "%s %n %x %% %d %p %1$s %.99999f %*d %hhn";

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

class UserText : public ::testing::Test {
protected:
    void SetUp() override {
        mark_messages(w);
        w.set_option("DESCAPP", "NO"); // descriptions shown at once
        UserSpec ann;
        ann.userid = "Ann Lee";
        ann.player_name = "Mary Ann";
        w.add_user(ann);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        alice = w.login("Alice");
        bob = w.login("Bob");
    }

    std::string record_text(const std::string& userid, const std::string& tag) {
        for (const auto& e : w.records())
            if (e.userid == userid && e.tag == tag) return e.bytes;
        return {};
    }
    // From the game prompt: the description written with the line editor.
    std::string write_description(int ch, const std::vector<std::string>& lines) {
        w.enter(ch);
        w.type(ch, "D");
        w.type(ch, "D"); // all prices 0: the editor opens at once
        EXPECT_TRUE(w.host().in_editor(ch));
        for (const auto& line : lines) w.type(ch, line);
        std::string out = w.type(ch, "/s");
        w.type(ch, "X");
        w.type(ch, "X"); // back in the game
        return out;
    }
    std::string write_registry_line(int ch, const std::string& line) {
        w.enter(ch);
        w.type(ch, "R");
        w.type(ch, "E");
        w.type(ch, "1");
        std::string out = w.type(ch, line);
        w.type(ch, "X");
        w.type(ch, "X");
        w.type(ch, "X");
        return out;
    }

    World w;
    int alice = -1, bob = -1;
};

TEST_F(UserText, ConversionsInADescriptionAreStoredAndShownAsTyped) {
    const std::string out = write_description(alice, {kConversions});
    EXPECT_TRUE(contains(out, "<CURDESC " + kConversions + ">")) << escape_visible(out);
    const std::string bytes = record_text("Alice", DESC_TAG);
    ASSERT_EQ(bytes.size(), sizeof(DescriptionRecord));
    EXPECT_EQ(std::string(bytes.c_str() + 55), kConversions);
    // The game shows it to another player just as typed.
    const std::string look = w.type(bob, "look Alia");
    EXPECT_TRUE(contains(look, kConversions)) << escape_visible(look);
}

TEST_F(UserText, ConversionsInARegistryLineAreStoredAndLookedUpAsTyped) {
    const std::string shown = write_registry_line(alice, kConversions);
    EXPECT_TRUE(contains(shown, kConversions)) << escape_visible(shown);
    const std::string bytes = record_text("Alia", REG_TAG);
    ASSERT_EQ(bytes.size(), sizeof(RegistryRecord));
    EXPECT_EQ(std::string(bytes.c_str() + 58), kConversions);
    const std::string lookup = w.type(bob, "/lookup Alia");
    EXPECT_TRUE(contains(lookup, "Alia")) << escape_visible(lookup);
    EXPECT_TRUE(contains(lookup, kConversions)) << escape_visible(lookup);
}

TEST_F(UserText, ConversionsAsNamesAndUserIdsFindNobody) {
    EXPECT_TRUE(contains(w.type(bob, "/lookup " + kConversions), "<NOSUCHP>"));
    const std::string look = w.type(bob, "look " + kConversions);
    EXPECT_TRUE(contains(look, "There is no player named " + kConversions + ".")) << escape_visible(look);
    const std::string tell = w.type(bob, "tell %s%n%x hello");
    EXPECT_TRUE(contains(tell, "There is no player named %s%n%x.")) << escape_visible(tell);

    const int sysop = w.login("Sysop");
    w.enter(sysop);
    w.type(sysop, "S");
    for (const char* choice : {"V", "A", "D"}) {
        w.type(sysop, choice);
        const std::string out = w.type(sysop, kConversions);
        EXPECT_TRUE(contains(out, "No description found")) << choice << ": " << escape_visible(out);
    }
    EXPECT_TRUE(w.host().online(sysop));
}

TEST_F(UserText, UserIdsWithBlanksWorkAndLongOnesFindNobody) {
    const int ann = w.login("Ann Lee");
    write_description(ann, {"Two words in her user-ID."});
    write_registry_line(ann, "Lives in two words too.");
    const std::string lookup = w.type(bob, "/lookup mary ann");
    EXPECT_TRUE(contains(lookup, "Lives in two words too.")) << escape_visible(lookup);
    EXPECT_TRUE(contains(w.type(bob, "look Mary Ann"), "Two words in her user-ID."));

    const int sysop = w.login("Sysop");
    w.enter(sysop);
    w.type(sysop, "S");
    w.type(sysop, "V");
    EXPECT_TRUE(contains(w.type(sysop, "ann lee"), "Two words in her user-ID."));
    w.type(sysop, "V");
    EXPECT_TRUE(contains(w.type(sysop, "Ann"), "No description found."));
    const std::string long_id(200, 'A');
    for (const char* choice : {"V", "A", "D"}) {
        w.type(sysop, choice);
        EXPECT_TRUE(contains(w.type(sysop, long_id), "No description found")) << choice;
    }
    EXPECT_TRUE(contains(w.type(bob, "/lookup " + long_id), "<NOSUCHP>"));
    EXPECT_TRUE(contains(w.type(bob, "look " + long_id), "There is no player named"));
    // Nothing was removed by the long user-ID.
    EXPECT_EQ(record_text("Ann Lee", DESC_TAG).size(), sizeof(DescriptionRecord));
}

TEST_F(UserText, LinesFarLongerThanAFieldAreCutToIt) {
    // A registry line keeps REG_LINEMAX characters of a 1000-character line.
    write_registry_line(alice, std::string(1000, 'r'));
    const std::string bytes = record_text("Alia", REG_TAG);
    ASSERT_EQ(bytes.size(), sizeof(RegistryRecord));
    EXPECT_EQ(std::string(bytes.c_str() + 58), std::string(REG_LINEMAX, 'r'));
    // The cut never splits a character: of 59 letters and two-byte ones,
    // the 59 letters stay; a three-byte one right at the end is kept whole.
    const std::string umlaut = "\xc3\xa4", euro = "\xe2\x82\xac";
    const struct {
        std::string typed, stored;
    } cuts[] = {
        {std::string(59, 'u') + umlaut + umlaut, std::string(59, 'u')},
        {std::string(58, 'u') + umlaut + umlaut, std::string(58, 'u') + umlaut},
        {std::string(57, 'e') + euro + "e", std::string(57, 'e') + euro},
        {std::string(58, 'e') + euro, std::string(58, 'e')},
    };
    for (const auto& cut : cuts) {
        write_registry_line(alice, cut.typed);
        EXPECT_EQ(std::string(record_text("Alia", REG_TAG).c_str() + 58), cut.stored) << cut.typed;
    }
    // Editor lines are cut to 79, and the text to the editor's size.
    std::vector<std::string> lines(20, std::string(500, 'd'));
    const std::string out = write_description(alice, lines);
    const std::string text(record_text("Alice", DESC_TAG).c_str() + 55);
    EXPECT_LE(text.size(), static_cast<size_t>(DESC_TEXTSIZ - 1));
    EXPECT_GE(text.size(), static_cast<size_t>(79 * 9));
    EXPECT_EQ(text.substr(0, 80), std::string(79, 'd') + "\r");
    // The user-ID prompt of the sysop takes a line of the longest length.
    const int sysop = w.login("Sysop");
    w.enter(sysop);
    w.type(sysop, "S");
    w.type(sysop, "V");
    EXPECT_TRUE(contains(w.type(sysop, std::string(5000, 'u')), "No description found."));
}

TEST_F(UserText, TypedEscapesAreNotStored) {
    const std::string out = write_description(alice, {"A \x1b[5mblinking\x1b[0m elf\x07."});
    EXPECT_TRUE(contains(out, "<CURDESC A blinking elf.>")) << escape_visible(out);
    write_registry_line(alice, "\x1b]0;title\x07Plain \x1b[1;31mred\x1b[0m");
    EXPECT_EQ(std::string(record_text("Alia", REG_TAG).c_str() + 58), "Plain red");
}

} // namespace
