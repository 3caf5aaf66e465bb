#include "bench/fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace plus_bench {

namespace {

struct Folder {
    std::filesystem::path path;
    Folder() {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (const char* dir = std::getenv("PLUS_BENCH_DIR")) base = dir;
        std::string pattern = (base / "plus_bench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror(("plus_bench: cannot make a folder in " + base.string()).c_str());
            std::exit(1);
        }
        path = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::filesystem::path& bench_dir() {
    static Folder folder;
    return folder.path;
}

namespace {

char letter_of(size_t i, size_t n) { return static_cast<char>('A' + i * 26 / std::max<size_t>(n, 1)); }

}  // namespace

std::string generated_userid(size_t i, size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%c%s%08zu", letter_of(i, n), i % 2 ? "User" : "user", 2 * i);
    return text;
}

std::string free_userid(size_t i, size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%cuser%08zu", letter_of(i, n), 2 * i + 1);
    return text;
}

const char* generated_tag(size_t i) {
    static const char* const tags[] = {"QRTBKPLS_REG", "OTHERMOD_DATA", "QRTBKPLS_DESC"};
    return tags[i % 3];
}

std::string make_key(const std::string& userid, const std::string& tag) {
    std::string key(HOST_KEYSIZ, '\0');
    std::memcpy(key.data(), userid.data(), std::min<size_t>(userid.size(), HOST_UIDSIZ - 1));
    std::memcpy(key.data() + HOST_UIDSIZ, tag.data(), std::min<size_t>(tag.size(), HOST_TAGSIZ - 1));
    return key;
}

std::string generated_record(size_t i, size_t n) {
    std::string record = make_key(generated_userid(i, n), generated_tag(i));
    record.resize(kRecordLength, '\0');
    std::snprintf(record.data() + HOST_KEYSIZ, kRecordLength - HOST_KEYSIZ, "payload of record %zu", i);
    return record;
}

app::GeneratedRecords generated_records(size_t n) {
    return {n, [n](size_t i) { return generated_record(i, n); }};
}

std::string size_label(size_t n) {
    return n == 1000 ? "10^3" : n == 100000 ? "10^5" : n == 1000000 ? "10^6" : std::to_string(n);
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "plus_bench: cannot prepare %s: %s\n", sql, sqlite3_errmsg(db));
        std::exit(1);
    }
    return s;
}

GenericFixture& generic_fixture(size_t n) {
    static std::map<size_t, GenericFixture> fixtures;
    GenericFixture& f = fixtures[n];
    if (f.database) return f;
    std::string error;
    const auto file = bench_dir() / ("generic-" + std::to_string(n) + ".db");
    f.database = bbs::Database::open(file, &error);
    if (!f.database || !app::add_records(*f.database, generated_records(n), &error)) {
        std::fprintf(stderr, "plus_bench: cannot build %s: %s\n", file.c_str(), error.c_str());
        std::exit(1);
    }
    f.size = n;
    // Built in key order into an empty file: record i sits at position i+1.
    f.positions.resize(n);
    for (size_t i = 0; i < n; ++i) f.positions[i] = static_cast<uint32_t>(i + 1);
    if (f.database->generic_count() != n) {
        std::fprintf(stderr, "plus_bench: %s holds %zu records, not %zu\n", file.c_str(),
                     f.database->generic_count(), n);
        std::exit(1);
    }
    return f;
}

}  // namespace plus_bench
