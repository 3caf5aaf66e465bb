// The inside of bbs::Host, shared by host.cpp and the C services
// (services.cpp). Not for modules, the game or the host program.
#pragma once

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "bbs/accounts.h"
#include "bbs/call_scope.h"
#include "bbs/database.h"
#include "bbs/editor.h"
#include "bbs/host.h"
#include "bbs/log.h"
#include "bbs/messages.h"
#include "bbs/module_guard.h"
#include "bbs/modules.h"
#include "bbs/output.h"
#include "bbs/status_queue.h"
#include "bbs/waiting_calls.h"

namespace bbs {

// User states the host keeps for itself (module numbers are 0 and up).
constexpr int32_t kHostMenuState = -1;
constexpr int32_t kEditorState = -2;

struct Session {
    bool online = false;
    HostUser user{};
    HostAccount account{};   // the live record modules see
    HostAccount stored{};    // as the database held it when last read or written
    std::vector<std::string> keys;
    std::vector<char> scratch;  // dclvda area
    std::unique_ptr<LineEditor> editor;
    int32_t editor_state = 0;   // where the user was when the editor opened
    uint32_t editor_substate = 0;
    std::string capture;        // everything sent since the last take_output
    bool told_busy = false;     // told that what he types waits for the database
    size_t refused_lines = 0;   // waiting lines refused since he was last told
};

// The C globals a module call depends on, saved and put back around nested calls.
class CallContext {
public:
    CallContext();
    ~CallContext();
    CallContext(const CallContext&) = delete;
    CallContext& operator=(const CallContext&) = delete;

private:
    int32_t usrnum_, othusn_, status_;
    HostUser* usrptr_;
    HostAccount* usaptr_;
};

struct Host::Impl {
    HostOptions options;
    std::filesystem::path previous_cwd;
    HostLog log;
    std::unique_ptr<Database> database;
    std::unique_ptr<Accounts> accounts;
    MessageCatalog messages{log};
    ModuleLibraries libraries;
    ModuleTable modules;
    std::vector<int32_t (*)(void)> global_commands;
    std::vector<Session> sessions;
    StatusQueue statuses;
    OutputBuffer output;
    SprRing spr;
    uint32_t scratch_size = 0;
    std::vector<std::function<void()>> reload_hooks;
    std::vector<std::function<void()>> reopen_log_hooks;
    OutputSink sink;
    CloseSink close_sink;
    SessionLister session_lister;
    PagingSwitch paging_switch;
    std::vector<int> pending_closes;
    ModuleGuard guard{log, messages};  // every call into module code
    std::string scan_value;           // what msgscan returned last

    // The running top-level call (HostCall): its depth, the channel it
    // serves, and its effects, held until its transaction has committed.
    CallScope call;
    int64_t changes_at_begin = 0;  // the database's row changes when the call began
    uint64_t accounts_seen = 0;    // Accounts::generation when the live accounts were read

    // Durable acknowledgements with the log synced elsewhere (set_log_sync):
    // the effects of calls, in order, until the log is on disk up to their ticket.
    std::function<void(uint64_t)> sync_request;
    UnsyncedEffects unsynced;

    // Calls that could not open their transaction (another connection
    // holds the database's write lock) wait here for retry_waiting.
    WaitingCalls waiting;
    bool replaying = false;       // retry_waiting is running a waiting call...
    bool replay_failed = false;   // ... and it could not open its transaction
    std::optional<std::chrono::steady_clock::time_point> busy_since;  // this busy spell began
    size_t waited_calls = 0;      // calls of this busy spell that ran after waiting

    Session* session(int channel);       // null when out of range
    Session* online_session(int channel);  // null when out of range or free
    void make_current(int channel);      // usrnum, usrptr, usaptr
    // Calls into module code. False when the module stopped the host.
    // The live accounts are written back after it (also when it stopped).
    bool guarded(const RoutineName& name, const std::function<void()>& call);
    void stop(std::string reason);       // catastro, a log that cannot be synced
    // The routine `routine` of every registered module that has one, in
    // registration order, through the guard, with `channel` current (when
    // >= 0).
    template <typename R, typename... A>
    void for_each_module(R (*ModuleDescriptor::*routine)(A...), const char* what, int channel,
                         std::type_identity_t<A>... args) {
        for (const ModuleDescriptor& m : modules.all()) {
            auto fn = m.*routine;
            if (!fn) continue;
            if (channel >= 0) make_current(channel);
            const std::string owner(m.name, strnlen(m.name, sizeof m.name));
            guarded(RoutineName{owner, what}, [&] { fn(args...); });
        }
    }
    void send(int channel, std::string_view bytes);     // held while a call runs
    void deliver(int channel, std::string_view bytes);  // to the capture and the sink
    // False when the call must not run: the database could not open its
    // transaction, or calls wait already and this one must go behind them.
    // Runs `work` as one top-level call serving `channel` (-1: none), in a
    // HostCall (below); calls made inside a running call join it. False when
    // its transaction could not be opened: nothing ran.
    bool run_call(int channel, const std::function<void()>& work);
    bool begin_call(int channel);
    void end_call();               // commit and send, or roll back and say so
    void apply(CallEffects& effects);  // hooks, output, closes
    std::chrono::steady_clock::time_point now() const;
    // A call whose HostCall was not ok: it waits (or, while it is being
    // retried, goes back where it was).
    void wait(WaitingCall call);
    // Runs a waiting call through its public entry; false when its
    // transaction still cannot be opened.
    bool replay(const WaitingCall& call);
    // Users whose calls have waited long enough are told; lines that waited
    // too long are refused.
    void tell_waiting_users();
    void start_session(int channel);  // the logon routines of a user who has his channel
    // The session's account fields (class, days, keys) as the database
    // holds them now; false when it holds no such account.
    bool refresh(Session& s);
    void reload_accounts();        // every live account as the database holds it
    // What module calls changed in live accounts since they were read
    // (days as a difference, the class when changed) onto the database.
    void write_back();
    char* scratch_of(Session& s);
    void queue_status(int channel, int32_t code);
    void finish_editor(int channel, int16_t status);
    void host_menu(int channel, std::string_view line);
    void process_closes();
    void parse(std::string_view line);
};

struct HostAccess {
    using Impl = Host::Impl;
    static Impl* impl() {
        Host* h = Host::current();
        return h ? h->impl_.get() : nullptr;
    }
};

// One top-level call into the host (a typed line, an editor save, a status
// delivery, a logon, a hang-up, ...). Its database writes are one
// transaction, and what it sends any channel is held back until that
// transaction has committed, so that no client ever sees a confirmation of
// something the database does not hold. A failed call is rolled back as a
// whole: its output is dropped and its user told. Calls nest (the inner one
// joins the outer).
class HostCall {
public:
    HostCall(HostAccess::Impl& host, int channel) : host_(host), ok_(host.begin_call(channel)) {}
    ~HostCall() { host_.end_call(); }
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;
    bool ok() const { return ok_; }  // false: runs without a transaction

private:
    HostAccess::Impl& host_;
    bool ok_;
};

}  // namespace bbs
