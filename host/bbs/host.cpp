#include "bbs/host.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <system_error>

#include "bbs/accounts.h"
#include "bbs/busy_queue.h"
#include "bbs/call_runner.h"
#include "bbs/channel_table.h"
#include "bbs/database.h"
#include "bbs/host_access.h"
#include "bbs/input.h"
#include "bbs/line_router.h"
#include "bbs/log.h"
#include "bbs/module_runtime.h"
#include "bbs/status_queue.h"

namespace bbs {

namespace {
Host* g_current = nullptr;
// How long the host waits for the database's lock when it stops: the
// hang-ups and what waits must run before the modules finish.
constexpr std::chrono::milliseconds kShutdownPatience{10000};
}  // namespace

// The owners of the host's state (bbs/*.h), wired together. Each call of
// the Host below goes through the call runner as one transaction, and a
// call the database cannot take yet waits in the busy queue.
struct Host::Impl {
    HostOptions options;
    std::filesystem::path previous_cwd;
    HostLog log;
    std::unique_ptr<Database> database;
    std::unique_ptr<Accounts> accounts;
    ChannelTable channels{log};
    ModuleRuntime modules{log, channels};
    StatusQueue statuses;
    BusyQueue busy{options, log, channels};
    CallRunner calls{log, channels, busy};
    LineRouter router{channels, modules, calls, statuses};
    std::vector<std::function<void()>> reopen_log_hooks;

    void start_session(int channel);  // the logon routines of a user who has his channel
    // The closes asked for inside module code, once it has returned: the
    // front end hears of each with the call's output, and its user hangs up.
    void close_pending();
    // A waiting call, again through its Host entry.
    void replay(const WaitingCall& call);
};

void Host::Impl::start_session(int channel) {
    if (!channels.online(channel)) return;
    calls.run_or_wait(channel, WaitingCall::Kind::logon, {}, [&] {
        const std::string userid = channels.userid(channel);
        log.write("logon: " + userid + " at channel " + std::to_string(channel));
        accounts->record_logon(userid, std::time(nullptr));
        {
            CallContext saved;
            modules.for_each(&ModuleDescriptor::logon, "logon routine", channel);
        }
        if (const HostUser* user = channels.user(channel); user && user->state == kHostMenuState)
            router.prompt(channel);
        close_pending();
    });
}

void Host::Impl::close_pending() {
    if (modules.inside()) return;
    for (int channel = calls.take_close(); channel >= 0; channel = calls.take_close()) {
        if (!channels.online(channel)) continue;
        calls.close(channel);
        g_current->hangup(channel);
    }
}

void Host::Impl::replay(const WaitingCall& call) {
    using Kind = WaitingCall::Kind;
    Host& host = *g_current;
    switch (call.kind) {
        case Kind::logon: start_session(call.channel); break;
        case Kind::line: host.line(call.channel, call.text); break;
        case Kind::editor_save: host.editor_save(call.channel, call.text); break;
        case Kind::editor_abandon: host.editor_abandon(call.channel); break;
        case Kind::inject: host.inject_message(call.channel, call.text); break;
        case Kind::close: host.request_close(call.channel); break;
        case Kind::hangup: host.hangup(call.channel); break;
        case Kind::reload: host.reload(); break;
    }
}

// ---------------------------------------------------------------------------
// What the C services reach

HostLog* HostAccess::log() { return g_current ? &g_current->impl_->log : nullptr; }
ModuleRuntime* HostAccess::modules() { return g_current ? &g_current->impl_->modules : nullptr; }
ChannelTable* HostAccess::channels() { return g_current ? &g_current->impl_->channels : nullptr; }
CallRunner* HostAccess::calls() { return g_current ? &g_current->impl_->calls : nullptr; }
StatusQueue* HostAccess::statuses() { return g_current ? &g_current->impl_->statuses : nullptr; }
Accounts* HostAccess::accounts() { return g_current ? g_current->impl_->accounts.get() : nullptr; }

// ---------------------------------------------------------------------------
// Opening and closing

Host::Host() : impl_(std::make_unique<Impl>()) {}

Host* Host::current() { return g_current; }

std::unique_ptr<Host> Host::open(const HostOptions& options, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return std::unique_ptr<Host>();
    };
    if (g_current) return fail("a host is already open");
    std::error_code ec;
    if (!std::filesystem::is_directory(options.data_dir, ec))
        return fail("data folder " + options.data_dir.string() + " does not exist");
    if (options.channels < 0) return fail("the number of channels cannot be negative");
    std::unique_ptr<Host> host(new Host());
    Impl& d = *host->impl_;
    d.options = options;
    d.options.data_dir = std::filesystem::absolute(options.data_dir, ec);
    std::string why;
    if (!d.log.open(d.options.data_dir / options.log_name, &why)) return fail(why);
    d.database = Database::open(d.options.data_dir / "bbs.db", &why);
    if (!d.database) return fail("cannot open the database: " + why);
    d.database->set_busy_timeout(options.busy_timeout);
    d.database->set_log(&d.log);
    d.calls.attach(*d.database);
    d.accounts = std::make_unique<Accounts>(d.database->connection());
    d.previous_cwd = std::filesystem::current_path(ec);
    if (chdir(d.options.data_dir.c_str()) != 0)
        return fail("cannot enter the data folder " + d.options.data_dir.string());
    bind_database(d.database.get());
    d.channels.open(options.channels, *d.accounts);
    ::nterms = options.channels;
    ::prfbuf = d.modules.output().data();
    ::usrnum = -1;
    ::othusn = -1;
    ::usrptr = nullptr;
    ::usaptr = nullptr;
    ::margc = 0;
    g_current = host.get();
    d.log.write("host started in " + d.options.data_dir.string() + " with " +
                std::to_string(options.channels) + " channels");
    return host;
}

