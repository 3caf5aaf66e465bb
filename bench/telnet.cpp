// The host program under telnet load: bbshost with 256 channels on a data
// folder of a million generic records, 256 clients of bench/load.h running
// scripted sessions through the menus, against the same clients on the bare
// echo path of the same program (bbshost --echo).
//
// The two paths take turns (menu, echo, menu, echo), half of the session
// time each, so that the shared machine's quiet and busy moments fall on
// both; the figures pool the turns of a path.
//
// Fairness: 254 of the clients run their sessions while the other two do
// what users who hold the host do: one lists every registry of the million
// records, from A to the end and again; one pastes lines of 4 KB as fast as
// they are answered. Their latency is held against the same 254 sessions
// with those two away, the two loads again in turns.
//
// Keys: the same 256 clients in character mode on the same host (not the
// echo path), each typing "look <another player>" a key at a time; a key's
// echo comes from the host's line editor. Its latency is held against the
// echo path's lines (line mode, bbshost --echo), the paths in turns again.
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench/host_process.h"
#include "bench/load.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

constexpr int kTurns = 2;  // per path

double env_number(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atof(v) : fallback;
}

// What the turns of one path add up to.
struct Outcome {
    int turns = 0;
    LoadResult load;         // lines, latencies and errors of every turn
    double seconds = 0;      // session time
    double peak_mb = 0;      // the highest of the turns
    double cpu_seconds = 0;  // the host's, over the whole turns (logons included)

    double lines_per_second() const { return seconds > 0 ? load.lines / seconds : 0; }
    double cpu_per_line_us() const {
        return load.latencies_us.empty()
                   ? 0
                   : cpu_seconds * 1e6 / static_cast<double>(load.latencies_us.size());
    }
};

// Who the clients of a turn are.
enum class Crowd {
    all,          // 256 sessions
    sessions,     // 254 sessions: the first two users stay away
    with_hogs,    // the same 254 sessions, the lister and the paster
};

// One turn: a fresh bbshost, the clients for `seconds`, the host stopped.
// keys: the clients type in character mode (LoadOptions::keys).
void load_turn(bool echo, double seconds, Outcome& out, Crowd crowd = Crowd::all, bool keys = false) {
    const size_t records = static_cast<size_t>(env_number("PLUS_BENCH_LOAD_RECORDS", 1000000));
    HostProcess::Options options;
    options.data = load_folder(records);
    options.channels = kLoadUsers;
    options.echo = echo;
    std::string error;
    auto host = HostProcess::start(options, &error);
    if (!host) {
        out.load.errors++;
        out.load.error_samples.push_back("bbshost did not start: " + error);
        return;
    }
    LoadOptions load;
    load.port = host->port();
    load.users = load_users();
    load.users.resize(std::min<size_t>(load.users.size(),
                                       static_cast<size_t>(env_number("PLUS_BENCH_CLIENTS", kLoadUsers))));
    if (crowd == Crowd::sessions) load.users.erase(load.users.begin(), load.users.begin() + 2);
    load.lister = load.paster = crowd == Crowd::with_hogs;
    load.echo = echo;
    load.keys = keys;
    load.seconds = seconds;
    load.think_ms = env_number("PLUS_BENCH_THINK_MS", 100);
    std::fprintf(stderr, "plus_bench: telnet load, %s path: %zu clients%s for %.0f s...\n",
                 echo ? "echo" : keys ? "character-mode keys" : "menu", load.users.size(),
                 crowd == Crowd::with_hogs ? " (a lister and a paster among them)" : "", seconds);

    auto own_cpu = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    std::optional<ProcessorsApart> apart(std::in_place, host->pid());
    const double cpu_before = host->cpu_seconds(), own_before = own_cpu();
    LoadResult r = run_load(load);
    apart.reset();
    const double cpu = host->cpu_seconds() - cpu_before, own = own_cpu() - own_before;
    const double peak = host->peak_memory_mb();
    if (!host->stop(&error)) {
        r.errors++;
        r.error_samples.push_back(error);
    }
    std::fprintf(stderr,
                 "  %d of %d logged on, %llu lines, p50 %.0f us, p90 %.0f us, p99 %.0f us, "
                 "max %.0f us, %llu errors, peak %.1f MB, host processor time %.2f s\n",
                 r.logged_on, r.clients, static_cast<unsigned long long>(r.lines),
                 r.percentile_us(50), r.percentile_us(90), r.percentile_us(99),
                 r.percentile_us(100), static_cast<unsigned long long>(r.errors), peak, cpu);
    std::fprintf(stderr,
                 "  the clients received %.1f MB and used %.2f s of processor time; their loop was "
                 "late by p50 %.0f us, p99 %.0f us, max %.0f us\n",
                 static_cast<double>(r.bytes_received) / 1e6, own, LoadResult::percentile_us(r.client_lag_us, 50),
                 LoadResult::percentile_us(r.client_lag_us, 99),
                 LoadResult::percentile_us(r.client_lag_us, 100));
    if (crowd == Crowd::with_hogs)
        std::fprintf(stderr,
                     "  the lister read %llu lines (%llu whole listings), the paster had %llu lines "
                     "of 4 KB answered\n",
                     static_cast<unsigned long long>(r.listed_lines),
                     static_cast<unsigned long long>(r.listings),
                     static_cast<unsigned long long>(r.pasted_lines));
    for (const std::string& e : r.error_samples) std::fprintf(stderr, "  error: %s\n", e.c_str());

    ++out.turns;
    out.seconds += seconds;
    out.peak_mb = std::max(out.peak_mb, peak);
    out.cpu_seconds += cpu;
    out.load.clients = r.clients;
    out.load.logged_on += r.logged_on;
    out.load.lines += r.lines;
    out.load.errors += r.errors;
    for (auto& e : r.error_samples) out.load.error_samples.push_back(std::move(e));
    out.load.latencies_us.insert(out.load.latencies_us.end(), r.latencies_us.begin(),
                                 r.latencies_us.end());
    for (auto& [what, latencies] : r.by_step) {
        auto& pooled = out.load.by_step[what];
        pooled.insert(pooled.end(), latencies.begin(), latencies.end());
    }
}

