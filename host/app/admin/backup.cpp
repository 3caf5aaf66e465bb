// Backup and restore of a data folder's database (bbs.db: accounts,
// classes, the generic database, the game's characters and mail).
//
// A backup is taken while the host runs: one read snapshot of the database
// (WAL readers never hold writers up) copied page by page into a new file
// with SQLite's online backup API, so that the copy holds exactly the
// transactions committed before it began. The copy is a plain SQLite file
// (rollback journal, not WAL), owner-only (0600), checked with
// PRAGMA integrity_check before it is put in place; a failed backup leaves
// nothing behind.
//
// A restore runs only while no bbshost serves the folder (it holds the
// folder's lock meanwhile, so none can start): it checks the file first
// (integrity, the host's tables), then copies it over the database in one
// transaction.
//
// Both say on stdout where the copy went.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <system_error>

#include "app/admin/admin.h"
#include "app/folder_lock.h"
#include "bbs/log.h"

namespace app::admin {

namespace fs = std::filesystem;

namespace {

// Pages copied per step of a backup (4 MB at SQLite's default page size):
// small enough to keep each step short, large enough to keep the steps few.
constexpr int kPagesPerStep = 1024;
// Tables every database of the host has.
constexpr const char* kHostTables[] = {"accounts", "classes", "generic"};

// One SQLite connection, closed when it goes out of scope.
class Connection {
public:
    // False with *error naming the file when it cannot be opened.
    bool open(const fs::path& file, int flags, std::string* error) {
        if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db_, 5000);
            return true;
        }
        *error = "cannot open " + file.string() + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        return false;
    }
    ~Connection() { sqlite3_close_v2(db_); }
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* get() const { return db_; }
    std::string message() const { return sqlite3_errmsg(db_); }

    // Runs `sql`; its rows' first columns, joined by "; ". False with
    // *error when it fails.
    bool query(const char* sql, std::string* rows, std::string* error) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
            *error = message();
            return false;
        }
        int rc;
        std::string out;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(s, 0);
            if (!out.empty()) out += "; ";
            out += text ? reinterpret_cast<const char*>(text) : "";
        }
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) {
            *error = message();
            return false;
        }
        if (rows) *rows = out;
        return true;
    }

private:
    sqlite3* db_ = nullptr;
};

// SQLite's own check of the whole file, and the host's tables in it.
// False with *error saying what is wrong.
bool check_database(Connection& db, const fs::path& file, std::string* error) {
    std::string result, why;
    if (!db.query("PRAGMA integrity_check", &result, &why)) {
        *error = file.string() + " is not a database SQLite can read: " + why;
        return false;
    }
    if (result != "ok") {
        *error = file.string() + " fails the integrity check: " + result.substr(0, 400);
        return false;
    }
    for (const char* table : kHostTables) {
        const std::string sql = std::string("SELECT name FROM sqlite_schema WHERE type = 'table' AND name = '") +
                                table + "'";
        if (!db.query(sql.c_str(), &result, &why) || result.empty()) {
            *error = file.string() + " is no database of bbshost (it has no table " + table + ")";
            return false;
        }
    }
    return true;
}

// Syncs the file at `path` (a file or a folder) to disk.
bool sync_path(const fs::path& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        *error = "cannot sync " + path.string() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// A file that is removed when it goes out of scope, unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (path_.empty()) return;
        std::error_code ec;
        fs::remove(path_, ec);
        fs::path journal = path_;
        journal += "-journal";
        fs::remove(journal, ec);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const fs::path& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    fs::path path_;
};

// A line in the data folder's host log: what an admin command did to it.
void log_line(const fs::path& data_dir, const std::string& line) {
    bbs::HostLog log;
    std::string error;
    if (log.open(data_dir / "bbshost.log", &error))
        log.write(line);
    else
        std::cerr << "bbshost: warning: " << error << std::endl;
}

// Copies every page of `from` into `to` (whose page size may have to change:
// `to` must not be in WAL mode), `pages` at a time.
bool copy_pages(Connection& from, Connection& to, int pages, std::string* error) {
    sqlite3_backup* copy = sqlite3_backup_init(to.get(), "main", from.get(), "main");
    if (!copy) {
        *error = to.message();
        return false;
    }
    int rc;
    do {
        rc = sqlite3_backup_step(copy, pages);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) sqlite3_sleep(10);
    } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
    sqlite3_backup_finish(copy);
    if (rc != SQLITE_DONE) {
        *error = sqlite3_errstr(rc);
        return false;
    }
    return true;
}

