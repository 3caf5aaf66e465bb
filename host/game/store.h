// The game's data (SQLite): players and in-game mail. Nothing is cached
// here; every change goes straight to the database.
//
// On a host the tables live in the host's own database file, on the host's
// connection (Store::share), so that a purchase's copper and life are in the
// same transaction as the credits, days and records of the host call that
// makes it. Store::open keeps them in a file of their own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/sqlite.h"
#include "game/game.h"

namespace game {

class Store {
public:
    // Opens or creates the file and its tables. Null with *error on failure.
    static std::unique_ptr<Store> open(const std::string& file, std::string* error);
    // Keeps the tables on a connection that somebody else owns, and that
    // hears of every statement that fails for a reason of the database.
    // `where` names it in errors.
    static std::unique_ptr<Store> share(bbs::sql::Connection& db, std::string where, std::string* error);
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
    // The accounts whose characters were added or changed through this store
    // since the last take (an account a character moved away from counts),
    // or nullopt when any may have: another connection committed to the
    // database meanwhile, the list grew past kChangesKept untaken, or it is
    // the first take.
    std::optional<std::vector<std::string>> take_changed_accounts();
    static constexpr std::size_t kChangesKept = 256;

    // Mail, kept in the order it was sent.
    bool insert_mail(const Mail& mail, std::string* error);
    std::vector<Mail> mail_for(std::string_view userid);

    const std::string& file() const { return file_; }

private:
    Store(bbs::sql::Connection& db, std::string file, std::unique_ptr<bbs::sql::Connection> owned);
    std::optional<PublicUserInfo> find_one(bbs::sql::Statement& kept, const char* where, std::string_view value);
    std::string sqlite_error(std::string_view doing) const;
    void changed(std::string_view userid);

    std::unique_ptr<bbs::sql::Connection> owned_;  // a file of its own; null when shared
    bbs::sql::Connection& db_;
    std::string file_;
    // Kept: find_player, find_player_of_account, update_player.
    bbs::sql::Statement by_name_, by_account_, update_;
    bbs::sql::DataVersion data_version_;
    std::vector<std::string> changed_;
    bool all_changed_ = true;
};

}  // namespace game
