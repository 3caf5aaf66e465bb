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
// Both answer an exit status (admin.h) and say on stdout where the copy went.
#pragma once

#include <filesystem>

namespace app::admin {

// Copies DATA/bbs.db to `file`. An existing `file` is replaced only with
// `replace`.
int backup(const std::filesystem::path& data_dir, const std::filesystem::path& file, bool replace);

// Replaces DATA/bbs.db with the database in `file`.
int restore(const std::filesystem::path& data_dir, const std::filesystem::path& file);

}  // namespace app::admin
