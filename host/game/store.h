// The game's data (SQLite): players and in-game mail. Nothing is cached
// here; every change goes straight to the database.
//
// On a host the tables live in the host's own database file, on the host's
// connection (Store::share), so that a purchase's copper and life are in the
// same transaction as the credits, days and records of the host call that
// makes it. Store::open keeps them in a file of their own.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "game/game.h"

struct sqlite3;
struct sqlite3_stmt;

namespace game {

class Store {
public:
    // Opens or creates the file and its tables. Null with *error on failure.
    static std::unique_ptr<Store> open(const std::string& file, std::string* error);
    // Keeps the tables on a connection that somebody else owns (and
    // closes); `report` hears of every statement that fails for a reason of
    // the database. `where` names it in errors.
    static std::unique_ptr<Store> share(sqlite3* db, std::string where,
                                        std::function<void(const std::string&)> report,
                                        std::string* error);
    ~Store();

    // Takes the players and mail of a data file of the game's own (as
    // Store::open made it) into this store, then renames that file to
    // FILE.imported. Players already here are kept.
    bool import_file(const std::filesystem::path& file, std::string* error);

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
    Store(sqlite3* db, std::string file, bool owned) : db_(db), file_(std::move(file)), owned_(owned) {}
    std::optional<PublicUserInfo> find_one(sqlite3_stmt** kept, const char* where, std::string_view value);
    std::string sqlite_error(std::string_view doing) const;
    void failed(std::string_view doing) const;   // tells `report_`
    bool exec(const char* sql, std::string* error);

    sqlite3* db_;
    std::string file_;
    bool owned_;
    std::function<void(const std::string&)> report_;
    sqlite3_stmt* by_name_ = nullptr;      // kept: find_player
    sqlite3_stmt* by_account_ = nullptr;   // kept: find_player_of_account
};

}  // namespace game
