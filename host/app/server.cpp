#include "app/server.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <csignal>
#include <iostream>

#include "app/modules.h"
#include "app/session.h"
#include "app/ssh_transport.h"
#include "app/telnet_transport.h"
#include "app/web_transport.h"
#include "ssh/listener.h"
#include "web/static_site.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "bbs/input.h"
#include "bbs/log_syncer.h"
#include "bbs/options.h"
#include "game/game.h"

namespace app {

// What the host reaches of the server (bbs::FrontEnd).
class Server::HostSide final : public bbs::FrontEnd {
public:
    explicit HostSide(Server& server) : server_(server) {}

    void deliver(int channel, std::string_view bytes) override {
        auto it = server_.channels_.find(channel);
        if (it != server_.channels_.end()) {
            if (auto session = it->second.lock()) session->send_module_output(bytes);
        } else if (server_.logging_on_) {
            // Inside host.logon() the new channel is not known yet; what the
            // logon routines send to an unknown channel is the newcomer's.
            server_.logging_on_->send_module_output(bytes);
        }
    }
    void close(int channel) override {
        auto it = server_.channels_.find(channel);
        if (it == server_.channels_.end()) return;
        // Asked from inside a module routine: close from the loop, after
        // the routine's output has been queued.
        asio::post(server_.io_, [weak = it->second] {
            if (auto session = weak.lock()) session->close_after_output();
        });
    }
    std::optional<std::vector<bbs::SessionRow>> sessions_for(int channel) override {
        return server_.sessions_for(channel);
    }
    std::optional<bool> paging(int channel, std::optional<bool> on) override { return server_.paging(channel, on); }

private:
    Server& server_;
};

Server::Server(asio::io_context& io, bbs::Host& host, Hashing hashing)
    : io_(io),
      host_(host),
      signals_(io, SIGINT, SIGTERM, SIGHUP),
      retry_timer_(io),
      throttle_([] { return LogonThrottle::Clock::now(); }, {}, {&host.addon_tables(), {}, {}}) {
    std::error_code ec;
    signals_.add(SIGUSR1, ec);
    if (ec) log("SIGUSR1 cannot reopen the logs: " + ec.message());
    if (hashing == Hashing::worker_thread) {
        hashing_pool_ = std::make_unique<asio::thread_pool>(1);
        passwords_ = std::make_unique<PasswordCheck>(io_, hashing_pool_->get_executor());
    } else {
        passwords_ = std::make_unique<PasswordCheck>(io_, io_.get_executor());
    }
    host_side_ = std::make_unique<HostSide>(*this);
    host_.set_front_end(host_side_.get());
    log_syncer_ = std::make_unique<bbs::LogSyncer>(
        host_.database(), [this](uint64_t ticket, const std::string& error) {
            asio::post(io_, [this, ticket, error] {
                if (error.empty())
                    host_.log_synced(ticket);
                else
                    host_.log_sync_failed(error);
                after_host_call();
                schedule_delivery();
            });
        });
    std::string error;
    if (!host_.set_log_sync([syncer = log_syncer_.get()](uint64_t ticket) { syncer->request(ticket); },
                            &error)) {
        log("every commit syncs the database's log on the loop: " + error);
        log_syncer_.reset();
    }
}

Server::~Server() {
    log_syncer_.reset();                        // no sync under way any more...
    host_.set_log_sync(nullptr, nullptr);       // ... the host syncs and lets go of what waited
    host_.set_front_end(nullptr);
}

std::optional<asio::ip::tcp::endpoint> Server::listen(std::string_view address, uint16_t port, Accept accept,
                                                      std::string* error) {
    std::error_code ec;
    const auto ip = asio::ip::make_address(std::string(address), ec);
    if (ec) {
        *error = "bad bind address \"" + std::string(address) + "\": " + ec.message();
        return std::nullopt;
    }
    const asio::ip::tcp::endpoint endpoint(ip, port);
    auto fail = [&](const char* what) {
        *error = std::string("cannot ") + what + " " + ip.to_string() + ":" + std::to_string(port) +
                 ": " + ec.message();
        return std::nullopt;
    };
    Listener listener(io_);
    auto& acceptor = listener.acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (ec) return fail("open a socket for");
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (ec) return fail("set options on");
    acceptor.bind(endpoint, ec);
    if (ec) return fail("bind");
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return fail("listen on");
    const auto bound = acceptor.local_endpoint(ec);
    if (ec) return fail("find the port of");
    listener.accept = std::move(accept);
    listeners_.push_back(std::move(listener));
    return bound;
}

bool Server::listen(std::string_view address, uint16_t port, std::string* error) {
    const auto bound = listen(address, port, telnet(), error);
    if (bound) telnet_endpoint_ = *bound;
    return bound.has_value();
}

Server::Accept Server::ssh(const std::filesystem::path& key_folder) {
    if (!ssh_) {
        ssh::ListenerOptions options;
        options.key_folder = key_folder;
        options.limits.logon_time = logon_time_;
        options.check_password = [this](const ssh::PasswordAttempt& attempt, ssh::AuthAnswer answer) {
            check_ssh_password(attempt, std::move(answer));
        };
        // From connecting to the shell an SSH connection is at the logon,
        // counted by the throttle as a telnet one at the dialogue is.
        options.admit = [this](std::string_view peer_address) -> std::string {
            const auto verdict = throttle_.dialogue_begins(LogonThrottle::source_key(peer_address));
            return verdict ? std::string() : LogonThrottle::reason(verdict);
        };
        options.release = [this](std::string_view peer_address) { throttle_.dialogue_ended(LogonThrottle::source_key(peer_address)); };
        options.check_public_key = [this](const ssh::PublicKeyOffer& offer) {
            return host_.accounts().has_ssh_key(ssh_userid(offer.user), offer.key.line());
        };
        options.on_session = [this](std::shared_ptr<ssh::SshSession> session) {
            if (stopping_) return session->close();
            // The account's own spelling; gone meanwhile (deleted): no logon.
            const std::string userid = account_userid(ssh_userid(session->user()));
            if (userid.empty()) {
                log("ssh: " + session->peer() + ": no account \"" + ssh_userid(session->user()) + "\" any more");
                return session->close();
            }
            adopt(SshTransport::make(io_, std::move(session), userid));
        };
        options.log = [this](std::string_view line) { log("ssh: " + std::string(line)); };
        ssh_ = std::make_unique<ssh::SshListener>(io_, std::move(options));
    }
    return [this](asio::ip::tcp::socket socket) {
        PeerNames names = accept_connection(socket);
        ssh_->adopt(std::move(socket), {std::move(names.peer), std::move(names.ip)});
    };
}

std::string Server::ssh_userid(std::string_view user) {
    // Cleaned as a typed user-ID is: it goes to the log and to the account lookup.
    const std::string cleaned = bbs::clean_line(user, HOST_INPSIZ - 1);
    const auto begin = cleaned.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return cleaned.substr(begin, cleaned.find_last_not_of(' ') - begin + 1);
}

// As the logon dialogue does for a typed password: one attempt of the
// throttle (refused: no hashing, and the connection is closed with the
// reason), the hash checked on the worker, the attempt ended by the verdict.
void Server::check_ssh_password(const ssh::PasswordAttempt& attempt, ssh::AuthAnswer answer) {
    const std::string address = LogonThrottle::source_key(attempt.peer_address);
    const std::string userid = ssh_userid(attempt.user);
    const std::string peer = std::string(attempt.peer_address) + " by ssh";
    if (stopping_) return answer(ssh::AuthVerdict::refused());
    const auto verdict = throttle_.attempt_begins(address, userid);
    if (!verdict) {
        const std::string said = LogonThrottle::reason(verdict);
        log("logon as \"" + userid + "\" from " + peer + " refused: " + said);
        return answer(ssh::AuthVerdict::refused(said));
    }
    passwords_->verify(userid.empty() ? std::nullopt : host_.accounts().password_hash(userid),
                       std::string(attempt.password),
                       [this, address, userid, peer, answer = std::move(answer)](bool ok) {
                           throttle_.attempt_ended(address, userid,
                                                   ok ? LogonThrottle::Outcome::logged_on
                                                      : LogonThrottle::Outcome::wrong_password);
                           if (!ok) log("failed logon as \"" + userid + "\" from " + peer);
                           answer(ok && !stopping_ ? ssh::AuthVerdict::accepted() : ssh::AuthVerdict::refused());
                       });
}

const ssh::PublicKeyText* Server::ssh_host_key() const { return ssh_ ? &ssh_->host_key() : nullptr; }

bool Server::ssh_host_key_created() const { return ssh_ && ssh_->host_key_created(); }

Server::Accept Server::web(const web::WebOrigins& origins, const std::string& tls_cert, const std::string& tls_key) {
    if (!site_) site_ = std::make_unique<web::StaticSite>(web::StaticSite::load({web_page_dir()}));
    if (!tls_cert.empty()) web_tls_ = WebTransport::tls_context(tls_cert, tls_key);
    return [this, origins](asio::ip::tcp::socket socket) {
        auto transport = WebTransport::make(std::move(socket), *site_, origins,
                                            [this](std::string_view line) { log(line); }, web_tls_.get());
        transport->begin([this](std::shared_ptr<WebTransport> upgraded) {
            if (!stopping_) adopt(std::move(upgraded));
        });
    };
}

Server::Accept Server::telnet() {
    return [this](asio::ip::tcp::socket socket) {
        // What MSSP tells a client that asks (a listing's crawler).
        auto status = [this]() -> std::vector<std::pair<std::string, std::string>> {
            return {{"NAME", "Brakvold BBS"},
                    {"PLAYERS", std::to_string(channels_.size())},
                    {"UPTIME", std::to_string(started_)},
                    {"CODEBASE", "bbshost (Brakvold Plus)"}};
        };
        adopt(TelnetTransport::make(std::move(socket), [this](std::string_view line) { log(line); },
                                    std::move(status)));
    };
}

std::shared_ptr<Session> Server::adopt(std::shared_ptr<Transport> transport) {
    auto session = std::make_shared<Session>(*this, std::move(transport));
    sessions_.insert(session);
    // A user the way in logged on already is past the logon dialogue.
    const auto verdict = session->logged_on_by_transport() ? LogonThrottle::Verdict{}
                                                            : throttle_.dialogue_begins(session->address());
    if (verdict) {
        log("connection from " + session->peer());
        session->start();
    } else {
        log("connection from " + session->peer() + " refused: " + LogonThrottle::reason(verdict));
        session->refuse(LogonThrottle::message(verdict));
    }
    return session;
}

int Server::run() {
    for (auto& listener : listeners_) accept(listener);
    wait_signal();
    io_.run();
    return exit_status_;
}

void Server::accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (stopping_ || ec == asio::error::operation_aborted) return;
        if (ec) {
            accept_failed(listener, ec);
            return;
        }
        if (listener.failures > 0) {
            log("accepting again after " + std::to_string(listener.failures) + " failed accepts");
            listener.failures = 0;
            listener.pause = std::chrono::milliseconds(0);
        }
        listener.accept(std::move(socket));
        accept(listener);
    });
}

