#include "bbs/busy_queue.h"

#include "bbs/channel_table.h"
#include "bbs/log.h"

namespace bbs {

namespace {
constexpr const char* kDatabaseBusy =
    "\r*** The host's database is busy: another program is using it. What you type waits, in "
    "order, and is handled as soon as it is free. ***\r";
std::string lines_refused(size_t count) {
    return "\r*** The host's database stayed busy: " + std::to_string(count) +
           (count == 1 ? " line you typed was not taken" : " lines you typed were not taken") +
           ". Nothing of it was saved or charged; please type again. ***\r";
}
}  // namespace

std::chrono::steady_clock::time_point BusyQueue::now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

BusyQueue::Notice& BusyQueue::notice(int channel) {
    if (notices_.size() <= static_cast<size_t>(channel)) notices_.resize(static_cast<size_t>(channel) + 1);
    return notices_[static_cast<size_t>(channel)];
}

void BusyQueue::lock_met(std::string_view why) {
    if (busy_since_) return;
    busy_since_ = now();
    log_.warning("the database is locked by another connection (" + std::string(why) + "): calls wait for it");
}

void BusyQueue::wait(WaitingCall call) {
    if (replaying_) {  // it was waiting already: it goes back where it was
        replay_failed_ = true;
        return;
    }
    call.since = now();
    const int channel = call.channel;
    if (!calls_.push(std::move(call)) && channels_.online(channel)) ++notice(channel).refused;
}

void BusyQueue::forget(int channel) {
    calls_.forget(channel);
    if (channel >= 0) notice(channel) = Notice{};
}

bool BusyQueue::replay_next(const std::function<void(const WaitingCall&)>& replay) {
    if (calls_.empty()) return false;
    WaitingCall call = calls_.take();
    replaying_ = true;
    replay_failed_ = false;
    replay(call);
    replaying_ = false;
    if (!replay_failed_) return true;
    calls_.put_back(std::move(call));
    return false;
}

std::vector<std::pair<int, std::string>> BusyQueue::notices() {
    std::vector<std::pair<int, std::string>> told;
    const auto at = now();
    for (int channel : calls_.channels_waiting_since(at - options_.busy_give_up, true)) {
        const size_t refused = calls_.refuse_lines(channel);
        if (!channels_.online(channel)) continue;
        notice(channel).refused += refused;
        log_.warning("refused " + std::to_string(refused) + " waiting line(s) of " + channels_.userid(channel) +
                     ": the database stayed locked");
    }
    for (int channel : calls_.channels_waiting_since(at - options_.busy_notice, false)) {
        if (!channels_.online(channel) || notice(channel).told) continue;
        notice(channel).told = true;
        told.emplace_back(channel, kDatabaseBusy);
    }
    for (int channel = 0; channel < channels_.size(); ++channel) {
        if (!channels_.online(channel)) continue;
        Notice& n = notice(channel);
        if (n.refused) {
            told.emplace_back(channel, lines_refused(n.refused));
            n.refused = 0;
        }
        if (n.told && !calls_.has_channel(channel)) n.told = false;
    }
    return told;
}

void BusyQueue::settle(size_t ran, bool still_waiting) {
    waited_calls_ += ran;
    if (still_waiting || !busy_since_) return;
    const auto spell = std::chrono::duration_cast<std::chrono::milliseconds>(now() - *busy_since_);
    log_.write("the database is free again after " + std::to_string(spell.count()) + " ms: calls run again (" +
               std::to_string(waited_calls_) + " had waited)");
    busy_since_.reset();
    waited_calls_ = 0;
}

}  // namespace bbs
