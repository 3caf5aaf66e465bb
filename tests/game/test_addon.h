// The tests' own add-on (hooks record the game's calls) and module (where the add-on takes a user).
#pragma once

#include <string>
#include <vector>

#include "game/game.h"
#include "platform/game.h"
#include "platform/host.h"

namespace game_tests {

// The first word of each command offered, the channels described, SEND_EMAIL_FOR_PURCHASES at the reload, the
// module the add-on takes a user to, and the texts and channels the module's injection routine got.
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

}  // namespace game_tests
