// The host's database file (SQLite, WAL): the generic per-user database
// (genbb) and the class database (clsbb) that modules reach through the dfa*
// services of platform/host.h, plus the handle other host tables share.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/sqlite.h"
#include "platform/host.h"

namespace bbs {

class HostLog;

class Database {
public:
    // Opens or creates the file. Null with *error on failure. A statement
    // that finds the file locked by another connection waits for it up to
    // 5 s, until set_busy_timeout says otherwise.
    static std::unique_ptr<Database> open(const std::filesystem::path& file, std::string* error);
    ~Database();

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    HostDataFile* generic();  // what genbb points at while bound
    HostDataFile* classes();  // what clsbb points at while bound
    // The connection the host's other tables share (accounts, the game's).
    sql::Connection& connection();
    void set_busy_timeout(std::chrono::milliseconds timeout);
    // Where failures of the database (as errors) and modules' mistakes with
    // the dfa* services (as warnings) are told; stderr until there is a log.
    void set_log(HostLog* log);
    void warn(std::string_view text);

    // Classes: day limit -1 = none.
    bool put_class(std::string_view name, int16_t days, std::string* error);
    std::optional<int16_t> class_days(std::string_view name);

    // The generic database, for administration and tests.
    struct Entry {
        uint32_t position;      // absolute position (dfaAbs)
        std::string userid;
        std::string tag;
        std::string bytes;      // the whole record
    };
    std::vector<Entry> generic_entries();   // key order
    size_t generic_count();
    bool insert_generic(const void* record, uint32_t length, std::string* error);
    bool erase_generic(uint32_t position);

    // Runs `work` in one transaction (bulk loads, benchmarks). Rolled back
    // when `work` returns false or throws; inside a running batch or host
    // call `work` simply joins it.
    bool batch(const std::function<bool()>& work);

    // ---- the transaction of one host call ------------------------------------
    // The host runs every top-level call (a typed line, an editor save, a
    // status delivery, a logon, ...) in one transaction: the records a module
    // writes, the credits and days it charges and the game's copper and lives
    // (the game keeps its tables on this connection) are committed together
    // or not at all.
    //
    // begin_call opens it (BEGIN IMMEDIATE: the write lock is the call's
    // from its start), or joins the transaction that is open already. False,
    // with the reason in *why, when the lock cannot be had within the busy
    // timeout or the database refuses: the call must not run. Whoever sees
    // Every statement that fails on this connection during the call (of the
    // layer in bbs/sqlite.h) rolls the call back as a whole, also when SQLite
    // itself rolled back part of it: writes after the failure are held in a
    // transaction of their own so that they go the same way. note_failure
    // does the same for a failure met elsewhere. end_call commits, or rolls
    // back when a failure was met or the commit fails.
    bool begin_call(std::string* why = nullptr);
    void note_failure(const sql::Error& error);
    struct CallOutcome {
        bool committed = true;   // false: rolled back, nothing of the call stays
        sql::Error failure;      // the first failure, when rolled back
    };
    CallOutcome end_call();
    bool in_call() const;

    // ---- durability ------------------------------------------------------------
    // Commits are synchronous=FULL: the write-ahead log is on disk before
    // COMMIT returns; a transaction that wrote nothing syncs nothing. A
    // program that must not wait for the disk on its one thread calls
    // defer_log_sync: commits then leave the log to the page cache
    // (synchronous=NORMAL, still atomic), and sync_log puts on disk all
    // that was committed before it began. sync_log may run on any thread
    // (it uses a descriptor of its own, never the connection); the program
    // must not acknowledge a commit before it returned true.
    bool defer_log_sync(std::string* error);
    bool sync_log(std::string* error);
    // Back to synchronous=FULL, after a last sync; no sync_log may run then.
    void sync_log_at_commit();
    // Rows written on this connection since it opened (a call that leaves
    // it unchanged wrote nothing).
    int64_t changes() const;
    // True when another connection (another process) committed a change
    // since this was last asked (and on the first time). Asked inside a
    // transaction, it speaks of what the transaction sees. Asked by the
    // host call holding the write lock, it lets the tables answer from the
    // records they read lately until the call ends.
    bool changed_elsewhere();

    // Largest record the generic database stores (and the size of its own
    // record buffer).
    static constexpr uint32_t kMaxGenericRecord = 4096;

    // The folded form of a generic key as key 0 orders it (the indexed sort
    // column): each text field cut at its terminator and zero-filled, ASCII
    // letters upper-cased. Raw SQL over the same file binds this.
    static std::string generic_sort_key(const void* key);

private:
    Database();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The engine behind the dfa* services: each call works on one HostDataFile
// that a Database opened (file->impl), and returns what the service returns.
namespace datafile {
int16_t acquire(HostDataFile* file, void* record, const void* key, int16_t keynum,
                int16_t operation);
int16_t acquire_position(HostDataFile* file, void* record, uint32_t position, int16_t keynum);
uint32_t position(HostDataFile* file);   // the current record's, 0 when there is none
int16_t insert(HostDataFile* file, const void* record, uint32_t length);
int16_t update(HostDataFile* file, const void* record, uint32_t length);
int16_t erase(HostDataFile* file);
uint32_t length(HostDataFile* file);     // stored length of the current record, 0 when none
}  // namespace datafile

// Points genbb and clsbb at the database's files and empties the selection
// stack; null unbinds them (genbb and clsbb become null). Mistakes with the
// dfa* services go to the bound database's log.
void bind_database(Database* database);

// The data-file selection stack of the dfa* services (dfaSetBlk pushes,
// dfaRstBlk pops): what is selected and how deep, so that the host can tell
// whether a module call left it as it found it, and put it back.
struct SelectionMark {
    const HostDataFile* current = nullptr;
    int depth = 0;
    bool operator==(const SelectionMark&) const = default;
};
SelectionMark selection_mark();
void restore_selection(const SelectionMark& mark);

}  // namespace bbs
