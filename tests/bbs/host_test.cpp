// The host around its modules: registration, logon, the host menu, global commands, injections, catastro.

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;
using Game = hosttest::ProbeModule<20>;
using Other = hosttest::ProbeModule<21>;

TEST_F(HostTest, ModulesGetNumbersInOrderAndAreFoundByNameAndGmdnam) {
    EXPECT_EQ(Game::register_as("Brakvold"), 0);
    EXPECT_EQ(Other::register_as("Brakvold Plus"), 1);
    EXPECT_EQ(host().module_count(), 2);
    for (auto [name, number] : {std::pair{"BRAKVOLD", 0}, {"brakvold plus", 1}, {"Brak", -1}}) EXPECT_EQ(host().find_module(name), number);
    EXPECT_STREQ(host().module(1)->name, "Brakvold Plus");
    EXPECT_EQ(host().module(2), nullptr);
    EXPECT_EQ(nterms, 4);
    // gmdnam reads a module's name from its description file.
    write("X.MDF", "Version: 2\nModule name:   Brakvold Plus  \nDescription: x\n");
    EXPECT_STREQ(gmdnam("X.MDF"), "Brakvold Plus");
    EXPECT_STREQ(gmdnam("MISSING.MDF"), "");
    EXPECT_TRUE(logged({"MISSING.MDF"}));
}

TEST_F(HostTest, LogonAndHangupCallEveryModuleInOrder) {
    Game::register_as("Brakvold", true);
    Other::register_as("Other");
    for (const char* userid : {"Alice", "Bob"}) add_account(userid);
    EXPECT_EQ(host().logon("nobody"), -1);
    const int a = host().logon("alice"), b = host().logon("Bob");  // the user-ID ignores case
    EXPECT_EQ(std::pair(a, b), std::pair(0, 1));
    EXPECT_EQ(host().logon("ALICE"), -1) << "already online";
    EXPECT_STREQ(uacoff(a)->userid, "Alice");
    EXPECT_EQ(usroff(a)->state, Game::probe().number);
    EXPECT_EQ(host().channel_of("bob"), 1);
    host().hangup(a);
    EXPECT_EQ(std::tuple(host().online(a), uacoff(a), usroff(a)), std::tuple(false, nullptr, nullptr));
    for (const auto* probe : {&Game::probe(), &Other::probe()})
        EXPECT_EQ(probe->events, (std::vector<std::string>{"logon 0", "logon 1", "hangup 0", "logoff 0"}));
    EXPECT_EQ(host().logon("Alice"), 0) << "the lowest free channel";
    EXPECT_TRUE(logged({"logon: Alice at channel 0", "logoff: Alice from channel 0"}));
    close();
    EXPECT_EQ(Game::probe().events.back(), "finish");
}

TEST_F(HostTest, InputResultZeroHandsTheUserToTheHostMenu) {
    Game::register_as("Brakvold");
    Other::register_as("Other", true);
    Other::probe().on_input = [] { return int16_t{0}; };
    int a = online("Alice");
    EXPECT_EQ(type(a, "anything"), "Host: ");
    EXPECT_EQ(usroff(a)->state, -1);
    EXPECT_EQ(type(a, "what"), "Commands: game, bye.\rHost: ");
    host().line(a, "GAME");
    EXPECT_EQ(usroff(a)->state, Game::probe().number);
    host().deliver_all();
    EXPECT_EQ(Game::probe().events.back(), "status 0 3");
    usroff(a)->state = -1;
    EXPECT_EQ(type(a, "bye"), "Goodbye.\r");
    EXPECT_FALSE(host().online(a));
}

