#include "app/logon_dialogue.h"

#include <sodium.h>

#include "bbs/input.h"
#include "platform/host.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace app {

namespace {

const char kBanner[] =
    "\r\n"
    "  Welcome to the Brakvold BBS\r\n"
    "  A realm of swords, sorcery and the Brakvold Plus extensions.\r\n"
    "\r\n";

const char kSignupOpen[] = "  New here? Type NEW at the User-ID prompt to sign up.\r\n\r\n";

// A message the user is told, as the log quotes it (without its line end).
std::string_view unterminated(std::string_view said) {
    while (!said.empty() && (said.back() == '\r' || said.back() == '\n')) said.remove_suffix(1);
    return said;
}

}  // namespace

LogonDialogue::LogonDialogue(Services& services, std::string peer, Now now)
    : LogonDialogue(services, std::move(peer), std::move(now), Rules{}) {}

LogonDialogue::LogonDialogue(Services& services, std::string peer, Now now, Rules rules)
    : services_(services), peer_(std::move(peer)), now_(std::move(now)), rules_(rules) {}

void LogonDialogue::start() {
    counted_ = true;
    deadline_ = now_() + rules_.time;
    services_.say(kBanner);
    if (services_.signup_mode() != SignupMode::closed) services_.say(kSignupOpen);
    ask_userid();
}

void LogonDialogue::start_signup() {
    counted_ = true;
    deadline_ = now_() + rules_.time;
    services_.say(kBanner);
    begin_signup();
}

void LogonDialogue::ask_userid() {
    state_ = State::asking_userid;
    services_.say("User-ID: ");
}

void LogonDialogue::line(std::string_view typed) {
    if (state_ == State::asking_userid) on_userid(typed);
    else if (state_ == State::asking_password) on_password(typed);
    else if (state_ == State::new_userid || state_ == State::new_password || state_ == State::new_password_again)
        on_signup_line(typed);
}

void LogonDialogue::on_userid(std::string_view typed) {
    // Cleaned as every typed line is: it goes to the log and to the account lookup.
    const std::string cleaned = bbs::clean_line(typed, HOST_INPSIZ - 1);
    const std::string_view name = text::trim(cleaned, " ");
    if (name.empty()) {
        ask_userid();
        return;
    }
    if (asks_for_signup(name)) {
        begin_signup();
        return;
    }
    userid_ = std::string(name);
    const auto verdict = services_.attempt_begins(userid_);
    if (!verdict) {
        const std::string said = LogonThrottle::message(verdict);
        services_.log("logon as \"" + text::log_excerpt(userid_) + "\" from " + peer_ + " refused: " + std::string(unterminated(said)));
        services_.say(said);
        close();
        return;
    }
    attempt_open_ = true;
    state_ = State::asking_password;
    services_.secret_line(true);
    services_.say("Password: ");
}

void LogonDialogue::on_password(std::string_view typed) {
    services_.secret_line(false);
    attempt_open_ = false;  // the attempt is the check's now
    state_ = State::checking;
    services_.check_password(userid_, std::string(typed));
}

void LogonDialogue::password_checked(bool ok) {
    if (state_ != State::checking) return;
    std::string account = ok ? services_.account_userid(userid_) : std::string();
    if (account.empty()) {
        ++failures_;
        services_.log("failed logon as \"" + text::log_excerpt(userid_) + "\" from " + peer_);
        services_.say("Invalid login.\r\n");
        if (failures_ >= rules_.max_failures) {
            services_.log("connection from " + peer_ + " closed after " + std::to_string(failures_) +
                          " failed logons");
            close();
            return;
        }
        ask_userid();
        return;
    }
    userid_ = std::move(account);
    let_on(true);
}

void LogonDialogue::admit(const std::string& account_userid) {
    userid_ = account_userid;
    let_on(false);
}

void LogonDialogue::let_on(bool ask_again) {
    if (services_.awaiting_validation(userid_)) {
        services_.log("logon as \"" + userid_ + "\" from " + peer_ + " refused: waiting for validation");
        services_.say("Your account is waiting for validation by the sysop. Please try again later.\r\n");
        close();
        return;
    }
    if (services_.online(userid_)) {
        services_.say("That user is already online.\r\n");
        if (ask_again)
            ask_userid();
        else
            close();
        return;
    }
    end();
    state_ = State::logged_on;
    if (!services_.log_on(userid_)) {
        services_.say("Every channel is busy. Please try again later.\r\n");
        close();
    }
}

