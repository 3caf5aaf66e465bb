// The game as a module on the host: its logon, input, status and injection
// routines, and the commands a player types at the game prompt.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/host.h"
#include "game/impl.h"
#include "text/ascii.h"

namespace game {
namespace {

// ---- output -----------------------------------------------------------------

// Appends text to the host's output buffer as it is (never as a format).
void add(std::string_view text) {
    prf("%.*s", static_cast<int>(text.size()), text.data());
}

void send(int channel) { outprf(channel); }

std::string prompt_of(Game::Impl& impl, int channel) {
    if (impl.at_extension_prompt.count(channel)) return "Extension: ";
    return Game::instance() ? Game::instance()->prompt_for(channel) : "\r[Brakvold]: ";
}

void show_prompt(Game::Impl& impl) {
    add(prompt_of(impl, usrnum));
    send(usrnum);
}

// ---- the typed line -----------------------------------------------------------

using Words = std::vector<std::string_view>;

std::vector<std::string_view> words() {
    std::vector<std::string_view> result;
    for (int i = 0; i < margc && i < HOST_MAXWORDS; ++i)
        if (margv[i]) result.emplace_back(margv[i]);
    return result;
}

std::string join(const std::vector<std::string_view>& list, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < list.size(); ++i) {
        if (!text.empty()) text += ' ';
        text += list[i];
    }
    return text;
}

bool is(std::string_view word, const char* command) {
    std::string w(word);
    return sameas(w.c_str(), command) != 0;
}

// ---- players --------------------------------------------------------------------

std::optional<PublicUserInfo> player_at(Game::Impl& impl, int channel) {
    HostAccount* account = uacoff(channel);
    if (!account) return std::nullopt;
    return impl.store->find_player_of_account(text::field(account->userid));
}

// The channel of the account that plays `info`, or -1 when it is offline.
int channel_of(const PublicUserInfo& info) {
    bbs::Host* host = bbs::Host::current();
    if (!host) return -1;
    return host->channel_of(text::field(info.userid));
}

std::string describe(const PublicUserInfo& info) {
    std::string kind(text::field(info.race));
    std::string_view profession = text::field(info.profession);
    if (!profession.empty()) {
        if (!kind.empty()) kind += ' ';
        kind += profession;
    }
    std::string text(text::field(info.name));
    if (!kind.empty()) text += ", the " + kind;
    if (!text::field(info.title).empty()) text += ", " + std::string(text::field(info.title));
    return text + ".\r";
}

// ---- commands ---------------------------------------------------------------------

void show_extensions(Game::Impl& impl) {
    add("Extensions:\r");
    std::vector<AddonDescriptor*> addons = impl.addons;
    for (AddonDescriptor* addon : addons)
        if (addon->menu_display) addon->menu_display();
    add("Extension: ");
    send(usrnum);
    impl.at_extension_prompt.insert(usrnum);
}

// The line typed at the extension prompt goes to the add-ons in turn.
void pick_extension(Game::Impl& impl) {
    impl.at_extension_prompt.erase(usrnum);
    if (margc > 0) {
        std::vector<AddonDescriptor*> addons = impl.addons;
        for (AddonDescriptor* addon : addons) {
            // The add-on that takes the command has the user now.
            if (addon->menu_command && addon->menu_command() != 0) return;
        }
    }
    add("No such extension.\r");
    show_prompt(impl);
}

void look(Game::Impl& impl, const std::vector<std::string_view>& list) {
    std::string name = join(list, 1, list.size());
    if (name.empty()) {
        add("Look at whom?\r");
    } else if (auto info = impl.store->find_player(name)) {
        int channel = channel_of(*info);
        if (channel < 0) {
            add(std::string(text::field(info->name)) + " is not in the game right now.\r");
        } else {
            add(describe(*info));
            std::vector<AddonDescriptor*> addons = impl.addons;
            for (AddonDescriptor* addon : addons)
                if (addon->user_description) addon->user_description(channel);
        }
    } else {
        add("There is no player named " + name + ".\r");
    }
    show_prompt(impl);
}

void stats(Game::Impl& impl) {
    auto info = player_at(impl, usrnum);
    if (!info) {
        add("You have no character in Brakvold.\r");
        show_prompt(impl);
        return;
    }
    char text[512];
    std::snprintf(text, sizeof text,
                  "Character: %s\r"
                  "Race: %s   Profession: %s   Gender: %s\r"
                  "Title: %s\r"
                  "Guild: %s\r"
                  "Level: %d   Experience: %d   Hit points: %d\r"
                  "Kills: %d   Quests: %d\r"
                  "Copper: %d\r"
                  "Lives: %d\r"
                  "Time played: %u\r",
                  info->name, info->race, info->profession, info->gender == 'M' ? "male" : "female",
                  info->title, info->guild[0] ? info->guild : "none", info->level, info->experience,
                  info->hit_points, info->kills, info->quests, info->copper, info->lives,
                  info->time_played);
    add(text);
    show_prompt(impl);
}

void mail(Game::Impl& impl) {
    HostAccount* account = uacoff(usrnum);
    std::vector<Mail> list;
    if (account) list = impl.store->mail_for(text::field(account->userid));
    if (list.empty()) {
        add("You have no mail.\r");
    } else {
        add("Your mail, newest last:\r");
        send(usrnum);
        for (size_t i = 0; i < list.size(); ++i) {
            add("\rMail " + std::to_string(i + 1) + " of " + std::to_string(list.size()) + "\r");
            add("From: " + list[i].from + "\r");
            add("Subject: " + list[i].subject + "\r");
            add(list[i].body);
            add("\r");
            send(usrnum);
        }
    }
    show_prompt(impl);
}

std::string idle_text(std::chrono::seconds idle) {
    const long long total = idle.count() < 0 ? 0 : idle.count();
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

// A sysop's `who` shows every connection too (the host's answer), also
// those not logged on yet and those outside the game.
void sessions_table(const std::vector<bbs::Host::SessionRow>& sessions) {
    add("Sessions:\r");
    char line[256];
    std::snprintf(line, sizeof line, "  %-29s %-7s %-23s %8s  %s\r", "User-ID", "Way", "Address", "Idle",
                  "Where");
    add(line);
    for (const auto& row : sessions) {
        const std::string userid = row.userid.empty() ? "(logging on)" : row.userid;
        std::snprintf(line, sizeof line, "  %-29.29s %-7.7s %-23.47s %8s  %.60s\r", userid.c_str(),
                      row.way.empty() ? "-" : row.way.c_str(), row.address.c_str(),
                      idle_text(row.idle).c_str(), row.where.c_str());
        add(line);
    }
}

// paging [ON|OFF]: long output stops at -- More -- where the terminal tells
// its window's height, unless the user switched it off.
void paging(Game::Impl& impl, const std::vector<std::string_view>& list) {
    bbs::Host* host = bbs::Host::current();
    std::optional<bool> on;
    if (list.size() > 1 && is(list[1], "on")) on = true;
    if (list.size() > 1 && is(list[1], "off")) on = false;
    if (list.size() > 1 && !on) {
        add("Type paging ON or paging OFF.\r");
    } else if (auto now = host ? host->paging(usrnum, on) : std::nullopt) {
        add(*now ? "Paging is on.\r" : "Paging is off.\r");
    } else {
        add("This terminal has no paging.\r");
    }
    show_prompt(impl);
}

void who(Game::Impl& impl) {
    bbs::Host* host = bbs::Host::current();
    add("In Brakvold now:\r");
    for (int channel = 0; host && channel < nterms; ++channel) {
        if (!host->online(channel)) continue;
        HostAccount* account = uacoff(channel);
        if (!account) continue;
        auto info = impl.store->find_player_of_account(text::field(account->userid));
        char line[96];
        std::snprintf(line, sizeof line, "  %-29s %s\r", account->userid,
                      info ? info->name : "(no character)");
        add(line);
    }
    if (auto sessions = host ? host->sessions_for(usrnum) : std::nullopt) sessions_table(*sessions);
    show_prompt(impl);
}

void quit() {
    add("Farewell.\r");
    send(usrnum);
    if (bbs::Host* host = bbs::Host::current()) host->request_close(usrnum);
}

// tell NAME text: the longest run of words after "tell" that names a
// player is the name; the rest is the message.
void tell(Game::Impl& impl, const std::vector<std::string_view>& list) {
    if (list.size() < 2) {
        add("Tell whom what?\r");
        show_prompt(impl);
        return;
    }
    std::optional<PublicUserInfo> target;
    size_t message_from = 0;
    for (size_t end = list.size(); end > 1 && !target; --end) {
        if ((target = impl.store->find_player(join(list, 1, end)))) message_from = end;
    }
    if (!target) {
        add("There is no player named " + std::string(list[1]) + ".\r");
        show_prompt(impl);
        return;
    }
    std::string name(text::field(target->name));
    std::string message = join(list, message_from, list.size());
    int channel = channel_of(*target);
    if (message.empty()) {
        add("Tell " + name + " what?\r");
    } else if (channel < 0) {
        add(name + " is not in the game right now.\r");
    } else {
        std::string from;
        if (auto me = player_at(impl, usrnum))
            from = std::string(text::field(me->name));
        else if (HostAccount* account = uacoff(usrnum))
            from = std::string(text::field(account->userid));
        // The message goes out before anything is added to the output
        // buffer for the teller: the host composes it in the same buffer.
        if (bbs::Host* host = bbs::Host::current())
            host->inject_message(channel, "\r" + from + " tells you: " + message + "\r");
        add("You tell " + name + ": " + message + "\r");
    }
    show_prompt(impl);
}

// ---- routines of the ModuleDescriptor ----------------------------------------------

int16_t game_logon() {
    Game::Impl* impl = current_impl();
    if (!impl || !usrptr) return 0;
    usrptr->state = impl->module_number;
    usrptr->substate = 0;
    impl->at_extension_prompt.erase(usrnum);
    if (auto info = player_at(*impl, usrnum)) {
        add("\rWelcome to Brakvold, " + std::string(text::field(info->name)) + "!\r");
    } else {
        add("\rWelcome to Brakvold.\r"
            "Your account has no character in Brakvold yet. What shall he be called? 3 to 10 letters;\r"
            "a command instead leaves him unnamed until you come again.\r");
        impl->naming.insert(usrnum);
    }
    show_prompt(*impl);
    return 0;
}

// The answer at the naming prompt of an account without a character: 3 to
// 10 ASCII letters, not another player's name (ignoring case), written
// with a capital first. Asked again while it is none of these.
void name_character(Game::Impl& impl, const Words& list) {
    HostAccount* account = uacoff(usrnum);
    std::string name = join(list, 0, list.size());
    const bool letters = std::all_of(name.begin(), name.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
    std::string error;
    PublicUserInfo info;
    if (name.size() < 3 || name.size() > 10 || !letters) {
        add("A name has 3 to 10 letters and nothing else.\r");
    } else if (impl.store->find_player(name)) {
        add("There is a player named " + name + " already.\r");
    } else {
        name = text::lowercase(name);
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        if (account && Game::default_character(name, text::field(account->userid), &info, &error) &&
            Game::instance()->add_player(info, &error)) {
            add("\rWelcome to Brakvold, " + name + "! Type help for the commands.\r");
            show_prompt(impl);
            return;
        }
        add("Your character could not be made: " + error + "\r");
    }
    impl.naming.insert(usrnum);
    show_prompt(impl);
}

// password: the host's front end asks for the old and the new password
// (without echo) and shows the prompt again when it is done.
void password(Game::Impl& impl) {
    bbs::Host* host = bbs::Host::current();
    if (host && host->change_password(usrnum)) return;
    add("Your password cannot be changed here.\r");
    show_prompt(impl);
}

void help(Game::Impl& impl, const Words&);

// The commands at the game prompt, in the order help lists them.
struct Command {
    const char* name;
    const char* usage;   // as help shows it
    const char* what;
    void (*run)(Game::Impl& impl, const Words& list);
};
const Command kCommands[] = {
    {"ext", "ext", "the extensions", [](Game::Impl& impl, const Words&) { show_extensions(impl); }},
    {"look", "look NAME", "a player who is online", look},
    {"stats", "stats", "your character", [](Game::Impl& impl, const Words&) { stats(impl); }},
    {"mail", "mail", "your mail", [](Game::Impl& impl, const Words&) { mail(impl); }},
    {"who", "who", "who is online", [](Game::Impl& impl, const Words&) { who(impl); }},
    {"tell", "tell NAME", "a message to a player", tell},
    {"paging", "paging OFF", "long output in one go (ON: a page at a time)", paging},
    {"password", "password", "change your password", [](Game::Impl& impl, const Words&) { password(impl); }},
    {"help", "help", "this list", help},
    {"quit", "quit", "leave Brakvold", [](Game::Impl&, const Words&) { quit(); }},
};

void help(Game::Impl& impl, const Words&) {
    add("Commands:\r");
    for (const Command& command : kCommands) {
        char line[96];
        std::snprintf(line, sizeof line, "  %-12s %s\r", command.usage, command.what);
        add(line);
    }
    show_prompt(impl);
}

int16_t game_input() {
    Game::Impl* impl = current_impl();
    if (!impl) return 0;
    if (impl->at_extension_prompt.count(usrnum)) {
        pick_extension(*impl);
        return 1;
    }
    const Words list = words();
    if (list.empty()) {
        show_prompt(*impl);
        return 1;
    }
    const bool naming = impl->naming.erase(usrnum) > 0;
    for (const Command& command : kCommands) {
        if (!is(list[0], command.name)) continue;
        command.run(*impl, list);
        return 1;
    }
    if (naming) {
        name_character(*impl, list);
        return 1;
    }
    add("Unknown command.\r");
    show_prompt(*impl);
    return 1;
}

// GAME_ST_RETURN: an add-on (or the host) hands the user back to the game. After a global
// command took his line the host asks for the prompt again.
void game_status() {
    Game::Impl* impl = current_impl();
    if (impl && status == HOST_ST_REPROMPT) {
        show_prompt(*impl);
        return;
    }
    if (impl && status == GAME_ST_RETURN) {
        impl->at_extension_prompt.erase(usrnum);
        show_prompt(*impl);
        return;
    }
    dfsthn();
}

// A message injected for a user in the game (a tell): it is shown at once,
// followed by his prompt again.
int16_t game_injection() {
    Game::Impl* impl = current_impl();
    if (!impl) return 0;
    btuxmn(othusn, prfbuf);
    std::string again = prompt_of(*impl, othusn);
    btuxmn(othusn, again.c_str());
    return 1;
}

int16_t game_logoff() { return 0; }

void game_hangup() {
    if (Game::Impl* impl = current_impl()) {
        impl->at_extension_prompt.erase(usrnum);
        impl->naming.erase(usrnum);
    }
}

void game_midnight() {}

// The character of a deleted account stays in the game's data file.
void game_account_deleted(const char*) {}

void game_finish() { finish_game(); }

ModuleDescriptor g_descriptor = {
    GAME_MODULE_NAME, game_logon,  game_input,    game_status,          game_injection,
    game_logoff,      game_hangup, game_midnight, game_account_deleted, game_finish,
};

}  // namespace

ModuleDescriptor* module_descriptor() { return &g_descriptor; }

}  // namespace game
