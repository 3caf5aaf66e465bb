#include "bbs/call_runner.h"

#include "bbs/busy_queue.h"
#include "bbs/channel_table.h"
#include "bbs/database.h"
#include "bbs/front_end.h"
#include "bbs/log.h"

namespace bbs {

namespace {
// What the user of a call hears when its transaction was rolled back.
constexpr const char* kCallRolledBack =
    "\r*** The host could not store that: its database refused the change (the disk may be "
    "full). Nothing of it was saved or charged. Press Enter to go on. ***\r";
}  // namespace

bool CallRunner::run_or_wait(int channel, WaitingCall::Kind kind, std::string_view text,
                             FunctionRef<void()> work) {
    if (run(channel, work)) return true;
    busy_.wait(WaitingCall{kind, channel, std::string(text)});
    return false;
}

bool CallRunner::run(int channel, FunctionRef<void()> work) {
    // Ends the call on every path, as a module's catastro unwinds through it.
    struct Scope {
        CallRunner& runner;
        ~Scope() { runner.end(); }
    } scope{*this};
    if (!begin(channel)) return false;
    work();
    return true;
}

bool CallRunner::begin(int channel) {
    if (!scope_.enter(channel)) return true;  // joins the running call
    if (busy_.goes_first()) return false;
    std::string why;
    if (database_ && !database_->begin_call(&why)) {
        busy_.lock_met(why);
        return false;
    }
    if (database_) changes_at_begin_ = database_->changes();
    // The database is the one source of truth: what an admin command (in
    // another process, or through Host::accounts()) changed counts from the
    // next call on. The host's own changes went to the database as they
    // were made.
    channels_.refresh_if_moved(database_ && database_->changed_elsewhere());
    return true;
}

void CallRunner::end() {
    if (!scope_.leave()) return;
    Database::CallOutcome outcome;
    if (database_) outcome = database_->end_call();
    CallEffects effects = scope_.take(outcome.committed);
    channels_.forget_handed_out();
    const int channel = scope_.channel();
    if (!outcome.committed) {
        std::string who = "channel " + std::to_string(channel);
        if (channels_.online(channel)) who += " (" + channels_.userid(channel) + ")";
        log_.error("the call for " + who + " was rolled back, its output withheld: " + outcome.failure.text());
        channels_.refresh_all();
        std::vector<Delivery> openings;  // the editors stay open
        for (Delivery& out : effects.output)
            if (out.opens_editor) openings.push_back(Delivery{out.channel, {}, true});
        effects.output.clear();
        if (channels_.online(channel)) effects.output.push_back(Delivery{channel, kCallRolledBack});
        effects.output.insert(effects.output.end(), openings.begin(), openings.end());
    }
    const bool wrote = outcome.committed && database_ && database_->changes() != changes_at_begin_;
    // What a call that wrote sends goes out once its commit is on disk, and
    // what later calls send to the same channels goes out after it.
    if (sync_request_ && (wrote || unsynced_.touch(effects, channel))) {
        const uint64_t ticket = unsynced_.push(std::move(effects), wrote);
        if (wrote) sync_request_(ticket);
        return;
    }
    apply(effects);
}

void CallRunner::apply(CallEffects& effects) {
    for (auto& hook : effects.hooks) hook(effects.committed);
    for (const Delivery& out : effects.output) {
        if (!out.opens_editor)
            deliver(out.channel, out.bytes);
        else if (front_end_ && channels_.exists(out.channel))
            front_end_->editor_opened(out.channel, out.bytes);
    }
    for (int channel : effects.closes)
        if (front_end_) front_end_->close(channel);
}

void CallRunner::after(std::function<void(bool committed)> hook) {
    if (scope_.running())
        scope_.after(std::move(hook));
    else
        hook(true);
}

void CallRunner::send(int channel, std::string_view bytes) {
    if (!channels_.online(channel) || bytes.empty()) return;
    if (scope_.running())
        scope_.hold(channel, bytes);
    else
        deliver(channel, bytes);
}

void CallRunner::deliver(int channel, std::string_view bytes) {
    // The user may have left during the call (a logoff); what was sent him
    // before still goes out, as the front end has not closed him yet.
    if (!channels_.exists(channel) || bytes.empty()) return;
    if (front_end_) front_end_->deliver(channel, bytes);
}

void CallRunner::editor_opened(int channel, std::string_view banner) {
    if (!channels_.online(channel)) return;
    if (scope_.running())
        scope_.editor_opened(channel, banner);
    else if (front_end_)
        front_end_->editor_opened(channel, banner);
}

void CallRunner::close(int channel) {
    // The front end hears of it with the call's output, not before.
    if (scope_.running())
        scope_.close(channel);
    else if (front_end_)
        front_end_->close(channel);
}

int CallRunner::take_close() {
    if (pending_closes_.empty()) return -1;
    const int channel = pending_closes_.front();
    pending_closes_.pop_front();
    return channel;
}

bool CallRunner::defer_sync(std::function<void(uint64_t ticket)> request, std::string* error) {
    if (!database_ || !database_->defer_log_sync(error)) return false;
    sync_request_ = std::move(request);
    return true;
}

void CallRunner::sync_at_commit() {
    if (database_) database_->sync_log_at_commit();
    sync_request_ = nullptr;
    synced(unsynced_.written());  // on disk now: what waited for it goes out
}

void CallRunner::synced(uint64_t ticket) {
    unsynced_.synced(ticket, [&](CallEffects& effects) { apply(effects); });
}

size_t CallRunner::drop_unsynced() {
    const size_t calls = unsynced_.size();
    unsynced_.drop();
    return calls;
}

}  // namespace bbs
