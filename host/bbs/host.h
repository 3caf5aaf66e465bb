// The stand-in BBS host: one object that owns channels, accounts, message
// files, databases, the status queue and the editor, and implements the C
// services of platform/host.h on top of them. Inside, it is a few owners
// with a contract each (channel_table.h, module_runtime.h, call_runner.h,
// busy_queue.h, line_router.h), internal to the library.
//
// Single-threaded: every call below, and every module routine the host calls,
// runs on the thread that owns the Host. Only one Host exists at a time (the
// C services reach it through Host::current()).
//
// Every session call below (logon, hangup, line, the editor, status
// delivery, inject_message, request_close, reload, account_deleted) is one
// database transaction with all the module routines it runs: it commits
// before anything the call sent reaches the front end (bbs/front_end.h),
// and when the database refuses a write it is rolled back whole, its output
// is dropped, its user told and the host log says why.
//
// No call runs without its transaction. When another connection (an admin
// command, a backup) holds the database's write lock, a call waits for it
// at most HostOptions::busy_timeout; then it waits in line, in the order it
// came, behind every call already waiting, until retry_waiting() can open
// its transaction. Its user is told once it has waited busy_notice; lines
// that waited busy_give_up are refused (he is told); logons, hang-ups and
// reloads are never refused.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/front_end.h"
#include "platform/host.h"

namespace bbs {

class Database;        // bbs/database.h
class Accounts;        // bbs/accounts.h
class MessageCatalog;  // bbs/messages.h
namespace sql {
class Connection;  // bbs/sqlite.h
}

struct HostOptions {
    std::filesystem::path data_dir;  // must exist; the host works inside it (chdir)
    int channels = 8;                // nterms
    std::string log_name = "bbshost.log";
    // A database locked by another connection (see above). The host's one
    // thread never waits longer than busy_timeout for it at a time.
    std::chrono::milliseconds busy_timeout{5};
    std::chrono::milliseconds busy_notice{250};
    std::chrono::milliseconds busy_give_up{15000};
    // The host's clock for these; steady_clock::now when empty (tests set it).
    std::function<std::chrono::steady_clock::time_point()> clock;
};

// After every call into module code the host checks that the routine left
// the message-block stack (setmbk/rstmbk) and the data-file selection stack
// (dfaSetBlk/dfaRstBlk) as it found them; a warning naming the routine goes
// to the host log and to this observer (tests fail on it). Null: none.
void set_breach_observer(std::function<void(std::string_view warning)> observer);

class Host {
public:
    // Opens the data folder: database file, accounts, host log. Loads no
    // module. On failure returns null and says why in *error.
    static std::unique_ptr<Host> open(const HostOptions& options, std::string* error);
    ~Host();  // finish routines of every module, database closed, old cwd back

    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    static Host* current();

    // ---- administration --------------------------------------------------
    Database& database();
    Accounts& accounts();
    // The connection an add-on keeps its own tables on in the host's
    // database: what it writes during a host call commits or rolls back with
    // the call, and a failure of the database rolls the call back.
    sql::Connection& addon_tables();
    const std::filesystem::path& data_dir() const;
    // The message files modules have open, and which is selected (read only).
    const MessageCatalog& messages() const;
    void log(std::string_view line);  // one line to the host log, time-stamped
    // After logrotate moved the logs away (SIGUSR1): the host log, then
    // every log registered with on_reopen_logs, is opened by its name
    // again. A log that cannot be reopened stays on its old file, and the
    // host log says why.
    void reopen_logs();
    void on_reopen_logs(std::function<void()> hook);

    // ---- modules -----------------------------------------------------------
    // dlopen()s the library (RTLD_NOW | RTLD_GLOBAL) and calls its entry
    // point `init_symbol`. False with *error when the library or the symbol
    // is missing, or when the module stopped the host (catastro).
    bool load_module(const std::filesystem::path& library, std::string_view init_symbol,
                     std::string* error);
    int module_count() const;
    const ModuleDescriptor* module(int number) const;  // number as register_module returned
    int find_module(std::string_view name) const;      // by descriptor name, ignoring case; -1
    // Set when a module called catastro; the host must stop.
    bool stopped() const;
    const std::string& stop_reason() const;
    // Reload after SIGHUP: the reload hooks registered with on_reload first
    // (the game re-reads its ini and tells its add-ons), then changed message
    // files recompiled into the open blocks (a refused file keeps its block
    // as it was), then every loaded library's reload__<name> routine, so that
    // a module re-reads its options and the game's settings as they now are.
    // The host log says "reload done" once its transaction has committed.
    // False when it waits for the database (it runs from retry_waiting).
    bool reload();
    void on_reload(std::function<void()> hook);
    // Work that must share the fate of the running call (a log line about
    // a charge): `hook` runs when the call ends, told whether its
    // transaction committed. Outside a call it runs at once with true.
    void after_call(std::function<void(bool committed)> hook);
    // Calls every module's account deletion routine for `userid`. False
    // (nothing done) when the database is locked by another connection.
    bool account_deleted(std::string_view userid);

