// A fresh data folder: the config sources copied in, and a small demo
// population of classes, accounts and game characters.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/game.h"

namespace app {

// The demo population (also listed in the README):
//   classes  Member (365 days limit), Sysop (no day limit)
//   accounts Sysop/sysop  class Sysop, key SYSOP, 100000 credits
//            Alice/alice, Bob/bob, Carol/carol  class Member, 5000 credits, 30 days
//   players  Alia (Alice), Bobo (Bob), Cara (Carol)
//
// Creates `dir` (which must not exist yet, or be an empty folder; mode
// 0700) from the files of `config_dir`, then opens a host on it, loads the
// game and the module and adds the demo population. On failure what was
// made is removed and *error says why.
bool create_data_folder(const std::filesystem::path& dir, const std::filesystem::path& config_dir,
                        int channels, std::string* error);

// The same without the demo population: the classes Member (365 days
// limit) and Sysop (no day limit), no accounts, no characters.
bool create_bare_data_folder(const std::filesystem::path& dir, const std::filesystem::path& config_dir,
                             int channels, std::string* error);

// The files of a data folder that hold secrets or users' doings: the
// database (password hashes) with its WAL and shared-memory files, and the
// two logs.
inline constexpr const char* kPrivateFiles[] = {"bbs.db", "bbs.db-wal", "bbs.db-shm", "bbshost.log",
                                                "brakvold.log"};

// Makes the data folder the owner's alone: the folder 0700 and the
// private files that exist 0600 (group and other permissions taken off;
// symbolic links are left alone). False with *error naming what could not
// be changed.
bool secure_data_folder(const std::filesystem::path& dir, std::string* error);

// Copies `value` into a fixed text field of `size` bytes (terminator
// included). False with *error naming `what` when it does not fit.
bool set_text_field(char* field, std::size_t size, std::string_view value, std::string_view what,
                    std::string* error);

}  // namespace app
