// Message files: source compiler, kinds and their check, compiled form, opnmsg, options, printers.

#include <chrono>
#include <tuple>

#include "bbs/messages.h"
#include "tests/bbs/host_fixture.h"

namespace {

using bbs::MessageTable;
using bbs::SourceError;
using hosttest::HostTest;

MessageTable parse_ok(std::string_view src) {
    MessageTable t;
    SourceError e;
    EXPECT_TRUE(bbs::parse_message_source(src, "T.MSG", &t, &e)) << e.describe();
    return t;
}

// The entries in order: number, name, kind, text.
using Entries = std::vector<std::tuple<int, std::string, std::string, std::string>>;
Entries entries(const MessageTable& t) {
    Entries out;
    for (const auto& e : t.entries) out.emplace_back(e.number, e.name, e.kind.text(), e.text);
    return out;
}

std::string option_text(int number) {  // stgopt's copy, freed
    char* text = stgopt(number);
    const std::string copy = text;
    return galfree(text), copy;
}

SourceError parse_error(std::string_view src) {
    MessageTable t;
    SourceError e;
    EXPECT_FALSE(bbs::parse_message_source(src, "T.MSG", &t, &e));
    return e;
}

TEST(MessageSource, EntriesEscapesAndLineBreaks) {
    MessageTable t = parse_ok("# options\n4 PRICE {100}\n  # indented comment\n"
                              "20 MENU {\\e[1mHi\\e[0m\\r\\n\\t\\\\\\{x\\}\\x41\\x7e}\n"
                              "21 MULTI {one\r\ntwo\nthree}\n22 NESTED {a {b} c}\n23 EMPTY {}\n");
    EXPECT_EQ(entries(t), (Entries{{4, "PRICE", "", "100"}, {20, "MENU", "", "\x1b[1mHi\x1b[0m\r\n\t\\{x}A~"},
                                   {21, "MULTI", "", "one\rtwo\rthree"}, {22, "NESTED", "", "a {b} c"}, {23, "EMPTY", "", ""}}));
    EXPECT_EQ(t.by_name("menu")->number, 20);
    EXPECT_EQ(t.by_number(99), nullptr);
    EXPECT_EQ(t.by_name("NOPE"), nullptr);
}

TEST(MessageSource, ErrorsNameFileAndLine) {
    const struct { const char* source; int line; const char* reason; } cases[] = {
        {"1 A {x}\n\n2 B {y}\n1 C {z}\n", 4, "duplicate number 1"}, {"1 A {x}\nB {y}\n", 2, ""},
        {"1 A {x}\n2 B {multi\nline}\n3 a {z}\n", 4, "duplicate name"}, {"1 A {\\x4}\n", 1, "\\x"},
        {"1 A {x}\n# c\n2 B {never\nclosed\n", 3, "missing '}'"}, {"1 A {x}\n2 B text}\n", 2, "missing '{'"},
        {"1 A {x}\n2 B {one\ntwo \\q}\n", 3, "bad escape \\q"},
        {"1 A {}\n#: bogus\n2 B {}\n", 2, "unknown kind \"bogus\""},
        {"#: prfmsg\n#: prfmsg\n1 A {}\n", 1, "has no entry after it"}, {"1 A {}\n\n#: ynopt\n", 3, "has no entry after it"},
        {"#: numopt(5..1)\n1 A {}\n", 1, "LOW not above HIGH"}, {"#: numopt(1..99999999999)\n1 A {}\n", 1, "32-bit"},
        {"#: numopt(0..9\n1 A {}\n", 1, "closing ')'"}, {"#: ynopt(1)\n1 A {}\n", 1, "takes nothing in parentheses"},
        {"#: prfmsg(string, float)\n1 A {}\n", 1, "argument \"float\""},
    };
    for (const auto& c : cases) {
        SourceError e = parse_error(c.source);
        EXPECT_EQ(e.file, "T.MSG") << c.source;
        EXPECT_EQ(e.line, c.line) << c.source;
        EXPECT_NE(e.reason.find(c.reason), std::string::npos) << c.source << " -> " << e.reason;
        EXPECT_EQ(e.describe().rfind("T.MSG:" + std::to_string(c.line) + ": ", 0), 0u) << e.describe();
    }
}

TEST(MessageSource, KindLines) {
    MessageTable t = parse_ok("#:prfmsg( string ,count )\n# a comment between the kind and its entry\n1 A {x}\n"
                              "#: PRFMSG(none)\n2 B {}\n#: lngopt( -1 .. 90000000 )\n3 C {5}\n4 D {no kind}\n");
    EXPECT_EQ(entries(t), (Entries{{1, "A", "prfmsg(string, count)", "x"}, {2, "B", "prfmsg", ""}, {3, "C", "lngopt(-1..90000000)", "5"},
                                   {4, "D", "", "no kind"}}));
    EXPECT_EQ(t.by_number(4)->kind.reader, bbs::EntryKind::Reader::unknown);
}

// "#: KIND\n1 T {TEXT}" checked without a catalogue: "" when it passes, else the reason.
std::string checked(std::string_view kind, std::string_view text) {
    std::string source = kind.empty() ? "" : "#: " + std::string(kind) + "\n";
    source += "1 T {" + std::string(text) + "}\n";
    MessageTable t = parse_ok(source);
    std::vector<SourceError> errors;
    if (bbs::check_message_table(&t, nullptr, "T.MSG", &errors)) return "";
    EXPECT_EQ(errors.size(), 1u);
    return errors.front().reason;
}

TEST(MessageCheck, ValuesAndConversionsFitTheirKinds) {
    // part of the reason; "" when the text passes
    const struct { const char* kind; const char* text; const char* refusal; } cases[] = {
        {"prfmsg", "100%% sure, %%", ""}, {"", "plain text", ""}, {"prfmsg(string)", "[%-20.5s]", ""},
        {"prfmsg", "100% sure: ", "1 T: conversion \"% s\" has no argument to print: 1 T takes none (write %% for"},
        {"prfmsg", "Up 5%5", "an unfinished conversion \"%5\" at the end"},
        {"", "%s", "takes none (write %% for a percent sign, or give the entry its arguments"},
        {"prfmsg(string)", "[%s] [%-20.5s]", "conversion \"%-20.5s\" has no argument to print: 1 T takes 1 (string)"},
        {"prfmsg(string)", "%d", "conversion \"%d\" does not fit: argument 1 is a string (print it with %s)"},
        {"prfmsg(string)", "%n", "\"%n\" writes into memory"}, {"prfmsg(string)", "%1$s", "picks its argument by position"},
        {"prfmsg(string)", "%y", "unknown conversion \"%y\""}, {"prfmsg(string)", "%p", "\"%p\" does not fit"},
        {"prfmsg(integer)", "%+05d %i", "\"%i\" has no argument to print"}, {"prfmsg(integer, integer)", "%+05d %i", ""},
        {"prfmsg(integer)", "%u", "argument 1 is an integer (print it with %d or %i)"},
        {"prfmsg(integer)", "%*d", "width or precision from an argument"},
        {"prfmsg(integer)", "%.*d", "width or precision from an argument"},
        {"prfmsg(integer)", "%ld", "length modifier"}, {"prfmsg(integer)", "%f", "does not fit"},
        {"prfmsg(count)", "%u found", ""}, {"prfmsg(count)", "%x", "argument 1 is a count (print it with %d, %i or %u)"},
        {"prfmsg(string, integer, count)", "%s", ""},
        {"numopt(0..9)", " 42 ", ""}, {"numopt(0..9)", "-3", ""}, {"lngopt(0..9)", "+7", ""},
        {"lngopt(0..9)", "1,000", "1 T: \"1,000\" is not a number (lngopt(0..9) wants a whole number)"},
        {"numopt(0..9)", "a lot", "\"a lot\" is not a number"}, {"numopt(0..9)", "", "\"\" is not a number"},
        {"ynopt", " y ", ""},
        {"ynopt", "maybe", "\"maybe\" is not YES, NO, Y or N"}, {"ynopt", "", "\"\" is not YES, NO, Y or N"},
        {"stgopt", "100% %s %n", ""}, {"hasmkey", "%s", ""},
    };
    for (const auto& c : cases) {
        std::string reason = checked(c.kind, c.text);
        if (*c.refusal == '\0')
            EXPECT_EQ(reason, "") << c.kind << " {" << c.text << "}";
        else
            EXPECT_NE(reason.find(c.refusal), std::string::npos) << c.kind << " {" << c.text << "} -> " << reason;
    }
}

TEST(MessageCheck, ErrorsNameTheLineOfWhatIsWrong) {
    const struct { const char* source; int line; } cases[] = {
        {"#: prfmsg\n5 M {one\ntwo\nthree %d}\n", 4}, {"#: prfmsg\r\n5 M {one\r\ntwo\r\nthree %d}\r\n", 4},
        {"#: prfmsg\n5 M {one\\ntwo\\r %d\n}\n", 2}, {"\n#: numopt(0..9)\n5 M {\nten}\n", 3},
    };
    for (const auto& c : cases) {
        MessageTable t = parse_ok(c.source);
        std::vector<SourceError> errors;
        EXPECT_FALSE(bbs::check_message_table(&t, nullptr, "T.MSG", &errors));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].describe().rfind("T.MSG:" + std::to_string(c.line) + ": 5 M: ", 0), 0u)
            << errors[0].describe();
    }
}