Host::~Host() {
    Impl& d = *impl_;
    set_log_sync(nullptr, nullptr);  // from here on every commit syncs itself
    // Nobody else is served any more: the host may wait long for the lock,
    // so that what waits and the hang-ups run before the modules finish.
    if (d.database) d.database->set_busy_timeout(kShutdownPatience);
    retry_waiting();
    for (int ch = 0; ch < d.channels.size(); ++ch) hangup(ch);
    retry_waiting();
    if (!d.busy.empty())
        d.log.error(std::to_string(d.busy.size()) + " waiting call(s) never got the database and did not run");
    d.modules.for_each(&ModuleDescriptor::finish, "finish routine", -1);
    d.log.write(d.modules.stopped() ? "host stopped: " + d.modules.stop_reason() : std::string("host stopped"));
    d.modules.close_libraries();
    bind_database(nullptr);
    d.calls.detach();
    d.accounts.reset();
    d.database.reset();
    if (!d.previous_cwd.empty() && chdir(d.previous_cwd.c_str()) != 0) {
        // Nothing to go back to; the process stays where it is.
    }
    ::nterms = 0;
    ::prfbuf = nullptr;
    ::usrptr = nullptr;
    ::usaptr = nullptr;
    ::usrnum = -1;
    ::othusn = -1;
    ::margc = 0;
    g_current = nullptr;
}

// ---------------------------------------------------------------------------
// Administration and modules

Database& Host::database() { return *impl_->database; }
Accounts& Host::accounts() { return *impl_->accounts; }
sql::Connection& Host::addon_tables() { return impl_->database->connection(); }
const std::filesystem::path& Host::data_dir() const { return impl_->options.data_dir; }
const MessageCatalog& Host::messages() const { return impl_->modules.messages(); }
void Host::log(std::string_view line) { impl_->log.write(line); }

