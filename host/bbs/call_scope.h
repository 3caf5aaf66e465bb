// What one top-level call into the host collects before its fate is known,
// and what finished calls wait for before they reach the outside.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bbs {

// One piece of a call's output to a channel, in the order it was sent:
// bytes, or the opening of his line editor with its banner
// (FrontEnd::editor_opened).
struct Delivery {
    int channel = -1;
    std::string bytes;
    bool opens_editor = false;
};

// What a finished call does outside the host: its output, the work that
// shares its fate (told whether it committed), the channels it asked the
// front end to close.
struct CallEffects {
    bool committed = true;
    std::vector<Delivery> output;
    std::vector<std::function<void(bool)>> hooks;
    std::vector<int> closes;
    uint64_t needs = 0;  // held until the log is on disk up to this ticket

    bool touches(int channel) const;  // sends to or closes the channel
};

// The running call: its depth (calls nest, the inner one joins the outer),
// the channel it serves, and its effects, collected until it ends.
class CallScope {
public:
    // True when this began the outermost call.
    bool enter(int channel);
    // True when this ended the outermost call; take() then hands over its effects.
    bool leave() { return --depth_ == 0; }
    bool running() const { return depth_ > 0; }
    int channel() const { return channel_; }

    void hold(int channel, std::string_view bytes);
    void editor_opened(int channel, std::string_view banner) {
        effects_.output.push_back(Delivery{channel, std::string(banner), true});
    }
    void after(std::function<void(bool committed)> hook) { effects_.hooks.push_back(std::move(hook)); }
    void close(int channel) { effects_.closes.push_back(channel); }
    CallEffects take(bool committed);

private:
    int depth_ = 0;
    int channel_ = -1;
    CallEffects effects_;
};

// Effects of finished calls that wait for the database's log to be on disk,
// in call order. Tickets count the calls that wrote; an effect goes out once
// the log is synced up to its ticket.
class UnsyncedEffects {
public:
    bool empty() const { return queue_.empty(); }
    size_t size() const { return queue_.size(); }
    bool touch(int channel) const;  // some waiting effect sends to or closes it
    bool touch(const CallEffects& effects, int channel) const;
    // Queues the effects of a call; the ticket it needs on disk (a new one
    // when it wrote, else the last one handed out).
    uint64_t push(CallEffects effects, bool wrote);
    uint64_t written() const { return written_; }
    // Hands `apply` every effect the log, synced up to `ticket`, released.
    void synced(uint64_t ticket, const std::function<void(CallEffects&)>& apply);
    void drop() { queue_.clear(); }

private:
    std::deque<CallEffects> queue_;
    uint64_t written_ = 0;  // tickets handed out
    uint64_t synced_ = 0;   // on disk up to this ticket
};

}  // namespace bbs
