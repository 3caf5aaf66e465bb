// Host calls that could not open their transaction because another process
// holds the database's write lock. They wait here in the order they came,
// across all channels, until the database lets them run; nothing of them has
// run yet.
//
// Lines a user typed (and editor actions) may be refused: their meaning can
// go stale, and a channel may have only kMaxLinesPerChannel of them waiting.
// Logons, hang-ups, injected messages, closes and reloads are never refused:
// the host must do them in the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace bbs {

struct WaitingCall {
    enum class Kind { logon, line, editor_save, editor_abandon, inject, close, hangup, reload };
    explicit WaitingCall(Kind k, int ch = -1, std::string t = {})
        : kind(k), channel(ch), text(std::move(t)) {}

    Kind kind;
    int channel = -1;   // -1: none (a reload)
    std::string text;   // the line, the editor's new text, the injected message
    std::chrono::steady_clock::time_point since{};

    bool refusable() const {
        return kind == Kind::line || kind == Kind::editor_save || kind == Kind::editor_abandon;
    }
};

class WaitingCalls {
public:
    static constexpr size_t kMaxLinesPerChannel = 64;

    bool empty() const { return calls_.empty(); }
    size_t size() const { return calls_.size(); }

    // Adds a call at the end. False (and nothing added) when it is refusable
    // and its channel has kMaxLinesPerChannel such calls waiting already.
    bool push(WaitingCall call);
    // The oldest call, taken out; back in front when it still cannot run.
    WaitingCall take();
    void put_back(WaitingCall call);

    bool has(int channel, WaitingCall::Kind kind) const;
    bool has_channel(int channel) const;
    // The channels whose oldest call (only refusable ones counted, or all
    // but hang-ups) came before `time`, each once.
    std::vector<int> channels_waiting_since(std::chrono::steady_clock::time_point time,
                                            bool refusable_only) const;
    // Takes out every refusable call of the channel; how many there were.
    size_t refuse_lines(int channel);
    // Takes out every call of the channel (its user has gone).
    void forget(int channel);

private:
    std::deque<WaitingCall> calls_;
};

}  // namespace bbs