void Host::reopen_logs() {
    Impl& d = *impl_;
    std::string error;
    if (!d.log.reopen(&error)) d.log.error(error + "; the log stays on its old file");
    for (auto& hook : d.reopen_log_hooks) hook();
}

void Host::on_reopen_logs(std::function<void()> hook) { impl_->reopen_log_hooks.push_back(std::move(hook)); }

bool Host::load_module(const std::filesystem::path& library, std::string_view init_symbol,
                       std::string* error) {
    Impl& d = *impl_;
    if (d.modules.stopped()) {
        if (error) *error = "the host has stopped: " + d.modules.stop_reason();
        return false;
    }
    std::string path = library.string();
    auto init = d.modules.open_library(path, init_symbol, error);
    if (!init) {
        d.log.error(error ? *error : "cannot load " + path);
        return false;
    }
    d.log.write("loading " + path + " (" + std::string(init_symbol) + ")");
    CallContext saved;
    d.modules.messages().take_failures();
    if (!d.modules.call(RoutineName{"", "", reinterpret_cast<const void*>(init)}, [&] { init(); })) {
        if (error) {
            // The module's own words, then why its message file was refused.
            *error = "the module stopped the host: " + d.modules.stop_reason();
            for (const auto& why : d.modules.messages().take_failures()) *error += "\n  " + why;
        }
        return false;
    }
    return true;
}

int Host::module_count() const { return impl_->modules.count(); }
const ModuleDescriptor* Host::module(int number) const { return impl_->modules.get(number); }
int Host::find_module(std::string_view name) const { return impl_->modules.find(name); }
bool Host::stopped() const { return impl_->modules.stopped(); }
const std::string& Host::stop_reason() const { return impl_->modules.stop_reason(); }

bool Host::reload() {
    Impl& d = *impl_;
    return d.calls.run_or_wait(-1, WaitingCall::Kind::reload, {}, [&] {
        d.log.write(d.busy.replaying() ? "reload, after waiting for the database" : "reload");
        // Said once the reload's transaction has ended, also when it ran
        // after waiting for the database.
        d.calls.after([&log = d.log](bool committed) {
            log.write(committed ? "reload done" : "reload rolled back: the database refused it");
        });
        CallContext saved;
        d.modules.reload();
        d.close_pending();
    });
}

void Host::on_reload(std::function<void()> hook) { impl_->modules.on_reload(std::move(hook)); }

void Host::after_call(std::function<void(bool committed)> hook) { impl_->calls.after(std::move(hook)); }

bool Host::account_deleted(std::string_view userid) {
    Impl& d = *impl_;
    std::string id(userid);
    const bool ran = d.calls.run(-1, [&] {
        d.log.write("account deleted: " + id);
        CallContext saved;
        d.modules.for_each(&ModuleDescriptor::account_deleted, "account-deleted routine", -1, id.c_str());
    });
    if (!ran) d.log.error("account " + id + " not deleted: the database is locked by another connection");
    return ran;
}

// ---------------------------------------------------------------------------
// Sessions

int Host::logon(std::string_view userid) {
    Impl& d = *impl_;
    if (d.modules.stopped()) return -1;
    auto info = d.accounts->find(userid);
    if (!info) {
        d.log.warning("logon refused: no account " + std::string(userid));
        return -1;
    }
    if (channel_of(info->userid) >= 0) {
        d.log.warning("logon refused: " + info->userid + " is online already");
        return -1;
    }
    // A channel whose last user's output still waits for the disk is not free yet.
    const int channel = d.channels.free_channel([&](int ch) { return d.calls.holds(ch); });
    if (channel < 0) {
        d.log.warning("logon refused: no free channel for " + info->userid);
        return -1;
    }
    // The channel is his at once; the logon routines run in a call of
    // their own, which may have to wait for the database.
    d.channels.seat(channel, *info);
    d.start_session(channel);
    return channel;
}

