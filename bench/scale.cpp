// 1,024 sessions at once: bbshost with 1,024 channels and clients of the
// three ways mixed (342 telnet, 341 SSH, 341 WebSocket), each from a
// loopback address of its own, typing at a human pace in character mode:
// "look <another player>" a key at a time (50-350 ms between keys), Enter,
// and 1-5 s after the game's answer the next line. A key's latency runs to
// its echo, the Enter's to the game's prompt after the answer.
//
// The baseline is the same clients against bbshost --echo at the same load
// (the keys echoed by the same terminal layer, the line sent back instead
// of the game's answer): the paths take turns, each for the session time.
// Beside each way's p99 against the echo path's (all ways), the run gives
// the host's peak memory, the errors of both paths, and whether a session
// is starved: the slowest session's p99 against the median session's.
//
// Logons go a few at a time (kLogonsAtOnce), under the logon throttle's
// MaxStartups start, so that the host runs with its default rules; they
// are not measured.
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/clients.h"
#include "bench/host_process.h"
#include "bench/load.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

constexpr int kScaleUsers = 1024;
constexpr std::array<int, 3> kScaleMix = {342, 341, 341};  // telnet, SSH, WebSocket
constexpr double kKeyPauseMs[2] = {50, 350};
constexpr double kLinePauseMs[2] = {1000, 5000};

double env_number(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atof(v) : fallback;
}

// One user at his keyboard: the line he types, the key he is at (the
// line's length: Enter), what he waits for since when.
struct Typist {
    std::unique_ptr<Client> client;
    bool ready = false;       // logged on, and in character mode
    std::string typed;
    size_t key = 0;
    std::string awaited;      // empty: not waiting
    Clock::time_point sent_at{}, next_at{};
    std::vector<double> latencies_us;
};

struct ScaleResult {
    std::array<std::vector<double>, 3> latencies_us;  // keys and Enters, by way
    std::array<int, 3> clients{}, ready{};
    std::vector<double> session_p99_us;               // one per session that typed
    std::vector<double> keys_us, enters_us;           // all ways: keys to their echo, Enters to the answer
    uint64_t errors = 0;
    std::vector<std::string> error_samples;
    double cpu_seconds = 0, peak_mb = 0, seconds = 0;

    void error(const std::string& what) {
        ++errors;
        if (error_samples.size() < 6) error_samples.push_back(what);
    }
    size_t events() const {
        size_t n = 0;
        for (const auto& l : latencies_us) n += l.size();
        return n;
    }
    std::vector<double> pooled() const {
        std::vector<double> all;
        for (const auto& l : latencies_us) all.insert(all.end(), l.begin(), l.end());
        return all;
    }
};

// Raised to the hard limit: the clients hold a socket each (and the host,
// which inherits it, one or two per session).
void raise_open_files() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// The logons, kLogonsAtOnce at a time, SSH first (libssh's client connects
// and authenticates blocking); a telnet user then turns character mode on.
void log_on(std::vector<Typist>& typists, std::vector<pollfd>& fds, const std::vector<app::Account>& users,
            const HostProcess& host, const HostProcess::Options& options, ScaleResult& result) {
    log_on_in_batches(
        logon_order(kScaleMix, users.size()), kLogonsAtOnce, std::chrono::seconds(300), fds,
        [&](Way way, size_t u) {
            const int w = static_cast<int>(way);
            ++result.clients[w];
            std::string why;
            Typist t;
            t.client = make_client(way, users[u], u, options, host.port(), true, &why);
            if (!why.empty()) {
                result.error(std::string(kWayNames[w]) + " " + users[u].userid + ": " + why);
                return false;
            }
            fds.push_back({t.client->fd(), POLLIN, 0});
            typists.push_back(std::move(t));
            return true;
        },
        [&](size_t i) {
            Client& c = *typists[i].client;
            bool over = false;
            if (!c.logged_on()) {
                over = c.advance_logon() && c.failed();
                if (c.logged_on() && c.way() == Way::telnet)
                    static_cast<TelnetClient&>(c).enter_character_mode();
            } else if (c.way() == Way::telnet && !static_cast<TelnetClient&>(c).echoing()) {
                over = !c.pull();
            }
            const bool ready =
                c.logged_on() && (c.way() != Way::telnet || static_cast<TelnetClient&>(c).echoing());
            if (!over && !ready) return false;
            typists[i].ready = ready && !c.failed();
            return true;
        });
}

