// Statuses queued by btuinj and btuoes, oldest first. They are delivered
// one at a time by the host's deliver calls, never inside a module routine.
// The oldest may be blocked: its call could not open its transaction, so
// it waits, first in line, for the waiting calls to have run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>

namespace bbs {

class StatusQueue {
public:
    using Status = std::pair<int, int32_t>;  // channel, code

    void push(int channel, int32_t code) { queue_.emplace_back(channel, code); }
    bool empty() const { return queue_.empty(); }
    size_t size() const { return queue_.size(); }
    const Status& front() const { return queue_.front(); }
    void pop() { queue_.pop_front(); }

    bool has(int channel, int32_t code) const {
        return std::find(queue_.begin(), queue_.end(), Status{channel, code}) != queue_.end();
    }
    // Every status of the channel goes (its user has gone).
    void drop(int channel) {
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [&](const Status& s) { return s.first == channel; }),
                     queue_.end());
    }

    bool blocked() const { return blocked_; }
    void set_blocked(bool blocked) { blocked_ = blocked; }

private:
    std::deque<Status> queue_;
    bool blocked_ = false;
};

}  // namespace bbs