void Host::hangup(int channel) {
    Impl& d = *impl_;
    if (!d.channels.online(channel)) return;
    if (d.modules.inside()) {  // asked from inside a module call: after it returns
        d.calls.close_later(channel);
        return;
    }
    if (!d.busy.replaying() && d.busy.has(channel, WaitingCall::Kind::hangup)) return;  // on its way
    d.calls.run_or_wait(channel, WaitingCall::Kind::hangup, {}, [&] {
        const std::string userid = d.channels.userid(channel);
        if (d.channels.editor(channel)) d.modules.finish_editor(channel, 1);
        {
            CallContext saved;
            d.modules.for_each(&ModuleDescriptor::hangup, "hang-up routine", channel);
            d.modules.for_each(&ModuleDescriptor::logoff, "logoff routine", channel);
        }
        d.channels.write_back();
        d.busy.forget(channel);  // what he left waiting goes with him
        d.statuses.drop(channel);
        d.channels.reset(channel);
        d.log.write("logoff: " + userid + " from channel " + std::to_string(channel));
    });
}

bool Host::online(int channel) const { return impl_->channels.online(channel); }

int Host::channel_of(std::string_view userid) const { return impl_->channels.find(userid); }

int Host::module_at(int channel) const {
    const HostUser* user = impl_->channels.user(channel);
    return user && user->state >= 0 ? user->state : -1;
}

void Host::line(int channel, std::string_view text) {
    Impl& d = *impl_;
    if (!d.channels.online(channel) || d.modules.stopped()) return;
    d.calls.run_or_wait(channel, WaitingCall::Kind::line, text, [&] {
        const std::string clean = clean_line(text, HOST_INPSIZ - 1);
        CallContext saved;
        if (d.router.route(channel, clean)) d.close_pending();
    });
}

// ---------------------------------------------------------------------------
// The front end

void Host::set_front_end(FrontEnd* front_end) { impl_->calls.set_front_end(front_end); }

std::optional<std::vector<Host::SessionRow>> Host::sessions_for(int channel) {
    FrontEnd* front_end = impl_->calls.front_end();
    return front_end ? front_end->sessions_for(channel) : std::nullopt;
}

std::optional<bool> Host::paging(int channel, std::optional<bool> on) {
    FrontEnd* front_end = impl_->calls.front_end();
    return front_end ? front_end->paging(channel, on) : std::nullopt;
}

bool Host::change_password(int channel) {
    FrontEnd* front_end = impl_->calls.front_end();
    return front_end && online(channel) && front_end->change_password(channel);
}

void Host::request_close(int channel) {
    Impl& d = *impl_;
    d.calls.run_or_wait(channel, WaitingCall::Kind::close, {}, [&] {
        d.calls.close_later(channel);
        d.close_pending();
    });
}

void Host::inject_message(int channel, std::string_view text) {
    Impl& d = *impl_;
    if (!d.channels.online(channel) || d.modules.stopped()) return;
    d.calls.run_or_wait(channel, WaitingCall::Kind::inject, text, [&] {
        OutputBuffer& output = d.modules.output();
        std::string pending = output.take();
        output.append(text);
        CallContext saved;
        ::othusn = channel;
        const ModuleDescriptor* m = d.modules.get(d.channels.user(channel)->state);
        int16_t delivered = 0;
        if (m && m->injection) {
            auto routine = m->injection;
            d.modules.call(RoutineName{m->name, "injection routine"}, [&] { delivered = routine(); });
        }
        std::string left = output.take();
        if (delivered == 0) d.calls.send(channel, left);
        output.append(pending);
        d.close_pending();
    });
}

// ---------------------------------------------------------------------------
// Statuses and calls that wait

size_t Host::pending_statuses() const { return impl_->statuses.size(); }

void Host::hold_statuses(int channel, bool on) { impl_->statuses.hold(channel, on); }

size_t Host::deliverable_statuses() const { return impl_->statuses.deliverable(); }

int Host::next_status() const {
    const StatusQueue::Status* next = impl_->statuses.next();
    return next ? next->first : -1;
}

