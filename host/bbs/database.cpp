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

#include "bbs/faults.h"
#include "bbs/log.h"
#include "bbs/sqlite.h"

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

// One keyed table and the HostDataFile that modules see for it.
struct Table {
    sql::Connection* db = nullptr;
    std::string where;        // "bbs.db generic database", for messages
    KeyLayout key{};
    uint32_t max_length = 0;
    HostDataFile file{};
    std::unique_ptr<unsigned char[]> buffer;
    int64_t current = 0;      // position of the current record, 0 = none
    uint32_t current_length = 0;
    // Told of a module's mistake (an unknown key, no current record, ...).
    std::function<void(const std::string&)> warn;

    sql::Statement find_equal, find_greater, find_greater_equal, find_position;
    sql::Statement insert, update, erase, upsert, count, all;

    bool open(sql::Connection& connection, const std::string& file_name, const char* what, const char* table,
              const KeyLayout& layout, uint32_t largest) {
        db = &connection;
        where = file_name + " " + what;
        key = layout;
        max_length = largest;
        buffer = std::make_unique<unsigned char[]>(largest);
        std::memset(buffer.get(), 0, largest);
        file.record = buffer.get();
        file.record_size = largest;
        file.impl = this;

        const std::string t = table;
        return find_equal.prepare(*db, "SELECT pos, data FROM " + t + " WHERE sortkey = ?1", where) &&
               find_greater.prepare(
                   *db, "SELECT pos, data FROM " + t + " WHERE sortkey > ?1 ORDER BY sortkey LIMIT 1", where) &&
               find_greater_equal.prepare(
                   *db, "SELECT pos, data FROM " + t + " WHERE sortkey >= ?1 ORDER BY sortkey LIMIT 1", where) &&
               find_position.prepare(*db, "SELECT pos, data FROM " + t + " WHERE pos = ?1", where) &&
               insert.prepare(*db, "INSERT INTO " + t + "(sortkey, data) VALUES (?1, ?2)", where) &&
               update.prepare(*db, "UPDATE " + t + " SET sortkey = ?1, data = ?2 WHERE pos = ?3", where) &&
               erase.prepare(*db, "DELETE FROM " + t + " WHERE pos = ?1", where) &&
               upsert.prepare(*db,
                              "INSERT INTO " + t +
                                  "(sortkey, data) VALUES (?1, ?2) "
                                  "ON CONFLICT(sortkey) DO UPDATE SET data = excluded.data",
                              where) &&
               count.prepare(*db, "SELECT count(*) FROM " + t, where) &&
               all.prepare(*db, "SELECT pos, data FROM " + t + " ORDER BY sortkey", where);
    }

    void mistake(const std::string& text) const { warn(where + ": " + text); }

    // Steps a lookup; on a row, copies it out and makes it current.
    int16_t read_row(sql::Use& s, void* record, const char* operation) {
        if (!s.row(operation)) {
            current = 0;
            current_length = 0;
            return 0;
        }
        const auto length = static_cast<uint32_t>(s.bytes(1));
        const void* data = s.blob(1);
        unsigned char* out = record ? static_cast<unsigned char*>(record) : buffer.get();
        const uint32_t n = record ? length : std::min(length, max_length);
        if (n) std::memcpy(out, data, n);
        if (!record && n < max_length) std::memset(out + n, 0, max_length - n);
        current = s.integer(0);
        current_length = length;
        return 1;
    }

    int16_t acquire(void* record, const void* search, int16_t keynum, int16_t operation) {
        if (keynum != 0) {
            mistake("dfaAcqLock: no key number " + std::to_string(keynum) + " (only key 0)");
            return 0;
        }
        sql::Statement* statement = nullptr;
        switch (operation) {
            case DFA_EQUAL: statement = &find_equal; break;
            case DFA_GREATER: statement = &find_greater; break;
            case DFA_GREATER_EQUAL: statement = &find_greater_equal; break;
            default:
                mistake("dfaAcqLock: unknown operation " + std::to_string(operation));
                return 0;
        }
        if (!search) return 0;
        // The key may lie inside the record buffer that the result overwrites:
        // it is folded (copied) first.
        unsigned char folded[kMaxKeySize];
        fold_key(key, search, folded);
        sql::Use s(*statement);
        s.bind_blob(1, folded, key.size());
        return read_row(s, record, "dfaAcqLock");
    }

