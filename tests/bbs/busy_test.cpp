// Another connection holds the write lock: calls wait and run in order, or are refused with word to their user.

#include <sqlite3.h>

#include <chrono>

#include "tests/bbs/host_fixture.h"

namespace {

using Probe = hosttest::ProbeModule<30>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kBusy = "\r*** The host's database is busy: another program is using it. What you type waits, in order, and is "
                          "handled as soon as it is free. ***\r";
std::string refused(int lines) {
    return "\r*** The host's database stayed busy: " + std::to_string(lines) +
           " lines you typed were not taken. Nothing of it was saved or charged; please type again. ***\r";
}

class BusyTest : public hosttest::HostTest {
protected:
    BusyTest() { open_at_setup_ = false; }
    void SetUp() override {
        HostTest::SetUp();
        bbs::HostOptions options;
        options.busy_timeout = milliseconds(1), options.busy_notice = milliseconds(250), options.busy_give_up = milliseconds(5000);
        options.clock = [this] { return now_; };
        open(4, options);
        Probe::register_as("Probe", true);
        Probe::probe().on_input = [this] {  // the line itself, not its word count
            events().back() = "input " + std::to_string(usrnum) + " " + (margc ? margv[0] : "");
            return int16_t{1};
        };
        alice_ = online("Alice");
        bob_ = online("Bob");
        add_account("Carol");
        events().clear();
        host().on_reload([this] { events().push_back("reload"); });
    }
    void TearDown() override {
        unlock();
        HostTest::TearDown();
    }

    std::vector<std::string>& events() { return Probe::probe().events; }

    void lock() {  // BEGIN IMMEDIATE on a connection of its own, as another process would.
        ASSERT_EQ(sqlite3_open((dir_ / "bbs.db").c_str(), &other_), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void unlock() {
        if (!other_) return;
        sqlite3_exec(other_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(other_);
        other_ = nullptr;
    }
    void pass(milliseconds time) {
        now_ += time;
        host().retry_waiting();
    }

    Clock::time_point now_ = Clock::now();
    sqlite3* other_ = nullptr;
    int alice_ = -1, bob_ = -1;
};

TEST_F(BusyTest, EveryKindOfCallWaitsAndRunsInOrderOnceTheLockIsGone) {
    btuinj(alice_, 7);  // queued before the lock
    lock();
    host().line(alice_, "a1");  // Each of these needs a transaction that cannot be had now.
    EXPECT_EQ(host().deliver_all(), 0u) << "a status must not run without its transaction";
    host().line(bob_, "b1");
    host().line(alice_, "a2");
    const int carol = host().logon("Carol");
    ASSERT_GE(carol, 0) << "the channel is Carol's at once";
    EXPECT_TRUE(host().online(carol));
    host().line(carol, "c1");
    host().hangup(bob_);
    EXPECT_TRUE(host().online(bob_)) << "the hang-up has not run yet";
    host().reload();
    EXPECT_TRUE(host().waiting());
    EXPECT_TRUE(events().empty()) << events().front();
    EXPECT_EQ(host().pending_statuses(), 1u);

    // Nothing runs while the lock lasts, however often the host tries.
    for (int i = 0; i < 3; ++i) pass(milliseconds(50));
    EXPECT_TRUE(events().empty()) << events().front();
    EXPECT_EQ(output(alice_), "") << "told before the notice is due";
    pass(milliseconds(200));
    pass(milliseconds(100));
    for (int ch : {alice_, bob_, carol}) EXPECT_EQ(output(ch), kBusy) << ch;  // once

    unlock();
    EXPECT_GT(host().retry_waiting(), 0u);
    EXPECT_FALSE(host().waiting());
    EXPECT_EQ(host().pending_statuses(), 0u) << "the status that waited runs after the calls";
    EXPECT_EQ(events(), (std::vector<std::string>{"input 0 a1", "input 1 b1", "input 0 a2", "logon 2", "input 2 c1", "hangup 1",
                                                  "logoff 1", "reload", "status 0 7"}));
    EXPECT_FALSE(host().online(bob_));
    EXPECT_TRUE(logged({"database is locked", "calls run again"}));
}

// Lines that waited too long, or past what a channel may have waiting, are refused; hang-ups and logons never.
TEST_F(BusyTest, LinesThatWaitedTooLongAreRefusedAndTheirUserIsTold) {
    lock();
    host().line(alice_, "stale1");
    host().line(alice_, "stale2");
    host().hangup(bob_);
    pass(milliseconds(3000));
    const int carol = host().logon("Carol");
    for (int i = 0; i < 70; ++i) host().line(carol, "paste" + std::to_string(i));
    pass(milliseconds(2100));  // Alice's lines waited 5.1 s, Carol's 2.1 s
    EXPECT_EQ(output(alice_), kBusy + refused(2));
    EXPECT_EQ(output(carol), kBusy + refused(6));
    host().line(alice_, "fresh");

    unlock();
    host().retry_waiting();
    EXPECT_FALSE(host().waiting());
    std::vector<std::string> expected = {"hangup 1", "logoff 1", "logon 2"};
    for (int i = 0; i < 64; ++i) expected.push_back("input 2 paste" + std::to_string(i));
    expected.push_back("input 0 fresh");
    EXPECT_EQ(events(), expected);
    EXPECT_FALSE(host().online(bob_)) << "a hang-up must happen in the end";
}

// Calls made inside a running call (a close, a tell to another) join it.
TEST_F(BusyTest, CallsInsideARunningCallJoinItAndTheHostRecovers) {
    Probe::probe().on_input = [this] {
        events().back() = std::string("input ") + (margc ? margv[0] : "");
        if (margc && std::string(margv[0]) == "tell") host().inject_message(bob_, "hello");
        if (margc && std::string(margv[0]) == "quit") host().request_close(usrnum);
        return int16_t{1};
    };
    lock();
    host().line(alice_, "tell");
    unlock();
    host().retry_waiting();
    host().line(alice_, "quit");
    EXPECT_EQ(events(), (std::vector<std::string>{"input tell", "injection 1", "input quit", "hangup 0", "logoff 0"}));
    EXPECT_EQ(output(bob_), "hello");
    EXPECT_FALSE(host().online(alice_));
    EXPECT_FALSE(host().waiting());
}

}  // namespace
