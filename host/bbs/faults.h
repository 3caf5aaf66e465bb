// Faults a test arms on one database connection, after SQLite's test VFS
// and LevelDB's fault-injection Env: a statement that writes rows refused
// as on a full database, a commit whose writes the disk refuses, a sync
// that fails, and a crash point after a given write. The connection's files
// go through a VFS of its own that forwards every call to the default VFS,
// counting writes and syncs on the way; nothing fails unless a test asked.
//
// "A write" is one statement that writes rows (INSERT, UPDATE, DELETE) run
// through the SQLite layer (bbs/sqlite.h); counts start when armed, so
// fail_write(1) refuses the next one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct sqlite3_vfs;

namespace bbs::sql {

class Faults {
public:
    static constexpr int kFull = 13;        // SQLITE_FULL
    static constexpr int kIoErrFsync = 1034; // SQLITE_IOERR_FSYNC

    Faults();
    ~Faults();
    Faults(const Faults&) = delete;
    Faults& operator=(const Faults&) = delete;

    // The nth write from now fails with `code` before it runs. With
    // `whole_transaction`, the open transaction is rolled back first, as
    // SQLite may do by itself on a full disk or an I/O error.
    void fail_write(int nth, int code = kFull, bool whole_transaction = false);
    // The next commit that has something to write fails: the disk refuses
    // its writes with `code`.
    void fail_commit(int code = kFull);
    // The next sync fails: of the database's files, or of the write-ahead
    // log by Database::sync_log, whichever comes first.
    void fail_sync(int code = kIoErrFsync);
    // Runs `action` right after the nth write from now has run (a crash
    // point: the action may kill the process).
    void after_write(int nth, std::function<void()> action);
    void clear();  // disarms everything; the counters go on

    int64_t writes() const { return writes_; }  // writes run since the connection opened
    int64_t syncs() const { return syncs_; }    // syncs of its files asked of the disk

    // ---- for the SQLite layer ----------------------------------------------------
    const char* vfs_name() const { return vfs_name_.c_str(); }
    sqlite3_vfs* real_vfs() const { return real_; }
    // Before a write runs: 0, or the code it must fail with (and whether the
    // transaction goes too).
    int before_write(bool* whole_transaction);
    void after_write_ran();
    void begin_commit() { committing_ = true; }
    void end_commit();
    // A sync of a file, or of the write-ahead log: 0, or the code it fails with.
    int take_sync();
    // A write to a file: 0, or the code the disk refuses it with.
    int take_file_write();

private:
    std::string vfs_name_;
    std::unique_ptr<sqlite3_vfs> vfs_;
    sqlite3_vfs* real_ = nullptr;
    int fail_write_at_ = 0;        // writes from now; 0: none
    int fail_write_code_ = 0;
    bool fail_whole_ = false;
    int crash_at_ = 0;
    std::function<void()> crash_;
    int commit_code_ = 0;
    bool committing_ = false;
    bool commit_refused_ = false;
    std::atomic<int> sync_code_{0};  // sync_log runs on a thread of its own
    int64_t writes_ = 0;
    std::atomic<int64_t> syncs_{0};
};

}  // namespace bbs::sql