    int16_t acquire_position(void* record, uint32_t position, int16_t keynum) {
        if (keynum != 0) {
            mistake("dfaAcqAbsLock: no key number " + std::to_string(keynum) + " (only key 0)");
            return 0;
        }
        sql::Use s(find_position);
        s.bind(1, int64_t{position});
        return read_row(s, record, "dfaAcqAbsLock");
    }

    bool length_fits(uint32_t length, const char* operation) const {
        if (length >= key.size() && length <= max_length) return true;
        mistake(std::string(operation) + ": record length " + std::to_string(length) + " outside " +
                std::to_string(key.size()) + ".." + std::to_string(max_length));
        return false;
    }

    // Insert; on success the new record is current. Sets *duplicate when the
    // key is taken.
    int16_t add(const void* record, uint32_t length, bool* duplicate) {
        if (!record || !length_fits(length, "insert")) return 0;
        unsigned char folded[kMaxKeySize];
        fold_key(key, record, folded);
        sql::Use s(insert);
        s.bind_blob(1, folded, key.size()).bind_blob(2, record, length);
        const sql::Use::Step step = s.step("insert");
        if (step != sql::Use::Step::done) {
            if (duplicate && step == sql::Use::Step::refused) *duplicate = true;
            return 0;
        }
        const int64_t row = db->last_insert_rowid();
        if (row > static_cast<int64_t>(UINT32_MAX)) {
            mistake("insert: positions exhausted");
            return 0;
        }
        current = row;
        current_length = length;
        return 1;
    }

    int16_t rewrite(const void* record, uint32_t length) {
        if (current == 0) {
            mistake("dfaUpdateV: no current record");
            return 0;
        }
        const void* data = record ? record : buffer.get();
        if (!length_fits(length, "dfaUpdateV")) return 0;
        unsigned char folded[kMaxKeySize];
        fold_key(key, data, folded);
        sql::Use s(update);
        s.bind_blob(1, folded, key.size()).bind_blob(2, data, length).bind(3, current);
        if (!s.run("dfaUpdateV")) return 0;  // a taken key is refused, not reported
        if (db->changes() != 1) return 0;     // deleted meanwhile
        current_length = length;
        return 1;
    }

    bool remove(int64_t position, const char* operation) {
        sql::Use s(erase);
        s.bind(1, position);
        return s.run(operation) && db->changes() == 1;
    }

