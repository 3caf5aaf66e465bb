// What tests and benchmarks reach of the host's database beside its
// interface: the raw SQLite handle of its connection, for SQL, hooks and
// pragmas of their own (a crash point, a full disk, a sync mode).
#pragma once

#include <sqlite3.h>

#include "bbs/database.h"
#include "bbs/sqlite.h"

namespace testing_support {

inline sqlite3* sqlite_handle(bbs::Database& database) { return database.connection().handle(); }

}  // namespace testing_support
