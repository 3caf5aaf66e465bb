// The status queue: order, held channels, no delivery inside a routine, the module at delivery, hang-ups.

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::HostTest;
using First = hosttest::ProbeModule<10>;
using Second = hosttest::ProbeModule<11>;

class StatusTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        First::register_as("First", true);
        Second::register_as("Second");
        alice_ = online("Alice");
        bob_ = online("Bob");
        First::probe().events.clear(), Second::probe().events.clear();
    }
    int alice_ = -1, bob_ = -1;
};

TEST_F(StatusTest, DeliveredOldestFirstWithTheUserCurrentWhileAHeldChannelKeepsItsOwn) {
    std::vector<std::string> seen;
    First::probe().on_status = [&] {
        seen.push_back(std::to_string(usrnum) + ":" + std::to_string(status) + ":" +
                       (usrptr ? std::to_string(usrptr->channel) : "-") + ":" + (usaptr ? usaptr->userid : "-"));
    };
    for (auto [ch, status] : {std::pair{alice_, 240}, {bob_, 7}, {alice_, 3}, {bob_, 4}}) btuinj(ch, status);
    EXPECT_EQ(host().pending_statuses(), 4u);
    EXPECT_TRUE(seen.empty()) << "nothing is delivered by btuinj itself";
    EXPECT_TRUE(host().deliver_one());
    EXPECT_EQ(seen, std::vector<std::string>{"0:240:0:Alice"});
    host().hold_statuses(alice_, true);
    EXPECT_EQ(host().deliverable_statuses(), 2u);
    EXPECT_EQ(host().deliver_all(), 2u);
    EXPECT_FALSE(host().deliver_one()) << "only held statuses are left";
    EXPECT_EQ(host().pending_statuses(), 1u);
    host().hold_statuses(alice_, false);
    EXPECT_EQ(host().deliverable_statuses(), 1u);
    EXPECT_EQ(host().deliver_all(), 1u);
    EXPECT_EQ(seen, (std::vector<std::string>{"0:240:0:Alice", "1:7:1:Bob", "1:4:1:Bob", "0:3:0:Alice"}));
    EXPECT_FALSE(host().deliver_one());
}

TEST_F(StatusTest, AStatusInjectedInsideARoutineWaitsUntilItReturns) {
    int depth = 0, max_depth = 0, steps = 0;
    First::probe().on_status = [&] {
        ++depth;
        max_depth = std::max(max_depth, depth);
        if (++steps < 5) btuinj(usrnum, 240);
        EXPECT_FALSE(host().deliver_one()) << "no delivery inside a module routine";
        --depth;
    };
    First::probe().on_input = [&] {
        btuinj(usrnum, 240);
        EXPECT_EQ(steps, 0);
        return int16_t{1};
    };
    host().line(alice_, "go");
    EXPECT_EQ(steps, 0);
    EXPECT_EQ(host().deliver_all(), 5u);
    EXPECT_EQ(steps, 5);
    EXPECT_EQ(max_depth, 1);
}

TEST_F(StatusTest, GoesToTheModuleTheUserIsInAtDelivery) {
    First::probe().on_input = [&] {
        btuinj(usrnum, 3);
        usrptr->state = Second::probe().number;  // leaves after queueing
        return int16_t{1};
    };
    host().line(alice_, "leave");
    host().deliver_all();
    EXPECT_EQ(Second::probe().events, (std::vector<std::string>{"status 0 3"}));
    for (const auto& e : First::probe().events) EXPECT_EQ(e.rfind("status", 0), std::string::npos) << e;
}

TEST_F(StatusTest, HangupDropsTheChannelsStatusesAndItsHold) {
    for (auto [ch, status] : {std::pair{alice_, 240}, {bob_, 241}, {alice_, 242}}) btuinj(ch, status);
    host().hold_statuses(alice_, true);
    host().hangup(alice_);
    EXPECT_EQ(host().pending_statuses(), 1u);
    host().deliver_all();
    EXPECT_EQ(First::probe().events.back(), "status 1 241");
    const int carol = online("Carol");  // A new user on the freed channel gets nothing of the old one's, unheld.
    ASSERT_EQ(carol, alice_);
    EXPECT_EQ(host().pending_statuses(), 0u);
    btuinj(7, 1);  // a free channel: nothing queued
    EXPECT_EQ(host().pending_statuses(), 0u);
    btuinj(carol, 5);
    EXPECT_EQ(host().deliverable_statuses(), 1u);
    EXPECT_TRUE(host().deliver_one());
    EXPECT_EQ(First::probe().events.back(), "status 0 5");
}

TEST_F(StatusTest, OutputEmptyReportClearsTheInjectedFlagByDefault) {
    usroff(bob_)->state = -1;  // The user is in a module without a status routine of its own.
    usroff(bob_)->flags |= HOST_UF_INJECTED;
    EXPECT_EQ(btuoes(bob_, 1), 1);
    EXPECT_EQ(btuoes(bob_, 1), 1);  // one report on its way is enough
    EXPECT_EQ(host().pending_statuses(), 1u);
    host().deliver_all();
    EXPECT_EQ(usroff(bob_)->flags & HOST_UF_INJECTED, 0u);
    EXPECT_EQ(btuoes(5, 1), 0);
}

}  // namespace
