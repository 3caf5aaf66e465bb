// What the fuzz programs share: findings, inputs cut into pieces, scratch
// folders, and the host they drive (a fresh data folder from config/, the
// stand-in game and Brakvold Plus loaded into a bbs::Host, and a fixed
// population). Everything here is built for both the libFuzzer programs
// (clang) and the corpus replay programs (any compiler). Every program
// linking it keeps the game and the module libraries loaded from its start
// (LLVMFuzzerInitialize): libFuzzer's coverage counters of a library must
// outlive every input, although every FuzzWorld loads and unloads them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/host.h"
#include "bbs/text.h"
#include "game/game.h"

namespace plusfuzz {

// A finding: says what went wrong on stderr and aborts, so that libFuzzer
// keeps the input and a replay run fails.
[[noreturn]] void fail(const std::string& what);
// Printed with every finding: where the program was (e.g. the step).
std::string& fail_context();
// Bytes for a finding's message: control bytes and what is no UTF-8 as \xHH.
inline std::string shown(std::string_view bytes) { return bbs::escaped_for_log(bytes); }

// The bytes in pieces of 1..longest bytes, their lengths drawn from a small
// generator seeded by `seed`.
std::vector<std::string_view> cut(std::string_view bytes, uint8_t seed, size_t longest = 64);

// A fresh folder for scratch files, under /dev/shm when the machine has it;
// removed at exit (or by fail()) unless its owner removes it first.
std::filesystem::path make_scratch_dir(const char* prefix);

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
// Erin/Eris (a sysop who plays). Password "secret".
const std::vector<Person>& people();

class FuzzWorld {
public:
    // A host with `channels` channels; a finding when it cannot start.
    explicit FuzzWorld(int channels);
    ~FuzzWorld();  // host closed, data folder removed
    FuzzWorld(const FuzzWorld&) = delete;
    FuzzWorld& operator=(const FuzzWorld&) = delete;

    bbs::Host& host() { return *host_; }
    game::Game& game();
    int plus_module() const { return plus_module_; }
    int game_module() const { return game_module_; }

    // Replaces the texts (bytes as they are) of entries of QRTBKPLS.MSG in
    // the data folder; Host::reload() then compiles and applies them.
    void set_options(const std::vector<std::pair<std::string, std::string>>& values);
    // Sets the two settings of brakvold.ini (null: the key removed);
    // Game::reload_ini() applies them.
    void write_ini(const char* purchase_mail_userid, const char* send_email_for_purchases);

private:
    std::filesystem::path scratch_, dir_;
    std::unique_ptr<bbs::Host> host_;
    int plus_module_ = -1;
    int game_module_ = -1;
};

}  // namespace plusfuzz
