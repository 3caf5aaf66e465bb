// The generic database through the host's block selection (dfaSetBlk, the
// operation, dfaRstBlk), against the same work done by a raw SQLite prepared
// statement on the same file: the cost the host adds over SQLite itself.
//
// The two sides run in turns inside one run (see in_turns), so that the
// shared machine's noise and the state of the page cache meet both alike.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/fixture.h"
#include "bench/registry.h"
#include "platform/host.h"
#include "tests/support/database_access.h"

namespace plus_bench {
namespace {

constexpr size_t kSizes[] = {1000, 100000, 1000000};
constexpr size_t kLookupKeys = 4096;     // random keys cycled through by the lookups
constexpr int kWriteTurns = 1500;        // inserts, rewrites and deletes per repetition and side

// Checkpoints are SQLite's own work, and one lands on whichever operation
// happens to fill the log: during a run they are held back, and done
// untimed before and after it, so that they land on neither side.
class CheckpointsAside {
public:
    explicit CheckpointsAside(sqlite3* db) : db_(db) {
        checkpoint();
        sqlite3_wal_autocheckpoint(db_, 0);
    }
    ~CheckpointsAside() {
        sqlite3_wal_autocheckpoint(db_, 1000);  // SQLite's default, as the host runs
        checkpoint();
    }
    CheckpointsAside(const CheckpointsAside&) = delete;
    CheckpointsAside& operator=(const CheckpointsAside&) = delete;

private:
    void checkpoint() { sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr); }
    sqlite3* db_;
};

// Raw statements on the fixture's own connection, prepared once.
struct Raw {
    sqlite3_stmt* equal = nullptr;
    sqlite3_stmt* greater = nullptr;
    sqlite3_stmt* greater_equal = nullptr;
    sqlite3_stmt* at = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* erase = nullptr;
};

Raw& raw_for(GenericFixture& f) {
    static std::map<size_t, Raw> raws;
    Raw& r = raws[f.size];
    if (r.equal) return r;
    sqlite3* db = testing_support::sqlite_handle(*f.database);
    r.equal = prepare(db, "SELECT pos, data FROM generic WHERE sortkey = ?1");
    r.greater = prepare(db, "SELECT pos, data FROM generic WHERE sortkey > ?1 ORDER BY sortkey LIMIT 1");
    r.greater_equal =
        prepare(db, "SELECT pos, data FROM generic WHERE sortkey >= ?1 ORDER BY sortkey LIMIT 1");
    r.at = prepare(db, "SELECT pos, data FROM generic WHERE pos = ?1");
    r.insert = prepare(db, "INSERT INTO generic(sortkey, data) VALUES (?1, ?2)");
    r.update = prepare(db, "UPDATE generic SET sortkey = ?1, data = ?2 WHERE pos = ?3");
    r.erase = prepare(db, "DELETE FROM generic WHERE pos = ?1");
    return r;
}

// The two sides of a run on the generated database of n records: the host
// (which the fixture's database is bound to) and the raw statements.
struct Sides {
    explicit Sides(size_t n) : f(generic_fixture(n)), raw(raw_for(f)) { bbs::bind_database(f.database.get()); }
    GenericFixture& f;
    Raw& raw;
    std::vector<unsigned char> out = std::vector<unsigned char>(bbs::Database::kMaxGenericRecord);
    uint32_t found_at = 0;
    sqlite3* handle() const { return testing_support::sqlite_handle(*f.database); }
};

// One operation as a module does it: bracketed by dfaSetBlk(genbb) and dfaRstBlk().
template <typename Operation>
bool on_genbb(Operation operation) {
    dfaSetBlk(genbb);
    const bool ok = operation();
    dfaRstBlk();
    return ok;
}

// Turn i runs host(i) and raw(i), the order swapping every turn, each timed
// on its own: both sides meet the machine at the same moments (and no
// checkpoint, see CheckpointsAside). Each records its time per operation as
// the run "<run>/host" or "<run>/raw". An operation returns false when it
// did not do its work.
void in_turns(benchmark::State& state, const std::string& run, Sides& sides,
              const std::function<bool(size_t)>& host, const std::function<bool(size_t)>& raw) {
    using Clock = std::chrono::steady_clock;
    CheckpointsAside aside(sides.handle());
    Clock::duration host_time{}, raw_time{};
    size_t turn = 0, failed = 0;
    for (auto _ : state) {
        const bool host_first = turn % 2 == 0;
        const auto t0 = Clock::now();
        bool ok = host_first ? host(turn) : raw(turn);
        const auto t1 = Clock::now();
        ok = (host_first ? raw(turn) : host(turn)) && ok;
        const auto t2 = Clock::now();
        (host_first ? host_time : raw_time) += t1 - t0;
        (host_first ? raw_time : host_time) += t2 - t1;
        failed += !ok;
        ++turn;
    }
    if (failed) {
        const std::string why = std::to_string(failed) + " of " + std::to_string(turn) +
                                " operations did not do their work";
        run_failed(run + "/host", why);
        state.SkipWithError(why.c_str());
        return;
    }
    if (turn == 0) return;
    auto per_operation = [turn](Clock::duration d) {
        return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(turn);
    };
    record_run(run + "/host", per_operation(host_time));
    record_run(run + "/raw", per_operation(raw_time));
}

// A row read the way the host reads it: step, copy the record out, reset.
bool raw_read(sqlite3_stmt* s, Sides& sides) {
    const bool found = sqlite3_step(s) == SQLITE_ROW;
    if (found) {
        sides.found_at = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
        std::memcpy(sides.out.data(), sqlite3_column_blob(s, 1), static_cast<size_t>(sqlite3_column_bytes(s, 1)));
    }
    sqlite3_reset(s);
    return found;
}

bool raw_write(sqlite3_stmt* s) {
    const bool done = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    return done;
}

std::vector<size_t> random_indexes(size_t count, size_t below, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<size_t> pick(0, below - 1);
    std::vector<size_t> v(count);
    for (auto& i : v) i = pick(random);
    return v;
}

// A key in a random mix of letter case, as users type user-IDs.
std::string typed(std::string userid, std::mt19937& random) {
    for (char& c : userid)
        if (random() % 2) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return userid;
}

enum class Lookup { Equal, Greater, GreaterEqual };

// Search keys for a lookup: equal finds record i; greater is given record
// i's key and finds i+1; greater-or-equal is given a free key between i and
// i+1 and finds i+1.
struct Keys {
    std::vector<std::string> raw;     // as a module passes them
    std::vector<std::string> folded;  // as the raw statement binds them
};

const Keys& keys_for(size_t n, Lookup kind) {
    static std::map<std::pair<size_t, int>, Keys> cache;
    Keys& k = cache[{n, static_cast<int>(kind)}];
    if (!k.raw.empty()) return k;
    std::mt19937 random(7);
    for (size_t i : random_indexes(kLookupKeys, n - 1, 11 + static_cast<unsigned>(kind))) {
        const std::string key = kind == Lookup::GreaterEqual
                                    ? make_key(free_userid(i, n), "")
                                    : make_key(typed(generated_userid(i, n), random), generated_tag(i));
        k.raw.push_back(key);
        k.folded.push_back(bbs::Database::generic_sort_key(key.data()));
    }
    return k;
}

// The host side uses the even keys, the raw side the odd ones: the same
// kind of work, never a key the other side has just brought into the cache.
void lookup(benchmark::State& state, const std::string& run, size_t n, Lookup kind) {
    Sides sides(n);
    const Keys& keys = keys_for(n, kind);
    const int16_t op = kind == Lookup::Equal ? DFA_EQUAL : kind == Lookup::Greater ? DFA_GREATER : DFA_GREATER_EQUAL;
    sqlite3_stmt* s = kind == Lookup::Equal     ? sides.raw.equal
                      : kind == Lookup::Greater ? sides.raw.greater
                                                : sides.raw.greater_equal;
    in_turns(
        state, run, sides,
        [&](size_t turn) {
            return on_genbb([&] {
                const bool found = dfaAcqLock(nullptr, keys.raw[2 * turn % kLookupKeys].data(), 0, op, 0) == 1;
                benchmark::DoNotOptimize(dfaAbs());
                return found;
            });
        },
        [&](size_t turn) {
            const std::string& key = keys.folded[(2 * turn + 1) % kLookupKeys];
            sqlite3_bind_blob(s, 1, key.data(), HOST_KEYSIZ, SQLITE_STATIC);
            const bool found = raw_read(s, sides);
            benchmark::DoNotOptimize(sides.found_at);
            return found;
        });
}

void position(benchmark::State& state, const std::string& run, size_t n) {
    Sides sides(n);
    static std::map<size_t, std::vector<size_t>> picks_of;
    auto& picks = picks_of[n];
    if (picks.empty()) picks = random_indexes(kLookupKeys, n, 23);
    const auto& at = sides.f.positions;
    in_turns(
        state, run, sides,
        [&](size_t turn) {
            return on_genbb([&] { return dfaAcqAbsLock(nullptr, at[picks[2 * turn % kLookupKeys]], 0, 0) == 1; });
        },
        [&](size_t turn) {
            sqlite3_bind_int64(sides.raw.at, 1, at[picks[(2 * turn + 1) % kLookupKeys]]);
            return raw_read(sides.raw.at, sides);
        });
}

// New records for the insert runs: free user-IDs spread over the whole key
// range, each with a tag of its own so that every repetition's are new.
struct NewRecords {
    std::vector<std::string> records;
    std::vector<std::string> folded;
};

NewRecords new_records(size_t n, size_t count) {
    static unsigned serial = 0;
    NewRecords r;
    for (size_t i : random_indexes(count, n, 31 + serial)) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "BENCH%u", serial++);
        std::string record = make_key(free_userid(i, n), tag);
        record.resize(kRecordLength, 'n');
        r.folded.push_back(bbs::Database::generic_sort_key(record.data()));
        r.records.push_back(std::move(record));
    }
    return r;
}

