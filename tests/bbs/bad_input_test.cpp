// Typed lines at the host (clean_line, words, rstrin, text helpers, log excerpts); each host call's transaction under refused writes.

#include <sqlite3.h>

#include <tuple>

#include "bbs/input.h"
#include "text/utf8.h"
#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;
using Probe = hosttest::ProbeModule<1>;

std::string clean(std::string_view raw) { return bbs::clean_line(raw, HOST_INPSIZ - 1); }

TEST(CleanLine, EscapeSequencesAndControlBytesGoWholeAndTextStays) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[?25lhidden cursor\x1b[?25h", "hidden cursor"},
        {"x\x1b[1 qy", "xy"}, {"x\x1b[12\x07y", "xy"},  // an intermediate byte; broken off by a control
        {"x\x1b[1\x1b[31my", "xy"},                      // a new ESC starts a new sequence
        {"\x1b]2;t\x1b\\hello", "hello"}, {"\x1bPq#0;2;0;0;0\x1b\\ok", "ok"},
        {"\x1bOPf1", "f1"}, {"\x1b" "cafter reset", "after reset"}, {"\x1b(Bascii", "ascii"}, {"\x1b#8e", "e"},
        // unfinished at the end
        {"text\x1b", "text"}, {"text\x1b[", "text"}, {"text\x1b[1;3", "text"}, {"text\x1b]0;never ended", "text"},
        {"text\x1bO", "text"}, {"\x1b\x1b\x1b", ""},
        {std::string("a\0b\x01" "c\x07" "d\x08" "e\tf\x0b" "g\x7f" "h", 15), "abcdefgh"}, {"line\r\n", "line"},
        {"%s %n %x %%", "%s %n %x %%"},  // printf conversions are just text to the host
    };
    for (const auto& [raw, kept] : cases) EXPECT_EQ(clean(raw), kept) << testing::PrintToString(raw);
}

// C1 controls go as single bytes and encoded, their sequences whole; so do bytes that are not UTF-8.
// (8-bit CSI, OSC up to BEL and DCS, single and encoded: e2e test_bad_input control_sequences_...)
TEST(CleanLine, EightBitControlsAndBrokenUtf8Go) {
    struct Case { std::string_view raw, kept, what; };
    const Case cases[] = {
        {"caf\xc3\xa9 \xc4\x9b \xe2\x82\xac \xf0\x9f\x90\x89", "caf\xc3\xa9 \xc4\x9b \xe2\x82\xac \xf0\x9f\x90\x89",
         "UTF-8 of two, three and four bytes, one of them ending in 0x9B"},
        {"x\xc2\x9d" "2;t\xc2\x9cy", "xy", "OSC and ST encoded"},
        {"x\x1b]2;t\x9cy", "xy", "7-bit OSC ended by 8-bit ST"},
        {"x\x9d" "2;t\x1b\\y", "xy", "8-bit OSC ended by 7-bit ST"},
        {"x\x98sos\x9c\x9epm\x9c\x9f" "apc\x9cy", "xy", "SOS, PM and APC strings"},
        {"a\x8e" "Fb\x8fPc", "abc", "SS2 and SS3 with the byte they shift"},
        {"a\x85" "b\x84" "c\x91\x92\x80\xc2\x85" "d", "abcd", "lone C1 controls, single and encoded"},
        {"x\x9b" "1\x9b" "31my", "xy", "an 8-bit CSI inside a CSI starts anew"},
        {"x\x1b\x9b" "1my", "xy", "ESC followed by an 8-bit CSI"}, {"\x9b", "", "an unfinished 8-bit CSI at the end"},
        {"a\xff\xfe\xc0\xaf\xe0\x80\xafz", "az", "bytes that are never UTF-8, overlong forms"},
        {"a\xed\xa0\x80z", "az", "an encoded surrogate"}, {"a\xf4\x90\x80\x80z", "az", "past U+10FFFF"},
        {"a\xc3z\xe2\x82" "b", "azb", "sequences cut short: their bytes go, the next byte is read anew"},
        {"\xc3\xa9\xa9", "\xc3\xa9", "a stray continuation byte after a character"},
        {"a\xe2\x80\xaa" "b\xe2\x80\xab" "c\xe2\x80\xac" "d\xe2\x80\xad" "e\xe2\x80\xae" "f", "abcdef",
         "embeddings and overrides, U+202A-U+202E"},
        {"a\xe2\x81\xa6" "b\xe2\x81\xa7" "c\xe2\x81\xa8" "d\xe2\x81\xa9" "e", "abcde", "isolates, U+2066-U+2069"},
        {"\xd7\xa9\xe2\x80\x8f" "1\xe2\x80\x8e" "2\xd8\x9c\xe2\x80\xa9\xe2\x81\xaa", "\xd7\xa9\xe2\x80\x8f" "1\xe2\x80\x8e" "2\xd8\x9c\xe2\x80\xa9\xe2\x81\xaa",
         "the marks U+200F, U+200E, U+061C and the characters beside the ranges stay"},
    };
    for (const auto& c : cases) EXPECT_EQ(clean(c.raw), c.kept) << c.what;
    // An editor's text: each line cleaned, the CRs between them kept.
    EXPECT_EQ(bbs::clean_lines("\r\xe2\x80\xaeone\x1b[1m\rtwo\r"), "\rone\rtwo\r");
}

