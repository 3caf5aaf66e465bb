// The data folder: a fresh one with the demo population, its private files
// kept private, and the fixed text fields of the records it holds.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace app {

// Creates `dir` (which must not exist yet, or be an empty folder) from the files of `config_dir`
// with the demo population (app/population.h), open sign-up
// (app/signup.h) and empty MSSP settings (app/mssp_settings.h). On failure the half-made folder is removed and *error
// says why.
bool create_data_folder(const std::filesystem::path& dir, const std::filesystem::path& config_dir,
                        int channels, std::string* error);

// The same without users: the classes Member and Sysop only, sign-up
// closed (bbshost init; the first sysop is added afterwards). `dir` may
// also be an empty folder.
bool create_bare_data_folder(const std::filesystem::path& dir,
                             const std::filesystem::path& config_dir, int channels,
                             std::string* error);

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
