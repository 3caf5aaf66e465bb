// The host's database file: generic and class databases as keyed SQLite
// tables, with every statement prepared once per connection.
//
// A keyed table stores each record whole in `data`, its key 0 folded into
// the indexed `sortkey` column (text fields cut at their terminator, ASCII
// letters upper-cased), so that key 0 order is plain byte order of sortkey
// and the lookups of dfaAcqLock are single index seeks. `pos` is the
// record's absolute position: AUTOINCREMENT keeps it stable and never hands
// out a deleted one again.
#include "bbs/database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace bbs {

namespace {

// Key 0 of a table: a run of zero-terminated text fields.
struct KeyLayout {
    uint32_t fields[2];
    uint32_t count;
    uint32_t size() const {
        uint32_t total = 0;
        for (uint32_t i = 0; i < count; ++i) total += fields[i];
        return total;
    }
};

constexpr KeyLayout kGenericKey{{HOST_UIDSIZ, HOST_TAGSIZ}, 2};
constexpr KeyLayout kClassKey{{HOST_CLSSIZ, 0}, 1};
constexpr uint32_t kMaxKeySize = HOST_KEYSIZ;
constexpr uint32_t kMaxClassRecord = 256;

// Writes the folded key into out (layout.size() bytes).
void fold_key(const KeyLayout& layout, const void* key, unsigned char* out) {
    const auto* in = static_cast<const unsigned char*>(key);
    for (uint32_t f = 0; f < layout.count; ++f) {
        const uint32_t n = layout.fields[f];
        uint32_t i = 0;
        for (; i < n && in[i] != 0; ++i) {
            const unsigned char c = in[i];
            out[i] = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
        }
        std::memset(out + i, 0, n - i);
        in += n;
        out += n;
    }
}

std::string text_field(const std::string& bytes, size_t offset, size_t size) {
    if (bytes.size() <= offset) return {};
    const size_t available = std::min(size, bytes.size() - offset);
    const char* start = bytes.data() + offset;
    const void* end = std::memchr(start, 0, available);
    return std::string(start, end ? static_cast<const char*>(end) - start : available);
}

// One prepared statement, kept for the life of the connection.
class Statement {
public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    void prepare(sqlite3* db, const std::string& sql, const std::string& where) {
        if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
            SQLITE_OK)
            throw std::runtime_error(where + ": cannot prepare \"" + sql + "\": " + sqlite3_errmsg(db));
    }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Resets a statement (and so ends its implicit transaction) on every path.
class Use {
public:
    explicit Use(const Statement& s) : stmt_(s.get()) {}
    ~Use() { sqlite3_reset(stmt_); }
    sqlite3_stmt* operator*() const { return stmt_; }

private:
    sqlite3_stmt* stmt_;
};

// One keyed table and the HostDataFile that modules see for it.
struct Table {
    sqlite3* db = nullptr;
    std::string where;        // "bbs.db generic database", for messages
    KeyLayout key{};
    uint32_t max_length = 0;
    HostDataFile file{};
    std::unique_ptr<unsigned char[]> buffer;
    int64_t current = 0;      // position of the current record, 0 = none
    uint32_t current_length = 0;
    // Told of every statement that fails for a reason of the database (full
    // disk, I/O error, ...), not of a taken key or a missing record.
    std::function<void(const std::string&)> failed;

    Statement find_equal, find_greater, find_greater_equal, find_position;
    Statement insert, update, erase, upsert, count, all;

    void open(sqlite3* handle, const std::string& file_name, const char* what, const char* table,
              const KeyLayout& layout, uint32_t largest) {
        db = handle;
        where = file_name + " " + what;
        key = layout;
        max_length = largest;
        buffer = std::make_unique<unsigned char[]>(largest);
        std::memset(buffer.get(), 0, largest);
        file.record = buffer.get();
        file.record_size = largest;
        file.impl = this;

        const std::string t = table;
        find_equal.prepare(db, "SELECT pos, data FROM " + t + " WHERE sortkey = ?1", where);
        find_greater.prepare(
            db, "SELECT pos, data FROM " + t + " WHERE sortkey > ?1 ORDER BY sortkey LIMIT 1", where);
        find_greater_equal.prepare(
            db, "SELECT pos, data FROM " + t + " WHERE sortkey >= ?1 ORDER BY sortkey LIMIT 1", where);
        find_position.prepare(db, "SELECT pos, data FROM " + t + " WHERE pos = ?1", where);
        insert.prepare(db, "INSERT INTO " + t + "(sortkey, data) VALUES (?1, ?2)", where);
        update.prepare(db, "UPDATE " + t + " SET sortkey = ?1, data = ?2 WHERE pos = ?3", where);
        erase.prepare(db, "DELETE FROM " + t + " WHERE pos = ?1", where);
        upsert.prepare(db,
                       "INSERT INTO " + t +
                           "(sortkey, data) VALUES (?1, ?2) "
                           "ON CONFLICT(sortkey) DO UPDATE SET data = excluded.data",
                       where);
        count.prepare(db, "SELECT count(*) FROM " + t, where);
        all.prepare(db, "SELECT pos, data FROM " + t + " ORDER BY sortkey", where);
    }

