// The stand-in Brakvold game: a module on the host with players, copper,
// lives, mail, an ini file and a log, and the add-on interface of
// platform/game.h. Tests and the admin commands reach it through Game.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/game.h"

extern "C" void init__qrtbrak(void);   // the game's entry point on the host

namespace game {

struct Mail {
    std::string from;
    std::string to;
    std::string subject;
    std::string body;
};

// Switches that make the game's add-on services fail, for tests.
struct Failures {
    bool register_addon = false;
    bool retrieve = false;         // both retrieve_public_* answer "no such player"
    bool adjust_wealth = false;
    bool return_wealth = false;
    bool add_life = false;
    bool send_mail = false;
    bool ini_lookup = false;       // get_mud_ini_value answers "no such key"
    bool log = false;              // BKLog writes nothing
};

class Game {
public:
    // The game of the running host; null before init__qrtbrak.
    static Game* instance();

    // Players: name (1..10 characters, unique ignoring case) and account.
    bool add_player(const PublicUserInfo& info, std::string* error);
    // A new character of the game's defaults, named `name`, for the account
    // `userid`: a male human adventurer of level 1 with 20 hit points, 3
    // lives and kStartingCopper copper. False with *error when the name or
    // the user-ID does not fit its field.
    static bool default_character(std::string_view name, std::string_view userid, PublicUserInfo* info,
                                  std::string* error);
    static constexpr int32_t kStartingCopper = 1000;
    bool update_player(const PublicUserInfo& info, std::string* error);   // by name
    std::optional<PublicUserInfo> player(std::string_view name);          // ignoring case
    std::optional<PublicUserInfo> player_of_account(std::string_view userid);
    std::vector<PublicUserInfo> players();
    // The accounts whose characters this process added or changed since the
    // last take; nullopt when any may have (see Store::take_changed_accounts).
    std::optional<std::vector<std::string>> take_changed_accounts();

    std::vector<Mail> mail_for(std::string_view userid);   // oldest first
    const std::filesystem::path& log_path() const;
    std::string read_log() const;
    // `logged` hears every text that goes into the game log, once it stands
    // (a line about a charge: once its call has committed); null: nobody.
    void on_logged(std::function<void(std::string_view text)> logged);

    // Re-reads brakvold.ini and calls every add-on's ini reload hook.
    void reload_ini();
    Failures& failures();

    int module_number() const;
    std::string prompt() const;      // the game prompt, ends with "]: "
    // The prompt of the user at `channel` (prompt() is that of usrnum):
    // "\r[Brakvold NAME]: " for a player, "\r[Brakvold]: " without a character.
    std::string prompt_for(int channel) const;

    struct Impl;
private:
    Impl* impl_ = nullptr;
    friend void ::init__qrtbrak(void);
};

}  // namespace game
