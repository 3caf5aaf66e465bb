// Who and what a data folder holds besides its config: classes, accounts
// with the game characters they play, and generic records; and the one way
// to make a data folder and fill it, used by bbshost for its demo folder and
// by the tests, the fuzz programs and the benchmarks for theirs.
//
//     Population people = app::demo_population();
//     people.accounts.push_back({.userid = "Dave", .credits = 50, .player_name = "Davo"});
//     app::create_data_folder(dir, app::default_config_dir(), 8, people, &error);
//
// A test that edits the config files before the host starts makes the
// folder with copy_config and fills it with open_populated later.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/game.h"

namespace bbs {
class Database;
class Host;
}

namespace app {

// An account and, when player_name is not empty, the game character he
// plays. The defaults are those of `bbshost user add` and `player add`.
struct Account {
    std::string userid;
    std::string password = "secret";
    std::string class_name = "Member";
    int64_t credits = 0;
    uint16_t days = 0;
    std::vector<std::string> keys{};
    std::string player_name{};  // 1..10 characters; empty: no character
    std::string race = "Human", profession = "Adventurer", guild{}, title{};
    int32_t level = 1, experience = 0, hit_points = 20, kills = 0;
    uint8_t alignment = 50;
    char gender = 'M';  // M or F
    int32_t quests = 0, room = 1;
    uint32_t time_played = 0;
    int32_t lives = 3, copper = 0;
};

struct AccountClass {
    std::string name;
    int16_t days;  // the class's day limit; -1: none
};

// `count` generic records, number i being record(i) (its key first), added
// in one transaction in that order: key order makes record i the i+1-th row.
struct GeneratedRecords {
    size_t count = 0;
    std::function<std::string(size_t)> record{};
};

struct Population {
    std::string name = "a population";  // for the host log: "data folder created with NAME"
    std::vector<AccountClass> classes;
    std::vector<Account> accounts;
    GeneratedRecords records;
};

// The demo population of a new bbshost data folder (listed in the README):
//   classes  Member (365 days limit), Sysop (no day limit)
//   accounts Sysop/sysop  class Sysop, key SYSOP, 100000 credits
//            Alice/alice, Bob/bob, Carol/carol  class Member, 5000 credits, 30 days
//   players  Alia (Alice), Bobo (Bob), Cara (Carol)
Population demo_population();

// The game's record of the account's character. False with *error naming
// the text that does not fit its field.
bool character_info(const Account& account, PublicUserInfo* info, std::string* error);

// Adds the population to an open host: its classes, accounts and generic
// records, then the characters, which the game (loaded already when any
// account has one) keeps. False with *error naming the first thing that
// could not be added.
bool populate(bbs::Host& host, const Population& population, std::string* error);

// Adds the generated records to a database in one transaction. False with
// *error naming the record that could not be added.
bool add_records(bbs::Database& database, const GeneratedRecords& records, std::string* error);

// Makes `dir` (which must not exist, or be empty; the owner's alone) with the files of
// `config_dir`, compiled message files left out: the host compiles them
// from their sources. False with *error; nothing is left then.
bool copy_config(const std::filesystem::path& dir, const std::filesystem::path& config_dir,
                 std::string* error);

// A host with `channels` channels on an existing data folder, with the game
// and Brakvold Plus loaded as bbshost loads them. Null with *error.
std::unique_ptr<bbs::Host> open_host(const std::filesystem::path& dir, int channels,
                                     std::string* error);

// A host on a folder copy_config made: the game loaded, the population
// added, then Brakvold Plus loaded, so that the characters are there before
// the add-on starts, as on a host that has been running. Null with *error
// when the host, a module or the population failed.
std::unique_ptr<bbs::Host> open_populated(const std::filesystem::path& dir, int channels,
                                          const Population& population, std::string* error);

// copy_config, open_populated and the host closed again (every module's
// finish routine run, the database closed), the folder made private. On
// failure the half-made folder is removed and *error says why.
bool create_data_folder(const std::filesystem::path& dir, const std::filesystem::path& config_dir,
                        int channels, const Population& population, std::string* error);

}  // namespace app
