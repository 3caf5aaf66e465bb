// Listings of registries and of descriptions awaiting approval: one record
// of the generic database per cycle status, stopped by any line.
#include "tests/module/registry_fixture.h"

namespace {

using namespace regtest;

const std::string kPress = "Press <enter> to stop the listing.\r";

class Lister : public ::testing::Test {
protected:
    void SetUp() override {
        mark_messages(w);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        ASSERT_TRUE(w.records().empty());
    }

    // Into the registry menu, then at the start-letter prompt.
    int at_letter_prompt(std::string_view userid) {
        int ch = w.login(userid);
        w.enter(ch);
        w.type(ch, "R");
        EXPECT_BYTES("Start listing at what letter (enter='a'):", w.type(ch, "S"));
        return ch;
    }

    int in_sysop_menu() {
        int ch = w.login("Sysop");
        w.enter(ch);
        EXPECT_BYTES("<SYSDMNU><PLSPRMT>", w.type(ch, "S"));
        EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(ch)->substate);
        return ch;
    }

    // One status delivered; what the channel got from it.
    std::string step(int ch) {
        EXPECT_EQ(1u, w.host().pending_statuses());
        EXPECT_TRUE(w.host().deliver_one());
        return w.output(ch);
    }

    World w;
};

TEST_F(Lister, RegistryListingGoesOnPastTheStartLetterOneRecordPerStatus) {
    insert(w, registry_record("Abe", 0, {"abe"}));
    insert(w, registry_record("Alia", 0, {"alia"}));
    insert(w, foreign_record("Bobo", "OTHER_MOD"));
    insert(w, registry_record("Bobo", 0, {}));
    insert(w, description_record("Cara", "pending", 0));
    insert(w, registry_record("Kim", 0, {}, "qrtbkpls_reg"));
    insert(w, registry_record("Mira", 0, {}));
    insert(w, foreign_record("Zed", "QRTBKPLS_REGX"));
    std::string full = registry_record("", 0, {}); // a user-ID filling its field, unterminated
    std::memset(full.data(), 'L', HOST_UIDSIZ);
    insert(w, full);

    int ch = at_letter_prompt("Alice");
    EXPECT_BYTES(kPress, w.type_only(ch, "bob"));
    EXPECT_EQ((uint32_t)SS_REG_LISTING, w.user(ch)->substate);
    EXPECT_BYTES("", step(ch)); // Bobo, another module's record
    EXPECT_BYTES("Bobo\n", step(ch));
    EXPECT_BYTES("", step(ch));      // Cara's description
    EXPECT_BYTES("Kim\n", step(ch)); // the tag compares ignoring case
    EXPECT_BYTES(std::string(HOST_UIDSIZ, 'L') + "\n", step(ch));
    EXPECT_BYTES("Mira\n", step(ch));
    EXPECT_BYTES("<LSTCNT 4><REGPRMT>", step(ch)); // Zed: a look-alike tag, and the end
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);

    // Back in the registry menu: the next line is a menu choice.
    EXPECT_BYTES("<LOOKASK>", w.type(ch, "L"));
}

// A lookup leaves the looked-up registry behind: the listing's start key is
// only the letter typed, never the rest of that name.
TEST_F(Lister, ListingRightAfterALookupStartsAtItsLetter) {
    insert(w, registry_record("Aaron", 0, {}));
    insert(w, registry_record("Alia", 0, {"alia"}));
    int ch = w.login("Alice");
    w.enter(ch);
    w.type(ch, "R");
    EXPECT_BYTES("<LOOKASK>", w.type(ch, "L"));
    EXPECT_NE(std::string::npos, w.type(ch, "Alia").find("<REGLAB1>: alia\r"));
    EXPECT_BYTES(kRegistryMenu, w.type(ch, ""));
    w.type(ch, "S");
    EXPECT_BYTES(kPress, w.type_only(ch, "a"));
    EXPECT_BYTES("Aaron\n", step(ch));
    EXPECT_BYTES("Alia\n<LSTCNT 2><REGPRMT>", step(ch));
}

