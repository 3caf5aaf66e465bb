// The registry menu and editor: a player edits his own registry field by field, stores or drops it; a sysop removes.
#include "tests/module/fixture.h"

namespace {

using namespace modtest;

class Registry : public PlusTest {
protected:
    int open_registry(std::string_view userid, const std::string& menu = kRegistryMenu) {
        int ch = w.login(userid);
        EXPECT_GE(ch, 0);
        main_menu = w.enter(ch);
        EXPECT_OUT(menu, w.type(ch, "R"));
        return ch;
    }

    std::string main_menu;
};

TEST_F(Registry, FirstSaveInsertsAndLaterSavesUpdateTheOneRecord) {
    int ch = open_registry("Alice");
    EXPECT_OUT("Current registry settings:\r" + editing_view({}, 0) + "<REGEPMT>", w.type(ch, "E"));
    EXPECT_OUT("<REGASK3>: ", w.type(ch, "3"));
    EXPECT_OUT(editing_view({"", "", "hello there"}, 0) + "<REGEPMT>", w.type(ch, "hello there"));
    EXPECT_TRUE(w.records().empty()) << "nothing is stored before the editor is left with X";

    EXPECT_OUT(kRegistryMenu, w.type(ch, "x"));
    // Keyed by the player's name in the game, not by his account.
    EXPECT_OUT(registry_record("Alia", 0, {"", "", "hello there"}), tagged_bytes(w, REG_TAG));

    EXPECT_OUT("Current registry settings:\r" + editing_view({"", "", "hello there"}, 0) + "<REGEPMT>",
                 w.type(ch, "edit"));
    EXPECT_OUT("<REGASK11>: ", w.type(ch, "11"));
    EXPECT_OUT(editing_view({"", "", "hello there"}, 30) + "<REGEPMT>", w.type(ch, "30"));
    EXPECT_OUT("<REGASK1>: ", w.type(ch, "1"));
    EXPECT_OUT(kRegistryMenu, type_all(w, ch, {"first line", "X"}));

    EXPECT_OUT(registry_record("Alia", 30, {"first line", "", "hello there"}), tagged_bytes(w, REG_TAG));
    EXPECT_EQ(1u, w.records().size());

    // A second player gets a record of his own; the first one's stays.
    int bob = open_registry("Bob");
    type_all(w, bob, {"E", "2", "bob was here", "x"});
    EXPECT_OUT(
        registry_record("Alia", 30, {"first line", "", "hello there"}) + registry_record("Bobo", 0, {"", "bob was here"}),
        tagged_bytes(w, REG_TAG));
}

TEST_F(Registry, QuitDropsTheChangesAndXStoresThem) {
    insert(w, registry_record("Alia", 21, {"one", "two"}));
    int ch = open_registry("Alice");
    EXPECT_OUT("Current registry settings:\r" + editing_view({"one", "two"}, 21) + "<REGEPMT>", w.type(ch, "E"));
    EXPECT_OUT(editing_view({"changed", "two"}, 21) + "<REGEPMT>", type_all(w, ch, {"1", "changed"}));
    EXPECT_OUT(kRegistryMenu, w.type(ch, "quit"));
    EXPECT_OUT(registry_record("Alia", 21, {"one", "two"}), tagged_bytes(w, REG_TAG));

    // The next E reloads the stored values, not the dropped ones.
    EXPECT_OUT("Current registry settings:\r" + editing_view({"one", "two"}, 21) + "<REGEPMT>", w.type(ch, "e"));
    EXPECT_OUT(kRegistryMenu, type_all(w, ch, {"2", "kept", "xyz"}));
    EXPECT_OUT(registry_record("Alia", 21, {"one", "kept"}), tagged_bytes(w, REG_TAG));
}

TEST_F(Registry, EditorCutsLongLinesAndALoneFullStopClears) {
    insert(w, registry_record("Alia", 0, {"", "line two", "", "line four"}));
    int ch = open_registry("Alice");
    w.type(ch, "E");

    std::string long_line;
    for (int i = 0; i < 75; i++) long_line += (char)('a' + i % 26);
    EXPECT_OUT(editing_view({"", "line two", "", "line four", long_line.substr(0, 60)}, 0) + "<REGEPMT>",
                 type_all(w, ch, {"5", long_line}));
    EXPECT_OUT(editing_view({"", "", "", "line four", long_line.substr(0, 60)}, 0) + "<REGEPMT>",
               type_all(w, ch, {"2", "."}));

    type_all(w, ch, {"6", ". ."});
    EXPECT_OUT("<REGASK4>: ", w.type(ch, "4"));  // an empty line leaves the field as it was
    EXPECT_OUT(editing_view({"", "", "", "line four", long_line.substr(0, 60), ". ."}, 0) + "<REGEPMT>",
                 w.type(ch, ""));

    EXPECT_OUT(kRegistryMenu, type_all(w, ch, {"8", "X marks  it", "x"}));  // blanks kept; a line may begin with X
    EXPECT_OUT(registry_record("Alia", 0, {"", "", "", "line four", long_line.substr(0, 60), ". .", "", "X marks  it"}),
               tagged_bytes(w, REG_TAG));
}

TEST_F(Registry, AgeFieldStoresNumbersClampsAndTreatsTextAsNoAge) {
    insert(w, registry_record("Alia", 25, {}));
    int ch = open_registry("Alice");
    w.type(ch, "E");

    struct Case {
        const char* typed;
        int16_t stored;
    } cases[] = {{"-5", -5},        {"abc", 0},         {"40000", 32767}, {"-40000", -32768},
                 {"32767", 32767},  {"-32768", -32768}, {"99999999999999999999", 32767}, {"44", 44}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_OUT("<REGASK11>: ", w.type(ch, "11"));
        EXPECT_OUT(editing_view({}, c.stored) + "<REGEPMT>", w.type(ch, c.typed));
    }
    EXPECT_OUT(editing_view({}, 0) + "<REGEPMT>", type_all(w, ch, {"11", "."}));  // the default rule applies again
    type_all(w, ch, {"11", "-40000", "x"});
    EXPECT_OUT(registry_record("Alia", -32768, {}), tagged_bytes(w, REG_TAG));
}

TEST_F(Registry, FieldChoiceTakesOnlyNumbersOneToEleven) {
    int ch = open_registry("Alice");
    w.type(ch, "E");
    for (const char* bad : {"0", "12", "-3", "E", "?"}) {
        SCOPED_TRACE(bad);
        EXPECT_OUT("<BADCHC>", w.type(ch, bad));
    }
    EXPECT_OUT(editing_view({}, 0) + "<REGEPMT>", w.type(ch, ""));
    EXPECT_OUT("<REGASK3>: ", w.type(ch, "3 4"));
    EXPECT_OUT("<REGASK7>: ", type_all(w, ch, {"three", "07"}));
    EXPECT_OUT(editing_view({"", "", "three", "", "", "", "seven"}, 0) + "<REGEPMT>", w.type(ch, "seven"));
    EXPECT_OUT("<REGASK10>: ", w.type(ch, "10"));
    EXPECT_OUT(kRegistryMenu, type_all(w, ch, {"ten", "X"}));
    EXPECT_OUT(registry_record("Alia", 0, {"", "", "three", "", "", "", "seven", "", "", "ten"}),
               tagged_bytes(w, REG_TAG));
}

TEST_F(Registry, PlayerUnknownToTheGameEditsButStoresNothing) {
    int ch = open_registry("Sysop", kSysopRegistryMenu);
    EXPECT_OUT("Current registry settings:\r" + editing_view({}, 0) + "<REGEPMT>", w.type(ch, "E"));
    EXPECT_OUT(editing_view({"no character"}, 0) + "<REGEPMT>", type_all(w, ch, {"1", "no character"}));
    EXPECT_OUT(kSysopRegistryMenu, w.type(ch, "x"));
    EXPECT_TRUE(w.records().empty());
}

// Only sysops remove registries: R is no choice for others.
TEST_F(Registry, MenuChoicesAndLeavingToTheMainMenu) {
    int ch = open_registry("Alice");
    EXPECT_OUT(kRegistryMenu, w.type(ch, ""));
    EXPECT_OUT("<LOOKASK>", w.type(ch, "look"));
    EXPECT_OUT(kRegistryMenu, w.type(ch, "x"));
    EXPECT_OUT("Start listing at what letter (enter='a'):", w.type(ch, "s"));
    EXPECT_OUT("<LSTNONE><REGPRMT>", w.type(ch, ""));
    insert(w, registry_record("Alia", 0, {"alia's"}));
    for (const char* bad : {"Zebra", "1", "R", "remove Alia"})
        EXPECT_OUT("<BADCHC><REGPRMT>", w.type(ch, bad)) << bad;
    EXPECT_EQ(1u, records_tagged(w, REG_TAG).size());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
    EXPECT_SCREEN(w, ch, SS_MAIN, main_menu, w.type(ch, "X"));
    EXPECT_OUT(kRegistryMenu, w.type(ch, "R"));
}

TEST_F(Registry, SysopRemovesByTheWholeLineTyped) {
    const std::string longest(29, 'q'); // a user-ID that fills the field
    insert(w, {registry_record("Alia", 0, {"alia's"}), registry_record("Bobo", 0, {"bobo's"}),
               registry_record(longest, 0, {"longest"}), description_record("Alia", "a description", DESC_APPROVED)});
    const size_t before = w.records().size();

    int ch = open_registry("Sysop", kSysopRegistryMenu);
    EXPECT_OUT("<REMASK>", w.type(ch, "r"));
    EXPECT_OUT(kSysopRegistryMenu, w.type(ch, "X"));
    EXPECT_OUT(kSysopRegistryMenu, type_all(w, ch, {"R", ""}));
    // Several words are one user-ID, even when the first is x; a line too long for the field matches nobody.
    for (const std::string& typed : {std::string("x Alia"), longest + "Z"}) {
        EXPECT_OUT("Removed custom registry for " + typed + "\n<REGPRMT>", type_all(w, ch, {"R", typed}));
        EXPECT_EQ(before, w.records().size());
    }
    // Letter case is the host's key comparison; the confirmation echoes the line.
    EXPECT_SCREEN(w, ch, SS_REGISTRY, "Removed custom registry for ALIA\n<REGPRMT>", type_all(w, ch, {"R", "ALIA"}));
    auto left = w.records();
    ASSERT_EQ(before - 1, left.size());
    for (auto& entry : left) EXPECT_FALSE(entry.userid == "Alia" && entry.tag == REG_TAG);
    EXPECT_EQ(1u, records_tagged(w, DESC_TAG).size());  // the description of the same name is no registry
    EXPECT_OUT("Removed custom registry for " + longest + "\n<REGPRMT>", type_all(w, ch, {"R", longest}));
    EXPECT_EQ(before - 2, w.records().size());
    // Nobody of that name: the same confirmation, nothing changes.
    EXPECT_OUT("Removed custom registry for Nobody\n<REGPRMT>", type_all(w, ch, {"R", "Nobody"}));
    EXPECT_OUT(registry_record("Bobo", 0, {"bobo's"}), tagged_bytes(w, REG_TAG));
}

} // namespace
