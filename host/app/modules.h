// Where the program finds its libraries and config sources, and the loading
// of the game and the Brakvold Plus module into a host.
#pragma once

#include <filesystem>
#include <string>

namespace bbs {
class Host;
}

namespace app {

// The folder that holds the running bbshost (from /proc/self/exe); the
// module libraries are built beside it.
std::filesystem::path program_dir();

// The config/ sources a fresh data folder is made from.
std::filesystem::path default_config_dir();

// Loads libqrtbrak.so (the game) and then libqrtbkpls.so (the add-on) from
// the program's folder. False with the reason in *error.
bool load_modules(bbs::Host& host, std::string* error);
// Only the game, without add-ons (its characters and mail).
bool load_game(bbs::Host& host, std::string* error);

}  // namespace app
