// The record lister in-process: the module's registry listing driven by the
// host's status delivery, on hosts whose generic database holds 10^3, 10^5
// or 10^6 records of bench/fixture.h (a third of them registries, spread
// over A..Z) besides the 256 load users (bench/world.h).
//
// A listing step is one status 240 delivered: the module re-reads the record
// at its cursor by position, prints it when it is a registry, finds the next
// key and injects 240 again. Its cost must grow with the logarithm of the
// database, not with its size; a whole listing is held against a raw
// ordered SQLite scan of the same rows on the same connection doing the
// same printing.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

#include "bbs/database.h"
#include "bbs/host.h"
#include "bench/fixture.h"
#include "bench/registry.h"
#include "bench/world.h"
#include "tests/support/database_access.h"

namespace plus_bench {
namespace {

constexpr size_t kStepSizes[] = {1000, 100000, 1000000};
constexpr size_t kWholeSize = 100000;
const char kRegistryTag[] = "QRTBKPLS_REG";

// The listing host's lister; a listing he left running is stopped when the
// run ends, so that the next run finds him in the registry menu.
class Lister {
public:
    explicit Lister(size_t records) : listing_(listing_host(records)) {
        bbs::bind_database(&host().database());
    }
    ~Lister() {
        if (host().pending_statuses() != 0) {
            host().line(channel(), "");  // stops the listing; its last 240 is swallowed
            host().deliver_all();
        }
        listing_.output();
    }