// One turn: a fresh bbshost (--echo for the baseline), 1,024 clients logged
// on, then `seconds` of typing.
ScaleResult run_scale(bool echo, double seconds) {
    ScaleResult result;
    raise_open_files();
    HostProcess::Options options;
    options.data = load_folder(static_cast<size_t>(env_number("PLUS_BENCH_LOAD_RECORDS", 1000000)), kScaleUsers);
    options.channels = kScaleUsers;
    options.echo = echo;
    std::string error;
    auto host = start_host_with_ways(options, &error);
    if (!host) {
        result.error("bbshost did not start: " + error);
        return result;
    }
    std::fprintf(stderr, "plus_bench: scale, %s path: %d telnet, %d SSH, %d WebSocket clients for %.0f s...\n",
                 echo ? "echo" : "game", kScaleMix[0], kScaleMix[1], kScaleMix[2], seconds);
    std::optional<ProcessorsApart> apart(std::in_place, host->pid());
    const auto& users = load_users(kScaleUsers);
    std::vector<Typist> typists;
    std::vector<pollfd> fds;
    log_on(typists, fds, users, *host, options, result);

    std::mt19937 random(20261207);
    std::uniform_real_distribution<double> key_pause(kKeyPauseMs[0] * 1000, kKeyPauseMs[1] * 1000);
    std::uniform_real_distribution<double> line_pause(kLinePauseMs[0] * 1000, kLinePauseMs[1] * 1000);
    auto after = [&](Clock::time_point now, std::uniform_real_distribution<double>& pause) {
        return now + std::chrono::microseconds(static_cast<int64_t>(pause(random)));
    };
    const auto start = Clock::now();
    for (auto& t : typists) {
        if (t.ready) {
            ++result.ready[static_cast<int>(t.client->way())];
            t.next_at = after(start, line_pause);
        } else if (!t.client->failed()) {
            t.client->fail("not logged on within the logon time");
        }
    }
    const double cpu_before = host->cpu_seconds();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        poll(fds.data(), fds.size(), 1);
        now = Clock::now();
        for (size_t i = 0; i < typists.size(); ++i) {
            Typist& t = typists[i];
            Client& c = *t.client;
            if (!t.ready || c.failed()) continue;
            if (!t.awaited.empty()) {
                // libssh may hold what it read while it wrote: SSH clients
                // that wait look every round.
                const bool readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || c.way() == Way::ssh;
                if (readable && !c.pull()) continue;
                if (!c.take(t.awaited)) {
                    if (now - t.sent_at > std::chrono::duration<double>(kReplyTimeout))
                        c.fail("no answer to \"" + t.typed.substr(0, t.key + 1) + "\" in time");
                    continue;
                }
                const double us = std::chrono::duration<double, std::micro>(now - t.sent_at).count();
                t.latencies_us.push_back(us);
                result.latencies_us[static_cast<int>(c.way())].push_back(us);
                t.awaited.clear();
                const bool line_done = t.key == t.typed.size();
                (line_done ? result.enters_us : result.keys_us).push_back(us);
                t.key = line_done ? 0 : t.key + 1;
                t.next_at = line_done ? after(now, line_pause) : after(now, key_pause);
            } else if (now >= t.next_at) {
                if (t.key == 0) t.typed = "look " + users[random() % users.size()].player_name;
                const bool enter = t.key == t.typed.size();
                const std::string key = enter ? std::string("\r") : std::string(1, t.typed[t.key]);
                // The echo of a key is the key; Enter is answered with the
                // game's prompt (on the echo path, with the line sent back).
                t.awaited = !enter ? key : echo ? t.typed + "\r\n" : std::string("]: ");
                t.sent_at = now;
                c.forget_text();
                if (!c.send_text(key)) c.fail("cannot send");
            }
        }
    }
    result.cpu_seconds = host->cpu_seconds() - cpu_before;
    result.seconds = seconds;
    result.peak_mb = host->peak_memory_mb();
    apart.reset();
    for (auto& t : typists) {
        if (t.client->failed()) result.error(t.client->problem());
        if (!t.latencies_us.empty()) result.session_p99_us.push_back(LoadResult::percentile_us(t.latencies_us, 99));
    }
    typists.clear();
    if (!host->stop(&error)) result.error(error);

    for (int w = 0; w < 3; ++w) {
        const auto& l = result.latencies_us[w];
        std::fprintf(stderr, "  %-9s %d of %d logged on, %zu keys and lines, p50 %.0f us, p99 %.0f us, max %.0f us\n",
                     kWayNames[w], result.ready[w], result.clients[w], l.size(), LoadResult::percentile_us(l, 50),
                     LoadResult::percentile_us(l, 99), LoadResult::percentile_us(l, 100));
    }
    std::fprintf(stderr, "  keys p50 %.0f us, p99 %.0f us; Enters p50 %.0f us, p99 %.0f us\n",
                 LoadResult::percentile_us(result.keys_us, 50), LoadResult::percentile_us(result.keys_us, 99),
                 LoadResult::percentile_us(result.enters_us, 50), LoadResult::percentile_us(result.enters_us, 99));
    std::fprintf(stderr,
                 "  sessions' p99: median %.0f us, slowest %.0f us; %llu errors, host peak %.1f MB, host "
                 "processor time %.2f s\n",
                 LoadResult::percentile_us(result.session_p99_us, 50),
                 LoadResult::percentile_us(result.session_p99_us, 100), static_cast<unsigned long long>(result.errors),
                 result.peak_mb, result.cpu_seconds);
    for (const auto& e : result.error_samples) std::fprintf(stderr, "  error: %s\n", e.c_str());
    return result;
}

