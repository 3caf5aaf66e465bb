// Output of a call that wrote, and later output to its channel, waits until the log is on disk up to that call.

#include "tests/bbs/host_fixture.h"

namespace {

using Probe = hosttest::ProbeModule<31>;

class LogSyncTest : public hosttest::HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        Probe::register_as("Probe", true);
        // "buy" writes (a charge), "quit" asks to be closed, anything else only answers.
        Probe::probe().on_input = [] {
            const std::string word = margc ? margv[0] : "";
            if (word == "buy") odedcrd(usrnum, 1, 1, 0);
            if (word == "quit") Host::current()->request_close(usrnum);
            prf("%s done.\r", word.c_str());
            outprf(usrnum);
            return int16_t{1};
        };
        alice_ = online("Alice");
        bob_ = online("Bob");
        add_account("Carol");
        std::string error;
        ASSERT_TRUE(host().set_log_sync([this](uint64_t t) { tickets_.push_back(t); }, &error)) << error;
    }
    using Host = bbs::Host;

    std::vector<uint64_t> tickets_;
    int alice_ = -1, bob_ = -1;
};

TEST_F(LogSyncTest, OutputWaitsInOrderForTheLogOfTheCallsThatWrote) {
    // who: 0 Alice, 1 Bob; line typed, or null: the log is on disk up to `synced`; the tickets asked for so far; the output
    struct Step { int who; const char* line; uint64_t synced; std::vector<uint64_t> tickets; std::string alice, bob; };
    const std::vector<Step> steps = {
        {0, "look", 0, {}, "look done.\r", ""},                // nothing written, nothing held
        {0, "buy", 0, {1}, "", ""},                            // committed, not yet on disk
        {1, "look", 0, {1}, "", "look done.\r"},               // another channel: not held
        {0, "look", 0, {1}, "", ""},                           // behind her own write
        {0, "buy", 0, {1, 2}, "", ""}, {0, nullptr, 1, {1, 2}, "buy done.\rlook done.\r", ""},
        {0, nullptr, 2, {1, 2}, "buy done.\r", ""}, {0, "look", 0, {1, 2}, "look done.\r", ""},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        if (s.line)
            host().line(s.who ? bob_ : alice_, s.line);
        else
            host().log_synced(s.synced);
        EXPECT_EQ(tickets_, s.tickets) << "step " << i;
        EXPECT_EQ(output(alice_), s.alice) << "step " << i;
        EXPECT_EQ(output(bob_), s.bob) << "step " << i;
    }
    EXPECT_EQ(host().accounts().find("Alice")->credits, 998) << "both charges are committed";
}

TEST_F(LogSyncTest, ACloseWaitsTooAndItsChannelIsNotGivenAway) {
    host().line(alice_, "buy");
    host().line(alice_, "quit");
    EXPECT_FALSE(host().online(alice_)) << "the host is done with her";
    EXPECT_TRUE(front_.closed().empty()) << "the front end hears of it with her output";
    const int carol = host().logon("Carol");
    EXPECT_NE(carol, alice_) << "her output still waits for that channel";
    host().log_synced(tickets_.back());
    EXPECT_EQ(output(alice_), "buy done.\rquit done.\r");
    EXPECT_EQ(front_.closed(), std::vector<int>{alice_});

    EXPECT_EQ(type(bob_, "buy"), "");  // Taking the sync back puts the log on disk and lets go of what waited.
    host().set_log_sync(nullptr, nullptr);
    EXPECT_EQ(output(bob_), "buy done.\r");
    EXPECT_EQ(type(bob_, "buy"), "buy done.\r") << "each commit syncs itself again";
}

TEST_F(LogSyncTest, ALogThatCannotBeSyncedStopsTheHostWithNothingAcknowledged) {
    std::string error;
    EXPECT_TRUE(host().database().sync_log(&error)) << error;
    host().line(alice_, "buy");
    host().log_sync_failed("test: the disk is gone");
    EXPECT_TRUE(host().stopped());
    host().set_log_sync(nullptr, nullptr);
    EXPECT_EQ(output(alice_), "");
    EXPECT_TRUE(logged({"test: the disk is gone"}));
}

}  // namespace
