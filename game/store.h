// The game's own data file (SQLite): players and in-game mail. Every change
// is written at once; nothing is cached here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "game/game.h"

struct sqlite3;

namespace game {

class Store {
public:
    // Opens or creates the file and its tables. Null with *error on failure.
    static std::unique_ptr<Store> open(const std::string& file, std::string* error);
    ~Store();

    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Players. Names are unique ignoring case, and so are the accounts that
    // play them (one character per account).
    bool insert_player(const PublicUserInfo& info, std::string* error);
    bool update_player(const PublicUserInfo& info, std::string* error);  // by name
    std::optional<PublicUserInfo> find_player(std::string_view name);
    std::optional<PublicUserInfo> find_player_of_account(std::string_view userid);
    std::vector<PublicUserInfo> all_players();

    // Mail, kept in the order it was sent.
    bool insert_mail(const Mail& mail, std::string* error);
    std::vector<Mail> mail_for(std::string_view userid);

    const std::string& file() const { return file_; }

private:
    Store(sqlite3* db, std::string file) : db_(db), file_(std::move(file)) {}
    std::optional<PublicUserInfo> find_one(const char* where, std::string_view value);
    std::string sqlite_error(std::string_view doing) const;

    sqlite3* db_;
    std::string file_;
};

}  // namespace game
