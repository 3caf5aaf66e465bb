// The Game object: the game's public face for tests and administration, and
// its entry point on the host.
#include "game/game.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bbs/database.h"
#include "bbs/host.h"
#include "game/impl.h"
#include "text/ascii.h"

namespace game {
namespace {

Game* g_game = nullptr;
Game::Impl* g_impl = nullptr;

void host_log(std::string_view line) {
    if (bbs::Host* host = bbs::Host::current()) host->log(line);
}

bool check_text(std::string_view what, std::string_view text, size_t width, std::string* error) {
    if (text.size() >= width) {
        if (error)
            *error = std::string(what) + " is longer than " + std::to_string(width - 1) +
                     " characters";
        return false;
    }
    return true;
}

}  // namespace

Game::Impl* current_impl() { return g_impl; }

void Game::Impl::load_ini() {
    std::string error;
    if (!ini.load(ini_path, &error)) host_log("Brakvold: " + error);
    // Mail-only purchases need somebody to mail; add-ons leave the mode off
    // without one, and the sysop learns why here.
    const char* send = ini.find("SEND_EMAIL_FOR_PURCHASES");
    const char* userid = ini.find("PLUS_PURCHASE_EMAIL_USERID");
    if (send && std::atol(send) != 0 && (!userid || *userid == '\0'))
        host_log(std::string("warning: Brakvold: ") + kIniFile + ": SEND_EMAIL_FOR_PURCHASES is on but "
                 "PLUS_PURCHASE_EMAIL_USERID is " + (userid ? "empty" : "not set") +
                 ": purchases are charged as usual and no purchase mail is sent");
}

bool validate_player(const PublicUserInfo& info, std::string* error) {
    std::string_view name = text::field(info.name);
    if (name.size() >= sizeof info.name) {
        if (error) *error = "player name is longer than 10 characters";
        return false;
    }
    if (name.empty()) {
        if (error) *error = "player name is empty";
        return false;
    }
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            if (error) *error = "player name '" + std::string(name) + "' holds a character that is not printable";
            return false;
        }
    }
    if (name.front() == ' ' || name.back() == ' ') {
        if (error) *error = "player name '" + std::string(name) + "' begins or ends with a blank";
        return false;
    }
    std::string_view userid = text::field(info.userid);
    if (userid.empty()) {
        if (error) *error = "player " + std::string(name) + " has no account user-ID";
        return false;
    }
    return check_text("account user-ID of " + std::string(name), userid, sizeof info.userid, error) &&
           check_text("race of " + std::string(name), text::field(info.race), sizeof info.race, error) &&
           check_text("profession of " + std::string(name), text::field(info.profession),
                      sizeof info.profession, error) &&
           check_text("guild of " + std::string(name), text::field(info.guild), sizeof info.guild, error) &&
           check_text("title of " + std::string(name), text::field(info.title), sizeof info.title, error);
}

Game* Game::instance() { return g_game; }

bool Game::add_player(const PublicUserInfo& info, std::string* error) {
    if (!validate_player(info, error)) return false;
    std::string name(text::field(info.name));
    std::string userid(text::field(info.userid));
    if (auto existing = impl_->store->find_player(name)) {
        if (error) *error = "a player named " + std::string(text::field(existing->name)) + " already exists";
        return false;
    }
    if (auto existing = impl_->store->find_player_of_account(userid)) {
        if (error)
            *error = "account " + userid + " already plays " + std::string(text::field(existing->name));
        return false;
    }
    return impl_->store->insert_player(info, error);
}

bool Game::update_player(const PublicUserInfo& info, std::string* error) {
    if (!validate_player(info, error)) return false;
    std::string name(text::field(info.name));
    if (!impl_->store->find_player(name)) {
        if (error) *error = "no player named " + name;
        return false;
    }
    if (auto other = impl_->store->find_player_of_account(text::field(info.userid))) {
        if (!text::equal_ignoring_case(text::field(other->name), text::field(info.name))) {
            if (error)
                *error = "account " + std::string(text::field(info.userid)) + " already plays " +
                         std::string(text::field(other->name));
            return false;
        }
    }
    return impl_->store->update_player(info, error);
}

std::optional<std::vector<std::string>> Game::take_changed_accounts() {
    return impl_->store->take_changed_accounts();
}

