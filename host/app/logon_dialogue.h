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
//  - A user whose account awaits a sysop's validation is told so instead
//    ("Your account is waiting for validation ...") and the connection closes.
//  - Sign-up: unless the sysop closed it (signup.ini, app/signup.h), the
//    banner says that NEW at the User-ID prompt makes a new account (closed:
//    NEW is told so and the user-ID asked again). Sign-up takes one of the
//    address's sign-ups (refused: told why, closed), then asks the new
//    user-ID and the password twice (echo off), each asked again with what
//    is wrong (kSignupMistakes mistakes close the connection; an empty line
//    ends the sign-up and gives its sign-up back). The account is made away
//    from the loop (waiting() meanwhile) and comes back through
//    account_made(). Open sign-up logs the new user on; one that awaits
//    validation tells him so and closes. start_signup() begins with it
//    (SSH's user `new`).
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
#include "app/signup.h"

namespace app {

class LogonDialogue {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Rules {
        std::chrono::seconds time{120};
        int max_failures = 3;
    };
    static constexpr int kSignupMistakes = 5;

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
        virtual bool awaiting_validation(std::string_view userid) = 0;
        // Sign-up: the sysop's mode, the address's allowance of sign-ups,
        // the rules of a new user-ID (empty: it may be signed up, else what
        // is wrong), and the account made away from the loop (the answer,
        // empty or what went wrong, comes back through account_made()).
        virtual SignupMode signup_mode() = 0;
        virtual LogonThrottle::Verdict signup_begins() = 0;
        virtual void signup_abandoned() = 0;  // ended before make_account
        virtual std::string check_new_userid(std::string_view userid) = 0;
        virtual void make_account(const std::string& userid, std::string password) = 0;
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
    void start_signup();
    void admit(const std::string& account_userid);
    void line(std::string_view typed);
    void password_checked(bool ok);
    void account_made(const std::string& error);
    void expire();  // the owner's timer for deadline() ran out
    void leave();

    Clock::time_point deadline() const { return deadline_; }
    bool waiting() const { return state_ == State::checking || state_ == State::making; }
    bool over() const { return state_ == State::logged_on || state_ == State::closed; }
    const std::string& userid() const { return userid_; }

private:
    enum class State {
        idle, asking_userid, asking_password, checking,
        new_userid, new_password, new_password_again, making,  // sign-up
        logged_on, closed
    };

    void ask_userid();
    void on_userid(std::string_view typed);
    void on_password(std::string_view typed);
    void begin_signup();
    void on_signup_line(std::string_view typed);
    void ask_signup(State state, std::string_view mistake);
    void end_signup();  // no account made: its sign-up given back
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
    bool signing_up_ = false;    // holds one of the address's sign-ups
    int signup_mistakes_ = 0;
    std::string new_password_;   // the first of the two, until the second
};

}  // namespace app
