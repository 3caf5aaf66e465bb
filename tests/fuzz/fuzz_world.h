// What the fuzz programs share: findings, pieces, scratch folders, and the host with the game and Plus loaded.
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

// A finding: says what went wrong (and fail_context()) on stderr and aborts.
[[noreturn]] void fail(const std::string& what);
std::string& fail_context();
// Bytes for a finding's message: control bytes and what is no UTF-8 as \xHH.
inline std::string shown(std::string_view bytes) { return bbs::escaped_for_log(bytes); }

// The bytes in pieces of 1..longest bytes, their lengths drawn from `seed`.
std::vector<std::string_view> cut(std::string_view bytes, uint8_t seed, size_t longest = 64);

// A fresh scratch folder, under /dev/shm if there is one; removed at exit or by fail().
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

    // Texts (bytes as they are) of entries of QRTBKPLS.MSG, for Host::reload().
    void set_options(const std::vector<std::pair<std::string, std::string>>& values);
    // The two settings of brakvold.ini (null: removed), for Game::reload_ini().
    void write_ini(const char* purchase_mail_userid, const char* send_email_for_purchases);

private:
    std::filesystem::path scratch_, dir_;
    std::unique_ptr<bbs::Host> host_;
    int plus_module_ = -1;
    int game_module_ = -1;
};

}  // namespace plusfuzz
