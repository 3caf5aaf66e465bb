// How fast anybody may guess passwords, and how many connections may sit at
// the logon dialogue: after the model of OpenSSH's per-source penalties and
// MaxStartups, and of fail2ban.
//
// Every password asked for is one attempt, charged when the user-ID has
// been typed, before the password is read, to the address the connection
// comes from and to the user-ID typed (known or not, so that the answers
// tell nothing about which user-IDs exist). Each address and each user-ID
// has a bucket of attempts: full at `burst`, one attempt coming back every
// `interval`. An attempt that finds either bucket empty is refused, and so
// is a new connection from an address whose bucket is empty; parallel
// connections share their address's bucket, so they add nothing. An
// attempt whose password was right is given back (to the address; the
// user-ID's bucket is filled again), and so is one abandoned before its
// password was read (no password was tried); a wrong password keeps it.
//
// Connections at the logon dialogue (not yet logged on) are capped per
// address and in all.
//
// Addresses are counted as given; IPv6 addresses should be passed through
// source_key() so that a /64 counts as one. All state is in memory, bounded
// by Rules::keys_kept per table (the entries of full buckets go first).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include <asio/ip/address.hpp>

namespace app {

class LogonThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Rules {
        int address_burst = 10;
        std::chrono::seconds address_interval{120};
        int userid_burst = 5;
        std::chrono::seconds userid_interval{300};
        int dialogues_per_address = 10;
        int dialogues_in_all = 64;
        std::size_t keys_kept = 4096;
    };

    enum class Refusal { none, busy_address, busy_host, address_penalized, userid_penalized };
    struct Verdict {
        Refusal refusal = Refusal::none;
        std::chrono::seconds retry_after{0};  // when penalized: until an attempt comes back
        explicit operator bool() const { return refusal == Refusal::none; }
    };
    enum class Outcome { logged_on, wrong_password, abandoned };

    explicit LogonThrottle(Now now);
    LogonThrottle(Now now, Rules rules);

    // A new connection from `address` wants the logon dialogue. Allowed:
    // it counts as one dialogue until dialogue_ended().
    Verdict dialogue_begins(const std::string& address);
    void dialogue_ended(const std::string& address);

    // `userid` has been typed: may its password be asked? Allowed: one
    // attempt is charged until attempt_ended() says how it went.
    Verdict attempt_begins(const std::string& address, std::string_view userid);
    void attempt_ended(const std::string& address, std::string_view userid, Outcome outcome);

    // What the user is told of a refusal, with its line end.
    static std::string message(const Verdict& verdict);
    // The same without its line end (for logs and SSH's disconnect reason).
    static std::string reason(const Verdict& verdict);

    // The key an address is counted under: the address itself, an IPv4
    // address inside IPv6 as IPv4, and an IPv6 address as its /64.
    static std::string source_key(const asio::ip::address& address);
    // The same for an address as text; text that is no address is its own key.
    static std::string source_key(std::string_view address);

    const Rules& rules() const { return rules_; }

private:
    // One bucket per key, kept as the time at which it would be full again
    // (the generic cell rate algorithm); no entry means a full bucket.
    class Buckets {
    public:
        Buckets(int burst, std::chrono::seconds interval, std::size_t keys_kept)
            : burst_(burst), interval_(interval), keys_kept_(keys_kept) {}
        // Zero when an attempt may be taken now, else how long until one may.
        Clock::duration wait(const std::string& key, Clock::time_point now) const;
        void take(const std::string& key, Clock::time_point now);
        void give_back(const std::string& key, Clock::time_point now);
        void fill(const std::string& key) { full_at_.erase(key); }

    private:
        void make_room(Clock::time_point now);
        int burst_;
        Clock::duration interval_;
        std::size_t keys_kept_;
        std::map<std::string, Clock::time_point> full_at_;
    };

    static std::string userid_key(std::string_view userid);
    static Verdict penalized(Refusal why, Clock::duration wait);

    Now now_;
    Rules rules_;
    Buckets addresses_;
    Buckets userids_;
    std::map<std::string, int> dialogues_;  // per address, only while above zero
    int dialogues_in_all_ = 0;
};

}  // namespace app