void report_steps(const char* path, const Outcome& o) {
    std::fprintf(stderr, "plus_bench: telnet load, %s path, by step of the session:\n", path);
    for (const auto& [what, latencies] : o.load.by_step)
        std::fprintf(stderr, "    %-36s %7zu lines  p50 %7.0f us  p99 %7.0f us\n", what.c_str(),
                     latencies.size(), LoadResult::percentile_us(latencies, 50),
                     LoadResult::percentile_us(latencies, 99));
}

void telnet_load() {
    const double seconds = env_number("PLUS_BENCH_LOAD_SECONDS", 30) / kTurns;
    Outcome menu, echo;
    for (int turn = 0; turn < kTurns; ++turn) {
        load_turn(false, seconds, menu);
        load_turn(true, seconds, echo);
    }
    report_steps("menu", menu);

    const std::string group = "telnet";
    const char* on_echo = "echo path, same clients";
    auto value = [](const Outcome& o, double v) { return o.turns > 0 ? v : NAN; };
    add_figure({group, "lines per second", value(menu, menu.lines_per_second()), "lines/s", on_echo,
                echo.lines_per_second(), 0, Goal::None});
    add_figure({group, "latency p50, line sent to reply complete",
                value(menu, menu.load.percentile_us(50) / 1000), "ms", on_echo,
                echo.load.percentile_us(50) / 1000, 0, Goal::None});
    add_figure({group, "latency p99, line sent to reply complete",
                value(menu, menu.load.percentile_us(99) / 1000), "ms", on_echo,
                echo.load.percentile_us(99) / 1000, 2, Goal::AtMost});
    // The stored field waits for the disk; every other line wrote nothing.
    auto reads_only_p99 = [](const Outcome& o) {
        std::vector<double> pooled;
        for (const auto& [what, latencies] : o.load.by_step)
            if (what != kStoreStep) pooled.insert(pooled.end(), latencies.begin(), latencies.end());
        return LoadResult::percentile_us(pooled, 99) / 1000;
    };
    add_figure({group, "latency p99, lines that store nothing", value(menu, reads_only_p99(menu)), "ms",
                on_echo, reads_only_p99(echo), 0, Goal::None});
    // Processor time is what the shared machine's noise moves least.
    add_figure({group, "host processor time per line", value(menu, menu.cpu_per_line_us()), "us",
                on_echo, echo.cpu_per_line_us(), 0, Goal::None});
    add_figure({group, "errors", value(menu, static_cast<double>(menu.load.errors)), "", "", 0, 0,
                Goal::AtMost, true});
    add_figure({group, "errors on the echo path", value(echo, static_cast<double>(echo.load.errors)),
                "", "", 0, 0, Goal::AtMost, true});
    add_figure({group, "host peak memory, 256 channels", value(menu, menu.peak_mb), "MB", on_echo,
                echo.peak_mb, 64, Goal::AtMost, true});
}

