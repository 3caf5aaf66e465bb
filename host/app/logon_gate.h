// The logon checks every way in shares: the logon throttle
// (app/logon_throttle.h) with the sysop's bans (app/bans.h, in bbs.db) and
// account locks, the password checks away from the loop
// (app/password_check.h), the account lookups of a logon, and sign-up
// (app/signup.h: the rules, and the sysop's signup.ini in the data folder).
//
// A connection counts as one at the logon from connection_begins() to
// dialogue_ended(); one that never logged on also tells connection_ended()
// how it ended, so that a source whose connections keep ending so is
// turned away for a while. An attempt is charged when a user-ID is given
// (attempt_begins) and ends with its password's check, or when it is
// abandoned before a password was typed; the throttle learns how it went.
// A right password or a proved key is still refused for a locked account
// (account_refusal, key_logon).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "app/bans.h"
#include "app/logon_throttle.h"
#include "app/password_check.h"
#include "app/signup.h"

namespace bbs {
class Host;
}

namespace app {

class Metrics;

class LogonGate {
public:
    // Where argon2id work runs: a thread of the gate's own, or (in-process
    // tests that run the loop by hand) the loop itself.
    enum class Hashing { worker_thread, on_loop };

    LogonGate(asio::io_context& io, bbs::Host& host, Hashing hashing);

    LogonGate(const LogonGate&) = delete;
    LogonGate& operator=(const LogonGate&) = delete;

    // Whether a connection from `ip` (an address as text) may come to the
    // logon: not when banned, penalized or when the places are taken
    // (MaxStartups); text that is no address only counts its place.
    LogonThrottle::Verdict connection_begins(std::string_view ip);
    void dialogue_ended(const std::string& address) { throttle_.dialogue_ended(address); }
    void connection_ended(const std::string& address, LogonThrottle::Ending why) {
        throttle_.connection_ended(address, why);
    }
    // The ban's reason when `address` is banned now.
    std::optional<std::string> banned(const asio::ip::address& address);
    // A verified public key of the account, from `ip`: refused only for a
    // ban or a lock.
    LogonThrottle::Verdict key_logon(std::string_view ip, std::string_view userid);
    // A refusal as the log says it: the reason and its detail (a lock's).
    static std::string logged(const LogonThrottle::Verdict& verdict) {
        return LogonThrottle::reason(verdict) + (verdict.detail.empty() ? "" : " (" + verdict.detail + ")");
    }
    // Refused (locked) when the account is locked, after its password was right.
    LogonThrottle::Verdict account_refusal(std::string_view userid);
    // The refusals of every locked account, by user-ID.
    std::vector<std::pair<std::string, LogonThrottle::Verdict>> locked_accounts();
    // Whether another program committed to bbs.db since the last call (an
    // admin command: a lock, a ban).
    bool database_changed();
    // Writes what the throttle could not write yet (the database was busy).
    void flush() { throttle_.flush(); }
    // Whether a refusal at connect of `source` (a source key) by `way` goes
    // to the log: the first, then one per kRefusalLogInterval, so that a
    // flood of refused connections cannot fill the log. When it goes: what
    // to add to its line, which says how many were not logged since the last.
    static constexpr std::chrono::seconds kRefusalLogInterval{60};
    std::optional<std::string> refusal_logged(std::string_view way, const std::string& source);
    LogonThrottle::Verdict attempt_begins(const std::string& address, std::string_view userid) {
        return counted(throttle_.attempt_begins(address, userid));
    }
    // The attempt ends before its password was read (the connection is gone).
    void attempt_abandoned(const std::string& address, std::string_view userid);
    // Checks the password against the account's hash (no account, or an
    // empty user-ID: the same work, and wrong) away from the loop. The
    // attempt ends with the result, and `answer` hears it on the loop.
    void check_password(const std::string& address, const std::string& userid, std::string password,
                        std::function<void(bool ok)> answer);
    // The account's own spelling of the user-ID, or empty when there is none.
    std::string account_userid(std::string_view userid);
    bool online(std::string_view userid);
    bool awaiting_validation(std::string_view userid);

    // ---- sign-up ----------------------------------------------------------
    // signup.ini as it is now (read at every sign-up; what cannot be read
    // goes to the host log).
    SignupSettings signup_settings();
    LogonThrottle::Verdict signup_begins(const std::string& address) { return counted(throttle_.signup_begins(address)); }
    void signup_abandoned(const std::string& address) { throttle_.signup_ended(address, false); }
    // Empty when the user-ID may be signed up; else what is wrong, for the user.
    std::string check_new_userid(std::string_view userid);
    // Makes the account with signup.ini's class, credits and days (awaiting
    // validation when its mode says so), the password hashed away from the
    // loop, and ends the address's sign-up with the result. `answer` hears
    // on the loop what went wrong, for the user (empty: made).
    void make_account(const std::string& address, const std::string& userid, std::string password,
                      std::function<void(std::string error)> answer);
    // A logged-on user's new password, from `address`: the old one is
    // checked as a logon's is (one attempt of the throttle, so that an
    // unattended session guesses no faster than a stranger), then the new
    // one hashed, both away from the loop, and stored. `answer` hears on
    // the loop what went wrong, for the user (empty: changed).
    void change_password(const std::string& address, const std::string& userid, std::string old_password,
                         std::string new_password, std::function<void(std::string error)> answer);

    // Refusals and logon results go to `metrics` from now on (null: nowhere).
    void count_in(Metrics* metrics) { metrics_ = metrics; }
    // How a logon by `way` went: "wrong_password", "refused" (the ways count these).
    void logon_result(std::string_view way, std::string_view result);

private:
    LogonThrottle::Verdict counted(LogonThrottle::Verdict verdict);

    Metrics* metrics_ = nullptr;
    bbs::Host& host_;
    Bans bans_;
    LogonThrottle throttle_;
    bbs::sql::DataVersion data_version_;
    struct Quieted {
        std::chrono::steady_clock::time_point logged;
        long unlogged = 0;
    };
    std::map<std::string, Quieted> quieted_;  // per way and source key, at most LogonThrottle::Rules::keys_kept
    // The hashing thread (none when hashing runs on the loop). Its jobs
    // touch nothing of the gate's: they hand their answer to the loop.
    // Destroying the pool joins the thread.
    std::unique_ptr<asio::thread_pool> hashing_pool_;
    std::unique_ptr<PasswordCheck> passwords_;
};

}  // namespace app