    void complain(const char* operation) const {
        const std::string what = where + ": " + operation + ": " + sqlite3_errmsg(db);
        std::fprintf(stderr, "%s\n", what.c_str());
        if (failed) failed(what);
    }

    // Steps a lookup; on a row, copies it out and makes it current.
    int16_t read_row(sqlite3_stmt* s, void* record, const char* operation) {
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE) complain(operation);
            current = 0;
            current_length = 0;
            return 0;
        }
        const auto length = static_cast<uint32_t>(sqlite3_column_bytes(s, 1));
        const void* data = sqlite3_column_blob(s, 1);
        unsigned char* out = record ? static_cast<unsigned char*>(record) : buffer.get();
        const uint32_t n = record ? length : std::min(length, max_length);
        if (n) std::memcpy(out, data, n);
        if (!record && n < max_length) std::memset(out + n, 0, max_length - n);
        current = sqlite3_column_int64(s, 0);
        current_length = length;
        return 1;
    }

    int16_t acquire(void* record, const void* search, int16_t keynum, int16_t operation) {
        if (keynum != 0) {
            std::fprintf(stderr, "%s: dfaAcqLock: no key number %d (only key 0)\n", where.c_str(),
                         keynum);
            return 0;
        }
        const Statement* statement = nullptr;
        switch (operation) {
            case DFA_EQUAL: statement = &find_equal; break;
            case DFA_GREATER: statement = &find_greater; break;
            case DFA_GREATER_EQUAL: statement = &find_greater_equal; break;
            default:
                std::fprintf(stderr, "%s: dfaAcqLock: unknown operation %d\n", where.c_str(),
                             operation);
                return 0;
        }
        if (!search) return 0;
        // The key may lie inside the record buffer that the result overwrites:
        // it is folded (copied) first.
        unsigned char folded[kMaxKeySize];
        fold_key(key, search, folded);
        Use s(*statement);
        sqlite3_bind_blob(*s, 1, folded, static_cast<int>(key.size()), SQLITE_STATIC);
        return read_row(*s, record, "dfaAcqLock");
    }

    int16_t acquire_position(void* record, uint32_t position, int16_t keynum) {
        if (keynum != 0) {
            std::fprintf(stderr, "%s: dfaAcqAbsLock: no key number %d (only key 0)\n",
                         where.c_str(), keynum);
            return 0;
        }
        Use s(find_position);
        sqlite3_bind_int64(*s, 1, position);
        return read_row(*s, record, "dfaAcqAbsLock");
    }

    bool length_fits(uint32_t length, const char* operation) const {
        if (length >= key.size() && length <= max_length) return true;
        std::fprintf(stderr, "%s: %s: record length %u outside %u..%u\n", where.c_str(), operation,
                     length, key.size(), max_length);
        return false;
    }

    // Insert; on success the new record is current. Sets *duplicate when the
    // key is taken.
    int16_t add(const void* record, uint32_t length, bool* duplicate) {
        if (!record || !length_fits(length, "insert")) return 0;
        unsigned char folded[kMaxKeySize];
        fold_key(key, record, folded);
        Use s(insert);
        sqlite3_bind_blob(*s, 1, folded, static_cast<int>(key.size()), SQLITE_STATIC);
        sqlite3_bind_blob(*s, 2, record, static_cast<int>(length), SQLITE_STATIC);
        const int rc = sqlite3_step(*s);
        if (rc != SQLITE_DONE) {
            if (sqlite3_extended_errcode(db) == SQLITE_CONSTRAINT_UNIQUE) {
                if (duplicate) *duplicate = true;
            } else {
                complain("insert");
            }
            return 0;
        }
        const int64_t row = sqlite3_last_insert_rowid(db);
        if (row > static_cast<int64_t>(UINT32_MAX)) {
            std::fprintf(stderr, "%s: insert: positions exhausted\n", where.c_str());
            return 0;
        }
        current = row;
        current_length = length;
        return 1;
    }

    int16_t rewrite(const void* record, uint32_t length) {
        if (current == 0) {
            std::fprintf(stderr, "%s: dfaUpdateV: no current record\n", where.c_str());
            return 0;
        }
        const void* data = record ? record : buffer.get();
        if (!length_fits(length, "dfaUpdateV")) return 0;
        unsigned char folded[kMaxKeySize];
        fold_key(key, data, folded);
        Use s(update);
        sqlite3_bind_blob(*s, 1, folded, static_cast<int>(key.size()), SQLITE_STATIC);
        sqlite3_bind_blob(*s, 2, data, static_cast<int>(length), SQLITE_STATIC);
        sqlite3_bind_int64(*s, 3, current);
        if (sqlite3_step(*s) != SQLITE_DONE) {
            if (sqlite3_extended_errcode(db) != SQLITE_CONSTRAINT_UNIQUE) complain("dfaUpdateV");
            return 0;
        }
        if (sqlite3_changes(db) != 1) return 0;  // deleted meanwhile
        current_length = length;
        return 1;
    }

    bool remove(int64_t position, const char* operation) {
        Use s(erase);
        sqlite3_bind_int64(*s, 1, position);
        if (sqlite3_step(*s) != SQLITE_DONE) {
            complain(operation);
            return false;
        }
        return sqlite3_changes(db) == 1;
    }

    int16_t remove_current() {
        if (current == 0) {
            std::fprintf(stderr, "%s: dfaDelete: no current record\n", where.c_str());
            return 0;
        }
        const bool removed = remove(current, "dfaDelete");
        current = 0;
        current_length = 0;
        return removed ? 1 : 0;
    }
};

}  // namespace

