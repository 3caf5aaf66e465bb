#include "app/population.h"

#include <system_error>

#include "app/data_folder.h"
#include "app/modules.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "game/game.h"
#include "text/ascii.h"

namespace app {

namespace fs = std::filesystem;

namespace {

// Undoes a half-made data folder: its contents, and the folder itself when
// it was made here.
void remove_made(const fs::path& dir, bool existed) {
    std::error_code ec;
    if (!existed) {
        fs::remove_all(dir, ec);
        return;
    }
    for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
}

}  // namespace

Population demo_population() {
    Population p;
    p.name = "the demo population";
    p.classes = {{"Member", 365}, {"Sysop", -1}};
    p.accounts = {
        {.userid = "Sysop", .password = "sysop", .class_name = "Sysop", .credits = 100000,
         .days = 365, .keys = {"SYSOP"}},
        {.userid = "Alice", .password = "alice", .credits = 5000, .days = 30, .player_name = "Alia",
         .race = "Elf", .profession = "Ranger", .guild = "Silver Leaf",
         .title = "the Wanderer of the North", .level = 7, .experience = 15400, .hit_points = 62,
         .kills = 41, .gender = 'F', .quests = 5, .time_played = 18000, .lives = 3, .copper = 12000},
        {.userid = "Bob", .password = "bob", .credits = 5000, .days = 30, .player_name = "Bobo",
         .race = "Dwarf", .profession = "Warrior", .title = "the Stout", .level = 4,
         .experience = 6200, .hit_points = 80, .kills = 17, .gender = 'M', .quests = 2,
         .time_played = 9000, .lives = 2, .copper = 3500},
        {.userid = "Carol", .password = "carol", .credits = 5000, .days = 30, .player_name = "Cara",
         .race = "Human", .profession = "Mage", .guild = "Circle of Ash", .title = "the Curious",
         .level = 9, .experience = 24800, .hit_points = 45, .kills = 63, .gender = 'F', .quests = 8,
         .time_played = 31000, .lives = 5, .copper = 20000},
    };
    return p;
}

bool character_info(const Account& a, PublicUserInfo* info, std::string* error) {
    *info = PublicUserInfo{};
    if (!set_text_field(info->userid, sizeof info->userid, a.userid, "user-ID", error) ||
        !set_text_field(info->name, sizeof info->name, a.player_name, "player name", error) ||
        !set_text_field(info->race, sizeof info->race, a.race, "race", error) ||
        !set_text_field(info->profession, sizeof info->profession, a.profession, "profession", error) ||
        !set_text_field(info->guild, sizeof info->guild, a.guild, "guild", error) ||
        !set_text_field(info->title, sizeof info->title, a.title, "title", error))
        return false;
    info->level = a.level;
    info->experience = a.experience;
    info->hit_points = a.hit_points;
    info->kills = a.kills;
    info->alignment = a.alignment;
    info->gender = static_cast<uint8_t>(a.gender);
    info->quests = a.quests;
    info->room = a.room;
    info->time_played = a.time_played;
    info->lives = a.lives;
    info->copper = a.copper;
    return true;
}

bool add_records(bbs::Database& db, const GeneratedRecords& records, std::string* error) {
    return db.batch([&] {
        for (size_t i = 0; i < records.count; ++i) {
            const std::string record = records.record(i);
            if (!db.insert_generic(record.data(), static_cast<uint32_t>(record.size()), error)) {
                *error = "cannot add generic record " + std::to_string(i) + ": " + *error;
                return false;
            }
        }
        return true;
    });
}

bool populate(bbs::Host& host, const Population& population, std::string* error) {
    for (const AccountClass& c : population.classes) {
        if (!host.database().put_class(c.name, c.days, error)) {
            *error = "cannot add class " + c.name + ": " + *error;
            return false;
        }
    }
    for (const Account& a : population.accounts) {
        std::string why;
        const bbs::AccountInfo info{a.userid, a.class_name, a.credits, a.days, a.keys, std::nullopt};
        if (!host.accounts().add(info, a.password, &why)) {
            *error = "cannot add account " + a.userid + ": " + why;
            return false;
        }
    }
    if (population.records.count > 0 && !add_records(host.database(), population.records, error))
        return false;
    for (const Account& a : population.accounts) {
        if (a.player_name.empty()) continue;
        game::Game* game = game::Game::instance();
        if (!game) {
            *error = "cannot add player " + a.player_name + ": the game is not loaded";
            return false;
        }
        PublicUserInfo info;
        std::string why;
        if (!character_info(a, &info, &why) || !game->add_player(info, &why)) {
            *error = "cannot add player " + a.player_name + ": " + why;
            return false;
        }
    }
    return true;
}

bool copy_config(const fs::path& dir, const fs::path& config_dir, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(config_dir, ec)) {
        *error = "config folder " + config_dir.string() + " does not exist";
        return false;
    }
    // An empty folder (one systemd or the sysop made) is taken as it is.
    const bool existed = fs::is_directory(dir, ec) && fs::is_empty(dir, ec);
    if (!existed && !fs::create_directories(dir, ec)) {
        *error = "cannot create data folder " + dir.string() + ": " +
                 (ec ? ec.message() : std::string("it exists already and is not empty"));
        return false;
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    for (const auto& entry : fs::directory_iterator(config_dir, ec)) {
        const std::string ext = text::uppercase(entry.path().extension().string());
        if (!entry.is_regular_file() || ext == ".MCV") continue;
        if (!fs::copy_file(entry.path(), dir / entry.path().filename(), ec)) break;
    }
    if (!ec) return true;
    *error = "cannot copy the config folder " + config_dir.string() + ": " + ec.message();
    remove_made(dir, existed);
    return false;
}

std::unique_ptr<bbs::Host> open_host(const fs::path& dir, int channels, std::string* error) {
    bbs::HostOptions options;
    options.data_dir = dir;
    options.channels = channels;
    auto host = bbs::Host::open(options, error);
    if (!host || !load_modules(*host, error)) return nullptr;
    return host;
}

std::unique_ptr<bbs::Host> open_populated(const fs::path& dir, int channels,
                                          const Population& population, std::string* error) {
    bbs::HostOptions options;
    options.data_dir = dir;
    options.channels = channels;
    auto host = bbs::Host::open(options, error);
    if (!host || !load_game(*host, error) || !populate(*host, population, error) ||
        !load_plus(*host, error))
        return nullptr;
    return host;
}

bool create_data_folder(const fs::path& dir, const fs::path& config_dir, int channels,
                        const Population& population, std::string* error) {
    std::error_code ec;
    const bool existed = fs::is_directory(dir, ec);
    if (!copy_config(dir, config_dir, error)) return false;
    bool ok = false;
    if (auto host = open_populated(dir, channels, population, error)) {
        host->log("data folder created with " + population.name);
        ok = true;
    }  // host closed here: finish routines, database closed
    ok = ok && secure_data_folder(dir, error);
    if (!ok) remove_made(dir, existed);
    return ok;
}

}  // namespace app
