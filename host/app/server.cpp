#include "app/server.h"

#include <csignal>
#include <iostream>
#include <stdexcept>

#include "app/metrics_endpoint.h"
#include "app/ssh_way.h"
#include "app/systemd_notify.h"
#include "app/telnet_way.h"
#include "app/tls_certificate.h"
#include "app/web_way.h"
#include "bbs/host.h"
#include "text/utf8.h"
#include "game/game.h"

namespace app {

// The host's front end: output, closes and editor openings go to the
// sessions, `who` and `paging` to the sysop's view.
class Server::FrontSide final : public bbs::FrontEnd {
public:
    FrontSide(Sessions& sessions, SysopView& sysop) : sessions_(sessions), sysop_(sysop) {}

    void deliver(int channel, std::string_view bytes) override { sessions_.deliver(channel, bytes); }
    void editor_opened(int channel, std::string_view banner) override { sessions_.editor_opened(channel, banner); }
    void close(int channel) override { sessions_.close(channel); }
    std::optional<std::vector<bbs::SessionRow>> sessions_for(int channel) override {
        return sysop_.sessions_for(channel);
    }
    std::optional<bool> paging(int channel, std::optional<bool> on) override { return sysop_.paging(channel, on); }
    bool change_password(int channel) override { return sessions_.change_password(channel); }

private:
    Sessions& sessions_;
    SysopView& sysop_;
};

Server::Server(asio::io_context& io, bbs::Host& host, Options options)
    : io_(io),
      host_(host),
      options_(std::move(options)),
      metrics_(PLUS_VERSION),
      listeners_(io, log()),
      proxies_(options_.trusted_proxies, log()),
      logons_(io, host, options_.hashing),
      pump_(io, host,
            [this](const std::string& reason) {
                std::cerr << "bbshost: the host stopped: " << reason << std::endl;
                stop("a module stopped the host: " + reason, 1);
            }),
      sessions_(io, host, logons_, pump_, options_.sessions),
      sysop_(host, sessions_),
      front_side_(std::make_unique<FrontSide>(sessions_, sysop_)),
      signals_(io, SIGINT, SIGTERM, SIGHUP) {
    std::error_code ec;
    signals_.add(SIGUSR1, ec);
    if (ec) host_.log("SIGUSR1 cannot reopen the logs: " + ec.message());
    host_.set_front_end(front_side_.get());
    count_metrics();
    systemd_ = std::make_unique<SystemdNotify>(io_, [this] { return sessions_.channels_held(); });
}

void Server::count_metrics() {
    logons_.count_in(&metrics_);
    pump_.count_in(&metrics_);
    sessions_.count_in(&metrics_);
    // The game log's lines that stand at once are one batch of purchases.
    if (auto* game = game::Game::instance()) {
        game->on_logged([this](std::string_view text) {
            const bool first = !purchases_.pending();
            purchases_.logged(text);
            if (first && purchases_.pending())
                asio::post(io_, [this] {
                    purchases_.batch_ended([this](std::string_view kind) { metrics_.purchase(kind); });
                });
        });
    }
}

std::optional<asio::ip::tcp::endpoint> Server::listen_metrics(std::string_view address, uint16_t port,
                                                              std::string* error) {
    if (!metrics_endpoint_) metrics_endpoint_ = std::make_unique<MetricsEndpoint>([this] { return metrics_text(); });
    return listeners_.listen(
        address, port, [this](asio::ip::tcp::socket socket) { metrics_endpoint_->accepted(std::move(socket)); },
        error);
}

std::string Server::metrics_text() const {
    Metrics::SessionCounts on;
    for (const auto& session : sessions_.all())
        if (session->channel() >= 0) ++on[std::string(session->way())];
    return metrics_.render(on);
}

std::function<void(std::string_view line)> Server::log() const {
    return [&host = host_](std::string_view line) { host.log(line); };
}

Server::~Server() {
    if (auto* game = game::Game::instance()) game->on_logged(nullptr);
    pump_.end_log_sync();  // what waited for the disk still goes to the sessions...
    host_.set_front_end(nullptr);
}

TelnetWay& Server::telnet() {
    if (!telnet_) {
        TelnetWay::Options telnet;
        telnet.mssp = options_.mssp;
        telnet.mssp_file = options_.mssp_file;
        telnet_ = std::make_unique<TelnetWay>(sessions_, log(), std::move(telnet));
    }
    return *telnet_;
}

WayIn& Server::telnets(uint16_t port) {
    if (!tls_) throw std::logic_error("telnet inside TLS without a certificate");
    if (!telnets_) telnets_ = &telnet().over_tls(*tls_, port);
    return *telnets_;
}

TlsCertificate& Server::tls(const std::string& cert_file, const std::string& key_file) {
    if (!tls_) tls_ = std::make_unique<TlsCertificate>(cert_file, key_file);
    return *tls_;
}

void Server::reload_certificate() {
    if (!tls_) return;
    std::string error;
    if (tls_->reload(&error)) {
        host_.log("TLS certificate reloaded from " + tls_->cert_file());
    } else {
        host_.log("TLS certificate kept as it was: " + error);
    }
}

SshWay& Server::ssh(const std::filesystem::path& key_folder) {
    if (!ssh_)
        ssh_ = std::make_unique<SshWay>(io_, host_, logons_, sessions_,
                                        SshWay::Options{key_folder, options_.sessions.rules.logon_time});
    return *ssh_;
}

WebWay& Server::web(const web::WebOrigins& origins, const TlsCertificate* tls) {
    if (!web_) {
        web_ = std::make_unique<WebWay>(
            sessions_, log(), origins, tls,
            ForwardedClients{options_.trusted_proxies, [this](const auto& client) { return refused(client); }});
    }
    return *web_;
}

std::optional<asio::ip::tcp::endpoint> Server::listen(WayIn& way, std::string_view address, uint16_t port,
                                                      std::string* error) {
    return listeners_.listen(
        address, port,
        [this, &way](asio::ip::tcp::socket socket) {
            Accepted connection = Accepted::as_is(std::move(socket));
            if (!connection.gone() && banned(connection.socket, connection.client)) return;
            if (!way.takes_proxy_header()) return way.accepted(std::move(connection));
            const auto peer = connection.client;
            proxies_.accepted(std::move(connection), way.client_speaks_first(), [this, &way, peer](Accepted named) {
                if (named.client != peer && banned(named.socket, named.client)) return;
                way.accepted(std::move(named));
            });
        },
        error);
}

bool Server::banned(asio::ip::tcp::socket& socket, const asio::ip::tcp::endpoint& client) {
    if (!refused(client)) return false;
    std::error_code ec;
    socket.close(ec);
    return true;
}

bool Server::refused(const asio::ip::tcp::endpoint& peer) {
    const auto reason = logons_.banned(peer.address());
    if (!reason) return false;
    if (const auto more = logons_.refusal_logged("ban", LogonThrottle::source_key(peer.address())))
        host_.log("connection from " + peer.address().to_string() + ":" + std::to_string(peer.port()) +
                  " refused: banned" + (reason->empty() ? "" : " (" + text::log_excerpt(*reason) + ")") + *more);
    return true;
}

int Server::run() {
    listeners_.start();
    sessions_.watch();
    systemd_->ready();
    wait_signal();
    io_.run();
    return exit_status_;
}

void Server::wait_signal() {
    signals_.async_wait([this](const std::error_code& ec, int signal) {
        if (ec || stopping_) return;
        if (signal == SIGHUP) {
            host_.log("SIGHUP: reloading message files, options and the game's ini");
            if (telnet_) telnet_->reload_settings();
            reload_certificate();
            if (!host_.reload()) host_.log("reload waits for the database");
            pump_.mark();
            wait_signal();
            return;
        }
        if (signal == SIGUSR1) {
            // logrotate moved the logs away: the last line goes to the old
            // files, the next ones to new files of the same names.
            host_.log("SIGUSR1: reopening the logs");
            host_.reopen_logs();
            host_.log("logs reopened");
            wait_signal();
            return;
        }
        stop(signal == SIGINT ? "SIGINT" : "SIGTERM", 0);
    });
}

void Server::stop(std::string_view why, int status) {
    if (stopping_) return;
    stopping_ = true;
    exit_status_ = status;
    host_.log("stopping (" + std::string(why) + ")");
    systemd_->stopping();
    listeners_.stop();
    std::error_code ec;
    signals_.cancel(ec);
    pump_.stop();
    sessions_.stop("\r\nThe host is shutting down. Goodbye!\r\n");
    io_.stop();
}

}  // namespace app
