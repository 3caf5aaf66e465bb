// Listings of registries and of descriptions awaiting approval: one record per cycle status, stopped by any line.
#include "tests/module/fixture.h"

namespace {

using namespace modtest;

const std::string kPress = "Press <enter> to stop the listing.\r";

class Lister : public PlusTest {
protected:
    int at_letter_prompt(std::string_view userid) {
        int ch = enter_as(w, userid);
        EXPECT_OUT("Start listing at what letter (enter='a'):", type_all(w, ch, {"R", "S"}));
        return ch;
    }

    int in_sysop_menu() {
        int ch = enter_as(w, "Sysop");
        EXPECT_SCREEN(w, ch, SS_SYSDESC, "<SYSDMNU><PLSPRMT>", w.type(ch, "S"));
        return ch;
    }

    std::string step(int ch) {
        EXPECT_EQ(1u, w.host().pending_statuses());
        EXPECT_TRUE(w.host().deliver_one());
        return w.output(ch);
    }
    // One status delivered for each text, which is what the channel gets from it.
    void steps(int ch, std::initializer_list<std::string> shown) {
        for (const std::string& text : shown) EXPECT_OUT(text, step(ch));
    }
};

TEST_F(Lister, RegistryListingGoesOnPastTheStartLetterOneRecordPerStatus) {
    insert(w, {registry_record("Abe", 0, {"abe"}), registry_record("Alia", 0, {"alia"}),
               foreign_record("Bobo", "OTHER_MOD"), registry_record("Bobo", 0, {}), description_record("Cara", "pending", 0),
               registry_record("Kim", 0, {}, "qrtbkpls_reg"), registry_record("Mira", 0, {}),
               foreign_record("Zed", "QRTBKPLS_REGX")});
    std::string full = registry_record("", 0, {}); // a user-ID filling its field, unterminated
    std::memset(full.data(), 'L', HOST_UIDSIZ);
    insert(w, full);

    int ch = at_letter_prompt("Alice");
    EXPECT_SCREEN(w, ch, SS_REG_LISTING, kPress, w.type_only(ch, "bob"));
    // Bobo's other record and Cara's description show nothing; Kim's tag ignores case; Zed's only looks alike.
    steps(ch, {"", "Bobo\n", "", "Kim\n", std::string(HOST_UIDSIZ, 'L') + "\n", "Mira\n", "<LSTCNT 4><REGPRMT>"});
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);

    EXPECT_OUT("<LOOKASK>", w.type(ch, "L"));
}

// After a lookup the listing's start key is only the letter typed, never the rest of the name looked up.
TEST_F(Lister, ListingRightAfterALookupStartsAtItsLetter) {
    insert(w, {registry_record("Aaron", 0, {}), registry_record("Alia", 0, {"alia"})});
    int ch = enter_as(w, "Alice");
    EXPECT_OUT("<LOOKASK>", type_all(w, ch, {"R", "L"}));
    EXPECT_NE(std::string::npos, w.type(ch, "Alia").find("<REGLAB1>: alia\r"));
    EXPECT_OUT(kRegistryMenu, w.type(ch, ""));
    w.type(ch, "S");
    EXPECT_OUT(kPress, w.type_only(ch, "a"));
    steps(ch, {"Aaron\n", "Alia\n<LSTCNT 2><REGPRMT>"});
}

TEST_F(Lister, EmptyLineStartsAtAAndTheLastRecordEndsTheListing) {
    for (const char* name : {"0first", "Alia", "bobo", "Cara"}) insert(w, registry_record(name, 0, {}));
    int ch = at_letter_prompt("Alice");
    EXPECT_OUT(kPress, w.type_only(ch, ""));
    steps(ch, {"Alia\n", "bobo\n", "Cara\n<LSTCNT 3><REGPRMT>"});
    EXPECT_EQ(0u, w.host().pending_statuses());
}

TEST_F(Lister, NothingAtOrAfterTheStartKey) {
    insert(w, registry_record("Alia", 0, {}));
    int ch = at_letter_prompt("Alice");
    EXPECT_OUT("<LSTNONE><REGPRMT>", w.type_only(ch, "Zz"));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
    EXPECT_OUT(kRegistryMenu, w.type(ch, ""));

    // Only records of other kinds after the start: the listing runs and finds nothing.
    insert(w, {foreign_record("Yves", "OTHER_MOD"), description_record("Zack", "pending", 0)});
    w.type(ch, "S");
    EXPECT_OUT(kPress, w.type_only(ch, "y"));
    steps(ch, {"", "<LSTNONE><REGPRMT>"});
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
}