TEST(CleanLine, TheCapCountsOnlyWhatIsKeptAndNeverCutsACharacter) {
    for (auto [raw, cap, kept] : {std::tuple{"ab\xc3\xa9", 3, "ab"}, {"\xe2\x82\xac\xe2\x82\xac", 5, "\xe2\x82\xac"}, {"abcdef", 3, "abc"}})
        EXPECT_EQ(bbs::clean_line(raw, cap), kept) << raw;
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += "\xe2\x82\xac";
    EXPECT_EQ(clean(euros).size(), 255u);  // 85 whole characters
    std::string colourful;
    for (int i = 0; i < 100; ++i) colourful += "\x1b[1;31m";
    EXPECT_EQ(clean(colourful + std::string(300, 'b')), std::string(HOST_INPSIZ - 1, 'b'));
    EXPECT_EQ(clean(std::string(500, '\x01') + "end"), "end");
}

// A client's text in a log line: at most 200 bytes of it, whole characters only, and its size when cut.
TEST(LogExcerpt, LongTextIsCutBeforeACharacterThatWouldNotFitAndSaysItsSize) {
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += "\xe2\x82\xac";
    const std::pair<std::string, std::string> cases[] = {
        {"Alice", "Alice"}, {std::string(200, 'a'), std::string(200, 'a')},
        {std::string(10240, 'a'), std::string(200, 'a') + "...(10240 bytes)"},
        {euros, euros.substr(0, 198) + "...(300 bytes)"},                                  // 66 whole euro signs
        {std::string(199, 'a') + "\xff\xfe", std::string(199, 'a') + "\xff...(201 bytes)"},  // bytes that are no UTF-8: one each
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(text::log_excerpt(text), shown) << text.size();
}

// What the input routine saw of the last line: its words, and after rstrin the words and the input.
struct Seen { std::vector<std::string> words; std::string rejoined, input_after, second_after; int32_t count_after = -1; };

class LineTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        Probe::register_as("Probe", true);
        Probe::probe().on_input = [this] {
            seen_ = Seen{};
            for (int i = 0; i < margc; ++i) seen_.words.push_back(margv[i]);
            const char* second = margc > 1 ? margv[1] : "";
            rstrin();
            seen_.count_after = margc, seen_.rejoined = margc ? margv[0] : "", seen_.input_after = ::input, seen_.second_after = second;
            return int16_t{1};
        };
        ch_ = online("Alice");
    }
    Seen seen_;
    int ch_ = -1;
};

