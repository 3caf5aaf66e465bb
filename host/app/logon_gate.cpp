#include "app/logon_gate.h"

#include "app/metrics.h"

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

void LogonGate::logon_result(std::string_view way, std::string_view result) {
    if (metrics_) metrics_->logon(way, result);
}

LogonThrottle::Verdict LogonGate::counted(LogonThrottle::Verdict verdict) {
    if (!metrics_ || verdict) return verdict;
    using R = LogonThrottle::Refusal;
    static constexpr std::pair<R, const char*> kNames[] = {
        {R::busy_address, "busy_address"},         {R::busy_host, "busy_host"},
        {R::address_penalized, "address_penalized"}, {R::userid_penalized, "userid_penalized"},
        {R::source_penalized, "source_penalized"}, {R::banned, "banned"},
        {R::locked, "locked"},                     {R::signups_spent, "signups_spent"},
    };
    for (const auto& [refusal, name] : kNames)
        if (refusal == verdict.refusal) metrics_->throttle_refusal(name);
    return verdict;
}

bool LogonGate::online(std::string_view userid) { return host_.channel_of(userid) >= 0; }

}  // namespace app