TEST(MessageCheck, TheCatalogueDecidesEveryKindAndWhatMustBeThere) {
    MessageTable catalogue = parse_ok("#: numopt(0..9)\n4 N {}\n#: ynopt\n15 Y {}\n#: prfmsg(string)\n20 S {}\n");
    const struct { const char* source; std::vector<std::string> errors; } cases[] = {  // describe() of each, in order
        {"4 N {3}\n15 Y {n}\n20 S {<%s>}\n", {}},
        {"", {"T.MSG: 4 N is missing (the module reads it with numopt(0..9))",
              "T.MSG: 15 Y is missing (the module reads it with ynopt)",
              "T.MSG: 20 S is missing (the module reads it with prfmsg(string))"}},
        {"#: prfmsg(string, string)\n20 S {%s %s}\n4 N {3}\n15 Y {n}\n",
         {"T.MSG:2: 20 S: marked prfmsg(string, string), but the module reads it with prfmsg(string)",
          "T.MSG:2: 20 S: conversion \"%s\" has no argument to print: 20 S takes 1 (string)"}},
        {"#: stgopt\n4 N {x}\n15 Y {n}\n20 S {}\n",
         {"T.MSG:2: 4 N: marked stgopt, but the module reads it with numopt(0..9)",
          "T.MSG:2: 4 N: \"x\" is not a number (numopt(0..9) wants a whole number)"}},
        {"4 N {3}\n15 Y {n}\n20 S {}\n99 EXTRA {50%}\n",
         {"T.MSG:4: 99 EXTRA: a lone '%' at the end of the text (write %% for a percent sign, or give the "
          "entry its arguments with a \"#: prfmsg(...)\" line)"}},
    };
    for (const auto& c : cases) {
        MessageTable t = parse_ok(c.source);
        std::vector<SourceError> errors;
        EXPECT_EQ(bbs::check_message_table(&t, &catalogue, "T.MSG", &errors), c.errors.empty()) << c.source;
        std::vector<std::string> described;
        for (const auto& e : errors) described.push_back(e.describe());
        EXPECT_EQ(described, c.errors) << c.source;
        if (c.errors.empty()) {
            EXPECT_EQ(t.by_number(20)->kind.text(), "prfmsg(string)");
        }
    }
}