bool Game::default_character(std::string_view name, std::string_view userid, PublicUserInfo* info,
                             std::string* error) {
    *info = PublicUserInfo{};
    auto set = [&](char* field, std::size_t size, std::string_view value, const char* what) {
        if (value.size() < size) return std::copy(value.begin(), value.end(), field), true;
        *error = std::string(what) + " \"" + std::string(value) + "\" is too long (at most " +
                 std::to_string(size - 1) + " characters)";
        return false;
    };
    if (!set(info->userid, sizeof info->userid, userid, "user-ID") ||
        !set(info->name, sizeof info->name, name, "player name"))
        return false;
    set(info->race, sizeof info->race, "Human", "race");
    set(info->profession, sizeof info->profession, "Adventurer", "profession");
    info->gender = 'M';
    info->lives = 3;
    info->level = 1;
    info->hit_points = 20;
    info->alignment = 50;
    info->room = 1;
    info->copper = kStartingCopper;
    return true;
}

std::optional<PublicUserInfo> Game::player(std::string_view name) {
    return impl_->store->find_player(name);
}

std::optional<PublicUserInfo> Game::player_of_account(std::string_view userid) {
    return impl_->store->find_player_of_account(userid);
}

std::vector<PublicUserInfo> Game::players() { return impl_->store->all_players(); }

std::vector<Mail> Game::mail_for(std::string_view userid) { return impl_->store->mail_for(userid); }

const std::filesystem::path& Game::log_path() const { return impl_->log.path(); }

std::string Game::read_log() const { return impl_->log.read(); }

void Game::on_logged(std::function<void(std::string_view text)> logged) { impl_->logged = std::move(logged); }

void Game::reload_ini() {
    impl_->load_ini();
    // A hook may register or look things up; walk a copy of the list.
    std::vector<AddonDescriptor*> addons = impl_->addons;
    for (AddonDescriptor* addon : addons)
        if (addon->ini_reload) addon->ini_reload();
}

Failures& Game::failures() { return impl_->failures; }

int Game::module_number() const { return impl_->module_number; }

std::string Game::prompt() const { return prompt_for(usrnum); }

std::string Game::prompt_for(int channel) const {
    if (impl_->naming.count(channel)) return "\r[Brakvold: your character's name]: ";
    if (HostAccount* account = uacoff(channel)) {
        if (auto info = impl_->store->find_player_of_account(text::field(account->userid)))
            return "\r[Brakvold " + std::string(text::field(info->name)) + "]: ";
    }
    return "\r[Brakvold]: ";
}

}  // namespace game

namespace game {

void finish_game() {
    delete g_impl;
    g_impl = nullptr;
    delete g_game;
    g_game = nullptr;
}

namespace {

// Everything the entry point does that can fail; the reason lands in
// `reason` so that no C++ object is alive when the host is stopped.
Game::Impl* start_game(char* reason, size_t size) {
    if (g_game) finish_game();   // a previous host did not finish the game

    std::error_code ec;
    std::filesystem::path here = std::filesystem::current_path(ec);
    std::string error;
    const std::filesystem::path own_file = here / kDataFile;
    std::unique_ptr<Store> store;
    if (bbs::Host* host = bbs::Host::current()) {
        // On the host's connection: copper and lives change in the same
        // transaction as the rest of the host call that charges them.
        store = Store::share(host->addon_tables(), "host database (game tables)", &error);
    } else {
        store = Store::open(own_file.string(), &error);
    }
    if (!store) {
        std::snprintf(reason, size, "%s", error.c_str());
        return nullptr;
    }
    auto* impl = new Game::Impl(std::move(store), here / kIniFile, here / kLogFile);
    impl->load_ini();
    return impl;
}

void register_game(Game::Impl* impl) {
    g_impl = impl;
    impl->module_number = register_module(module_descriptor());
    if (bbs::Host* host = bbs::Host::current()) {
        host->on_reload([] {
            if (Game* game = Game::instance()) game->reload_ini();
        });
        host->on_reopen_logs([] {
            Game::Impl* impl = current_impl();
            std::string error;
            if (impl && !impl->log.reopen(&error))
                host_log("error: Brakvold: " + error + "; the game log stays on its old file");
        });
    }
}

}  // namespace
}  // namespace game

extern "C" void init__qrtbrak(void) {
    char reason[512] = "";
    game::Game::Impl* impl = game::start_game(reason, sizeof reason);
    if (!impl) catastro("Brakvold: %s", reason);
    game::g_game = new game::Game();
    game::g_game->impl_ = impl;
    game::register_game(impl);
}