struct Database::Impl {
    sqlite3* db = nullptr;
    std::string name;
    Table generic;
    Table classes;
    Statement begin, begin_immediate, commit, rollback, data_version;  // finalized before the handle closes
    int64_t data_version_seen = -1;
    // The transaction of the running host call.
    bool call_open = false;
    bool call_failed = false;
    std::string call_failure;
    int log_fd = -1;           // the write-ahead log, while its sync is deferred

    void forget_current() {
        generic.current = 0;
        generic.current_length = 0;
        classes.current = 0;
        classes.current_length = 0;
    }
};

Database::Database() : impl_(std::make_unique<Impl>()) {}

Database::~Database() {
    if (genbb == &impl_->generic.file || clsbb == &impl_->classes.file) bind_database(nullptr);
    if (impl_->log_fd >= 0) close(impl_->log_fd);
    sqlite3* db = impl_->db;
    impl_.reset();  // finalizes every statement
    // A statement somebody else kept on this connection (the game's) would
    // make a plain close fail; the connection then closes with its last one.
    if (db) sqlite3_close_v2(db);
}

std::unique_ptr<Database> Database::open(const std::filesystem::path& file, std::string* error) {
    std::unique_ptr<Database> database(new Database());
    Impl& d = *database->impl_;
    d.name = file.string();
    auto fail = [&](const std::string& what) -> std::unique_ptr<Database> {
        if (error) *error = d.name + ": " + what;
        return nullptr;
    };
    if (sqlite3_open_v2(d.name.c_str(), &d.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string message = d.db ? sqlite3_errmsg(d.db) : "out of memory";
        return fail("cannot open: " + message);
    }
    sqlite3_busy_timeout(d.db, 5000);
    sqlite3_extended_result_codes(d.db, 1);

    // WAL with synchronous FULL: a committed transaction survives a crash of
    // the process and a power loss (the log is synced before COMMIT
    // returns). A transaction that wrote nothing commits without a sync.
    {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(d.db, "PRAGMA journal_mode=WAL", -1, &s, nullptr) != SQLITE_OK)
            return fail(std::string("cannot read the journal mode: ") + sqlite3_errmsg(d.db));
        std::string mode;
        if (sqlite3_step(s) == SQLITE_ROW) mode = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        if (mode != "wal") {
            std::string message = sqlite3_errmsg(d.db);
            return fail("cannot switch to WAL mode (" + (mode.empty() ? message : mode) + ")");
        }
    }
    const char* schema =
        "PRAGMA synchronous=FULL;"
        "PRAGMA cache_size=-8192;"
        "CREATE TABLE IF NOT EXISTS generic ("
        "  pos INTEGER PRIMARY KEY AUTOINCREMENT,"
        "  sortkey BLOB NOT NULL UNIQUE,"
        "  data BLOB NOT NULL);"
        "CREATE TABLE IF NOT EXISTS classes ("
        "  pos INTEGER PRIMARY KEY AUTOINCREMENT,"
        "  sortkey BLOB NOT NULL UNIQUE,"
        "  data BLOB NOT NULL);";
    char* message = nullptr;
    if (sqlite3_exec(d.db, schema, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(d.db);
        sqlite3_free(message);
        return fail("cannot create the tables: " + text);
    }
    try {
        d.generic.open(d.db, d.name, "generic database", "generic", kGenericKey, kMaxGenericRecord);
        d.classes.open(d.db, d.name, "class database", "classes", kClassKey, kMaxClassRecord);
        d.begin.prepare(d.db, "BEGIN", d.name);
        d.begin_immediate.prepare(d.db, "BEGIN IMMEDIATE", d.name);
        d.commit.prepare(d.db, "COMMIT", d.name);
        d.rollback.prepare(d.db, "ROLLBACK", d.name);
        d.data_version.prepare(d.db, "PRAGMA data_version", d.name);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return nullptr;
    }
    Database* self = database.get();
    auto report = [self](const std::string& what) { self->note_failure(what); };
    d.generic.failed = report;
    d.classes.failed = report;
    return database;
}

HostDataFile* Database::generic() { return &impl_->generic.file; }
HostDataFile* Database::classes() { return &impl_->classes.file; }
sqlite3* Database::handle() { return impl_->db; }

void Database::set_busy_timeout(std::chrono::milliseconds timeout) {
    sqlite3_busy_timeout(impl_->db, static_cast<int>(timeout.count()));
}

std::string Database::generic_sort_key(const void* key) {
    unsigned char folded[kMaxKeySize];
    fold_key(kGenericKey, key, folded);
    return std::string(reinterpret_cast<const char*>(folded), kGenericKey.size());
}

bool Database::put_class(std::string_view name, int16_t days, std::string* error) {
    if (name.empty() || name.size() >= HOST_CLSSIZ) {
        if (error)
            *error = impl_->name + ": class name \"" + std::string(name) + "\" must have 1 to " +
                     std::to_string(HOST_CLSSIZ - 1) + " characters";
        return false;
    }
    HostClass record{};
    std::memcpy(record.name, name.data(), name.size());
    record.days = days;
    Table& t = impl_->classes;
    unsigned char folded[kMaxKeySize];
    fold_key(t.key, &record, folded);
    Use s(t.upsert);
    sqlite3_bind_blob(*s, 1, folded, static_cast<int>(t.key.size()), SQLITE_STATIC);
    sqlite3_bind_blob(*s, 2, &record, sizeof record, SQLITE_STATIC);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        if (error) *error = t.where + ": cannot store class \"" + std::string(name) + "\": " +
                            sqlite3_errmsg(impl_->db);
        return false;
    }
    return true;
}

