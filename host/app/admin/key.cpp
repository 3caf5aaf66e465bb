// bbshost key: SSH public keys of accounts, for logons without a password.
// add reads the first key line of FILE (an OpenSSH .pub file;
// ssh::parse_public_key_line says which keys); list prints one line per
// key, tab-separated: its number (what remove takes), type, SHA256
// fingerprint, comment ("-" for none), when added (UTC).
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "app/admin/admin.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "bbs/input.h"
#include "ssh/keys.h"
#include "text/ascii.h"

namespace app::admin {

namespace {

using enum Option::Kind;


int key_add(const Call& call) {
    bbs::Host& host = call.host();
    const std::string& file = call.args().text("--file");
    auto account = named_account(call);
    if (!account) return kBadInput;
    std::ifstream in(file);
    if (!in) return bad("cannot read " + file + ": " + std::strerror(errno));
    // The first line that is neither blank nor a comment; a .pub file has one.
    std::string line;
    constexpr std::size_t kMaxLine = 16 * 1024;
    while (std::getline(in, line)) {
        const std::string_view first = text::trim_front(line, " \t\r");
        if (!first.empty() && first.front() != '#') break;
        line.clear();
    }
    if (line.empty()) return bad(file + " holds no public key line");
    if (line.size() > kMaxLine) return bad(file + ": the key line is too long to be a public key");
    ssh::PublicKeyLine parsed;
    try {
        parsed = ssh::parse_public_key_line(line);
    } catch (const std::exception& e) {
        return bad(file + ": " + e.what());
    }
    bbs::SshKeyInfo key{parsed.key.line(), bbs::clean_line(parsed.comment, 200), std::time(nullptr)};
    std::string error;
    if (!host.accounts().add_ssh_key(account->userid, key, &error))
        return bad("cannot add the key to \"" + account->userid + "\": " + error);
    host.log("admin: SSH key " + parsed.key.type + " " + parsed.key.fingerprint + " added for user " +
             account->userid);
    std::cout << "added key " << host.accounts().ssh_keys(account->userid).size() << " of user " << account->userid
              << ": " << parsed.key.type << " " << parsed.key.fingerprint << std::endl;
    return kOk;
}

int key_list(const Call& call) {
    bbs::Host& host = call.host();
    auto account = named_account(call);
    if (!account) return kBadInput;
    int number = 0;
    for (const auto& key : host.accounts().ssh_keys(account->userid)) {
        ++number;
        std::string type = key.key.substr(0, key.key.find(' ')), fingerprint = "?";
        try {
            const auto parsed = ssh::parse_public_key_line(key.key);
            type = parsed.key.type;
            fingerprint = parsed.key.fingerprint;
        } catch (const std::exception&) {
        }
        std::cout << number << '\t' << type << '\t' << fingerprint << '\t'
                  << (key.comment.empty() ? "-" : key.comment) << '\t' << utc_time(key.added) << '\n';
    }
    std::cout.flush();
    return kOk;
}

int key_remove(const Call& call) {
    bbs::Host& host = call.host();
    const int64_t number = *call.args().number("N");
    auto account = named_account(call);
    if (!account) return kBadInput;
    const auto keys = host.accounts().ssh_keys(account->userid);
    if (number < 1 || number > static_cast<int64_t>(keys.size()))
        return bad("user \"" + account->userid + "\" has no key " + std::to_string(number) + " (bbshost key list " +
                   account->userid + " numbers them)");
    std::string error;
    if (!host.accounts().remove_ssh_key(account->userid, number, &error))
        return failed("cannot remove key " + std::to_string(number) + " of \"" + account->userid + "\": " + error);
    host.log("admin: SSH key " + std::to_string(number) + " of user " + account->userid + " removed");
    std::cout << "removed key " << number << " of user " << account->userid << std::endl;
    return kOk;
}

}  // namespace

const Noun kKey{"key", "SSH public keys of accounts (logons without a password)", {
    {"add", "Register an OpenSSH public key (ssh-ed25519, ecdsa, rsa) for an account",
     {kUserId, {path, "--file", "The key's .pub file (its first key line)", kRequired}}, Needs::host, key_add},
    {"list", "An account's keys: number, type, fingerprint, comment, when added (UTC), tab-separated",
     {kUserId}, Needs::host, key_list},
    {"remove", "Remove an account's key N (as key list numbers them)",
     {kUserId, {number, "N", "Number of the key", kRequired}}, Needs::host, key_remove},
}};

}  // namespace app::admin
