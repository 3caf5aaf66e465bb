// The module's menu paths in-process: one line at a time through the host
// (Host::line: cleaning, word parsing, the global commands, the module's
// input routine, its output), against the host's bare cost of taking a
// line and sending a fixed reply of a screen's size from a module that does
// nothing else. The ratio is what the module's own work adds.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bbs/host.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

struct Path {
    const char* name;         // run name "menu/<name>"
    const char* figure;
    World::Role role;
    std::vector<std::string> lines;  // typed in turn, one per iteration
    std::vector<std::string> shows;  // what the reply to each line contains
    bool database;            // the path reads the generic database
};

const std::vector<Path>& paths() {
    static const std::vector<Path> list = {
        {"bare", "bare reply", World::Role::Bare, {"x"}, {"Bare \x1b[0;32mchoice:"}, false},
        {"main_menu", "main menu (empty line: the menu again)", World::Role::MainMenu, {""},
         {"Plus \x1b[0;32mchoice:"}, false},
        {"registry_editor", "registry editor (field 1, then its text)", World::Role::RegistryEdit,
         {"1", "Robin of the old mill"},
         {"Your real name", "Field to change"}, false},
        {"description", "description screen (one record read)", World::Role::Description, {""},
         {World::kDescription}, true},
        {"lookup", "lookup (game record and registry read)", World::Role::Lookup,
         {World::kLookupTarget},
         {"Fortune favours the bold"}, true},
    };
    return list;
}

void run_path(benchmark::State& state, const Path& path) {
    World& w = world();
    w.rebind();
    bbs::Host& host = w.host();
    const int channel = w.channel(path.role);
    // One round untimed, checked: the path does what it is named for.
    std::string failure;
    for (size_t i = 0; i < path.lines.size() && failure.empty(); ++i) {
        host.line(channel, path.lines[i]);
        const std::string reply = w.output(channel);
        if (reply.find(path.shows[i]) == std::string::npos)
            failure = "the reply to \"" + path.lines[i] + "\" lacks \"" + visible(path.shows[i]) +
                      "\": " + visible(reply);
    }
    size_t i = 0;
    for (auto _ : state) {
        if (!failure.empty()) continue;  // the loop runs its course; the run reports the failure
        host.line(channel, path.lines[i]);
        benchmark::DoNotOptimize(w.output(channel));
        if (++i == path.lines.size()) i = 0;
    }
    // The round is finished untimed, so that the next run starts where this one did.
    for (; failure.empty() && i != 0; i = (i + 1) % path.lines.size()) {
        host.line(channel, path.lines[i]);
        w.output(channel);
    }
    if (failure.empty() && host.pending_statuses() != 0) failure = "the path left statuses behind";
    if (!failure.empty()) state.SkipWithError(failure.c_str());
}

struct Registrar {
    Registrar() {
        describe_group("menu",
                       "Menu paths in-process, per line: what the module adds to the host's bare cost "
                       "of a line and a fixed reply");
        for (const Path& p : paths()) {
            const std::string run = std::string("menu/") + p.name;
            benchmark::RegisterBenchmark(run.c_str(), [&p](benchmark::State& s) { run_path(s, p); })
                ->UseRealTime()
                ->MinTime(0.2)
                ->Unit(benchmark::kMicrosecond);
            if (std::string(p.name) == "bare") continue;
            Comparison c;
            c.group = "menu";
            c.figure = p.figure;
            c.measured = run;
            c.baseline = "menu/bare";
            c.baseline_label = "bare reply, same host";
            c.ratio = Ratio::Added;
            c.per_line = true;
            // Paths that read the database are shown, not judged: their
            // database work is held against SQLite in the generic db group.
            c.kind = p.database ? Goal::None : Goal::AtMost;
            c.goal = 2;
            compare(c);
        }
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
