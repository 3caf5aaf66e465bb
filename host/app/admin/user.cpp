// bbshost user: host accounts (user-ID, password, class, credits, days,
// keys), their locks, and sign-ups awaiting a sysop's validation.
//
// show prints "credits=N days=N class=NAME keys=K,...", then " pending=TIME"
// when the account awaits validation and " locked=REASON" ("-" for none;
// the rest of the line) when it is locked. list prints one line per
// account (see user_list); pending one per sign-up awaiting validation,
// tab-separated: user-ID, class, credits, days, since (UTC).
#include <iostream>
#include <limits>

#include "app/admin/admin.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "text/utf8.h"

namespace app::admin {

namespace {

using enum Option::Kind;

const std::vector<Option> kAccountOptions = {
    {number, "--credits", "Host credits"},
    {number, "--days", "Membership days left"},
    {text, "--class", "Class name"},
    {texts, "--key", "A key the account holds (repeat for more)"},
};

// The fields of an account the command line gives; the others stay.
struct AccountChange {
    std::optional<int64_t> credits;
    std::optional<int64_t> days;
    std::optional<std::string> class_name;
    std::optional<std::vector<std::string>> keys{};   // the account's keys become these
};

AccountChange change_of(const Arguments& args) {
    AccountChange change{args.number("--credits"), args.number("--days"), args.given_text("--class")};
    if (args.given("--key")) change.keys = args.texts("--key");
    return change;
}

// Checks the change against the database and applies it to `account`.
bool apply(bbs::Host& host, const AccountChange& change, bbs::AccountInfo& account,
           std::string* error) {
    if (!in_range(change.credits, 0, std::numeric_limits<int64_t>::max(), "credits", error) ||
        !in_range(change.days, 0, std::numeric_limits<uint16_t>::max(), "days", error))
        return false;
    if (change.class_name) {
        if (!host.database().class_days(*change.class_name)) {
            *error = "no class named \"" + *change.class_name + "\" (add it with: class add NAME --days N)";
            return false;
        }
        account.class_name = *change.class_name;
    }
    if (change.credits) account.credits = *change.credits;
    if (change.days) account.days = static_cast<uint16_t>(*change.days);
    if (change.keys) account.keys = *change.keys;
    return true;
}

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ',';
        out += item;
    }
    return out;
}

int user_add(const Call& call) {
    const std::string& userid = call.args().text("ID");
    std::string password, error;
    if (!read_password(&password, &error)) return bad(error);
    bbs::Host& host = call.host();
    if (host.accounts().find(userid)) return bad("user \"" + userid + "\" exists already");
    bbs::AccountInfo account;
    account.userid = userid;
    AccountChange change = change_of(call.args());
    if (!change.class_name) change.class_name = "Member";
    if (!apply(host, change, account, &error)) return bad(error);
    if (!host.accounts().add(account, password, &error))
        return bad("cannot add user \"" + userid + "\": " + error);
    host.log("admin: user " + userid + " added");
    std::cout << "added user " << userid << std::endl;
    return kOk;
}

int user_show(const Call& call) {
    auto account = named_account(call);
    if (!account) return kBadInput;
    std::cout << "credits=" << account->credits << " days=" << account->days
              << " class=" << account->class_name << " keys=" << join(account->keys);
    if (account->pending_since) std::cout << " pending=" << utc_time(*account->pending_since);
    if (account->locked) std::cout << " locked=" << (account->locked->empty() ? "-" : *account->locked);
    std::cout << std::endl;
    return kOk;
}

// One line per account in user-ID order, tab-separated: user-ID, class,
// credits, days, keys (comma-separated, "-" for none), last logon (UTC,
// "never" for none), and, only for an account that is locked or awaits
// validation, a seventh column: "locked", "pending" or "pending,locked".
int user_list(const Call& call) {
    for (const auto& a : call.host().accounts().all()) {
        std::cout << a.userid << '\t' << a.class_name << '\t' << a.credits << '\t' << a.days << '\t'
                  << (a.keys.empty() ? "-" : join(a.keys)) << '\t'
                  << (a.last_logon ? utc_time(*a.last_logon) : "never");
        if (a.pending_since || a.locked)
            std::cout << '\t' << (a.pending_since ? a.locked ? "pending,locked" : "pending" : "locked");
        std::cout << '\n';
    }
    std::cout.flush();
    return kOk;
}

// The new password is read once the account is found.
int user_passwd(const Call& call) {
    bbs::Host& host = call.host();
    auto account = named_account(call);
    if (!account) return kBadInput;
    std::string password, error;
    if (!read_password(&password, &error)) return bad(error);
    if (!host.accounts().set_password(account->userid, password, &error))
        return failed("cannot change the password of \"" + account->userid + "\": " + error);
    host.log("admin: password of user " + account->userid + " changed");
    std::cout << "changed the password of user " << account->userid << std::endl;
    return kOk;
}