TEST_F(HostTest, CompiledFileRoundTripsEveryByte) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    MessageTable t = parse_ok("#: prfmsg(string, count)\n7 ALL {}\n-3 NEG {}\n#: lngopt(-1..5)\n2 OPT {}\n");
    t.entries[0].text = all;
    std::string error;
    ASSERT_TRUE(bbs::write_compiled_messages(dir_ / "X.MCV", t, &error)) << error;
    MessageTable back;
    ASSERT_TRUE(bbs::read_compiled_messages(dir_ / "X.MCV", &back, &error)) << error;
    EXPECT_EQ(entries(back), (Entries{{7, "ALL", "prfmsg(string, count)", all}, {-3, "NEG", "", ""}, {2, "OPT", "lngopt(-1..5)", ""}}));
    EXPECT_EQ(back.by_number(-3)->kind.reader, bbs::EntryKind::Reader::unknown);
    EXPECT_EQ(read("X.MCV").substr(0, 8), std::string("BMCV\x03\0\0\0", 8));

    // A file of the version before kinds is read as it is, without kinds.
    const std::string v2("BMCV\x02\0\0\0" "12345678" "\x01\0\0\0" "\x09\0\0\0" "\x02\0\0\0" "HI"
                         "\x03\0\0\0" "h%d", 37);
    write("OLD.MCV", v2);
    ASSERT_TRUE(bbs::read_compiled_messages(dir_ / "OLD.MCV", &back, &error)) << error;
    EXPECT_EQ(entries(back), (Entries{{9, "HI", "", "h%d"}}));
    EXPECT_EQ(back.source_digest, 0x3837363534333231ull);

    for (std::string junk : {std::string("junk"), std::string("BMCV\x04\0\0\0", 8), v2.substr(0, 30)}) {
        write("BAD.MCV", junk);
        EXPECT_FALSE(bbs::read_compiled_messages(dir_ / "BAD.MCV", &back, &error)) << junk;
    }
}

