// Statuses queued by btuinj and btuoes, oldest first. They are delivered
// one at a time by the host's deliver calls, never inside a module routine.
// The oldest may be blocked: its call could not open its transaction, so
// it waits, first in line, for the waiting calls to have run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace bbs {

class StatusQueue {
public:
    using Status = std::pair<int, int32_t>;  // channel, code

    void push(int channel, int32_t code) { queue_.emplace_back(channel, code); }
    bool empty() const { return queue_.empty(); }
    size_t size() const { return queue_.size(); }
    const Status& front() const { return queue_.front(); }
    void pop() { queue_.pop_front(); }

    // A held channel's statuses wait (its reader is paging, or the editor has
    // his screen) while the other channels' go on.
    void hold(int channel, bool on) {
        const auto it = std::find(held_.begin(), held_.end(), channel);
        if (on && it == held_.end()) held_.push_back(channel);
        if (!on && it != held_.end()) held_.erase(it);
    }
    size_t deliverable() const {
        if (held_.empty()) return queue_.size();
        return static_cast<size_t>(std::count_if(queue_.begin(), queue_.end(), [&](const Status& s) { return !held(s.first); }));
    }
    // The oldest status of a channel not held; null when there is none.
    const Status* next() const {
        const auto it = std::find_if(queue_.begin(), queue_.end(), [&](const Status& s) { return !held(s.first); });
        return it == queue_.end() ? nullptr : &*it;
    }
    // Takes what next() gave.
    void take_next() {
        const auto it = std::find_if(queue_.begin(), queue_.end(), [&](const Status& s) { return !held(s.first); });
        if (it != queue_.end()) queue_.erase(it);
    }

    bool has(int channel, int32_t code) const {
        return std::find(queue_.begin(), queue_.end(), Status{channel, code}) != queue_.end();
    }
    // Every status of the channel goes (its user has gone).
    void drop(int channel) {
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [&](const Status& s) { return s.first == channel; }),
                     queue_.end());
        hold(channel, false);
    }

    bool blocked() const { return blocked_; }
    void set_blocked(bool blocked) { blocked_ = blocked; }

private:
    bool held(int channel) const { return std::find(held_.begin(), held_.end(), channel) != held_.end(); }

    std::deque<Status> queue_;
    std::vector<int> held_;  // channels
    bool blocked_ = false;
};

}  // namespace bbs