TEST_F(HostTest, GlobalCommandsSeeEveryLineFirst) {
    Game::register_as("Brakvold", true);
    static std::vector<std::string> first_saw, second_saw;
    first_saw.clear(), second_saw.clear();
    globalcmd([]() -> int32_t {
        first_saw.push_back(margc ? margv[0] : "");
        return margc && sameas(margv[0], "who") ? 1 : 0;
    });
    globalcmd([]() -> int32_t {
        second_saw.push_back(margc ? margv[0] : "");
        int32_t mine = margc && sameas(margv[0], "page") ? 1 : 0;
        rstrin();  // changes the words; the module still gets the line parsed afresh
        return mine;
    });
    int a = online("Alice");
    for (const char* line : {"who", "page me", "look around"}) host().line(a, line);
    EXPECT_EQ(first_saw, (std::vector<std::string>{"who", "page", "look"}));
    EXPECT_EQ(second_saw, (std::vector<std::string>{"page", "look"}));
    EXPECT_EQ(Game::probe().events.back(), "input 0 2") << "only the last line reached the module";
    EXPECT_EQ(Game::probe().inputs(), 1);
}

TEST_F(HostTest, InjectedMessagesGoThroughTheModuleOrStraightOut) {
    Game::register_as("Brakvold", true);
    int a = online("Alice");
    prf("half-built screen");
    host().inject_message(a, "Bob pages you.\r");  // The module declines: the host sends the text itself.
    EXPECT_EQ(output(a), "Bob pages you.\r");
    Game::probe().on_injection = [] {  // The module delivers it its own way.
        std::string text = std::string("[") + prfbuf + "]";
        btuxmn(othusn, text.c_str());
        return int16_t{1};
    };
    host().inject_message(a, "hello");
    EXPECT_EQ(output(a), "[hello]");
    EXPECT_EQ(Game::probe().events.back(), "injection 0");
    outprf(a);  // What was in the output buffer before is still there.
    EXPECT_EQ(output(a), "half-built screen");
}

TEST_F(HostTest, ScratchAreasPerChannel) {
    Game::register_as("Brakvold");
    for (const char* userid : {"Alice", "Bob"}) add_account(userid);
    int a = host().logon("Alice");
    EXPECT_EQ(vdaoff(a), nullptr) << "nothing declared yet";
    dclvda(801);
    dclvda(672);
    int b = host().logon("Bob");
    auto *pa = static_cast<char*>(vdaoff(a)), *pb = static_cast<char*>(vdaoff(b));
    ASSERT_TRUE(pa && pb);
    EXPECT_NE(pa, pb);
    for (int i = 0; i < 801; ++i) ASSERT_EQ(pb[i], 0);
    std::memset(pa, 'x', 801);
    EXPECT_EQ(pb[0], 0);
    for (int ch : {2, -1, 99}) EXPECT_EQ(vdaoff(ch), nullptr) << ch;
    host().hangup(a);
    EXPECT_EQ(vdaoff(a), nullptr);
    host().logon("Alice");
    auto* again = static_cast<char*>(vdaoff(a));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again[0], 0) << "a new logon gets a zeroed area";
}

TEST_F(HostTest, SprKeepsEightResultsAlive) {
    char* results[8];
    for (int i = 0; i < 8; ++i) results[i] = spr("value %d", i * 11);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(std::string(results[i]), "value " + std::to_string(i * 11));
    char* ninth = spr("%ld|%s", 123456789L, "x");
    EXPECT_STREQ(ninth, "123456789|x");
    EXPECT_STREQ(results[1], "value 11");
}

TEST_F(HostTest, LoadModuleSaysWhatIsMissing) {
    std::string error;
    EXPECT_FALSE(host().load_module("/nonexistent/libnone.so", "init__none", &error));
    EXPECT_NE(error.find("/nonexistent/libnone.so"), std::string::npos) << error;
    EXPECT_FALSE(host().load_module(std::filesystem::path(PLUS_BIN_DIR) / "libqrtbrak.so",
                                    "init__no_such_module", &error));
    EXPECT_NE(error.find("init__no_such_module"), std::string::npos) << error;
    EXPECT_FALSE(host().stopped());
    EXPECT_TRUE(logged({"init__no_such_module"}));
}

