#include "bbs/host.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>

#include "bbs/host_impl.h"
#include "bbs/input.h"

namespace bbs {

namespace {
Host* g_current = nullptr;
constexpr const char* kHostPrompt = "Host: ";
constexpr const char* kGameModule = "Brakvold";
// What the user of a call hears when its transaction was rolled back, and
// when no transaction could be opened for his line.
constexpr const char* kCallRolledBack =
    "\r*** The host could not store that: its database refused the change (the disk may be "
    "full). Nothing of it was saved or charged. Press Enter to go on. ***\r";
constexpr const char* kDatabaseBusy =
    "\r*** The host's database is busy: another program is using it. What you type waits, in "
    "order, and is handled as soon as it is free. ***\r";
std::string lines_refused(size_t count) {
    return "\r*** The host's database stayed busy: " + std::to_string(count) +
           (count == 1 ? " line you typed was not taken" : " lines you typed were not taken") +
           ". Nothing of it was saved or charged; please type again. ***\r";
}
// How long the host waits for the database's lock when it stops: the
// hang-ups and what waits must run before the modules finish.
constexpr std::chrono::milliseconds kShutdownPatience{10000};
}  // namespace

// ---------------------------------------------------------------------------
// CallContext

CallContext::CallContext()
    : usrnum_(::usrnum), othusn_(::othusn), status_(::status), usrptr_(::usrptr), usaptr_(::usaptr) {}

CallContext::~CallContext() {
    ::usrnum = usrnum_;
    ::othusn = othusn_;
    ::status = status_;
    ::usrptr = usrptr_;
    ::usaptr = usaptr_;
}

// ---------------------------------------------------------------------------
// Host::Impl

Session* Host::Impl::session(int channel) {
    if (channel < 0 || channel >= static_cast<int>(sessions.size())) return nullptr;
    return &sessions[static_cast<size_t>(channel)];
}

Session* Host::Impl::online_session(int channel) {
    Session* s = session(channel);
    return s && s->online ? s : nullptr;
}

void Host::Impl::make_current(int channel) {
    Session* s = online_session(channel);
    ::usrnum = channel;
    ::usrptr = s ? &s->user : nullptr;
    ::usaptr = s ? &s->account : nullptr;
}

bool Host::Impl::guarded(const RoutineName& name, const std::function<void()>& call) {
    const bool returned = guard.call(name, call);
    write_back();
    return returned;
}

void Host::Impl::stop(std::string reason) { guard.stop(std::move(reason)); }

void Host::Impl::send(int channel, std::string_view bytes) {
    if (!online_session(channel) || bytes.empty()) return;
    if (call.running())
        call.hold(channel, bytes);
    else
        deliver(channel, bytes);
}

void Host::Impl::deliver(int channel, std::string_view bytes) {
    // The user may have left during the call (a logoff); what was sent him
    // before still goes out, as the front end has not closed him yet.
    Session* s = session(channel);
    if (!s || bytes.empty()) return;
    s->capture.append(bytes);
    if (sink) sink(channel, bytes);
}

bool Host::Impl::begin_call(int channel) {
    if (!call.enter(channel)) return true;
    // Calls that wait for the database go first: a new one waits behind them.
    if (!replaying && !waiting.empty()) return false;
    std::string why;
    if (database && !database->begin_call(&why)) {
        if (!busy_since) {
            busy_since = now();
            log.warning("the database is locked by another connection (" + why +
                        "): calls wait for it");
        }
        return false;
    }
    if (database) changes_at_begin = database->changes();
    // The database is the one source of truth: what an admin command (in
    // another process, or through accounts()) changed counts from the next
    // call on. The live accounts are read again whenever it moved; the
    // host's own changes went to the database as they were made.
    const bool elsewhere = database && database->changed_elsewhere();
    if (accounts && (elsewhere || accounts->generation() != accounts_seen)) {
        accounts_seen = accounts->generation();
        reload_accounts();
    }
    return true;
}

bool Host::Impl::run_call(int channel, const std::function<void()>& work) {
    HostCall call(*this, channel);
    if (!call.ok()) return false;
    work();
    return true;
}

void Host::Impl::end_call() {
    if (!call.leave()) return;
    Database::CallOutcome outcome;
    if (database) outcome = database->end_call();
    CallEffects effects = call.take(outcome.committed);
    const int channel = call.channel();
    if (!outcome.committed) {
        std::string who = "channel " + std::to_string(channel);
        if (Session* s = online_session(channel))
            who += " (" + std::string(s->account.userid) + ")";
        log.error("the call for " + who + " was rolled back, its output withheld: " + outcome.failure.text());
        reload_accounts();
        effects.output.clear();
        if (online_session(channel)) effects.output.emplace_back(channel, kCallRolledBack);
    }
    const bool wrote = outcome.committed && database && database->changes() != changes_at_begin;
    // What a call that wrote sends goes out once its commit is on disk, and
    // what later calls send to the same channels goes out after it.
    if (sync_request && (wrote || unsynced.touch(effects, channel))) {
        const uint64_t ticket = unsynced.push(std::move(effects), wrote);
        if (wrote) sync_request(ticket);
        return;
    }
    apply(effects);
}

void Host::Impl::apply(CallEffects& effects) {
    for (auto& hook : effects.hooks) hook(effects.committed);
    for (auto& [channel, bytes] : effects.output) deliver(channel, bytes);
    for (int channel : effects.closes)
        if (close_sink) close_sink(channel);
}

std::chrono::steady_clock::time_point Host::Impl::now() const {
    return options.clock ? options.clock() : std::chrono::steady_clock::now();
}

void Host::Impl::wait(WaitingCall call) {
    if (replaying) {  // it was waiting already: it goes back where it was
        replay_failed = true;
        return;
    }
    call.since = now();
    const int channel = call.channel;
    if (!waiting.push(std::move(call)))
        if (Session* s = online_session(channel)) ++s->refused_lines;
}

void Host::Impl::tell_waiting_users() {
    const auto at = now();
    for (int channel : waiting.channels_waiting_since(at - options.busy_give_up, true)) {
        const size_t refused = waiting.refuse_lines(channel);
        if (Session* s = online_session(channel)) {
            s->refused_lines += refused;
            log.warning("refused " + std::to_string(refused) + " waiting line(s) of " +
                        std::string(s->account.userid) + ": the database stayed locked");
        }
    }
    for (int channel : waiting.channels_waiting_since(at - options.busy_notice, false)) {
        Session* s = online_session(channel);
        if (!s || s->told_busy) continue;
        s->told_busy = true;
        deliver(channel, kDatabaseBusy);
    }
    for (auto& s : sessions) {
        if (!s.online) continue;
        if (s.refused_lines) {
            deliver(s.user.channel, lines_refused(s.refused_lines));
            s.refused_lines = 0;
        }
        if (s.told_busy && !waiting.has_channel(s.user.channel)) s.told_busy = false;
    }
}

bool Host::Impl::replay(const WaitingCall& call) {
    using Kind = WaitingCall::Kind;
    Host& host = *g_current;
    replaying = true;
    replay_failed = false;
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
    replaying = false;
    return !replay_failed;
}

bool Host::Impl::refresh(Session& s) {
    if (!accounts) return false;
    auto info = accounts->find(s.account.userid);
    if (!info) return false;
    s.account.days = info->days;
    stzcpy(s.account.class_name, info->class_name.c_str(), sizeof s.account.class_name);
    s.keys = std::move(info->keys);
    s.stored = s.account;
    return true;
}

void Host::Impl::reload_accounts() {
    for (auto& s : sessions)
        if (s.online) refresh(s);
}

void Host::Impl::write_back() {
    if (!accounts) return;
    for (auto& s : sessions) {
        if (!s.online) continue;
        // Whole fixed fields: this runs for every channel after every module call.
        const bool class_changed = std::memcmp(s.account.class_name, s.stored.class_name, HOST_CLSSIZ) != 0;
        if (s.account.days == s.stored.days && !class_changed) continue;
        // Only what the call changed goes back, onto what the database
        // holds: a change another process made to the other fields stays.
        const int32_t delta = static_cast<int32_t>(s.account.days) - static_cast<int32_t>(s.stored.days);
        std::optional<std::string> class_name;
        if (class_changed)
            class_name.emplace(s.account.class_name, strnlen(s.account.class_name, HOST_CLSSIZ - 1));
        std::string error;
        if (!accounts->adjust(s.account.userid, delta, class_name, &error))
            log.error("cannot write back the account of " + std::string(s.account.userid) + ": " + error);
        refresh(s);
    }
}

char* Host::Impl::scratch_of(Session& s) {
    if (scratch_size == 0) return nullptr;
    if (s.scratch.size() < scratch_size) s.scratch.resize(scratch_size, '\0');
    return s.scratch.data();
}

void Host::Impl::queue_status(int channel, int32_t code) { statuses.push(channel, code); }

void Host::Impl::finish_editor(int channel, int16_t result) {
    Session* s = online_session(channel);
    if (!s || !s->editor) return;
    LineEditor::Done done = s->editor->done();
    s->editor.reset();
    s->user.state = s->editor_state;
    s->user.substate = s->editor_substate;
    if (!done) return;
    CallContext saved;
    make_current(channel);
    guarded(RoutineName{"", "editor completion routine", reinterpret_cast<const void*>(done)}, [&] { done(result); });
}

void Host::Impl::parse(std::string_view line) { split_words(line, ::input, HOST_INPSIZ, ::margv, HOST_MAXWORDS, &::margc); }

void Host::Impl::host_menu(int channel, std::string_view line) {
    Session* s = online_session(channel);
    if (!s) return;
    parse(line);
    if (::margc == 0) {
        send(channel, kHostPrompt);
        return;
    }
    std::string word = ::margv[0];
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    if (word == "game") {
        int game = modules.find(kGameModule);
        if (game < 0) {
            send(channel, "There is no game on this host.\r");
            send(channel, kHostPrompt);
            return;
        }
        s->user.state = game;
        s->user.substate = 0;
        queue_status(channel, 3);  // the game takes the player back
    } else if (word == "bye") {
        send(channel, "Goodbye.\r");
        pending_closes.push_back(channel);
    } else {
        send(channel, "Commands: game, bye.\r");
        send(channel, kHostPrompt);
    }
}

void Host::Impl::process_closes() {
    if (guard.inside()) return;
    while (!pending_closes.empty()) {
        int channel = pending_closes.front();
        pending_closes.erase(pending_closes.begin());
        if (!online_session(channel)) continue;
        // The front end hears of it with the call's output, not before.
        if (call.running())
            call.close(channel);
        else if (close_sink)
            close_sink(channel);
        g_current->hangup(channel);
    }
}

// ---------------------------------------------------------------------------
// Host

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
    d.accounts = std::make_unique<Accounts>(d.database->connection());
    d.previous_cwd = std::filesystem::current_path(ec);
    if (chdir(d.options.data_dir.c_str()) != 0)
        return fail("cannot enter the data folder " + d.options.data_dir.string());
    bind_database(d.database.get());
    d.sessions.resize(static_cast<size_t>(options.channels));
    for (int i = 0; i < options.channels; ++i) d.sessions[static_cast<size_t>(i)].user.channel = i;
    ::nterms = options.channels;
    ::prfbuf = d.output.data();
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
    for (int ch = 0; ch < static_cast<int>(d.sessions.size()); ++ch) hangup(ch);
    retry_waiting();
    if (!d.waiting.empty())
        d.log.error(std::to_string(d.waiting.size()) +
                    " waiting call(s) never got the database and did not run");
    d.for_each_module(&ModuleDescriptor::finish, "finish routine", -1);
    d.log.write(d.guard.stopped() ? "host stopped: " + d.guard.reason() : std::string("host stopped"));
    d.libraries.close_all();
    bind_database(nullptr);
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

Database& Host::database() { return *impl_->database; }
Accounts& Host::accounts() { return *impl_->accounts; }
sql::Connection& Host::addon_tables() { return impl_->database->connection(); }
const std::filesystem::path& Host::data_dir() const { return impl_->options.data_dir; }
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
    if (d.guard.stopped()) {
        if (error) *error = "the host has stopped: " + d.guard.reason();
        return false;
    }
    std::string path = library.string();
    auto init = d.libraries.open(path, init_symbol, error);
    if (!init) {
        d.log.error(error ? *error : "cannot load " + path);
        return false;
    }
    d.log.write("loading " + path + " (" + std::string(init_symbol) + ")");
    CallContext saved;
    d.messages.take_failures();
    if (!d.guarded(RoutineName{"", "", reinterpret_cast<const void*>(init)}, [&] { init(); })) {
        if (error) {
            // The module's own words, then why its message file was refused.
            *error = "the module stopped the host: " + d.guard.reason();
            for (const auto& why : d.messages.take_failures()) *error += "\n  " + why;
        }
        return false;
    }
    return true;
}

