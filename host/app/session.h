// One user's connection to the host, whatever way he came in: the
// transport (app/transport.h) carries the bytes, the terminal layer
// (app/terminal.h) makes lines of them and shapes what is printed, the
// logon dialogue (app/logon_dialogue.h) lets him on, and from then on the
// session is a host channel and every line goes to the host.
//
// Input is handled in bounded time and memory: one read of the transport
// at a time, of which at most kLinesPerTurn lines are handled before the
// session yields to the loop (other sessions, timers, signals) and takes
// the next ones; it reads again only when every line of the last read is
// handled. A session that is cut off or closing hands nothing more to the
// host.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/logon_dialogue.h"
#include "app/terminal.h"
#include "app/transport.h"

namespace app {

class Server;

class Session final : public std::enable_shared_from_this<Session>, private LogonDialogue::Services {
public:
    static constexpr std::size_t kLinesPerTurn = 8;
    static constexpr std::chrono::milliseconds kEscapeWait{300};

    Session(Server& server, std::shared_ptr<Transport> transport);
    ~Session() override;

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The transport's greeting, the dialogue's (or the logon of a user the
    // transport has logged on), the first read.
    void start();
    // The logon throttle refused the connection: says so, then closes.
    void refuse(std::string_view message);
    // The answer to the password typed (Server::check_password).
    void password_checked(bool ok);

    // What a module sent the channel.
    void send_module_output(std::string_view bytes);
    // Leaves the host, sends what is queued, then closes (logoff from the game).
    void close_after_output();
    // Host shutdown: a last word, leave the host, close without waiting.
    void shutdown(std::string_view farewell);

    int channel() const { return channel_; }
    Terminal& terminal() { return terminal_; }
    void set_channel(int channel) { channel_ = channel; }
    const std::string& userid() const { return dialogue_.userid(); }
    const std::string& peer() const { return transport_->peer(); }
    const std::string& address() const { return transport_->address(); }
    std::string_view way() const { return transport_->way(); }
    bool logged_on_by_transport() const { return !transport_->logged_on_as().empty(); }
    bool closed() const { return state_ == State::closed; }
    bool logging_on() const { return state_ == State::logging_on; }
    // Since the user last typed a line (or connected).
    std::chrono::steady_clock::duration idle() const;

private:
    enum class State { logging_on, online, closing, closed };

    void attach();
    void on_received(std::string_view bytes);
    void on_closed();
    bool taking_lines() const;
    void pager_may_have_turned();  // holds or releases the channel's statuses
    void editor_may_have_begun();  // the host's editor, on the full screen where it can
    void editor_may_be_done();
    void handle_lines();  // one turn's worth, then yield or read
    void arm_logon_timer();
    // A logged-on user who types nothing for Server::idle_timeout() is
    // warned Server::idle_warning() before it, then logged off (hung up).
    void arm_idle_timer();
    void idle_timer_fired();

    // ---- LogonDialogue::Services ----
    LogonThrottle::Verdict attempt_begins(std::string_view userid) override;
    void attempt_abandoned(std::string_view userid) override;
    void dialogue_ended() override;
    void check_password(const std::string& userid, std::string password) override;
    std::string account_userid(std::string_view userid) override;
    bool online(std::string_view userid) override;
    bool log_on(const std::string& userid) override;
    void say(std::string_view text) override { terminal_.write(text); }
    void secret_line(bool on) override;
    void close() override { close_after_output(); }
    void log(std::string_view line) override;

    Server& server_;
    std::shared_ptr<Transport> transport_;
    Terminal terminal_;
    LogonDialogue dialogue_;
    asio::steady_timer logon_timer_;
    asio::steady_timer idle_timer_;
    std::chrono::steady_clock::time_point last_line_;
    bool idle_warned_ = false;
    asio::steady_timer escape_timer_;  // an ESC alone becomes the Escape key
    State state_ = State::logging_on;
    int channel_ = -1;
    std::deque<std::string> lines_;  // completed and not yet handled
    bool turn_posted_ = false;
    bool handling_ = false;  // a line is with the host (or the dialogue)
    bool prompt_posted_ = false;
    bool statuses_held_ = false;  // while the pager waits for the reader
};

}  // namespace app
