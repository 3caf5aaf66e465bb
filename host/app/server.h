// The serving side of bbshost: one Asio event loop on one thread, the
// listening sockets, the sessions of every way in (app/session.h) and the
// channels they hold, the host's front end (output, closes), status delivery
// and the retries of calls waiting for the database from the loop, the
// database log's syncer, the logon throttle, and the signals. Password
// hashing is the one thing that runs on another thread.
//
// A way into the host is a listener and a transport: what a listener
// accepts becomes a transport (app/transport.h), and adopt() makes a
// session of it, the same for every way in.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>
#include <filesystem>

#include "app/logon_dialogue.h"
#include "app/logon_throttle.h"
#include "app/password_check.h"
#include "bbs/host.h"

namespace bbs {
class LogSyncer;
}
namespace ssh {
class SshListener;
struct PublicKeyText;
struct PasswordAttempt;
struct AuthVerdict;
}
namespace web {
class StaticSite;
class WebOrigins;
}
namespace asio::ssl {
class context;
}

namespace app {

class Session;
class Transport;

class Server {
public:
    // Where argon2id work runs: a thread of the server's own, or (in-process
    // tests that run the loop by hand) the loop itself.
    enum class Hashing { worker_thread, on_loop };
    Server(asio::io_context& io, bbs::Host& host, Hashing hashing = Hashing::worker_thread);
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // What a listener does with a connection it accepted.
    using Accept = std::function<void(asio::ip::tcp::socket socket)>;
    // Binds and listens; every connection accepted there goes to `accept`.
    // The address bound (port 0: the one the system chose), or none with
    // *error (address in use, bad address...).
    std::optional<asio::ip::tcp::endpoint> listen(std::string_view address, uint16_t port, Accept accept,
                                                  std::string* error);
    // Accepted connections become telnet sessions.
    Accept telnet();
    // The telnet way in: listen(address, port, telnet(), error), and where
    // it listens.
    bool listen(std::string_view address, uint16_t port, std::string* error);
    asio::ip::tcp::endpoint local_endpoint() const { return telnet_endpoint_; }
    // Accepted connections become SSH connections, and their shells
    // sessions of users logged on already: the SSH user name is the
    // user-ID, checked by password or keyboard-interactive (the account's
    // argon2id hash, on the hashing thread, through the logon throttle as a
    // telnet logon is) or by a public key registered for the account
    // (bbshost key add). The host key is FOLDER/ssh_host_ed25519_key,
    // made on first use. Throws std::runtime_error when the key cannot be
    // read or made.
    Accept ssh(const std::filesystem::path& key_folder);
    // The SSH host key, once ssh() has loaded it; null before.
    const ssh::PublicKeyText* ssh_host_key() const;
    bool ssh_host_key_created() const;
    // Accepted connections are served the web terminal's page; those that
    // open its WebSocket become sessions. Requests must name one of
    // `origins` as their Host, and the WebSocket be opened from a page of
    // one of them (web/origins.h). With a certificate and key (PEM files)
    // it is HTTPS and WSS only. Throws std::runtime_error when the page's
    // files, the certificate or the key cannot be read.
    Accept web(const web::WebOrigins& origins, const std::string& tls_cert = {}, const std::string& tls_key = {});
    // A new connection of any way in becomes a session: at the logon
    // dialogue, or refused by the logon throttle.
    std::shared_ptr<Session> adopt(std::shared_ptr<Transport> transport);
    // Runs the loop until a signal or a module stops the host. The exit
    // status: 0 after SIGINT/SIGTERM, 1 when a module stopped the host.
    // SIGHUP reloads (Host::reload); SIGUSR1 reopens the logs
    // (Host::reopen_logs), for logrotate.
    int run();
    // Echo mode (bbshost --echo): every line of a logged-on user is sent
    // back to him as it is and never reaches the host; the bare network
    // path that load tests hold the real one against.
    void set_echo(bool on) { echo_ = on; }
    // A logged-on user who types no line for this long is logged off as if
    // he had hung up; zero (the default) lets him stay. He is warned
    // idle_warning() before: a minute, or half the timeout when that is
    // shorter.
    void set_idle_timeout(std::chrono::milliseconds timeout) { idle_timeout_ = timeout; }
    std::chrono::milliseconds idle_timeout() const { return idle_timeout_; }
    std::chrono::milliseconds idle_warning() const {
        return std::min<std::chrono::milliseconds>(std::chrono::minutes(1), idle_timeout_ / 2);
    }
    // How long a connection may take to log on, whichever way it came in
    // (the logon dialogue; SSH from the connection to its shell). Set it
    // before ssh().
    void set_logon_time(std::chrono::seconds time) { logon_time_ = time; }
    std::chrono::seconds logon_time() const { return logon_time_; }
    // A time as users are told it: "one minute", "30 minutes", "3 seconds".
    static std::string describe(std::chrono::milliseconds time);