int Host::module_count() const { return impl_->modules.count(); }
const ModuleDescriptor* Host::module(int number) const { return impl_->modules.get(number); }
int Host::find_module(std::string_view name) const { return impl_->modules.find(name); }
bool Host::stopped() const { return impl_->guard.stopped(); }
const std::string& Host::stop_reason() const { return impl_->guard.reason(); }

bool Host::reload() {
    Impl& d = *impl_;
    const bool ran = d.run_call(-1, [&] {
        d.log.write(d.replaying ? "reload, after waiting for the database" : "reload");
        CallContext saved;
        // What modules read from one another (the game's ini) is re-read before
        // any module re-reads its own settings.
        for (auto& hook : d.reload_hooks) d.guarded(RoutineName{"a reload hook", ""}, [&] { hook(); });
        d.messages.refresh_all();
        for (auto routine : d.libraries.reload_routines())
            d.guarded(RoutineName{"", "", reinterpret_cast<const void*>(routine)}, [&] { routine(); });
        d.process_closes();
    });
    if (!ran) {
        d.wait(WaitingCall{WaitingCall::Kind::reload});
        return false;
    }
    return true;
}

void Host::after_call(std::function<void(bool committed)> hook) {
    if (impl_->call.running())
        impl_->call.after(std::move(hook));
    else
        hook(true);
}

