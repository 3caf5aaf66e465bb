// Host accounts: user-ID, password (argon2id hash only), class, credits,
// membership days and keys; a lock a sysop put on the account, and whether
// it awaits a sysop's validation (a sign-up). Stored in the host's database
// file.
//
// A locked account, or one that awaits validation, may not log on: the
// logon paths ask locked() and find()->pending_since once the password (or
// key) proved who it is, so that the answer tells nothing to a stranger.
//
// Passwords are kept only as argon2id hashes (libsodium's crypto_pwhash_str,
// ARGON2ID13, interactive limits). A stored hash of any other kind never
// verifies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/sqlite.h"

namespace bbs {

// The cost of the password hashes a process makes: libsodium's interactive
// limits, or its minimum limits, far cheaper, for test programs only (the
// unit tests, the fuzz and bench programs, bbshost-testing). A process
// setting that nothing in bbshost changes: no environment or option of the
// installed program can lower it.
enum class PasswordCost { interactive, minimum };
// REQUIRES: called before the process makes its first hash.
void set_password_cost_for_tests(PasswordCost cost);

struct AccountInfo {
    std::string userid;
    std::string class_name;
    int64_t credits = 0;
    uint16_t days = 0;
    std::vector<std::string> keys;
    std::optional<int64_t> last_logon;   // seconds since 1970 (UTC); none: never
    std::optional<std::string> locked{};   // the lock's reason (may be empty); none: not locked
    std::optional<int64_t> pending_since{};  // awaiting validation since (seconds since 1970); none: not
};

// An SSH public key registered for an account: its OpenSSH line without
// the comment ("ssh-ed25519 AAAA..."), the comment, and when it was added.
struct SshKeyInfo {
    std::string key;
    std::string comment;
    int64_t added = 0;   // seconds since 1970 (UTC)
};

// The fields of an account to change; those left empty keep what the
// database holds.
struct AccountUpdate {
    std::optional<std::string> class_name;
    std::optional<int64_t> credits;
    std::optional<uint16_t> days;
    std::optional<std::vector<std::string>> keys;
};

class Accounts {
public:
    // Creates its table when missing. A statement that fails for a reason
    // of the database (full disk, I/O error) is reported by the connection
    // (bbs/sqlite.h), so that the host call it belongs to is rolled back.
    explicit Accounts(sql::Connection& db);
    ~Accounts();

    Accounts(const Accounts&) = delete;
    Accounts& operator=(const Accounts&) = delete;

    // User-IDs are unique ignoring letter case, 1..29 characters.
    bool add(const AccountInfo& account, std::string_view password, std::string* error);
    // The same with the password's hash made already (make_hash, away from
    // the event loop).
    bool add_hashed(const AccountInfo& account, std::string_view hash, std::string* error);
    std::optional<AccountInfo> find(std::string_view userid);   // ignoring case
    bool update(const AccountInfo& account, std::string* error); // by userid, every field
    // Changes only the fields given, in one statement, so that a field
    // somebody else changed meanwhile (another process) is not written over.
    bool change(std::string_view userid, const AccountUpdate& update, std::string* error);
    // What a host call changed in a live account, applied to what the
    // database holds: days moved by `days_delta` (kept within 0..65535),
    // the class set when one is given.
    bool adjust(std::string_view userid, int32_t days_delta,
                const std::optional<std::string>& class_name, std::string* error);
    // The account and its SSH keys.
    bool remove(std::string_view userid, std::string* error);
    // Locks the account with a reason (empty: none given), or takes the lock
    // off. False with *error when there is no such account.
    bool lock(std::string_view userid, std::string_view reason, std::string* error);
    bool unlock(std::string_view userid, std::string* error);
    // The lock's reason when the account is locked; none when it is not (or
    // there is no such account).
    std::optional<std::string> locked(std::string_view userid);
    // Every locked account: its user-ID and the lock's reason.
    std::vector<std::pair<std::string, std::string>> all_locked();
    // A sign-up awaiting validation (add() it with pending_since set) may
    // log on once validated. False with *error when there is no such
    // account or it awaits nothing.
    bool validate(std::string_view userid, std::string* error);
    // Every account awaiting validation, oldest first.
    std::vector<AccountInfo> pending();
    // A new password (its argon2id hash replaces the stored one).
    bool set_password(std::string_view userid, std::string_view password, std::string* error);
    bool set_password_hash(std::string_view userid, std::string_view hash, std::string* error);
    // When the user last logged on (seconds since 1970, UTC).
    bool record_logon(std::string_view userid, int64_t when);
    // The same work whether the account exists or not (see hash_matches).
    bool verify_password(std::string_view userid, std::string_view password);
    // The stored hash of the account's password; none when there is no
    // such account.
    std::optional<std::string> password_hash(std::string_view userid);

    // The pieces of a password check, safe to call from any thread:
    //  - usable_hash: the stored hash is an argon2id one (others never verify);
    //  - hash_matches: the password against a hash (the argon2id work);
    //  - make_hash: the argon2id hash of a password with the limits in use
    //    (empty when out of memory), for add_hashed and set_password_hash;
    //  - dummy_hash: a hash string with the limits in use that no password
    //    matches, to check against when there is no account, so that an
    //    unknown user-ID costs the same work as a known one (made at once:
    //    no hashing).
    static bool usable_hash(std::string_view hash);
    static bool hash_matches(const std::string& hash, std::string_view password);
    static std::string make_hash(std::string_view password);
    static std::string dummy_hash();

    // SSH public keys of an account (table ssh_keys), in the order added;
    // `number` counts from 1 in that order. A key is registered once per
    // account; the account must exist.
    bool add_ssh_key(std::string_view userid, const SshKeyInfo& key, std::string* error);
    std::vector<SshKeyInfo> ssh_keys(std::string_view userid);
    bool remove_ssh_key(std::string_view userid, int64_t number, std::string* error);
    bool has_ssh_key(std::string_view userid, std::string_view key);

    // Counts the changes made through add, update, change and remove (not
    // credits, not adjust): who keeps copies of account fields reads them
    // again when it moved.
    uint64_t generation() const { return generation_; }
    std::vector<AccountInfo> all();   // in user-ID order

    // Credits, used by otstcrd/odedcrd/oaddcrd.
    bool has_credits(std::string_view userid, int64_t amount);
    bool deduct_credits(std::string_view userid, int64_t amount);
    bool add_credits(std::string_view userid, int64_t amount);

private:
    std::string failure(std::string_view doing, int code) const;
    void add_column(std::string_view name, std::string_view type);
    std::vector<AccountInfo> listed(std::string_view where_order, const char* doing);
    bool change_one(sql::Use& s, std::string_view userid, const char* doing, std::string* error);
    sql::Connection& db_;
    std::string where_;  // "bbs.db accounts"
    // Statements of every host call, prepared once.
    sql::Statement find_, adjust_, deduct_, add_, logon_, has_key_, locked_;
    uint64_t generation_ = 0;
};

}  // namespace bbs