void insert(benchmark::State& state, const std::string& run, size_t n) {
    Sides sides(n);
    Raw& raw = sides.raw;
    const NewRecords fresh = new_records(n, 2 * kWriteTurns);
    std::vector<uint32_t> added;
    in_turns(
        state, run, sides,
        [&](size_t turn) {
            return on_genbb([&] {
                const bool ok = dfaInsertV(fresh.records[2 * turn].data(), kRecordLength) == 1;
                if (ok) added.push_back(dfaAbs());
                return ok;
            });
        },
        [&](size_t turn) {
            const size_t i = 2 * turn + 1;
            sqlite3_bind_blob(raw.insert, 1, fresh.folded[i].data(), HOST_KEYSIZ, SQLITE_STATIC);
            sqlite3_bind_blob(raw.insert, 2, fresh.records[i].data(), kRecordLength, SQLITE_STATIC);
            const bool ok = raw_write(raw.insert);
            if (ok) added.push_back(static_cast<uint32_t>(sqlite3_last_insert_rowid(sides.handle())));
            return ok;
        });
    sides.f.database->batch([&] {
        for (uint32_t p : added) sides.f.database->erase_generic(p);
        return true;
    });
}

// Each side rewrites a record of its own again and again, one payload byte
// changing; the host side makes its record current first (untimed).
void update(benchmark::State& state, const std::string& run, size_t n) {
    Sides sides(n);
    Raw& raw = sides.raw;
    const size_t host_target = n / 3, raw_target = n / 3 + 1;
    std::string host_record = generated_record(host_target, n);
    std::string raw_record = generated_record(raw_target, n);
    const std::string raw_key = bbs::Database::generic_sort_key(raw_record.data());
    const bool current = on_genbb([&] { return dfaAcqAbsLock(nullptr, sides.f.positions[host_target], 0, 0) == 1; });
    in_turns(
        state, run, sides,
        [&](size_t turn) {
            host_record[kRecordLength - 1] = static_cast<char>(turn);
            return on_genbb([&] { return current && dfaUpdateV(host_record.data(), kRecordLength) == 1; });
        },
        [&](size_t turn) {
            raw_record[kRecordLength - 1] = static_cast<char>(turn);
            sqlite3_bind_blob(raw.update, 1, raw_key.data(), HOST_KEYSIZ, SQLITE_STATIC);
            sqlite3_bind_blob(raw.update, 2, raw_record.data(), kRecordLength, SQLITE_STATIC);
            sqlite3_bind_int64(raw.update, 3, sides.f.positions[raw_target]);
            return raw_write(raw.update) && sqlite3_changes(sides.handle()) == 1;
        });
}