void Host::on_reload(std::function<void()> hook) { impl_->reload_hooks.push_back(std::move(hook)); }

bool Host::account_deleted(std::string_view userid) {
    Impl& d = *impl_;
    std::string id(userid);
    const bool ran = d.run_call(-1, [&] {
        d.log.write("account deleted: " + id);
        CallContext saved;
        d.for_each_module(&ModuleDescriptor::account_deleted, "account-deleted routine", -1, id.c_str());
    });
    if (!ran) {
        d.log.error("account " + id + " not deleted: the database is locked by another connection");
        return false;
    }
    return true;
}

int Host::logon(std::string_view userid) {
    Impl& d = *impl_;
    if (d.guard.stopped()) return -1;
    auto info = d.accounts->find(userid);
    if (!info) {
        d.log.warning("logon refused: no account " + std::string(userid));
        return -1;
    }
    if (channel_of(info->userid) >= 0) {
        d.log.warning("logon refused: " + info->userid + " is online already");
        return -1;
    }
    int channel = -1;
    // A channel whose last user's output still waits for the disk is not free yet.
    for (size_t i = 0; i < d.sessions.size(); ++i)
        if (!d.sessions[i].online && !d.unsynced.touch(static_cast<int>(i))) {
            channel = static_cast<int>(i);
            break;
        }
    if (channel < 0) {
        d.log.warning("logon refused: no free channel for " + info->userid);
        return -1;
    }
    // The channel is his at once; the logon routines run in a call of
    // their own, which may have to wait for the database.
    Session& s = d.sessions[static_cast<size_t>(channel)];
    s.online = true;
    s.user = HostUser{0, kHostMenuState, 0, channel};
    s.account = HostAccount{};
    stzcpy(s.account.userid, info->userid.c_str(), sizeof s.account.userid);
    stzcpy(s.account.class_name, info->class_name.c_str(), sizeof s.account.class_name);
    s.account.days = info->days;
    s.stored = s.account;
    s.keys = info->keys;
    s.scratch.assign(d.scratch_size, '\0');
    s.editor.reset();
    s.capture.clear();
    s.told_busy = false;
    s.refused_lines = 0;
    d.start_session(channel);
    return channel;
}

