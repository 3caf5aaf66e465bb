// The serving side of bbshost: one Asio event loop on one thread. The
// Server wires its owners together and runs the loop, the signals and the
// stop:
//
//   listeners.h    the listening sockets, accepting and its back-off
//   proxy_accept.h who the client is behind a trusted proxy (PROXY header)
//   way_in.h       a way in per protocol (telnet_way.h, ssh_way.h,
//                  web_way.h): accepted connections become transports
//   tls_certificate.h  the certificate of the TLS ports, renewed at SIGHUP
//   sessions.h     every session, the channels they hold, their host calls,
//                  and the host's output for them (bbs::FrontEnd)
//   sysop_view.h   a sysop's `who` and a user's `paging` (bbs::FrontEnd)
//   logon_gate.h   the logon throttle and password checks of every way
//   pump.h         deferred work after events: waiting calls, statuses, the
//                  log's sync
//   metrics.h      what is counted for the sysop, served by metrics_endpoint.h
//   systemd_notify.h  readiness, status and the watchdog for systemd
//
// Password hashing and the database log's sync run on threads of their
// own; everything else runs on the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/listeners.h"
#include "app/logon_gate.h"
#include "app/mssp_settings.h"
#include "app/metrics.h"
#include "app/proxy_accept.h"
#include "app/pump.h"
#include "app/sessions.h"
#include "app/sysop_view.h"

namespace bbs {
class Host;
}
namespace web {
class WebOrigins;
}

namespace app {

class WayIn;
class TelnetWay;
class SshWay;
class WebWay;
class MetricsEndpoint;
class SystemdNotify;
class TlsCertificate;

class Server {
public:
    struct Options {
        LogonGate::Hashing hashing = LogonGate::Hashing::worker_thread;
        Sessions::Options sessions;  // the users' time limits, echo mode
        // The sysop's MSSP variables as the host started with them, and
        // their file, read again at SIGHUP.
        MsspSettings mssp;
        std::filesystem::path mssp_file;
        // Proxies whose PROXY headers (telnet, SSH) and X-Forwarded-For or
        // Forwarded fields (the web terminal) name the client; none: every
        // connection's client is its peer.
        NetworkList trusted_proxies;
    };

    // The host's front end from now on, until destroyed.
    Server(asio::io_context& io, bbs::Host& host, Options options);
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The certificate of the TLS ports (PEM files), read on its first use
    // and again at SIGHUP. Throws std::runtime_error naming the file and
    // what is wrong with it.
    TlsCertificate& tls(const std::string& cert_file, const std::string& key_file);
    // The ways in, each made on its first use and the same from then on.
    // ssh() and web() throw std::runtime_error when what they need cannot
    // be read or made (ssh_way.h, web_way.h). web() is HTTPS with `tls`;
    // telnets() is telnet inside TLS on `port` (REQUIRES: tls() made).
    TelnetWay& telnet();
    WayIn& telnets(uint16_t port);
    SshWay& ssh(const std::filesystem::path& key_folder);
    WebWay& web(const web::WebOrigins& origins, const TlsCertificate* tls = nullptr);
    // Binds and listens for `way`. The address bound (port 0: the one the
    // system chose), or none with *error (address in use, bad address...).
    std::optional<asio::ip::tcp::endpoint> listen(WayIn& way, std::string_view address, uint16_t port,
                                                  std::string* error);
    // Where every way hands its sessions (a test may hand it its own).
    Sessions& sessions() { return sessions_; }
    // Serves the metrics (app/metrics_endpoint.h) at the address; as listen().
    std::optional<asio::ip::tcp::endpoint> listen_metrics(std::string_view address, uint16_t port,
                                                          std::string* error);
    // The exposition of the metrics as a scrape sees it now.
    std::string metrics_text() const;

    // Runs the loop until a signal or a module stops the host. The exit
    // status: 0 after SIGINT/SIGTERM, 1 when a module stopped the host.
    // SIGHUP reloads (Host::reload); SIGUSR1 reopens the logs
    // (Host::reopen_logs), for logrotate.
    int run();

private:
    class FrontSide;

    // To the host log, for the owners that outlive the sessions.
    std::function<void(std::string_view line)> log() const;
    // A connection from a banned address is closed at once, on every port,
    // before its way sees it (true); so is one whose proxy names a banned
    // client, once it does.
    bool banned(asio::ip::tcp::socket& socket, const asio::ip::tcp::endpoint& client);
    // Whether `client` is banned (logged when it is).
    bool refused(const asio::ip::tcp::endpoint& client);
    void wait_signal();
    void reload_certificate();
    void count_metrics();
    void stop(std::string_view why, int status);

    asio::io_context& io_;
    bbs::Host& host_;
    const Options options_;
    Metrics metrics_;
    Listeners listeners_;
    ProxyAccept proxies_;
    LogonGate logons_;
    std::unique_ptr<TlsCertificate> tls_;  // outlives the ways that serve it
    // The ways outlive the sessions, whose transports use their settings.
    std::unique_ptr<TelnetWay> telnet_;
    WayIn* telnets_ = nullptr;  // telnet_'s TLS port
    std::unique_ptr<SshWay> ssh_;
    std::unique_ptr<WebWay> web_;
    Pump pump_;
    Sessions sessions_;
    SysopView sysop_;
    std::unique_ptr<FrontSide> front_side_;
    std::unique_ptr<MetricsEndpoint> metrics_endpoint_;
    std::unique_ptr<SystemdNotify> systemd_;
    PurchaseTally purchases_;
    asio::signal_set signals_;
    bool stopping_ = false;
    int exit_status_ = 0;
};

}  // namespace app