// Copies DATA/bbs.db to FILE. An existing FILE is replaced only with
// --replace.
int backup(const Call& call) {
    const fs::path& data_dir = call.folder().data;
    const fs::path file = call.args().text("FILE");
    const bool replace = call.args().flag("--replace");
    std::error_code ec;
    const fs::path database = fs::absolute(data_dir, ec) / "bbs.db";
    if (!fs::is_regular_file(database, ec))
        return bad("no database " + database.string() + " (is " + data_dir.string() + " a data folder?)");
    const fs::path target = fs::absolute(file, ec);
    if (fs::exists(target, ec) && !replace)
        return bad(target.string() + " exists already (--replace writes over it)");
    if (!fs::is_directory(target.parent_path(), ec))
        return bad("folder " + target.parent_path().string() + " does not exist");
    if (fs::equivalent(target, database, ec)) return bad("a backup cannot go over the database itself");

    // The copy is made beside its target, owner-only, and renamed into place.
    TemporaryFile partial(target.parent_path() /
                          ("." + target.filename().string() + ".partial-" + std::to_string(::getpid())));
    const int fd = ::open(partial.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return failed("cannot create " + partial.path().string() + ": " + std::strerror(errno));
    ::close(fd);

    std::string error;
    Connection source, copy;
    if (!source.open(database, SQLITE_OPEN_READWRITE, &error) ||
        !copy.open(partial.path(), SQLITE_OPEN_READWRITE, &error))
        return failed(error);
    // One read snapshot for the whole copy: what was committed before it
    // began, and nothing the host commits meanwhile (which would otherwise
    // start the copy over).
    if (!source.query("BEGIN", nullptr, &error) ||
        !source.query("SELECT count(*) FROM sqlite_schema", nullptr, &error))
        return failed("cannot read " + database.string() + ": " + error);
    const bool copied = copy_pages(source, copy, kPagesPerStep, &error);
    std::string ignored;
    source.query("COMMIT", nullptr, &ignored);
    if (!copied) return failed("cannot copy " + database.string() + ": " + error);

    std::string pages;
    if (!copy.query("PRAGMA journal_mode=DELETE", nullptr, &error) ||
        !copy.query("PRAGMA page_count", &pages, &error))
        return failed("cannot finish " + partial.path().string() + ": " + error);
    if (!check_database(copy, target, &error)) return failed("the copy is broken: " + error);
    if (!sync_path(partial.path(), &error)) return failed(error);

    if (replace) {
        if (::rename(partial.path().c_str(), target.c_str()) != 0)
            return failed("cannot rename the copy to " + target.string() + ": " + std::strerror(errno));
    } else {
        if (::link(partial.path().c_str(), target.c_str()) != 0) {
            if (errno == EEXIST) return bad(target.string() + " exists already (--replace writes over it)");
            return failed("cannot name the copy " + target.string() + ": " + std::strerror(errno));
        }
    }
    if (!sync_path(target.parent_path(), &error)) return failed(error);

    log_line(data_dir, "admin: backup of the database written to " + target.string());
    std::cout << "backup of " << database.string() << " written to " << target.string() << " ("
              << pages << " pages, integrity check ok)" << std::endl;
    return kOk;
}

// Replaces DATA/bbs.db with the database in FILE.
int restore(const Call& call) {
    const fs::path& data_dir = call.folder().data;
    const fs::path file = call.args().text("FILE");
    std::error_code ec;
    if (!fs::is_directory(data_dir, ec)) return bad("data folder " + data_dir.string() + " does not exist");
    const fs::path source_file = fs::absolute(file, ec);
    if (!fs::is_regular_file(source_file, ec)) return bad("no backup file " + source_file.string());
    const fs::path database = fs::absolute(data_dir, ec) / "bbs.db";
    if (fs::equivalent(source_file, database, ec)) return bad("a restore cannot copy the database onto itself");

    std::string error;
    Connection source;
    if (!source.open(source_file, SQLITE_OPEN_READONLY, &error)) return bad(error);
    if (!check_database(source, source_file, &error)) return bad(error + "; nothing restored");

    pid_t holder = 0;
    auto lock = FolderLock::take(data_dir, &holder, &error);
    if (!lock) {
        if (holder)
            return failed("bbshost (process " + std::to_string(holder) + ") is running on " +
                          data_dir.string() + ": stop it first; nothing restored");
        return failed(error + "; nothing restored");
    }

    Connection target;
    if (!target.open(database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &error)) return failed(error);
    // Out of WAL mode for the copy (a WAL database cannot change its page
    // size); the copy is one transaction of the rollback journal, so a crash
    // leaves the old database or the new one.
    std::string mode;
    if (!target.query("PRAGMA journal_mode=DELETE", &mode, &error) || mode != "delete")
        return failed("cannot take " + database.string() +
                      " out of WAL mode (is another admin command using it?): " +
                      (error.empty() ? mode : error) + "; nothing restored");
    if (!copy_pages(source, target, -1, &error))
        return failed("cannot copy " + source_file.string() + " to " + database.string() + ": " + error);
    if (!target.query("PRAGMA journal_mode=WAL", &mode, &error) || mode != "wal")
        return failed("restored, but cannot put " + database.string() + " back into WAL mode: " +
                      (error.empty() ? mode : error));
    if (!check_database(target, database, &error)) return failed("the restored database is broken: " + error);

    log_line(data_dir, "admin: database restored from " + source_file.string());
    std::cout << "restored " << database.string() << " from " << source_file.string()
              << " (integrity check ok)" << std::endl;
    return kOk;
}

}  // namespace

const Noun kBackup{"backup", "", {
    {"", "Copy the whole database to FILE (mode 0600) while the host runs, and check the copy",
     {{Option::Kind::path, "FILE", "The backup file to write", kRequired},
      {Option::Kind::flag, "--replace", "Write over FILE when it exists"}},
     Needs::folder, backup},
}};

const Noun kRestore{"restore", "", {
    {"", "Replace the database with the backup in FILE, after checking it; only while the host is "
         "stopped",
     {{Option::Kind::path, "FILE", "The backup file to read", kRequired}}, Needs::folder, restore},
}};

}  // namespace app::admin