int user_set(const Call& call) {
    bbs::Host& host = call.host();
    const std::string& userid = call.args().text("ID");
    auto account = named_account(call);
    if (!account) return kBadInput;
    const AccountChange change = change_of(call.args());
    std::string error;
    if (!apply(host, change, *account, &error)) return bad(error);
    // Only the fields given are written: the running host may change the
    // others (credits, days) at any moment.
    bbs::AccountUpdate update;
    if (change.class_name) update.class_name = account->class_name;
    if (change.credits) update.credits = account->credits;
    if (change.days) update.days = account->days;
    if (change.keys) update.keys = account->keys;
    if (!host.accounts().change(account->userid, update, &error))
        return failed("cannot update user \"" + userid + "\": " + error);
    host.log("admin: user " + account->userid + " changed");
    std::cout << "updated user " << account->userid << std::endl;
    return kOk;
}

// What a routine that changed the account `userid` says: "DONE user ID"
// on standard output, "admin: user ID DONE" (and `more`) in the host log;
// or, when it failed (`ok` false), that it could not `doing`.
int report(bbs::Host& host, const std::string& userid, bool ok, std::string_view doing, std::string_view done,
           const std::string& error, const std::string& more = {}) {
    if (!ok) return failed("cannot " + std::string(doing) + " user \"" + userid + "\": " + error);
    host.log("admin: user " + userid + " " + std::string(done) + more);
    std::cout << done << " user " << userid << std::endl;
    return kOk;
}

// Deletes the account: the modules forget the user first (his
// description...), then the account goes. `done` names it in what is said.
int delete_account(bbs::Host& host, const bbs::AccountInfo& account, std::string_view done) {
    std::string error = "the database stays locked";
    const bool ok = host.account_deleted(account.userid) && host.accounts().remove(account.userid, &error);
    return report(host, account.userid, ok, "delete", done, error);
}

int user_delete(const Call& call) {
    auto account = named_account(call);
    if (!account) return kBadInput;
    return delete_account(call.host(), *account, "deleted");
}

int user_lock(const Call& call) {
    bbs::Host& host = call.host();
    auto account = named_account(call);
    if (!account) return kBadInput;
    const std::string& reason = call.args().text("--reason");
    std::string error;
    const bool ok = host.accounts().lock(account->userid, reason, &error);
    return report(host, account->userid, ok, "lock", "locked", error, reason.empty() ? "" : ": " + text::log_excerpt(reason));
}

int user_unlock(const Call& call) {
    bbs::Host& host = call.host();
    auto account = named_account(call);
    if (!account) return kBadInput;
    if (!account->locked) return bad("user \"" + account->userid + "\" is not locked");
    std::string error;
    return report(host, account->userid, host.accounts().unlock(account->userid, &error), "unlock", "unlocked", error);
}

int user_pending(const Call& call) {
    for (const auto& a : call.host().accounts().pending())
        std::cout << a.userid << '\t' << a.class_name << '\t' << a.credits << '\t' << a.days << '\t'
                  << utc_time(*a.pending_since) << '\n';
    std::cout.flush();
    return kOk;
}

// The account of the argument ID when it awaits validation; none (said on
// standard error) otherwise.
std::optional<bbs::AccountInfo> pending_account(const Call& call) {
    auto account = named_account(call);
    if (account && !account->pending_since) {
        bad("user \"" + account->userid + "\" awaits no validation (bbshost user pending lists those who do)");
        return std::nullopt;
    }
    return account;
}

int user_validate(const Call& call) {
    bbs::Host& host = call.host();
    auto account = pending_account(call);
    if (!account) return kBadInput;
    std::string error;
    const bool ok = host.accounts().validate(account->userid, &error);
    return report(host, account->userid, ok, "validate", "validated", error);
}

int user_reject(const Call& call) {
    auto account = pending_account(call);
    if (!account) return kBadInput;
    return delete_account(call.host(), *account, "rejected");
}

}  // namespace

const Noun kUser{"user", "Host accounts", {
    {"add", "Add an account; its password is read from standard input (one line), or asked for "
            "without echo when that is a terminal",
     with({kUserId}, kAccountOptions), Needs::host, user_add},
    {"show", "Show an account: credits, days, class, keys; since when it awaits validation, why it is locked",
     {kUserId}, Needs::host, user_show},
    {"list", "Every account: user-ID, class, credits, days, keys, last logon (UTC), tab-separated; a 7th column "
             "for one locked or awaiting validation",
     {}, Needs::host, user_list},
    {"passwd", "Change an account's password; the new one is read from standard input (one line), "
               "or asked for twice without echo when that is a terminal",
     {kUserId}, Needs::host, user_passwd},
    {"set", "Change an account (given keys replace the held ones)", with({kUserId}, kAccountOptions),
     Needs::host, user_set},
    {"delete", "Delete an account (the modules forget him first)", {kUserId}, Needs::modules, user_delete},
    {"lock", "Lock an account: it cannot log on until unlocked",
     {kUserId, {text, "--reason", "Why (shown by user show and in the host log)"}}, Needs::host, user_lock},
    {"unlock", "Take the lock off an account", {kUserId}, Needs::host, user_unlock},
    {"pending", "Every sign-up awaiting validation: user-ID, class, credits, days, since (UTC), tab-separated", {},
     Needs::host, user_pending},
    {"validate", "Let a sign-up awaiting validation log on", {kUserId}, Needs::host, user_validate},
    {"reject", "Delete a sign-up awaiting validation, as user delete does", {kUserId}, Needs::modules, user_reject},
}};

}  // namespace app::admin
