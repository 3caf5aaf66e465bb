// The telnet load generator: up to 256 clients on loopback, each logging on
// and running a scripted session against a bbshost, bounded in count and in
// time. One thread, one Asio event loop.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/world.h"

namespace plus_bench {

struct LoadOptions {
    uint16_t port = 0;                // 127.0.0.1 only
    std::vector<app::Account> users;     // one client each (at most kMaxClients)
    // The host runs with --echo: every line comes back as it is, and a
    // client waits for that echo instead of the menu's answer.
    bool echo = false;
    // Character mode: after the logon each client agrees to the host's SGA
    // and ECHO (and tells a window of 80 by 24 through NAWS), then types the
    // keys of "look <another player>" one at a time and Enter. The latency of
    // a key runs from its byte sent to its echo; the Enter's (the game's
    // answer, to the prompt) goes to by_step only.
    bool keys = false;
    double seconds = 30;              // of scripted sessions, after every client logged on
    double think_ms = 100;            // mean pause before each line (uniform, 0 .. 2x)
    double reply_timeout_s = 10;      // a reply that takes longer is an error
    // Users who do not run the session (their lines are not measured):
    // users[0] lists every registry from A to the end, again and again;
    // users[1] pastes four lines of 4 KB at a time at the game prompt, the
    // next paste as soon as the last one was answered.
    bool lister = false;
    bool paster = false;
};

struct LoadResult {
    int clients = 0;
    int logged_on = 0;
    uint64_t lines = 0;               // lines answered within the session time
    double seconds = 0;               // session time
    std::vector<double> latencies_us; // line sent -> reply complete, every line
    std::map<std::string, std::vector<double>> by_step;  // the same, by step of the session
    uint64_t bytes_received = 0;      // by all clients, logons and sessions
    uint64_t listings = 0;            // whole listings the lister read to their end
    uint64_t listed_lines = 0;        // lines the lister received
    uint64_t pasted_lines = 0;        // 4 KB lines of the paster that were answered
    std::vector<double> client_lag_us;  // how late the clients' 1 ms tick came, every tick
    uint64_t errors = 0;              // failed logons, timeouts, wrong replies, lost connections
    std::vector<std::string> error_samples;  // the first few, for the report
    double percentile_us(double p) const;    // p in 0..100; 0 when no lines
    static double percentile_us(std::vector<double> latencies, double p);
};

constexpr int kMaxClients = 256;
// The one step of the session that writes (a registry field stored): its
// answer waits until the commit is on disk.
constexpr const char* kStoreStep = "editor: x (stored)";
// The character-mode clients' steps: one key echoed, and Enter answered.
constexpr const char* kKeyStep = "key: its echo";
constexpr const char* kEnterStep = "Enter: the game's answer (look)";

LoadResult run_load(const LoadOptions& options);

}  // namespace plus_bench
