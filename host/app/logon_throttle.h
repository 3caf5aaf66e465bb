// How fast anybody may guess passwords, how many connections may sit at
// the logon, and which sources are turned away at connect: after the model
// of OpenSSH's MaxStartups and PerSourcePenalties, and of fail2ban. The
// figures are those of Rules.
//
// Guessing. Every password asked for is one attempt, charged when the
// user-ID has been typed, before the password is read, to the address the
// connection comes from (its source: see source_key) and
//  - from an address that logged on to that account before (a known
//    address, kept per account for 90 days after its last good logon), to
//    the pair of that user-ID and address;
//  - from any other address, to the user-ID typed (known or not, so that
//    the answers tell nothing about which user-IDs exist).
// Each has a bucket of attempts, full at its burst, one coming back every
// interval:
//     an address                  10, one back every 2 minutes
//     a user-ID (all strangers)    5, one back every 5 minutes
//     a pair (a known address)     5, one back every 5 minutes
// An attempt that finds a bucket it needs empty is refused. Strangers
// guessing at an account thus share its user-ID's bucket, whatever number
// of addresses they use, and cannot spend the owner's attempts at a place
// he logged on from, while a known address cannot guess without bound
// either. A right password gives its attempt back to the address and
// fills the user-ID's and the pair's buckets again; an attempt abandoned
// before its password was read is given back; a wrong one is kept. A logon
// by public key (key_logon) is charged nothing and refused only for a ban
// or a lock.
//
// Logon places (MaxStartups 10:30:64). At most 10 connections of one
// address and 64 in all may be at the logon (connected, not yet logged
// on). Beyond 10 in all, connection_begins refuses a new connection at
// random, with a chance rising linearly from 30% at 10 to 100% at 64, so
// that a flood fills the places ever more slowly and never holds them all.
//
// Penalties (PerSourcePenalties). A connection of a source that ends
// without a logon because it sent nothing, ran out of logon time or was
// refused (connection_ended), or that is refused at connect because its
// source's attempts or places are spent, is an offence of the source. The
// nth offence since the source was last forgiven turns it away at connect
// for 30 seconds doubled n-1 times, at most 10 minutes; a source without
// an offence for an hour is forgiven.
//
// Sign-ups: 3 new accounts per address at once, one more every 20 minutes.
//
// Bans and locks: the Gate says which addresses the sysop banned and which
// accounts he locked.
//
// State. Kept in memory, which is authoritative, bounded by
// Rules::keys_kept entries per kind (full buckets and the oldest go first)
// and Rules::known_per_account known addresses per account. Given bbs.db,
// the throttle reads it from there when made and writes through to it
// (app/throttle_store.h) when an attempt ends with a password tried, at an
// offence, a sign-up and a good logon; a write that finds the database
// locked by another process keeps what it had to write and is tried again
// at a later event (or flush()), no sooner than a second after (two after
// the next failure, and so on up to a minute).
//
// Times are wall-clock times (they outlive a restart): the clock is
// system_clock, or what the owner gives.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <asio/ip/address.hpp>

namespace bbs::sql {
class Connection;
}

namespace app {

class ThrottleStore;

class LogonThrottle {
public:
    using Clock = std::chrono::system_clock;
    using Now = std::function<Clock::time_point()>;
    // A number drawn uniformly from [0, 1).
    using Draw = std::function<double()>;

    struct Rules {
        int address_burst = 10;
        std::chrono::seconds address_interval{120};
        int userid_burst = 5;
        std::chrono::seconds userid_interval{300};
        int pair_burst = 5;
        std::chrono::seconds pair_interval{300};
        std::chrono::seconds known_for{90 * 24 * 3600};
        std::size_t known_per_account = 16;
        int dialogues_per_address = 10;
        int dialogues_in_all = 64;   // MaxStartups' full
        int startups_begin = 10;     // MaxStartups' start
        int startups_rate = 30;      // MaxStartups' rate, in percent
        std::chrono::seconds penalty_first{30};
        std::chrono::seconds penalty_longest{600};
        std::chrono::seconds penalty_forgiven{3600};
        int signup_burst = 3;
        std::chrono::seconds signup_interval{1200};
        std::size_t keys_kept = 4096;
    };

    enum class Refusal {
        none,
        busy_address,        // the address holds all its logon places
        busy_host,           // the logon places are full, or the draw said no
        address_penalized,   // the address's attempts are spent
        userid_penalized,    // the user-ID's (or the pair's) attempts are spent
        source_penalized,    // the source's connections keep ending without a logon
        banned,              // the sysop banned the address
        locked,              // the sysop locked the account
        signups_spent,       // the address made its sign-ups
    };
    struct Verdict {
        Refusal refusal = Refusal::none;
        std::chrono::seconds retry_after{0};  // when penalized: until it may try again
        std::string detail{};                 // a ban's or a lock's reason, for the log only
        explicit operator bool() const { return refusal == Refusal::none; }
    };
    enum class Outcome { logged_on, wrong_password, abandoned };
    // How a connection that never logged on ended.
    enum class Ending {
        left,          // the client hung up: no offence
        silent,        // cut off for sending nothing
        out_of_time,   // the logon time ran out
        refused,       // refused at an attempt, or closed after wrong passwords
    };

