// Message files: the source compiler, the compiled form, opnmsg's
// recompilation, the option readers and the message printers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

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

SourceError parse_error(std::string_view src) {
    MessageTable t;
    SourceError e;
    EXPECT_FALSE(bbs::parse_message_source(src, "T.MSG", &t, &e));
    return e;
}

TEST(MessageSource, EntriesEscapesAndLineBreaks) {
    MessageTable t = parse_ok(
        "# options\n"
        "4 PRICE {100}\n"
        "  # indented comment\n"
        "20 MENU {\\e[1mHi\\e[0m\\r\\n\\t\\\\\\{x\\}\\x41\\x7e}\n"
        "21 MULTI {one\r\ntwo\nthree}\n"
        "22 NESTED {a {b} c}\n"
        "23 EMPTY {}\n");
    ASSERT_EQ(t.entries.size(), 5u);
    EXPECT_EQ(t.by_number(4)->text, "100");
    EXPECT_EQ(t.by_number(20)->text, "\x1b[1mHi\x1b[0m\r\n\t\\{x}A~");
    EXPECT_EQ(t.by_number(21)->text, "one\rtwo\rthree");
    EXPECT_EQ(t.by_number(22)->text, "a {b} c");
    EXPECT_EQ(t.by_number(23)->text, "");
    EXPECT_EQ(t.by_name("menu")->number, 20);
    EXPECT_EQ(t.by_number(99), nullptr);
    EXPECT_EQ(t.by_name("NOPE"), nullptr);
}

TEST(MessageSource, ErrorsNameFileAndLine) {
    SourceError dup_number = parse_error("1 A {x}\n\n2 B {y}\n1 C {z}\n");
    EXPECT_EQ(dup_number.file, "T.MSG");
    EXPECT_EQ(dup_number.line, 4);
    EXPECT_NE(dup_number.reason.find("duplicate number 1"), std::string::npos) << dup_number.reason;

    SourceError dup_name = parse_error("1 A {x}\n2 B {multi\nline}\n3 a {z}\n");
    EXPECT_EQ(dup_name.line, 4);
    EXPECT_NE(dup_name.reason.find("duplicate name"), std::string::npos);

    SourceError unclosed = parse_error("1 A {x}\n# c\n2 B {never\nclosed\n");
    EXPECT_EQ(unclosed.line, 3);
    EXPECT_NE(unclosed.reason.find("missing '}'"), std::string::npos);

    SourceError no_open = parse_error("1 A {x}\n2 B text}\n");
    EXPECT_EQ(no_open.line, 2);
    EXPECT_NE(no_open.reason.find("missing '{'"), std::string::npos);

    SourceError bad_escape = parse_error("1 A {x}\n2 B {one\ntwo \\q}\n");
    EXPECT_EQ(bad_escape.line, 3);
    EXPECT_NE(bad_escape.reason.find("bad escape \\q"), std::string::npos);

    SourceError bad_hex = parse_error("1 A {\\x4}\n");
    EXPECT_EQ(bad_hex.line, 1);
    EXPECT_NE(bad_hex.reason.find("\\x"), std::string::npos);

    SourceError no_number = parse_error("1 A {x}\nB {y}\n");
    EXPECT_EQ(no_number.line, 2);
    EXPECT_EQ(no_number.describe().rfind("T.MSG:2: ", 0), 0u) << no_number.describe();
}

TEST_F(HostTest, CompiledFileRoundTripsEveryByte) {
    MessageTable t;
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    t.entries.push_back({7, "ALL", all});
    t.entries.push_back({-3, "NEG", ""});
    std::string error;
    ASSERT_TRUE(bbs::write_compiled_messages(dir_ / "X.MCV", t, &error)) << error;
    MessageTable back;
    ASSERT_TRUE(bbs::read_compiled_messages(dir_ / "X.MCV", &back, &error)) << error;
    ASSERT_EQ(back.entries.size(), 2u);
    EXPECT_EQ(back.by_number(7)->text, all);
    EXPECT_EQ(back.by_number(-3)->name, "NEG");
    EXPECT_EQ(read("X.MCV").substr(0, 4), "BMCV");

    write("BAD.MCV", "junk");
    EXPECT_FALSE(bbs::read_compiled_messages(dir_ / "BAD.MCV", &back, &error));
}

