#include "app/logon_gate.h"

#include <sodium.h>

#include <chrono>

#include "app/metrics.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "text/utf8.h"

namespace app {

namespace {

LogonThrottle::Verdict locked_verdict(std::optional<std::string> reason) {
    LogonThrottle::Verdict verdict;
    if (reason) verdict = {LogonThrottle::Refusal::locked, {}, text::log_excerpt(*reason)};
    return verdict;
}

}  // namespace

LogonGate::LogonGate(asio::io_context& io, bbs::Host& host, Hashing hashing)
    : host_(host),
      bans_(host.database().connection()),
      throttle_([] { return LogonThrottle::Clock::now(); }, {},
                {&host.addon_tables(), {},
                 {[this](const asio::ip::address& address) { return banned(address); },
                  [this](std::string_view userid) { return host_.accounts().locked(userid); }}}) {
    data_version_.prepare(host.database().connection(), "bbs.db");
    if (hashing == Hashing::worker_thread) {
        hashing_pool_ = std::make_unique<asio::thread_pool>(1);
        passwords_ = std::make_unique<PasswordCheck>(io, hashing_pool_->get_executor());
    } else {
        passwords_ = std::make_unique<PasswordCheck>(io, io.get_executor());
    }
}

LogonThrottle::Verdict LogonGate::connection_begins(std::string_view ip) {
    std::error_code ec;
    const auto address = asio::ip::make_address(std::string(ip), ec);
    return counted(ec ? throttle_.dialogue_begins(std::string(ip)) : throttle_.connection_begins(address));
}

std::optional<std::string> LogonGate::banned(const asio::ip::address& address) {
    const Ban* ban = bans_.find(address);
    if (!ban) return std::nullopt;
    return ban->reason;
}

LogonThrottle::Verdict LogonGate::key_logon(std::string_view ip, std::string_view userid) {
    std::error_code ec;
    const auto address = asio::ip::make_address(std::string(ip), ec);
    return counted(ec ? account_refusal(userid) : throttle_.key_logon(address, userid));
}

LogonThrottle::Verdict LogonGate::account_refusal(std::string_view userid) {
    return locked_verdict(host_.accounts().locked(userid));
}

std::vector<std::pair<std::string, LogonThrottle::Verdict>> LogonGate::locked_accounts() {
    std::vector<std::pair<std::string, LogonThrottle::Verdict>> out;
    for (auto& [userid, reason] : host_.accounts().all_locked()) out.emplace_back(userid, locked_verdict(reason));
    return out;
}

std::optional<std::string> LogonGate::refusal_logged(std::string_view way, const std::string& source) {
    const auto now = std::chrono::steady_clock::now();
    const std::string key = std::string(way) + " " + source;
    auto it = quieted_.find(key);
    if (it != quieted_.end() && now - it->second.logged < kRefusalLogInterval) {
        ++it->second.unlogged;
        return std::nullopt;
    }
    const long unlogged = it == quieted_.end() ? 0 : it->second.unlogged;
    if (it == quieted_.end() && quieted_.size() >= throttle_.rules().keys_kept) {
        std::erase_if(quieted_, [&](const auto& entry) { return now - entry.second.logged >= kRefusalLogInterval; });
        if (quieted_.size() >= throttle_.rules().keys_kept) quieted_.clear();
    }
    quieted_[key] = {now, 0};
    return unlogged == 0 ? std::string()
                         : " (and " + std::to_string(unlogged) + " more refused since the last such line)";
}

bool LogonGate::database_changed() {
    return data_version_.moved(false).value_or(false);  // busy: next time
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

bool LogonGate::awaiting_validation(std::string_view userid) {
    auto account = host_.accounts().find(userid);
    return account && account->pending_since;
}

// ---- sign-up ------------------------------------------------------------------

SignupSettings LogonGate::signup_settings() {
    std::vector<std::string> problems;
    SignupSettings settings = read_signup_settings(host_.data_dir() / kSignupFile, &problems);
    for (const auto& problem : problems) host_.log(problem);
    return settings;
}

std::string LogonGate::check_new_userid(std::string_view userid) {
    return app::check_new_userid(userid, host_.accounts().find(userid).has_value());
}

void LogonGate::make_account(const std::string& address, const std::string& userid, std::string password,
                             std::function<void(std::string)> answer) {
    passwords_->hash(std::move(password), [this, address, userid, answer = std::move(answer)](std::string hash) {
        const SignupSettings settings = signup_settings();
        bbs::AccountInfo account;
        account.userid = userid;
        account.class_name = settings.class_name;
        account.credits = settings.credits;
        account.days = settings.days;
        if (settings.mode == SignupMode::validate)
            account.pending_since = std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch()).count();
        std::string error;
        const bool made = settings.mode != SignupMode::closed && !hash.empty() &&
                          host_.accounts().add_hashed(account, hash, &error);
        throttle_.signup_ended(address, made);
        if (made) return answer({});
        if (!error.empty()) host_.log("sign-up of \"" + userid + "\" failed: " + error);
        answer(settings.mode == SignupMode::closed ? "Sign-up is closed here. Please ask the sysop for an account."
               : host_.accounts().find(userid)   ? "That user-ID is taken."
                                                 : "The account could not be made. Please try again later.");
    });
}

void LogonGate::change_password(const std::string& address, const std::string& userid, std::string old_password,
                                std::string new_password, std::function<void(std::string)> answer) {
    if (const auto verdict = throttle_.attempt_begins(address, userid); !verdict) {
        sodium_memzero(old_password.data(), old_password.size());
        sodium_memzero(new_password.data(), new_password.size());
        return answer(LogonThrottle::reason(verdict));
    }
    passwords_->verify(host_.accounts().password_hash(userid), std::move(old_password),
                       [this, address, userid, new_password = std::move(new_password),
                        answer = std::move(answer)](bool ok) mutable {
                           throttle_.attempt_ended(address, userid,
                                                   ok ? LogonThrottle::Outcome::logged_on
                                                      : LogonThrottle::Outcome::wrong_password);
                           if (!ok) {
                               sodium_memzero(new_password.data(), new_password.size());
                               return answer("That is not your password.");
                           }
                           passwords_->hash(std::move(new_password),
                                            [this, userid, answer = std::move(answer)](std::string hash) {
                                                std::string error;
                                                if (!hash.empty() &&
                                                    host_.accounts().set_password_hash(userid, hash, &error))
                                                    return answer({});
                                                host_.log("password change of " + userid + " failed: " +
                                                          (hash.empty() ? "out of memory" : error));
                                                answer("Your password could not be changed. Please try again later.");
                                            });
                       });
}

}  // namespace app
