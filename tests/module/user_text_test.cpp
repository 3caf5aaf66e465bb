// Typed text is never a format: conversions in descriptions, registry lines, user-IDs and names are stored and printed
// literally; user-IDs with blanks or of 200 characters are answered sensibly; overlong lines are cut to their field.
#include "tests/module/fixture.h"

namespace {

using namespace modtest;
using testing_support::escape_visible;
using testing_support::UserSpec;

const std::string kConversions = "%s %n %x %% %d %p %1$s %.99999f %*d %hhn";

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

class UserText : public PlusTest {
protected:
    void prepare() override {
        w.set_option("DESCAPP", "NO");  // descriptions shown at once
        UserSpec ann;
        ann.userid = "Ann Lee";
        ann.player_name = "Mary Ann";
        w.add_user(ann);
    }
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PlusTest::SetUp());
        alice = w.login("Alice");
        bob = w.login("Bob");
    }

    // From the game prompt and back to it: the description written with the line editor (all prices 0).
    std::string write_description(int ch, const std::vector<std::string>& lines) {
        w.enter(ch);
        type_all(w, ch, {"D", "D"});
        EXPECT_TRUE(w.host().in_editor(ch));
        for (const auto& line : lines) w.type(ch, line);
        std::string out = w.type(ch, "/s");
        type_all(w, ch, {"X", "X"});
        return out;
    }
    std::string write_registry_line(int ch, const std::string& line) {
        w.enter(ch);
        std::string out = type_all(w, ch, {"R", "E", "1", line});
        type_all(w, ch, {"X", "X", "X"});
        return out;
    }
    int sysop_menu() {
        const int sysop = enter_as(w, "Sysop");
        w.type(sysop, "S");
        return sysop;
    }

    int alice = -1, bob = -1;
};

TEST_F(UserText, ConversionsInADescriptionAreStoredAndShownAsTyped) {
    const std::string out = write_description(alice, {kConversions});
    EXPECT_TRUE(contains(out, "<CURDESC " + kConversions + ">")) << escape_visible(out);
    EXPECT_OUT(description_record("Alice", kConversions, DESC_APPROVED), tagged_bytes(w, DESC_TAG));
    const std::string look = w.type(bob, "look Alia");
    EXPECT_TRUE(contains(look, kConversions)) << escape_visible(look);
}

TEST_F(UserText, ConversionsInARegistryLineAreStoredAndLookedUpAsTyped) {
    const std::string shown = write_registry_line(alice, kConversions);
    EXPECT_TRUE(contains(shown, kConversions)) << escape_visible(shown);
    EXPECT_OUT(registry_record("Alia", 0, {kConversions}), tagged_bytes(w, REG_TAG));
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

    const int sysop = sysop_menu();
    for (const char* choice : {"V", "A", "D"}) {
        const std::string out = type_all(w, sysop, {choice, kConversions});
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

    const int sysop = sysop_menu();
    EXPECT_TRUE(contains(type_all(w, sysop, {"V", "ann lee"}), "Two words in her user-ID."));
    EXPECT_TRUE(contains(type_all(w, sysop, {"V", "Ann"}), "No description found."));
    const std::string long_id(200, 'A');
    for (const char* choice : {"V", "A", "D"})
        EXPECT_TRUE(contains(type_all(w, sysop, {choice, long_id}), "No description found")) << choice;
    EXPECT_TRUE(contains(w.type(bob, "/lookup " + long_id), "<NOSUCHP>"));
    EXPECT_TRUE(contains(w.type(bob, "look " + long_id), "There is no player named"));
    EXPECT_EQ(sizeof(DescriptionRecord), tagged_bytes(w, DESC_TAG).size());
}

TEST_F(UserText, LinesFarLongerThanAFieldAreCutToIt) {
    write_registry_line(alice, std::string(1000, 'r'));  // REG_LINEMAX characters kept
    EXPECT_OUT(registry_record("Alia", 0, {std::string(REG_LINEMAX, 'r')}), tagged_bytes(w, REG_TAG));
    // The cut never splits a character; a three-byte one right at the end is kept whole.
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
        EXPECT_EQ(std::string(tagged_bytes(w, REG_TAG).c_str() + 58), cut.stored) << cut.typed;
    }
    // Editor lines are cut to 79, and the text to the editor's size.
    std::vector<std::string> lines(20, std::string(500, 'd'));
    const std::string out = write_description(alice, lines);
    const std::string text(tagged_bytes(w, DESC_TAG).c_str() + 55);
    EXPECT_LE(text.size(), static_cast<size_t>(DESC_TEXTSIZ - 1));
    EXPECT_GE(text.size(), static_cast<size_t>(79 * 9));
    EXPECT_EQ(text.substr(0, 80), std::string(79, 'd') + "\r");
    // The user-ID prompt of the sysop takes a line of the longest length.
    EXPECT_TRUE(contains(type_all(w, sysop_menu(), {"V", std::string(5000, 'u')}), "No description found."));
}

TEST_F(UserText, TypedEscapesAreNotStored) {
    const std::string out = write_description(alice, {"A \x1b[5mblinking\x1b[0m elf\x07."});
    EXPECT_TRUE(contains(out, "<CURDESC A blinking elf.>")) << escape_visible(out);
    write_registry_line(alice, "\x1b]0;title\x07Plain \x1b[1;31mred\x1b[0m");
    EXPECT_OUT(registry_record("Alia", 0, {"Plain red"}), tagged_bytes(w, REG_TAG));
}

} // namespace
