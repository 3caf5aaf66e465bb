// Faults a test arms on the host's database connection, after SQLite's test
// VFS and LevelDB's fault-injection Env: a statement that writes rows
// refused as on a full database, and a commit whose writes the disk
// refuses. Installed (install()) before a connection opens, it sits between
// the connection and SQLite (a bbs::sql::Interposer): the connection's
// files go through a VFS of its own that forwards every call to the
// default VFS; nothing fails unless a test asked.
//
// "A write" is one statement that writes rows (INSERT, UPDATE, DELETE) run
// through the SQLite layer (bbs/sqlite.h); counts start when armed, so
// fail_write(1) refuses the next one.
#pragma once

#include <memory>
#include <string>

#include "bbs/database.h"
#include "bbs/sqlite.h"

struct sqlite3_vfs;

namespace testing_support {

class Faults : public bbs::sql::Interposer {
public:
    static constexpr int kFull = 13;  // SQLITE_FULL

    // Every connection opened from now on gets Faults of its own.
    static void install();
    // The faults of the database's connection; it must have opened after install().
    static Faults& of(bbs::Database& database);

    explicit Faults(bbs::sql::Connection& connection);
    ~Faults() override;
    Faults(const Faults&) = delete;
    Faults& operator=(const Faults&) = delete;

    // The nth write from now fails with `code` before it runs. With
    // `whole_transaction`, the open transaction is rolled back first, as
    // SQLite may do by itself on a full disk or an I/O error.
    void fail_write(int nth, int code = kFull, bool whole_transaction = false);
    // The next commit that has something to write fails: the disk refuses
    // its writes with `code`.
    void fail_commit(int code = kFull);

    // ---- for the SQLite layer and the VFS ------------------------------------------
    const char* vfs_name() const override { return vfs_name_.c_str(); }
    int before_write(bool* whole_transaction) override;
    void begin_commit() override { committing_ = true; }
    void end_commit() override;
    sqlite3_vfs* real_vfs() const { return real_; }
    // A write to a file: 0, or the code the disk refuses it with.
    int take_file_write();

private:
    std::string vfs_name_;
    std::unique_ptr<sqlite3_vfs> vfs_;
    sqlite3_vfs* real_ = nullptr;
    int fail_write_at_ = 0;  // writes from now; 0: none
    int fail_write_code_ = 0;
    bool fail_whole_ = false;
    int commit_code_ = 0;
    bool committing_ = false;
    bool commit_refused_ = false;
};

}  // namespace testing_support
