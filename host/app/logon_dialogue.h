// The logon dialogue of one connection, whatever way it came in: it asks
// for the user-ID and the password and lets the user on, or not, by these
// rules (on a clock it is given, so that they are tested without waiting):
//
//  - start() greets and asks "User-ID: ". A user-ID is cleaned as every
//    typed line is (bbs/input.h) and the blanks around it dropped; an empty
//    one is asked for again.
//  - Each user-ID typed is one attempt of the logon throttle
//    (app/logon_throttle.h). Refused: the user is told why and the
//    connection closes. Allowed: "Password: " is asked with the terminal's
//    echo off, and the password is checked away from the loop; lines typed
//    meanwhile wait (waiting()) for password_checked().
//  - A wrong password (or an account gone meanwhile) is "Invalid login.";
//    the third closes the connection, the others ask for the user-ID again.
//    A right one logs the user on under his account's spelling of the
//    user-ID, unless he is online already ("That user is already online.",
//    and the user-ID is asked again) or no channel is free ("Every channel is
//    busy...", and the connection closes).
//  - All of it must be over within Rules::time from start(): once the clock
//    has passed deadline(), expire() says "Logon timed out." and closes.
//  - A user whom the way in has logged on already (SSH, by password or
//    public key) is let on by admit() instead of start(): nothing is asked
//    and no banner shown; when he is online already or no channel is free he
//    is told so, as above, and the connection closes.
//  - leave() (the connection is gone) gives back an attempt whose password
//    was never typed. Leaving the dialogue in any way, by logon or not, ends
//    its count as a connection at the logon.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "app/logon_throttle.h"

namespace app {

class LogonDialogue {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Rules {
        std::chrono::seconds time{120};
        int max_failures = 3;
    };

    // What the dialogue needs of the host and of the user's terminal.
    class Services {
    public:
        virtual ~Services() = default;
        // The throttle, for this connection's address.
        virtual LogonThrottle::Verdict attempt_begins(std::string_view userid) = 0;
        virtual void attempt_abandoned(std::string_view userid) = 0;
        virtual void dialogue_ended() = 0;
        // Checks the password away from the loop; the answer ends the
        // attempt, and comes back (if the dialogue is still there) through
        // password_checked().
        virtual void check_password(const std::string& userid, std::string password) = 0;
        // The account's own spelling of the user-ID, or empty when there is none.
        virtual std::string account_userid(std::string_view userid) = 0;
        virtual bool online(std::string_view userid) = 0;
        // The connection becomes a host channel; false when none is free.
        virtual bool log_on(const std::string& userid) = 0;

        virtual void say(std::string_view text) = 0;
        virtual void secret_line(bool on) = 0;  // the next line is a password / is over
        virtual void close() = 0;               // after what was said
        virtual void log(std::string_view line) = 0;
    };

    // `peer` names the connection in the log.
    LogonDialogue(Services& services, std::string peer, Now now);
    LogonDialogue(Services& services, std::string peer, Now now, Rules rules);

    void start();
    void admit(const std::string& account_userid);
    void line(std::string_view typed);
    void password_checked(bool ok);
    void expire();  // the owner's timer for deadline() ran out
    void leave();

    Clock::time_point deadline() const { return deadline_; }
    bool waiting() const { return state_ == State::checking; }
    bool over() const { return state_ == State::logged_on || state_ == State::closed; }
    const std::string& userid() const { return userid_; }

private:
    enum class State { idle, asking_userid, asking_password, checking, logged_on, closed };

    void ask_userid();
    void on_userid(std::string_view typed);
    void on_password(std::string_view typed);
    // The user-ID is right: a host channel, unless he is on already
    // (asked again when `ask_again`, else closed) or none is free.
    void let_on(bool ask_again);
    void close();
    void end();  // no longer counted as a connection at the logon

    Services& services_;
    std::string peer_;
    Now now_;
    Rules rules_;
    State state_ = State::idle;
    Clock::time_point deadline_{};
    std::string userid_;
    int failures_ = 0;
    bool attempt_open_ = false;  // a password was asked for and not yet typed
    bool counted_ = false;       // counted by the throttle as at the logon
};

}  // namespace app