// A delete needs a current record: each turn reads a record by its position
// and deletes it, as a module that remembers a position does. The records
// are added (untimed) before the run.
void erase(benchmark::State& state, const std::string& run, size_t n) {
    Sides sides(n);
    Raw& raw = sides.raw;
    const NewRecords fresh = new_records(n, 2 * kWriteTurns);
    std::vector<uint32_t> doomed;
    sides.f.database->batch([&] {
        for (const auto& r : fresh.records) {
            on_genbb([&] {
                if (dfaInsertV(r.data(), kRecordLength) == 1) doomed.push_back(dfaAbs());
                return true;
            });
        }
        return true;
    });
    if (doomed.size() != fresh.records.size()) doomed.clear();  // every turn fails: reported
    in_turns(
        state, run, sides,
        [&](size_t turn) {
            return !doomed.empty() &&
                   on_genbb([&] { return dfaAcqAbsLock(nullptr, doomed[2 * turn], 0, 0) == 1 && dfaDelete() == 1; });
        },
        [&](size_t turn) {
            if (doomed.empty()) return false;
            sqlite3_bind_int64(raw.at, 1, doomed[2 * turn + 1]);
            bool ok = raw_read(raw.at, sides);
            sqlite3_bind_int64(raw.erase, 1, sides.found_at);
            return ok && raw_write(raw.erase) && sqlite3_changes(sides.handle()) == 1;
        });
}

