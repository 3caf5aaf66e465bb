// The registry menu and editor: a player edits his own registry field by
// field, stores or drops it, and a sysop removes registries.
#include "tests/module/registry_fixture.h"

namespace {

using namespace regtest;

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        mark_messages(w);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        ASSERT_TRUE(w.records().empty());
    }

    // Logs the user on and takes him into the registry menu.
    int open_registry(std::string_view userid, const std::string& menu = kRegistryMenu) {
        int ch = w.login(userid);
        EXPECT_GE(ch, 0);
        main_menu = w.enter(ch);
        EXPECT_BYTES(menu, w.type(ch, "R"));
        return ch;
    }

    World w;
    std::string main_menu;
};

TEST_F(Registry, FirstSaveInsertsAndLaterSavesUpdateTheOneRecord) {
    int ch = open_registry("Alice");
    EXPECT_BYTES("Current registry settings:\r" + editing_view({}, 0) + "<REGEPMT>", w.type(ch, "E"));
    EXPECT_BYTES("<REGASK3>: ", w.type(ch, "3"));
    EXPECT_BYTES(editing_view({"", "", "hello there"}, 0) + "<REGEPMT>", w.type(ch, "hello there"));
    EXPECT_TRUE(w.records().empty()) << "nothing is stored before the editor is left with X";

    EXPECT_BYTES(kRegistryMenu, w.type(ch, "x"));
    auto stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    // Keyed by the player's name in the game, not by his account.
    EXPECT_EQ("Alia", stored[0].userid);
    EXPECT_BYTES(registry_record("Alia", 0, {"", "", "hello there"}), stored[0].bytes);

    EXPECT_BYTES("Current registry settings:\r" + editing_view({"", "", "hello there"}, 0) + "<REGEPMT>",
                 w.type(ch, "edit"));
    EXPECT_BYTES("<REGASK11>: ", w.type(ch, "11"));
    EXPECT_BYTES(editing_view({"", "", "hello there"}, 30) + "<REGEPMT>", w.type(ch, "30"));
    EXPECT_BYTES("<REGASK1>: ", w.type(ch, "1"));
    w.type(ch, "first line");
    EXPECT_BYTES(kRegistryMenu, w.type(ch, "X"));

    stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_BYTES(registry_record("Alia", 30, {"first line", "", "hello there"}), stored[0].bytes);
    EXPECT_EQ(1u, w.records().size());

    // A second player gets a record of his own; the first one's stays.
    int bob = open_registry("Bob");
    w.type(bob, "E");
    w.type(bob, "2");
    w.type(bob, "bob was here");
    w.type(bob, "x");
    stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(2u, stored.size());
    EXPECT_BYTES(registry_record("Alia", 30, {"first line", "", "hello there"}), stored[0].bytes);
    EXPECT_BYTES(registry_record("Bobo", 0, {"", "bob was here"}), stored[1].bytes);
}

TEST_F(Registry, QuitDropsTheChangesAndXStoresThem) {
    insert(w, registry_record("Alia", 21, {"one", "two"}));
    int ch = open_registry("Alice");
    EXPECT_BYTES("Current registry settings:\r" + editing_view({"one", "two"}, 21) + "<REGEPMT>", w.type(ch, "E"));
    w.type(ch, "1");
    EXPECT_BYTES(editing_view({"changed", "two"}, 21) + "<REGEPMT>", w.type(ch, "changed"));
    EXPECT_BYTES(kRegistryMenu, w.type(ch, "quit"));
    auto stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_BYTES(registry_record("Alia", 21, {"one", "two"}), stored[0].bytes);

    // The next E reloads the stored values, not the dropped ones.
    EXPECT_BYTES("Current registry settings:\r" + editing_view({"one", "two"}, 21) + "<REGEPMT>", w.type(ch, "e"));
    w.type(ch, "2");
    w.type(ch, "kept");
    EXPECT_BYTES(kRegistryMenu, w.type(ch, "xyz"));
    stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_BYTES(registry_record("Alia", 21, {"one", "kept"}), stored[0].bytes);
}

