#include "bbs/accounts.h"

#include <sodium.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/host.h"

namespace bbs {

namespace {

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

// The columns every reading of whole accounts selects, as read_row reads them.
constexpr const char* kColumns =
    "SELECT userid, class_name, credits, days, keys, coalesce(last_logon, -1), locked IS NOT NULL,"
    " coalesce(locked, ''), coalesce(pending_since, -1) FROM accounts";

AccountInfo read_row(const sql::Use& s) {
    AccountInfo a;
    a.userid = s.text(0);
    a.class_name = s.text(1);
    a.credits = s.integer(2);
    a.days = static_cast<uint16_t>(s.integer(3));
    a.keys = split_keys(s.text(4));
    if (const int64_t when = s.integer(5); when >= 0) a.last_logon = when;
    if (s.integer(6)) a.locked = s.text(7);
    if (const int64_t since = s.integer(8); since >= 0) a.pending_since = since;
    return a;
}

// Read by the worker that checks passwords too.
constinit std::atomic<PasswordCost> cost{PasswordCost::interactive};

bool cheap() { return cost.load(std::memory_order_relaxed) == PasswordCost::minimum; }

unsigned long long ops_limit() {
    return cheap() ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
}

size_t mem_limit() { return cheap() ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE; }

bool valid_userid(std::string_view id) {
    if (id.empty() || id.size() > 29) return false;
    for (char c : id)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace

void set_password_cost_for_tests(PasswordCost to) { cost.store(to, std::memory_order_relaxed); }

Accounts::Accounts(sql::Connection& db) : db_(db), where_(db.name() + " accounts") {
    if (sodium_init() < 0) std::abort();
    db_.exec("CREATE TABLE IF NOT EXISTS accounts ("
             " userid TEXT PRIMARY KEY COLLATE NOCASE,"
             " class_name TEXT NOT NULL,"
             " credits INTEGER NOT NULL,"
             " days INTEGER NOT NULL,"
             " keys TEXT NOT NULL,"
             " password_hash TEXT NOT NULL,"
             " last_logon INTEGER,"
             " locked TEXT,"            // the lock's reason; NULL: not locked
             " pending_since INTEGER)",  // awaiting validation since; NULL: not
             where_);
    // A table made before these were kept gets their columns.
    add_column("last_logon", "INTEGER");
    add_column("locked", "TEXT");
    add_column("pending_since", "INTEGER");
    // SSH public keys (bbshost key add), removed with their account.
    db_.exec("CREATE TABLE IF NOT EXISTS ssh_keys ("
             " id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " userid TEXT NOT NULL COLLATE NOCASE,"
             " key TEXT NOT NULL,"
             " comment TEXT NOT NULL,"
             " added INTEGER NOT NULL,"
             " UNIQUE (userid, key))",
             where_);
    // Statements of every host call, prepared once.
    has_key_.prepare(db_, "SELECT 1 FROM ssh_keys WHERE userid = ?1 AND key = ?2", where_);
    find_.prepare(db_, std::string(kColumns) + " WHERE userid = ?1", where_);
    locked_.prepare(db_, "SELECT coalesce(locked, '') FROM accounts WHERE userid = ?1 AND locked IS NOT NULL", where_);
    adjust_.prepare(db_,
                    "UPDATE accounts SET days = max(0, min(65535, days + ?1)),"
                    " class_name = coalesce(?2, class_name) WHERE userid = ?3",
                    where_);
    deduct_.prepare(db_, "UPDATE accounts SET credits = credits - ?1 WHERE userid = ?2 AND credits >= ?1", where_);
    add_.prepare(db_, "UPDATE accounts SET credits = credits + ?1 WHERE userid = ?2", where_);
    logon_.prepare(db_, "UPDATE accounts SET last_logon = ?1 WHERE userid = ?2", where_);
}

Accounts::~Accounts() = default;

void Accounts::add_column(std::string_view name, std::string_view type) {
    sql::Statement has(db_, "SELECT 1 FROM pragma_table_info('accounts') WHERE name = ?1", where_, false);
    sql::Use s(has);
    s.bind(1, name);
    if (!s.row("looking for a column of the accounts"))
        db_.exec("ALTER TABLE accounts ADD COLUMN " + std::string(name) + " " + std::string(type), where_);
}

std::string Accounts::failure(std::string_view doing, int code) const {
    return db_.error_of(code, doing, where_).text();
}

bool Accounts::add(const AccountInfo& account, std::string_view password, std::string* error) {
    const std::string hash = make_hash(password);
    if (hash.empty()) {
        if (error) *error = "out of memory while hashing the password";
        return false;
    }
    return add_hashed(account, hash, error);
}

bool Accounts::add_hashed(const AccountInfo& account, std::string_view hash, std::string* error) {
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
    sql::Statement insert(db_,
                          "INSERT INTO accounts (userid, class_name, credits, days, keys, password_hash,"
                          " locked, pending_since) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                          where_, false);
    sql::Use s(insert);
    const std::string keys = join_keys(account.keys);
    s.bind(1, account.userid).bind(2, account.class_name).bind(3, account.credits);
    s.bind(4, int64_t{account.days}).bind(5, keys).bind(6, hash);
    if (account.locked) s.bind(7, *account.locked);
    else s.bind_null(7);
    if (account.pending_since) s.bind(8, *account.pending_since);
    else s.bind_null(8);
    const sql::Use::Step step = s.step("adding an account");
    if (step == sql::Use::Step::done) return true;
    if (error)
        *error = step == sql::Use::Step::refused ? "user-ID \"" + account.userid + "\" is taken"
                                                 : "cannot store the account: " + failure("adding an account", s.code());
    return false;
}

// Read at the start of every host call whose accounts changed: prepared once.
std::optional<AccountInfo> Accounts::find(std::string_view userid) {
    sql::Use s(find_);
    s.bind(1, userid);
    if (!s.row("reading an account")) return std::nullopt;
    return read_row(s);
}

// Runs one changing statement on an account by user-ID: false with *error
// when it failed or found no such account.
bool Accounts::change_one(sql::Use& s, std::string_view userid, const char* doing, std::string* error) {
    if (!s.run(doing)) {
        if (error) *error = failure(doing, s.code());
        return false;
    }
    if (db_.changes() != 1) {
        if (error) *error = "no account \"" + std::string(userid) + "\"";
        return false;
    }
    return true;
}

bool Accounts::update(const AccountInfo& account, std::string* error) {
    ++generation_;
    sql::Statement update(db_,
                          "UPDATE accounts SET class_name = ?1, credits = ?2, days = ?3, keys = ?4 WHERE userid = ?5",
                          where_, false);
    sql::Use s(update);
    const std::string keys = join_keys(account.keys);
    s.bind(1, account.class_name).bind(2, account.credits).bind(3, int64_t{account.days});
    s.bind(4, keys).bind(5, account.userid);
    return change_one(s, account.userid, "updating an account", error);
}

bool Accounts::change(std::string_view userid, const AccountUpdate& update, std::string* error) {
    ++generation_;
    std::string sql = "UPDATE accounts SET userid = userid";
    if (update.class_name) sql += ", class_name = ?1";
    if (update.credits) sql += ", credits = ?2";
    if (update.days) sql += ", days = ?3";
    if (update.keys) sql += ", keys = ?4";
    sql += " WHERE userid = ?5";
    sql::Statement statement(db_, sql, where_, false);
    sql::Use s(statement);
    const std::string keys = update.keys ? join_keys(*update.keys) : std::string();
    if (update.class_name) s.bind(1, *update.class_name);
    if (update.credits) s.bind(2, *update.credits);
    if (update.days) s.bind(3, int64_t{*update.days});
    if (update.keys) s.bind(4, keys);
    s.bind(5, userid);
    return change_one(s, userid, "changing an account", error);
}

bool Accounts::adjust(std::string_view userid, int32_t days_delta,
                      const std::optional<std::string>& class_name, std::string* error) {
    sql::Use s(adjust_);
    s.bind(1, int64_t{days_delta});
    if (class_name)
        s.bind(2, *class_name);
    else
        s.bind_null(2);
    s.bind(3, userid);
    return change_one(s, userid, "writing an account back", error);
}

bool Accounts::remove(std::string_view userid, std::string* error) {
    ++generation_;
    {  // the keys first: none is left for a later account of the same user-ID
        sql::Statement keys(db_, "DELETE FROM ssh_keys WHERE userid = ?1", where_, false);
        sql::Use s(keys);
        s.bind(1, userid);
        if (!s.run("deleting an account's SSH keys")) {
            if (error) *error = failure("deleting an account's SSH keys", s.code());
            return false;
        }
    }
    sql::Statement erase(db_, "DELETE FROM accounts WHERE userid = ?1", where_, false);
    sql::Use s(erase);
    s.bind(1, userid);
    return change_one(s, userid, "deleting an account", error);
}

bool Accounts::add_ssh_key(std::string_view userid, const SshKeyInfo& key, std::string* error) {
    if (!find(userid)) {
        if (error) *error = "no account \"" + std::string(userid) + "\"";
        return false;
    }
    sql::Statement insert(db_, "INSERT INTO ssh_keys (userid, key, comment, added) VALUES (?1, ?2, ?3, ?4)", where_,
                          false);
    sql::Use s(insert);
    s.bind(1, userid).bind(2, key.key).bind(3, key.comment).bind(4, key.added);
    const sql::Use::Step step = s.step("adding an SSH key");
    if (step == sql::Use::Step::done) return true;
    if (error)
        *error = step == sql::Use::Step::refused ? "the key is registered for \"" + std::string(userid) + "\" already"
                                                 : failure("adding an SSH key", s.code());
    return false;
}

std::vector<SshKeyInfo> Accounts::ssh_keys(std::string_view userid) {
    sql::Statement list(db_, "SELECT key, comment, added FROM ssh_keys WHERE userid = ?1 ORDER BY id", where_, false);
    sql::Use s(list);
    s.bind(1, userid);
    std::vector<SshKeyInfo> keys;
    while (s.row("listing SSH keys")) keys.push_back({s.text(0), s.text(1), s.integer(2)});
    return keys;
}

bool Accounts::remove_ssh_key(std::string_view userid, int64_t number, std::string* error) {
    sql::Statement erase(db_,
                         "DELETE FROM ssh_keys WHERE id = (SELECT id FROM ssh_keys WHERE userid = ?1"
                         " ORDER BY id LIMIT 1 OFFSET ?2)",
                         where_, false);
    sql::Use s(erase);
    s.bind(1, userid).bind(2, number - 1);
    if (number < 1 || !s.run("removing an SSH key")) {
        if (error) *error = number < 1 ? "no key " + std::to_string(number) : failure("removing an SSH key", s.code());
        return false;
    }
    if (db_.changes() != 1) {
        if (error) *error = "\"" + std::string(userid) + "\" has no key " + std::to_string(number);
        return false;
    }
    return true;
}

bool Accounts::has_ssh_key(std::string_view userid, std::string_view key) {
    sql::Use s(has_key_);
    s.bind(1, userid).bind(2, key);
    return s.row("looking up an SSH key");
}

bool Accounts::set_password(std::string_view userid, std::string_view password, std::string* error) {
    const std::string hash = make_hash(password);
    if (hash.empty()) {
        if (error) *error = "out of memory while hashing the password";
        return false;
    }
    return set_password_hash(userid, hash, error);
}

bool Accounts::set_password_hash(std::string_view userid, std::string_view hash, std::string* error) {
    sql::Statement update(db_, "UPDATE accounts SET password_hash = ?1 WHERE userid = ?2", where_, false);
    sql::Use s(update);
    s.bind(1, hash).bind(2, userid);
    return change_one(s, userid, "changing a password", error);
}

bool Accounts::record_logon(std::string_view userid, int64_t when) {
    sql::Use s(logon_);
    s.bind(1, when).bind(2, userid);
    return s.run("recording a logon");
}

bool Accounts::verify_password(std::string_view userid, std::string_view password) {
    const auto hash = password_hash(userid);
    const bool usable = hash && usable_hash(*hash);
    return hash_matches(usable ? *hash : dummy_hash(), password) && usable;
}

std::optional<std::string> Accounts::password_hash(std::string_view userid) {
    sql::Statement read(db_, "SELECT password_hash FROM accounts WHERE userid = ?1", where_, false);
    sql::Use s(read);
    s.bind(1, userid);
    if (!s.row("reading a password hash")) return std::nullopt;
    return s.text(0);
}

bool Accounts::usable_hash(std::string_view hash) {
    // Only argon2id hashes count; libsodium would also verify argon2i ones.
    return hash.rfind("$argon2id$", 0) == 0;
}

bool Accounts::hash_matches(const std::string& hash, std::string_view password) {
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string Accounts::make_hash(std::string_view password) {
    if (sodium_init() < 0) std::abort();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), ops_limit(), mem_limit(),
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::string();
    return hash;
}

std::string Accounts::dummy_hash() {
    if (sodium_init() < 0) std::abort();
    // An argon2id hash string with the limits in use and a random salt and
    // hash: checking a password against it is the whole argon2id work, and
    // nothing matches it. It is written, not computed, so that making it
    // costs neither the hash's time nor its memory.
    unsigned char salt[crypto_pwhash_SALTBYTES];
    unsigned char key[32];
    randombytes_buf(salt, sizeof salt);
    randombytes_buf(key, sizeof key);
    constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL_NO_PADDING;
    char salt64[sodium_base64_ENCODED_LEN(sizeof salt, kVariant)];
    char key64[sodium_base64_ENCODED_LEN(sizeof key, kVariant)];
    sodium_bin2base64(salt64, sizeof salt64, salt, sizeof salt, kVariant);
    sodium_bin2base64(key64, sizeof key64, key, sizeof key, kVariant);
    return "$argon2id$v=19$m=" + std::to_string(mem_limit() / 1024) + ",t=" + std::to_string(ops_limit()) +
           ",p=1$" + salt64 + "$" + key64;
}

std::vector<AccountInfo> Accounts::listed(std::string_view where_order, const char* doing) {
    std::vector<AccountInfo> out;
    sql::Statement list(db_, std::string(kColumns) + " " + std::string(where_order), where_, false);
    sql::Use s(list);
    while (s.row(doing)) out.push_back(read_row(s));
    return out;
}

std::vector<AccountInfo> Accounts::all() { return listed("ORDER BY userid", "listing the accounts"); }

std::vector<AccountInfo> Accounts::pending() {
    return listed("WHERE pending_since IS NOT NULL ORDER BY pending_since, userid", "listing the sign-ups");
}

bool Accounts::lock(std::string_view userid, std::string_view reason, std::string* error) {
    ++generation_;
    sql::Statement update(db_, "UPDATE accounts SET locked = ?1 WHERE userid = ?2", where_, false);
    sql::Use s(update);
    s.bind(1, reason).bind(2, userid);
    return change_one(s, userid, "locking an account", error);
}

bool Accounts::unlock(std::string_view userid, std::string* error) {
    ++generation_;
    sql::Statement update(db_, "UPDATE accounts SET locked = NULL WHERE userid = ?1", where_, false);
    sql::Use s(update);
    s.bind(1, userid);
    return change_one(s, userid, "unlocking an account", error);
}

std::optional<std::string> Accounts::locked(std::string_view userid) {
    sql::Use s(locked_);
    s.bind(1, userid);
    if (!s.row("reading an account's lock")) return std::nullopt;
    return s.text(0);
}

std::vector<std::pair<std::string, std::string>> Accounts::all_locked() {
    std::vector<std::pair<std::string, std::string>> out;
    sql::Statement list(db_, "SELECT userid, coalesce(locked, '') FROM accounts WHERE locked IS NOT NULL", where_,
                        false);
    sql::Use s(list);
    while (s.row("listing the locked accounts")) out.emplace_back(s.text(0), s.text(1));
    return out;
}

bool Accounts::validate(std::string_view userid, std::string* error) {
    ++generation_;
    sql::Statement update(db_, "UPDATE accounts SET pending_since = NULL WHERE userid = ?1 AND pending_since IS NOT NULL",
                          where_, false);
    sql::Use s(update);
    s.bind(1, userid);
    if (change_one(s, userid, "validating an account", error)) return true;
    if (error && find(userid)) *error = "\"" + std::string(userid) + "\" awaits no validation";
    return false;
}

bool Accounts::has_credits(std::string_view userid, int64_t amount) {
    auto a = find(userid);
    return a && a->credits >= amount;
}

bool Accounts::deduct_credits(std::string_view userid, int64_t amount) {
    if (amount < 0) return false;
    sql::Use s(deduct_);
    s.bind(1, amount).bind(2, userid);
    return s.run("deducting credits") && db_.changes() == 1;
}

bool Accounts::add_credits(std::string_view userid, int64_t amount) {
    if (amount < 0) return false;
    sql::Use s(add_);
    s.bind(1, amount).bind(2, userid);
    return s.run("adding credits") && db_.changes() == 1;
}

}  // namespace bbs
