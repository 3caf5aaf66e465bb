// The offline administration commands of bbshost: accounts, classes, game
// characters, mail and the generic database of a data folder, with no
// listening socket. Every command prints its result on stdout and its
// errors on stderr, and answers an exit status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bbs {
class Host;
}

namespace app::admin {

enum Exit { kOk = 0, kFailure = 1, kBadInput = 2 };

// "bbshost: MESSAGE" on standard error, and the exit code of bad input or
// of a failure.
int bad(const std::string& message);
int failed(const std::string& message);

// What a command needs loaded besides the host's own accounts and databases.
enum class Needs {
    host,      // accounts, classes, the generic database: no module is loaded
    game,      // characters and mail: the game, without its add-ons
    modules,   // the game and Brakvold Plus (an account deletion they must see)
};

// Refuses root on a data folder that belongs to somebody else (the
// service's own user): what root made in it (a log, a compiled message
// file) would be out of that user's reach. False with *error naming whom
// to run as; true for a missing folder.
bool run_as_folder_owner(const std::filesystem::path& data_dir, std::string* error);

// Opens the host on an existing data folder, loads what `needs` says, runs
// `work`, closes everything. A missing data folder is bad input.
int with_host(const std::filesystem::path& data_dir, int channels, Needs needs,
              const std::function<int(bbs::Host&)>& work);

struct AccountChange {
    std::optional<int64_t> credits;
    std::optional<int64_t> days;
    std::optional<std::string> class_name;
    std::vector<std::string> keys;   // with replace_keys: the account's keys become these
    bool replace_keys = false;
};

// The password of a new account, never from the command line (where every
// user of the machine could read it): from a terminal, asked twice without
// echo; otherwise one line of standard input. False with *error when there
// is none or the two differ.
bool read_password(std::string* password, std::string* error);

int user_add(bbs::Host& host, const std::string& userid, const std::string& password,
             const AccountChange& change);
int user_show(bbs::Host& host, const std::string& userid);
// Every account, one line each in user-ID order, tab-separated: user-ID,
// class, credits, days, keys (comma-separated, "-" for none), last logon
// (YYYY-MM-DDTHH:MM:SSZ in UTC, "never" for none).
int user_list(bbs::Host& host);
int user_set(bbs::Host& host, const std::string& userid, const AccountChange& change);
// A new password for an account, read with read_password once the account
// is found.
int user_passwd(bbs::Host& host, const std::string& userid);
int user_delete(bbs::Host& host, const std::string& userid);
// SSH public keys of an account, for logons without a password. add reads
// the first key line of FILE (an OpenSSH .pub file; ssh::parse_public_key_line
// says which keys); list prints one line per key, tab-separated: its number
// (what remove takes), type, SHA256 fingerprint, comment ("-" for none),
// when added (UTC).
int key_add(bbs::Host& host, const std::string& userid, const std::filesystem::path& file);
int key_list(bbs::Host& host, const std::string& userid);
int key_remove(bbs::Host& host, const std::string& userid, int64_t number);

int class_add(bbs::Host& host, const std::string& name, int64_t days);
// A class that exists gets a new day limit (-1: none).
int class_set(bbs::Host& host, const std::string& name, int64_t days);
// Every class, one line each in name order: name, tab, day limit (-1: none).
int class_list(bbs::Host& host);

// The fields of a game character; those left empty are not touched (set)
// or take their defaults (add).
struct PlayerFields {
    std::string account;   // add only
    std::optional<int64_t> copper, lives, played, level, experience, hit_points, kills,
        alignment, quests, room;
    std::optional<std::string> gender, race, profession, guild, title;
};

int player_add(bbs::Host& host, const std::string& name, const PlayerFields& fields);
int player_show(bbs::Host& host, const std::string& name);
// Changes the given fields of a character in one transaction, so that a
// purchase of the running host is neither lost nor doubled by it.
int player_set(bbs::Host& host, const std::string& name, const PlayerFields& fields);
// Every character, one line each in name order, tab-separated: name,
// user-ID, copper, lives, time played.
int player_list(bbs::Host& host);
int mail_list(bbs::Host& host, const std::string& userid);
int db_list(bbs::Host& host);
// Inserts `count` bare records (the key only) PREFIX00001.. under `tag`:
// a large generic database for load tests of listings.
int db_fill(bbs::Host& host, const std::string& prefix, const std::string& tag, int64_t count);

// A mail body on one line: line breaks as \n, tabs as \t, backslashes doubled.
std::string escape_body(std::string_view body);

}  // namespace app::admin
