#include "bbs/accounts.h"

#include <sodium.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

#include "platform/host.h"

namespace bbs {

namespace {

// One prepared statement, finalized when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    Statement& text(int i, std::string_view v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& integer(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string column_text(int i) {
        const unsigned char* t = sqlite3_column_text(stmt_, i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    }
    int64_t column_int(int i) { return sqlite3_column_int64(stmt_, i); }
    bool column_null(int i) { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string join_keys(const std::vector<std::string>& keys) {
    std::string out;
    for (const auto& k : keys) {
        if (!out.empty()) out += '\n';
        out += k;
    }
    return out;
}

std::vector<std::string> split_keys(const std::string& text) {
    std::vector<std::string> keys;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) keys.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return keys;
}

AccountInfo read_row(Statement& s) {
    AccountInfo a;
    a.userid = s.column_text(0);
    a.class_name = s.column_text(1);
    a.credits = s.column_int(2);
    a.days = static_cast<uint16_t>(s.column_int(3));
    a.keys = split_keys(s.column_text(4));
    if (!s.column_null(5)) a.last_logon = s.column_int(5);
    return a;
}

// Resets a kept statement (ending its implicit transaction) on every path.
class Reset {
public:
    explicit Reset(sqlite3_stmt* s) : s_(s) {}
    ~Reset() {
        sqlite3_clear_bindings(s_);
        sqlite3_reset(s_);
    }
    Reset(const Reset&) = delete;
    Reset& operator=(const Reset&) = delete;

private:
    sqlite3_stmt* s_;
};

std::string column(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
}

bool fast_hash() {
    const char* v = std::getenv("BBS_FAST_HASH");
    return v && std::strcmp(v, "1") == 0;
}

unsigned long long ops_limit() {
    return fast_hash() ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
}

size_t mem_limit() { return fast_hash() ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE; }

bool valid_userid(std::string_view id) {
    if (id.empty() || id.size() > 29) return false;
    for (char c : id)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace

Accounts::Accounts(sqlite3* db) : db_(db) {
    if (sodium_init() < 0) std::abort();
    sqlite3_exec(db_,
                 "CREATE TABLE IF NOT EXISTS accounts ("
                 " userid TEXT PRIMARY KEY COLLATE NOCASE,"
                 " class_name TEXT NOT NULL,"
                 " credits INTEGER NOT NULL,"
                 " days INTEGER NOT NULL,"
                 " keys TEXT NOT NULL,"
                 " password_hash TEXT NOT NULL,"
                 " last_logon INTEGER)",
                 nullptr, nullptr, nullptr);
    // A table made before the last logon was kept gets its column.
    Statement has(db_, "SELECT 1 FROM pragma_table_info('accounts') WHERE name = 'last_logon'");
    if (has.step() == SQLITE_DONE)
        sqlite3_exec(db_, "ALTER TABLE accounts ADD COLUMN last_logon INTEGER", nullptr, nullptr, nullptr);
}

Accounts::~Accounts() {
    sqlite3_finalize(find_);
    sqlite3_finalize(adjust_);
    sqlite3_finalize(logon_);
}

bool Accounts::add(const AccountInfo& account, std::string_view password, std::string* error) {
    ++generation_;
    if (!valid_userid(account.userid)) {
        if (error) *error = "user-ID \"" + account.userid + "\" must have 1 to 29 printable characters";
        return false;
    }
    if (account.class_name.size() >= static_cast<size_t>(HOST_CLSSIZ)) {
        if (error) *error = "class name \"" + account.class_name + "\" is too long";
        return false;
    }
    if (find(account.userid)) {
        if (error) *error = "user-ID \"" + account.userid + "\" is taken";
        return false;
    }
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), ops_limit(), mem_limit(),
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        if (error) *error = "out of memory while hashing the password";
        return false;
    }
    Statement s(db_, "INSERT INTO accounts (userid, class_name, credits, days, keys, password_hash)"
                     " VALUES (?, ?, ?, ?, ?, ?)");
    s.text(1, account.userid).text(2, account.class_name).integer(3, account.credits);
    s.integer(4, account.days).text(5, join_keys(account.keys)).text(6, hash);
    if (s.step() != SQLITE_DONE) {
        if (error) *error = std::string("cannot store the account: ") + sqlite3_errmsg(db_);
        if (sqlite3_extended_errcode(db_) != SQLITE_CONSTRAINT_PRIMARYKEY) failed("adding an account");
        return false;
    }
    return true;
}

void Accounts::failed(std::string_view doing) {
    if (report_) report_("accounts: " + std::string(doing) + ": " + sqlite3_errmsg(db_));
}

sqlite3_stmt* Accounts::kept(sqlite3_stmt*& slot, const char* sql) {
    if (!slot && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK)
        failed("preparing a statement");
    return slot;
}

// Read at the start of every host call: prepared once.
std::optional<AccountInfo> Accounts::find(std::string_view userid) {
    sqlite3_stmt* s =
        kept(find_, "SELECT userid, class_name, credits, days, keys FROM accounts WHERE userid = ?");
    if (!s) return std::nullopt;
    Reset reset(s);
    sqlite3_bind_text(s, 1, userid.data(), static_cast<int>(userid.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE) failed("reading an account");
        return std::nullopt;
    }
    AccountInfo a;
    a.userid = column(s, 0);
    a.class_name = column(s, 1);
    a.credits = sqlite3_column_int64(s, 2);
    a.days = static_cast<uint16_t>(sqlite3_column_int64(s, 3));
    a.keys = split_keys(column(s, 4));
    return a;
}

bool Accounts::update(const AccountInfo& account, std::string* error) {
    ++generation_;
    Statement s(db_, "UPDATE accounts SET class_name = ?, credits = ?, days = ?, keys = ? WHERE userid = ?");
    s.text(1, account.class_name).integer(2, account.credits).integer(3, account.days);
    s.text(4, join_keys(account.keys)).text(5, account.userid);
    if (s.step() != SQLITE_DONE) {
        if (error) *error = std::string("cannot update the account: ") + sqlite3_errmsg(db_);
        failed("updating an account");
        return false;
    }
    if (sqlite3_changes(db_) != 1) {
        if (error) *error = "no account \"" + account.userid + "\"";
        return false;
    }
    return true;
}

bool Accounts::change(std::string_view userid, const AccountUpdate& update, std::string* error) {
    ++generation_;
    std::string sql = "UPDATE accounts SET userid = userid";
    if (update.class_name) sql += ", class_name = ?1";
    if (update.credits) sql += ", credits = ?2";
    if (update.days) sql += ", days = ?3";
    if (update.keys) sql += ", keys = ?4";
    sql += " WHERE userid = ?5";
    Statement s(db_, sql.c_str());
    if (update.class_name) s.text(1, *update.class_name);
    if (update.credits) s.integer(2, *update.credits);
    if (update.days) s.integer(3, *update.days);
    if (update.keys) s.text(4, join_keys(*update.keys));
    s.text(5, userid);
    if (s.step() != SQLITE_DONE) {
        if (error) *error = std::string("cannot change the account: ") + sqlite3_errmsg(db_);
        failed("changing an account");
        return false;
    }
    if (sqlite3_changes(db_) != 1) {
        if (error) *error = "no account \"" + std::string(userid) + "\"";
        return false;
    }
    return true;
}

bool Accounts::adjust(std::string_view userid, int32_t days_delta,
                      const std::optional<std::string>& class_name, std::string* error) {
    sqlite3_stmt* s = kept(adjust_,
                           "UPDATE accounts SET days = max(0, min(65535, days + ?1)),"
                           " class_name = coalesce(?2, class_name) WHERE userid = ?3");
    if (!s) {
        if (error) *error = std::string("cannot prepare: ") + sqlite3_errmsg(db_);
        return false;
    }
    Reset reset(s);
    sqlite3_bind_int(s, 1, days_delta);
    if (class_name)
        sqlite3_bind_text(s, 2, class_name->data(), static_cast<int>(class_name->size()), SQLITE_STATIC);
    else
        sqlite3_bind_null(s, 2);
    sqlite3_bind_text(s, 3, userid.data(), static_cast<int>(userid.size()), SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_DONE) {
        if (error) *error = std::string("cannot write the account back: ") + sqlite3_errmsg(db_);
        failed("writing an account back");
        return false;
    }
    if (sqlite3_changes(db_) != 1) {
        if (error) *error = "no account \"" + std::string(userid) + "\"";
        return false;
    }
    return true;
}

bool Accounts::remove(std::string_view userid, std::string* error) {
    ++generation_;
    Statement s(db_, "DELETE FROM accounts WHERE userid = ?");
    s.text(1, userid);
    if (s.step() != SQLITE_DONE) {
        if (error) *error = std::string("cannot delete the account: ") + sqlite3_errmsg(db_);
        failed("deleting an account");
        return false;
    }
    if (sqlite3_changes(db_) != 1) {
        if (error) *error = "no account \"" + std::string(userid) + "\"";
        return false;
    }
    return true;
}

bool Accounts::set_password(std::string_view userid, std::string_view password, std::string* error) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), ops_limit(), mem_limit(),
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        if (error) *error = "out of memory while hashing the password";
        return false;
    }
    Statement s(db_, "UPDATE accounts SET password_hash = ? WHERE userid = ?");
    s.text(1, hash).text(2, userid);
    if (s.step() != SQLITE_DONE) {
        if (error) *error = std::string("cannot store the password: ") + sqlite3_errmsg(db_);
        failed("changing a password");
        return false;
    }
    if (sqlite3_changes(db_) != 1) {
        if (error) *error = "no account \"" + std::string(userid) + "\"";
        return false;
    }
    return true;
}