void Host::Impl::start_session(int channel) {
    Session* s = online_session(channel);
    if (!s) return;
    const bool ran = run_call(channel, [&] {
        log.write("logon: " + std::string(s->account.userid) + " at channel " + std::to_string(channel));
        accounts->record_logon(s->account.userid, std::time(nullptr));
        {
            CallContext saved;
            for_each_module(&ModuleDescriptor::logon, "logon routine", channel);
        }
        if (s->online && s->user.state == kHostMenuState) send(channel, kHostPrompt);
        process_closes();
    });
    if (!ran) {
        wait(WaitingCall{WaitingCall::Kind::logon, channel});
    }
}

void Host::hangup(int channel) {
    Impl& d = *impl_;
    Session* s = d.online_session(channel);
    if (!s) return;
    if (d.guard.inside()) {  // asked from inside a module call: after it returns
        d.pending_closes.push_back(channel);
        return;
    }
    if (!d.replaying && d.waiting.has(channel, WaitingCall::Kind::hangup)) return;  // on its way
    const bool ran = d.run_call(channel, [&] {
        std::string userid = s->account.userid;
        if (s->editor) d.finish_editor(channel, 1);
        {
            CallContext saved;
            d.for_each_module(&ModuleDescriptor::hangup, "hang-up routine", channel);
            d.for_each_module(&ModuleDescriptor::logoff, "logoff routine", channel);
        }
        d.write_back();
        d.waiting.forget(channel);  // what he left waiting goes with him
        d.statuses.drop(channel);
        s->online = false;
        s->editor.reset();
        s->scratch.clear();
        s->account = HostAccount{};
        s->stored = HostAccount{};
        s->keys.clear();
        s->told_busy = false;
        s->refused_lines = 0;
        s->user = HostUser{0, kHostMenuState, 0, channel};
        d.log.write("logoff: " + userid + " from channel " + std::to_string(channel));
    });
    if (!ran) {
        d.wait(WaitingCall{WaitingCall::Kind::hangup, channel});
    }
}

