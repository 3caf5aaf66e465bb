// What durable commits cost: the host's database runs synchronous=FULL (the
// write-ahead log is synced before COMMIT returns). Held against the same
// work with synchronous=NORMAL on the same connection, in the same run: a
// purchase (its save writes the record, the charge and the approval mail)
// and a line that only reads, whose commit must cost no sync at all.
//
// The two settings take turns, a short block of work each, the order
// swapping every turn, so that the shared machine's noise meets both alike;
// the figures are the medians of the blocks.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bbs/database.h"
#include "bbs/host.h"
#include "bench/registry.h"
#include "bench/world.h"
#include "tests/support/database_access.h"

namespace plus_bench {
namespace {

using Clock = std::chrono::steady_clock;

void set_synchronous(bbs::Host& host, const char* mode) {
    sqlite3_exec(testing_support::sqlite_handle(host.database()), ("PRAGMA synchronous=" + std::string(mode)).c_str(),
                 nullptr, nullptr, nullptr);
}

// Runs `work` (one unit, false when it went wrong) in blocks of `per_block`,
// FULL and NORMAL in turns; the median microseconds per unit of each.
struct Turns {
    double full = NAN, normal = NAN;
    std::string failure;
};
Turns in_turns(bbs::Host& host, int turns, int per_block, const std::function<bool(std::string*)>& work) {
    std::vector<double> full, normal;
    Turns out;
    for (int turn = 0; turn < turns && out.failure.empty(); ++turn) {
        for (int side = 0; side < 2 && out.failure.empty(); ++side) {
            const bool is_full = (turn + side) % 2 == 0;
            set_synchronous(host, is_full ? "FULL" : "NORMAL");
            const auto start = Clock::now();
            for (int i = 0; i < per_block && out.failure.empty(); ++i) work(&out.failure);
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            (is_full ? full : normal).push_back(us / per_block);
        }
    }
    set_synchronous(host, "FULL");
    if (out.failure.empty()) {
        out.full = median(full);
        out.normal = median(normal);
    }
    return out;
}

void durability() {
    World& w = world();
    w.rebind();
    bbs::Host& host = w.host();
    const std::string group = "durability";
    const char* against = "the same, synchronous=NORMAL";

    // From the description menu: the price screen, yes, and the text saved
    // in the editor (the one call of the three that writes).
    const int buyer = w.channel(World::Role::Purchase);
    int round = 0;
    const Turns bought = in_turns(host, 40, 5, [&](std::string* failure) {
        host.line(buyer, "d");
        host.line(buyer, "yes");
        if (!host.in_editor(buyer)) {
            *failure = "the editor did not open: " + visible(w.output(buyer));
            return false;
        }
        const std::string text = "Bought again, round " + std::to_string(++round) + ".";
        host.editor_save(buyer, text);
        host.deliver_all();
        const std::string reply = w.output(buyer);
        if (reply.find(text) != std::string::npos) return true;
        *failure = "the save is not shown: " + visible(reply);
        return false;
    });

    // The description screen again (one record read): a transaction that
    // wrote nothing.
    const int reader = w.channel(World::Role::Description);
    const Turns read = in_turns(host, 200, 50, [&](std::string* failure) {
        host.line(reader, "");
        const std::string reply = w.output(reader);
        if (reply.find(World::kDescription) != std::string::npos) return true;
        *failure = "the description is not shown: " + visible(reply);
        return false;
    });

    for (const Turns* t : {&bought, &read})
        if (!t->failure.empty()) std::fprintf(stderr, "plus_bench: durability: %s\n", t->failure.c_str());
    std::fprintf(stderr,
                 "plus_bench: durability: a purchase %.0f us (FULL) / %.0f us (NORMAL), a read line "
                 "%.1f us / %.1f us\n",
                 bought.full, bought.normal, read.full, read.normal);
    add_figure({group, "a description bought (3 lines, 1 writes)", bought.full, "us", against,
                bought.normal, 0, Goal::None});
    add_figure({group, "a line that only reads (description screen)", read.full, "us", against,
                read.normal, 1.1, Goal::AtMost});
    close_hosts();  // the work after this one opens hosts of its own
}

struct Registrar {
    Registrar() {
        describe_group("durability",
                       "Durable commits in-process: synchronous=FULL against NORMAL on the same "
                       "connection, in turns");
        after_runs("durability/turns", durability);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
