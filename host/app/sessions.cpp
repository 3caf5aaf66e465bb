#include "app/sessions.h"

#include <algorithm>

#include "app/logon_gate.h"
#include "app/metrics.h"
#include "app/pump.h"
#include "bbs/host.h"
#include "game/game.h"
#include "text/ascii.h"

namespace app {

Sessions::Sessions(asio::io_context& io, bbs::Host& host, LogonGate& logons, Pump& pump, Options options)
    : io_(io), host_(host), logons_(logons), pump_(pump), options_(std::move(options)), watch_timer_(io) {}

void Sessions::watch() {
    if (stopped_) return;
    watch_timer_.expires_after(kWatchInterval);
    watch_timer_.async_wait([this](const std::error_code& ec) {
        if (ec || stopped_) return;
        logons_.flush();
        if (logons_.database_changed()) expel_locked();
        watch();
    });
}

void Sessions::expel_locked() {
    // One read of the locked accounts, not one per user on.
    const auto locked = logons_.locked_accounts();
    if (locked.empty()) return;
    for (auto& [channel, weak] : std::map(channels_)) {
        auto session = weak.lock();
        if (!session) continue;
        const auto it = std::find_if(locked.begin(), locked.end(), [&](const auto& entry) {
            return text::equal_ignoring_case(entry.first, session->userid());
        });
        if (it == locked.end()) continue;
        const LogonThrottle::Verdict& refusal = it->second;
        log("user " + session->userid() + " at channel " + std::to_string(channel) + " logged off: " +
            LogonGate::logged(refusal));
        session->expel("\r\n" + LogonThrottle::message(refusal));
    }
}

std::shared_ptr<Session> Sessions::adopt(std::shared_ptr<Transport> transport) {
    auto session = std::make_shared<Session>(*this, logons_, std::move(transport));
    sessions_.insert(session);
    // A user the way in logged on already is past the logon dialogue.
    const auto verdict = session->logged_on_by_transport() ? LogonThrottle::Verdict{}
                                                            : logons_.connection_begins(session->ip());
    if (verdict) {
        log("connection from " + session->peer());
        session->start();
    } else {
        if (const auto more = logons_.refusal_logged(session->way(), session->address()))
            log("connection from " + session->peer() + " refused: " + LogonThrottle::reason(verdict) + *more);
        session->refuse(LogonThrottle::message(verdict));
    }
    return session;
}

void Sessions::stop(std::string_view farewell) {
    stopped_ = true;
    watch_timer_.cancel();
    auto sessions = sessions_;
    for (const auto& session : sessions) session->shutdown(farewell);
    sessions_.clear();
    channels_.clear();
}

// ---- for the host -------------------------------------------------------------

std::shared_ptr<Session> Sessions::receiver(int channel) const {
    auto it = channels_.find(channel);
    if (it != channels_.end()) return it->second.lock();
    return logging_on_ ? logging_on_->shared_from_this() : nullptr;
}

void Sessions::deliver(int channel, std::string_view bytes) {
    if (metrics_) metrics_->output_released(channel, std::chrono::steady_clock::now());
    if (auto session = receiver(channel)) session->send_module_output(bytes);
}

void Sessions::editor_opened(int channel, std::string_view banner) {
    auto session = receiver(channel);
    if (!session) return;
    // Told late (the call waited for the disk), the editor may be closed again.
    const bool on_screen =
        host_.in_editor(channel) && session->edit_on_screen(host_.editor_text(channel), host_.editor_size(channel));
    if (!on_screen && !banner.empty()) session->send_module_output(banner);
}

void Sessions::close(int channel) {
    auto it = channels_.find(channel);
    if (it == channels_.end()) return;
    asio::post(io_, [weak = it->second] {
        if (auto session = weak.lock()) session->close_after_output();
    });
}

bool Sessions::change_password(int channel) {
    auto session = at(channel);
    return session && session->change_password();
}

std::shared_ptr<Session> Sessions::at(int channel) const {
    auto it = channels_.find(channel);
    return it == channels_.end() ? nullptr : it->second.lock();
}

// ---- the host calls of sessions ---------------------------------------------------

int Sessions::logon(const std::shared_ptr<Session>& session, const std::string& userid) {
    logging_on_ = session.get();
    const int channel = host_.logon(userid);
    logging_on_ = nullptr;
    if (metrics_) metrics_->logon(session->way(), channel >= 0 ? "ok" : "no_channel");
    if (channel >= 0) {
        channels_[channel] = session;
        session->set_channel(channel);
        log("logon of " + userid + " at channel " + std::to_string(channel) + " from " + session->peer() + " by " +
            std::string(session->way()));
    } else {
        log("no free channel for " + userid + " from " + session->peer());
    }
    after_call();
    if (channel >= 0 && session->wants_character()) watch_character(session);
    pump_.mark();
    return channel;
}

void Sessions::line(int channel, std::string_view text) {
    if (stopped_ || !host_.online(channel)) return;
    if (options_.echo) {
        if (auto session = at(channel)) session->send_module_output(std::string(text) + "\r");
        return;
    }
    if (metrics_) metrics_->line_received(channel, std::chrono::steady_clock::now());
    host_.line(channel, text);
    after_call();
    pump_.mark();
}

void Sessions::editor_done(int channel, bool save, std::string_view text) {
    if (stopped_ || !host_.online(channel)) return;
    if (save)
        host_.editor_save(channel, text);
    else
        host_.editor_abandon(channel);
    after_call();
    pump_.mark();
}

void Sessions::hold_statuses(int channel, bool on) {
    if (channel < 0) return;
    host_.hold_statuses(channel, on);
    if (!on) pump_.mark();
}

void Sessions::hangup(Session& session) {
    const int channel = session.channel();
    if (channel < 0) return;
    session.set_channel(-1);
    if (metrics_) metrics_->channel_freed(channel);
    auto it = channels_.find(channel);
    if (it != channels_.end() && it->second.lock().get() == &session) channels_.erase(it);
    // Only when the channel still belongs to this user: the host may have
    // freed it already, and then somebody else may be there.
    if (host_.channel_of(session.userid()) == channel) {
        host_.hangup(channel);
        log("hang-up of " + session.userid() + " at channel " + std::to_string(channel));
    }
    pump_.mark();
}

void Sessions::forget(Session& session) {
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (it->get() == &session) {
            sessions_.erase(it);
            return;
        }
    }
}

void Sessions::watch_character(const std::shared_ptr<Session>& session) {
    const bool watched = std::any_of(watchers_.begin(), watchers_.end(),
                                     [&](const std::weak_ptr<Session>& w) { return w.lock() == session; });
    if (!watched) watchers_.push_back(session);
    session->tell_character();
}

void Sessions::after_call() {
    if (watchers_.empty()) return;
    auto* game = game::Game::instance();
    if (!game) return;
    // Only the characters a call changed are looked up again, unless
    // another program wrote the game's tables.
    const auto changed = game->take_changed_accounts();
    if (changed && changed->empty()) return;
    auto is_changed = [&](const Session& session) {
        return !changed || std::any_of(changed->begin(), changed->end(), [&](const std::string& userid) {
                   return text::equal_ignoring_case(userid, session.userid());
               });
    };
    std::erase_if(watchers_, [&](const std::weak_ptr<Session>& weak) {
        auto session = weak.lock();
        if (!session || !session->wants_character()) return true;
        if (is_changed(*session)) session->tell_character();
        return false;
    });
}

void Sessions::log(std::string_view line) { host_.log(line); }

}  // namespace app