void fairness() {
    const double seconds = env_number("PLUS_BENCH_LOAD_SECONDS", 30) / kTurns;
    Outcome alone, hogged;
    for (int turn = 0; turn < kTurns; ++turn) {
        load_turn(false, seconds, alone, Crowd::sessions);
        load_turn(false, seconds, hogged, Crowd::with_hogs);
    }
    const std::string group = "fairness";
    const char* on_alone = "the same sessions alone";
    auto value = [](const Outcome& o, double v) { return o.turns > 0 ? v : NAN; };
    add_figure({group, "254 sessions' latency p50", value(hogged, hogged.load.percentile_us(50) / 1000),
                "ms", on_alone, alone.load.percentile_us(50) / 1000, 0, Goal::None});
    add_figure({group, "254 sessions' latency p99", value(hogged, hogged.load.percentile_us(99) / 1000),
                "ms", on_alone, alone.load.percentile_us(99) / 1000, 1.25, Goal::AtMost});
    add_figure({group, "host processor time per session line", value(hogged, hogged.cpu_per_line_us()),
                "us", on_alone, alone.cpu_per_line_us(), 0, Goal::None});
    add_figure({group, "errors", value(hogged, static_cast<double>(hogged.load.errors + alone.load.errors)),
                "", "", 0, 0, Goal::AtMost, true});
}

void keystroke_echo() {
    const double seconds = env_number("PLUS_BENCH_LOAD_SECONDS", 30) / kTurns;
    Outcome keys, echo;
    for (int turn = 0; turn < kTurns; ++turn) {
        load_turn(false, seconds, keys, Crowd::all, true);
        load_turn(true, seconds, echo);
    }
    report_steps("character-mode keys", keys);
    const std::string group = "keys";
    const char* on_echo = "echo path, a line sent back";
    auto value = [](const Outcome& o, double v) { return o.turns > 0 ? v : NAN; };
    add_figure({group, "keys echoed per second", value(keys, keys.lines_per_second()), "keys/s",
                "", 0, 0, Goal::None});
    add_figure({group, "key echo p50, key sent to its echo", value(keys, keys.load.percentile_us(50) / 1000),
                "ms", on_echo, echo.load.percentile_us(50) / 1000, 0, Goal::None});
    // The same bound as a menu line's: a key costs the host less than a line.
    add_figure({group, "key echo p99, key sent to its echo", value(keys, keys.load.percentile_us(99) / 1000),
                "ms", on_echo, echo.load.percentile_us(99) / 1000, 2, Goal::AtMost});
    auto enter_p99 = [](const Outcome& o) {
        auto it = o.load.by_step.find(kEnterStep);
        return it == o.load.by_step.end() ? NAN : LoadResult::percentile_us(it->second, 99) / 1000;
    };
    add_figure({group, "Enter p99, to the game's answer (look)", value(keys, enter_p99(keys)), "ms", on_echo,
                echo.load.percentile_us(99) / 1000, 0, Goal::None});
    add_figure({group, "host processor time per key", value(keys, keys.cpu_per_line_us()), "us",
                "echo path, per line", echo.cpu_per_line_us(), 0, Goal::None});
    add_figure({group, "errors", value(keys, static_cast<double>(keys.load.errors + echo.load.errors)), "",
                "", 0, 0, Goal::AtMost, true});
}

struct Registrar {
    Registrar() {
        describe_group("telnet",
                       "Telnet load: bbshost, 256 channels, 10^6 generic records, 256 loopback "
                       "clients; menu and echo paths in turns");
        after_runs("telnet/load", telnet_load);
        describe_group("keys",
                       "Keystroke echo: the same host and 256 clients in character mode typing a "
                       "key at a time, against the echo path's lines");
        after_runs("keys/load", keystroke_echo);
        describe_group("fairness",
                       "Fairness: 254 telnet sessions while one user lists all registries of 10^6 "
                       "records and another pastes 4 KB lines, against the 254 alone");
        after_runs("fairness/load", fairness);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