void Server::accept_failed(Listener& listener, const std::error_code& ec) {
    // E.g. no file handle to spare: the pending connection stays in the
    // listen queue and the socket stays readable, so an immediate retry
    // would spin. Pause, longer each time, and log the burst once.
    if (listener.failures++ == 0)
        log("accept failed: " + ec.message() + "; accepting pauses and retries (pauses of " +
            std::to_string(kFirstAcceptPause.count()) + " ms doubling to " +
            std::to_string(kMaxAcceptPause.count()) + " ms) until it works again");
    listener.pause = listener.pause.count() == 0 ? kFirstAcceptPause : std::min(listener.pause * 2, kMaxAcceptPause);
    listener.pause_timer.expires_after(listener.pause);
    listener.pause_timer.async_wait([this, &listener](const std::error_code& wait_ec) {
        if (!wait_ec && !stopping_) accept(listener);
    });
}

void Server::wait_signal() {
    signals_.async_wait([this](const std::error_code& ec, int signal) {
        if (ec || stopping_) return;
        if (signal == SIGHUP) {
            log("SIGHUP: reloading message files, options and the game's ini");
            if (!host_.reload()) log("reload waits for the database");
            after_host_call();
            schedule_delivery();
            if (!stopping_) wait_signal();
            return;
        }
        if (signal == SIGUSR1) {
            // logrotate moved the logs away: the last line goes to the old
            // files, the next ones to new files of the same names.
            log("SIGUSR1: reopening the logs");
            host_.reopen_logs();
            log("logs reopened");
            wait_signal();
            return;
        }
        stop(signal == SIGINT ? "SIGINT" : "SIGTERM", 0);
    });
}

