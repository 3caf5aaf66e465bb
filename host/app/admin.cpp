#include "app/admin.h"

#include <pwd.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <system_error>

#include "app/data_folder.h"
#include "app/modules.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "bbs/input.h"
#include "game/game.h"
#include "ssh/keys.h"

namespace app::admin {

namespace fs = std::filesystem;

int bad(const std::string& message) {
    std::cerr << "bbshost: " << message << std::endl;
    return kBadInput;
}

int failed(const std::string& message) {
    std::cerr << "bbshost: " << message << std::endl;
    return kFailure;
}

namespace {

bool in_range(const std::optional<int64_t>& value, int64_t low, int64_t high, const char* what,
              std::string* error) {
    if (!value || (*value >= low && *value <= high)) return true;
    *error = std::string(what) + " " + std::to_string(*value) + " is out of range (" +
             std::to_string(low) + ".." + std::to_string(high) + ")";
    return false;
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
    if (change.replace_keys) account.keys = change.keys;
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

std::string keys_or_dash(const std::vector<std::string>& keys) {
    return keys.empty() ? "-" : join(keys);
}

// Seconds since 1970 as YYYY-MM-DDTHH:MM:SSZ (UTC).
std::string utc_time(int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!gmtime_r(&when, &utc)) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A write transaction (BEGIN IMMEDIATE) on the host's connection for a
// command that reads a row and writes it back: the running host's calls
// wait for it (and retry), so nothing they commit comes in between. Rolled
// back unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(bbs::Database& database) : db_(database.connection().handle()) {
        open_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!open_) error_ = sqlite3_errmsg(db_);
    }
    ~WriteTransaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // False with *error when it could not begin.
    bool begun(std::string* error) const {
        if (!open_) *error = "the database stays locked: " + error_;
        return open_;
    }
    bool commit(std::string* error) {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            open_ = false;
            return true;
        }
        *error = std::string("cannot commit: ") + sqlite3_errmsg(db_);
        return false;
    }

private:
    sqlite3* db_;
    bool open_ = false;
    std::string error_;
};

// Checks the given fields of a character and applies them to `info`.
bool apply_player(const PlayerFields& f, PublicUserInfo& info, std::string* error) {
    constexpr int64_t i32min = std::numeric_limits<int32_t>::min();
    constexpr int64_t i32max = std::numeric_limits<int32_t>::max();
    if (!in_range(f.copper, 0, i32max, "copper", error) ||
        !in_range(f.lives, 0, i32max, "lives", error) ||
        !in_range(f.played, 0, std::numeric_limits<uint32_t>::max(), "played", error) ||
        !in_range(f.level, i32min, i32max, "level", error) ||
        !in_range(f.experience, i32min, i32max, "experience", error) ||
        !in_range(f.hit_points, i32min, i32max, "hit points", error) ||
        !in_range(f.kills, i32min, i32max, "kills", error) ||
        !in_range(f.alignment, 0, 255, "alignment", error) ||
        !in_range(f.quests, i32min, i32max, "quests", error) ||
        !in_range(f.room, i32min, i32max, "room", error))
        return false;
    struct Text {
        const std::optional<std::string>& value;
        char* field;
        std::size_t size;
        const char* what;
    };
    const Text texts[] = {{f.race, info.race, sizeof info.race, "race"},
                          {f.profession, info.profession, sizeof info.profession, "profession"},
                          {f.guild, info.guild, sizeof info.guild, "guild"},
                          {f.title, info.title, sizeof info.title, "title"}};
    for (const auto& t : texts)
        if (t.value && !set_text_field(t.field, t.size, *t.value, t.what, error)) return false;
    if (f.gender) {
        const std::string& g = *f.gender;
        const int letter = g.size() == 1 ? std::toupper(static_cast<unsigned char>(g[0])) : 0;
        if (letter != 'M' && letter != 'F') {
            *error = "gender \"" + g + "\" must be M or F";
            return false;
        }
        info.gender = static_cast<uint8_t>(letter);
    }
    if (f.copper) info.copper = static_cast<int32_t>(*f.copper);
    if (f.lives) info.lives = static_cast<int32_t>(*f.lives);
    if (f.played) info.time_played = static_cast<uint32_t>(*f.played);
    if (f.level) info.level = static_cast<int32_t>(*f.level);
    if (f.experience) info.experience = static_cast<int32_t>(*f.experience);
    if (f.hit_points) info.hit_points = static_cast<int32_t>(*f.hit_points);
    if (f.kills) info.kills = static_cast<int32_t>(*f.kills);
    if (f.alignment) info.alignment = static_cast<uint8_t>(*f.alignment);
    if (f.quests) info.quests = static_cast<int32_t>(*f.quests);
    if (f.room) info.room = static_cast<int32_t>(*f.room);
    return true;
}

}  // namespace

