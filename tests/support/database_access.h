// What tests and benchmarks reach of the host's database beside its
// interface: the raw SQLite handle of its connection, for SQL, hooks and
// pragmas of their own (a crash point, a full disk, a sync mode).
#pragma once

#include <sqlite3.h>

#include "bbs/database.h"
#include "bbs/sqlite.h"

namespace bbs::sql {

// The one way past the connection's interface (a friend of Connection).
struct RawAccess {
    static sqlite3* handle(Connection& connection) { return connection.db_; }
};

}  // namespace bbs::sql

namespace testing_support {

inline sqlite3* sqlite_handle(bbs::Database& database) { return bbs::sql::RawAccess::handle(database.connection()); }

}  // namespace testing_support
