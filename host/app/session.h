// One user's connection to the host, whatever way he came in: the
// transport (app/transport.h) carries the bytes, the terminal layer
// (app/terminal.h) makes lines of them and shapes what is printed, the
// logon dialogue (app/logon_dialogue.h) lets him on, and from then on the
// session is a host channel and every line goes to the host through its
// owner (app/sessions.h), which it reaches only through Session::Owner.
//
// The route of a typed line, and of what answers it:
//
//   socket     a way in (telnet_way.h, ssh_way.h, web_way.h) made a transport
//              of the accepted connection; it reads at most kReadSize bytes
//              when the session asks (stream_transport.h, or ssh/session.h)
//   transport  takes its protocol's bytes out (telnet_transport.cpp: libtelnet;
//              web_transport.cpp: HTTP and WebSocket frames; ssh_transport.cpp)
//              and hands the rest to Session::on_received
//   terminal   Terminal::feed: line mode assembles lines, character mode
//              decodes keys (terminal/input_decoder.h) and edits the line
//              (terminal/input_line.h); keys may instead turn a page or go to
//              the full-screen editor (terminal/full_screen_editor.h)
//   session    Session::handle_lines, kLinesPerTurn a turn: to the logon
//              dialogue, to a password change the host asked for
//              (app/password_change.h), or Owner::line = Sessions::line ->
//              bbs::Host::line
//   host       bbs/host.cpp: one call in one transaction (bbs/call_runner.h;
//              it waits in bbs/busy_queue.h while another program holds the
//              database), the line cleaned (bbs/input.h) and routed by
//              bbs/line_router.h: the editor, the global commands, the user's
//              module (its input routine: module/menu/frame.cpp's
//              plus_input for Brakvold Plus), the host's menu
//   output     the module's prf/outprf (bbs/services.cpp) are held by the
//              call runner (bbs/call_scope.h) until the commit, and until the
//              log is on disk (app/pump.h syncs it), then go in order to
//              bbs::FrontEnd::deliver (or editor_opened), the Server's front
//              side -> Sessions::deliver -> Session::send_module_output ->
//              Terminal::write (line breaks, pager, CP437) -> Transport::send
//              (telnet: IAC escaped, maybe compressed) -> the socket
//   after      what the call left (statuses, calls that wait for the
//              database) is done by the pump's next turn (app/pump.h)
//
// Input is handled in bounded time and memory: one read of the transport
// at a time, of which at most kLinesPerTurn lines are handled before the
// session yields to the loop (other sessions, timers, signals) and takes
// the next ones; it reads again only when every line of the last read is
// handled. A session that is cut off or closing hands nothing more to the
// host.
//
// The session is told, never asks: the host tells it of output and of its
// editor opening (through its owner), the transport of the client's window,
// terminal and modes, the terminal of a page that waits for its reader.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/logon_dialogue.h"
#include "app/password_change.h"
#include "app/terminal.h"
#include "app/transport.h"

