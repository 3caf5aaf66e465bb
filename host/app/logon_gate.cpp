#include "app/logon_gate.h"

#include "bbs/accounts.h"
#include "bbs/host.h"

namespace app {

LogonGate::LogonGate(asio::io_context& io, bbs::Host& host, Hashing hashing)
    : host_(host), throttle_([] { return LogonThrottle::Clock::now(); }, {}, {&host.addon_tables(), {}, {}}) {
    if (hashing == Hashing::worker_thread) {
        hashing_pool_ = std::make_unique<asio::thread_pool>(1);
        passwords_ = std::make_unique<PasswordCheck>(io, hashing_pool_->get_executor());
    } else {
        passwords_ = std::make_unique<PasswordCheck>(io, io.get_executor());
    }
}

void LogonGate::attempt_abandoned(const std::string& address, std::string_view userid) {
    throttle_.attempt_ended(address, userid, LogonThrottle::Outcome::abandoned);
}

void LogonGate::check_password(const std::string& address, const std::string& userid, std::string password,
                               std::function<void(bool ok)> answer) {
    passwords_->verify(userid.empty() ? std::nullopt : host_.accounts().password_hash(userid), std::move(password),
                       [this, address, userid, answer = std::move(answer)](bool ok) {
                           throttle_.attempt_ended(address, userid,
                                                   ok ? LogonThrottle::Outcome::logged_on
                                                      : LogonThrottle::Outcome::wrong_password);
                           answer(ok);
                       });
}

std::string LogonGate::account_userid(std::string_view userid) {
    auto account = host_.accounts().find(userid);
    return account ? account->userid : std::string();
}

bool LogonGate::online(std::string_view userid) { return host_.channel_of(userid) >= 0; }

}  // namespace app
