// The host's database file: generic and class databases as keyed SQLite
// tables (bbs/keyed_table.h), the transaction of a host call, and the sync
// of the write-ahead log.
#include "bbs/database.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "bbs/keyed_table.h"
#include "bbs/log.h"
#include "bbs/sqlite.h"

namespace bbs {

namespace {
constexpr uint32_t kMaxClassRecord = 256;
}  // namespace

struct Database::Impl {
    std::unique_ptr<sql::Connection> db;  // first: closes after every statement below
    std::string name;
    HostLog* log = nullptr;
    KeyedTable generic;
    KeyedTable classes;
    sql::Statement begin, begin_immediate, commit, rollback;
    sql::DataVersion data_version;
    RecentRecordsClock recent;  // when the tables' recent records may be asked
    // The transaction of the running host call.
    bool call_open = false;
    sql::Error call_failure;   // the first failure of the call; none: it may commit
    int log_fd = -1;           // the write-ahead log, while its sync is deferred

    void forget_current() {
        generic.forget_current();
        classes.forget_current();
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
        !d.data_version.prepare(*d.db, d.name)) {
        if (error) *error = first_failure();
        return nullptr;
    }
    d.generic.clock = d.classes.clock = &d.recent;
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
sql::Connection& Database::connection() { return *impl_->db; }
void Database::set_log(HostLog* log) { impl_->log = log; }
void Database::warn(std::string_view text) { impl_->warn(text); }

void Database::set_busy_timeout(std::chrono::milliseconds timeout) { impl_->db->set_busy_timeout(timeout); }

std::string Database::generic_sort_key(const void* key) {
    unsigned char folded[kMaxKeySize];
    fold_key(kGenericKey, key, folded);
    return std::string(reinterpret_cast<const char*>(folded), kGenericKey.size());
}

bool Database::put_class(std::string_view name, int16_t days, std::string* error) {
    KeyedTable& t = impl_->classes;
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
    KeyedTable& t = impl_->classes;
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
    KeyedTable& t = impl_->generic;
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
                 (duplicate ? std::string("key exists") : impl_->db->error_message());
    }
    return ok;
}

bool Database::erase_generic(uint32_t position) {
    KeyedTable& t = impl_->generic;
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
    d.recent.usable = false;  // until others' commits are checked
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
    d.recent.usable = false;
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
    if (fdatasync(fd) == 0) return true;
    if (error) *error = impl_->name + "-wal: cannot sync the write-ahead log: " + std::strerror(errno);
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
    const auto moved = d.data_version.moved();
    if (!moved) return true;  // unknown: as if changed
    const bool changed = *moved;
    if (changed) ++d.recent.others;
    // Within a host call the write lock keeps other connections out until it ends.
    d.recent.usable = d.call_open;
    return changed;
}

}  // namespace bbs
