// The three ways in under one load: bbshost --echo with telnet, SSH and the
// web terminal open, 256 loopback clients of the three ways at once (86
// telnet, 85 SSH through libssh's client, 85 WebSocket), each typing a line
// after a pause and timing it until its echo is complete. The echo path
// leaves only what a way costs: the game's work is the same for all three.
//
// The mixed run gives each way's latency against telnet's on the same host
// at the same moment, and the host's peak memory with 256 sessions of the
// three. Processor time cannot be told apart by way inside one process, so
// each way also runs alone with 256 clients; its host processor time per
// line is held against telnet's alone.
//
// The clients: one thread, poll() over every socket. SSH clients connect,
// authenticate and open their shell before the loop (blocking, one after
// the other: logons are not measured); libssh reads their channels without
// blocking after that. SSH authentication offers the user's password
// first and takes "none" when that is refused, and the logon dialogue in
// the shell is answered only when it asks.
#include <poll.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "bench/clients.h"
#include "bench/host_process.h"
#include "bench/load.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

double env_number(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atof(v) : fallback;
}

struct WaysResult {
    std::array<std::vector<double>, 3> latencies_us;  // by way
    std::array<int, 3> clients{}, logged_on{};
    uint64_t errors = 0;
    std::vector<std::string> error_samples;
    double cpu_seconds = 0;  // the host's over the session time
    double peak_mb = 0;
    double seconds = 0;

    void error(const std::string& what) {
        ++errors;
        if (error_samples.size() < 6) error_samples.push_back(what);
    }
    double p99_ms(Way way) const { return LoadResult::percentile_us(latencies_us[static_cast<int>(way)], 99) / 1000; }
    double cpu_per_line_us() const {
        size_t lines = 0;
        for (const auto& l : latencies_us) lines += l.size();
        return lines ? cpu_seconds * 1e6 / static_cast<double>(lines) : NAN;
    }
};

// One run: a fresh bbshost --echo with all three ways, clients[way] of each.
WaysResult run_ways(std::array<int, 3> counts, double seconds) {
    WaysResult result;
    HostProcess::Options options;
    options.data = load_folder(static_cast<size_t>(env_number("PLUS_BENCH_LOAD_RECORDS", 1000000)));
    options.channels = kLoadUsers;
    options.echo = true;
    std::string error;
    auto host = start_host_with_ways(options, &error);
    if (!host) {
        result.error("bbshost did not start: " + error);
        return result;
    }
    std::fprintf(stderr, "plus_bench: ways, %d telnet, %d SSH, %d WebSocket clients for %.0f s...\n", counts[0],
                 counts[1], counts[2], seconds);
    std::optional<ProcessorsApart> apart(std::in_place, host->pid());

    // Who comes in which way: the users in turn, SSH first; at most
    // kLogonsAtOnce at the logon dialogue together (the host refuses more).
    const auto& users = load_users();
    const auto order = logon_order(counts, users.size());
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    auto wait = [&](int ms) { poll(fds.data(), fds.size(), ms); };
    log_on_in_batches(
        order, kLogonsAtOnce, std::chrono::seconds(120), fds,
        [&](Way way, size_t u) {
            const int w = static_cast<int>(way);
            ++result.clients[w];
            std::string why;
            std::unique_ptr<Client> c = make_client(way, users[u], u, options, host->port(), false, &why);
            if (!why.empty()) {
                result.error(std::string(kWayNames[w]) + " " + users[u].userid + ": " + why);
                return false;
            }
            fds.push_back({c->fd(), POLLIN, 0});
            clients.push_back(std::move(c));
            return true;
        },
        [&](size_t i) { return clients[i]->advance_logon(); });
    std::mt19937 random(20261207);
    const double think_ms = env_number("PLUS_BENCH_THINK_MS", 100);
    std::uniform_real_distribution<double> pause(0, 2 * think_ms * 1000);
    const auto start = Clock::now();
    for (auto& c : clients) {
        if (c->logged_on()) {
            ++result.logged_on[static_cast<int>(c->way())];
            c->next_line = start + std::chrono::microseconds(static_cast<int64_t>(pause(random)));
        } else if (!c->failed()) {
            c->fail("not logged on within two minutes");
        }
    }

    const double cpu_before = host->cpu_seconds();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        wait(1);
        now = Clock::now();
        for (size_t i = 0; i < clients.size(); ++i) {
            auto& c = clients[i];
            if (!c->logged_on() || c->failed()) continue;
            if (c->waiting()) {
                // libssh may hold what it read while it wrote: SSH clients
                // that wait look every round.
                const bool readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || c->way() == Way::ssh;
                const double us = c->echo_latency(now, readable);
                if (us < 0) continue;
                result.latencies_us[static_cast<int>(c->way())].push_back(us);
                c->next_line = now + std::chrono::microseconds(static_cast<int64_t>(pause(random)));
            } else if (now >= c->next_line) {
                c->type_line(now);
            }
        }
    }
    result.cpu_seconds = host->cpu_seconds() - cpu_before;
    result.seconds = seconds;
    result.peak_mb = host->peak_memory_mb();
    apart.reset();
    for (auto& c : clients)
        if (c->failed()) result.error(c->problem());
    clients.clear();
    if (!host->stop(&error)) result.error(error);

    for (int w = 0; w < 3; ++w) {
        if (!result.clients[w]) continue;
        const auto& l = result.latencies_us[w];
        std::fprintf(stderr, "  %-9s %d of %d logged on, %zu lines, p50 %.0f us, p99 %.0f us, max %.0f us\n",
                     kWayNames[w], result.logged_on[w], result.clients[w], l.size(),
                     LoadResult::percentile_us(l, 50), LoadResult::percentile_us(l, 99),
                     LoadResult::percentile_us(l, 100));
    }
    std::fprintf(stderr, "  %llu errors, host peak %.1f MB, host processor time %.2f s\n",
                 static_cast<unsigned long long>(result.errors), result.peak_mb, result.cpu_seconds);
    for (const auto& e : result.error_samples) std::fprintf(stderr, "  error: %s\n", e.c_str());
    return result;
}