std::optional<int16_t> Database::class_days(std::string_view name) {
    if (name.size() >= HOST_CLSSIZ) return std::nullopt;
    char key[HOST_CLSSIZ] = {};
    std::memcpy(key, name.data(), name.size());
    Table& t = impl_->classes;
    unsigned char folded[kMaxKeySize];
    fold_key(t.key, key, folded);
    Use s(t.find_equal);
    sqlite3_bind_blob(*s, 1, folded, static_cast<int>(t.key.size()), SQLITE_STATIC);
    if (sqlite3_step(*s) != SQLITE_ROW) return std::nullopt;
    if (sqlite3_column_bytes(*s, 1) < static_cast<int>(sizeof(HostClass))) return std::nullopt;
    HostClass record;
    std::memcpy(&record, sqlite3_column_blob(*s, 1), sizeof record);
    return record.days;
}

std::vector<Database::Entry> Database::generic_entries() {
    std::vector<Entry> entries;
    Use s(impl_->generic.all);
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
        Entry e;
        e.position = static_cast<uint32_t>(sqlite3_column_int64(*s, 0));
        const auto* data = static_cast<const char*>(sqlite3_column_blob(*s, 1));
        e.bytes.assign(data ? data : "", static_cast<size_t>(sqlite3_column_bytes(*s, 1)));
        e.userid = text_field(e.bytes, 0, HOST_UIDSIZ);
        e.tag = text_field(e.bytes, HOST_UIDSIZ, HOST_TAGSIZ);
        entries.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) impl_->generic.complain("listing");
    return entries;
}

