// The game's add-on interface (platform/game.h): what add-on modules call in
// the game. Every service can be made to fail through Game::failures().
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "bbs/host.h"
#include "game/impl.h"
#include "text/ascii.h"

namespace game {
namespace {

// The player of the account logged on at `channel`.
std::optional<PublicUserInfo> player_on(Game::Impl& impl, int32_t channel) {
    HostAccount* account = uacoff(channel);
    if (!account) return std::nullopt;
    return impl.store->find_player_of_account(text::field(account->userid));
}

// One line of the game log. A line about a charge stands only if the
// charge does: it waits for the host call to commit, and the lines of a
// rolled-back call go to the host log instead, marked as undone. A line the
// game log cannot take goes to the host log as an error, with its text.
void write_log(Game::Impl& impl, std::string text) {
    bbs::Host* host = bbs::Host::current();
    auto append = [&impl, host](const std::string& line) {
        std::string error;
        if (!impl.log.append(line, &error) && host) host->log("error: " GAME_MODULE_NAME ": " + error);
        if (impl.logged) impl.logged(line);
    };
    if (!host) {
        append(text);
        return;
    }
    host->after_call([host, append, text = std::move(text)](bool committed) {
        if (committed)
            append(text);
        else
            host->log("rolled back, not in the game log: " + text);
    });
}

// Copper moves by the game's add-on services are logged by the game itself.
void log_copper(Game::Impl& impl, const PublicUserInfo& player, const char* moved, int32_t amount) {
    char line[160];
    std::snprintf(line, sizeof line, GAME_MODULE_NAME ": %s %d copper, account %.29s, player %.10s.\r\n",
                  moved, static_cast<int>(amount), player.userid, player.name);
    write_log(impl, line);
}

bool save(Game::Impl& impl, const PublicUserInfo& info, const char* doing) {
    std::string error;
    if (impl.store->update_player(info, &error)) return true;
    if (bbs::Host* host = bbs::Host::current())
        host->log(std::string(GAME_MODULE_NAME ": ") + doing + ": " + error);
    return false;
}

}  // namespace
}  // namespace game

using game::current_impl;

extern "C" {

int32_t register_mud_addon(AddonDescriptor* addon) {
    game::Game::Impl* impl = current_impl();
    if (!impl || !addon || impl->failures.register_addon) return 0;
    for (size_t i = 0; i < impl->addons.size(); ++i)
        if (impl->addons[i] == addon) return static_cast<int32_t>(i + 1);
    impl->addons.push_back(addon);
    return static_cast<int32_t>(impl->addons.size());
}

int32_t retrieve_public_usrnum_userinfo(int32_t channel, PublicUserInfo* info) {
    game::Game::Impl* impl = current_impl();
    if (!impl || !info || impl->failures.retrieve) return 0;
    auto player = game::player_on(*impl, channel);
    if (!player) return 0;
    *info = *player;
    return 1;
}

int32_t retrieve_public_userinfo(const char* name, PublicUserInfo* info) {
    game::Game::Impl* impl = current_impl();
    if (!impl || !name || !info || impl->failures.retrieve) return 0;
    auto player = impl->store->find_player(name);
    if (!player) return 0;
    *info = *player;
    return 1;
}

// Takes `amount` copper (0 or more) from the player at the channel. Refused
// when he has less than that: copper never goes below zero.
int32_t addon_adjust_user_wealth(int32_t channel, int32_t amount) {
    game::Game::Impl* impl = current_impl();
    if (!impl || amount < 0 || impl->failures.adjust_wealth) return 0;
    auto player = game::player_on(*impl, channel);
    if (!player || player->copper < amount) return 0;
    player->copper -= amount;
    if (!game::save(*impl, *player, "taking copper")) return 0;
    if (amount > 0) game::log_copper(*impl, *player, "took", amount);
    return 1;
}

// Gives `amount` copper (0 or more) to the player at the channel. Refused
// when his copper would pass the largest 32-bit value.
int32_t addon_return_user_wealth(int32_t channel, int32_t amount) {
    game::Game::Impl* impl = current_impl();
    if (!impl || amount < 0 || impl->failures.return_wealth) return 0;
    auto player = game::player_on(*impl, channel);
    if (!player || player->copper > INT32_MAX - amount) return 0;
    player->copper += amount;
    if (!game::save(*impl, *player, "giving copper back")) return 0;
    if (amount > 0) game::log_copper(*impl, *player, "gave back", amount);
    return 1;
}

int32_t addon_adding_life_to_user(int32_t channel) {
    game::Game::Impl* impl = current_impl();
    if (!impl || impl->failures.add_life) return 0;
    auto player = game::player_on(*impl, channel);
    if (!player || player->lives == INT32_MAX) return 0;
    player->lives += 1;
    return game::save(*impl, *player, "adding a life") ? 1 : 0;
}

// Stores a mail from the game (kMailSender) to the user-ID (1..29 characters).
int32_t brakvold_send_mail(const char* to, const char* subject, const char* body) {
    game::Game::Impl* impl = current_impl();
    if (!impl || impl->failures.send_mail || !to) return 0;
    size_t length = std::strlen(to);
    if (length == 0 || length >= HOST_UIDSIZ) return 0;
    game::Mail mail{game::kMailSender, to, subject ? subject : "", body ? body : ""};
    std::string error;
    if (impl->store->insert_mail(mail, &error)) return 1;
    if (bbs::Host* host = bbs::Host::current()) host->log(GAME_MODULE_NAME ": " + error);
    return 0;
}

const char* get_mud_ini_value(const char* key) {
    game::Game::Impl* impl = current_impl();
    if (!impl || !key || impl->failures.ini_lookup) return nullptr;
    return impl->ini.find(key);
}

void BKLog(const char* format, ...) {
    game::Game::Impl* impl = current_impl();
    if (!impl || !format || impl->failures.log) return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(length));
        game::write_log(*impl, std::move(text));
    }
    va_end(again);
}

}  // extern "C"