TEST_F(HostTest, OpnmsgCompilesWhenTheSourceIsNewer) {
    open();
    write("M.MSG", "1 GREET {old}\n");
    HostMsgFile* m = opnmsg("M.MCV");
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "M.MCV"));
    prfmsg(1);
    outprf(0);  // nobody online: the buffer is emptied all the same
    EXPECT_STREQ(prfbuf, "");
    clsmsg(m);

    // A compiled file newer than its source is used as it is.
    write("M.MSG", "1 GREET {new}\n");
    auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(dir_ / "M.MSG", now - std::chrono::hours(2));
    std::filesystem::last_write_time(dir_ / "M.MCV", now - std::chrono::hours(1));
    m = opnmsg("M.MCV");
    ASSERT_NE(m, nullptr);
    char* old_text = stgopt(1);
    EXPECT_STREQ(old_text, "old");
    galfree(old_text);
    clsmsg(m);

    // Once the source is newer it is compiled again.
    std::filesystem::last_write_time(dir_ / "M.MSG", now);
    m = opnmsg("M.MCV");
    ASSERT_NE(m, nullptr);
    char* new_text = stgopt(1);
    EXPECT_STREQ(new_text, "new");
    galfree(new_text);
}

TEST_F(HostTest, OpnmsgReportsSourceErrorsAndMissingFiles) {
    open();
    write("E.MSG", "1 A {ok}\n2 B {bad \\z}\n");
    EXPECT_EQ(opnmsg("E.MCV"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "E.MCV"));
    EXPECT_EQ(opnmsg("NONE.MCV"), nullptr);
    std::string log = host_log();
    EXPECT_NE(log.find("E.MSG:2: bad escape \\z"), std::string::npos) << log;
    EXPECT_NE(log.find("NONE.MCV"), std::string::npos) << log;
}

TEST_F(HostTest, OptionReadersClampAndWarn) {
    open();
    write("O.MSG",
          "1 INRANGE {42}\n2 HIGH {5000}\n3 LOW {-7}\n4 WORD {lots}\n5 YES {yes}\n6 NO { No }\n"
          "7 MAYBE {maybe}\n8 TEXT {two words}\n9 EMPTY {}\n");
    ASSERT_NE(opnmsg("O.MCV"), nullptr);
    EXPECT_EQ(numopt(1, 0, 100), 42);
    EXPECT_EQ(numopt(2, 0, 100), 100);
    EXPECT_EQ(lngopt(3, -1, 90000000), -1);
    EXPECT_EQ(numopt(4, 5, 60), 5);
    EXPECT_EQ(numopt(99, 3, 9), 3);
    EXPECT_EQ(ynopt(5), 1);
    EXPECT_EQ(ynopt(6), 0);
    EXPECT_EQ(ynopt(7), 0);
    char* text = stgopt(8);
    EXPECT_STREQ(text, "two words");
    galfree(text);
    char* empty = stgopt(9);
    EXPECT_STREQ(empty, "");
    galfree(empty);

    std::string log = host_log();
    EXPECT_EQ(log.find("option 1 "), std::string::npos) << "an in-range value is not a warning";
    EXPECT_NE(log.find("O.MCV option 2 (HIGH) value 5000 is out of bounds 0..100; using 100"), std::string::npos) << log;
    EXPECT_NE(log.find("O.MCV option 3 (LOW) value -7 is out of bounds -1..90000000; using -1"), std::string::npos) << log;
    EXPECT_NE(log.find("O.MCV option 4 (WORD) value \"lots\" is not a number; using 5 (bounds 5..60)"), std::string::npos) << log;
    EXPECT_NE(log.find("O.MCV option 99 is missing"), std::string::npos) << log;
    EXPECT_NE(log.find("O.MCV option 7 (MAYBE) value \"maybe\" is neither YES nor NO"), std::string::npos) << log;
    EXPECT_EQ(log.find("option 6 "), std::string::npos) << "NO with blanks around it is valid";
}

