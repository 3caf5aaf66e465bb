// The sysop description menu: viewing, deleting and approving any user's description by the user-ID typed.
#include "tests/module/fixture.h"

namespace {

using namespace modtest;

const std::string kRedNote = "\x1b[[\x1b[1;31m| \b \b \b \b]This description has not been validated yet.\r";
const std::string kSysopMenu = "<SYSDMNU><PLSPRMT>";

class Admin : public PlusTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PlusTest::SetUp());
        insert(w, {description_record("Alice", "A tall elf.", 0), registry_record("Alice", 0, {"alice's registry"}),
              description_record("Bob", "A short dwarf.", DESC_APPROVED),
              description_record("Carol", "Waiting, odd flags.", 0x6),
              description_record("Mary Ann", "Two words.", DESC_APPROVED), description_record("Empty", "", 0),
              description_record(std::string(29, 'w'), "Longest.", DESC_APPROVED)});
        s = w.login("Sysop");
        main_menu = w.enter(s);
        EXPECT_OUT(kSysopMenu, w.type(s, "S"));
    }

    std::optional<bbs::Database::Entry> description_of(std::string_view userid) {
        for (auto& entry : w.records())
            if (entry.userid == userid && entry.tag == DESC_TAG) return entry;
        return std::nullopt;
    }

    int s = -1;
    std::string main_menu;
};

TEST_F(Admin, ViewShowsTheTextAndMarksPendingOnes) {
    const auto before = w.records();
    const std::string ask = "View which user's description? ";
    EXPECT_OUT(ask, w.type(s, "v"));
    EXPECT_SCREEN(w, s, SS_DESC_VIEW, ask, w.type(s, ""));
    EXPECT_SCREEN(w, s, SS_SYSDESC, "A tall elf.\r" + kRedNote + "<PLSPRMT>", w.type(s, "Alice"));

    const std::string none = "No description found.\r";
    const std::pair<std::string, std::string> answers[] = {
        {"bOB", "A short dwarf.\r"}, {"Mary Ann", "Two words.\r"}, {"Mary", none}, {"x", none}, {"Empty", none},
        {std::string(29, 'w'), "Longest.\r"}, {std::string(30, 'w'), none},
    };
    for (const auto& [typed, shown] : answers) EXPECT_OUT(shown + "<PLSPRMT>", type_all(w, s, {"V", typed})) << typed;
    // Viewing changes nothing.
    const auto after = w.records();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(before[i].bytes, after[i].bytes);
    // After an answer an empty line shows the menu again.
    EXPECT_OUT(kSysopMenu, w.type(s, ""));
}

TEST_F(Admin, DeleteReportsTheTextAndRemovesOnlyThatRecord) {
    const size_t count = w.records().size();
    const std::string ask = "Delete which user's description? ";
    EXPECT_OUT(ask, w.type(s, "Delete"));
    EXPECT_OUT(ask, w.type(s, ""));
    EXPECT_SCREEN(w, s, SS_SYSDESC, "Deleting the description for alice:\rA tall elf.\r<PLSPRMT>", w.type(s, "alice"));
    EXPECT_FALSE(description_of("Alice").has_value());
    EXPECT_EQ(count - 1, w.records().size());
    EXPECT_EQ(1u, records_tagged(w, REG_TAG).size());  // his registry is another record
    for (const std::string& typed : {std::string("Alice"), std::string("Empty"), std::string(29, 'w') + "x"})
        EXPECT_OUT("No description found for that user.\r<PLSPRMT>", type_all(w, s, {"D", typed})) << typed;
    EXPECT_TRUE(description_of("Empty").has_value());
    EXPECT_EQ(count - 1, w.records().size());
    EXPECT_OUT("Deleting the description for Mary Ann:\rTwo words.\r<PLSPRMT>", type_all(w, s, {"D", "Mary Ann"}));
    EXPECT_FALSE(description_of("Mary Ann").has_value());
    EXPECT_EQ(count - 2, w.records().size());

    insert(w, description_record("Xena", "A warrior.", DESC_APPROVED));  // an ID beginning with X is an answer
    EXPECT_OUT("Deleting the description for Xena:\rA warrior.\r<PLSPRMT>", type_all(w, s, {"D", "Xena"}));
    EXPECT_FALSE(description_of("Xena").has_value());
}

TEST_F(Admin, ApproveSetsTheApprovedBitAndKeepsTheRest) {
    const auto carol = description_of("Carol");
    const auto bob = description_of("Bob");
    ASSERT_TRUE(carol && bob);
    const std::string ask = "Approve which user's description? ";
    EXPECT_OUT(ask, w.type(s, "a"));
    EXPECT_OUT(ask, w.type(s, ""));
    EXPECT_SCREEN(w, s, SS_SYSDESC, "Done.\r<PLSPRMT>", w.type(s, "carol"));

    std::string expected = carol->bytes;
    uint32_t flags = 0x7;
    std::memcpy(expected.data() + offsetof(DescriptionRecord, flags), &flags, sizeof(flags));
    auto approved = description_of("Carol");
    ASSERT_TRUE(approved);
    EXPECT_OUT(expected, approved->bytes);

    EXPECT_OUT("Done.\r<PLSPRMT>", type_all(w, s, {"A", "Bob"}));
    EXPECT_EQ(bob->bytes, description_of("Bob")->bytes);
    EXPECT_OUT("No description found.\r<PLSPRMT>", type_all(w, s, {"A", "Nobody"}));
    // Only Alice and the empty one still wait.
    EXPECT_OUT("Press <enter> to stop the listing.\r", w.type_only(s, "L"));
    w.deliver_all();
    EXPECT_OUT("Alice\nEmpty\n2 descriptions found.\r<PLSPRMT>", w.output(s));
}

TEST_F(Admin, MenuChoices) {
    for (const char* line : {"", "Q", "7"}) EXPECT_OUT(kSysopMenu, w.type(s, line)) << line;
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
    EXPECT_SCREEN(w, s, SS_MAIN, main_menu, w.type(s, "xit"));
}

} // namespace