void LogonDialogue::expire() {
    if (state_ == State::idle || state_ == State::logged_on || state_ == State::closed) return;
    if (now_() < deadline_) return;
    services_.say("\r\nLogon timed out.\r\n");
    close();
}

void LogonDialogue::close() {
    end_signup();
    state_ = State::closed;
    services_.close();
}

void LogonDialogue::leave() {
    if (attempt_open_) {
        attempt_open_ = false;
        services_.attempt_abandoned(userid_);
    }
    end_signup();
    end();
    if (state_ != State::logged_on) state_ = State::closed;
}

void LogonDialogue::end() {
    if (!counted_) return;
    counted_ = false;
    services_.dialogue_ended();
}

// ---- sign-up -------------------------------------------------------------------

void LogonDialogue::begin_signup() {
    if (services_.signup_mode() == SignupMode::closed) {
        services_.say("Sign-up is closed here. Please ask the sysop for an account.\r\n");
        ask_userid();
        return;
    }
    const auto verdict = services_.signup_begins();
    if (!verdict) {
        const std::string said = LogonThrottle::message(verdict);
        services_.log("sign-up from " + peer_ + " refused: " + std::string(unterminated(said)));
        services_.say(said);
        close();
        return;
    }
    signing_up_ = true;
    services_.say("\r\nA new account. Its user-ID has 3 to 29 characters: letters, digits, - _ . and single\r\n"
                  "blanks between words. An empty line ends the sign-up.\r\n");
    ask_signup(State::new_userid, {});
}

// Asks for the user-ID or a password, after what was wrong with the last one.
void LogonDialogue::ask_signup(State state, std::string_view mistake) {
    if (!mistake.empty()) {
        services_.say(std::string(mistake) + "\r\n");
        if (++signup_mistakes_ >= kSignupMistakes) {
            services_.log("sign-up from " + peer_ + " closed after " + std::to_string(signup_mistakes_) + " mistakes");
            close();
            return;
        }
    }
    state_ = state;
    if (state == State::new_userid) {
        services_.say("New user-ID: ");
        return;
    }
    services_.secret_line(true);
    services_.say(state == State::new_password ? "Password (at least 8 characters): " : "Password again: ");
}

void LogonDialogue::on_signup_line(std::string_view typed) {
    const State asked = state_;
    if (asked != State::new_userid) services_.secret_line(false);
    std::string cleaned = asked == State::new_userid ? bbs::clean_line(typed, HOST_INPSIZ - 1) : std::string(typed);
    const std::string_view given = asked == State::new_userid ? text::trim(cleaned, " ") : std::string_view(cleaned);
    if (given.empty()) {
        services_.say("Sign-up ended.\r\n");
        end_signup();
        ask_userid();
        return;
    }
    switch (asked) {
    case State::new_userid:
        userid_ = std::string(given);
        if (std::string fault = services_.check_new_userid(userid_); !fault.empty())
            return ask_signup(State::new_userid, fault);
        return ask_signup(State::new_password, {});
    case State::new_password:
        if (std::string fault = check_new_password(userid_, given); !fault.empty())
            return ask_signup(State::new_password, fault);
        new_password_ = std::string(given);
        return ask_signup(State::new_password_again, {});
    default:
        break;
    }
    const bool same = given == new_password_;
    sodium_memzero(new_password_.data(), new_password_.size());
    new_password_.clear();
    if (!same) return ask_signup(State::new_password, "The two passwords differ.");
    state_ = State::making;
    signing_up_ = false;  // the making ends the sign-up
    services_.make_account(userid_, std::move(cleaned));
}

void LogonDialogue::account_made(const std::string& error) {
    if (state_ != State::making) return;
    if (!error.empty()) {
        services_.say(error + "\r\n");
        ask_userid();
        return;
    }
    services_.log("sign-up of \"" + userid_ + "\" from " + peer_);
    if (services_.awaiting_validation(userid_)) {
        services_.say("Your account " + userid_ +
                      " is made. It waits for the sysop's validation; you can log on once it is validated.\r\n");
        close();
        return;
    }
    services_.say("Your account " + userid_ + " is made. Welcome!\r\n");
    let_on(false);
}

void LogonDialogue::end_signup() {
    if (!new_password_.empty()) sodium_memzero(new_password_.data(), new_password_.size());
    new_password_.clear();
    if (!signing_up_) return;
    signing_up_ = false;
    services_.signup_abandoned();
}

}  // namespace app
