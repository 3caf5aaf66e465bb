#include "app/pump.h"

#include "app/metrics.h"
#include "bbs/host.h"
#include "bbs/log_syncer.h"

namespace app {

Pump::Pump(asio::io_context& io, bbs::Host& host, Stopped stopped)
    : io_(io), host_(host), stopped_(std::move(stopped)), retry_timer_(io) {
    log_syncer_ = std::make_unique<bbs::LogSyncer>(host_.database(), [this](uint64_t ticket, const std::string& error) {
        asio::post(io_, [this, ticket, error] { synced(ticket, error); });
    });
    std::string error;
    auto request = [this, syncer = log_syncer_.get()](uint64_t ticket) {
        if (metrics_) sync_requests_.emplace_back(ticket, std::chrono::steady_clock::now());
        syncer->request(ticket);
    };
    if (!host_.set_log_sync(request, &error)) {
        host_.log("every commit syncs the database's log on the loop: " + error);
        log_syncer_.reset();
    }
}

Pump::~Pump() { end_log_sync(); }

void Pump::end_log_sync() {
    if (!log_syncer_) return;
    log_syncer_.reset();                   // no sync under way any more...
    host_.set_log_sync(nullptr, nullptr);  // ... the host syncs and lets go of what waited
}

void Pump::mark() {
    if (posted_ || stopping_) return;
    posted_ = true;
    asio::post(io_, [this] { turn(); });
}

void Pump::stop() {
    stopping_ = true;
    retry_timer_.cancel();
}

void Pump::turn() {
    posted_ = false;
    if (stopping_) return;
    if (host_.stopped()) {
        stop();
        stopped_(host_.stop_reason());
        return;
    }
    busy(host_.waiting());
    if (host_.waiting()) {
        retry(false);  // statuses go once what waits has run
        return;
    }
    if (host_.deliverable_statuses() == 0) return;
    host_.deliver_one();
    mark();
}

void Pump::retry(bool at_once) {
    if (retry_armed_ || stopping_ || !host_.waiting()) return;
    retry_armed_ = true;
    retry_timer_.expires_after(at_once ? std::chrono::milliseconds(0) : kRetryInterval);
    retry_timer_.async_wait([this](const std::error_code& ec) {
        retry_armed_ = false;
        if (ec || stopping_) return;
        if (host_.retry_waiting(kRetryBatch) == kRetryBatch) retry(true);
        busy(host_.waiting());
        mark();
    });
}

void Pump::busy(bool waiting) {
    const auto now = std::chrono::steady_clock::now();
    if (waiting && !busy_since_) busy_since_ = now;
    if (waiting || !busy_since_) return;
    if (metrics_) metrics_->database_busy(std::chrono::duration<double>(now - *busy_since_).count());
    busy_since_.reset();
}

void Pump::synced(uint64_t ticket, const std::string& error) {
    // A sync covers every commit up to its ticket.
    const auto now = std::chrono::steady_clock::now();
    while (!sync_requests_.empty() && sync_requests_.front().first <= ticket) {
        if (metrics_ && error.empty())
            metrics_->commit_synced(std::chrono::duration<double>(now - sync_requests_.front().second).count());
        sync_requests_.pop_front();
    }
    if (error.empty())
        host_.log_synced(ticket);
    else
        host_.log_sync_failed(error);
    mark();
}

}  // namespace app
