#include "bbs/call_scope.h"

#include <algorithm>

namespace bbs {

bool CallEffects::touches(int channel) const {
    return std::any_of(output.begin(), output.end(), [&](const Delivery& out) { return out.channel == channel; }) ||
           std::find(closes.begin(), closes.end(), channel) != closes.end();
}

bool CallScope::enter(int channel) {
    if (depth_++ > 0) return false;
    channel_ = channel;
    effects_ = CallEffects{};
    return true;
}

void CallScope::hold(int channel, std::string_view bytes) {
    auto& output = effects_.output;
    if (!output.empty() && output.back().channel == channel && !output.back().opens_editor)
        output.back().bytes.append(bytes);
    else
        output.push_back(Delivery{channel, std::string(bytes)});
}

CallEffects CallScope::take(bool committed) {
    CallEffects effects = std::move(effects_);
    effects_ = CallEffects{};
    effects.committed = committed;
    return effects;
}

bool UnsyncedEffects::touch(int channel) const {
    return std::any_of(queue_.begin(), queue_.end(), [&](const CallEffects& e) { return e.touches(channel); });
}

bool UnsyncedEffects::touch(const CallEffects& effects, int channel) const {
    if (queue_.empty()) return false;
    if (touch(channel)) return true;
    for (const Delivery& out : effects.output)
        if (touch(out.channel)) return true;
    return std::any_of(effects.closes.begin(), effects.closes.end(), [&](int c) { return touch(c); });
}

uint64_t UnsyncedEffects::push(CallEffects effects, bool wrote) {
    if (wrote) ++written_;
    effects.needs = written_;
    queue_.push_back(std::move(effects));
    return written_;
}

void UnsyncedEffects::synced(uint64_t ticket, const std::function<void(CallEffects&)>& apply) {
    synced_ = std::max(synced_, ticket);
    while (!queue_.empty() && queue_.front().needs <= synced_) {
        CallEffects effects = std::move(queue_.front());
        queue_.pop_front();
        apply(effects);
    }
}

}  // namespace bbs
