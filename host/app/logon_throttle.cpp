#include "app/logon_throttle.h"

#include <algorithm>

#include "text/ascii.h"

namespace app {

using Clock = LogonThrottle::Clock;

// ---- buckets ------------------------------------------------------------------

Clock::duration LogonThrottle::Buckets::wait(const std::string& key, Clock::time_point now) const {
    auto it = full_at_.find(key);
    if (it == full_at_.end()) return Clock::duration::zero();
    // Empty while filling it takes longer than burst - 1 attempts come back in.
    const auto earliest = it->second - (burst_ - 1) * interval_;
    return earliest > now ? earliest - now : Clock::duration::zero();
}

void LogonThrottle::Buckets::take(const std::string& key, Clock::time_point now) {
    auto it = full_at_.find(key);
    if (it == full_at_.end()) {
        make_room(now);
        it = full_at_.emplace(key, now).first;
    }
    it->second = std::max(it->second, now) + interval_;
}

void LogonThrottle::Buckets::give_back(const std::string& key, Clock::time_point now) {
    auto it = full_at_.find(key);
    if (it == full_at_.end()) return;
    it->second -= interval_;
    if (it->second <= now) full_at_.erase(it);
}

void LogonThrottle::Buckets::make_room(Clock::time_point now) {
    if (full_at_.size() < keys_kept_) return;
    std::erase_if(full_at_, [now](const auto& entry) { return entry.second <= now; });
    if (full_at_.size() < keys_kept_) return;
    // Every bucket remembered is short of attempts: the fullest one goes.
    auto fullest = std::min_element(full_at_.begin(), full_at_.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
    full_at_.erase(fullest);
}

// ---- the throttle -------------------------------------------------------------

LogonThrottle::LogonThrottle(Now now) : LogonThrottle(std::move(now), Rules{}) {}

LogonThrottle::LogonThrottle(Now now, Rules rules)
    : now_(std::move(now)),
      rules_(rules),
      addresses_(rules.address_burst, rules.address_interval, rules.keys_kept),
      userids_(rules.userid_burst, rules.userid_interval, rules.keys_kept) {}

LogonThrottle::Verdict LogonThrottle::penalized(Refusal why, Clock::duration wait) {
    Verdict v;
    v.refusal = why;
    v.retry_after = std::chrono::ceil<std::chrono::seconds>(wait);
    return v;
}

LogonThrottle::Verdict LogonThrottle::dialogue_begins(const std::string& address) {
    const auto now = now_();
    if (auto wait = addresses_.wait(address, now); wait > Clock::duration::zero())
        return penalized(Refusal::address_penalized, wait);
    auto it = dialogues_.find(address);
    if (it != dialogues_.end() && it->second >= rules_.dialogues_per_address)
        return Verdict{Refusal::busy_address, {}};
    if (dialogues_in_all_ >= rules_.dialogues_in_all) return Verdict{Refusal::busy_host, {}};
    ++dialogues_[address];
    ++dialogues_in_all_;
    return Verdict{};
}

void LogonThrottle::dialogue_ended(const std::string& address) {
    auto it = dialogues_.find(address);
    if (it == dialogues_.end()) return;
    if (--it->second <= 0) dialogues_.erase(it);
    --dialogues_in_all_;
}

std::string LogonThrottle::userid_key(std::string_view userid) {
    // User-IDs are the same ignoring ASCII letter case.
    return text::lowercase(userid);
}

LogonThrottle::Verdict LogonThrottle::attempt_begins(const std::string& address,
                                                     std::string_view userid) {
    const auto now = now_();
    const std::string key = userid_key(userid);
    if (auto wait = addresses_.wait(address, now); wait > Clock::duration::zero())
        return penalized(Refusal::address_penalized, wait);
    if (auto wait = userids_.wait(key, now); wait > Clock::duration::zero())
        return penalized(Refusal::userid_penalized, wait);
    addresses_.take(address, now);
    userids_.take(key, now);
    return Verdict{};
}

void LogonThrottle::attempt_ended(const std::string& address, std::string_view userid,
                                  Outcome outcome) {
    const auto now = now_();
    const std::string key = userid_key(userid);
    switch (outcome) {
    case Outcome::wrong_password: return;
    case Outcome::abandoned:
        addresses_.give_back(address, now);
        userids_.give_back(key, now);
        return;
    case Outcome::logged_on:
        addresses_.give_back(address, now);
        userids_.fill(key);
        return;
    }
}

std::string LogonThrottle::message(const Verdict& verdict) {
    const auto seconds = verdict.retry_after.count();
    const std::string later =
        seconds <= 90 ? std::to_string(std::max<long long>(seconds, 1)) + " seconds"
                      : std::to_string((seconds + 59) / 60) + " minutes";
    switch (verdict.refusal) {
    case Refusal::none: return {};
    case Refusal::busy_address:
        return "Too many connections from your address are logging on. Please try again later.\r\n";
    case Refusal::busy_host:
        return "Too many connections are logging on. Please try again later.\r\n";
    case Refusal::address_penalized:
        return "Too many failed logons from your address. Please try again in " + later + ".\r\n";
    case Refusal::userid_penalized:
        return "Too many failed logons for this user-ID. Please try again in " + later + ".\r\n";
    }
    return {};
}

std::string LogonThrottle::reason(const Verdict& verdict) {
    std::string said = message(verdict);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
    return said;
}

std::string LogonThrottle::source_key(std::string_view address) {
    std::error_code ec;
    const auto ip = asio::ip::make_address(std::string(address), ec);
    return ec ? std::string(address) : source_key(ip);
}

std::string LogonThrottle::source_key(const asio::ip::address& address) {
    if (address.is_v4()) return address.to_string();
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace app
