// Internal to libbbs: the host program, the game and tests use bbs/host.h.
//
// Calls that could not open their transaction because another connection
// holds the database's write lock, and the busy spell they belong to. They
// wait in the order they came (bbs/waiting_calls.h) until the host replays
// them (Host::retry_waiting). A user whose calls waited
// HostOptions::busy_notice is told once; lines that waited busy_give_up,
// or came beyond WaitingCalls::kMaxLinesPerChannel on his channel, are
// refused and he is told how many. The host log names the start and the
// end of a spell.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/host.h"
#include "bbs/waiting_calls.h"

namespace bbs {

class ChannelTable;
class HostLog;

class BusyQueue {
public:
    BusyQueue(const HostOptions& options, HostLog& log, const ChannelTable& channels)
        : options_(options), log_(log), channels_(channels) {}
    BusyQueue(const BusyQueue&) = delete;
    BusyQueue& operator=(const BusyQueue&) = delete;

    std::chrono::steady_clock::time_point now() const;  // the host's clock

    // ---- calls that cannot run ---------------------------------------------------
    // True when a new call must go behind the calls that wait (none of them
    // is being replayed).
    bool goes_first() const { return !replaying_ && !calls_.empty(); }
    // The database refused a transaction (`why`): a busy spell begins,
    // unless one has.
    void lock_met(std::string_view why);
    // A call that could not open its transaction waits at the end (or, while
    // it is being replayed, goes back where it was).
    void wait(WaitingCall call);

    bool empty() const { return calls_.empty(); }
    size_t size() const { return calls_.size(); }
    bool replaying() const { return replaying_; }
    bool has(int channel, WaitingCall::Kind kind) const { return calls_.has(channel, kind); }
    // Every call of the channel goes, and what its user was to be told (he left).
    void forget(int channel);

    // ---- replaying them ----------------------------------------------------------
    // Runs the oldest call through `replay`, which goes back through the
    // Host's entry for it. False when none waits, or when its transaction
    // still cannot be opened: it stays first.
    bool replay_next(const std::function<void(const WaitingCall&)>& replay);
    // What users must be told now, in order (channel, text): calls waited
    // busy_notice; lines waited busy_give_up and are refused (the host log
    // names them); lines refused since a user was last told.
    std::vector<std::pair<int, std::string>> notices();
    // `ran` calls ran after waiting; unless something still waits, the
    // spell ends (the host log says so).
    void settle(size_t ran, bool still_waiting);

private:
    struct Notice {
        bool told = false;   // told that what he types waits for the database
        size_t refused = 0;  // waiting lines refused since he was last told
    };
    Notice& notice(int channel);

    const HostOptions& options_;
    HostLog& log_;
    const ChannelTable& channels_;
    WaitingCalls calls_;
    std::vector<Notice> notices_;  // by channel
    bool replaying_ = false;       // replay_next is running a call...
    bool replay_failed_ = false;   // ... and it could not open its transaction
    std::optional<std::chrono::steady_clock::time_point> busy_since_;  // this spell began
    size_t waited_calls_ = 0;      // calls of this spell that ran after waiting
};

}  // namespace bbs