void ways_load() {
    const double seconds = env_number("PLUS_BENCH_LOAD_SECONDS", 30) / 2;
    const WaysResult mixed = run_ways({86, 85, 85}, seconds);
    std::array<WaysResult, 3> alone;
    for (int w = 0; w < 3; ++w) {
        std::array<int, 3> counts{};
        counts[w] = kLoadUsers;
        alone[w] = run_ways(counts, seconds / 2);
    }

    const std::string group = "ways";
    const char* on_telnet = "telnet, same run";
    const double telnet_p99 = mixed.p99_ms(Way::telnet);
    add_figure({group, "telnet latency p99, line to its echo", telnet_p99, "ms", "", 0, 0, Goal::None});
    for (const Way way : {Way::ssh, Way::web}) {
        const std::string name = kWayNames[static_cast<int>(way)];
        add_figure({group, name + " latency p99, line to its echo", mixed.p99_ms(way), "ms", on_telnet, telnet_p99,
                    2, Goal::AtMost});
    }
    const double telnet_cpu = alone[0].cpu_per_line_us();
    add_figure({group, "host processor time per telnet line (alone)", telnet_cpu, "us", "", 0, 0, Goal::None});
    for (const Way way : {Way::ssh, Way::web}) {
        const std::string name = kWayNames[static_cast<int>(way)];
        add_figure({group, "host processor time per " + name + " line (alone)",
                    alone[static_cast<int>(way)].cpu_per_line_us(), "us", "telnet alone", telnet_cpu, 0,
                    Goal::None});
    }
    add_figure({group, "host peak memory, 256 mixed sessions", mixed.peak_mb, "MB", "", 0, 128, Goal::AtMost,
                true});
    uint64_t errors = mixed.errors;
    for (const auto& a : alone) errors += a.errors;
    add_figure({group, "errors", static_cast<double>(errors), "", "", 0, 0, Goal::AtMost, true});
}

struct Registrar {
    Registrar() {
        describe_group("ways",
                       "Ways in: bbshost --echo, 256 loopback clients mixed (86 telnet, 85 SSH, 85 "
                       "WebSocket), each way's p99 at most 2x telnet's, memory under 128 MB; then "
                       "each way alone for processor time");
        after_runs("ways/load", ways_load);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
