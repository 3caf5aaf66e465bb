// The sysop description menu: viewing, deleting and approving any user's
// description by the user-ID typed.
#include "tests/module/registry_fixture.h"

namespace {

using namespace regtest;

const std::string kRedNote = "\x1b[[\x1b[1;31m| \b \b \b \b]This description has not been validated yet.\r";
const std::string kSysopMenu = "<SYSDMNU><PLSPRMT>";

class Admin : public ::testing::Test {
protected:
    void SetUp() override {
        mark_messages(w);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        ASSERT_TRUE(w.records().empty());
        insert(w, description_record("Alice", "A tall elf.", 0));
        insert(w, registry_record("Alice", 0, {"alice's registry"}));
        insert(w, description_record("Bob", "A short dwarf.", DESC_APPROVED));
        insert(w, description_record("Carol", "Waiting, odd flags.", 0x6));
        insert(w, description_record("Mary Ann", "Two words.", DESC_APPROVED));
        insert(w, description_record("Empty", "", 0));
        insert(w, description_record(std::string(29, 'w'), "Longest.", DESC_APPROVED));
        s = w.login("Sysop");
        main_menu = w.enter(s);
        EXPECT_BYTES(kSysopMenu, w.type(s, "S"));
    }

    std::optional<bbs::Database::Entry> description_of(std::string_view userid) {
        for (auto& entry : w.records())
            if (entry.userid == userid && entry.tag == DESC_TAG) return entry;
        return std::nullopt;
    }

    World w;
    int s = -1;
    std::string main_menu;
};

TEST_F(Admin, ViewShowsTheTextAndMarksPendingOnes) {
    const auto before = w.records();
    const std::string ask = "View which user's description? ";
    EXPECT_BYTES(ask, w.type(s, "v"));
    EXPECT_BYTES(ask, w.type(s, ""));
    EXPECT_EQ((uint32_t)SS_DESC_VIEW, w.user(s)->substate);
    EXPECT_BYTES("A tall elf.\r" + kRedNote + "<PLSPRMT>", w.type(s, "Alice"));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);

    const std::pair<std::string, std::string> answers[] = {
        {"bOB", "A short dwarf.\r"},
        {"Mary Ann", "Two words.\r"},
        {"Mary", "No description found.\r"},
        {"x", "No description found.\r"},
        {"Empty", "No description found.\r"},
        {std::string(29, 'w'), "Longest.\r"},
        {std::string(30, 'w'), "No description found.\r"},
    };
    for (const auto& [typed, shown] : answers) {
        w.type(s, "V");
        EXPECT_BYTES(shown + "<PLSPRMT>", w.type(s, typed)) << typed;
    }

    // Viewing changes nothing.
    const auto after = w.records();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(before[i].bytes, after[i].bytes);
    // After an answer an empty line shows the menu again.
    EXPECT_BYTES(kSysopMenu, w.type(s, ""));
}

TEST_F(Admin, DeleteReportsTheTextAndRemovesOnlyThatRecord) {
    const size_t count = w.records().size();
    const std::string ask = "Delete which user's description? ";
    EXPECT_BYTES(ask, w.type(s, "Delete"));
    EXPECT_BYTES(ask, w.type(s, ""));
    EXPECT_BYTES("Deleting the description for alice:\rA tall elf.\r<PLSPRMT>", w.type(s, "alice"));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
    EXPECT_FALSE(description_of("Alice").has_value());
    EXPECT_EQ(count - 1, w.records().size());
    // His registry is another record.
    EXPECT_EQ(1u, records_tagged(w, REG_TAG).size());

    w.type(s, "D");
    EXPECT_BYTES("No description found for that user.\r<PLSPRMT>", w.type(s, "Alice"));
    w.type(s, "D");
    EXPECT_BYTES("No description found for that user.\r<PLSPRMT>", w.type(s, "Empty"));
    EXPECT_TRUE(description_of("Empty").has_value());
    w.type(s, "D");
    EXPECT_BYTES("No description found for that user.\r<PLSPRMT>", w.type(s, std::string(29, 'w') + "x"));
    EXPECT_EQ(count - 1, w.records().size());

    w.type(s, "D");
    EXPECT_BYTES("Deleting the description for Mary Ann:\rTwo words.\r<PLSPRMT>", w.type(s, "Mary Ann"));
    EXPECT_FALSE(description_of("Mary Ann").has_value());
    EXPECT_EQ(count - 2, w.records().size());
}

TEST_F(Admin, ApproveSetsTheApprovedBitAndKeepsTheRest) {
    const auto carol = description_of("Carol");
    const auto bob = description_of("Bob");
    ASSERT_TRUE(carol && bob);
    const std::string ask = "Approve which user's description? ";
    EXPECT_BYTES(ask, w.type(s, "a"));
    EXPECT_BYTES(ask, w.type(s, ""));
    EXPECT_BYTES("Done.\r<PLSPRMT>", w.type(s, "carol"));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);

    std::string expected = carol->bytes;
    uint32_t flags = 0x7;
    std::memcpy(expected.data() + offsetof(DescriptionRecord, flags), &flags, sizeof(flags));
    auto approved = description_of("Carol");
    ASSERT_TRUE(approved);
    EXPECT_BYTES(expected, approved->bytes);

    w.type(s, "A");
    EXPECT_BYTES("Done.\r<PLSPRMT>", w.type(s, "Bob"));
    EXPECT_EQ(bob->bytes, description_of("Bob")->bytes);
    w.type(s, "A");
    EXPECT_BYTES("No description found.\r<PLSPRMT>", w.type(s, "Nobody"));

    // Only Alice and the empty one still wait.
    EXPECT_BYTES("Press <enter> to stop the listing.\r", w.type_only(s, "L"));
    w.deliver_all();
    EXPECT_BYTES("Alice\nEmpty\n2 descriptions found.\r<PLSPRMT>", w.output(s));
}

TEST_F(Admin, MenuChoices) {
    EXPECT_BYTES(kSysopMenu, w.type(s, ""));
    EXPECT_BYTES(kSysopMenu, w.type(s, "Q"));
    EXPECT_BYTES(kSysopMenu, w.type(s, "7"));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
    EXPECT_BYTES(main_menu, w.type(s, "xit"));
    EXPECT_EQ((uint32_t)SS_MAIN, w.user(s)->substate);
}

} // namespace
