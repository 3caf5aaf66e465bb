// The host's one way to SQLite: a connection, statements prepared on it, a
// guard that resets a statement on every path, and errors that say what
// failed and where. Every statement of the host's database (the generic and
// class databases, the accounts, the game's tables) goes through here, so
// that a failure of the database is reported in one place and a test can
// inject one anywhere (an Interposer, below).
//
// A failure "of the database" is any result but a row, done, or a refused
// constraint (a taken key, a missing row): a full disk, an I/O error, a
// busy lock. Each is told to the connection's failure handler as an Error,
// once, by the statement that met it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace bbs::sql {

class Connection;

// What failed: SQLite's (extended) result code, what was being done, and
// where (the file and the table or store).
struct Error {
    int code = 0;       // 0 (SQLITE_OK): no error
    std::string what;   // "insert: database or disk is full"
    std::string where;  // "bbs.db generic database"

    explicit operator bool() const { return code != 0; }
    std::string text() const;  // "where: what"
};

// What a test may put between a connection and the disk (the fault layer
// of tests/support/faults.h); the product installs none. It may refuse a
// statement that writes rows (INSERT, UPDATE, DELETE) before it runs, hears
// when a COMMIT begins and ends, and may name a VFS of its own to carry the
// connection's files.
class Interposer {
public:
    virtual ~Interposer() = default;
    virtual const char* vfs_name() const = 0;  // null: SQLite's default VFS
    // Before a write runs: 0, or the code it fails with; with
    // *whole_transaction the open transaction is rolled back first.
    virtual int before_write(bool* whole_transaction) = 0;
    virtual void begin_commit() = 0;
    virtual void end_commit() = 0;
};
// Every connection opened from now on gets an Interposer from `maker`
// (null: none). For tests only.
void interpose(std::function<std::unique_ptr<Interposer>(Connection&)> maker);

// Used by one thread at a time: it takes no lock of its own.
class Connection {
public:
    // Opens or creates the file (WAL mode is the caller's to ask for).
    static std::unique_ptr<Connection> open(const std::filesystem::path& file, Error* error);
    ~Connection();  // closes; statements still kept elsewhere close it with the last one

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& name() const { return name_; }

    // Runs statements that return no rows (schema, pragmas); a failure is
    // reported and returned.
    bool exec(std::string_view sql, std::string_view where, Error* error = nullptr);
    void set_busy_timeout(std::chrono::milliseconds timeout);
    bool in_transaction() const;        // a transaction is open on the connection
    int64_t total_changes() const;      // rows written since the connection opened
    uint64_t rollbacks() const { return rollbacks_; }  // transactions rolled back, by anyone's say
    int64_t last_insert_rowid() const;
    int changes() const;                // rows the last statement wrote
    std::string error_message() const;  // SQLite's text for the last failure on the connection

    // Told of every failure of the database on this connection.
    void on_failure(std::function<void(const Error&)> handler) { on_failure_ = std::move(handler); }
    void report(const Error& error);
    Error error_of(int code, std::string_view doing, std::string_view where) const;

private:
    Connection() = default;
    friend class Statement;
    friend class Use;
    friend class WriteTransaction;
    friend struct RawAccess;  // raw SQL beside this layer: tests and benchmarks (tests/support)
    std::string name_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Interposer> interposer_;  // null but in tests
    std::function<void(const Error&)> on_failure_;
    uint64_t rollbacks_ = 0;
};

// A write transaction of its own on the connection (BEGIN IMMEDIATE: the
// write lock is held from the start), for work beside the host's calls
// that reads rows and writes them back, such as an administration command
// while the host runs: the host's calls wait for it (and retry), so that
// nothing they commit comes in between. Rolled back unless committed. Its
// failures are returned, not reported to the connection's handler.
class WriteTransaction {
public:
    explicit WriteTransaction(Connection& connection);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // True when it began; else false with SQLite's reason in *error (the
    // lock was not had within the busy timeout, or the database refused).
    bool begun(std::string* error) const;
    // On success true, and the transaction is over. On failure false with
    // SQLite's reason in *error; it is rolled back when it goes.
    bool commit(std::string* error);

private:
    Connection& connection_;
    bool open_ = false;
    std::string error_;  // why it did not begin
};

// A prepared statement. `kept` statements are prepared once for the life
// of the connection (SQLITE_PREPARE_PERSISTENT) and reset after each use.
class Statement {
public:
    Statement() = default;
    Statement(Connection& connection, std::string_view sql, std::string where, bool kept = true);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Prepares; false (reported) when SQLite refuses the text.
    bool prepare(Connection& connection, std::string_view sql, std::string where, bool kept = true);
    bool ok() const { return stmt_ != nullptr; }
    const std::string& where() const { return where_; }

private:
    friend class Use;
    Connection* connection_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    std::string where_;
    bool writes_ = false;   // writes rows (INSERT, UPDATE, DELETE)
    bool commits_ = false;  // COMMIT
};

// One use of a statement: binds, steps, reads columns, and resets the
// statement and its bindings when it goes out of scope, on every path (so
// that no statement keeps a read transaction open).
class Use {
public:
    // refused: a constraint said no (a taken key); failed: the database
    // failed (reported); busy: another connection holds the lock.
    enum class Step { row, done, refused, busy, failed };

    explicit Use(Statement& statement) : s_(statement) {}
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    // Text and blobs are copied only when `copy` is asked (else they must
    // outlive the use).
    Use& bind(int index, std::string_view text, bool copy = false);
    Use& bind(int index, int64_t value);
    Use& bind_blob(int index, const void* data, size_t size);
    Use& bind_null(int index);

    // One step. `doing` names the work in a reported failure ("insert").
    // A busy lock is a failure too, unless the caller waits for it itself
    // (attempt: busy is returned, not reported).
    Step step(std::string_view doing);
    Step attempt(std::string_view doing);
    bool row(std::string_view doing) { return step(doing) == Step::row; }
    bool run(std::string_view doing) { return step(doing) == Step::done; }
    int code() const { return code_; }   // SQLite's extended code of the last step

    std::string text(int column) const;
    int64_t integer(int column) const;
    const void* blob(int column) const;
    size_t bytes(int column) const;

private:
    Step run_step(std::string_view doing, bool busy_is_failure);
    Statement& s_;
    int code_ = 0;
};

// Whether other connections committed to the database since the last look
// (PRAGMA data_version; this connection's own commits do not count). The
// first look counts as a commit. nullopt when the version could not be
// read: the database busy (report_busy: reported as a failure) or failing.
class DataVersion {
public:
    bool prepare(Connection& connection, std::string where);
    std::optional<bool> moved(bool report_busy = true);

private:
    Statement statement_;
    int64_t seen_ = -1;
};

}  // namespace bbs::sql