TEST_F(LineTest, WordsAreSplitAndRstrinRejoinsThem) {
    struct Case { const char* line; std::vector<std::string> words; int32_t count_after; const char* rejoined; };
    const Case cases[] = {
        {"  look   at  the dragon  ", {"look", "at", "the", "dragon"}, 1, "look   at  the dragon"},
        {"", {}, 0, ""}, {"     ", {}, 0, ""}, {"single", {"single"}, 1, "single"},
    };
    for (const Case& c : cases) {
        host().line(ch_, c.line);
        EXPECT_EQ(seen_.words, c.words) << c.line;
        EXPECT_EQ(seen_.count_after, c.count_after) << c.line;
        EXPECT_EQ(seen_.rejoined, c.rejoined) << c.line;
    }
    host().line(ch_, "look Sir Bors");  // The raw line stays in input, and rstrin keeps the later words' pointers.
    EXPECT_EQ(seen_.second_after, "Sir Bors");
    EXPECT_EQ(seen_.input_after, "look Sir Bors");
    std::string many;  // More words than margv holds are cut off there, and the host goes on.
    for (int i = 0; i < 120; ++i) many += "w ";
    host().line(ch_, many);
    EXPECT_EQ(seen_.words.size(), static_cast<size_t>(HOST_MAXWORDS));
    host().line(ch_, "still here");
    EXPECT_EQ(seen_.words, (std::vector<std::string>{"still", "here"}));
}

TEST(TextHelpers, SameasSametoDepadStzcpy) {
    const std::tuple<const char*, const char*, int, int> cases[] = {  // a, b, sameas(a, b), sameto(a, b)
        {"Yes", "yES", 1, 1}, {"Ye", "Yes", 0, 1}, {"", "", 1, 1}, {"y", "Yes", 0, 1}, {"yeah", "Yes", 0, 0},
        {"yess", "Yes", 0, 0}, {"no", "Yes", 0, 0}, {"", "Yes", 0, 1},  // an empty part leads every text
    };
    for (const auto& [a, b, same, leads] : cases) {
        EXPECT_EQ(sameas(a, b), same) << a << " " << b;
        EXPECT_EQ(sameto(a, b), leads) << a << " " << b;
    }
    char padded[] = "text with blanks  \t  ", blanks[] = "    ";
    EXPECT_EQ(depad(padded), padded);
    EXPECT_STREQ(padded, "text with blanks");
    EXPECT_STREQ(depad(blanks), "");
    char dst[8] = "zzzzzzz";
    stzcpy(dst, "abcdefghijk", sizeof dst);
    EXPECT_STREQ(dst, "abcdefg");
    stzcpy(dst, "ab", sizeof dst);
    EXPECT_STREQ(dst, "ab");
}

using CallTransactionTest = HostTest;
using hosttest::record;

// A refused write rolls the whole call back, what came before and after it; the next call commits.
TEST_F(CallTransactionTest, AFailureRollsTheWholeCallBack) {
    // code: the primary code the call's failure says; second_write_runs: the fault lies in the commit, not in the write.
    struct Case { const char* fault; std::function<void(testing_support::Faults&)> arm; int code; bool second_write_runs; };
    const Case cases[] = {
        {"a full disk at the second write", [](testing_support::Faults& f) { f.fail_write(1); }, SQLITE_FULL, false},
        {"an I/O error that took the whole transaction",
         [](testing_support::Faults& f) { f.fail_write(1, SQLITE_IOERR, /*whole_transaction=*/true); }, SQLITE_IOERR, false},
        {"a commit the disk refuses", [](testing_support::Faults& f) { f.fail_commit(); }, SQLITE_FULL, true},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string n = std::to_string(++round);
        ASSERT_TRUE(db().begin_call());
        EXPECT_TRUE(db().in_call());
        EXPECT_NE(insert(record("Alice", "A" + n)), 0u);
        c.arm(faults());
        EXPECT_EQ(insert(record("Alice", "B" + n)) != 0, c.second_write_runs);
        EXPECT_NE(insert(record("Alice", "C" + n)), 0u);  // after the failure: held, and undone too
        const auto outcome = db().end_call();
        EXPECT_FALSE(outcome.committed);
        EXPECT_EQ(outcome.failure.code & 0xff, c.code) << outcome.failure.text();
        for (const char* tag : {"A", "B", "C"})
            EXPECT_FALSE(has("Alice", tag + n)) << tag << n << " stayed";
        dfaSetBlk(genbb);
        EXPECT_EQ(dfaAbs(), 0u) << "a rolled-back record stays current";
        dfaRstBlk();
        ASSERT_TRUE(db().begin_call());
        EXPECT_NE(insert(record("Alice", "D" + n)), 0u);
        EXPECT_TRUE(db().end_call().committed) << "the fault outlived its one failure";
        EXPECT_FALSE(db().in_call());
        EXPECT_TRUE(has("Alice", ("D" + n).c_str()));
    }
    EXPECT_TRUE(db().end_call().committed);  // Without a call open, end_call has nothing to do.
}