size_t Database::generic_count() {
    Use s(impl_->generic.count);
    if (sqlite3_step(*s) != SQLITE_ROW) {
        impl_->generic.complain("counting");
        return 0;
    }
    return static_cast<size_t>(sqlite3_column_int64(*s, 0));
}

bool Database::insert_generic(const void* record, uint32_t length, std::string* error) {
    Table& t = impl_->generic;
    if (!record || length < t.key.size() || length > t.max_length) {
        if (error)
            *error = t.where + ": record length " + std::to_string(length) + " outside " +
                     std::to_string(t.key.size()) + ".." + std::to_string(t.max_length);
        return false;
    }
    // Administration does not move the modules' current record.
    const int64_t current = t.current;
    const uint32_t current_length = t.current_length;
    bool duplicate = false;
    const bool ok = t.add(record, length, &duplicate) == 1;
    t.current = current;
    t.current_length = current_length;
    if (!ok && error) {
        const std::string head(static_cast<const char*>(record), t.key.size());
        *error = t.where + ": cannot insert \"" + text_field(head, 0, HOST_UIDSIZ) + "\"/\"" +
                 text_field(head, HOST_UIDSIZ, HOST_TAGSIZ) + "\": " +
                 (duplicate ? std::string("key exists") : std::string(sqlite3_errmsg(impl_->db)));
    }
    return ok;
}

bool Database::erase_generic(uint32_t position) {
    Table& t = impl_->generic;
    const bool removed = t.remove(position, "erase");
    if (removed && t.current == position) {
        t.current = 0;
        t.current_length = 0;
    }
    return removed;
}

bool Database::batch(const std::function<bool()>& work) {
    sqlite3* db = impl_->db;
    if (!sqlite3_get_autocommit(db)) return work();  // joins the running batch
    {
        Use s(impl_->begin);
        if (sqlite3_step(*s) != SQLITE_DONE) {
            std::fprintf(stderr, "%s: cannot begin a batch: %s\n", impl_->name.c_str(),
                         sqlite3_errmsg(db));
            return false;
        }
    }
    auto roll_back = [&] {
        if (sqlite3_get_autocommit(db)) return;
        Use s(impl_->rollback);
        sqlite3_step(*s);
    };
    bool ok = false;
    try {
        ok = work();
    } catch (...) {
        roll_back();
        throw;
    }
    if (!ok) {
        roll_back();
        return false;
    }
    if (sqlite3_get_autocommit(db)) return true;  // work ended the transaction itself
    Use s(impl_->commit);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        std::fprintf(stderr, "%s: cannot commit a batch: %s\n", impl_->name.c_str(),
                     sqlite3_errmsg(db));
        sqlite3_reset(*s);
        roll_back();
        return false;
    }
    return true;
}

bool Database::begin_call(std::string* why) {
    Impl& d = *impl_;
    if (d.call_open || !sqlite3_get_autocommit(d.db)) return true;  // joins what runs
    Use s(d.begin_immediate);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        if (why) *why = d.name + ": cannot begin a transaction: " + sqlite3_errmsg(d.db);
        return false;
    }
    d.call_open = true;
    d.call_failed = false;
    d.call_failure.clear();
    return true;
}

bool Database::in_call() const { return impl_->call_open; }

void Database::note_failure(std::string_view what) {
    Impl& d = *impl_;
    if (!d.call_open) return;
    if (!d.call_failed) {
        d.call_failed = true;
        d.call_failure = std::string(what);
    }
    if (sqlite3_get_autocommit(d.db)) {
        // SQLite rolled the whole transaction back (it may, on a full disk
        // or an I/O error). What the call writes from here on must not
        // commit on its own: it goes into a transaction that end_call rolls
        // back as well.
        Use s(d.begin_immediate);
        if (sqlite3_step(*s) != SQLITE_DONE)
            std::fprintf(stderr, "%s: cannot hold the rest of a failed host call: %s\n",
                         d.name.c_str(), sqlite3_errmsg(d.db));
    }
}