bool run_as_folder_owner(const fs::path& data_dir, std::string* error) {
    struct stat folder {};
    if (::geteuid() != 0 || ::stat(data_dir.c_str(), &folder) != 0 || folder.st_uid == 0) return true;
    const passwd* owner = ::getpwuid(folder.st_uid);
    const std::string name = owner ? owner->pw_name : std::to_string(folder.st_uid);
    *error = "data folder " + data_dir.string() + " belongs to " + name + ": run bbshost as " + name +
             " (runuser -u " + name + " -- bbshost ...), not as root";
    return false;
}

int with_host(const fs::path& data_dir, int channels, Needs needs,
              const std::function<int(bbs::Host&)>& work) {
    std::error_code ec;
    if (!fs::is_directory(data_dir, ec))
        return bad("data folder " + data_dir.string() + " does not exist");
    bbs::HostOptions options;
    options.data_dir = fs::absolute(data_dir, ec);
    options.channels = channels;
    // An admin command has time: it waits for a host call that holds the
    // database rather than fail.
    options.busy_timeout = std::chrono::seconds(5);
    std::string error;
    if (!secure_data_folder(options.data_dir, &error)) std::cerr << "bbshost: warning: " << error << std::endl;
    auto host = bbs::Host::open(options, &error);
    if (!host) return failed("cannot open data folder " + data_dir.string() + ": " + error);
    if (needs == Needs::game && !load_game(*host, &error)) return failed(error);
    if (needs == Needs::modules && !load_modules(*host, &error)) return failed(error);
    return work(*host);
}

namespace {

// Terminal echo off for as long as it lives.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        on_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (on_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool on_ = false;
};

bool read_line(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

}  // namespace

bool read_password(std::string* password, std::string* error) {
    if (!::isatty(STDIN_FILENO)) {
        if (read_line(password) && !password->empty()) return true;
        *error = "no password on standard input (give it as one line, e.g. from a file or a pipe)";
        return false;
    }
    std::string again;
    {
        EchoOff quiet(STDIN_FILENO);
        std::cerr << "Password: " << std::flush;
        const bool got = read_line(password);
        std::cerr << "Password again: " << std::flush;
        if (!got || !read_line(&again)) {
            *error = "no password typed";
            return false;
        }
    }
    if (*password != again) {
        *error = "the two passwords differ";
        return false;
    }
    if (password->empty()) {
        *error = "the password must not be empty";
        return false;
    }
    return true;
}

int user_add(bbs::Host& host, const std::string& userid, const std::string& password,
             const AccountChange& change) {
    if (password.empty()) return bad("the password must not be empty");
    if (host.accounts().find(userid)) return bad("user \"" + userid + "\" exists already");
    bbs::AccountInfo account;
    account.userid = userid;
    account.class_name = "Member";
    std::string error;
    AccountChange with_class = change;
    if (!with_class.class_name) with_class.class_name = "Member";
    if (!apply(host, with_class, account, &error)) return bad(error);
    if (!host.accounts().add(account, password, &error))
        return bad("cannot add user \"" + userid + "\": " + error);
    host.log("admin: user " + userid + " added");
    std::cout << "added user " << userid << std::endl;
    return kOk;
}

int user_show(bbs::Host& host, const std::string& userid) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
    std::cout << "credits=" << account->credits << " days=" << account->days
              << " class=" << account->class_name << " keys=" << join(account->keys) << std::endl;
    return kOk;
}

int user_list(bbs::Host& host) {
    for (const auto& a : host.accounts().all())
        std::cout << a.userid << '\t' << a.class_name << '\t' << a.credits << '\t' << a.days << '\t'
                  << keys_or_dash(a.keys) << '\t' << (a.last_logon ? utc_time(*a.last_logon) : "never")
                  << '\n';
    std::cout.flush();
    return kOk;
}

