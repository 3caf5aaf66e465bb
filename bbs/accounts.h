// Host accounts: user-ID, password (argon2id hash only), class, credits,
// membership days and keys. Stored in the host's database file.
//
// Passwords are kept only as argon2id hashes (libsodium's crypto_pwhash_str,
// ARGON2ID13, interactive limits; BBS_FAST_HASH=1 selects the minimum
// limits, for tests). A stored hash of any other kind never verifies.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace bbs {

struct AccountInfo {
    std::string userid;
    std::string class_name;
    int64_t credits = 0;
    uint16_t days = 0;
    std::vector<std::string> keys;
};

class Accounts {
public:
    explicit Accounts(sqlite3* db);   // creates its table when missing

    // Told of every statement that fails for a reason of the database (full
    // disk, I/O error), so that the host call it belongs to is rolled back.
    void on_failure(std::function<void(const std::string&)> report) { report_ = std::move(report); }

    // User-IDs are unique ignoring letter case, 1..29 characters.
    bool add(const AccountInfo& account, std::string_view password, std::string* error);
    std::optional<AccountInfo> find(std::string_view userid);   // ignoring case
    bool update(const AccountInfo& account, std::string* error); // by userid
    bool remove(std::string_view userid, std::string* error);
    // The same work whether the account exists or not (see hash_matches).
    bool verify_password(std::string_view userid, std::string_view password);
    // The stored hash of the account's password; none when there is no
    // such account.
    std::optional<std::string> password_hash(std::string_view userid);

    // The pieces of a password check, safe to call from any thread:
    //  - usable_hash: the stored hash is an argon2id one (others never verify);
    //  - hash_matches: the password against a hash (the argon2id work);
    //  - dummy_hash: a hash of a random password with the limits in use, to
    //    check against when there is no account, so that an unknown user-ID
    //    costs the same work as a known one.
    static bool usable_hash(std::string_view hash);
    static bool hash_matches(const std::string& hash, std::string_view password);
    static std::string dummy_hash();
    std::vector<AccountInfo> all();

    // Credits, used by otstcrd/odedcrd/oaddcrd.
    bool has_credits(std::string_view userid, int64_t amount);
    bool deduct_credits(std::string_view userid, int64_t amount);
    bool add_credits(std::string_view userid, int64_t amount);

private:
    void failed(std::string_view doing);
    sqlite3* db_;
    std::function<void(const std::string&)> report_;
};

}  // namespace bbs
