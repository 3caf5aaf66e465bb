#include "app/logon_throttle.h"

#include <algorithm>
#include <random>

#include "app/bans.h"
#include "app/throttle_store.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace app {

using Clock = LogonThrottle::Clock;

namespace {

int64_t millis(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
Clock::time_point from_millis(int64_t ms) { return Clock::time_point(std::chrono::milliseconds(ms)); }
int64_t seconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

LogonThrottle::Draw random_draw() {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

}  // namespace

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
    changed(key);
}

void LogonThrottle::Buckets::give_back(const std::string& key, Clock::time_point now) {
    auto it = full_at_.find(key);
    if (it == full_at_.end()) return;
    it->second -= interval_;
    if (it->second <= now) full_at_.erase(it);
    changed(key);
}

void LogonThrottle::Buckets::fill(const std::string& key) {
    if (full_at_.erase(key)) changed(key);
}

void LogonThrottle::Buckets::load(const std::string& key, Clock::time_point full_at, Clock::time_point now) {
    if (full_at > now && full_at_.size() < keys_kept_)
        full_at_[key] = full_at;
    else
        changed(key);  // full by now (or no room): its row goes
}

void LogonThrottle::Buckets::changed(const std::string& key) {
    if (!store_) return;
    const auto it = full_at_.find(key);
    if (it == full_at_.end())
        store_->erase(kind_, key);
    else
        store_->put(kind_, key, millis(it->second));
}

void LogonThrottle::Buckets::make_room(Clock::time_point now) {
    if (full_at_.size() < keys_kept_) return;
    for (auto it = full_at_.begin(); it != full_at_.end();) {
        const auto at = it++;
        if (at->second > now) continue;
        const std::string key = at->first;
        full_at_.erase(at);
        changed(key);
    }
    if (full_at_.size() < keys_kept_) return;
    // Every bucket remembered is short of attempts: the fullest one goes.
    auto fullest = std::min_element(full_at_.begin(), full_at_.end(),
                                    [](const auto& a, const auto& b) { return a.second < b.second; });
    const std::string key = fullest->first;
    full_at_.erase(fullest);
    changed(key);
}

// ---- the throttle -------------------------------------------------------------

LogonThrottle::LogonThrottle(Now now) : LogonThrottle(std::move(now), Rules{}) {}

LogonThrottle::LogonThrottle(Now now, Rules rules) : LogonThrottle(std::move(now), rules, Context{}) {}

LogonThrottle::LogonThrottle(Now now, Rules rules, Context context)
    : now_(std::move(now)),
      rules_(rules),
      context_(std::move(context)),
      addresses_("address", rules.address_burst, rules.address_interval, rules.keys_kept),
      userids_("userid", rules.userid_burst, rules.userid_interval, rules.keys_kept),
      pairs_("pair", rules.pair_burst, rules.pair_interval, rules.keys_kept),
      signups_("signup", rules.signup_burst, rules.signup_interval, rules.keys_kept) {
    if (!context_.draw) context_.draw = random_draw();
    if (!context_.db) return;
    store_ = std::make_unique<ThrottleStore>(*context_.db);
    for (Buckets* b : {&addresses_, &userids_, &pairs_, &signups_}) b->keep_in(store_.get());
    load(now_());
}

LogonThrottle::~LogonThrottle() {
    if (store_) flush();
}

void LogonThrottle::load(Clock::time_point now) {
    for (const auto& row : store_->rows()) {
        if (row.kind == "penalty") {
            const Penalty p{static_cast<int>(row.count), from_millis(row.at)};
            if (now - p.last < rules_.penalty_forgiven && penalties_.size() < rules_.keys_kept)
                penalties_[row.key] = p;
            else
                store_->erase(row.kind, row.key);
            continue;
        }
        Buckets* buckets = nullptr;
        for (Buckets* b : {&addresses_, &userids_, &pairs_, &signups_})
            if (row.kind == b->kind()) buckets = b;
        if (buckets)
            buckets->load(row.key, from_millis(row.at), now);
        else
            store_->erase(row.kind, row.key);
    }
    for (const auto& k : store_->known()) {
        const Clock::time_point last{std::chrono::seconds(k.last_logon)};
        if (now - last < rules_.known_for)
            known_[k.userid][k.source] = last;
        else
            store_->erase_known(k.userid, k.source);
    }
}

bool LogonThrottle::flush() { return !store_ || store_->write(now_()); }

LogonThrottle::Verdict LogonThrottle::penalized(Refusal why, Clock::duration wait) {
    Verdict v;
    v.refusal = why;
    v.retry_after = std::chrono::ceil<std::chrono::seconds>(wait);
    return v;
}

// ---- logon places -------------------------------------------------------------

LogonThrottle::Verdict LogonThrottle::banned(const asio::ip::address& address) const {
    if (!context_.gate.banned) return Verdict{};
    auto why = context_.gate.banned(unmapped(address));
    return why ? Verdict{Refusal::banned, {}, text::log_excerpt(*why)} : Verdict{};
}

LogonThrottle::Verdict LogonThrottle::connection_begins(const asio::ip::address& address) {
    const auto now = now_();
    const std::string source = source_key(address);
    if (auto verdict = banned(address); !verdict) return verdict;
    // Spent attempts are told before a penalty: the more telling reason.
    if (auto wait = addresses_.wait(source, now); wait > Clock::duration::zero()) {
        offend(source, now);
        flush();
        return penalized(Refusal::address_penalized, wait);
    }
    if (auto wait = penalty_wait(source, now); wait > Clock::duration::zero())
        return penalized(Refusal::source_penalized, wait);
    auto verdict = take_place(source, true);
    if (verdict.refusal == Refusal::busy_address) {
        offend(source, now);
        flush();
    }
    return verdict;
}

LogonThrottle::Verdict LogonThrottle::dialogue_begins(const std::string& address) { return take_place(address, false); }

LogonThrottle::Verdict LogonThrottle::take_place(const std::string& address, bool draw) {
    if (auto wait = addresses_.wait(address, now_()); wait > Clock::duration::zero())
        return penalized(Refusal::address_penalized, wait);
    auto it = dialogues_.find(address);
    if (it != dialogues_.end() && it->second >= rules_.dialogues_per_address) return Verdict{Refusal::busy_address, {}, {}};
    if (dialogues_in_all_ >= rules_.dialogues_in_all) return Verdict{Refusal::busy_host, {}, {}};
    if (draw && dialogues_in_all_ >= rules_.startups_begin) {
        // OpenSSH's drop_connection(): the chance rises linearly from
        // `rate` percent at `start` places taken to 100 at `full`.
        const double rate = rules_.startups_rate;
        const double chance = rate + (100.0 - rate) * (dialogues_in_all_ - rules_.startups_begin) /
                                         std::max(1, rules_.dialogues_in_all - rules_.startups_begin);
        if (context_.draw() * 100.0 < chance) return Verdict{Refusal::busy_host, {}, {}};
    }
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

void LogonThrottle::connection_ended(const std::string& address, Ending why) {
    if (why == Ending::left) return;
    offend(address, now_());
    flush();
}

Clock::duration LogonThrottle::penalty_wait(const std::string& source, Clock::time_point now) const {
    const auto it = penalties_.find(source);
    if (it == penalties_.end() || now - it->second.last >= rules_.penalty_forgiven) return Clock::duration::zero();
    // 30 s doubled for each offence after the first, at most the longest.
    Clock::duration length = rules_.penalty_first;
    for (int n = 1; n < it->second.offences && length < rules_.penalty_longest; ++n) length *= 2;
    const auto until = it->second.last + std::min<Clock::duration>(length, rules_.penalty_longest);
    return until > now ? until - now : Clock::duration::zero();
}

void LogonThrottle::offend(const std::string& source, Clock::time_point now) {
    auto it = penalties_.find(source);
    if (it == penalties_.end()) {
        if (penalties_.size() >= rules_.keys_kept) {
            // The source whose last offence is the oldest goes.
            auto oldest = std::min_element(penalties_.begin(), penalties_.end(),
                                           [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
            if (store_) store_->erase("penalty", oldest->first);
            penalties_.erase(oldest);
        }
        it = penalties_.emplace(source, Penalty{}).first;
    }
    Penalty& p = it->second;
    if (now - p.last >= rules_.penalty_forgiven) p.offences = 0;
    p.offences = std::min(p.offences + 1, 64);
    p.last = now;
    if (store_) store_->put("penalty", source, millis(now), p.offences);
}

// ---- guessing -----------------------------------------------------------------

std::string LogonThrottle::userid_key(std::string_view userid) {
    // User-IDs are the same ignoring ASCII letter case.
    return text::lowercase(userid);
}

// An address has no blank; a user-ID may.
std::string LogonThrottle::pair_key(const std::string& address, const std::string& userid_key) {
    return address + " " + userid_key;
}

bool LogonThrottle::known(const std::string& address, std::string_view userid) const {
    const auto account = known_.find(userid_key(userid));
    if (account == known_.end()) return false;
    const auto at = account->second.find(address);
    return at != account->second.end() && now_() - at->second < rules_.known_for;
}

void LogonThrottle::remember(const std::string& address, const std::string& key, Clock::time_point now) {
    auto& sources = known_[key];
    sources[address] = now;
    if (store_) store_->put_known(key, address, seconds(now));
    // Expired ones go, then the oldest beyond the bound.
    while (!sources.empty()) {
        auto oldest = std::min_element(sources.begin(), sources.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
        if (now - oldest->second < rules_.known_for && sources.size() <= rules_.known_per_account) break;
        if (store_) store_->erase_known(key, oldest->first);
        sources.erase(oldest);
    }
}

LogonThrottle::Verdict LogonThrottle::attempt_begins(const std::string& address, std::string_view userid) {
    const auto now = now_();
    const std::string key = userid_key(userid);
    if (auto wait = addresses_.wait(address, now); wait > Clock::duration::zero())
        return penalized(Refusal::address_penalized, wait);
    // A known address is charged its pair, a stranger the user-ID.
    const bool at_home = known(address, userid);
    Buckets& account = at_home ? pairs_ : userids_;
    const std::string account_key = at_home ? pair_key(address, key) : key;
    if (auto wait = account.wait(account_key, now); wait > Clock::duration::zero())
        return penalized(Refusal::userid_penalized, wait);
    addresses_.take(address, now);
    account.take(account_key, now);
    if (at_home) pair_attempts_.insert(account_key);
    return Verdict{};
}

LogonThrottle::Verdict LogonThrottle::attempt_ended(const std::string& address, std::string_view userid,
                                                    Outcome outcome) {
    const auto now = now_();
    const std::string key = userid_key(userid);
    const std::string pair = pair_key(address, key);
    const auto charged = pair_attempts_.find(pair);
    const bool at_home = charged != pair_attempts_.end();
    if (at_home) pair_attempts_.erase(charged);
    Verdict verdict;
    switch (outcome) {
    case Outcome::wrong_password: break;
    case Outcome::abandoned:
        addresses_.give_back(address, now);
        at_home ? pairs_.give_back(pair, now) : userids_.give_back(key, now);
        return verdict;  // written with the next change that must be
    case Outcome::logged_on:
        addresses_.give_back(address, now);
        userids_.fill(key);
        pairs_.fill(pair);
        if (auto why = locked(userid)) verdict = Verdict{Refusal::locked, {}, text::log_excerpt(*why)};
        else remember(address, key, now);
        break;
    }
    flush();
    return verdict;
}

std::optional<std::string> LogonThrottle::locked(std::string_view userid) const {
    return context_.gate.locked ? context_.gate.locked(userid) : std::nullopt;
}

LogonThrottle::Verdict LogonThrottle::key_logon(const asio::ip::address& address, std::string_view userid) {
    if (auto verdict = banned(address); !verdict) return verdict;
    if (auto why = locked(userid)) return Verdict{Refusal::locked, {}, text::log_excerpt(*why)};
    remember(source_key(address), userid_key(userid), now_());
    flush();
    return Verdict{};
}

// ---- sign-ups -----------------------------------------------------------------

LogonThrottle::Verdict LogonThrottle::signup_begins(const std::string& address) {
    const auto now = now_();
    if (auto wait = signups_.wait(address, now); wait > Clock::duration::zero())
        return penalized(Refusal::signups_spent, wait);
    signups_.take(address, now);
    return Verdict{};
}

void LogonThrottle::signup_ended(const std::string& address, bool account_made) {
    if (!account_made) signups_.give_back(address, now_());
    flush();
}

// ---- what users are told ------------------------------------------------------

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
    case Refusal::source_penalized:
        return "Too many connections from your address ended without a logon. Please try again in " + later +
               ".\r\n";
    case Refusal::banned: return "Connections from your address are not accepted.\r\n";
    case Refusal::locked: return "This account is locked. Please ask the sysop.\r\n";
    case Refusal::signups_spent:
        return "Too many new accounts from your address. Please try again in " + later + ".\r\n";
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
    if (v6.is_v4_mapped()) return unmapped(address).to_string();
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace app