TEST_F(Registry, EditorCutsLongLinesAndALoneFullStopClears) {
    insert(w, registry_record("Alia", 0, {"", "line two", "", "line four"}));
    int ch = open_registry("Alice");
    w.type(ch, "E");

    std::string long_line;
    for (int i = 0; i < 75; i++) long_line += (char)('a' + i % 26);
    w.type(ch, "5");
    EXPECT_BYTES(editing_view({"", "line two", "", "line four", long_line.substr(0, 60)}, 0) + "<REGEPMT>",
                 w.type(ch, long_line));

    w.type(ch, "2");
    EXPECT_BYTES(editing_view({"", "", "", "line four", long_line.substr(0, 60)}, 0) + "<REGEPMT>", w.type(ch, "."));

    w.type(ch, "6");
    w.type(ch, ". .");

    // An empty line leaves the field as it was.
    EXPECT_BYTES("<REGASK4>: ", w.type(ch, "4"));
    EXPECT_BYTES(editing_view({"", "", "", "line four", long_line.substr(0, 60), ". ."}, 0) + "<REGEPMT>",
                 w.type(ch, ""));

    // Words and their blanks are kept whole.
    w.type(ch, "8");
    w.type(ch, "two  words");

    EXPECT_BYTES(kRegistryMenu, w.type(ch, "x"));
    auto stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_BYTES(
        registry_record("Alia", 0, {"", "", "", "line four", long_line.substr(0, 60), ". .", "", "two  words"}),
        stored[0].bytes);
}

