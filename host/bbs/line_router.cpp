#include "bbs/line_router.h"

#include "bbs/call_runner.h"
#include "bbs/channel_table.h"
#include "bbs/input.h"
#include "bbs/module_runtime.h"
#include "bbs/status_queue.h"
#include "platform/game.h"
#include "platform/host.h"
#include "text/ascii.h"

namespace bbs {

namespace {
constexpr const char* kHostPrompt = "Host: ";

// The line into `input`, `margc` and `margv`, as modules read it.
void parse(std::string_view line) { split_words(line, ::input, HOST_INPSIZ, ::margv, HOST_MAXWORDS, &::margc); }
}  // namespace

const LineRouter::Stage LineRouter::kRoute[] = {
    &LineRouter::editor,           // the editor he has open
    &LineRouter::global_commands,  // the global commands, in their order
    &LineRouter::module,           // his module's input routine
    &LineRouter::host_menu,        // the host's own menu
};

const LineRouter::MenuCommand LineRouter::kMenu[] = {
    {"game", &LineRouter::to_game},
    {"bye", &LineRouter::bye},
};

bool LineRouter::route(int channel, const std::string& line) {
    for (const Stage stage : kRoute) {
        if (!channels_.online(channel)) return true;
        switch ((this->*stage)(channel, line)) {
            case Outcome::passed: break;
            case Outcome::taken: return true;
            case Outcome::stopped: return false;
        }
    }
    return true;
}

void LineRouter::prompt(int channel) { calls_.send(channel, kHostPrompt); }

LineRouter::Outcome LineRouter::editor(int channel, const std::string& line) {
    LineEditor* editor = channels_.editor(channel);
    if (!editor) return Outcome::passed;
    std::string reply;
    const LineEditor::Result r = editor->line(line, &reply);
    calls_.send(channel, reply);
    if (r == LineEditor::Result::save) modules_.finish_editor(channel, 0);
    if (r == LineEditor::Result::abandon) modules_.finish_editor(channel, 1);
    return Outcome::taken;
}

LineRouter::Outcome LineRouter::global_commands(int channel, const std::string& line) {
    for (auto handler : modules_.global_commands()) {
        channels_.make_current(channel);
        parse(line);
        int32_t r = 0;
        if (!modules_.call(RoutineName{"", "", reinterpret_cast<const void*>(handler)}, [&] { r = handler(); }))
            return Outcome::stopped;
        if (r == 0) continue;
        // The user's own module has not seen the line: it may show its
        // prompt again once the global command's output is out.
        if (const HostUser* user = channels_.user(channel)) {
            if (modules_.get(user->state))
                statuses_.push(channel, HOST_ST_REPROMPT);
            else if (user->state == kHostMenuState)
                prompt(channel);
        }
        return Outcome::taken;
    }
    return Outcome::passed;
}

LineRouter::Outcome LineRouter::module(int channel, const std::string& line) {
    channels_.make_current(channel);
    parse(line);
    const ModuleDescriptor* m = modules_.get(channels_.user(channel)->state);
    if (!m || !m->input) return Outcome::passed;
    auto input = m->input;
    int16_t r = 1;
    if (!modules_.call(RoutineName{m->name, "input routine"}, [&] { r = input(); })) return Outcome::stopped;
    if (r == 0) {
        if (HostUser* user = channels_.user(channel)) {
            user->state = kHostMenuState;
            user->substate = 0;
            prompt(channel);
        }
    }
    return Outcome::taken;
}

LineRouter::Outcome LineRouter::host_menu(int channel, const std::string& line) {
    if (channels_.user(channel)->state == kEditorState) return Outcome::passed;  // his editor went
    parse(line);
    if (::margc == 0) {
        prompt(channel);
        return Outcome::taken;
    }
    const std::string word = text::lowercase(::margv[0]);
    for (const MenuCommand& command : kMenu)
        if (word == command.word) {
            (this->*command.run)(channel);
            return Outcome::taken;
        }
    std::string help = "Commands: ";
    for (const MenuCommand& command : kMenu) help += std::string(&command == kMenu ? "" : ", ") + command.word;
    calls_.send(channel, help + ".\r");
    prompt(channel);
    return Outcome::taken;
}

void LineRouter::to_game(int channel) {
    const int game = modules_.find(GAME_MODULE_NAME);
    if (game < 0) {
        calls_.send(channel, "There is no game on this host.\r");
        prompt(channel);
        return;
    }
    HostUser* user = channels_.user(channel);
    user->state = game;
    user->substate = 0;
    statuses_.push(channel, GAME_ST_RETURN);  // the game takes the player back
}

void LineRouter::bye(int channel) {
    calls_.send(channel, "Goodbye.\r");
    calls_.close_later(channel);
}

}  // namespace bbs