// ---- host calls -------------------------------------------------------------

LogonThrottle::Verdict Server::begin_attempt(const std::string& address, std::string_view userid) {
    return throttle_.attempt_begins(address, userid);
}

void Server::abandon_attempt(const std::string& address, std::string_view userid) {
    throttle_.attempt_ended(address, userid, LogonThrottle::Outcome::abandoned);
}

void Server::check_password(const std::shared_ptr<Session>& session, const std::string& userid,
                            std::string password) {
    passwords_->verify(host_.accounts().password_hash(userid), std::move(password),
                       [this, weak = std::weak_ptr<Session>(session), address = session->address(),
                        userid](bool ok) {
                           throttle_.attempt_ended(address, userid,
                                                   ok ? LogonThrottle::Outcome::logged_on
                                                      : LogonThrottle::Outcome::wrong_password);
                           if (stopping_) return;
                           if (auto s = weak.lock()) s->password_checked(ok);
                       });
}

std::string Server::account_userid(std::string_view userid) {
    auto account = host_.accounts().find(userid);
    return account ? account->userid : std::string();
}

bool Server::is_online(std::string_view userid) { return host_.channel_of(userid) >= 0; }

int Server::logon(const std::shared_ptr<Session>& session, const std::string& userid) {
    logging_on_ = session.get();
    const int channel = host_.logon(userid);
    logging_on_ = nullptr;
    if (channel >= 0) {
        channels_[channel] = session;
        session->set_channel(channel);
        log("logon of " + userid + " at channel " + std::to_string(channel) + " from " +
            session->peer() + " by " + std::string(session->way()));
    } else {
        log("no free channel for " + userid + " from " + session->peer());
    }
    after_host_call();
    schedule_delivery();
    return channel;
}

