// Puts the host database's write-ahead log on disk on a thread of its own,
// so that the thread that serves users never waits for the disk (see
// Host::set_log_sync). Requests coalesce: one sync covers every ticket
// asked for before it began.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace bbs {

class Database;

class LogSyncer {
public:
    // Told on the syncing thread, after each sync: the highest ticket it
    // covers, and an empty text or what went wrong.
    using Done = std::function<void(uint64_t ticket, const std::string& error)>;

    LogSyncer(Database& database, Done done);
    ~LogSyncer();  // the sync under way ends, later requests are dropped

    LogSyncer(const LogSyncer&) = delete;
    LogSyncer& operator=(const LogSyncer&) = delete;

    void request(uint64_t ticket);  // from any thread

private:
    void run();

    Database& database_;
    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    uint64_t wanted_ = 0;
    uint64_t covered_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts when everything else is there
};

}  // namespace bbs