void scale_load() {
    const double seconds = env_number("PLUS_BENCH_LOAD_SECONDS", 30);
    const ScaleResult game = run_scale(false, seconds);
    const ScaleResult echo = run_scale(true, seconds);

    const std::string group = "scale";
    const char* on_echo = "echo path, same load";
    const double echo_p99 = LoadResult::percentile_us(echo.pooled(), 99) / 1000;
    add_figure({group, "keys and lines answered per second", game.events() / std::max(game.seconds, 1.0), "/s",
                on_echo, echo.events() / std::max(echo.seconds, 1.0), 0, Goal::None});
    for (const Way way : {Way::telnet, Way::ssh, Way::web}) {
        const std::string name = kWayNames[static_cast<int>(way)];
        add_figure({group, name + " p99, key to echo, Enter to answer",
                    LoadResult::percentile_us(game.latencies_us[static_cast<int>(way)], 99) / 1000, "ms", on_echo,
                    echo_p99, 2, Goal::AtMost});
    }
    add_figure({group, "slowest session's p99", LoadResult::percentile_us(game.session_p99_us, 100) / 1000, "ms",
                "the median session's p99", LoadResult::percentile_us(game.session_p99_us, 50) / 1000, 3,
                Goal::AtMost});
    // The same on the echo path: what the machine's own pauses make of it,
    // since a session's p99 of some 70 keys and lines is nearly its slowest.
    add_figure({group, "echo path: slowest session's p99", LoadResult::percentile_us(echo.session_p99_us, 100) / 1000,
                "ms", "the median session's p99", LoadResult::percentile_us(echo.session_p99_us, 50) / 1000, 0,
                Goal::None});
    auto cpu_per_event = [](const ScaleResult& r) {
        return r.events() ? r.cpu_seconds * 1e6 / static_cast<double>(r.events()) : NAN;
    };
    add_figure({group, "host processor time per key or line", cpu_per_event(game), "us", on_echo,
                cpu_per_event(echo), 0, Goal::None});
    add_figure({group, "host peak memory, 1,024 mixed sessions", game.peak_mb, "MB", on_echo, echo.peak_mb, 128,
                Goal::AtMost, true});
    add_figure({group, "errors", static_cast<double>(game.errors), "", "", 0, 0, Goal::AtMost, true});
    add_figure({group, "errors on the echo path", static_cast<double>(echo.errors), "", "", 0, 0, Goal::AtMost, true});
}

struct Registrar {
    Registrar() {
        describe_group("scale",
                       "Scale: bbshost, 1,024 channels, 1,024 loopback clients mixed (342 telnet, 341 SSH, 341 "
                       "WebSocket) typing at a human pace in character mode; the game and the echo path in turns");
        after_runs("scale/load", scale_load);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