int user_passwd(bbs::Host& host, const std::string& userid) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
    std::string password, error;
    if (!read_password(&password, &error)) return bad(error);
    if (password.empty()) return bad("the password must not be empty");
    if (!host.accounts().set_password(account->userid, password, &error))
        return failed("cannot change the password of \"" + account->userid + "\": " + error);
    host.log("admin: password of user " + account->userid + " changed");
    std::cout << "changed the password of user " << account->userid << std::endl;
    return kOk;
}

int user_set(bbs::Host& host, const std::string& userid, const AccountChange& change) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
    std::string error;
    if (!apply(host, change, *account, &error)) return bad(error);
    // Only the fields given are written: the running host may change the
    // others (credits, days) at any moment.
    bbs::AccountUpdate update;
    if (change.class_name) update.class_name = account->class_name;
    if (change.credits) update.credits = account->credits;
    if (change.days) update.days = account->days;
    if (change.replace_keys) update.keys = account->keys;
    if (!host.accounts().change(account->userid, update, &error))
        return failed("cannot update user \"" + userid + "\": " + error);
    host.log("admin: user " + account->userid + " changed");
    std::cout << "updated user " << account->userid << std::endl;
    return kOk;
}

int user_delete(bbs::Host& host, const std::string& userid) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
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

int key_add(bbs::Host& host, const std::string& userid, const fs::path& file) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
    std::ifstream in(file);
    if (!in) return bad("cannot read " + file.string() + ": " + std::strerror(errno));
    // The first line that is neither blank nor a comment; a .pub file has one.
    std::string line;
    constexpr std::size_t kMaxLine = 16 * 1024;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && line[first] != '#') break;
        line.clear();
    }
    if (line.empty()) return bad(file.string() + " holds no public key line");
    if (line.size() > kMaxLine) return bad(file.string() + ": the key line is too long to be a public key");
    ssh::PublicKeyLine parsed;
    try {
        parsed = ssh::parse_public_key_line(line);
    } catch (const std::exception& e) {
        return bad(file.string() + ": " + e.what());
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

int key_list(bbs::Host& host, const std::string& userid) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
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

int key_remove(bbs::Host& host, const std::string& userid, int64_t number) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
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

int class_add(bbs::Host& host, const std::string& name, int64_t days) {
    std::string error;
    if (!in_range(days, -1, std::numeric_limits<int16_t>::max(), "days", &error)) return bad(error);
    if (name.empty() || name.size() >= HOST_CLSSIZ)
        return bad("class name \"" + name + "\" must have 1 to " + std::to_string(HOST_CLSSIZ - 1) +
                   " characters");
    if (!host.database().put_class(name, static_cast<int16_t>(days), &error))
        return failed("cannot add class \"" + name + "\": " + error);
    host.log("admin: class " + name + " added");
    std::cout << "added class " << name << std::endl;
    return kOk;
}

int class_set(bbs::Host& host, const std::string& name, int64_t days) {
    if (!host.database().class_days(name)) return bad("no class named \"" + name + "\" (add it with: class add)");
    std::string error;
    if (!in_range(days, -1, std::numeric_limits<int16_t>::max(), "days", &error)) return bad(error);
    if (!host.database().put_class(name, static_cast<int16_t>(days), &error))
        return failed("cannot change class \"" + name + "\": " + error);
    host.log("admin: class " + name + " changed");
    std::cout << "updated class " << name << std::endl;
    return kOk;
}

int class_list(bbs::Host& host) {
    // The class database in key order, as a module walks it.
    HostClass record{};
    HostClass key{};
    auto* file = host.database().classes();
    for (int16_t found = bbs::datafile::acquire(file, &record, &key, 0, DFA_GREATER_EQUAL); found;
         found = bbs::datafile::acquire(file, &record, &key, 0, DFA_GREATER)) {
        std::cout << std::string(record.name, strnlen(record.name, sizeof record.name)) << '\t'
                  << record.days << '\n';
        key = record;
    }
    std::cout.flush();
    return kOk;
}

int player_add(bbs::Host& host, const std::string& name, const PlayerFields& f) {
    auto account = host.accounts().find(f.account);
    if (!account) return bad("no user \"" + f.account + "\" to play " + name);
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");

    std::string error;
    PublicUserInfo info{};
    if (!set_text_field(info.userid, sizeof info.userid, account->userid, "user-ID", &error) ||
        !set_text_field(info.name, sizeof info.name, name, "player name", &error) ||
        !set_text_field(info.race, sizeof info.race, "Human", "race", &error) ||
        !set_text_field(info.profession, sizeof info.profession, "Adventurer", "profession", &error))
        return bad(error);
    info.gender = 'M';
    info.lives = 3;
    info.level = 1;
    info.hit_points = 20;
    info.alignment = 50;
    info.room = 1;
    if (!apply_player(f, info, &error)) return bad(error);
    if (!game->add_player(info, &error)) return bad("cannot add player \"" + name + "\": " + error);
    host.log("admin: player " + name + " added for " + account->userid);
    std::cout << "added player " << name << std::endl;
    return kOk;
}

int player_show(bbs::Host&, const std::string& name) {
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    auto player = game->player(name);
    if (!player) return bad("no player \"" + name + "\"");
    std::cout << "copper=" << player->copper << " lives=" << player->lives
              << " played=" << player->time_played << std::endl;
    return kOk;
}

int player_set(bbs::Host& host, const std::string& name, const PlayerFields& f) {
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    std::string error;
    WriteTransaction transaction(host.database());
    if (!transaction.begun(&error)) return failed("cannot change player \"" + name + "\": " + error);
    auto player = game->player(name);
    if (!player) return bad("no player \"" + name + "\"");
    if (!apply_player(f, *player, &error)) return bad(error);
    if (!game->update_player(*player, &error) || !transaction.commit(&error))
        return failed("cannot change player \"" + name + "\": " + error);
    const std::string stored(player->name, strnlen(player->name, sizeof player->name));
    host.log("admin: player " + stored + " changed");
    std::cout << "updated player " << stored << std::endl;
    return kOk;
}

int player_list(bbs::Host&) {
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    auto players = game->players();
    auto text = [](const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); };
    std::sort(players.begin(), players.end(), [&](const PublicUserInfo& a, const PublicUserInfo& b) {
        return strcasecmp(a.name, b.name) < 0;
    });
    for (const auto& p : players)
        std::cout << text(p.name, sizeof p.name) << '\t' << text(p.userid, sizeof p.userid) << '\t'
                  << p.copper << '\t' << p.lives << '\t' << p.time_played << '\n';
    std::cout.flush();
    return kOk;
}