void Server::line(int channel, std::string_view text) {
    if (stopping_ || !host_.online(channel)) return;
    if (echo_) {
        auto it = channels_.find(channel);
        if (it != channels_.end())
            if (auto session = it->second.lock()) session->send_module_output(std::string(text) + "\r");
        after_host_call();
        return;
    }
    host_.line(channel, text);
    after_host_call();
    schedule_delivery();
}

void Server::hold_statuses(int channel, bool on) {
    if (channel < 0) return;
    host_.hold_statuses(channel, on);
    if (!on) schedule_delivery();
}

bool Server::in_editor(int channel) const { return channel >= 0 && host_.in_editor(channel); }

std::string Server::editor_text(int channel) const { return host_.editor_text(channel); }

std::size_t Server::editor_size(int channel) const { return host_.editor_size(channel); }

void Server::editor_done(int channel, bool save, std::string_view text) {
    if (stopping_ || !host_.online(channel)) return;
    if (save)
        host_.editor_save(channel, text);
    else
        host_.editor_abandon(channel);
    after_host_call();
    schedule_delivery();
}

void Server::hangup(Session& session) {
    const int channel = session.channel();
    if (channel < 0) return;
    session.set_channel(-1);
    auto it = channels_.find(channel);
    if (it != channels_.end() && it->second.lock().get() == &session) channels_.erase(it);
    // Only when the channel still belongs to this user: the host may have
    // freed it already, and then somebody else may be there.
    if (host_.channel_of(session.userid()) == channel) {
        host_.hangup(channel);
        log("hang-up of " + session.userid() + " at channel " + std::to_string(channel));
    }
    after_host_call();
    schedule_delivery();
}

void Server::forget(Session& session) {
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (it->get() == &session) {
            sessions_.erase(it);
            return;
        }
    }
}

void Server::log(std::string_view line) { host_.log(line); }

// ---- idle time and who ---------------------------------------------------------

std::string Server::describe(std::chrono::milliseconds time) {
    auto count = [](long long n, const char* one, const char* unit) {
        return n == 1 ? std::string(one) : std::to_string(n) + " " + unit;
    };
    if (time.count() % 60000 == 0) return count(time.count() / 60000, "one minute", "minutes");
    return count((time.count() + 500) / 1000, "one second", "seconds");
}