    // The sysop's decisions the throttle asks about; either may be empty.
    struct Gate {
        // The reason when the address is banned (an IPv4 one is asked as such, never inside IPv6).
        std::function<std::optional<std::string>(const asio::ip::address&)> banned;
        // The reason when the account is locked.
        std::function<std::optional<std::string>(std::string_view userid)> locked;
    };
    // What a throttle may be given besides its clock and rules.
    struct Context {
        bbs::sql::Connection* db = nullptr;   // bbs.db: its state outlives a restart; none: memory only
        Draw draw;                            // MaxStartups' draw; a random engine when empty
        Gate gate;
    };

    explicit LogonThrottle(Now now);
    LogonThrottle(Now now, Rules rules);
    // Reads what `context.db` holds of the throttle (its tables are made
    // when missing).
    LogonThrottle(Now now, Rules rules, Context context);
    ~LogonThrottle();   // writes what it still may
    LogonThrottle(const LogonThrottle&) = delete;
    LogonThrottle& operator=(const LogonThrottle&) = delete;

    // ---- logon places ------------------------------------------------------
    // A new connection from `address`, any way in, wants a logon place.
    // Refused, in this order, when the address is banned, its attempts are
    // spent, its source is penalized, it holds all its places, or the
    // places are full or MaxStartups' draw says no. Allowed: it holds a
    // place until dialogue_ended().
    Verdict connection_begins(const asio::ip::address& address);
    // The same for a source key without the ban, the penalty and the draw:
    // its attempts and the places only.
    Verdict dialogue_begins(const std::string& address);
    void dialogue_ended(const std::string& address);
    // A connection of `address` (a source key) that had a place ended
    // without a logon, and why: unless the client left, an offence.
    void connection_ended(const std::string& address, Ending why);

    // ---- guessing ----------------------------------------------------------
    // `userid` has been typed at `address` (a source key): may its password
    // be asked? Allowed: one attempt is charged until attempt_ended() says
    // how it went.
    Verdict attempt_begins(const std::string& address, std::string_view userid);
    // A right password makes the address known for the account, unless the
    // account is locked: then the answer is the refusal (locked).
    Verdict attempt_ended(const std::string& address, std::string_view userid, Outcome outcome);
    // A logon by a public key the account holds, from `address`: refused
    // only when the address is banned or the account locked (never for the
    // account's failed passwords); else the address is known for the
    // account. Charges nothing.
    // REQUIRES: the key has been verified as the account's (so that the
    // answer tells a stranger nothing).
    Verdict key_logon(const asio::ip::address& address, std::string_view userid);
    // Whether the account logged on from `address` (a source key) within
    // Rules::known_for.
    bool known(const std::string& address, std::string_view userid) const;

    // ---- sign-ups ----------------------------------------------------------
    // A new account is asked for at `address` (a source key): allowed, one
    // of the address's sign-ups is charged until signup_ended() says
    // whether an account was made (none made: given back).
    Verdict signup_begins(const std::string& address);
    void signup_ended(const std::string& address, bool account_made);

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
    // Writes what waits to be written (tried after every event that
    // changed something lasting); true when nothing waits.
    bool flush();

private:
    // One bucket per key, kept as the time at which it would be full again
    // (the generic cell rate algorithm); no entry means a full bucket.
    // Every change goes to the store, when there is one.
    class Buckets {
    public:
        Buckets(const char* kind, int burst, std::chrono::seconds interval, std::size_t keys_kept)
            : kind_(kind), burst_(burst), interval_(interval), keys_kept_(keys_kept) {}
        void keep_in(ThrottleStore* store) { store_ = store; }
        const char* kind() const { return kind_; }
        // Zero when an attempt may be taken now, else how long until one may.
        Clock::duration wait(const std::string& key, Clock::time_point now) const;
        void take(const std::string& key, Clock::time_point now);
        void give_back(const std::string& key, Clock::time_point now);
        void fill(const std::string& key);
        // A bucket as the store held it (none when it is full by now).
        void load(const std::string& key, Clock::time_point full_at, Clock::time_point now);

    private:
        void make_room(Clock::time_point now);
        void changed(const std::string& key);
        const char* kind_;
        int burst_;
        Clock::duration interval_;
        std::size_t keys_kept_;
        ThrottleStore* store_ = nullptr;
        std::map<std::string, Clock::time_point> full_at_;
    };
    struct Penalty {
        int offences = 0;
        Clock::time_point last{};   // the last offence
    };

    static std::string userid_key(std::string_view userid);
    static std::string pair_key(const std::string& address, const std::string& userid_key);
    static Verdict penalized(Refusal why, Clock::duration wait);
    Verdict take_place(const std::string& address, bool draw);
    Verdict banned(const asio::ip::address& address) const;
    std::optional<std::string> locked(std::string_view userid) const;
    Clock::duration penalty_wait(const std::string& source, Clock::time_point now) const;
    void offend(const std::string& source, Clock::time_point now);
    void remember(const std::string& address, const std::string& userid_key, Clock::time_point now);
    void load(Clock::time_point now);

    Now now_;
    Rules rules_;
    Context context_;
    std::unique_ptr<ThrottleStore> store_;
    Buckets addresses_, userids_, pairs_, signups_;
    std::map<std::string, Penalty> penalties_;
    // Per user-ID key: the sources it logged on from, and when last.
    std::map<std::string, std::map<std::string, Clock::time_point>> known_;
    // The pair keys of attempts charged to a pair's bucket, until they end.
    std::multiset<std::string> pair_attempts_;
    std::map<std::string, int> dialogues_;  // per address, only while above zero
    int dialogues_in_all_ = 0;
};

}  // namespace app