    // ---- for sessions ------------------------------------------------------
    asio::io_context& io() { return io_; }
    bbs::Host& host() { return host_; }
    // The logon throttle (app/logon_throttle.h): every password asked for is
    // an attempt charged to the session's address and the user-ID typed.
    LogonThrottle::Verdict begin_attempt(const std::string& address, std::string_view userid);
    // The attempt ends before its password was read (the session is gone).
    void abandon_attempt(const std::string& address, std::string_view userid);
    // Checks the password away from the loop; the attempt ends with the
    // answer, and the session (when it is still there) hears it through
    // password_checked().
    void check_password(const std::shared_ptr<Session>& session, const std::string& userid,
                        std::string password);
    // The session leaves the logon dialogue (logged on, or gone).
    void dialogue_ended(const std::string& address) { throttle_.dialogue_ended(address); }
    // The account's own spelling of the user-ID, or empty when there is none.
    std::string account_userid(std::string_view userid);
    bool is_online(std::string_view userid);
    // The session becomes a host channel; -1 when no channel is free.
    int logon(const std::shared_ptr<Session>& session, const std::string& userid);
    void line(int channel, std::string_view text);
    // The channel's user reads a paused page: its statuses wait meanwhile.
    void hold_statuses(int channel, bool on);
    // The host's editor at a channel, for a session that edits on its own
    // screen: its text and size, and the end of it (bbs::Host's editor calls).
    bool in_editor(int channel) const;
    std::string editor_text(int channel) const;
    std::size_t editor_size(int channel) const;
    void editor_done(int channel, bool save, std::string_view text);
    // The session's user leaves the host (no-op when he is not online).
    void hangup(Session& session);
    // The session's connection is gone; forget it.
    void forget(Session& session);
    void log(std::string_view line);

    // Accepting paused after a failure (no file handle to spare, ...): the
    // first pause, and the longest one it doubles to.
    static constexpr std::chrono::milliseconds kFirstAcceptPause{10};
    static constexpr std::chrono::milliseconds kMaxAcceptPause{1000};

private:
    // One listening socket. When accepting fails it pauses, longer each
    // time, and logs the burst once.
    struct Listener {
        explicit Listener(asio::io_context& io) : acceptor(io), pause_timer(io) {}
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer pause_timer;
        Accept accept;
        std::chrono::milliseconds pause{0};
        long failures = 0;  // in the current burst
    };

    void accept(Listener& listener);
    void accept_failed(Listener& listener, const std::error_code& ec);
    void wait_signal();
    void after_host_call();
    void schedule_delivery();
    // While the host has calls waiting for the database, they are tried
    // again every kRetryInterval (at once while each try runs a full batch),
    // from the loop: other users are served meanwhile.
    void retry_waiting(bool at_once = false);
    static constexpr std::chrono::milliseconds kRetryInterval{25};
    static constexpr std::size_t kRetryBatch = 64;
    void stop(std::string_view why, int status);
    // A sysop's `who` (bbs::Host::sessions_for): every session, or none
    // when the user at `channel` holds no sysop key.
    std::optional<std::vector<bbs::Host::SessionRow>> sessions_for(int channel);
    // A user's `paging` (bbs::Host::paging).
    std::optional<bool> paging(int channel, std::optional<bool> on);
    std::string where(const Session& session) const;
    // The SSH user name as a user-ID: cleaned as a typed one is.
    static std::string ssh_userid(std::string_view user);
    void check_ssh_password(const ssh::PasswordAttempt& attempt, std::function<void(ssh::AuthVerdict)> answer);

    asio::io_context& io_;
    bbs::Host& host_;
    std::list<Listener> listeners_;
    std::unique_ptr<ssh::SshListener> ssh_;
    std::unique_ptr<web::StaticSite> site_;
    std::unique_ptr<asio::ssl::context> web_tls_;  // null: the web terminal is plain HTTP
    asio::ip::tcp::endpoint telnet_endpoint_;
    asio::signal_set signals_;
    asio::steady_timer retry_timer_;
    bool retry_armed_ = false;
    // Syncs the database's log off the loop; the host holds what a call
    // that wrote sends until its commit is on disk.
    std::unique_ptr<bbs::LogSyncer> log_syncer_;
    // The host's front end (bbs::FrontEnd): output to the channels'
    // sessions, closes, `who` and paging.
    class HostSide;
    std::unique_ptr<HostSide> host_side_;
    std::set<std::shared_ptr<Session>> sessions_;
    std::map<int, std::weak_ptr<Session>> channels_;
    // When the server began, in seconds since 1970 (MSSP's UPTIME).
    const int64_t started_ = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    LogonThrottle throttle_;
    Session* logging_on_ = nullptr;  // the session inside host.logon()
    bool delivery_posted_ = false;
    bool stopping_ = false;
    bool echo_ = false;
    std::chrono::milliseconds idle_timeout_{0};
    std::chrono::seconds logon_time_{LogonDialogue::Rules{}.time};
    int exit_status_ = 0;
    // The hashing thread (none when hashing runs on the loop) and the checks
    // it runs. Its jobs touch nothing of the server's: they hand their answer
    // to the loop. Destroying the pool joins the thread.
    std::unique_ptr<asio::thread_pool> hashing_pool_;
    std::unique_ptr<PasswordCheck> passwords_;
};

}  // namespace app
