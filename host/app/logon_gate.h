// The logon checks every way in shares: the logon throttle
// (app/logon_throttle.h), the password checks away from the loop
// (app/password_check.h) and the account lookups of a logon.
//
// A connection counts as one at the logon from dialogue_begins() to
// dialogue_ended(). An attempt is charged when a user-ID is given
// (attempt_begins) and ends with its password's check, or when it is
// abandoned before a password was typed; the throttle learns how it went.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/logon_throttle.h"
#include "app/password_check.h"

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

    LogonThrottle::Verdict dialogue_begins(const std::string& address) { return counted(throttle_.dialogue_begins(address)); }
    void dialogue_ended(const std::string& address) { throttle_.dialogue_ended(address); }
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

    // Refusals and logon results go to `metrics` from now on (null: nowhere).
    void count_in(Metrics* metrics) { metrics_ = metrics; }
    // How a logon by `way` went: "wrong_password", "refused" (the ways count these).
    void logon_result(std::string_view way, std::string_view result);

private:
    LogonThrottle::Verdict counted(LogonThrottle::Verdict verdict);

    Metrics* metrics_ = nullptr;
    bbs::Host& host_;
    LogonThrottle throttle_;
    // The hashing thread (none when hashing runs on the loop). Its jobs
    // touch nothing of the gate's: they hand their answer to the loop.
    // Destroying the pool joins the thread.
    std::unique_ptr<asio::thread_pool> hashing_pool_;
    std::unique_ptr<PasswordCheck> passwords_;
};

}  // namespace app
