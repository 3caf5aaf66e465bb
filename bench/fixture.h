// What the benchmark groups share: the run's folder (removed at exit), the
// generated records of the generic database, generic databases of a given
// size built once per run (one transaction each), and SQLite statements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "app/population.h"
#include "bbs/database.h"

namespace plus_bench {

constexpr uint32_t kRecordLength = 120;  // every generated record

// The folder all groups put their files in (made on first use).
const std::filesystem::path& bench_dir();

// Generated record number `i` of a database of `n`: user-ID "Kuser00000124"
// (the first letter spreads the records over A..Z in order, so that a
// listing can start anywhere; "user" and "User" alternate; the numbers are
// 2*i, the odd ones are free for new keys), one of three tags (the
// module's two and another module's: a third of the records are
// registries). Key order is the order of i.
std::string generated_record(size_t i, size_t n);
std::string generated_userid(size_t i, size_t n);
// A user-ID that sorts between records i and i+1 (the odd number 2*i+1).
std::string free_userid(size_t i, size_t n);
const char* generated_tag(size_t i);

// Records 0 .. n-1, for app::populate or app::add_records (in key order,
// so that in an empty file record i lands at position i+1).
app::GeneratedRecords generated_records(size_t n);

// A generated database of n records, opened and kept for the whole run.
struct GenericFixture {
    size_t size = 0;
    std::unique_ptr<bbs::Database> database;
    std::vector<uint32_t> positions;  // of record i
};
GenericFixture& generic_fixture(size_t n);

// A key as modules build it: zero-filled, the texts copied in.
std::string make_key(const std::string& userid, const std::string& tag);

// "10^3", "10^5", "10^6" (other sizes as they are): a database's size in the table.
std::string size_label(size_t n);

// A statement prepared to be kept (the run ends when it cannot be made).
sqlite3_stmt* prepare(sqlite3* db, const char* sql);

}  // namespace plus_bench
