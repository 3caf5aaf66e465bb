// Internal to libbbs: the host program, the game and tests use bbs/host.h.
//
// Where a typed line goes, after tbaMUD's command_interpreter: the stages
// of kRoute in order, the first that takes the line ends its way.
//
//   the editor          when the user has one open, it takes every line
//   global commands     each in the order they were declared, until one
//                       takes it; his module is then asked to show its
//                       prompt again (HOST_ST_REPROMPT), or the host's
//   his module          its input routine; when it returns 0 he is back
//                       at the host's menu
//   the host's menu     a table of commands: `game` (to the game, which
//                       hears GAME_ST_RETURN), `bye`
//
// A user who leaves on the way (a global command logged him off) takes the
// line with him.
#pragma once

#include <string>
#include <string_view>

namespace bbs {

class CallRunner;
class ChannelTable;
class ModuleRuntime;
class StatusQueue;

class LineRouter {
public:
    LineRouter(ChannelTable& channels, ModuleRuntime& modules, CallRunner& calls, StatusQueue& statuses)
        : channels_(channels), modules_(modules), calls_(calls), statuses_(statuses) {}

    // Routes a cleaned line typed at an online channel, inside its call.
    // False when the host stopped on the way (a module's catastro): nothing
    // more of the call may run.
    bool route(int channel, const std::string& line);
    // The host's prompt, for a user at its menu.
    void prompt(int channel);

private:
    enum class Outcome { passed, taken, stopped };
    using Stage = Outcome (LineRouter::*)(int channel, const std::string& line);
    static const Stage kRoute[];
    struct MenuCommand {
        const char* word;
        void (LineRouter::*run)(int channel);
    };
    static const MenuCommand kMenu[];

    Outcome editor(int channel, const std::string& line);
    Outcome global_commands(int channel, const std::string& line);
    Outcome module(int channel, const std::string& line);
    Outcome host_menu(int channel, const std::string& line);
    void to_game(int channel);
    void bye(int channel);

    ChannelTable& channels_;
    ModuleRuntime& modules_;
    CallRunner& calls_;
    StatusQueue& statuses_;
};

}  // namespace bbs
