// bbshost: the Brakvold BBS host. Without a command it serves users by
// telnet, and by telnet inside TLS, SSH and the web terminal when their
// ports are given; with one (init, user, key, ban, class, player, mail, db,
// backup, restore, fingerprint) it administers a data folder, also while
// the host serves it (the commands: app/admin/).
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include "app/admin/dispatch.h"
#include "app/data_folder.h"
#include "app/folder_lock.h"
#include "app/modules.h"
#include "app/mssp_settings.h"
#include "app/server.h"
#include "app/signup.h"
#include "app/ssh_way.h"
#include "app/telnet_way.h"
#include "app/tls_certificate.h"
#include "app/web_way.h"
#include "bbs/host.h"
#include "ssh/keys.h"
#include "web/origins.h"

namespace fs = std::filesystem;

namespace {

struct ServeOptions {
    std::string data = "data";
    std::string bind = "127.0.0.1";
    int port = 2323;
    int ssh_port = 0;   // 0: no SSH
    int http_port = 0;  // 0: no web terminal
    int tls_port = 0;   // 0: no telnet inside TLS
    int metrics_port = 0;  // 0: no metrics
    std::string metrics_bind = "127.0.0.1";
    std::string tls_cert, tls_key;  // both: the web terminal is HTTPS, and the TLS port served
    std::vector<std::string> web_origins;  // none: the --bind address's
    std::vector<std::string> trusted_proxies;  // addresses and networks
    int channels = 64;
    std::string config;
    bool echo = false;  // lines echoed instead of going to the game (load baselines)
    double idle_timeout = 30;  // minutes; 0: off
    int logon_time = 120;      // seconds
};

int serve(const ServeOptions& options) {
    std::error_code ec;
    const fs::path data = fs::absolute(options.data, ec);
    // Named from where bbshost was started (the host works in its data folder).
    auto from_here = [&](const std::string& file) { return file.empty() ? file : fs::absolute(file, ec).string(); };
    const std::string tls_cert = from_here(options.tls_cert), tls_key = from_here(options.tls_key);
    std::string error;
    if (!tls_cert.empty() && options.http_port == 0 && options.tls_port == 0) {
        std::cerr << "bbshost: --tls-cert requires --http-port or --tls-port" << std::endl;
        return app::admin::kBadInput;
    }
    std::vector<app::Network> trusted_proxies;
    for (const auto& text : options.trusted_proxies) {
        const auto network = app::parse_network(text, &error);
        if (!network) {
            std::cerr << "bbshost: --trusted-proxy " << text << ": " << error << std::endl;
            return 1;
        }
        trusted_proxies.push_back(*network);
    }
    // The names the web terminal answers to: those given, else where it listens.
    web::WebOrigins origins;
    if (options.web_origins.empty())
        origins = web::WebOrigins::listening_at(options.bind, static_cast<uint16_t>(options.http_port), !tls_cert.empty());
    for (const auto& url : options.web_origins) {
        if (!origins.add(url, &error)) {
            std::cerr << "bbshost: --web-origin " << url << ": " << error << std::endl;
            return app::admin::kBadInput;
        }
    }
    if (options.http_port != 0 && origins.empty()) {
        std::cerr << "bbshost: --bind " << options.bind << " with --http-port: name the addresses users open the "
                  << "web terminal at with --web-origin (e.g. --web-origin https://bbs.example.org:8080)" << std::endl;
        return app::admin::kBadInput;
    }
    if (!fs::exists(data, ec)) {
        const fs::path config = options.config.empty() ? app::default_config_dir()
                                                       : fs::path(options.config);
        if (!app::create_data_folder(data, config, options.channels, &error)) {
            std::cerr << "bbshost: " << error << std::endl;
            return 1;
        }
        std::cout << "bbshost: created data folder " << data.string()
                  << " with the demo population" << std::endl;
    } else if (!fs::is_directory(data, ec)) {
        std::cerr << "bbshost: " << data.string() << " is not a folder" << std::endl;
        return 1;
    } else if (!fs::exists(data / "bbs.db", ec)) {
        std::cerr << "bbshost: " << data.string() << " is no data folder yet (it has no bbs.db): "
                  << "make one with: bbshost --data " << data.string() << " init" << std::endl;
        return 1;
    } else {
        if (!app::secure_data_folder(data, &error)) std::cerr << "bbshost: warning: " << error << std::endl;
        // A folder made before sign-up was: its settings, closed.
        if (!app::write_signup_settings(data, app::SignupMode::closed, &error))
            std::cerr << "bbshost: warning: " << error << std::endl;
        // ... or before the MSSP settings were: empty ones.
        if (!app::MsspSettings::make(data, &error)) std::cerr << "bbshost: warning: " << error << std::endl;
    }
    const auto mssp = app::MsspSettings::load(data / app::MsspSettings::kFileName, &error);
    if (!mssp) {
        std::cerr << "bbshost: " << error << std::endl;
        return 1;
    }
    // The folder is this host's while it runs (a restore waits for it to stop).
    pid_t holder = 0;
    const auto lock = app::FolderLock::take(data, &holder, &error);
    if (!lock) {
        std::cerr << "bbshost: " << error << std::endl;
        return 1;
    }

    bbs::HostOptions host_options;
    host_options.data_dir = data;
    host_options.channels = options.channels;
    auto host = bbs::Host::open(host_options, &error);
    if (!host) {
        std::cerr << "bbshost: cannot open data folder " << data.string() << ": " << error
                  << std::endl;
        return 1;
    }
    if (!app::load_modules(*host, &error)) {
        std::cerr << "bbshost: " << error << std::endl;
        host->log("start failed: " + error);
        return 1;
    }

    int status = 0;
    {
        asio::io_context io;
        app::Server::Options serving;
        serving.sessions.echo = options.echo;
        serving.sessions.rules.idle_timeout = std::chrono::milliseconds(std::llround(options.idle_timeout * 60000));
        serving.sessions.rules.logon_time = std::chrono::seconds(options.logon_time);
        serving.mssp = *mssp;
        serving.mssp_file = data / app::MsspSettings::kFileName;
        serving.trusted_proxies = app::NetworkList(trusted_proxies);
        app::Server server(io, *host, serving);
        app::TlsCertificate* certificate = nullptr;
        if (!tls_cert.empty()) {
            try {
                certificate = &server.tls(tls_cert, tls_key);
            } catch (const std::exception& e) {
                std::cerr << "bbshost: " << e.what() << std::endl;
                host->log(std::string("start failed: ") + e.what());
                return 1;
            }
        }
        const auto telnet_at = server.listen(server.telnet(), options.bind, static_cast<uint16_t>(options.port), &error);
        if (!telnet_at) {
            std::cerr << "bbshost: " << error << std::endl;
            host->log("start failed: " + error);
            return 1;
        }
        auto where = [](const asio::ip::tcp::endpoint& endpoint) {
            return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
        };
        host->log("started: listening on " + where(*telnet_at) + " with " + std::to_string(options.channels) +
                  " channels");
        std::cout << "bbshost: listening on " << where(*telnet_at) << " (telnet), data folder "
                  << data.string() << ", " << options.channels << " channels" << std::endl;
        // The other ways in, each on its own port of the same address.
        auto listen_too = [&](const char* way, int port, auto make_way, const char* scheme = nullptr) {
            if (port == 0) return true;
            std::optional<asio::ip::tcp::endpoint> bound;
            try {
                bound = server.listen(make_way(), options.bind, static_cast<uint16_t>(port), &error);
            } catch (const std::exception& e) {
                error = std::string(way) + ": " + e.what();
            }
            if (!bound) {
                std::cerr << "bbshost: " << error << std::endl;
                host->log("start failed: " + error);
                return false;
            }
            std::string line = "listening on " + where(*bound) + " (" + way + ")";
            if (scheme) line += std::string(" at ") + scheme + "://" + where(*bound) + "/";
            host->log(line);
            std::cout << "bbshost: " << line << std::endl;
            return true;
        };
        if (!listen_too("telnets", options.tls_port,
                        [&]() -> app::WayIn& { return server.telnets(static_cast<uint16_t>(options.tls_port)); })) {
            return 1;
        }
        if (!listen_too("ssh", options.ssh_port, [&]() -> app::WayIn& { return server.ssh(data); })) return 1;
        if (options.ssh_port != 0) {
            const app::SshWay& ssh = server.ssh(data);
            const std::string line = std::string("ssh host key ") + (ssh.host_key_created() ? "made: " : "") +
                                     ssh.host_key().type + " " + ssh.host_key().fingerprint;
            host->log(line);
            std::cout << "bbshost: " << line << std::endl;
        }
        if (!listen_too("web", options.http_port, [&]() -> app::WayIn& { return server.web(origins, certificate); },
                        certificate ? "https" : "http")) {
            return 1;
        }
        if (options.http_port != 0) {
            const std::string line = "the web terminal answers to " + origins.list();
            host->log(line);
            std::cout << "bbshost: " << line << std::endl;
        }
        if (options.metrics_port != 0) {
            const auto bound = server.listen_metrics(options.metrics_bind, static_cast<uint16_t>(options.metrics_port), &error);
            if (!bound) {
                std::cerr << "bbshost: metrics: " << error << std::endl;
                host->log("start failed: metrics: " + error);
                return 1;
            }
            const std::string line = "metrics at http://" + where(*bound) + "/metrics";
            host->log(line);
            std::cout << "bbshost: " << line << std::endl;
        }
        status = server.run();
    }  // sessions closed
    host->log("stopped");
    host.reset();  // finish routines of every module, database closed
    std::cout << "bbshost: stopped" << std::endl;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever bbshost creates (data folder, database, logs, compiled
    // message files) is its owner's alone.
    ::umask(077);

    CLI::App cli{"bbshost: the Brakvold BBS host with the game and Brakvold Plus.\n"
                 "Without a command it serves users (telnet; telnet inside TLS, SSH and the web terminal on their ports); the commands administer its data "
                 "folder, also while it serves."};
    cli.set_help_all_flag("--help-all", "Every command and its options");
    cli.set_version_flag("--version", "bbshost (Brakvold Plus) " PLUS_VERSION);
    ServeOptions options;
    cli.add_option("--data", options.data, "Data folder (when serving: created with the demo population when missing)")
        ->capture_default_str();
    cli.add_option("--bind", options.bind, "Address to listen on")->capture_default_str();
    cli.add_option("--port", options.port, "TCP port (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    cli.add_option("--ssh-port", options.ssh_port,
                   "SSH port on the --bind address (0: no SSH; the host key is made in the data "
                   "folder on first use)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    auto* http_port = cli.add_option("--http-port", options.http_port,
                   "Web terminal's port on the --bind address (0: none); plain HTTP unless "
                   "--tls-cert and --tls-key are given (or a TLS proxy is in front of it)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    auto* tls_port = cli.add_option("--tls-port", options.tls_port,
                                    "Port of telnet inside TLS on the --bind address, for MUD clients that "
                                    "speak TLS (0: none; needs --tls-cert and --tls-key)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    auto* tls_cert = cli.add_option("--tls-cert", options.tls_cert,
                                    "PEM certificate (chain) of the TLS ports: with --tls-key the web "
                                    "terminal serves HTTPS and WSS only, and --tls-port telnet inside TLS; "
                                    "read again at SIGHUP");
    auto* tls_key = cli.add_option("--tls-key", options.tls_key,
                                   "PEM private key of the --tls-cert certificate");
    tls_cert->needs(tls_key);
    tls_key->needs(tls_cert);
    tls_port->needs(tls_cert);
    cli.add_option("--web-origin", options.web_origins,
                   "An origin the web terminal is served under, as the browser's address bar shows it "
                   "(https://bbs.example.org, http://192.0.2.7:8080); repeatable. Requests naming another "
                   "host get no page and no WebSocket. Default: the --bind address and --http-port, and "
                   "localhost on loopback (https with --tls-cert); give it behind a proxy")
        ->expected(1)
        ->take_all()
        ->needs(http_port);
    cli.add_option("--trusted-proxy", options.trusted_proxies,
                   "A proxy in front of the host (HAProxy, nginx...), by address or network "
                   "(192.0.2.7, 2001:db8::/64); repeatable. From it telnet and SSH "
                   "connections must begin with a PROXY header (v1 or v2) and the web terminal "
                   "takes X-Forwarded-For or Forwarded: the client they name is the session's "
                   "address (throttle, bans, logs, who). A PROXY header from any other address is "
                   "refused, its X-Forwarded-For and Forwarded ignored")
        ->expected(1)
        ->take_all();
    cli.add_option("--metrics-port", options.metrics_port,
                   "Port of the Prometheus metrics at /metrics on the --metrics-bind address (0: none)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    cli.add_option("--metrics-bind", options.metrics_bind, "Address the metrics listen on")->capture_default_str();
    cli.add_option("--channels", options.channels, "Number of channels (nterms), for every way in together")
        ->check(CLI::Range(0, 4096))
        ->capture_default_str();
    cli.add_option("--config", options.config,
                   "Folder of the config sources a new data folder is made from");
    cli.add_option("--idle-timeout", options.idle_timeout,
                   "Minutes a logged-on user may type nothing before he is logged off (warned a "
                   "minute before); 0: never")
        ->check(CLI::Range(0.0, 525600.0))
        ->capture_default_str();
    cli.add_option("--logon-time", options.logon_time,
                   "Seconds a connection may take to log on (telnet and the web terminal: the "
                   "User-ID/Password dialogue; SSH: from connecting to the shell)")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    cli.add_flag("--echo", options.echo,
                 "Bare echo path for load baselines: after logon every line is sent back as it "
                 "is instead of going to the game");
    cli.require_subcommand(0, 1);
    const app::admin::Dispatcher commands(cli);

    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        if (cli.get_subcommands().empty()) return cli.exit(e);
        // A command's help shows all of it: each subcommand with every option.
        std::cout << cli.help("", CLI::AppFormatMode::All);
        return app::admin::kOk;
    } catch (const CLI::CallForAllHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "bbshost: " << e.what() << "\n(bbshost --help-all lists the commands)"
                  << std::endl;
        return app::admin::kBadInput;
    }

    std::string error;
    if (!app::admin::run_as_folder_owner(options.data, &error)) {
        std::cerr << "bbshost: " << error << std::endl;
        return app::admin::kBadInput;
    }
    if (commands.chosen()) {
        const fs::path config = options.config.empty() ? app::default_config_dir() : fs::path(options.config);
        return commands.run({options.data, options.channels, config});
    }
    return serve(options);
}