std::string escape_body(std::string_view body) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r') {
            out += "\\n";
            if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

int mail_list(bbs::Host& host, const std::string& userid) {
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\"");
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    for (const auto& mail : game->mail_for(account->userid)) {
        std::cout << escape_body(mail.from) << '\t' << escape_body(mail.subject) << '\t'
                  << escape_body(mail.body) << '\n';
    }
    std::cout.flush();
    return kOk;
}

int db_list(bbs::Host& host) {
    for (const auto& entry : host.database().generic_entries())
        std::cout << entry.userid << '\t' << entry.tag << '\n';
    std::cout.flush();
    return kOk;
}

int db_fill(bbs::Host& host, const std::string& prefix, const std::string& tag, int64_t count) {
    std::string error;
    if (!in_range(count, 1, 1000000, "count", &error)) return bad(error);
    if (prefix.empty() || prefix.size() + 7 >= HOST_UIDSIZ)
        return bad("prefix \"" + prefix + "\" must have 1 to " + std::to_string(HOST_UIDSIZ - 8) +
                   " characters");
    if (tag.empty() || tag.size() >= HOST_TAGSIZ)
        return bad("tag \"" + tag + "\" must have 1 to " + std::to_string(HOST_TAGSIZ - 1) +
                   " characters");
    bool ok = host.database().batch([&] {
        for (int64_t i = 1; i <= count; ++i) {
            GenericRecordKey key{};
            char userid[HOST_UIDSIZ];
            std::snprintf(userid, sizeof userid, "%s%05lld", prefix.c_str(), static_cast<long long>(i));
            std::memcpy(key.userid, userid, std::strlen(userid));
            std::memcpy(key.tag, tag.data(), tag.size());
            if (!host.database().insert_generic(&key, sizeof key, &error)) return false;
        }
        return true;
    });
    if (!ok) return failed("cannot fill the generic database: " + error);
    std::cout << "inserted " << count << " records" << std::endl;
    return kOk;
}

}  // namespace app::admin
