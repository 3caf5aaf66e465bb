// Start-up, the shipped message file, options and reloads, host routines, and a game refusing the add-on.
#include "tests/module/fixture.h"

#include <malloc.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "bbs/messages.h"

namespace {

using namespace modtest;

bbs::MessageTable shipped_messages() {
    bbs::MessageTable table;
    bbs::SourceError error;
    EXPECT_TRUE(bbs::read_message_source(std::string(PLUS_CONFIG_DIR) + "/QRTBKPLS.MSG", &table, &error))
        << error.describe();
    return table;
}

// The catalogue built from config/QRTBKPLS.MSG: every entry with the reader, bounds and arguments the code uses.
TEST(MessageFile, CatalogueHoldsWhatTheModuleReads) {
    bbs::MessageTable catalogue;
    bbs::SourceError error;
    ASSERT_TRUE(bbs::read_message_source(std::string(PLUS_BIN_DIR) + "/QRTBKPLS.MCT", &catalogue, &error))
        << error.describe();
    struct Expected {
        int number;
        const char *name, *kind;
    };
#define ENTRY(name, kind) {name, #name, kind}
#define P(name) ENTRY(name, "prfmsg")
    std::vector<Expected> expected = {
        // clang-format off
        ENTRY(DESCCRD, "lngopt(0..1000000)"), ENTRY(DESCCOP, "lngopt(0..1000000)"), ENTRY(DESCDAY, "numopt(0..60)"),
        ENTRY(LIFECRD, "lngopt(-1..90000000)"), ENTRY(LIFECOP, "lngopt(0..99999999)"),
        ENTRY(LIFEDAY, "numopt(0..60)"), ENTRY(SYSKEY, "hasmkey"), ENTRY(AGEDIV, "numopt(1..32767)"),
        ENTRY(AGEBASE, "numopt(0..500)"), ENTRY(DESCLNS, "numopt(1..10)"), ENTRY(DESCAPP, "ynopt"),
        ENTRY(APPRUID, "stgopt"), ENTRY(REGPFX, "stgopt"), ENTRY(LOOKCMD, "stgopt"),
        ENTRY(CURDESC, "prfmsg(string)"), P(DESCHLP), ENTRY(MAINMNU, "prfmsg(string)"), P(MNULIFE), P(MNUSYSP),
        ENTRY(LIFECST, "prfmsg(string, string, string)"), P(PLSINFO), P(SYSDMNU), P(PLSPRMT),
        ENTRY(PUBINFO, "prfmsg(string, string, string, string, string, integer, integer, integer, integer, "
                       "string, integer)"),
        P(REGLAB1), P(REGLAB2), P(REGLAB3), P(REGLAB4), P(REGLAB5), P(REGLAB6), P(REGLAB7), P(REGLAB8), P(REGLAB9),
        P(REGLAB10), P(REGLAB11), P(REGASK1), P(REGASK2), P(REGASK3), P(REGASK4), P(REGASK5), P(REGASK6), P(REGASK7),
        P(REGASK8), P(REGASK9), P(REGASK10), P(REGASK11), P(REGEPMT), P(REGPRMT), P(REGMENU), P(REGSYSP), P(LOOKASK),
        P(REMASK), P(NOSUCHP), P(BADCHC), P(NOTAPPR), P(DESCNSF), P(LIFENSF), P(LIFENUI), P(LIFEMAX), P(LIFEOK),
        P(LSTNONE), ENTRY(LSTCNT, "prfmsg(count)")
        // clang-format on
    };
#undef P
#undef ENTRY

    ASSERT_EQ(expected.size(), catalogue.entries.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const bbs::MessageEntry& entry = catalogue.entries[i];
        EXPECT_EQ(expected[i].number, entry.number) << expected[i].name;
        EXPECT_EQ(expected[i].name, entry.name) << expected[i].number;
        EXPECT_EQ(expected[i].kind, entry.kind.text()) << expected[i].name;
    }

    bbs::MessageTable table = shipped_messages();
    std::vector<bbs::SourceError> errors;
    EXPECT_TRUE(bbs::check_message_table(&table, &catalogue, "QRTBKPLS.MSG", &errors))
        << (errors.empty() ? "" : errors[0].describe());
}

TEST(MessageFile, OptionDefaults) {
    bbs::MessageTable table = shipped_messages();
    const std::pair<const char*, const char*> defaults[] = {
        {"DESCCRD", "100"}, {"DESCCOP", "0"},     {"DESCDAY", "0"},   {"LIFECRD", "500"},     {"LIFECOP", "1000"},
        {"LIFEDAY", "0"},   {"SYSKEY", "SYSOP"},  {"AGEDIV", "1000"}, {"AGEBASE", "16"},      {"DESCLNS", "10"},
        {"DESCAPP", "YES"}, {"APPRUID", "Sysop"}, {"REGPFX", ": "},   {"LOOKCMD", "/lookup"},
    };
    for (auto [name, value] : defaults) EXPECT_EQ(value, table.by_name(name) ? table.by_name(name)->text : "") << name;
}

std::string format(const bbs::MessageTable& table, const char* name, ...) {
    const bbs::MessageEntry* entry = table.by_name(name);
    if (entry == nullptr) {
        ADD_FAILURE() << "no message " << name;
        return "";
    }
    char text[4096];
    va_list args;
    va_start(args, name);
    vsnprintf(text, sizeof(text), entry->text.c_str(), args);
    va_end(args);
    return text;
}

TEST(MessageFile, MainMenuAndDescriptionScreenAsShipped) {
    bbs::MessageTable table = shipped_messages();
    World w;
    ASSERT_TRUE(w.start()) << w.stop_reason();
    int sysop = w.login("Sysop");
    EXPECT_OUT(format(table, "MAINMNU", PLUS_VERSION) + format(table, "MNULIFE") + format(table, "MNUSYSP") +
                   format(table, "PLSPRMT"),
               type_all(w, sysop, {"ext", "*"}));
    EXPECT_OUT(format(table, "CURDESC", "<None>") + format(table, "NOTAPPR") + format(table, "PLSPRMT"),
               w.type(sysop, "D"));
    EXPECT_OUT(price_line(100, 0, 0), w.type(sysop, "D"));
}

// The module registers under the name of its description file, also on a host without channels.
TEST(StartUp, RegistersUnderTheNameOfItsDescriptionFile) {
    for (int channels : {8, 0}) {
        World w;
        w.channels = channels;
        ASSERT_TRUE(w.start()) << w.stop_reason();
        int number = w.host().find_module("Brakvold Plus");
        ASSERT_GE(number, 0);
        EXPECT_STREQ("Brakvold Plus", w.host().module(number)->name);
    }
}

TEST(StartUp, MissingMessageFileStopsTheHost) {
    World w;
    w.remove_message_file();
    EXPECT_FALSE(w.start());
    EXPECT_NE(std::string::npos, w.stop_reason().find("Cannot open QRTBKPLS.MCV!")) << w.stop_reason();
}

// The game refuses the add-on: the host still runs, the menus stay shut.
TEST(StartUp, RefusedAddOnKeepsTheMenusShut) {
    World w;
    mark_messages(w);
    w.game_refuses_addon = true;
    ASSERT_TRUE(w.start()) << w.stop_reason();
    int number = w.host().find_module("Brakvold Plus");
    ASSERT_GE(number, 0);
    int ch = w.login("Alice");
    std::string ext = w.type(ch, "ext");
    EXPECT_EQ(std::string::npos, ext.find("Brakvold Plus Extensions")) << show(ext);
    w.user(ch)->state = number;
    w.user(ch)->substate = 1;
    std::string out = w.type(ch, "I");
    EXPECT_EQ(std::string::npos, out.find("<PLSINFO>")) << show(out);
    EXPECT_NE(number, w.user(ch)->state);
    out = w.type(ch, "/lookup Alia");
    EXPECT_EQ(std::string::npos, out.find("<NOSUCHP>")) << show(out);
    EXPECT_EQ(std::string::npos, out.find("<PUBINFO")) << show(out);
}

TEST(Options, ReloadAppliesEditedPricesAtTheNextLine) {
    World w;
    mark_messages(w);
    w.set_option("DESCCRD", "100");
    ASSERT_TRUE(w.start()) << w.stop_reason();
    int ch = enter_as(w, "Alice");
    EXPECT_OUT(price_line(100, 0, 0), type_all(w, ch, {"D", "D"}));
    w.type(ch, "no");
    w.set_option("DESCCRD", "250");
    w.set_option("DESCDAY", "4");
    for (int reloads : {1, 2}) {
        for (int i = 0; i < reloads; i++) w.host().reload();
        EXPECT_OUT(price_line(250, 0, 4), w.type(ch, "D"));
        w.type(ch, "no");
    }
}

// Each numeric option one above its ceiling is read as the ceiling.
TEST(Options, EveryNumericOptionAboveItsCeilingIsReadAsTheCeiling) {
    struct Case {
        const char* option;
        long ceiling;
        char screen;  // D: the description price, L: the life price, A: a lookup's age, E: the editor
        std::string expected;
    } cases[] = {
        {"DESCCRD", DESCCRD_CEILING, 'D', price_line(DESCCRD_CEILING, 0, 0)},
        {"DESCCOP", DESCCOP_CEILING, 'D', price_line(0, DESCCOP_CEILING, 1)},
        {"DESCDAY", DESCDAY_CEILING, 'D', price_line(0, 0, DESCDAY_CEILING)},
        {"LIFECRD", LIFECRD_CEILING, 'L', "<LIFECST " + std::to_string(LIFECRD_CEILING) + "|0|0>"},
        {"LIFECOP", LIFECOP_CEILING, 'L', "<LIFECST 0|" + std::to_string(LIFECOP_CEILING) + "|0>"},
        {"LIFEDAY", LIFEDAY_CEILING, 'L', "<LIFECST 0|0|" + std::to_string(LIFEDAY_CEILING) + ">"},
        // Played 3 * 32767: 3 at the ceiling, 2 above it.
        {"AGEDIV", AGEDIV_CEILING, 'A', "|3|"},
        // The same player, the divisor clamped to its ceiling too: 3 + base.
        {"AGEBASE", AGEBASE_CEILING, 'A', "|" + std::to_string(AGEBASE_CEILING + 3) + "|"},
        {"DESCLNS", DESCLNS_CEILING, 'E', std::to_string(DESCLNS_CEILING * 80 + 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        World w;
        mark_messages(w);
        const std::string option = c.option;
        w.set_option(option == "DESCCRD" ? "DESCCRD" : "DESCDAY", "1");  // a price screen, whichever price is tested
        w.set_option("AGEDIV", option == "AGEBASE" ? "100000" : "1");
        w.set_option("AGEBASE", "0");
        w.set_option(c.option, std::to_string(c.ceiling + 1));
        testing_support::UserSpec old;
        old.userid = "Olga";
        old.player_name = "Olgana";
        old.time_played = 3 * 32767;
        w.add_user(old);
        ASSERT_TRUE(w.start()) << w.stop_reason();
        int ch = enter_as(w, "Alice");
        if (c.screen == 'D') {
            EXPECT_OUT(c.expected, type_all(w, ch, {"D", "D"}));
        } else if (c.screen == 'E') {
            type_all(w, ch, {"D", "D", "y"});
            ASSERT_TRUE(w.host().in_editor(ch));
            EXPECT_EQ(c.expected, std::to_string(w.host().editor_size(ch)));
        } else if (c.screen == 'L') {
            EXPECT_OUT(c.expected, w.type(ch, "L"));
        } else {
            std::string shown = type_all(w, ch, {"R", "L", "Olgana"});
            EXPECT_NE(std::string::npos, shown.find("Olgana|")) << show(shown);
            size_t field = 0;
            for (int bar = 0; bar < 5; bar++) field = shown.find('|', field) + 1;
            EXPECT_EQ(c.expected, shown.substr(field - 1, c.expected.size())) << show(shown);
        }
    }
}

TEST(Options, ApprovalUserAndAutoApproveFollowAReload) {
    World w;
    mark_messages(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    int ch = enter_as(w, "Alice");
    type_all(w, ch, {"D", "D"});
    w.host().editor_save(ch, "One.");
    EXPECT_EQ(1u, w.mail_for("Sysop").size());

    w.set_option("APPRUID", "Carol");
    w.host().reload();
    w.type(ch, "D");
    w.host().editor_save(ch, "Two.");
    EXPECT_EQ(1u, w.mail_for("Sysop").size());
    EXPECT_EQ(1u, w.mail_for("Carol").size());

    w.set_option("DESCAPP", "no");
    w.host().reload();
    w.type(ch, "D");
    w.host().editor_save(ch, "Three.");
    EXPECT_OUT(description_screen("Three.", false), w.output(ch));
    EXPECT_EQ(1u, w.mail_for("Carol").size());
}

// The finish routine closes the message file and frees every option text it holds (a long held option frees more
// than a long message) and the records of every channel; a second run finds nothing to free.
TEST(HostRoutines, FinishClosesTheMessageFileAndFreesWhatTheModuleHolds) {
    const size_t big = 60000;
    auto freed_at_finish = [&](const char* entry, int channels) -> size_t {
        World w;
        w.channels = channels;
        mark_messages(w);
        w.set_option(entry, std::string(big, 'x'));
        EXPECT_TRUE(w.start()) << w.stop_reason();
        const ModuleDescriptor* module = w.host().module(w.host().find_module("Brakvold Plus"));
        const bbs::Host* host = bbs::Host::current();
        EXPECT_NE(nullptr, host->messages().find("QRTBKPLS.MCV"));
        const auto before = mallinfo2();
        module->finish();
        const auto after = mallinfo2();
        EXPECT_EQ(nullptr, host->messages().find("QRTBKPLS.MCV"));
        module->finish();
        const size_t held = before.uordblks + before.hblkhd, left = after.uordblks + after.hblkhd;
        return held > left ? held - left : 0;
    };
    std::vector<std::pair<std::string, size_t>> freed;
    for (const char* entry : {"DESCHLP", "APPRUID", "REGPFX", "LOOKCMD"}) freed.emplace_back(entry, freed_at_finish(entry, 8));
    const size_t channels = 4008, many = freed_at_finish("DESCHLP", channels);
#if !defined(__SANITIZE_ADDRESS__)  // its allocator keeps no mallinfo; its leak check covers this
    for (size_t i = 1; i < freed.size(); i++) EXPECT_GE(freed[i].second, freed[0].second + big / 2) << freed[i].first;
    EXPECT_GE(many, freed[0].second + (channels - 8) * (sizeof(SessionSlot) + sizeof(ReturnPoint)) * 9 / 10);
#endif
    (void)many;
}

// Every routine gives back the message file and data file it selected: after a walk through every menu they are as they were.
TEST(HostRoutines, SelectionsAreGivenBackByEveryRoutine) {
    World w;
    mark_messages(w);
    w.set_option("DESCCRD", "1");
    ASSERT_TRUE(w.start()) << w.stop_reason();
    insert(w, {description_record("Alice", "Pending.", 0), registry_record("Alia", 20, {"one"})});
    const bbs::Host* host = bbs::Host::current();
    ASSERT_NE(nullptr, host);
    const HostMsgFile* selected = host->messages().current();
    int sysop = w.login("Sysop");
    int alice = w.login("Alice");
    testing::internal::CaptureStderr();
    for (int round = 0; round < 40; round++) {
        w.enter(sysop);
        for (const char* line : {"S", "V", "Alice", "A", "Nobody", "L", "X", "R", "L", "Alia", "", "X", "X"}) {
            w.type(sysop, line);
            w.deliver_all();
        }
        w.enter(alice);
        for (const char* line : {"D", "", "A", "X", "R", "E", "1", "x", "X", "X", "X"}) w.type(alice, line);
        w.type(alice, "look Alia");
    }
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string::npos, errors.find("dfaSetBlk")) << errors.substr(0, 500);
    EXPECT_EQ(std::string::npos, errors.find("dfaRstBlk")) << errors.substr(0, 500);
    EXPECT_EQ(selected, host->messages().current());
}

// A message injected for a user in the menus reaches him, marks him until his output drained, and leaves him there.
TEST(HostRoutines, InjectedMessageReachesAndMarksAUserInTheMenus) {
    World w;
    mark_messages(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    int alice = w.login("Alice");
    int bob = w.login("Bob");
    w.enter(alice);
    w.user(alice)->flags &= ~(uint32_t)HOST_UF_INJECTED;
    uint32_t other_bits = w.user(alice)->flags;
    w.host().line(bob, "tell Alia meet me at the well");
    EXPECT_EQ(other_bits | HOST_UF_INJECTED, w.user(alice)->flags);
    w.deliver_all();  // the output drained: the mark is gone again
    EXPECT_EQ(other_bits, w.user(alice)->flags);
    std::string got = w.output(alice);
    EXPECT_NE(std::string::npos, got.find("meet me at the well")) << show(got);
    EXPECT_EQ(std::string::npos, got.find("<")) << show(got);
    EXPECT_EQ(w.host().find_module("Brakvold Plus"), w.user(alice)->state);
    EXPECT_EQ(1u, w.user(alice)->substate);
    EXPECT_OUT("<PLSINFO>" + kPrompt, w.type(alice, "I"));
}

TEST(HostRoutines, DeletingAnAccountRemovesItsDescriptionOnly) {
    World w;
    mark_messages(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    insert(w, {description_record("Alice", "Doomed.", DESC_APPROVED), description_record("Carol", "Stays.", 0),
               registry_record("Alice", 0, {"Still here"})});
    int bob = enter_as(w, "Bob");
    type_all(w, bob, {"D", "D"});
    ASSERT_TRUE(w.host().in_editor(bob));
    w.type(bob, "Bob's unsaved draft");
    std::string draft = w.host().editor_text(bob);

    w.host().account_deleted("Alice");
    EXPECT_FALSE(stored_description(w, "Alice").has_value());
    EXPECT_EQ("Stays.", stored_description(w, "Carol")->text);
    EXPECT_EQ(1u, records_tagged(w, REG_TAG).size());
    EXPECT_EQ(draft, w.host().editor_text(bob));

    auto before = w.records();
    w.host().account_deleted("Bob");
    auto after = w.records();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(before[i].bytes, after[i].bytes);
}

TEST(HostRoutines, UserIdLongerThanTheKeyFieldMatchesNothing) {
    World w;
    mark_messages(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    std::string id29(29, 'Q');
    insert(w, description_record(id29, "Twenty-nine.", 0));
    int sysop = enter_as(w, "Sysop");
    w.type(sysop, "S");
    EXPECT_OUT("No description found.\r" + kPrompt, type_all(w, sysop, {"A", id29 + "Q"}));
    // A record whose user-ID fills the whole key field is never matched by a line that long either.
    std::string full = description_record("", "Full field.", 0);
    std::memset(full.data(), 'R', HOST_UIDSIZ);
    insert(w, full);
    for (const std::string& typed : {std::string(HOST_UIDSIZ, 'R'), std::string(HOST_UIDSIZ + 1, 'R')}) {
        EXPECT_OUT("No description found.\r" + kPrompt, type_all(w, sysop, {"V", typed}));
        EXPECT_OUT("No description found for that user.\r" + kPrompt, type_all(w, sysop, {"D", typed}));
    }
    auto stored = stored_description(w, id29);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(0u, stored->flags);
    w.host().account_deleted(id29 + "Q");
    EXPECT_TRUE(stored_description(w, id29).has_value());
    w.type(sysop, "V");  // the exact user-ID still finds it
    EXPECT_OUT("Twenty-nine.\r\x1b[[\x1b[1;31m| \b \b \b \b]This description has not been validated yet.\r" + kPrompt,
               w.type(sysop, id29));
    // A user-ID never looked up selects no file, so none is given back.
    EXPECT_EQ(std::string::npos, w.host_log().find("dfaRstBlk")) << w.host_log();
}

} // namespace
