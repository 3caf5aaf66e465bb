// What durable commits cost: the host's database runs synchronous=FULL (the
// write-ahead log is synced before COMMIT returns). Held against the same
// work with synchronous=NORMAL on the same connection, in the same run: a
// purchase (its save writes the record, the charge and the approval mail)
// and a line that only reads, whose commit must cost no sync at all.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <string>

#include "bbs/database.h"
#include "bbs/host.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

// The connection's synchronous setting for one run, put back after it.
class Synchronous {
public:
    Synchronous(bbs::Host& host, const char* mode) : db_(host.database().handle()) {
        set(mode);
    }
    ~Synchronous() { set("FULL"); }
    Synchronous(const Synchronous&) = delete;
    Synchronous& operator=(const Synchronous&) = delete;

private:
    void set(const char* mode) {
        sqlite3_exec(db_, ("PRAGMA synchronous=" + std::string(mode)).c_str(), nullptr, nullptr,
                     nullptr);
    }
    sqlite3* db_;
};

// From the description menu: the price screen, yes, and the text saved in
// the editor (the one call of the three that writes). The user is back at
// the description menu after it.
void purchase(benchmark::State& state, const char* mode) {
    World& w = world();
    w.rebind();
    bbs::Host& host = w.host();
    const int ch = w.channel(World::Role::Purchase);
    Synchronous synchronous(host, mode);
    std::string failure;
    int round = 0;
    for (auto _ : state) {
        if (!failure.empty()) continue;
        host.line(ch, "d");
        host.line(ch, "yes");
        if (!host.in_editor(ch)) {
            failure = "the editor did not open: " + visible(host.take_output(ch));
            continue;
        }
        const std::string text = "Bought again, round " + std::to_string(++round) + ".";
        host.editor_save(ch, text);
        host.deliver_all();
        const std::string reply = host.take_output(ch);
        if (reply.find(text) == std::string::npos) failure = "the save is not shown: " + visible(reply);
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
}

// The description screen again (one record read): its call opens and
// commits a transaction that wrote nothing.
void read_line(benchmark::State& state, const char* mode) {
    World& w = world();
    w.rebind();
    bbs::Host& host = w.host();
    const int ch = w.channel(World::Role::Description);
    Synchronous synchronous(host, mode);
    std::string failure;
    for (auto _ : state) {
        if (!failure.empty()) continue;
        host.line(ch, "");
        const std::string reply = host.take_output(ch);
        if (reply.find(World::kDescription) == std::string::npos)
            failure = "the description is not shown: " + visible(reply);
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
}

struct Registrar {
    Registrar() {
        describe_group("durability",
                       "Durable commits in-process: synchronous=FULL against NORMAL on the same "
                       "connection");
        auto add = [](const std::string& name, void (*run)(benchmark::State&, const char*),
                      const char* mode) {
            benchmark::RegisterBenchmark(name.c_str(),
                                         [run, mode](benchmark::State& s) { run(s, mode); })
                ->UseRealTime()
                ->MinTime(0.2)
                ->Unit(benchmark::kMicrosecond);
        };
        add("durability/purchase/full", purchase, "FULL");
        add("durability/purchase/normal", purchase, "NORMAL");
        add("durability/read/full", read_line, "FULL");
        add("durability/read/normal", read_line, "NORMAL");

        Comparison c;
        c.group = "durability";
        c.figure = "a description bought (3 lines, 1 writes)";
        c.measured = "durability/purchase/full";
        c.baseline = "durability/purchase/normal";
        c.baseline_label = "the same, synchronous=NORMAL";
        c.kind = Goal::None;
        compare(c);
        c.figure = "a line that only reads (description screen)";
        c.measured = "durability/read/full";
        c.baseline = "durability/read/normal";
        c.kind = Goal::AtMost;
        c.goal = 1.1;
        compare(c);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