    // "S", then the start letter: the first record found, one 240 pending.
    bool start(char letter) {
        host().line(channel(), "s");
        host().line(channel(), std::string(1, letter));
        const std::string reply = listing_.output();
        return reply.find("Press <enter> to stop the listing.") != std::string::npos &&
               host().pending_statuses() == 1;
    }
    bbs::Host& host() { return listing_.host(); }
    int channel() const { return listing_.channel(); }
    std::string output() { return listing_.output(); }

private:
    ListingHost& listing_;
};

void listing_step(benchmark::State& state, size_t n) {
    Lister lister(n);
    bbs::Host& host = lister.host();
    std::mt19937 random(static_cast<unsigned>(n));
    // Each listing starts at a random letter and runs to the end of the
    // database, then the next one starts (untimed).
    auto start = [&] { return lister.start(static_cast<char>('A' + random() % 26)); };
    bool failed = !start();
    for (auto _ : state) {
        if (failed) continue;  // the loop runs its course; the run reports the failure
        if (host.pending_statuses() == 0) {
            state.PauseTiming();
            failed = !start();
            state.ResumeTiming();
        }
        host.deliver_one();
        benchmark::DoNotOptimize(lister.output());
    }
    if (failed) state.SkipWithError("the listing did not start");
}

// One ordered SQLite scan from A to the end: each registry's user-ID
// appended to `out`, as the listing prints it. The number of registries.
size_t scan(sqlite3_stmt* s, std::string& out) {
    static const std::string start =
        bbs::Database::generic_sort_key(make_key("A", kRegistryTag).data());
    size_t found = 0;
    out.clear();
    sqlite3_bind_blob(s, 1, start.data(), static_cast<int>(start.size()), SQLITE_STATIC);
    while (sqlite3_step(s) == SQLITE_ROW) {
        const char* record = static_cast<const char*>(sqlite3_column_blob(s, 0));
        if (static_cast<size_t>(sqlite3_column_bytes(s, 0)) < HOST_KEYSIZ) continue;
        if (strncasecmp(record + HOST_UIDSIZ, kRegistryTag, HOST_TAGSIZ) == 0) {
            ++found;
            out.append(record, strnlen(record, HOST_UIDSIZ));
            out += '\n';
        }
    }
    sqlite3_reset(s);
    return found;
}

const char kScanSql[] = "SELECT data FROM generic WHERE sortkey >= ?1 ORDER BY sortkey";

// A whole listing from A: every record of the database is one step, and
// the count at the end is the number of registries a raw scan finds.
void whole_listing(benchmark::State& state, size_t n) {
    Lister lister(n);
    bbs::Host& host = lister.host();
    sqlite3_stmt* s = prepare(testing_support::sqlite_handle(host.database()), kScanSql);
    std::string ignored;
    const size_t registries = scan(s, ignored);
    sqlite3_finalize(s);
    const size_t records = host.database().generic_count();
    std::string failure;
    for (auto _ : state) {
        if (!failure.empty()) continue;
        if (!lister.start('A')) {
            failure = "the listing did not start";
            continue;
        }
        size_t steps = 0;
        std::string last;
        while (host.deliver_one()) {
            ++steps;
            last = lister.output();
        }
        if (steps != records ||
            last.find(std::to_string(registries) + " registries found") == std::string::npos)
            failure = "the listing took " + std::to_string(steps) + " steps over " +
                      std::to_string(records) + " records and ended with: " + visible(last);
    }
    if (!failure.empty()) state.SkipWithError(failure.c_str());
}

// The same rows by one ordered scan on the host's own connection.
void raw_scan(benchmark::State& state, size_t n) {
    Lister lister(n);
    sqlite3_stmt* s = prepare(testing_support::sqlite_handle(lister.host().database()), kScanSql);
    std::string out;
    size_t none = 0;
    for (auto _ : state) {
        none += scan(s, out) == 0;
        benchmark::DoNotOptimize(out.data());
    }
    sqlite3_finalize(s);
    if (none) state.SkipWithError("the scan found no registries");
}

// The SQLite work of one step on its own, on the host's connection: the
// row at a position, then the row of the next key, walking the database in
// key order from a random place.
void raw_step(benchmark::State& state, size_t n) {
    Lister lister(n);
    sqlite3* db = testing_support::sqlite_handle(lister.host().database());
    sqlite3_stmt* at = prepare(db, "SELECT pos, data FROM generic WHERE pos = ?1");
    sqlite3_stmt* next = prepare(
        db, "SELECT pos, data FROM generic WHERE sortkey > ?1 ORDER BY sortkey LIMIT 1");
    std::vector<unsigned char> record(bbs::Database::kMaxGenericRecord);
    int64_t position = 1 + static_cast<int64_t>(std::mt19937(static_cast<unsigned>(n))() % n);
    size_t failed = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(at, 1, position);
        if (sqlite3_step(at) == SQLITE_ROW) {
            std::memcpy(record.data(), sqlite3_column_blob(at, 1),
                        static_cast<size_t>(sqlite3_column_bytes(at, 1)));
        } else {
            ++failed;
        }
        sqlite3_reset(at);
        const std::string key = bbs::Database::generic_sort_key(record.data());
        sqlite3_bind_blob(next, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        position = sqlite3_step(next) == SQLITE_ROW ? sqlite3_column_int64(next, 0)
                                                    : 1;  // the end: round again
        sqlite3_reset(next);
    }
    sqlite3_finalize(at);
    sqlite3_finalize(next);
    if (failed) state.SkipWithError("a position was not found");
}

struct Registrar {
    Registrar() {
        describe_group("listing",
                       "Record lister in-process: one step (status 240 in, one record examined, "
                       "240 out), and a whole listing");
        auto timed = [](benchmark::internal::Benchmark* b) {
            return b->UseRealTime()->Unit(benchmark::kMicrosecond);
        };
        for (size_t n : kStepSizes) {
            timed(benchmark::RegisterBenchmark(("listing/step/" + std::to_string(n)).c_str(),
                                               listing_step, n))
                ->MinTime(0.2);
        }
        for (size_t n : {kWholeSize, size_t{1000000}})
            timed(benchmark::RegisterBenchmark(("listing/raw_step/" + std::to_string(n)).c_str(),
                                               raw_step, n))
                ->MinTime(0.2);
        timed(benchmark::RegisterBenchmark(("listing/whole/" + std::to_string(kWholeSize)).c_str(),
                                           whole_listing, kWholeSize))
            ->Iterations(1);
        timed(benchmark::RegisterBenchmark(("listing/raw_scan/" + std::to_string(kWholeSize)).c_str(),
                                           raw_scan, kWholeSize))
            ->Iterations(3);

        Comparison c;
        c.group = "listing";
        c.figure = "one step, 10^6 records";
        c.measured = "listing/step/1000000";
        c.baseline = "listing/raw_step/1000000";
        c.baseline_label = "its SQLite work alone";
        c.kind = Goal::None;
        compare(c);
        for (size_t n : {size_t{100000}, size_t{1000000}}) {
            c.figure = "one step, " + size_label(n) + " records";
            c.measured = "listing/step/" + std::to_string(n);
            c.baseline = "listing/step/1000";
            c.baseline_label = "one step, 10^3 records";
            c.kind = Goal::AtMost;
            c.goal = 3;
            compare(c);
        }
        // What one record costs SQLite alone, the listing's way and a scan's way.
        c.figure = "its SQLite work alone, " + size_label(kWholeSize) + " records";
        c.measured = "listing/raw_step/" + std::to_string(kWholeSize);
        c.baseline = "listing/raw_scan/" + std::to_string(kWholeSize);
        c.baseline_label = "one row of the raw scan";
        c.baseline_per = static_cast<double>(kWholeSize);
        c.kind = Goal::None;
        compare(c);
        c.figure = "whole listing, " + size_label(kWholeSize) + " records";
        c.measured = "listing/whole/" + std::to_string(kWholeSize);
        c.baseline = "listing/raw_scan/" + std::to_string(kWholeSize);
        c.baseline_label = "raw ordered SQLite scan";
        c.baseline_per = 1;
        // For information: a listing steps one record per status by design,
        // so that it never holds the host; a scan does not.
        c.kind = Goal::None;
        compare(c);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