namespace {

// The key that makes a sysop: the module's SYSKEY in the data folder's
// QRTBKPLS.MSG, as the module checks it (hasmkey) and as init gives it to
// the first sysop; SYSOP when the file or the option is missing. An empty
// one makes nobody a sysop.
std::string sysop_key(const std::filesystem::path& data_dir) {
    std::string key;
    if (!bbs::scan_message_source((data_dir / "QRTBKPLS.MSG").string(), "SYSKEY", &key)) return "SYSOP";
    const auto begin = key.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return key.substr(begin, key.find_last_not_of(" \t") - begin + 1);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::optional<bool> Server::paging(int channel, std::optional<bool> on) {
    auto it = channels_.find(channel);
    auto session = it == channels_.end() ? nullptr : it->second.lock();
    if (!session) return std::nullopt;
    if (on) session->terminal().set_paging(*on);
    return session->terminal().paging();
}

std::optional<std::vector<bbs::Host::SessionRow>> Server::sessions_for(int channel) {
    auto it = channels_.find(channel);
    auto asking = it == channels_.end() ? nullptr : it->second.lock();
    if (!asking) return std::nullopt;
    const std::string key = sysop_key(host_.data_dir());
    const auto account = host_.accounts().find(asking->userid());
    if (key.empty() || !account ||
        std::none_of(account->keys.begin(), account->keys.end(),
                     [&](const std::string& held) { return same_ignoring_case(held, key); }))
        return std::nullopt;

    std::vector<std::shared_ptr<Session>> listed;
    for (const auto& session : sessions_)
        if (!session->closed()) listed.push_back(session);
    // Logged-on users by channel, then those logging on, by address.
    std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
        const bool a_on = a->channel() >= 0, b_on = b->channel() >= 0;
        if (a_on != b_on) return a_on;
        if (a_on) return a->channel() < b->channel();
        return a->peer() < b->peer();
    });
    std::vector<bbs::Host::SessionRow> rows;
    for (const auto& session : listed) {
        bbs::Host::SessionRow row;
        if (session->channel() >= 0) row.userid = session->userid();
        row.way = std::string(session->way());
        row.address = session->peer();
        row.idle = std::chrono::duration_cast<std::chrono::seconds>(session->idle());
        row.where = where(*session);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Server::where(const Session& session) const {
    const int channel = session.channel();
    if (channel < 0) return session.logging_on() ? "logon" : "leaving";
    if (host_.in_editor(channel)) return "editor";
    const int module = host_.module_at(channel);
    if (module < 0) return "host menu";
    if (const game::Game* game = game::Game::instance(); game && game->module_number() == module) return "game";
    const ModuleDescriptor* descriptor = host_.module(module);
    if (!descriptor) return "module " + std::to_string(module);
    return "module " + std::string(descriptor->name, strnlen(descriptor->name, sizeof descriptor->name));
}

void Server::after_host_call() {
    if (host_.stopped() && !stopping_) {
        std::cerr << "bbshost: the host stopped: " << host_.stop_reason() << std::endl;
        stop("a module stopped the host: " + host_.stop_reason(), 1);
        return;
    }
    retry_waiting();
}

void Server::retry_waiting(bool at_once) {
    if (retry_armed_ || stopping_ || !host_.waiting()) return;
    retry_armed_ = true;
    retry_timer_.expires_after(at_once ? std::chrono::milliseconds(0) : kRetryInterval);
    retry_timer_.async_wait([this](const std::error_code& ec) {
        retry_armed_ = false;
        if (ec || stopping_) return;
        const bool full = host_.retry_waiting(kRetryBatch) == kRetryBatch;
        if (full) retry_waiting(true);
        after_host_call();
        schedule_delivery();
    });
}

void Server::schedule_delivery() {
    if (delivery_posted_ || stopping_ || host_.deliverable_statuses() == 0) return;
    if (host_.waiting()) return;  // statuses go once what waits has run
    delivery_posted_ = true;
    // One status per loop turn, so that other channels are served in between.
    asio::post(io_, [this] {
        delivery_posted_ = false;
        if (stopping_) return;
        host_.deliver_one();
        after_host_call();
        schedule_delivery();
    });
}

void Server::stop(std::string_view why, int status) {
    if (stopping_) return;
    stopping_ = true;
    exit_status_ = status;
    log("stopping (" + std::string(why) + ")");
    std::error_code ec;
    for (auto& listener : listeners_) {
        listener.acceptor.close(ec);
        listener.pause_timer.cancel();
    }
    signals_.cancel(ec);
    retry_timer_.cancel();
    auto sessions = sessions_;
    for (const auto& session : sessions) {
        session->shutdown("\r\nThe host is shutting down. Goodbye!\r\n");
    }
    sessions_.clear();
    channels_.clear();
    io_.stop();
}

}  // namespace app