bool Host::online(int channel) const { return impl_->online_session(channel) != nullptr; }

int Host::channel_of(std::string_view userid) const {
    for (auto& s : impl_->sessions)
        if (s.online && sameas(s.account.userid, std::string(userid).c_str())) return s.user.channel;
    return -1;
}

int Host::module_at(int channel) const {
    const Session* s = impl_->online_session(channel);
    return s && s->user.state >= 0 ? s->user.state : -1;
}

void Host::set_session_lister(SessionLister lister) { impl_->session_lister = std::move(lister); }

void Host::set_paging_switch(PagingSwitch paging) { impl_->paging_switch = std::move(paging); }

std::optional<bool> Host::paging(int channel, std::optional<bool> on) {
    if (!impl_->paging_switch) return std::nullopt;
    return impl_->paging_switch(channel, on);
}

std::optional<std::vector<Host::SessionRow>> Host::sessions_for(int channel) {
    if (!impl_->session_lister) return std::nullopt;
    return impl_->session_lister(channel);
}

void Host::line(int channel, std::string_view text) {
    Impl& d = *impl_;
    Session* s = d.online_session(channel);
    if (!s || d.guard.stopped()) return;
    const bool ran = d.run_call(channel, [&] {
        std::string clean = clean_line(text, HOST_INPSIZ - 1);
        if (s->editor) {
            std::string reply;
            LineEditor::Result r = s->editor->line(clean, &reply);
            d.send(channel, reply);
            if (r == LineEditor::Result::save) d.finish_editor(channel, 0);
            if (r == LineEditor::Result::abandon) d.finish_editor(channel, 1);
            d.process_closes();
            return;
        }
        CallContext saved;
        bool taken = false;
        for (auto handler : std::vector<int32_t (*)(void)>(d.global_commands)) {
            d.make_current(channel);
            d.parse(clean);
            int32_t r = 0;
            if (!d.guarded(RoutineName{"", "", reinterpret_cast<const void*>(handler)}, [&] { r = handler(); })) return;
            if (r != 0) {
                taken = true;
                break;
            }
        }
        if (taken && d.online_session(channel)) {
            // The user's own module has not seen the line: it may show its
            // prompt again once the global command's output is out.
            if (d.modules.get(s->user.state))
                d.queue_status(channel, HOST_ST_REPROMPT);
            else if (s->user.state == kHostMenuState)
                d.send(channel, kHostPrompt);
        }
        if (!taken && d.online_session(channel)) {
            d.make_current(channel);
            d.parse(clean);
            const ModuleDescriptor* m = d.modules.get(s->user.state);
            if (m && m->input) {
                auto input = m->input;
                int16_t r = 1;
                if (!d.guarded(RoutineName{m->name, "input routine"}, [&] { r = input(); })) return;
                if (r == 0 && s->online) {
                    s->user.state = kHostMenuState;
                    s->user.substate = 0;
                    d.send(channel, kHostPrompt);
                }
            } else if (s->user.state != kEditorState) {
                d.host_menu(channel, clean);
            }
        }
        d.process_closes();
    });
    if (!ran) {
        d.wait(WaitingCall{WaitingCall::Kind::line, channel, std::string(text)});
    }
}