bool Accounts::record_logon(std::string_view userid, int64_t when) {
    sqlite3_stmt* s = kept(logon_, "UPDATE accounts SET last_logon = ?1 WHERE userid = ?2");
    if (!s) return false;
    Reset reset(s);
    sqlite3_bind_int64(s, 1, when);
    sqlite3_bind_text(s, 2, userid.data(), static_cast<int>(userid.size()), SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_DONE) {
        failed("recording a logon");
        return false;
    }
    return true;
}

bool Accounts::verify_password(std::string_view userid, std::string_view password) {
    const auto hash = password_hash(userid);
    const bool usable = hash && usable_hash(*hash);
    return hash_matches(usable ? *hash : dummy_hash(), password) && usable;
}

std::optional<std::string> Accounts::password_hash(std::string_view userid) {
    Statement s(db_, "SELECT password_hash FROM accounts WHERE userid = ?");
    s.text(1, userid);
    const int rc = s.step();
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE) failed("reading a password hash");
        return std::nullopt;
    }
    return s.column_text(0);
}

bool Accounts::usable_hash(std::string_view hash) {
    // Only argon2id hashes count; libsodium would also verify argon2i ones.
    return hash.rfind("$argon2id$", 0) == 0;
}

bool Accounts::hash_matches(const std::string& hash, std::string_view password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string Accounts::dummy_hash() {
    if (sodium_init() < 0) std::abort();
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, reinterpret_cast<const char*>(random), sizeof random, ops_limit(),
                              mem_limit(), crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::string();  // out of memory: nothing verifies against it
    return hash;
}

std::vector<AccountInfo> Accounts::all() {
    std::vector<AccountInfo> out;
    Statement s(db_, "SELECT userid, class_name, credits, days, keys, last_logon FROM accounts ORDER BY userid");
    while (s.step() == SQLITE_ROW) out.push_back(read_row(s));
    return out;
}

bool Accounts::has_credits(std::string_view userid, int64_t amount) {
    auto a = find(userid);
    return a && a->credits >= amount;
}

bool Accounts::deduct_credits(std::string_view userid, int64_t amount) {
    if (amount < 0) return false;
    Statement s(db_, "UPDATE accounts SET credits = credits - ? WHERE userid = ? AND credits >= ?");
    s.integer(1, amount).text(2, userid).integer(3, amount);
    if (s.step() != SQLITE_DONE) {
        failed("deducting credits");
        return false;
    }
    return sqlite3_changes(db_) == 1;
}

bool Accounts::add_credits(std::string_view userid, int64_t amount) {
    if (amount < 0) return false;
    Statement s(db_, "UPDATE accounts SET credits = credits + ? WHERE userid = ?");
    s.integer(1, amount).text(2, userid);
    if (s.step() != SQLITE_DONE) {
        failed("adding credits");
        return false;
    }
    return sqlite3_changes(db_) == 1;
}

}  // namespace bbs