TEST_F(Registry, AgeFieldStoresNumbersClampsAndTreatsTextAsNoAge) {
    insert(w, registry_record("Alia", 25, {}));
    int ch = open_registry("Alice");
    w.type(ch, "E");

    struct Case {
        const char* typed;
        int16_t stored;
    } cases[] = {
        {"-5", -5},
        {"abc", 0},
        {"40000", 32767},
        {"-40000", -32768},
        {"32767", 32767},
        {"-32768", -32768},
        {"99999999999999999999", 32767},
        {"44", 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_BYTES("<REGASK11>: ", w.type(ch, "11"));
        EXPECT_BYTES(editing_view({}, c.stored) + "<REGEPMT>", w.type(ch, c.typed));
    }
    // A lone full stop clears the age: the default rule applies again.
    w.type(ch, "11");
    EXPECT_BYTES(editing_view({}, 0) + "<REGEPMT>", w.type(ch, "."));
    w.type(ch, "11");
    w.type(ch, "-40000");
    w.type(ch, "x");
    auto stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ(-32768, as_registry(stored[0])->age);
}

TEST_F(Registry, FieldChoiceTakesOnlyNumbersOneToEleven) {
    int ch = open_registry("Alice");
    w.type(ch, "E");
    for (const char* bad : {"0", "12", "-3", "E", "?"}) {
        SCOPED_TRACE(bad);
        EXPECT_BYTES("<BADCHC>", w.type(ch, bad));
    }
    EXPECT_BYTES(editing_view({}, 0) + "<REGEPMT>", w.type(ch, ""));
    EXPECT_BYTES("<REGASK3>: ", w.type(ch, "3 4"));
    w.type(ch, "three");
    EXPECT_BYTES("<REGASK7>: ", w.type(ch, "07"));
    EXPECT_BYTES(editing_view({"", "", "three", "", "", "", "seven"}, 0) + "<REGEPMT>", w.type(ch, "seven"));
    EXPECT_BYTES("<REGASK10>: ", w.type(ch, "10"));
    w.type(ch, "ten");
    EXPECT_BYTES(kRegistryMenu, w.type(ch, "X"));
    auto stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_BYTES(registry_record("Alia", 0, {"", "", "three", "", "", "", "seven", "", "", "ten"}), stored[0].bytes);
}

TEST_F(Registry, PlayerUnknownToTheGameEditsButStoresNothing) {
    // The sysop account has no character in the game.
    int ch = open_registry("Sysop", kSysopRegistryMenu);
    EXPECT_BYTES("Current registry settings:\r" + editing_view({}, 0) + "<REGEPMT>", w.type(ch, "E"));
    w.type(ch, "1");
    EXPECT_BYTES(editing_view({"no character"}, 0) + "<REGEPMT>", w.type(ch, "no character"));
    EXPECT_BYTES(kSysopRegistryMenu, w.type(ch, "x"));
    EXPECT_TRUE(w.records().empty());
}

// Only sysops remove registries: R is no choice for others.
TEST_F(Registry, MenuChoicesAndLeavingToTheMainMenu) {
    int ch = open_registry("Alice");
    EXPECT_BYTES(kRegistryMenu, w.type(ch, ""));
    EXPECT_BYTES("<LOOKASK>", w.type(ch, "look"));
    EXPECT_BYTES(kRegistryMenu, w.type(ch, "x"));
    EXPECT_BYTES("Start listing at what letter (enter='a'):", w.type(ch, "s"));
    EXPECT_BYTES("<LSTNONE><REGPRMT>", w.type(ch, ""));
    insert(w, registry_record("Alia", 0, {"alia's"}));
    for (const char* bad : {"Zebra", "1", "R", "remove Alia"})
        EXPECT_BYTES("<BADCHC><REGPRMT>", w.type(ch, bad)) << bad;
    EXPECT_EQ(1u, records_tagged(w, REG_TAG).size());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
    EXPECT_BYTES(main_menu, w.type(ch, "X"));
    EXPECT_EQ((uint32_t)SS_MAIN, w.user(ch)->substate);
    EXPECT_BYTES(kRegistryMenu, w.type(ch, "R"));
}

TEST_F(Registry, SysopRemovesByTheWholeLineTyped) {
    const std::string longest(29, 'q'); // a user-ID that fills the field
    insert(w, registry_record("Alia", 0, {"alia's"}));
    insert(w, registry_record("Bobo", 0, {"bobo's"}));
    insert(w, registry_record(longest, 0, {"longest"}));
    insert(w, description_record("Alia", "a description", DESC_APPROVED));
    const size_t before = w.records().size();

    int ch = open_registry("Sysop", kSysopRegistryMenu);
    EXPECT_BYTES("<REMASK>", w.type(ch, "r"));
    EXPECT_BYTES(kSysopRegistryMenu, w.type(ch, "X"));
    w.type(ch, "R");
    EXPECT_BYTES(kSysopRegistryMenu, w.type(ch, ""));
    EXPECT_EQ(before, w.records().size());

    // Several words are one user-ID, even when the first is x.
    w.type(ch, "R");
    EXPECT_BYTES("Removed custom registry for x Alia\n<REGPRMT>", w.type(ch, "x Alia"));
    EXPECT_EQ(before, w.records().size());

    // Too long for the user-ID field: matches nobody, not even the record
    // its first 29 characters would name.
    w.type(ch, "R");
    EXPECT_BYTES("Removed custom registry for " + longest + "Z\n<REGPRMT>", w.type(ch, longest + "Z"));
    EXPECT_EQ(before, w.records().size());

    // Letter case is the host's key comparison; the confirmation echoes the line.
    w.type(ch, "R");
    EXPECT_BYTES("Removed custom registry for ALIA\n<REGPRMT>", w.type(ch, "ALIA"));
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
    auto left = w.records();
    ASSERT_EQ(before - 1, left.size());
    for (auto& entry : left) EXPECT_FALSE(entry.userid == "Alia" && entry.tag == REG_TAG);
    // The description of the same name is not a registry.
    EXPECT_EQ(1u, records_tagged(w, DESC_TAG).size());

    w.type(ch, "R");
    EXPECT_BYTES("Removed custom registry for " + longest + "\n<REGPRMT>", w.type(ch, longest));
    EXPECT_EQ(before - 2, w.records().size());

    // Nobody of that name: the same confirmation, nothing changes.
    w.type(ch, "R");
    EXPECT_BYTES("Removed custom registry for Nobody\n<REGPRMT>", w.type(ch, "Nobody"));
    auto stored = records_tagged(w, REG_TAG);
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ("Bobo", stored[0].userid);
}

} // namespace
