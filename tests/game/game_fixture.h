// A host with only the game loaded on a fresh data folder; accounts Alice, Bob, Sysop; characters Alia and Bobo.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "game/game.h"
#include "platform/game.h"
#include "platform/host.h"
#include "tests/bbs/host_fixture.h"

namespace game_tests {

namespace fs = std::filesystem;

// The tests' own add-on and module. What its hooks saw: the first word of each command offered, the channels described,
// SEND_EMAIL_FOR_PURCHASES at the reload; the module the add-on takes a user to, and what its injection routine got.
struct AddonCalls {
    int displays = 0, commands = 0, reloads = 0;
    std::vector<std::string> command_words;
    std::vector<int> described;
    std::string ini_at_reload;
    int module_number = -1;
    std::vector<std::string> injected;
    std::vector<int> injected_channels;
};

inline AddonCalls& calls() {
    static AddonCalls instance;
    return instance;
}

inline void addon_display() { ++calls().displays, prf("  [T] Test extension\r"); }

// Takes the command "t": the user goes into the test module.
inline int32_t addon_command() {
    ++calls().commands;
    calls().command_words.push_back(margc > 0 ? margv[0] : "");
    if (margc > 0 && sameas(margv[0], "t") && calls().module_number >= 0) {
        usrptr->state = calls().module_number, usrptr->substate = 42;
        prf("Inside the test extension.\r");
        outprf(usrnum);
        return 1;
    }
    return 0;
}

inline int32_t addon_describe(int32_t channel) {
    calls().described.push_back(channel);
    prf("Described channel %d.\r", channel);
    return 1;
}

inline void addon_reload() {
    ++calls().reloads;
    const char* value = get_mud_ini_value("SEND_EMAIL_FOR_PURCHASES");
    calls().ini_at_reload = value ? value : "(none)";
}

inline AddonDescriptor test_addon = {3, "Test add-on", addon_display, addon_command, addon_describe, addon_reload};

// The test module: the line "back" hands the user to the game with status 3.
inline int16_t module_logon() { return 0; }
inline int16_t module_input() {
    if (margc > 0 && sameas(margv[0], "back")) {
        usrptr->state = game::Game::instance()->module_number(), usrptr->substate = 0;
        btuinj(usrnum, 3);
    }
    return 1;
}
inline void module_status() { dfsthn(); }
inline int16_t module_injection() {
    calls().injected.push_back(prfbuf);
    calls().injected_channels.push_back(othusn);
    btuxmn(othusn, "[test module] ");
    btuxmn(othusn, prfbuf);
    return 1;
}
inline void module_nothing() {}
inline void module_deleted(const char*) {}

inline ModuleDescriptor test_module = {"Test module", module_logon, module_input, module_status, module_injection,
                                       module_logon, module_nothing, module_nothing, module_deleted, module_nothing};


inline PublicUserInfo make_player(std::string_view name, std::string_view userid, int32_t copper = 5000,
                                  int32_t lives = 3, uint32_t played = 2500) {
    PublicUserInfo info{};  // every byte zero, padding too
    std::memcpy(info.name, name.data(), std::min(name.size(), sizeof info.name - 1));
    std::memcpy(info.userid, userid.data(), std::min(userid.size(), sizeof info.userid - 1));
    std::strcpy(info.race, "Elf");
    std::strcpy(info.profession, "Ranger");
    std::strcpy(info.title, "Keeper of the Woods");
    info.level = 4, info.experience = 1200, info.hit_points = 40, info.kills = 7, info.quests = 2;
    info.gender = 'F', info.copper = copper, info.lives = lives, info.time_played = played;
    return info;
}

class GameHost : public hosttest::HostTest {
protected:
    GameHost() { open_at_setup_ = false; }
    void SetUp() override {
        calls() = AddonCalls{};
        HostTest::SetUp();
        fs::copy_file(fs::path(PLUS_CONFIG_DIR) / "brakvold.ini", dir_ / "brakvold.ini");
        start();
        for (const char* id : {"Alice", "Bob", "Sysop"}) add_account(id);
        add_player(make_player("Alia", "Alice"));
        add_player(make_player("Bobo", "Bob", 300, 8, 100));
    }

    void start() {  // the host opened on the data folder, the game loaded
        open();
        std::string error;
        ASSERT_TRUE(host_->load_module(PLUS_BIN_DIR "/libqrtbrak.so", "init__qrtbrak", &error)) << error;
        ASSERT_NE(game_ = game::Game::instance(), nullptr);
    }
    void restart() {  // the game finishes, and starts again on the same folder
        close();
        ASSERT_EQ(game::Game::instance(), nullptr);
        start();
    }
    void add_player(const PublicUserInfo& info) {
        std::string error;
        ASSERT_TRUE(game_->add_player(info, &error)) << error;
    }
    void install_addon() {  // The test add-on registered with the game, and its module on the host.
        ASSERT_NE(register_mud_addon(&test_addon), 0);
        ASSERT_GE(calls().module_number = register_module(&test_module), 0);
        ASSERT_NE(calls().module_number, game_->module_number());
    }
    void write_ini(std::string_view text) { write("brakvold.ini", std::string(text)); }

    int login(std::string_view userid) {
        int channel = host_->logon(userid);
        EXPECT_GE(channel, 0) << "cannot log on " << userid;
        host_->deliver_all();
        output(channel);
        return channel;
    }
    std::string type(int channel, std::string_view line) {
        host_->line(channel, line);
        host_->deliver_all();
        return output(channel);
    }
    PublicUserInfo player(std::string_view name) {
        auto info = game_->player(name);
        EXPECT_TRUE(info.has_value()) << "no player " << name;
        return info.value_or(PublicUserInfo{});
    }

    game::Game* game_ = nullptr;
};

inline const std::string kAliaPrompt = "\r[Brakvold Alia]: ";
inline const std::string kBoboPrompt = "\r[Brakvold Bobo]: ";
inline const std::string kPlainPrompt = "\r[Brakvold]: ";

}  // namespace game_tests
