// Internal to libbbs: the host program, the game and tests use bbs/host.h.
//
// Runs the host's top-level calls (a typed line, an editor save, a status
// delivery, a logon, a hang-up, ...). Each is one transaction of the
// database, begun (BEGIN IMMEDIATE: the write lock is the call's) before
// any module code runs; calls made inside a running call join it. What a
// call does outside the host is held until it ends: then, after the
// commit, the work that shares its fate runs (told whether it committed),
// its output goes to the front end, then the closes it asked for. With
// the log's sync deferred (defer_sync) these wait, in call order, until
// the log is on disk up to the call, and so do the effects of later calls
// that touch the same channels. A call the database refuses is rolled
// back whole: its output is dropped and its user told.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "bbs/call_scope.h"
#include "bbs/function_ref.h"
#include "bbs/waiting_calls.h"

namespace bbs {

class BusyQueue;
class ChannelTable;
class Database;
class FrontEnd;
class HostLog;

class CallRunner {
public:
    CallRunner(HostLog& log, ChannelTable& channels, BusyQueue& busy)
        : log_(log), channels_(channels), busy_(busy) {}
    CallRunner(const CallRunner&) = delete;
    CallRunner& operator=(const CallRunner&) = delete;

    // REQUIRES: before the first call; `database` outlives every call.
    void attach(Database& database) { database_ = &database; }
    void detach() { database_ = nullptr; }
    void set_front_end(FrontEnd* front_end) { front_end_ = front_end; }
    FrontEnd* front_end() const { return front_end_; }

    // ---- calls ---------------------------------------------------------------------
    // Runs `work` as one call serving `channel` (-1: none). When its
    // transaction cannot be opened (another connection holds the lock, or
    // calls wait already and it must go behind them), nothing runs: the
    // call waits in the busy queue as WaitingCall{kind, channel, text},
    // and the result is false.
    bool run_or_wait(int channel, WaitingCall::Kind kind, std::string_view text,
                     FunctionRef<void()> work);
    // The same for a call that does not wait: false when nothing ran.
    bool run(int channel, FunctionRef<void()> work);
    bool running() const { return scope_.running(); }
    // Work that shares the running call's fate; outside a call it runs at
    // once, told true.
    void after(std::function<void(bool committed)> hook);

    // ---- output and closes ------------------------------------------------------------
    // Output for an online channel: held while a call runs, else delivered.
    void send(int channel, std::string_view bytes);
    // Straight to the front end (a channel that exists; none: dropped).
    void deliver(int channel, std::string_view bytes);
    // The online channel's line editor opened, its banner to show: told to
    // the front end (FrontEnd::editor_opened) in its place among the
    // output, held as output is. A call rolled back tells it without the
    // banner (the editor stays open; what it said is withheld).
    void editor_opened(int channel, std::string_view banner);
    // The front end closes the channel: with the running call's output, or at once.
    void close(int channel);
    // Asked while module code runs: the host closes it once the code returned.
    void close_later(int channel) { pending_closes_.push_back(channel); }
    // The oldest close asked for; -1 when none.
    int take_close();

    // ---- durable acknowledgements (Host::set_log_sync) ------------------------------------
    // Commits leave the log to the page cache; a call that wrote asks
    // `request(ticket)` for its sync and its effects wait for synced(ticket).
    bool defer_sync(std::function<void(uint64_t ticket)> request, std::string* error);
    // Every commit syncs itself again; what waited goes out.
    void sync_at_commit();
    void synced(uint64_t ticket);
    size_t drop_unsynced();  // what waited is never acknowledged: how many calls
    bool holds(int channel) const { return unsynced_.touch(channel); }

private:
    // The transaction of the outermost call; false when it cannot be opened.
    bool begin(int channel);
    void end();                         // commit and send, or roll back and say so
    void apply(CallEffects& effects);   // hooks, output, closes

    HostLog& log_;
    ChannelTable& channels_;
    BusyQueue& busy_;
    Database* database_ = nullptr;
    FrontEnd* front_end_ = nullptr;
    CallScope scope_;                   // the running call, and what it holds
    int64_t changes_at_begin_ = 0;      // the database's row changes when it began
    std::deque<int> pending_closes_;
    std::function<void(uint64_t)> sync_request_;
    UnsyncedEffects unsynced_;
};

}  // namespace bbs
