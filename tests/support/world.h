// A whole host for one test (and each fuzz input): a fresh data folder made from config/, the game and
// Brakvold Plus loaded, users logged on at channels, and ways to read everything the test checks.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/population.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "game/game.h"
#include "tests/support/capturing_front_end.h"

namespace testing_support {

// Where World reports what went wrong: a GoogleTest failure unless a program
// without tests (the fuzz programs) sets its own.
inline void (*on_failure)(const std::string& what) = nullptr;

// An account and his character (none while player_name is empty), with the
// defaults the suites count on: class Member, 10000 credits, 30 days,
// password "secret"; a human fighter, the Wanderer, with 5000 copper and 3 lives.
struct UserSpec : app::Account {
    UserSpec();
};

class World {
public:
    // Makes the data folder (fresh, in $TMPDIR or /tmp) from config/. Nothing runs until start().
    World();
    ~World(); // host closed, data folder removed

    // ---- before start() ------------------------------------------------------
    // Replaces the text of option or message NAME in QRTBKPLS.MSG, written between the braces as it is
    // (source escapes apply).
    void set_option(std::string_view name, std::string_view value);
    // Sets KEY=VALUE in brakvold.ini (section as the game reads it).
    void set_ini(std::string_view key, std::string_view value);
    void remove_ini(std::string_view key);
    // Writes a tcplibm.msg with an option SUBBBS of this value (none: file without the option).
    void write_tcplibm(std::optional<std::string> subbbs);
    void remove_message_file(); // deletes QRTBKPLS.MSG and any .MCV
    void add_class(std::string_view name, int16_t days);
    void add_user(const UserSpec& user); // account, and the character when named
    // Classes "Member" (days 365) and "Sysop" (-1), users Sysop (key SYSOP, no character) and
    // players Alice/Alia, Bob/Bobo, Carol/Cara exist unless this is called first.
    void no_default_population();
    int channels = 8;
    bool game_refuses_addon = false;  // the game turns Brakvold Plus's registration down

    // ---- start and run -------------------------------------------------------
    // Opens the host, loads the game and the module. False when the host stopped (see stop_reason()).
    bool start();
    bbs::Host& host();
    CapturingFrontEnd& front_end();  // the host's, from start() on
    game::Game& game();
    std::string stop_reason() const;
    const std::filesystem::path& dir() const;

    // Logs the user on; returns his channel. The logon output is discarded.
    int login(std::string_view userid);
    // Types a line, delivers every queued status, returns what the channel got.
    std::string type(int channel, std::string_view line);
    // Types a line without delivering statuses.
    std::string type_only(int channel, std::string_view line);
    // Enters the module from the game: "ext" then "*". Returns the output of "*".
    std::string enter(int channel);
    std::string output(int channel); // what the channel got since the last take
    void deliver_all();

    // ---- reading state ---------------------------------------------------------
    std::string host_log() const;
    std::string game_log() const;
    std::vector<game::Mail> mail_for(std::string_view userid);
    std::optional<bbs::AccountInfo> account(std::string_view userid);
    std::optional<PublicUserInfo> player(std::string_view name);
    std::vector<bbs::Database::Entry> records(); // generic database, key order
    HostUser* user(int channel);                 // usroff

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The bytes for a failure message: control bytes and what is not UTF-8 as \xHH.
std::string escape_visible(std::string_view bytes);

} // namespace testing_support