TEST_F(HostTest, BlocksStackAndPrintTheSelectedOne) {
    open();
    add_account("Alice");
    write("A.MSG", "1 HELLO {A says %s %d}\n");
    write("B.MSG", "1 HELLO {B says %s}\n");
    int ch = host().logon("Alice");
    host().take_output(ch);
    HostMsgFile* a = opnmsg("A.MCV");
    HostMsgFile* b = opnmsg("B.MCV");  // selected on top of a
    ASSERT_TRUE(a && b);
    prfmsg(1, "hi");
    rstmbk();  // back to a
    prfmsg(1, "yo", 7);
    setmbk(b);
    prfmsg(1, "again");
    rstmbk();
    prf("|%s|", "lit");
    prfmsg(2);  // not in the block: prints nothing, logs a warning
    outprf(ch);
    EXPECT_EQ(host().take_output(ch), "B says hiA says yo 7B says again|lit|");
    EXPECT_NE(host_log().find("prfmsg: message 2 is not in A.MCV"), std::string::npos) << host_log();
}

TEST_F(HostTest, OutputBufferNeverOverflows) {
    open();
    add_account("Alice");
    int ch = host().logon("Alice");
    host().take_output(ch);
    std::string chunk(1000, 'x');
    for (int i = 0; i < 40; ++i) prf("%s", chunk.c_str());
    outprf(ch);
    std::string got = host().take_output(ch);
    EXPECT_GT(got.size(), 15000u);
    EXPECT_LT(got.size(), 16384u);
    EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
    EXPECT_STREQ(prfbuf, "");
}

TEST_F(HostTest, MsgscanReadsAnotherSourceByName) {
    open();
    write("tcplibm.msg", "# front end\n1 PORT {23}\n2 SUBBBS {no}\n");
    char* v = msgscan("tcplibm.msg", "SUBBBS");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "no");
    EXPECT_EQ(msgscan("tcplibm.msg", "MISSING"), nullptr);
    EXPECT_EQ(msgscan("absent.msg", "SUBBBS"), nullptr);
}

TEST_F(HostTest, HasmkeyAsksTheCurrentUsersKeys) {
    open();
    add_account("Sysop", {"SysOp", "OTHER"});
    add_account("Alice");
    write("K.MSG", "10 SYSKEY {SYSOP}\n11 BLANK {}\n");
    ASSERT_NE(opnmsg("K.MCV"), nullptr);
    int sysop = host().logon("Sysop");
    int alice = host().logon("Alice");
    usrnum = sysop;
    EXPECT_EQ(hasmkey(10), 1);
    EXPECT_EQ(hasmkey(11), 0);
    EXPECT_EQ(hasmkey(12), 0);
    usrnum = alice;
    EXPECT_EQ(hasmkey(10), 0);
}

TEST_F(HostTest, ReloadRefreshesOpenBlocksInPlace) {
    open();
    write("R.MSG", "1 PRICE {10}\n");
    HostMsgFile* r = opnmsg("R.MCV");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(numopt(1, 0, 100), 10);
    write("R.MSG", "1 PRICE {20}\n");
    std::filesystem::last_write_time(dir_ / "R.MSG",
                                     std::filesystem::last_write_time(dir_ / "R.MCV") + std::chrono::seconds(5));
    host().reload();
    EXPECT_EQ(numopt(1, 0, 100), 20);  // same handle, still selected

    // A broken source on reload keeps the block as it was.
    write("R.MSG", "1 PRICE {30\n");
    std::filesystem::last_write_time(dir_ / "R.MSG",
                                     std::filesystem::last_write_time(dir_ / "R.MCV") + std::chrono::seconds(5));
    host().reload();
    EXPECT_EQ(numopt(1, 0, 100), 20);
    EXPECT_NE(host_log().find("R.MSG:1: missing '}'"), std::string::npos) << host_log();
}

}  // namespace
