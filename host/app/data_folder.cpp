#include "app/data_folder.h"

#include <cstring>
#include <system_error>

#include "app/modules.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "game/game.h"

namespace app {

namespace fs = std::filesystem;

bool set_text_field(char* field, std::size_t size, std::string_view value, std::string_view what,
                    std::string* error) {
    if (value.size() >= size) {
        *error = std::string(what) + " \"" + std::string(value) + "\" is too long (at most " +
                 std::to_string(size - 1) + " characters)";
        return false;
    }
    std::memset(field, 0, size);
    std::memcpy(field, value.data(), value.size());
    return true;
}

bool secure_data_folder(const fs::path& dir, std::string* error) {
    std::string failed;
    auto tighten = [&](const fs::path& path) {
        std::error_code ec;
        const auto status = fs::symlink_status(path, ec);
        if (ec || !fs::exists(status) || fs::is_symlink(status)) return;
        const auto open_to_others = fs::perms::group_all | fs::perms::others_all;
        if ((status.permissions() & open_to_others) == fs::perms::none) return;
        fs::permissions(path, open_to_others, fs::perm_options::remove, ec);
        if (ec) failed += (failed.empty() ? "" : "; ") + path.string() + ": " + ec.message();
    };
    tighten(dir);
    for (const char* name : kPrivateFiles) tighten(dir / name);
    if (failed.empty()) return true;
    *error = "cannot make the data folder private: " + failed;
    return false;
}

namespace {

struct DemoAccount {
    const char* userid;
    const char* password;
    const char* class_name;
    int64_t credits;
    uint16_t days;
    const char* key;  // nullptr: none
};

struct DemoPlayer {
    const char* userid;
    const char* name;
    const char* race;
    const char* profession;
    const char* guild;
    const char* title;
    int32_t level;
    int32_t experience;
    int32_t hit_points;
    int32_t kills;
    char gender;
    int32_t quests;
    uint32_t time_played;
    int32_t lives;
    int32_t copper;
};

constexpr DemoAccount kAccounts[] = {
    {"Sysop", "sysop", "Sysop", 100000, 365, "SYSOP"},
    {"Alice", "alice", "Member", 5000, 30, nullptr},
    {"Bob", "bob", "Member", 5000, 30, nullptr},
    {"Carol", "carol", "Member", 5000, 30, nullptr},
};

constexpr DemoPlayer kPlayers[] = {
    {"Alice", "Alia", "Elf", "Ranger", "Silver Leaf", "the Wanderer of the North", 7, 15400, 62, 41,
     'F', 5, 18000, 3, 12000},
    {"Bob", "Bobo", "Dwarf", "Warrior", "", "the Stout", 4, 6200, 80, 17, 'M', 2, 9000, 2, 3500},
    {"Carol", "Cara", "Human", "Mage", "Circle of Ash", "the Curious", 9, 24800, 45, 63, 'F', 8,
     31000, 5, 20000},
};

bool copy_config(const fs::path& config_dir, const fs::path& dir, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(config_dir, ec)) {
        *error = "config folder " + config_dir.string() + " does not exist";
        return false;
    }
    for (const auto& entry : fs::directory_iterator(config_dir, ec)) {
        if (!entry.is_regular_file()) continue;
        fs::copy_file(entry.path(), dir / entry.path().filename(), ec);
        if (ec) {
            *error = "cannot copy " + entry.path().string() + ": " + ec.message();
            return false;
        }
    }
    if (ec) {
        *error = "cannot read config folder " + config_dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

bool add_classes(bbs::Host& host, std::string* error) {
    auto& db = host.database();
    return db.put_class("Member", 365, error) && db.put_class("Sysop", -1, error);
}

bool populate(bbs::Host& host, std::string* error) {
    if (!add_classes(host, error)) return false;

    for (const auto& a : kAccounts) {
        bbs::AccountInfo info;
        info.userid = a.userid;
        info.class_name = a.class_name;
        info.credits = a.credits;
        info.days = a.days;
        if (a.key) info.keys.push_back(a.key);
        std::string why;
        if (!host.accounts().add(info, a.password, &why)) {
            *error = std::string("cannot add account ") + a.userid + ": " + why;
            return false;
        }
    }

    auto* game = game::Game::instance();
    if (!game) {
        *error = "the game is not loaded";
        return false;
    }
    for (const auto& p : kPlayers) {
        PublicUserInfo info{};
        if (!set_text_field(info.userid, sizeof info.userid, p.userid, "user-ID", error) ||
            !set_text_field(info.name, sizeof info.name, p.name, "name", error) ||
            !set_text_field(info.race, sizeof info.race, p.race, "race", error) ||
            !set_text_field(info.profession, sizeof info.profession, p.profession, "profession",
                            error) ||
            !set_text_field(info.guild, sizeof info.guild, p.guild, "guild", error) ||
            !set_text_field(info.title, sizeof info.title, p.title, "title", error))
            return false;
        info.level = p.level;
        info.experience = p.experience;
        info.hit_points = p.hit_points;
        info.kills = p.kills;
        info.alignment = 50;
        info.gender = static_cast<uint8_t>(p.gender);
        info.quests = p.quests;
        info.room = 1;
        info.time_played = p.time_played;
        info.lives = p.lives;
        info.copper = p.copper;
        std::string why;
        if (!game->add_player(info, &why)) {
            *error = std::string("cannot add player ") + p.name + ": " + why;
            return false;
        }
    }
    return true;
}

// Makes the folder, copies the config sources in, opens a host on it with
// the game and the module loaded and runs `fill`; undoes it all on failure.
bool make_folder(const fs::path& dir, const fs::path& config_dir, int channels,
                 bool (*fill)(bbs::Host&, std::string*), const char* what, std::string* error) {
    std::error_code ec;
    const bool existed = fs::is_directory(dir, ec);
    if (existed && !fs::is_empty(dir, ec)) {
        *error = "cannot create data folder " + dir.string() + ": it exists already and is not empty";
        return false;
    }
    if (!existed && !fs::create_directories(dir, ec)) {
        *error = "cannot create data folder " + dir.string() + ": " +
                 (ec ? ec.message() : std::string("it exists already"));
        return false;
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    bool ok = copy_config(config_dir, dir, error);
    if (ok) {
        bbs::HostOptions options;
        options.data_dir = dir;
        options.channels = channels;
        auto host = bbs::Host::open(options, error);
        ok = host && load_modules(*host, error) && fill(*host, error);
        if (host && ok) host->log(std::string("data folder created ") + what);
    }  // host closed here: finish routines, database closed
    ok = ok && secure_data_folder(dir, error);
    if (!ok && existed) {
        for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
    } else if (!ok) {
        fs::remove_all(dir, ec);
    }
    return ok;
}

}  // namespace

bool create_data_folder(const fs::path& dir, const fs::path& config_dir, int channels,
                        std::string* error) {
    return make_folder(dir, config_dir, channels, populate, "with the demo population", error);
}

bool create_bare_data_folder(const fs::path& dir, const fs::path& config_dir, int channels,
                             std::string* error) {
    return make_folder(dir, config_dir, channels, add_classes, "without users", error);
}

}  // namespace app
