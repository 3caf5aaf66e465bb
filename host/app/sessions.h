// The one place the ways in hand their sessions to, and the parent of them
// all (after libuv's one stream parent): it keeps every session and the
// host channel each holds, makes the host calls sessions make (each marks
// the pump, app/pump.h, for what the call leaves), and takes the host's
// output, closes and editor openings for them (the output side of
// bbs::FrontEnd).
//
// A session adopted comes to the logon dialogue, unless the logon throttle
// refuses its address (it is told why and closed) or its way logged the
// user on already. Once stopped, lines and editor ends reach the host no
// more, and the ways adopt nothing.
//
// From watch() on, every kWatchInterval: what the throttle could not write
// is written, and when another program committed to bbs.db (an admin
// command), every user whose account is locked now is told so and closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "app/session.h"

namespace bbs {
class Host;
}

namespace app {

class LogonGate;
class Metrics;
class Pump;
class Transport;

class Sessions final : public Session::Owner {
public:
    struct Options {
        Session::Rules rules;
        // Echo mode (bbshost --echo): every line of a logged-on user is sent
        // back to him as it is and never reaches the host; the bare network
        // path that load tests hold the real one against.
        bool echo = false;
    };

    Sessions(asio::io_context& io, bbs::Host& host, LogonGate& logons, Pump& pump, Options options);

    Sessions(const Sessions&) = delete;
    Sessions& operator=(const Sessions&) = delete;

    // A new connection of any way in becomes a session.
    std::shared_ptr<Session> adopt(std::shared_ptr<Transport> transport);
    bool stopped() const { return stopped_; }
    static constexpr std::chrono::seconds kWatchInterval{1};
    void watch();
    // Host shutdown: every session says `farewell`, leaves the host and is
    // closed at once; the sessions are forgotten.
    void stop(std::string_view farewell);

    // ---- for the host (bbs::FrontEnd) ---------------------------------------
    void deliver(int channel, std::string_view bytes);
    // On the full screen where the session's terminal can, else the banner.
    void editor_opened(int channel, std::string_view banner);
    // The channel's user is closed once his output is out (from the loop:
    // the host asks from inside a module routine).
    void close(int channel);
    // The channel's user changes his password at his session.
    bool change_password(int channel);

    // ---- for the sysop's view and the ways ------------------------------------
    const std::set<std::shared_ptr<Session>>& all() const { return sessions_; }
    std::shared_ptr<Session> at(int channel) const;  // null when no session holds it
    std::size_t channels_held() const { return channels_.size(); }
    // Logons and the latency of lines go to `metrics` from now on (null: nowhere).
    void count_in(Metrics* metrics) { metrics_ = metrics; }

    // ---- Session::Owner ----------------------------------------------------------
    asio::io_context& io() override { return io_; }
    const Session::Rules& rules() const override { return options_.rules; }
    int logon(const std::shared_ptr<Session>& session, const std::string& userid) override;
    void line(int channel, std::string_view text) override;
    void editor_done(int channel, bool save, std::string_view text) override;
    void hold_statuses(int channel, bool on) override;
    void hangup(Session& session) override;
    void forget(Session& session) override;
    void watch_character(const std::shared_ptr<Session>& session) override;
    void log(std::string_view line) override;

private:
    // The session the host's output for the channel is for: inside
    // host.logon() the new channel is not known yet, and what the logon
    // routines send to an unknown channel is the newcomer's.
    std::shared_ptr<Session> receiver(int channel) const;
    void expel_locked();
    // After a host call: what it changed of any character is told to the
    // clients that are told it (Session::tell_character).
    void after_call();

    asio::io_context& io_;
    bbs::Host& host_;
    LogonGate& logons_;
    Pump& pump_;
    const Options options_;
    std::set<std::shared_ptr<Session>> sessions_;
    std::map<int, std::weak_ptr<Session>> channels_;
    // Sessions whose clients are told their characters (GMCP), online.
    std::vector<std::weak_ptr<Session>> watchers_;
    Session* logging_on_ = nullptr;  // the session inside host.logon()
    Metrics* metrics_ = nullptr;
    bool stopped_ = false;
    asio::steady_timer watch_timer_;
};

}  // namespace app
