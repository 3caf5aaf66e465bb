// The game's inner state, shared by the files of the game library.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "game/game.h"
#include "game/game_log.h"
#include "game/ini_settings.h"
#include "game/store.h"
#include "platform/host.h"

namespace game {

inline constexpr const char* kDataFile = "brakvold.db";
inline constexpr const char* kIniFile = "brakvold.ini";
inline constexpr const char* kLogFile = "brakvold.log";
inline constexpr const char* kMailSender = GAME_MODULE_NAME;

struct Game::Impl {
    Impl(std::unique_ptr<Store> s, std::filesystem::path ini, std::filesystem::path log_file)
        : store(std::move(s)), ini_path(std::move(ini)), log(std::move(log_file)) {}

    std::unique_ptr<Store> store;
    std::filesystem::path ini_path;
    IniSettings ini;
    GameLog log;
    std::function<void(std::string_view text)> logged;   // Game::on_logged
    Failures failures;
    std::vector<AddonDescriptor*> addons;   // in the order they registered
    int module_number = -1;
    std::set<int> at_extension_prompt;      // channels whose next line picks an extension
    std::set<int> naming;                   // channels asked to name their new character

    void load_ini();                        // reads the file, reports problems in the host log
};

// The state of the running game; null before init__qrtbrak and after the
// game's finish routine.
Game::Impl* current_impl();

// The game's finish routine: destroys the Game; instance() is null after it.
void finish_game();

// The game's routines on the host (logon, input, status, ...).
ModuleDescriptor* module_descriptor();

// Checks a player record before it is stored: name 1..10 printable
// characters (inner blanks allowed), a user-ID of 1..29 characters, and every
// text field terminated inside its width.
bool validate_player(const PublicUserInfo& info, std::string* error);

}  // namespace game