    // ---- sessions ----------------------------------------------------------
    // A user whose password was checked logs on at a free channel: the
    // channel is his at once, his account is loaded and every module's
    // logon routine runs (when the database lets the call run). -1 when no
    // channel is free or the account does not exist.
    int logon(std::string_view userid);
    // The user hangs up (or logs off): hang-up and logoff routines, editor
    // abandoned, account written back, channel freed, whatever of his still
    // waits dropped. Harmless for a free channel. The channel stays his
    // until the call has run.
    void hangup(int channel);
    bool online(int channel) const;
    int channel_of(std::string_view userid) const;  // -1 when not online
    // The module the user at the channel is at (its number), or -1 at the
    // host's menu, in the editor or when the channel is free.
    int module_at(int channel) const;
    // One line typed at the channel. Escape sequences and control characters
    // are stripped and the line cut at 255 bytes (bbs/input.h); then the
    // editor takes it when he has one open, else the global commands, his
    // module or the host's own menu (bbs/line_router.h).
    void line(int channel, std::string_view text);

    // ---- the program that serves the host ---------------------------------------
    // Output, closes, `who` and paging go to the front end (bbs/front_end.h);
    // none (null): output goes nowhere, and the two below say none.
    void set_front_end(FrontEnd* front_end);
    using SessionRow = bbs::SessionRow;
    // The front end's sessions for a sysop's `who` (FrontEnd::sessions_for).
    std::optional<std::vector<SessionRow>> sessions_for(int channel);
    // A user's `paging` (FrontEnd::paging).
    std::optional<bool> paging(int channel, std::optional<bool> on);
    // A user's `password` (FrontEnd::change_password): false when the front
    // end cannot change it (or there is none).
    bool change_password(int channel);

    // ---- status queue ------------------------------------------------------
    // Statuses queued by btuinj wait here; they are delivered only by these
    // calls, never inside a module routine.
    size_t pending_statuses() const;
    bool deliver_one();                     // oldest status; false when none
    size_t deliver_all(size_t limit = 1000000);  // until none or limit
    // A channel whose statuses are held (its user has a page to read) keeps
    // them queued, in their order, while the other channels' go on:
    // deliver_one() takes the oldest status of a channel not held.
    void hold_statuses(int channel, bool on);
    size_t deliverable_statuses() const;  // pending and not held
    int next_status() const;              // the channel deliver_one() serves next; -1

    // ---- calls that wait for the database ------------------------------------
    // True while calls (or the oldest status) wait for the database; the
    // program then calls retry_waiting every few tens of milliseconds.
    bool waiting() const;
    // Runs waiting calls, oldest first, while their transactions open (at
    // most `limit`), then the status that waited; tells users whose calls
    // wait, refuses lines that waited too long. How many calls ran.
    size_t retry_waiting(size_t limit = SIZE_MAX);

    // ---- durable acknowledgements --------------------------------------------
    // Nothing a call that wrote sends (nor its log lines that share its fate,
    // nor the closes it asks for) reaches anybody before its commit is on
    // disk. By default each commit syncs the database's log itself, on this
    // thread. A program with an event loop may take the wait for the disk
    // off its thread: after set_log_sync(request), a call that wrote
    // commits without a sync and calls request(ticket); its effects, and
    // those of later calls that serve or send to the same channels, are
    // held, in order, until the program has run Database::sync_log (on a
    // thread of its own) and calls log_synced(ticket), or
    // log_sync_failed(why) (the host then stops: nothing held is ever
    // acknowledged). A user's own confirmations thus never come before his
    // writes are on disk; other users may see a change a few milliseconds
    // before it is. A channel whose effects are held is not given to a new
    // logon. set_log_sync(nullptr) syncs and lets go
    // of everything held. False with *error when the log cannot be synced
    // apart from its commits.
    bool set_log_sync(std::function<void(uint64_t ticket)> request, std::string* error);
    void log_synced(uint64_t ticket);
    void log_sync_failed(std::string_view why);

    // Delivers an injected message (a page, a game `tell`) to a user: through
    // the injection routine of his module, or straight to him.
    void inject_message(int channel, std::string_view text);

    // A module or the game wants this user off: the front end closes him
    // after his output, and he hangs up.
    void request_close(int channel);

    // ---- the editor ----------------------------------------------------------
    bool in_editor(int channel) const;
    std::string editor_text(int channel) const;
    size_t editor_size(int channel) const;
    // Replace the text (each line cleaned as a typed one, bbs/input.h; cut
    // to the editor's size) and save / abandon.
    void editor_save(int channel, std::string_view text);
    void editor_abandon(int channel);

private:
    Host();
    struct Impl;
    std::unique_ptr<Impl> impl_;
    friend struct HostAccess;
};

}  // namespace bbs
