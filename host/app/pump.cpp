#include "app/pump.h"

#include "bbs/host.h"
#include "bbs/log_syncer.h"

namespace app {

Pump::Pump(asio::io_context& io, bbs::Host& host, Stopped stopped)
    : io_(io), host_(host), stopped_(std::move(stopped)), retry_timer_(io) {
    log_syncer_ = std::make_unique<bbs::LogSyncer>(host_.database(), [this](uint64_t ticket, const std::string& error) {
        asio::post(io_, [this, ticket, error] { synced(ticket, error); });
    });
    std::string error;
    if (!host_.set_log_sync([syncer = log_syncer_.get()](uint64_t ticket) { syncer->request(ticket); }, &error)) {
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
        mark();
    });
}

void Pump::synced(uint64_t ticket, const std::string& error) {
    if (error.empty())
        host_.log_synced(ticket);
    else
        host_.log_sync_failed(error);
    mark();
}

}  // namespace app