TEST_F(HostTest, OpnmsgUsesACompiledFileOnlyWhenItWasMadeFromTheSourceAsItIs) {
    write("M.MSG", "1 GREET {old}\n");
    ASSERT_NE(opnmsg("M.MCV"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "M.MCV"));
    EXPECT_EQ(option_text(1), "old");

    // Compiled from the old text by a process that finished after the rewrite: newer than the source, stale.
    write("M.MSG", "1 GREET {new}\n");
    auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(dir_ / "M.MSG", now - std::chrono::hours(2));
    std::filesystem::last_write_time(dir_ / "M.MCV", now - std::chrono::hours(1));
    host().reload();
    EXPECT_EQ(option_text(1), "new");

    // A compiled file of the very text is read as it is, whatever its time.
    const std::string compiled = read("M.MCV");
    std::filesystem::last_write_time(dir_ / "M.MCV", now - std::chrono::hours(3));
    host().reload();
    EXPECT_EQ(read("M.MCV"), compiled);
    EXPECT_EQ(std::filesystem::last_write_time(dir_ / "M.MCV"), now - std::chrono::hours(3));
}

TEST_F(HostTest, OpnmsgReportsSourceErrorsAndMissingFiles) {
    write("E.MSG", "1 A {ok}\n2 B {bad \\z}\n");
    EXPECT_EQ(opnmsg("E.MCV"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "E.MCV"));
    EXPECT_EQ(opnmsg("NONE.MCV"), nullptr);
    EXPECT_TRUE(logged({"E.MSG:2: bad escape \\z", "NONE.MCV"}));
}