TEST_F(Lister, EmptyLineStartsAtAAndTheLastRecordEndsTheListing) {
    insert(w, registry_record("0first", 0, {}));
    insert(w, registry_record("Alia", 0, {}));
    insert(w, registry_record("bobo", 0, {}));
    insert(w, registry_record("Cara", 0, {}));
    int ch = at_letter_prompt("Alice");
    EXPECT_BYTES(kPress, w.type_only(ch, ""));
    EXPECT_BYTES("Alia\n", step(ch));
    EXPECT_BYTES("bobo\n", step(ch));
    EXPECT_BYTES("Cara\n<LSTCNT 3><REGPRMT>", step(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());
}

TEST_F(Lister, NothingAtOrAfterTheStartKey) {
    insert(w, registry_record("Alia", 0, {}));
    int ch = at_letter_prompt("Alice");
    EXPECT_BYTES("<LSTNONE><REGPRMT>", w.type_only(ch, "Zz"));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
    EXPECT_BYTES(kRegistryMenu, w.type(ch, ""));

    // Only records of other kinds after the start: the listing runs and
    // finds nothing.
    insert(w, foreign_record("Yves", "OTHER_MOD"));
    insert(w, description_record("Zack", "pending", 0));
    w.type(ch, "S");
    EXPECT_BYTES(kPress, w.type_only(ch, "y"));
    EXPECT_BYTES("", step(ch));
    EXPECT_BYTES("<LSTNONE><REGPRMT>", step(ch));
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
}

TEST_F(Lister, AnyLineStopsTheListingAndTheStatusOnItsWayPrintsNothing) {
    for (const char* name : {"Alia", "Bobo", "Cara", "Dora"}) insert(w, registry_record(name, 0, {}));
    int ch = at_letter_prompt("Alice");
    w.type_only(ch, "a");
    EXPECT_BYTES("Alia\n", step(ch));
    EXPECT_BYTES("Bobo\n", step(ch));
    EXPECT_BYTES("<LSTCNT 2><REGPRMT>", w.type_only(ch, ""));
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
    EXPECT_EQ(1u, w.host().pending_statuses());
    EXPECT_TRUE(w.host().deliver_one());
    EXPECT_BYTES("", w.output(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());

    // Stopped before the first step: a zero count. A line beginning with X
    // stops it too (it is no way back to the main menu here).
    w.type(ch, "S");
    EXPECT_BYTES(kPress, w.type_only(ch, "c"));
    EXPECT_BYTES("<LSTNONE><REGPRMT>", w.type_only(ch, "x stops it too"));
    EXPECT_TRUE(w.host().deliver_one());
    EXPECT_BYTES("", w.output(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_BYTES("<BADCHC><REGPRMT>", w.type(ch, "Q"));
}

TEST_F(Lister, RecordDeletedBetweenTwoStepsEndsTheListing) {
    for (const char* name : {"Alia", "Bobo", "Cara"}) insert(w, registry_record(name, 0, {}));
    int ch = at_letter_prompt("Alice");
    w.type_only(ch, "");
    EXPECT_BYTES("Alia\n", step(ch));
    // The next step would read Bobo's record; it goes first.
    for (auto& entry : w.records())
        if (entry.userid == "Bobo") ASSERT_TRUE(w.host().database().erase_generic(entry.position));
    EXPECT_BYTES("<LSTCNT 1><REGPRMT>", step(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
}

TEST_F(Lister, DescriptionListingNamesOnlyPendingDescriptionsFromA) {
    insert(w, description_record("0early", "before the start key", 0));
    insert(w, description_record("Alice", "pending one", 0));
    insert(w, registry_record("Alice", 0, {}));
    insert(w, description_record("Bob", "approved", DESC_APPROVED));
    insert(w, description_record("Carol", "other bits only", 0x6));
    insert(w, description_record("Dave", "approved, other bits", 0x7));
    insert(w, description_record("Eve", "pending", 0));
    int s = in_sysop_menu();
    EXPECT_BYTES(kPress, w.type_only(s, "L"));
    EXPECT_EQ((uint32_t)SS_DESC_LISTING, w.user(s)->substate);
    std::string got;
    size_t steps = 0;
    while (w.host().deliver_one()) {
        steps++;
        got += w.output(s);
    }
    // Alice's two records, Bob, Carol, Dave, Eve: one status each.
    EXPECT_EQ(6u, steps);
    EXPECT_BYTES("Alice\nCarol\nEve\n3 descriptions found.\r<PLSPRMT>", got);
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
    EXPECT_BYTES("<SYSDMNU><PLSPRMT>", w.type(s, ""));
}

TEST_F(Lister, DescriptionListingFindingNothing) {
    int s = in_sysop_menu();
    EXPECT_BYTES("No descriptions found!\r<PLSPRMT>", w.type_only(s, "list"));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);

    insert(w, description_record("Bob", "approved", DESC_APPROVED));
    insert(w, registry_record("Bobo", 0, {}));
    EXPECT_BYTES(kPress, w.type_only(s, "L"));
    EXPECT_BYTES("", step(s));
    EXPECT_BYTES("No descriptions found!\r<PLSPRMT>", step(s));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
}

TEST_F(Lister, DescriptionListingStoppedByALine) {
    insert(w, description_record("Alice", "pending", 0));
    insert(w, description_record("Bob", "pending", 0));
    insert(w, description_record("Carol", "pending", 0));
    int s = in_sysop_menu();
    w.type_only(s, "L");
    EXPECT_BYTES("Alice\n", step(s));
    EXPECT_BYTES("1 descriptions found.\r<PLSPRMT>", w.type_only(s, ""));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
    EXPECT_TRUE(w.host().deliver_one());
    EXPECT_BYTES("", w.output(s));
    EXPECT_EQ(0u, w.host().pending_statuses());

    w.type_only(s, "L");
    EXPECT_BYTES("No descriptions found!\r<PLSPRMT>", w.type_only(s, "x"));
    w.deliver_all();
    EXPECT_BYTES("", w.output(s));
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
}

TEST_F(Lister, TwoListingsRunTogetherWhileAThirdUserWrites) {
    insert(w, registry_record("Alia", 0, {}));
    insert(w, description_record("Alice", "pending", 0));
    insert(w, description_record("Bob", "approved", DESC_APPROVED));
    insert(w, registry_record("Bobo", 0, {}));
    insert(w, description_record("Carol", "pending", 0));

    int carol = w.login("Carol");
    w.enter(carol);
    w.type(carol, "R");
    int a = at_letter_prompt("Alice");
    int s = in_sysop_menu();

    EXPECT_BYTES(kPress, w.type_only(a, ""));
    EXPECT_BYTES(kPress, w.type_only(s, "L"));
    ASSERT_EQ(2u, w.host().pending_statuses());
    ASSERT_TRUE(w.host().deliver_one()); // Alice's listing: Alia
    ASSERT_TRUE(w.host().deliver_one()); // the sysop's: Alia's registry, passed over

    // Carol stores a registry while both listings run.
    w.type_only(carol, "E");
    w.type_only(carol, "1");
    w.type_only(carol, "cara's line");
    EXPECT_BYTES(kRegistryMenu, w.type_only(carol, "x"));
    ASSERT_EQ(2u, w.host().pending_statuses());

    size_t steps = 2;
    while (w.host().deliver_one()) steps++;
    // Each listing read Alia, Alice, Bob, Bobo, Cara and Carol once.
    EXPECT_EQ(12u, steps);
    EXPECT_BYTES("Alia\nBobo\nCara\n<LSTCNT 3><REGPRMT>", w.output(a));
    EXPECT_BYTES("Alice\nCarol\n2 descriptions found.\r<PLSPRMT>", w.output(s));
    EXPECT_BYTES("", w.output(carol));
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(a)->substate);
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
}

} // namespace
