// A host with only the game loaded on a fresh data folder; accounts Alice, Bob, Sysop; characters Alia and Bobo.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "game/game.h"
#include "platform/game.h"
#include "tests/bbs/host_fixture.h"
#include "tests/game/test_addon.h"

namespace game_tests {

namespace fs = std::filesystem;

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
    // The test add-on registered with the game, and its module on the host.
    void install_addon() {
        ASSERT_NE(register_mud_addon(&test_addon), 0);
        ASSERT_GE(calls().module_number = register_module(&test_module), 0);
        ASSERT_NE(calls().module_number, game_->module_number());
    }
    void write_ini(std::string_view text) { write("brakvold.ini", std::string(text)); }

    int login(std::string_view userid) {
        int channel = host_->logon(userid);
        EXPECT_GE(channel, 0) << "cannot log on " << userid;
        host_->deliver_all();
        host_->take_output(channel);
        return channel;
    }
    std::string type(int channel, std::string_view line) {
        host_->line(channel, line);
        host_->deliver_all();
        return host_->take_output(channel);
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