namespace app {

class LogonGate;

class Session final : public std::enable_shared_from_this<Session>,
                      private LogonDialogue::Services,
                      private PasswordChange::Services {
public:
    static constexpr std::size_t kLinesPerTurn = 8;
    static constexpr std::chrono::milliseconds kEscapeWait{300};

    // How long a user may take.
    struct Rules {
        // To log on, whichever way he came in (the logon dialogue; SSH from
        // the connection to its shell).
        std::chrono::seconds logon_time{LogonDialogue::Rules{}.time};
        // To type a first line at the logon dialogue: one who has not is
        // cut off (when this is shorter than logon_time).
        std::chrono::seconds silence_time{30};
        // Without typing a line once on; zero: for ever. He is warned
        // idle_warning() before: a minute, or half the timeout when shorter.
        std::chrono::milliseconds idle_timeout{0};
        std::chrono::milliseconds idle_warning() const {
            return std::min<std::chrono::milliseconds>(std::chrono::minutes(1), idle_timeout / 2);
        }
    };

    // What a session reaches of the serving side (app/sessions.h): the loop,
    // the rules, and the host calls a session makes.
    class Owner {
    public:
        virtual asio::io_context& io() = 0;
        virtual const Rules& rules() const = 0;
        // The session becomes a host channel (set_channel); -1 when none is free.
        virtual int logon(const std::shared_ptr<Session>& session, const std::string& userid) = 0;
        virtual void line(int channel, std::string_view text) = 0;
        // The full-screen editor is done: its text saved, or abandoned.
        virtual void editor_done(int channel, bool save, std::string_view text) = 0;
        // The channel's statuses wait (its user reads a paused page, or edits
        // on the full screen), or go on.
        virtual void hold_statuses(int channel, bool on) = 0;
        // The session's user leaves the host (no-op when he is not online).
        virtual void hangup(Session& session) = 0;
        // The session's connection is gone; forget it.
        virtual void forget(Session& session) = 0;
        // The session's client now wants his character told (wants_character()).
        virtual void watch_character(const std::shared_ptr<Session>& session) = 0;
        virtual void log(std::string_view line) = 0;

    protected:
        ~Owner() = default;
    };

    Session(Owner& owner, LogonGate& logons, std::shared_ptr<Transport> transport);
    ~Session() override;

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The transport's greeting, the dialogue's (or the logon of a user the
    // transport has logged on), the first read.
    void start();
    // The logon throttle refused the connection: says so, then closes.
    void refuse(std::string_view message);
    // A logged-on user is put off the host (his account was locked): told
    // why, then closed.
    void expel(std::string_view message);

    // What a module sent the channel.
    void send_module_output(std::string_view bytes);
    // The host's editor opened at the channel on this text: edited on the
    // full screen where the terminal can (true), else false and the line
    // editor's banner is for the user.
    bool edit_on_screen(std::string_view text, std::size_t size);
    // Tells the client his character as the game has it now, where his
    // transport can (telnet's GMCP) and he is on: at once when he comes on
    // or his client asks, then after host calls that changed it.
    bool wants_character() const;
    void tell_character();
    // The user changes his password (app/password_change.h): his lines go
    // to the change until it is over, then an empty one to the host. False
    // when he is not online or changes it already.
    bool change_password();
    // Leaves the host, sends what is queued, then closes (logoff from the game).
    void close_after_output();
    // Host shutdown: a last word, leave the host, close without waiting.
    void shutdown(std::string_view farewell);

    int channel() const { return channel_; }
    // The host channel the session holds (-1: none any more).
    void set_channel(int channel);
    Terminal& terminal() { return terminal_; }
    const std::string& userid() const { return dialogue_.userid(); }
    const std::string& peer() const { return transport_->peer(); }
    const std::string& ip() const { return transport_->ip(); }
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
    void holding_changed(bool held);  // the terminal holds the channel's statuses, or lets go
    void editor_may_be_done();
    void handle_lines();  // one turn's worth, then yield or read
    void password_checked(bool ok);
    void account_made(const std::string& error);
    void password_changed(const std::string& error);
    bool waiting_for_check() const;  // a password check or hash runs for the user
    void password_change_may_be_over();
    void arm_logon_timer();
    void arm_silence_timer();
    // A logged-on user who types nothing for Rules::idle_timeout is warned
    // Rules::idle_warning() before it, then logged off (hung up).
    void arm_idle_timer();
    void idle_timer_fired();

    // ---- LogonDialogue::Services ----
    LogonThrottle::Verdict attempt_begins(std::string_view userid) override;
    void attempt_abandoned(std::string_view userid) override;
    void dialogue_ended() override;
    void check_password(const std::string& userid, std::string password) override;
    std::string account_userid(std::string_view userid) override;
    bool online(std::string_view userid) override;
    bool awaiting_validation(std::string_view userid) override;
    SignupMode signup_mode() override;
    LogonThrottle::Verdict signup_begins() override;
    void signup_abandoned() override;
    std::string check_new_userid(std::string_view userid) override;
    void make_account(const std::string& userid, std::string password) override;
    bool log_on(const std::string& userid) override;
    void say(std::string_view text) override { terminal_.write(text); }
    void secret_line(bool on) override;
    void close() override { close_after_output(); }
    void log(std::string_view line) override { owner_.log(line); }

    // ---- PasswordChange::Services (say, secret_line and log as above) ----
    void change(const std::string& userid, std::string old_password, std::string new_password) override;

    Owner& owner_;
    LogonGate& logons_;
    std::shared_ptr<Transport> transport_;
    Terminal terminal_;
    LogonDialogue dialogue_;
    std::unique_ptr<PasswordChange> password_change_;  // while the user changes his password
    asio::steady_timer logon_timer_;
    asio::steady_timer silence_timer_;
    // From the dialogue's start to the logon: how it ends if the connection
    // ends now, told to the throttle (LogonGate::connection_ended). Wrong
    // passwords and the throttle's refusals end it as `left`: the attempts
    // pay for them, and strangers who spent a user-ID's attempts must not
    // make its owner's address pay besides.
    bool at_logon_ = false;
    bool spoke_ = false;  // a line typed at the dialogue
    LogonThrottle::Ending ending_ = LogonThrottle::Ending::left;
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
