#include "bbs/log_syncer.h"

#include <utility>

#include "bbs/database.h"

namespace bbs {

LogSyncer::LogSyncer(Database& database, Done done)
    : database_(database), done_(std::move(done)), thread_([this] { run(); }) {}

LogSyncer::~LogSyncer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void LogSyncer::request(uint64_t ticket) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ticket <= wanted_) return;
        wanted_ = ticket;
    }
    wake_.notify_one();
}

void LogSyncer::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || wanted_ > covered_; });
        if (stopping_) return;
        const uint64_t target = wanted_;  // everything asked for so far was committed before this
        lock.unlock();
        std::string error;
        database_.sync_log(&error);
        done_(target, error);
        lock.lock();
        covered_ = target;
    }
}

}  // namespace bbs
