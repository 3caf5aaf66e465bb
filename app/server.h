// The serving side of bbshost: one Asio event loop on one thread, the
// listening socket, the telnet sessions, the host's output and close sinks,
// status delivery from the loop, and the signals.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include <asio.hpp>

namespace bbs {
class Host;
class LogSyncer;
}

namespace app {

class TelnetSession;

class Server {
public:
    Server(asio::io_context& io, bbs::Host& host);
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens. False with *error (address in use, bad address...).
    bool listen(std::string_view address, uint16_t port, std::string* error);
    asio::ip::tcp::endpoint local_endpoint() const;
    // Runs the loop until a signal or a module stops the host. The exit
    // status: 0 after SIGINT/SIGTERM, 1 when a module stopped the host.
    int run();
    // Echo mode (bbshost --echo): every line of a logged-on user is sent
    // back to him as it is and never reaches the host; the bare network
    // path that load tests hold the real one against.
    void set_echo(bool on) { echo_ = on; }

    // ---- for sessions ------------------------------------------------------
    asio::io_context& io() { return io_; }
    bbs::Host& host() { return host_; }
    bool check_password(std::string_view userid, std::string_view password);
    // Failed logons are counted per peer address, over all its connections:
    // the answer to every failure after the first waits longer, doubling
    // from kFirstPenalty up to kMaxPenalty. The count is forgotten after a
    // good logon from the address, or kPenaltyMemory after its last failure.
    static constexpr std::chrono::milliseconds kFirstPenalty{500};
    static constexpr std::chrono::milliseconds kMaxPenalty{8000};
    static constexpr std::chrono::minutes kPenaltyMemory{15};
    static constexpr std::size_t kMaxPenalized = 4096;  // addresses remembered at once
    // Counts a failure of the address; how long to wait before answering it.
    std::chrono::milliseconds logon_failed(const std::string& address);
    void logon_succeeded(const std::string& address);
    // The account's own spelling of the user-ID, or empty when there is none.
    std::string account_userid(std::string_view userid);
    bool is_online(std::string_view userid);
    // The session becomes a host channel; -1 when no channel is free.
    int logon(const std::shared_ptr<TelnetSession>& session, const std::string& userid);
    void line(int channel, std::string_view text);
    // The session's user leaves the host (no-op when he is not online).
    void hangup(TelnetSession& session);
    // The session's connection is gone; forget it.
    void forget(TelnetSession& session);
    void log(std::string_view line);

private:
    void accept();
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

    asio::io_context& io_;
    bbs::Host& host_;
    asio::ip::tcp::acceptor acceptor_;
    asio::signal_set signals_;
    asio::steady_timer retry_timer_;
    bool retry_armed_ = false;
    // Syncs the database's log off the loop; the host holds what a call
    // that wrote sends until its commit is on disk.
    std::unique_ptr<bbs::LogSyncer> log_syncer_;
    std::set<std::shared_ptr<TelnetSession>> sessions_;
    std::map<int, std::weak_ptr<TelnetSession>> channels_;
    struct Penalty {
        int failures = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::map<std::string, Penalty> penalties_;  // by peer address
    TelnetSession* logging_on_ = nullptr;  // the session inside host.logon()
    bool delivery_posted_ = false;
    bool stopping_ = false;
    bool echo_ = false;
    int exit_status_ = 0;
};

}  // namespace app
