// Where the program finds its libraries and config sources, and the loading
// of the game and the Brakvold Plus module into a host.
#pragma once

#include <filesystem>
#include <string>

namespace bbs {
class Host;
}

namespace app {

// The folder that holds the running bbshost (from /proc/self/exe).
std::filesystem::path program_dir();

// Where the program finds its files. In the build tree the libraries are
// beside the program and the config sources are config/ of the source
// tree. Installed (PREFIX/bin/bbshost, by make install or the package) they
// are found from the program's own folder: the libraries (and the module's
// catalogue QRTBKPLS.MCT beside it) in PREFIX/lib/brakvold-plus, the config
// templates in PREFIX/share/brakvold-plus/config.
std::filesystem::path library_dir();
// The config sources a fresh data folder is made from.
std::filesystem::path default_config_dir();
// The web terminal's page (PREFIX/share/brakvold-plus/web installed).
std::filesystem::path web_page_dir();

// Loads libqrtbrak.so (the game) and then libqrtbkpls.so (the add-on) from
// library_dir(). False with the reason in *error.
bool load_modules(bbs::Host& host, std::string* error);
// Only the game, without add-ons (its characters and mail).
bool load_game(bbs::Host& host, std::string* error);
// Only Brakvold Plus (the game loaded already).
bool load_plus(bbs::Host& host, std::string* error);

}  // namespace app
