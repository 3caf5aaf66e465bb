// A host with only the Brakvold game loaded, on a fresh data folder, with a
// few accounts and characters. Tests type lines and read what each channel
// received, and look at the game's data afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/accounts.h"
#include "bbs/host.h"
#include "game/game.h"
#include "platform/game.h"
#include "platform/host.h"
#include "tests/game/test_addon.h"

namespace game_tests {

namespace fs = std::filesystem;

inline PublicUserInfo make_player(std::string_view name, std::string_view userid,
                                  int32_t copper = 5000, int32_t lives = 3,
                                  uint32_t played = 2500) {
    PublicUserInfo info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.name, name.data(), std::min(name.size(), sizeof info.name - 1));
    std::memcpy(info.userid, userid.data(), std::min(userid.size(), sizeof info.userid - 1));
    std::strcpy(info.race, "Elf");
    std::strcpy(info.profession, "Ranger");
    std::strcpy(info.title, "Keeper of the Woods");
    info.level = 4;
    info.experience = 1200;
    info.hit_points = 40;
    info.kills = 7;
    info.quests = 2;
    info.gender = 'F';
    info.copper = copper;
    info.lives = lives;
    info.time_played = played;
    return info;
}

class GameHost : public ::testing::Test {
protected:
    void SetUp() override {
        calls() = AddonCalls{};
        setenv("BBS_FAST_HASH", "1", 1);
        char pattern[] = "/tmp/game-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        bbs::set_breach_observer([this](std::string_view warning) { breaches_.emplace_back(warning); });
        fs::copy_file(fs::path(PLUS_CONFIG_DIR) / "brakvold.ini", dir_ / "brakvold.ini");
        start();
        add_account("Alice");
        add_account("Bob");
        add_account("Sysop");
        add_player(make_player("Alia", "Alice"));
        add_player(make_player("Bobo", "Bob", 300, 8, 100));
    }

    void TearDown() override {
        host_.reset();
        bbs::set_breach_observer(nullptr);
        for (const auto& warning : breaches_) ADD_FAILURE() << warning;  // a routine left a stack otherwise
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Opens the host on the data folder and loads the game.
    void start() {
        bbs::HostOptions options;
        options.data_dir = dir_;
        options.channels = 4;
        std::string error;
        host_ = bbs::Host::open(options, &error);
        ASSERT_TRUE(host_) << error;
        ASSERT_TRUE(host_->load_module(PLUS_BIN_DIR "/libqrtbrak.so", "init__qrtbrak", &error))
            << error;
        game_ = game::Game::instance();
        ASSERT_NE(game_, nullptr);
    }

    // Closes the host (the game finishes) and opens it again on the same folder.
    void restart() {
        host_.reset();
        ASSERT_EQ(game::Game::instance(), nullptr);
        start();
    }

    void add_account(const std::string& userid) {
        bbs::AccountInfo account;
        account.userid = userid;
        account.class_name = "Member";
        account.credits = 100;
        account.days = 30;
        std::string error;
        ASSERT_TRUE(host_->accounts().add(account, "secret", &error)) << error;
    }

    void add_player(const PublicUserInfo& info) {
        std::string error;
        ASSERT_TRUE(game_->add_player(info, &error)) << error;
    }

    // The test add-on registered with the game, and its module on the host.
    void install_addon() {
        ASSERT_NE(register_mud_addon(&test_addon), 0);
        calls().module_number = register_module(&test_module);
        ASSERT_GE(calls().module_number, 0);
        ASSERT_NE(calls().module_number, game_->module_number());
    }

    void write_ini(std::string_view text) {
        std::ofstream out(dir_ / "brakvold.ini", std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string read(const fs::path& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

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

    fs::path dir_;
    std::unique_ptr<bbs::Host> host_;
    std::vector<std::string> breaches_;
    game::Game* game_ = nullptr;
};

inline const std::string kAliaPrompt = "\r[Brakvold Alia]: ";
inline const std::string kBoboPrompt = "\r[Brakvold Bobo]: ";
inline const std::string kPlainPrompt = "\r[Brakvold]: ";

}  // namespace game_tests