TEST_F(HostTest, CatastroInsideALineUnwindsAndTheHostStaysQuiet) {
    Game::register_as("Brakvold", true);
    int after = 0, destroyed = 0;
    struct Frame { int& destroyed; ~Frame() { ++destroyed; } };
    Game::probe().on_input = [&] {
        Frame frame{destroyed};
        std::vector<std::string> owned(3, std::string(100, 'x'));  // freed, or the leak checker says so
        btuinj(usrnum, 240);
        catastro("fatal in %s", "input");
        ++after;  // never reached
        return int16_t{1};
    };
    int a = online("Alice");
    host().line(a, "boom");
    EXPECT_EQ(after, 0);
    EXPECT_EQ(destroyed, 1) << "the unwinding skipped the destructors of the module's frames";
    EXPECT_TRUE(logged({"module stopped the host: fatal in input"}));
    EXPECT_FALSE(host().database().in_call());  // The call it stopped is over: no call is left open on the database.
    EXPECT_EQ(std::tuple(host().stopped(), host().stop_reason(), host().deliver_one()), std::tuple(true, "fatal in input", false));
    host().line(a, "again");
    EXPECT_EQ(Game::probe().inputs(), 1);
}

// A routine that forgets its rstmbk or dfaRstBlk, or undoes what it did not select, is named; the stacks are put back.
TEST_F(HostTest, ARoutineThatLeavesAStackOtherwiseIsNamedAndTheStackPutBack) {
    write("M.MSG", "1 GREET {hello}\n");
    HostMsgFile* block = opnmsg("M.MCV");
    ASSERT_NE(block, nullptr);
    rstmbk();  // opnmsg selected it
    Game::register_as("Brakvold", true);
    bool forget = true;
    Game::probe().on_input = [&] {
        setmbk(block);
        dfaSetBlk(genbb);
        if (!forget) {
            dfaRstBlk();
            rstmbk();
        }
        return int16_t{1};
    };
    const int a = online("Alice");
    host().line(a, "forget");
    EXPECT_EQ(take_breaches(), std::vector<std::string>{
        "Brakvold input routine left the message-block stack 1 deeper than it found it (a setmbk without its rstmbk); "
        "Brakvold input routine left the data-file selection stack 1 deeper than it found it (a dfaSetBlk without its dfaRstBlk)"});
    EXPECT_TRUE(logged({"left the message-block stack 1 deeper"}));
    forget = false;  // Put back: done right, the same routine finds the stacks as before the first call.
    host().line(a, "right");
    EXPECT_TRUE(take_breaches().empty());
    forget = true;
    host().line(a, "forget again");
    EXPECT_EQ(take_breaches().size(), 1u) << "the stack kept the first call's selection";
    // An rstmbk with nothing to undo (it took a caller's selection away) is named too.
    Game::probe().on_input = [] { return rstmbk(), int16_t{1}; };
    host().line(a, "extra");
    EXPECT_EQ(take_breaches(), std::vector<std::string>{"rstmbk: no setmbk to undo"});
}

// Control bytes in the host log are shown, never played; a log that cannot be written is reported once.
TEST_F(HostTest, TheHostLogShowsControlBytesAndReportsWhenItCannotWrite) {
    host().log("failed logon as \"\x1b]0;owned\x07\x1b[2J\x9b" "31mroot\xc2\x9b" "1m\xff\" from a\r\nb");
    const std::string log = host_log();
    EXPECT_NE(log.find("failed logon as \"\\x1b]0;owned\\x07\\x1b[2J\\x9b31mroot\\xc2\\x9b1m\\xff\" from a  b\n"),
              std::string::npos)
        << log;
    for (char c : log.substr(0, log.size() - 1))
        EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n') << "a raw control byte in the log: " << log;
    close();

    bbs::HostOptions options;
    options.data_dir = dir_, options.log_name = "/dev/full";
    std::string error;
    testing::internal::CaptureStderr();
    {
        auto full = bbs::Host::open(options, &error);
        ASSERT_TRUE(full) << error;
        full->log("one");
        full->log("two");
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot write the host log /dev/full: No space left on device; lost: "), std::string::npos)
        << said;
    EXPECT_EQ(said.find("cannot write", said.find("cannot write") + 1), std::string::npos)
        << "reported more than once: " << said;
}

}  // namespace
