// The serving side's deferred work, in one place (after Redis's
// beforeSleep): what a host call leaves to do is only marked, and the pump
// does it in a turn of its own that runs after the events ready when the
// work was marked. In a turn, in this order:
//
//  - a host that has stopped (a module's catastro, a log that could not be
//    synced) stops the server: `stopped` hears why, once;
//  - while calls wait for the database (Host::waiting) they are tried again
//    every kRetryInterval, at once while each try runs a full batch of
//    kRetryBatch; other users are served meanwhile, and statuses wait;
//  - else one deliverable status is delivered, and the pump marked again:
//    one status per turn, with other events in between.
//
// The database's log is synced on a thread of the pump's own (bbs::LogSyncer)
// when the host lets it; each result is handed to the host on the loop
// (Host::log_synced or log_sync_failed), which lets go of what waited for
// it, and marks the pump.
//
// Armed by mark(): one turn is posted to the loop unless one is posted
// already. A turn with nothing to do posts nothing and waiting calls arm a
// timer, so an idle loop sleeps.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <asio.hpp>

namespace bbs {
class Host;
class LogSyncer;
}  // namespace bbs

namespace app {

class Metrics;

class Pump {
public:
    static constexpr std::chrono::milliseconds kRetryInterval{25};
    static constexpr std::size_t kRetryBatch = 64;
    using Stopped = std::function<void(const std::string& reason)>;

    // Takes the sync of the host's log off the loop; when the host cannot
    // have it so, every commit syncs on the loop and the host log says why.
    Pump(asio::io_context& io, bbs::Host& host, Stopped stopped);
    ~Pump();  // end_log_sync()

    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;

    // There may be work: a turn runs after the events that are ready now.
    // Harmless anywhere on the loop, also inside a host call.
    void mark();
    // No turn runs any more (the server stops).
    void stop();
    // The syncing thread ends; the host syncs at every commit again and lets
    // go of what waited for the disk (to the front end it still has).
    void end_log_sync();
    // The time from each commit to its sync, and the spells of calls
    // waiting for the database, go to `metrics` from now on (null: nowhere).
    void count_in(Metrics* metrics) { metrics_ = metrics; }

private:
    // Whether calls wait for the database now: a spell of waiting begins or ends.
    void busy(bool waiting);
    void turn();
    void retry(bool at_once);
    void synced(uint64_t ticket, const std::string& error);

    asio::io_context& io_;
    bbs::Host& host_;
    Stopped stopped_;
    asio::steady_timer retry_timer_;
    std::unique_ptr<bbs::LogSyncer> log_syncer_;
    bool posted_ = false;
    bool retry_armed_ = false;
    bool stopping_ = false;
    Metrics* metrics_ = nullptr;
    std::deque<std::pair<uint64_t, std::chrono::steady_clock::time_point>> sync_requests_;  // oldest first
    std::optional<std::chrono::steady_clock::time_point> busy_since_;
};

}  // namespace app