TEST_F(HostTest, OptionReadersClampAndWarn) {
    write("O.MSG",
          "1 INRANGE {42}\n4 WORD {lots}\n5 YES {yes}\n6 NO { No }\n7 MAYBE {maybe}\n8 TEXT {two words}\n"
          "9 EMPTY {}\n");
    ASSERT_NE(opnmsg("O.MCV"), nullptr);
    for (auto [option, low, high, value] : {std::tuple{1, 0, 100, 42}, {4, 5, 60, 5}, {99, 3, 9, 3}}) EXPECT_EQ(numopt(option, low, high), value);
    for (auto [option, yes] : {std::pair{5, 1}, {6, 0}, {7, 0}}) EXPECT_EQ(ynopt(option), yes) << option;
    for (auto [option, text] : {std::pair{8, "two words"}, {9, ""}}) EXPECT_EQ(option_text(option), text);

    EXPECT_TRUE(logged({"O.MCV option 4 (WORD) value \"lots\" is not a number; using 5 (bounds 5..60)", "O.MCV option 99 is missing",
                        "O.MCV option 7 (MAYBE) value \"maybe\" is not YES, NO, Y or N; using NO"}));
    const std::string log = host_log();
    // No warning for a value in range or NO with blanks around it. (Values out of bounds, Y and N: e2e
    // test_bad_input out_of_range_options_are_clamped_..., test_config yes_no_options_take_y_and_n.)
    for (const char* valid : {"option 1 ", "option 6 "})
        EXPECT_EQ(log.find(valid), std::string::npos) << valid;
}

TEST_F(HostTest, BlocksStackAndPrintTheSelectedOne) {
    write("A.MSG", "#: prfmsg(string, integer)\n1 HELLO {A says %s %d}\n#: stgopt\n3 OPT {100% %s}\n");
    write("B.MSG", "#: prfmsg(string)\n1 HELLO {B says %s}\n");
    int ch = online("Alice");
    HostMsgFile *a = opnmsg("A.MCV"), *b = opnmsg("B.MCV");  // b selected on top of a
    ASSERT_TRUE(a && b);
    prfmsg(1, "hi");
    rstmbk();  // back to a
    prfmsg(1, "yo", 7);
    setmbk(b);
    prfmsg(1, "again");
    rstmbk();
    prf("|%s|", "lit");
    prfmsg(2);  // not in the block: prints nothing, logs a warning
    prfmsg(3);  // an option: printed as it is, never as a format
    outprf(ch);
    EXPECT_EQ(output(ch), "B says hiA says yo 7B says again|lit|100% %s");
    EXPECT_TRUE(logged({"prfmsg: message 2 is not in A.MCV", "prfmsg: 3 OPT of A.MCV is an option (stgopt); printed as it is"}));
}

TEST_F(HostTest, OutputBufferNeverOverflows) {
    int ch = online("Alice");
    std::string chunk(1000, 'x');
    for (int i = 0; i < 40; ++i) prf("%s", chunk.c_str());
    outprf(ch);
    std::string got = output(ch);
    EXPECT_GT(got.size(), 15000u);
    EXPECT_LT(got.size(), 16384u);
    EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
    EXPECT_STREQ(prfbuf, "");
}

TEST_F(HostTest, MsgscanReadsAnotherSourceByName) {
    write("tcplibm.msg", "# front end\n1 PORT {23}\n2 SUBBBS {no}\n");
    EXPECT_STREQ(msgscan("tcplibm.msg", "SUBBBS"), "no");
    EXPECT_EQ(msgscan("tcplibm.msg", "MISSING"), nullptr);
    EXPECT_EQ(msgscan("absent.msg", "SUBBBS"), nullptr);
}

TEST_F(HostTest, HasmkeyAsksTheCurrentUsersKeys) {
    add_account("Sysop", {"SysOp", "OTHER"});
    add_account("Alice");
    write("K.MSG", "10 SYSKEY {SYSOP}\n11 BLANK {}\n");
    ASSERT_NE(opnmsg("K.MCV"), nullptr);
    const int sysop = host().logon("Sysop"), alice = host().logon("Alice");
    for (auto [channel, message, has] : {std::tuple{sysop, 10, 1}, {sysop, 11, 0}, {sysop, 12, 0}, {alice, 10, 0}}) {
        usrnum = channel;
        EXPECT_EQ(hasmkey(message), has) << channel << " " << message;
    }
}

}  // namespace