bool Host::deliver_one() {
    Impl& d = *impl_;
    if (d.modules.stopped() || d.modules.inside()) return false;
    const StatusQueue::Status* next = d.statuses.next();
    if (!next) return false;
    const int channel = next->first;  // copied: taking the status frees it
    const int32_t code = next->second;
    if (!d.channels.online(channel)) {
        d.statuses.take_next();
        return true;
    }
    const bool ran = d.calls.run(channel, [&] {
        d.statuses.take_next();
        CallContext saved;
        d.channels.make_current(channel);
        ::status = code;
        const ModuleDescriptor* m = d.modules.get(d.channels.user(channel)->state);
        if (m && m->status) {
            auto routine = m->status;
            d.modules.call(RoutineName{m->name, "status routine"}, [&] { routine(); });
        } else {
            dfsthn();
        }
        d.close_pending();
    });
    if (!ran) {  // it stays first in line
        d.statuses.set_blocked(true);
        return false;
    }
    return true;
}

size_t Host::deliver_all(size_t limit) {
    size_t n = 0;
    while (n < limit && deliver_one()) ++n;
    return n;
}

bool Host::waiting() const { return !impl_->busy.empty() || impl_->statuses.blocked(); }

size_t Host::retry_waiting(size_t limit) {
    Impl& d = *impl_;
    if (d.calls.running()) return 0;
    size_t ran = 0;
    while (ran < limit && !d.modules.stopped() && d.busy.replay_next([&](const WaitingCall& c) { d.replay(c); }))
        ++ran;
    if (d.busy.empty() && d.statuses.blocked() && ran < limit) {
        d.statuses.set_blocked(false);
        if (deliver_one()) ++ran;
    }
    for (const auto& [channel, text] : d.busy.notices()) d.calls.deliver(channel, text);
    d.busy.settle(ran, waiting());
    return ran;
}

// ---------------------------------------------------------------------------
// Durable acknowledgements

bool Host::set_log_sync(std::function<void(uint64_t ticket)> request, std::string* error) {
    if (request) return impl_->calls.defer_sync(std::move(request), error);
    impl_->calls.sync_at_commit();
    return true;
}

void Host::log_synced(uint64_t ticket) { impl_->calls.synced(ticket); }

void Host::log_sync_failed(std::string_view why) {
    Impl& d = *impl_;
    // What waits for it was never acknowledged and never will be.
    const size_t held = d.calls.drop_unsynced();
    d.log.error("the database's log could not be put on disk (" + std::string(why) + "): " +
                std::to_string(held) + " call(s) stay unacknowledged");
    d.modules.stop("the database's log could not be put on disk");
}

// ---------------------------------------------------------------------------
// The editor

bool Host::in_editor(int channel) const { return impl_->channels.editor(channel) != nullptr; }

std::string Host::editor_text(int channel) const {
    const LineEditor* editor = impl_->channels.editor(channel);
    return editor ? editor->text() : std::string();
}

size_t Host::editor_size(int channel) const {
    const LineEditor* editor = impl_->channels.editor(channel);
    return editor ? editor->size() : 0;
}

void Host::editor_save(int channel, std::string_view text) {
    Impl& d = *impl_;
    if (!d.channels.editor(channel)) return;
    d.calls.run_or_wait(channel, WaitingCall::Kind::editor_save, text, [&] {
        d.channels.editor(channel)->replace(clean_lines(text));  // as its typed lines are
        d.modules.finish_editor(channel, 0);
        d.close_pending();
    });
}

void Host::editor_abandon(int channel) {
    Impl& d = *impl_;
    if (!d.channels.editor(channel)) return;
    d.calls.run_or_wait(channel, WaitingCall::Kind::editor_abandon, {}, [&] {
        d.modules.finish_editor(channel, 1);
        d.close_pending();
    });
}

}  // namespace bbs
