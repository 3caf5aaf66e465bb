// bbshost user: host accounts (user-ID, password, class, credits, days, keys).
#include <iostream>
#include <limits>

#include "app/admin/admin.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"

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
              << " class=" << account->class_name << " keys=" << join(account->keys) << std::endl;
    return kOk;
}

// One line per account in user-ID order, tab-separated: user-ID, class,
// credits, days, keys (comma-separated, "-" for none), last logon (UTC,
// "never" for none).
int user_list(const Call& call) {
    for (const auto& a : call.host().accounts().all())
        std::cout << a.userid << '\t' << a.class_name << '\t' << a.credits << '\t' << a.days << '\t'
                  << (a.keys.empty() ? "-" : join(a.keys)) << '\t'
                  << (a.last_logon ? utc_time(*a.last_logon) : "never") << '\n';
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

int user_delete(const Call& call) {
    bbs::Host& host = call.host();
    const std::string& userid = call.args().text("ID");
    auto account = named_account(call);
    if (!account) return kBadInput;
    // The modules forget the user first (his description...), then the account goes.
    if (!host.account_deleted(account->userid))
        return failed("cannot delete user \"" + userid + "\": the database stays locked");
    std::string error;
    if (!host.accounts().remove(account->userid, &error))
        return failed("cannot delete user \"" + userid + "\": " + error);
    host.log("admin: user " + account->userid + " deleted");
    std::cout << "deleted user " << account->userid << std::endl;
    return kOk;
}

}  // namespace

const Noun kUser{"user", "Host accounts", {
    {"add", "Add an account; its password is read from standard input (one line), or asked for "
            "without echo when that is a terminal",
     with({kUserId}, kAccountOptions), Needs::host, user_add},
    {"show", "Show an account: credits, days, class, keys", {kUserId}, Needs::host, user_show},
    {"list", "Every account: user-ID, class, credits, days, keys, last logon (UTC), tab-separated",
     {}, Needs::host, user_list},
    {"passwd", "Change an account's password; the new one is read from standard input (one line), "
               "or asked for twice without echo when that is a terminal",
     {kUserId}, Needs::host, user_passwd},
    {"set", "Change an account (given keys replace the held ones)", with({kUserId}, kAccountOptions),
     Needs::host, user_set},
    {"delete", "Delete an account (the modules forget him first)", {kUserId}, Needs::modules, user_delete},
}};

}  // namespace app::admin
