#include "app/logon_dialogue.h"

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
    ask_userid();
}

void LogonDialogue::ask_userid() {
    state_ = State::asking_userid;
    services_.say("User-ID: ");
}

void LogonDialogue::line(std::string_view typed) {
    if (state_ == State::asking_userid) on_userid(typed);
    else if (state_ == State::asking_password) on_password(typed);
}

void LogonDialogue::on_userid(std::string_view typed) {
    // Cleaned as every typed line is: it goes to the log and to the account lookup.
    const std::string cleaned = bbs::clean_line(typed, HOST_INPSIZ - 1);
    const std::string_view name = text::trim(cleaned, " ");
    if (name.empty()) {
        ask_userid();
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
    if (state_ != State::asking_userid && state_ != State::asking_password && state_ != State::checking) return;
    if (now_() < deadline_) return;
    services_.say("\r\nLogon timed out.\r\n");
    close();
}

void LogonDialogue::close() {
    state_ = State::closed;
    services_.close();
}

void LogonDialogue::leave() {
    if (attempt_open_) {
        attempt_open_ = false;
        services_.attempt_abandoned(userid_);
    }
    end();
    if (state_ != State::logged_on) state_ = State::closed;
}

void LogonDialogue::end() {
    if (!counted_) return;
    counted_ = false;
    services_.dialogue_ended();
}

}  // namespace app