    int16_t remove_current() {
        if (current == 0) {
            mistake("dfaDelete: no current record");
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
    std::unique_ptr<sql::Connection> db;  // first: closes after every statement below
    std::string name;
    HostLog* log = nullptr;
    Table generic;
    Table classes;
    sql::Statement begin, begin_immediate, commit, rollback, data_version;
    int64_t data_version_seen = -1;
    // The transaction of the running host call.
    bool call_open = false;
    sql::Error call_failure;   // the first failure of the call; none: it may commit
    int log_fd = -1;           // the write-ahead log, while its sync is deferred

    void forget_current() {
        generic.current = 0;
        generic.current_length = 0;
        classes.current = 0;
        classes.current_length = 0;
    }

    void warn(std::string_view text) const {
        if (log)
            log->warning(text);
        else
            std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());  // no host log yet
    }

    // A statement failed for a reason of the database: the host log hears
    // of it, and the running call is rolled back.
    void failed(const sql::Error& error);
    bool holding = false;      // failed() is opening the transaction that holds the rest

    // Runs a transaction-control statement, reporting a failure.
    bool control(sql::Statement& s, const char* doing) {
        sql::Use use(s);
        return use.run(doing);
    }
};

Database::Database() : impl_(std::make_unique<Impl>()) {}

Database::~Database() {
    if (genbb == &impl_->generic.file || clsbb == &impl_->classes.file) bind_database(nullptr);
    if (impl_->log_fd >= 0) close(impl_->log_fd);
}

std::unique_ptr<Database> Database::open(const std::filesystem::path& file, std::string* error) {
    std::unique_ptr<Database> database(new Database());
    Impl& d = *database->impl_;
    d.name = file.string();
    auto fail = [&](const std::string& what) -> std::unique_ptr<Database> {
        if (error) *error = d.name + ": " + what;
        return nullptr;
    };
    sql::Error why;
    d.db = sql::Connection::open(file, &why);
    if (!d.db) return fail(why.what);
    // Until the host gives it a log, what fails is said on stderr with the
    // rest of the reason (open reports it).
    std::vector<std::string> failures;
    d.db->on_failure([&failures](const sql::Error& e) { failures.push_back(e.text()); });
    auto first_failure = [&] { return failures.empty() ? std::string("unknown error") : failures.front(); };

    // WAL with synchronous FULL: a committed transaction survives a crash of
    // the process and a power loss (the log is synced before COMMIT
    // returns). A transaction that wrote nothing commits without a sync.
    {
        sql::Statement mode_of(*d.db, "PRAGMA journal_mode=WAL", d.name, false);
        sql::Use s(mode_of);
        const std::string mode = s.row("cannot switch to WAL mode") ? s.text(0) : std::string();
        if (mode != "wal") return fail("cannot switch to WAL mode (" + (mode.empty() ? first_failure() : mode) + ")");
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
    if (!d.db->exec(schema, d.name, &why)) return fail("cannot create the tables: " + why.what);
    if (!d.generic.open(*d.db, d.name, "generic database", "generic", kGenericKey, kMaxGenericRecord) ||
        !d.classes.open(*d.db, d.name, "class database", "classes", kClassKey, kMaxClassRecord) ||
        !d.begin.prepare(*d.db, "BEGIN", d.name) || !d.begin_immediate.prepare(*d.db, "BEGIN IMMEDIATE", d.name) ||
        !d.commit.prepare(*d.db, "COMMIT", d.name) || !d.rollback.prepare(*d.db, "ROLLBACK", d.name) ||
        !d.data_version.prepare(*d.db, "PRAGMA data_version", d.name)) {
        if (error) *error = first_failure();
        return nullptr;
    }
    Impl* impl = &d;
    d.db->on_failure([impl](const sql::Error& e) { impl->failed(e); });
    auto warn = [impl](const std::string& text) { impl->warn(text); };
    d.generic.warn = warn;
    d.classes.warn = warn;
    return database;
}

void Database::Impl::failed(const sql::Error& error) {
    if (log)
        log->error(error.text());
    else
        std::fprintf(stderr, "%s\n", error.text().c_str());  // no host log yet
    if (call_open && !call_failure) call_failure = error;
    if (call_open && !db->in_transaction() && !holding) {
        // SQLite rolled the whole transaction back (it may, on a full disk
        // or an I/O error). What the call writes from here on must not
        // commit on its own: it goes into a transaction that end_call rolls
        // back as well.
        holding = true;
        sql::Use s(begin_immediate);
        s.attempt("holding the rest of a failed host call");
        holding = false;
    }
}

HostDataFile* Database::generic() { return &impl_->generic.file; }
HostDataFile* Database::classes() { return &impl_->classes.file; }
sqlite3* Database::handle() { return impl_->db->handle(); }
sql::Connection& Database::connection() { return *impl_->db; }
sql::Faults& Database::faults() { return impl_->db->faults(); }
void Database::set_log(HostLog* log) { impl_->log = log; }
void Database::warn(std::string_view text) { impl_->warn(text); }

void Database::set_busy_timeout(std::chrono::milliseconds timeout) { impl_->db->set_busy_timeout(timeout); }

std::string Database::generic_sort_key(const void* key) {
    unsigned char folded[kMaxKeySize];
    fold_key(kGenericKey, key, folded);
    return std::string(reinterpret_cast<const char*>(folded), kGenericKey.size());
}

bool Database::put_class(std::string_view name, int16_t days, std::string* error) {
    Table& t = impl_->classes;
    if (name.empty() || name.size() >= HOST_CLSSIZ) {
        if (error)
            *error = t.where + ": class name \"" + std::string(name) + "\" must have 1 to " +
                     std::to_string(HOST_CLSSIZ - 1) + " characters";
        return false;
    }
    HostClass record{};
    std::memcpy(record.name, name.data(), name.size());
    record.days = days;
    unsigned char folded[kMaxKeySize];
    fold_key(t.key, &record, folded);
    sql::Use s(t.upsert);
    s.bind_blob(1, folded, t.key.size()).bind_blob(2, &record, sizeof record);
    if (!s.run("storing class " + std::string(name))) {
        if (error) *error = impl_->db->error_of(s.code(), "cannot store class \"" + std::string(name) + "\"", t.where).text();
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
    sql::Use s(t.find_equal);
    s.bind_blob(1, folded, t.key.size());
    if (!s.row("reading a class")) return std::nullopt;
    if (s.bytes(1) < sizeof(HostClass)) return std::nullopt;
    HostClass record;
    std::memcpy(&record, s.blob(1), sizeof record);
    return record.days;
}

std::vector<Database::Entry> Database::generic_entries() {
    std::vector<Entry> entries;
    sql::Use s(impl_->generic.all);
    while (s.row("listing")) {
        Entry e;
        e.position = static_cast<uint32_t>(s.integer(0));
        const auto* data = static_cast<const char*>(s.blob(1));
        e.bytes.assign(data ? data : "", s.bytes(1));
        e.userid = text_field(e.bytes, 0, HOST_UIDSIZ);
        e.tag = text_field(e.bytes, HOST_UIDSIZ, HOST_TAGSIZ);
        entries.push_back(std::move(e));
    }
    return entries;
}

size_t Database::generic_count() {
    sql::Use s(impl_->generic.count);
    return s.row("counting") ? static_cast<size_t>(s.integer(0)) : 0;
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
                 (duplicate ? std::string("key exists") : std::string(sqlite3_errmsg(handle())));
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
    Impl& d = *impl_;
    if (d.db->in_transaction()) return work();  // joins the running batch
    if (!d.control(d.begin, "beginning a batch")) return false;
    auto roll_back = [&] {
        if (d.db->in_transaction()) d.control(d.rollback, "rolling a batch back");
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
    if (!d.db->in_transaction()) return true;  // work ended the transaction itself
    if (d.control(d.commit, "committing a batch")) return true;
    roll_back();
    return false;
}

bool Database::begin_call(std::string* why) {
    Impl& d = *impl_;
    if (d.call_open || d.db->in_transaction()) return true;  // joins what runs
    sql::Use s(d.begin_immediate);
    if (s.attempt("cannot begin a transaction") != sql::Use::Step::done) {
        if (why) *why = d.db->error_of(s.code(), "cannot begin a transaction", d.name).text();
        return false;
    }
    d.call_open = true;
    d.call_failure = sql::Error{};
    return true;
}

bool Database::in_call() const { return impl_->call_open; }

void Database::note_failure(const sql::Error& error) {
    Impl& d = *impl_;
    if (!d.call_open) return;
    if (!d.call_failure) d.call_failure = error;
}

Database::CallOutcome Database::end_call() {
    Impl& d = *impl_;
    CallOutcome outcome;
    if (!d.call_open) return outcome;
    if (!d.call_failure) {
        sql::Use s(d.commit);
        const bool committed = s.run("cannot commit");
        if (committed) {
            d.call_open = false;
            return outcome;
        }
        if (!d.call_failure) d.call_failure = d.db->error_of(s.code(), "cannot commit", d.name);
    }
    d.call_open = false;
    if (d.db->in_transaction()) d.control(d.rollback, "cannot roll back a host call");
    // A record the call inserted is gone again.
    d.forget_current();
    outcome.committed = false;
    outcome.failure = std::move(d.call_failure);
    d.call_failure = sql::Error{};
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
    sql::Error why;
    if (!d.db->exec("PRAGMA synchronous=NORMAL", d.name, &why)) {
        close(fd);
        if (error) *error = d.name + ": cannot defer the log sync: " + why.what;
        return false;
    }
    d.log_fd = fd;
    return true;
}

bool Database::sync_log(std::string* error) {
    const int fd = impl_->log_fd;
    if (fd < 0) return true;  // every commit synced itself
    const int injected = impl_->db->faults().take_sync();
    if (injected == 0 && fdatasync(fd) == 0) return true;
    if (error)
        *error = impl_->name + "-wal: cannot sync the write-ahead log: " +
                 (injected ? std::string(sqlite3_errstr(injected)) : std::string(std::strerror(errno)));
    return false;
}

void Database::sync_log_at_commit() {
    Impl& d = *impl_;
    if (d.log_fd < 0) return;
    fdatasync(d.log_fd);  // what was committed meanwhile
    d.db->exec("PRAGMA synchronous=FULL", d.name);
    close(d.log_fd);
    d.log_fd = -1;
}

int64_t Database::changes() const { return impl_->db->total_changes(); }

bool Database::changed_elsewhere() {
    Impl& d = *impl_;
    sql::Use s(d.data_version);
    if (!s.row("reading the data version")) return true;  // unknown: as if changed
    const int64_t version = s.integer(0);
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
