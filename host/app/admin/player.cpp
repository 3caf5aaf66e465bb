// bbshost player: the game's characters.
#include <algorithm>
#include <iostream>
#include <limits>

#include "app/admin/admin.h"
#include "app/data_folder.h"
#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "bbs/sqlite.h"
#include "game/game.h"
#include "text/ascii.h"

namespace app::admin {

namespace {

using enum Option::Kind;

// The fields of a character the command line gives; those left empty are
// not touched (set) or take their defaults (add).
struct PlayerFields {
    std::optional<int64_t> copper, lives, played, level, experience, hit_points, kills, alignment,
        quests, room;
    std::optional<std::string> gender, race, profession, guild, title;
};

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// The options of the fields, in the order --help lists them and the order
// they are checked in.
struct NumberField {
    std::string_view flag;
    std::optional<int64_t> PlayerFields::*field;
    std::string_view help;
    int64_t low, high;
    std::string_view what;   // in errors
};
const NumberField kNumbers[] = {
    {"--copper", &PlayerFields::copper, "Copper", 0, kInt32Max, "copper"},
    {"--lives", &PlayerFields::lives, "Lives", 0, kInt32Max, "lives"},
    {"--played", &PlayerFields::played, "Time played", 0, std::numeric_limits<uint32_t>::max(), "played"},
    {"--level", &PlayerFields::level, "Level", kInt32Min, kInt32Max, "level"},
    {"--experience", &PlayerFields::experience, "Experience", kInt32Min, kInt32Max, "experience"},
    {"--hit-points", &PlayerFields::hit_points, "Hit points", kInt32Min, kInt32Max, "hit points"},
    {"--kills", &PlayerFields::kills, "Kills", kInt32Min, kInt32Max, "kills"},
    {"--alignment", &PlayerFields::alignment, "Alignment 0..255", 0, 255, "alignment"},
    {"--quests", &PlayerFields::quests, "Quests done", kInt32Min, kInt32Max, "quests"},
    {"--room", &PlayerFields::room, "Room", kInt32Min, kInt32Max, "room"},
};
struct TextField {
    std::string_view flag;
    std::optional<std::string> PlayerFields::*field;
    std::string_view help;
};
const TextField kTexts[] = {
    {"--gender", &PlayerFields::gender, "M or F"},
    {"--race", &PlayerFields::race, "Race"},
    {"--profession", &PlayerFields::profession, "Profession"},
    {"--guild", &PlayerFields::guild, "Guild (empty for none)"},
    {"--title", &PlayerFields::title, "Title"},
};

std::vector<Option> character_options() {
    std::vector<Option> options;
    for (const auto& n : kNumbers) options.push_back({maybe_number, n.flag, n.help});
    for (const auto& t : kTexts) options.push_back({maybe_text, t.flag, t.help});
    return options;
}
const std::vector<Option> kCharacterOptions = character_options();

PlayerFields fields_of(const Arguments& args) {
    PlayerFields fields;
    for (const auto& n : kNumbers) fields.*n.field = args.number(n.flag);
    for (const auto& t : kTexts) fields.*t.field = args.given_text(t.flag);
    return fields;
}

// Checks the given fields of a character and applies them to `info`.
bool apply(const PlayerFields& f, PublicUserInfo& info, std::string* error) {
    for (const auto& n : kNumbers)
        if (!in_range(f.*n.field, n.low, n.high, n.what, error)) return false;
    struct Text {
        const std::optional<std::string>& value;
        char* field;
        std::size_t size;
        const char* what;
    };
    const Text texts[] = {{f.race, info.race, sizeof info.race, "race"},
                          {f.profession, info.profession, sizeof info.profession, "profession"},
                          {f.guild, info.guild, sizeof info.guild, "guild"},
                          {f.title, info.title, sizeof info.title, "title"}};
    for (const auto& t : texts)
        if (t.value && !set_text_field(t.field, t.size, *t.value, t.what, error)) return false;
    if (f.gender) {
        const std::string& g = *f.gender;
        const int letter = g.size() == 1 ? text::upper(g[0]) : 0;
        if (letter != 'M' && letter != 'F') {
            *error = "gender \"" + g + "\" must be M or F";
            return false;
        }
        info.gender = static_cast<uint8_t>(letter);
    }
    if (f.copper) info.copper = static_cast<int32_t>(*f.copper);
    if (f.lives) info.lives = static_cast<int32_t>(*f.lives);
    if (f.played) info.time_played = static_cast<uint32_t>(*f.played);
    if (f.level) info.level = static_cast<int32_t>(*f.level);
    if (f.experience) info.experience = static_cast<int32_t>(*f.experience);
    if (f.hit_points) info.hit_points = static_cast<int32_t>(*f.hit_points);
    if (f.kills) info.kills = static_cast<int32_t>(*f.kills);
    if (f.alignment) info.alignment = static_cast<uint8_t>(*f.alignment);
    if (f.quests) info.quests = static_cast<int32_t>(*f.quests);
    if (f.room) info.room = static_cast<int32_t>(*f.room);
    return true;
}

int player_add(const Call& call) {
    bbs::Host& host = call.host();
    const std::string& name = call.args().text("NAME");
    const std::string& userid = call.args().text("--account");
    auto account = host.accounts().find(userid);
    if (!account) return bad("no user \"" + userid + "\" to play " + name);
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");

    std::string error;
    PublicUserInfo info;
    if (!game::Game::default_character(name, account->userid, &info, &error)) return bad(error);
    if (!apply(fields_of(call.args()), info, &error)) return bad(error);
    if (!game->add_player(info, &error)) return bad("cannot add player \"" + name + "\": " + error);
    host.log("admin: player " + name + " added for " + account->userid);
    std::cout << "added player " << name << std::endl;
    return kOk;
}

int player_show(const Call& call) {
    const std::string& name = call.args().text("NAME");
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    auto player = game->player(name);
    if (!player) return bad("no player \"" + name + "\"");
    std::cout << "copper=" << player->copper << " lives=" << player->lives
              << " played=" << player->time_played << std::endl;
    return kOk;
}

// Changes the given fields in one transaction, so that a purchase of the
// running host is neither lost nor doubled by it.
int player_set(const Call& call) {
    bbs::Host& host = call.host();
    const std::string& name = call.args().text("NAME");
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    std::string error;
    bbs::sql::WriteTransaction transaction(host.database().connection());
    if (!transaction.begun(&error))
        return failed("cannot change player \"" + name + "\": the database stays locked: " + error);
    auto player = game->player(name);
    if (!player) return bad("no player \"" + name + "\"");
    if (!apply(fields_of(call.args()), *player, &error)) return bad(error);
    if (!game->update_player(*player, &error)) return failed("cannot change player \"" + name + "\": " + error);
    if (!transaction.commit(&error))
        return failed("cannot change player \"" + name + "\": cannot commit: " + error);
    const std::string stored(text::field(player->name));
    host.log("admin: player " + stored + " changed");
    std::cout << "updated player " << stored << std::endl;
    return kOk;
}

// One line per character in name order, tab-separated: name, user-ID,
// copper, lives, time played.
int player_list(const Call&) {
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    auto players = game->players();
    std::sort(players.begin(), players.end(), [&](const PublicUserInfo& a, const PublicUserInfo& b) {
        return text::compare_ignoring_case(text::field(a.name), text::field(b.name)) < 0;
    });
    for (const auto& p : players)
        std::cout << text::field(p.name) << '\t' << text::field(p.userid) << '\t'
                  << p.copper << '\t' << p.lives << '\t' << p.time_played << '\n';
    std::cout.flush();
    return kOk;
}

const Option kName{text, "NAME", "Game name", kRequired};

}  // namespace

const Noun kPlayer{"player", "Game characters", {
    {"add", "Add a game character",
     with({{text, "NAME", "Game name (1 to 10 characters)", kRequired},
           {text, "--account", "User-ID that plays him", kRequired}},
          kCharacterOptions),
     Needs::game, player_add},
    {"show", "Show a character: copper, lives, time played", {kName}, Needs::game, player_show},
    {"set", "Change a character: only the fields given", with({kName}, kCharacterOptions), Needs::game,
     player_set},
    {"list", "Every character: name, user-ID, copper, lives, time played, tab-separated", {},
     Needs::game, player_list},
}};

}  // namespace app::admin
