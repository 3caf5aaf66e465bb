// A player's description from the purchase to the game showing it: menu, price screen, editor, storing, approval.
#include "tests/module/fixture.h"

namespace {

using namespace modtest;

struct Desc {
    World w;
    int alice = -1;
    explicit Desc(void (*setup)(World&) = nullptr) {
        mark_messages(w);
        if (setup != nullptr) setup(w);
        EXPECT_TRUE(w.start()) << w.stop_reason();
        alice = enter_as(w, "Alice");
        w.type(alice, "D");
    }
    void open_editor(int ch, bool confirm) {
        w.type(ch, "D");
        if (confirm) w.type(ch, "yes");
        ASSERT_TRUE(w.host().in_editor(ch));
    }
    std::string save(int ch, std::string_view text) {
        w.host().editor_save(ch, text);
        return w.output(ch);
    }
};

void price_100(World& w) { w.set_option("DESCCRD", "100"); }

TEST(DescriptionLifeCycle, BoughtWrittenApprovedAndShownByTheGame) {
    Desc d(price_100);
    int bob = d.w.login("Bob");

    EXPECT_SCREEN(d.w, d.alice, 3u, price_line(100, 0, 0), d.w.type(d.alice, "D"));
    d.w.type(d.alice, "y");
    ASSERT_TRUE(d.w.host().in_editor(d.alice));
    EXPECT_EQ(801u, d.w.host().editor_size(d.alice));

    EXPECT_SCREEN(d.w, d.alice, 2u, description_screen("A tall elf.", true), d.save(d.alice, "A tall elf.   "));
    EXPECT_EQ(d.w.host().find_module("Brakvold Plus"), d.w.user(d.alice)->state);

    EXPECT_OUT(description_record("Alice", "A tall elf.", 0), tagged_bytes(d.w, DESC_TAG));
    EXPECT_EQ(10000 - 100, d.w.account("Alice")->credits);
    EXPECT_EQ(1, log_count(d.w, "Deducted 100 credits from Alice for a description.\r\n"));

    auto mail = d.w.mail_for("Sysop");
    ASSERT_EQ(1u, mail.size());
    EXPECT_EQ("Description needs approval", mail[0].subject);
    EXPECT_EQ("Alice", mail[0].body);

    std::string look = d.w.type(bob, "look Alia");  // pending: the game shows nothing of it
    EXPECT_EQ(std::string::npos, look.find("A tall elf.")) << show(look);

    int sysop = enter_as(d.w, "Sysop");
    EXPECT_OUT("Done.\r" + kPrompt, type_all(d.w, sysop, {"S", "A", "Alice"}));
    EXPECT_EQ(DESC_APPROVED, stored_description(d.w, "Alice")->flags);

    look = d.w.type(bob, "look Alia");
    EXPECT_NE(std::string::npos, look.find("A tall elf.\n")) << show(look);
    EXPECT_EQ(std::string::npos, look.find("A tall elf.\r")) << show(look);

    EXPECT_OUT(description_screen("A tall elf.", false), d.w.type(d.alice, ""));
}

TEST(DescriptionLifeCycle, ApprovingKeepsTheOtherFlagBitsAndAnApprovedOneIsNotRewritten) {
    Desc d;
    insert(d.w, description_record("Carol", "Red hair.", 0x40000006u, 0xAB));
    int sysop = enter_as(d.w, "Sysop");
    EXPECT_OUT("Done.\r" + kPrompt, type_all(d.w, sysop, {"S", "A", "Carol"}));
    const std::string approved = description_record("Carol", "Red hair.", 0x40000007u, 0xAB);
    EXPECT_OUT(approved, tagged_bytes(d.w, DESC_TAG));
    uint32_t position = records_tagged(d.w, DESC_TAG)[0].position;
    EXPECT_OUT("Done.\r" + kPrompt, type_all(d.w, sysop, {"A", "Carol"}));
    auto again = records_tagged(d.w, DESC_TAG);
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(position, again[0].position);
    EXPECT_OUT(approved, again[0].bytes);

    EXPECT_OUT("No description found.\r" + kPrompt, type_all(d.w, sysop, {"A", "Nobody"}));
}

TEST(DescriptionLifeCycle, GameShowsNothingForAnEmptyOrPendingDescription) {
    Desc d;
    d.w.login("Bob");
    std::string bare = d.w.type(d.alice, "look Bobo");
    insert(d.w, description_record("Bob", "", DESC_APPROVED));
    EXPECT_OUT(bare, d.w.type(d.alice, "look Bobo"));
    d.w.login("Carol");
    std::string carol_bare = d.w.type(d.alice, "look Cara");
    insert(d.w, description_record("Carol", "Waiting.", 0));
    EXPECT_OUT(carol_bare, d.w.type(d.alice, "look Cara"));
}

// Whoever looks (at the first channel or the second), the draft of the player looked at stays as it was.
TEST(DescriptionLifeCycle, TheGameLookingAtAnEditingPlayerLeavesHisDraftAlone) {
    for (bool alice_edits : {true, false}) {
        SCOPED_TRACE(alice_edits ? "Alice edits" : "Bob edits");
        Desc d;
        int bob = d.w.login("Bob");
        const int editor = alice_edits ? d.alice : bob, looker = alice_edits ? bob : d.alice;
        insert(d.w, description_record(alice_edits ? "Alice" : "Bob", "Old approved text.", DESC_APPROVED));
        if (!alice_edits) {  // Alice back at the game prompt, Bob in the description menu
            type_all(d.w, d.alice, {"X", "X"});
            d.w.enter(bob);
            d.w.type(bob, "D");
        }
        d.open_editor(editor, false);
        type_all(d.w, editor, {"/c", "Brand new draft"});
        std::string draft = d.w.host().editor_text(editor);
        ASSERT_NE(std::string::npos, draft.find("Brand new draft"));
        std::string look = d.w.type(looker, alice_edits ? "look Alia" : "look Bobo");
        EXPECT_NE(std::string::npos, look.find("Old approved text.\n")) << show(look);
        EXPECT_EQ(draft, d.w.host().editor_text(editor));
    }
}

TEST(DescriptionMenu, ChoicesOfTheMenu) {
    Desc d;
    EXPECT_OUT("<DESCHLP>" + kPrompt, d.w.type(d.alice, "a"));
    EXPECT_OUT("<CURDESC <None>>" + kPrompt, d.w.type(d.alice, "Q"));
    EXPECT_SCREEN(d.w, d.alice, 2u, none_screen(), d.w.type(d.alice, ""));
    EXPECT_SCREEN(d.w, d.alice, 1u, menu_screen(), d.w.type(d.alice, "x"));
}

TEST(DescriptionMenu, PendingNoteFollowsOnlyAPendingText) {
    Desc d;
    insert(d.w, description_record("Alice", "Green eyes.", 0));
    EXPECT_OUT(description_screen("Green eyes.", true), d.w.type(d.alice, "?"));
    int bob = d.w.login("Bob");
    insert(d.w, description_record("Bob", "Tall.", DESC_APPROVED));
    d.w.enter(bob);
    EXPECT_OUT(description_screen("Tall.", false), d.w.type(bob, "D"));
}

TEST(DescriptionMenu, PriceScreenShowsAllThreePricesAndWaitsForYes) {
    Desc d([](World& w) {
        for (auto [name, value] : {std::pair{"DESCCRD", "100"}, {"DESCCOP", "7"}, {"DESCDAY", "2"}})
            w.set_option(name, value);
    });
    for (const char* yes : {"y", "Ye", "YES"}) {
        EXPECT_OUT(price_line(100, 7, 2), d.w.type(d.alice, "D")) << yes;
        EXPECT_EQ(3u, d.w.user(d.alice)->substate);
        d.w.type(d.alice, yes);
        EXPECT_TRUE(d.w.host().in_editor(d.alice)) << yes;
        d.w.host().editor_abandon(d.alice);
        EXPECT_OUT(none_screen(), d.w.output(d.alice)) << yes;
    }
    for (const char* no : {"yeah", "no", ""}) {
        d.w.type(d.alice, "D");
        EXPECT_OUT(none_screen(), d.w.type(d.alice, no)) << no;
        EXPECT_FALSE(d.w.host().in_editor(d.alice)) << no;
        EXPECT_EQ(2u, d.w.user(d.alice)->substate) << no;
    }
    EXPECT_EQ(10000, d.w.account("Alice")->credits);
    EXPECT_TRUE(records_tagged(d.w, DESC_TAG).empty());
}

TEST(DescriptionMenu, EditorSizeFollowsTheLineCount) {
    Desc d([](World& w) { w.set_option("DESCLNS", "3"); });
    d.open_editor(d.alice, false);
    EXPECT_EQ(241u, d.w.host().editor_size(d.alice));
    d.save(d.alice, std::string(400, 'w'));
    EXPECT_EQ(std::string(240, 'w'), stored_description(d.w, "Alice")->text);
}

// A price screen unless the description is new and free or still pending; the editor opens on the stored text;
// approval mail unless approved at once or nobody approves; other flag bits and reserved bytes kept.
TEST(DescriptionSave, PriceApprovalAndMailOfASave) {
    const struct Case {
        const char *name, *desccrd, *descapp, *appruid;
        const char* stored;  // the text stored before (with these flags), or none
        uint32_t flags;
        bool price_screen, pending;
        long credits;
        uint32_t flags_after, mails;  // mails to Sysop
    } cases[] = {
        // clang-format off
        {"new and free", "0", "YES", "Sysop", nullptr, 0, false, true, 10000, 0, 1},
        {"pending changed", "100", "YES", "Sysop", "First try.", 0, false, true, 10000, 0, 1},
        {"approved changed", "100", "YES", "Sysop", "Approved.", DESC_APPROVED | 0x10, true, true, 9900, 0x10, 1},
        {"left pending, approved at once", "100", "NO", "Sysop", "Old pending.", 0, false, false, 9900, DESC_APPROVED, 0},
        {"nobody approves", "0", "YES", "", nullptr, 0, false, true, 10000, 0, 0},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        mark_messages(w);
        for (auto [name, value] : {std::pair{"DESCCRD", c.desccrd}, {"DESCAPP", c.descapp}, {"APPRUID", c.appruid}})
            w.set_option(name, value);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        if (c.stored) insert(w, description_record("Alice", c.stored, c.flags, 0x5A));
        int ch = enter_as(w, "Alice");
        std::string opened = type_all(w, ch, {"D", "D"});
        if (c.price_screen) {
            EXPECT_OUT(price_line(100, 0, 0), opened);
            w.type(ch, "y");
        } else {
            EXPECT_EQ(std::string::npos, opened.find("This will cost")) << show(opened);
        }
        ASSERT_TRUE(w.host().in_editor(ch));
        if (c.stored) {
            EXPECT_NE(std::string::npos, w.host().editor_text(ch).find(c.stored));
        }
        w.host().editor_save(ch, "Saved.");
        EXPECT_OUT(description_screen("Saved.", c.pending), w.output(ch));
        EXPECT_EQ(c.credits, w.account("Alice")->credits);
        EXPECT_EQ(c.credits == 10000 ? 0 : 1, log_count(w, "Deducted"));
        auto stored = stored_description(w, "Alice");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ("Saved.", stored->text);
        EXPECT_EQ(c.flags_after, stored->flags);
        EXPECT_EQ(std::string(100, c.stored ? '\x5A' : '\0'),
                  tagged_bytes(w, DESC_TAG).substr(offsetof(DescriptionRecord, reserved), 100));
        EXPECT_EQ(c.mails, w.mail_for("Sysop").size());
        EXPECT_TRUE(w.mail_for("").empty());
    }
}

// A text blank but for blanks and line breaks is no purchase: it removes the description, charges and mails nothing.
TEST(DescriptionSave, BlankTextRemovesTheDescriptionAndChargesNothing) {
    struct Case {
        const char* text;
        bool mail_only, approve_at_once;  // approved at once: no pending note either
    } cases[] = {{"     ", false, false}, {"", false, false}, {"\r\r \t\r", false, false}, {" \r\t", true, false},
                 {"", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(show(c.text));
        Desc d([](World& w) {
            price_100(w);
            w.set_ini("PLUS_PURCHASE_EMAIL_USERID", "Carol");
        });
        if (c.approve_at_once) {
            d.w.set_option("DESCAPP", "NO");
            d.w.host().reload();
        }
        if (c.mail_only) {
            d.w.set_ini("SEND_EMAIL_FOR_PURCHASES", "1");
            d.w.game().reload_ini();
        }
        insert(d.w, description_record("Alice", "Going away.", DESC_APPROVED));
        type_all(d.w, d.alice, {"D", "y"});
        EXPECT_OUT(c.approve_at_once ? "<CURDESC <None>>" + kPrompt : none_screen(), d.save(d.alice, c.text));
        EXPECT_FALSE(stored_description(d.w, "Alice").has_value());
        EXPECT_EQ(10000, d.w.account("Alice")->credits);
        EXPECT_EQ(0, log_count(d.w, "Deducted") + log_count(d.w, "Sent email notification"));
        EXPECT_EQ(0u, d.w.mail_for("Sysop").size() + d.w.mail_for("Carol").size());
    }
}

// Empty lines typed at the end are no part of the text; those inside it are.
TEST(DescriptionSave, TrailingEmptyLinesAreRemovedAndTheGameShowsNone) {
    Desc d([](World& w) { w.set_option("DESCAPP", "NO"); });
    int bob = d.w.login("Bob");
    d.open_editor(d.alice, false);
    for (const char* line : {"Line one.", "", "Line three.", "", "  ", ""}) d.w.type(d.alice, line);
    EXPECT_OUT(description_screen("Line one.\r\rLine three.", false), d.w.type(d.alice, "/s"));
    EXPECT_EQ("Line one.\r\rLine three.", stored_description(d.w, "Alice")->text);
    std::string look = d.w.type(bob, "look Alia");
    EXPECT_NE(std::string::npos, look.find("Line one.\r\rLine three.\n\r[Brakvold Bobo]: ")) << show(look);
}

TEST(DescriptionSave, AbandonedEditorChangesNothing) {
    Desc d(price_100);
    insert(d.w, description_record("Alice", "Kept.", DESC_APPROVED));
    type_all(d.w, d.alice, {"D", "y"});
    d.w.host().editor_abandon(d.alice);
    EXPECT_SCREEN(d.w, d.alice, 2u, description_screen("Kept.", false), d.w.output(d.alice));
    EXPECT_EQ(10000, d.w.account("Alice")->credits);
    EXPECT_OUT(description_record("Alice", "Kept.", DESC_APPROVED), tagged_bytes(d.w, DESC_TAG));
    EXPECT_TRUE(d.w.mail_for("Sysop").empty());
}

TEST(DescriptionSave, RefusedPurchaseShowsTheTextButStoresNothing) {
    Desc d([](World& w) { w.set_option("DESCCOP", "6000"); });
    insert(d.w, description_record("Alice", "Stays.", DESC_APPROVED));
    type_all(d.w, d.alice, {"D", "y"});
    EXPECT_OUT("<DESCNSF>" + description_screen("Too dear.  ", true), d.save(d.alice, "Too dear.  "));
    EXPECT_OUT(description_record("Alice", "Stays.", DESC_APPROVED), tagged_bytes(d.w, DESC_TAG));
    EXPECT_EQ(5000, d.w.player("Alia")->copper);
    EXPECT_EQ(2u, d.w.user(d.alice)->substate);
}

// A sub-BBS front end (tcplibm.msg with SUBBBS other than NO) gets a marker before the editor opens and after.
TEST(DescriptionSave, SubBbsFrontEndGetsMarkersAroundTheEditor) {
    struct Case {
        void (*setup)(World&);
        bool marked;
    } cases[] = {{[](World& w) { w.write_tcplibm(std::string("yes")); }, true},
                 {[](World& w) { w.write_tcplibm(std::string("")); }, true},
                 {[](World& w) { w.write_tcplibm(std::string("nO")); }, false},
                 {[](World& w) { w.write_tcplibm(std::nullopt); }, false},
                 {[](World&) {}, false}};
    for (const Case& c : cases) {
        Desc d(c.setup);
        std::string opened = d.w.type(d.alice, "D");
        ASSERT_TRUE(d.w.host().in_editor(d.alice));
        EXPECT_EQ(c.marked ? 1 : 0, (int)std::count(opened.begin(), opened.end(), '\x91')) << show(opened);
        if (c.marked) {
            EXPECT_EQ('\x91', opened[0]) << show(opened);
        }
        EXPECT_OUT((c.marked ? "\x90" : "") + description_screen("Marked.", true), d.save(d.alice, "Marked."));
    }
}

} // namespace