struct Registrar {
    Registrar() {
        describe_group("generic",
                       "Generic database: dfa* services through dfaSetBlk/dfaRstBlk, in turns with a "
                       "raw SQLite statement on the same file");
        using Runner = std::function<void(benchmark::State&, const std::string&, size_t)>;
        struct Operation {
            const char* name;
            const char* figure;
            Runner runner;
            bool writes;
        };
        const Operation operations[] = {
            {"equal", "dfaAcqLock op 5",
             [](benchmark::State& s, const std::string& r, size_t n) { lookup(s, r, n, Lookup::Equal); },
             false},
            {"greater", "dfaAcqLock op 8",
             [](benchmark::State& s, const std::string& r, size_t n) { lookup(s, r, n, Lookup::Greater); },
             false},
            {"greater_equal", "dfaAcqLock op 9",
             [](benchmark::State& s, const std::string& r, size_t n) {
                 lookup(s, r, n, Lookup::GreaterEqual);
             },
             false},
            {"position", "dfaAcqAbsLock", position, false},
            {"insert", "dfaInsertV", insert, true},
            {"update", "dfaUpdateV", update, true},
            {"delete", "dfaAcqAbsLock + dfaDelete", erase, true},
        };
        for (const Operation& op : operations) {
            for (size_t n : kSizes) {
                const std::string run = "generic/" + std::string(op.name) + "/" + std::to_string(n);
                Runner runner = op.runner;
                auto* b = benchmark::RegisterBenchmark(
                    run.c_str(), [runner, run, n](benchmark::State& s) { runner(s, run, n); });
                b->UseRealTime()->Unit(benchmark::kMicrosecond);
                if (op.writes)
                    b->Iterations(kWriteTurns);
                else
                    b->MinTime(0.2);
                Comparison c;
                c.group = "generic";
                c.figure = std::string(op.figure) + ", " + size_label(n) + " records";
                c.measured = run + "/host";
                c.baseline = run + "/raw";
                c.baseline_label = "raw SQLite statement";
                c.goal = 1.5;
                compare(c);
            }
        }
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