size_t Host::pending_statuses() const { return impl_->statuses.size(); }

void Host::hold_statuses(int channel, bool on) { impl_->statuses.hold(channel, on); }

size_t Host::deliverable_statuses() const { return impl_->statuses.deliverable(); }

bool Host::deliver_one() {
    Impl& d = *impl_;
    if (d.guard.stopped() || d.guard.inside()) return false;
    const StatusQueue::Status* next = d.statuses.next();
    if (!next) return false;
    const int channel = next->first;  // copied: taking the status frees it
    const int32_t code = next->second;
    Session* s = d.online_session(channel);
    if (!s) {
        d.statuses.take_next();
        return true;
    }
    const bool ran = d.run_call(channel, [&] {
        d.statuses.take_next();
        CallContext saved;
        d.make_current(channel);
        ::status = code;
        const ModuleDescriptor* m = d.modules.get(s->user.state);
        if (m && m->status) {
            auto routine = m->status;
            d.guarded(RoutineName{m->name, "status routine"}, [&] { routine(); });
        } else {
            dfsthn();
        }
        d.process_closes();
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

bool Host::set_log_sync(std::function<void(uint64_t ticket)> request, std::string* error) {
    Impl& d = *impl_;
    if (request) {
        if (!d.database || !d.database->defer_log_sync(error)) return false;
        d.sync_request = std::move(request);
        return true;
    }
    if (d.database) d.database->sync_log_at_commit();
    d.sync_request = nullptr;
    log_synced(d.unsynced.written());  // on disk now: what waited for it goes out
    return true;
}

void Host::log_synced(uint64_t ticket) {
    Impl& d = *impl_;
    d.unsynced.synced(ticket, [&](CallEffects& effects) { d.apply(effects); });
}

void Host::log_sync_failed(std::string_view why) {
    Impl& d = *impl_;
    // What waits for it was never acknowledged and never will be.
    d.log.error("the database's log could not be put on disk (" + std::string(why) + "): " +
                std::to_string(d.unsynced.size()) + " call(s) stay unacknowledged");
    d.unsynced.drop();
    d.stop("the database's log could not be put on disk");
}

bool Host::waiting() const { return !impl_->waiting.empty() || impl_->statuses.blocked(); }

size_t Host::retry_waiting(size_t limit) {
    Impl& d = *impl_;
    if (d.call.running()) return 0;
    size_t ran = 0;
    while (!d.waiting.empty() && ran < limit && !d.guard.stopped()) {
        WaitingCall call = d.waiting.take();
        if (!d.replay(call)) {
            d.waiting.put_back(std::move(call));
            break;
        }
        ++ran;
    }
    if (d.waiting.empty() && d.statuses.blocked() && ran < limit) {
        d.statuses.set_blocked(false);
        if (deliver_one()) ++ran;
    }
    d.waited_calls += ran;
    d.tell_waiting_users();
    if (!waiting() && d.busy_since) {
        const auto spell = std::chrono::duration_cast<std::chrono::milliseconds>(d.now() - *d.busy_since);
        d.log.write("the database is free again after " + std::to_string(spell.count()) +
                    " ms: calls run again (" + std::to_string(d.waited_calls) + " had waited)");
        d.busy_since.reset();
        d.waited_calls = 0;
    }
    return ran;
}

void Host::inject_message(int channel, std::string_view text) {
    Impl& d = *impl_;
    Session* s = d.online_session(channel);
    if (!s || d.guard.stopped()) return;
    const bool ran = d.run_call(channel, [&] {
        std::string pending = d.output.take();
        d.output.append(text);
        CallContext saved;
        ::othusn = channel;
        const ModuleDescriptor* m = d.modules.get(s->user.state);
        int16_t delivered = 0;
        if (m && m->injection) {
            auto routine = m->injection;
            d.guarded(RoutineName{m->name, "injection routine"}, [&] { delivered = routine(); });
        }
        std::string left = d.output.take();
        if (delivered == 0) d.send(channel, left);
        d.output.append(pending);
        d.process_closes();
    });
    if (!ran) {
        d.wait(WaitingCall{WaitingCall::Kind::inject, channel, std::string(text)});
    }
}

void Host::set_output_sink(OutputSink sink) { impl_->sink = std::move(sink); }
void Host::set_close_sink(CloseSink sink) { impl_->close_sink = std::move(sink); }

void Host::request_close(int channel) {
    const bool ran = impl_->run_call(channel, [&] {
        impl_->pending_closes.push_back(channel);
        impl_->process_closes();
    });
    if (!ran) {
        impl_->wait(WaitingCall{WaitingCall::Kind::close, channel});
    }
}

std::string Host::take_output(int channel) {
    Session* s = impl_->session(channel);
    if (!s) return {};
    std::string out = std::move(s->capture);
    s->capture.clear();
    return out;
}

bool Host::in_editor(int channel) const {
    Session* s = impl_->online_session(channel);
    return s && s->editor;
}

std::string Host::editor_text(int channel) const {
    Session* s = impl_->online_session(channel);
    return s && s->editor ? s->editor->text() : std::string();
}

size_t Host::editor_size(int channel) const {
    Session* s = impl_->online_session(channel);
    return s && s->editor ? s->editor->size() : 0;
}

void Host::editor_save(int channel, std::string_view text) {
    Session* s = impl_->online_session(channel);
    if (!s || !s->editor) return;
    const bool ran = impl_->run_call(channel, [&] {
        s->editor->replace(text);
        impl_->finish_editor(channel, 0);
        impl_->process_closes();
    });
    if (!ran) {
        impl_->wait(WaitingCall{WaitingCall::Kind::editor_save, channel, std::string(text)});
    }
}

void Host::editor_abandon(int channel) {
    Session* s = impl_->online_session(channel);
    if (!s || !s->editor) return;
    const bool ran = impl_->run_call(channel, [&] {
        impl_->finish_editor(channel, 1);
        impl_->process_closes();
    });
    if (!ran) {
        impl_->wait(WaitingCall{WaitingCall::Kind::editor_abandon, channel});
    }
}

}  // namespace bbs