TEST_F(Lister, AnyLineStopsTheListingAndTheStatusOnItsWayPrintsNothing) {
    for (const char* name : {"Alia", "Bobo", "Cara", "Dora"}) insert(w, registry_record(name, 0, {}));
    int ch = at_letter_prompt("Alice");
    w.type_only(ch, "a");
    steps(ch, {"Alia\n", "Bobo\n"});
    EXPECT_SCREEN(w, ch, SS_REGISTRY, "<LSTCNT 2><REGPRMT>", w.type_only(ch, ""));
    EXPECT_EQ(1u, w.host().pending_statuses());
    EXPECT_TRUE(w.host().deliver_one());
    EXPECT_OUT("", w.output(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());

    // Stopped before the first step: a zero count. A line beginning with X stops it too.
    w.type(ch, "S");
    EXPECT_OUT(kPress, w.type_only(ch, "c"));
    EXPECT_OUT("<LSTNONE><REGPRMT>", w.type_only(ch, "x stops it too"));
    EXPECT_TRUE(w.host().deliver_one());
    EXPECT_OUT("", w.output(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_OUT("<BADCHC><REGPRMT>", w.type(ch, "Q"));
}

TEST_F(Lister, RecordDeletedBetweenTwoStepsEndsTheListing) {
    for (const char* name : {"Alia", "Bobo", "Cara"}) insert(w, registry_record(name, 0, {}));
    int ch = at_letter_prompt("Alice");
    w.type_only(ch, "");
    EXPECT_OUT("Alia\n", step(ch));
    for (auto& entry : w.records()) {
        if (entry.userid == "Bobo") {
            ASSERT_TRUE(w.host().database().erase_generic(entry.position));
        }
    }
    EXPECT_OUT("<LSTCNT 1><REGPRMT>", step(ch));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(ch)->substate);
}

TEST_F(Lister, DescriptionListingNamesOnlyPendingDescriptionsFromA) {
    insert(w, {description_record("0early", "before the start key", 0), description_record("Alice", "pending one", 0),
               registry_record("Alice", 0, {}), description_record("Bob", "approved", DESC_APPROVED),
               description_record("Carol", "other bits only", 0x6),
               description_record("Dave", "approved, other bits", 0x7), description_record("Eve", "pending", 0)});
    int s = in_sysop_menu();
    EXPECT_SCREEN(w, s, SS_DESC_LISTING, kPress, w.type_only(s, "L"));
    std::string got;
    size_t delivered = 0;
    for (; w.host().deliver_one(); delivered++) got += w.output(s);
    EXPECT_EQ(6u, delivered);  // Alice's two records, Bob, Carol, Dave, Eve
    EXPECT_SCREEN(w, s, SS_SYSDESC, "Alice\nCarol\nEve\n3 descriptions found.\r<PLSPRMT>", got);
    EXPECT_OUT("<SYSDMNU><PLSPRMT>", w.type(s, ""));
}

TEST_F(Lister, DescriptionListingFindingNothing) {
    int s = in_sysop_menu();
    EXPECT_OUT("No descriptions found!\r<PLSPRMT>", w.type_only(s, "list"));
    EXPECT_EQ(0u, w.host().pending_statuses());
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);

    insert(w, {description_record("Bob", "approved", DESC_APPROVED), registry_record("Bobo", 0, {})});
    EXPECT_OUT(kPress, w.type_only(s, "L"));
    steps(s, {"", "No descriptions found!\r<PLSPRMT>"});
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
}

TEST_F(Lister, DescriptionListingStoppedByALine) {
    for (const char* name : {"Alice", "Bob", "Carol"}) insert(w, description_record(name, "pending", 0));
    int s = in_sysop_menu();
    w.type_only(s, "L");
    EXPECT_OUT("Alice\n", step(s));
    EXPECT_SCREEN(w, s, SS_SYSDESC, "1 descriptions found.\r<PLSPRMT>", w.type_only(s, ""));
    EXPECT_TRUE(w.host().deliver_one());
    EXPECT_OUT("", w.output(s));
    EXPECT_EQ(0u, w.host().pending_statuses());

    w.type_only(s, "L");
    EXPECT_OUT("No descriptions found!\r<PLSPRMT>", w.type_only(s, "x"));
    w.deliver_all();
    EXPECT_SCREEN(w, s, SS_SYSDESC, "", w.output(s));
}

TEST_F(Lister, TwoListingsRunTogetherWhileAThirdUserWrites) {
    insert(w, {registry_record("Alia", 0, {}), description_record("Alice", "pending", 0),
               description_record("Bob", "approved", DESC_APPROVED), registry_record("Bobo", 0, {}),
               description_record("Carol", "pending", 0)});
    int carol = enter_as(w, "Carol");
    w.type(carol, "R");
    int a = at_letter_prompt("Alice");
    int s = in_sysop_menu();

    EXPECT_OUT(kPress, w.type_only(a, ""));
    EXPECT_OUT(kPress, w.type_only(s, "L"));
    ASSERT_EQ(2u, w.host().pending_statuses());
    ASSERT_TRUE(w.host().deliver_one()); // Alice's listing: Alia
    ASSERT_TRUE(w.host().deliver_one()); // the sysop's: Alia's registry, passed over

    for (const char* line : {"E", "1", "cara's line"}) w.type_only(carol, line);  // stored while both listings run
    EXPECT_OUT(kRegistryMenu, w.type_only(carol, "x"));
    ASSERT_EQ(2u, w.host().pending_statuses());

    size_t delivered = 2;
    while (w.host().deliver_one()) delivered++;
    EXPECT_EQ(12u, delivered);  // each listing read Alia, Alice, Bob, Bobo, Cara and Carol once
    EXPECT_OUT("Alia\nBobo\nCara\n<LSTCNT 3><REGPRMT>", w.output(a));
    EXPECT_OUT("Alice\nCarol\n2 descriptions found.\r<PLSPRMT>", w.output(s));
    EXPECT_OUT("", w.output(carol));
    EXPECT_EQ((uint32_t)SS_REGISTRY, w.user(a)->substate);
    EXPECT_EQ((uint32_t)SS_SYSDESC, w.user(s)->substate);
}

} // namespace