Database::CallOutcome Database::end_call() {
    Impl& d = *impl_;
    CallOutcome outcome;
    if (!d.call_open) return outcome;
    d.call_open = false;
    if (!d.call_failed) {
        Use s(d.commit);
        if (sqlite3_step(*s) == SQLITE_DONE) return outcome;
        d.call_failure = d.name + ": cannot commit: " + sqlite3_errmsg(d.db);
    }
    if (!sqlite3_get_autocommit(d.db)) {
        Use s(d.rollback);
        if (sqlite3_step(*s) != SQLITE_DONE)
            std::fprintf(stderr, "%s: cannot roll back a host call: %s\n", d.name.c_str(),
                         sqlite3_errmsg(d.db));
    }
    // A record the call inserted is gone again.
    d.forget_current();
    outcome.committed = false;
    outcome.failure = std::move(d.call_failure);
    d.call_failed = false;
    d.call_failure.clear();
    return outcome;
}

bool Database::defer_log_sync(std::string* error) {
    Impl& d = *impl_;
    if (d.log_fd >= 0) return true;
    const std::string log = d.name + "-wal";
    auto fail = [&](const std::string& what) {
        if (error) *error = log + ": " + what + ": " + std::strerror(errno);
        return false;
    };
    // The log exists while the connection is open; its name must be on
    // disk too before a sync of its contents can count.
    const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open the write-ahead log");
    std::string folder = std::filesystem::path(d.name).parent_path().string();
    if (folder.empty()) folder = ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool dir_synced = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
    if (!dir_synced) {
        close(fd);
        return fail("cannot sync its folder");
    }
    if (sqlite3_exec(d.db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
        close(fd);
        if (error) *error = d.name + ": cannot defer the log sync: " + sqlite3_errmsg(d.db);
        return false;
    }
    d.log_fd = fd;
    return true;
}

bool Database::sync_log(std::string* error) {
    const int fd = impl_->log_fd;
    if (fd < 0) return true;  // every commit synced itself
    if (fdatasync(fd) == 0) return true;
    if (error) *error = impl_->name + "-wal: cannot sync the write-ahead log: " + std::strerror(errno);
    return false;
}

void Database::sync_log_at_commit() {
    Impl& d = *impl_;
    if (d.log_fd < 0) return;
    fdatasync(d.log_fd);  // what was committed meanwhile
    sqlite3_exec(d.db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    close(d.log_fd);
    d.log_fd = -1;
}

int64_t Database::changes() const { return sqlite3_total_changes64(impl_->db); }

bool Database::changed_elsewhere() {
    Impl& d = *impl_;
    Use s(d.data_version);
    if (sqlite3_step(*s) != SQLITE_ROW) return true;  // unknown: as if changed
    const int64_t version = sqlite3_column_int64(*s, 0);
    const bool changed = version != d.data_version_seen;
    d.data_version_seen = version;
    return changed;
}

namespace datafile {

static Table* table_of(HostDataFile* file) { return static_cast<Table*>(file->impl); }

int16_t acquire(HostDataFile* file, void* record, const void* key, int16_t keynum,
                int16_t operation) {
    return table_of(file)->acquire(record, key, keynum, operation);
}
int16_t acquire_position(HostDataFile* file, void* record, uint32_t position, int16_t keynum) {
    return table_of(file)->acquire_position(record, position, keynum);
}
uint32_t position(HostDataFile* file) { return static_cast<uint32_t>(table_of(file)->current); }
int16_t insert(HostDataFile* file, const void* record, uint32_t length) {
    return table_of(file)->add(record, length, nullptr);
}
int16_t update(HostDataFile* file, const void* record, uint32_t length) {
    return table_of(file)->rewrite(record, length);
}
int16_t erase(HostDataFile* file) { return table_of(file)->remove_current(); }
uint32_t length(HostDataFile* file) {
    Table* t = table_of(file);
    return t->current ? t->current_length : 0;
}

}  // namespace datafile

}  // namespace bbs
