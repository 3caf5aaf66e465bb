#include "bbs/waiting_calls.h"

#include <algorithm>
#include <utility>

namespace bbs {

bool WaitingCalls::push(WaitingCall call) {
    if (call.refusable()) {
        const auto lines = std::count_if(calls_.begin(), calls_.end(), [&](const WaitingCall& c) {
            return c.channel == call.channel && c.refusable();
        });
        if (static_cast<size_t>(lines) >= kMaxLinesPerChannel) return false;
    }
    calls_.push_back(std::move(call));
    return true;
}

WaitingCall WaitingCalls::take() {
    WaitingCall call = std::move(calls_.front());
    calls_.pop_front();
    return call;
}

void WaitingCalls::put_back(WaitingCall call) { calls_.push_front(std::move(call)); }

bool WaitingCalls::has(int channel, WaitingCall::Kind kind) const {
    return std::any_of(calls_.begin(), calls_.end(),
                       [&](const WaitingCall& c) { return c.channel == channel && c.kind == kind; });
}

bool WaitingCalls::has_channel(int channel) const {
    return std::any_of(calls_.begin(), calls_.end(),
                       [&](const WaitingCall& c) { return c.channel == channel; });
}

std::vector<int> WaitingCalls::channels_waiting_since(std::chrono::steady_clock::time_point time,
                                                      bool refusable_only) const {
    std::vector<int> channels, seen;
    for (const WaitingCall& c : calls_) {
        const bool counts = refusable_only ? c.refusable() : c.kind != WaitingCall::Kind::hangup;
        if (!counts || c.channel < 0 || std::find(seen.begin(), seen.end(), c.channel) != seen.end())
            continue;
        seen.push_back(c.channel);  // its oldest call decides
        if (c.since < time) channels.push_back(c.channel);
    }
    return channels;
}

size_t WaitingCalls::refuse_lines(int channel) {
    const size_t before = calls_.size();
    calls_.erase(std::remove_if(calls_.begin(), calls_.end(),
                                [&](const WaitingCall& c) { return c.channel == channel && c.refusable(); }),
                 calls_.end());
    return before - calls_.size();
}

void WaitingCalls::forget(int channel) {
    calls_.erase(std::remove_if(calls_.begin(), calls_.end(),
                                [&](const WaitingCall& c) { return c.channel == channel; }),
                 calls_.end());
}

}  // namespace bbs
