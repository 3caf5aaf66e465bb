// The host the fuzz programs drive: a fresh data folder made from config/,
// the stand-in game and Brakvold Plus loaded into a bbs::Host, and a fixed
// population of accounts and players. Everything here is built for both the
// libFuzzer programs (clang) and the corpus replay programs (any compiler).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/host.h"
#include "bbs/messages.h"
#include "game/game.h"

namespace plusfuzz {

// A finding: says what went wrong on stderr and aborts, so that libFuzzer
// keeps the input and a replay run fails.
[[noreturn]] void fail(const std::string& what);
// Printed with every finding: where the program was (e.g. the step).
std::string& fail_context();

struct Person {
    const char* userid;
    const char* player;      // the character's name; "" for an account without one
    const char* class_name;  // "Guest" is missing from the class database
    int64_t credits;
    uint16_t days;
    bool sysop;              // holds the key SYSKEY names
    int32_t copper;
    int32_t lives;
};

// Sysop (sysop, no character), Alice/Alia (rich), Bob/Bobo (poor, 8 lives),
// Carol/Cara (class missing from the class database), Dave (no character),
// Erin/Eris (a sysop who plays).
const std::vector<Person>& people();

class FuzzWorld {
public:
    // A host with `channels` channels; aborts (fail) when it cannot start.
    explicit FuzzWorld(int channels);
    ~FuzzWorld();  // host closed, data folder removed
    FuzzWorld(const FuzzWorld&) = delete;
    FuzzWorld& operator=(const FuzzWorld&) = delete;

    bbs::Host& host() { return *host_; }
    game::Game& game();
    int plus_module() const { return plus_module_; }
    int game_module() const { return game_module_; }
    const std::filesystem::path& dir() const { return dir_; }

    // Replaces the texts of options of QRTBKPLS.MSG (by entry name) in the
    // source in the data folder; Host::reload() then compiles and applies it.
    void set_options(const std::vector<std::pair<std::string, std::string>>& values);
    // Writes brakvold.ini with these two settings (a key whose value is
    // null is left out); Game::reload_ini() applies it.
    void write_ini(const char* purchase_mail_userid, const char* send_email_for_purchases);

private:
    std::filesystem::path dir_;
    std::unique_ptr<bbs::Host> host_;
    int plus_module_ = -1;
    int game_module_ = -1;
};

// Message source that parses back to exactly `table`: every byte that the
// syntax gives a meaning (backslash, braces, line breaks, control bytes) is
// written as an escape.
std::string message_source_text(const bbs::MessageTable& table);

// Loads the game and the module libraries once for the whole program and
// keeps them loaded, although every FuzzWorld loads and unloads them:
// libFuzzer's coverage counters of a library must outlive every input.
// Programs call it from LLVMFuzzerInitialize; FuzzWorld calls it too.
void keep_libraries_loaded();

// A fresh folder for scratch files, under /dev/shm when the machine has it;
// removed at exit (or by fail()) unless its owner removes it first.
std::filesystem::path make_scratch_dir(const char* prefix);

// Bytes for a finding's message: printable ASCII as it is, the rest \xHH.
std::string shown(std::string_view bytes);

}  // namespace plusfuzz