TEST_F(CallTransactionTest, AFailedStatementIsReportedAndABatchJoinsTheCall) {
    ASSERT_TRUE(db().begin_call());
    EXPECT_TRUE(db().batch([&] { return insert(record("Alice", "B1")) != 0; }));
    faults().fail_write(1);
    EXPECT_EQ(insert(record("Alice", "B2")), 0u);
    auto outcome = db().end_call();
    EXPECT_FALSE(outcome.committed);
    EXPECT_NE(outcome.failure.what.find("insert"), std::string::npos) << outcome.failure.text();
    EXPECT_FALSE(has("Alice", "B1"));
    ASSERT_TRUE(db().begin_call());  // A taken key is not a failure of the database.
    EXPECT_NE(insert(record("Alice", "K")), 0u);
    EXPECT_EQ(insert(record("alice", "k")), 0u);
    EXPECT_TRUE(db().end_call().committed);
    EXPECT_TRUE(has("Alice", "K"));
}

TEST_F(CallTransactionTest, AccountsReportTheirFailuresToTheCall) {
    add_account("Alice");
    ASSERT_TRUE(db().begin_call());
    EXPECT_FALSE(host().accounts().deduct_credits("Alice", 5000)) << "more than she has";
    EXPECT_TRUE(db().end_call().committed) << "too few credits is no failure of the database";
    ASSERT_TRUE(db().begin_call());
    faults().fail_write(1);
    EXPECT_FALSE(host().accounts().deduct_credits("Alice", 10));
    const auto outcome = db().end_call();
    EXPECT_FALSE(outcome.committed);
    EXPECT_NE(outcome.failure.what.find("deducting credits"), std::string::npos) << outcome.failure.text();
    EXPECT_EQ(host().accounts().find("Alice")->credits, 1000);
}

// A rolled-back line: its output is withheld, the user hears why, and the log says so.
TEST_F(CallTransactionTest, ARolledBackLineIsToldToItsUserInsteadOfItsOutput) {
    Probe::register_as("Probe", true);
    bool refuse = false;
    Probe::probe().on_input = [&] {
        if (refuse) faults().fail_write(1);
        insert(record(usaptr->userid, margc ? margv[0] : "EMPTY"));
        odedcrd(usrnum, 100, 1, 0);
        prf("Stored %s.\r", margc ? margv[0] : "nothing");
        outprf(usrnum);
        return int16_t{1};
    };
    const int alice = online("Alice"), bob = online("Bob");
    EXPECT_EQ(type(alice, "FIRST"), "Stored FIRST.\r");
    refuse = true;
    EXPECT_EQ(type(alice, "SECOND"), "\r*** The host could not store that: its database refused the change (the disk may be full). "
                                     "Nothing of it was saved or charged. Press Enter to go on. ***\r");
    EXPECT_TRUE(logged({"rolled back", "database or disk is full"}));
    EXPECT_EQ(host().accounts().find("Alice")->credits, 900) << "the second charge stayed";
    EXPECT_TRUE(has("Alice", "FIRST"));
    EXPECT_FALSE(has("Alice", "SECOND"));
    refuse = false;
    EXPECT_EQ(type(bob, "OTHER"), "Stored OTHER.\r");
}

}  // namespace
