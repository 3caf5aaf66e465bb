// Host accounts: user-ID, password (argon2id hash only), class, credits,
// membership days and keys. Stored in the host's database file.
#pragma once

#include <cstdint>
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

    // User-IDs are unique ignoring letter case, 1..29 characters.
    bool add(const AccountInfo& account, std::string_view password, std::string* error);
    std::optional<AccountInfo> find(std::string_view userid);   // ignoring case
    bool update(const AccountInfo& account, std::string* error); // by userid
    bool remove(std::string_view userid, std::string* error);
    bool verify_password(std::string_view userid, std::string_view password);
    std::vector<AccountInfo> all();

    // Credits, used by otstcrd/odedcrd/oaddcrd.
    bool has_credits(std::string_view userid, int64_t amount);
    bool deduct_credits(std::string_view userid, int64_t amount);
    bool add_credits(std::string_view userid, int64_t amount);

private:
    sqlite3* db_;
};

}  // namespace bbs
