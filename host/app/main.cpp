// bbshost: the Brakvold BBS host. Without a command it serves users by
// telnet, and by SSH and the web terminal when their ports are given; with
// one (init, user, key, class, player, mail, db, backup, restore, fingerprint) it
// administers a data folder, also while the host serves it.
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include "app/admin.h"
#include "app/backup.h"
#include "app/data_folder.h"
#include "app/folder_lock.h"
#include "app/init.h"
#include "app/modules.h"
#include "app/server.h"
#include "bbs/host.h"
#include "ssh/keys.h"

namespace fs = std::filesystem;

namespace {

struct ServeOptions {
    std::string data = "data";
    std::string bind = "127.0.0.1";
    int port = 2323;
    int ssh_port = 0;   // 0: no SSH
    int http_port = 0;  // 0: no web terminal
    std::string tls_cert, tls_key;  // both: the web terminal is HTTPS
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
    } else if (!app::secure_data_folder(data, &error)) {
        std::cerr << "bbshost: warning: " << error << std::endl;
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
        app::Server server(io, *host);
        server.set_echo(options.echo);
        server.set_idle_timeout(std::chrono::milliseconds(std::llround(options.idle_timeout * 60000)));
        server.set_logon_time(std::chrono::seconds(options.logon_time));
        if (!server.listen(options.bind, static_cast<uint16_t>(options.port), &error)) {
            std::cerr << "bbshost: " << error << std::endl;
            host->log("start failed: " + error);
            return 1;
        }
        auto where = [](const asio::ip::tcp::endpoint& endpoint) {
            return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
        };
        const std::string telnet_at = where(server.local_endpoint());
        host->log("started: listening on " + telnet_at + " with " + std::to_string(options.channels) +
                  " channels");
        std::cout << "bbshost: listening on " << telnet_at << " (telnet), data folder "
                  << data.string() << ", " << options.channels << " channels" << std::endl;
        // The other ways in, each on its own port of the same address.
        auto listen_too = [&](const char* way, int port, auto make_accept, const char* scheme = nullptr) {
            if (port == 0) return true;
            std::optional<asio::ip::tcp::endpoint> bound;
            try {
                bound = server.listen(options.bind, static_cast<uint16_t>(port), make_accept(), &error);
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
        if (!listen_too("ssh", options.ssh_port, [&] { return server.ssh(data); })) return 1;
        if (const auto* key = server.ssh_host_key()) {
            const std::string line = std::string("ssh host key ") +
                                     (server.ssh_host_key_created() ? "made: " : "") + key->type + " " +
                                     key->fingerprint;
            host->log(line);
            std::cout << "bbshost: " << line << std::endl;
        }
        const bool tls = !tls_cert.empty();
        if (!listen_too("web", options.http_port, [&] { return server.web(tls_cert, tls_key); },
                        tls ? "https" : "http")) {
            return 1;
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
                 "Without a command it serves users (telnet; SSH and the web terminal on their ports); the commands administer its data "
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
    auto* tls_cert = cli.add_option("--tls-cert", options.tls_cert,
                                    "PEM certificate (chain) of the web terminal: with --tls-key it "
                                    "serves HTTPS and WSS only");
    auto* tls_key = cli.add_option("--tls-key", options.tls_key,
                                   "PEM private key of the --tls-cert certificate");
    tls_cert->needs(tls_key)->needs(http_port);
    tls_key->needs(tls_cert);
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

    // The command to run once the whole line has been parsed, and what it
    // needs loaded.
    std::function<int(bbs::Host&)> command;
    app::admin::Needs needs = app::admin::Needs::host;
    auto sub = [](CLI::App* parent, const char* name, const char* help) {
        auto* s = parent->add_subcommand(name, help);
        s->fallthrough();
        return s;
    };

    // ---- user ----------------------------------------------------------------
    auto* user = sub(&cli, "user", "Host accounts");
    user->require_subcommand(1);
    std::string userid, password;
    app::admin::AccountChange change;
    int64_t credits = 0, days = 0;
    std::string class_name;
    auto account_options = [&](CLI::App* s) {
        s->add_option("--credits", credits, "Host credits");
        s->add_option("--days", days, "Membership days left");
        s->add_option("--class", class_name, "Class name");
        s->add_option("--key", change.keys, "A key the account holds (repeat for more)")
            ->take_last();
    };
    auto collect_change = [&](CLI::App* s) {
        if (s->count("--credits")) change.credits = credits;
        if (s->count("--days")) change.days = days;
        if (s->count("--class")) change.class_name = class_name;
        change.replace_keys = s->count("--key") > 0;
    };

    auto* user_add = sub(user, "add",
                         "Add an account; its password is read from standard input (one line), "
                         "or asked for without echo when that is a terminal");
    user_add->add_option("ID", userid, "User-ID")->required();
    account_options(user_add);
    user_add->callback([&] {
        collect_change(user_add);
        command = [&](bbs::Host& h) {
            std::string error;
            if (!app::admin::read_password(&password, &error)) {
                std::cerr << "bbshost: " << error << std::endl;
                return static_cast<int>(app::admin::kBadInput);
            }
            return app::admin::user_add(h, userid, password, change);
        };
    });

    auto* user_show = sub(user, "show", "Show an account: credits, days, class, keys");
    user_show->add_option("ID", userid, "User-ID")->required();
    user_show->callback([&] { command = [&](bbs::Host& h) { return app::admin::user_show(h, userid); }; });

    auto* user_list = sub(user, "list",
                          "Every account: user-ID, class, credits, days, keys, last logon (UTC), "
                          "tab-separated");
    user_list->callback([&] { command = [&](bbs::Host& h) { return app::admin::user_list(h); }; });

    auto* user_passwd = sub(user, "passwd",
                            "Change an account's password; the new one is read from standard input "
                            "(one line), or asked for twice without echo when that is a terminal");
    user_passwd->add_option("ID", userid, "User-ID")->required();
    user_passwd->callback([&] {
        command = [&](bbs::Host& h) { return app::admin::user_passwd(h, userid); };
    });

    auto* user_set = sub(user, "set", "Change an account (given keys replace the held ones)");
    user_set->add_option("ID", userid, "User-ID")->required();
    account_options(user_set);
    user_set->callback([&] {
        collect_change(user_set);
        command = [&](bbs::Host& h) { return app::admin::user_set(h, userid, change); };
    });

    auto* user_delete = sub(user, "delete", "Delete an account (the modules forget him first)");
    user_delete->add_option("ID", userid, "User-ID")->required();
    user_delete->callback([&] {
        needs = app::admin::Needs::modules;
        command = [&](bbs::Host& h) { return app::admin::user_delete(h, userid); };
    });

    // ---- key -----------------------------------------------------------------
    auto* key = sub(&cli, "key", "SSH public keys of accounts (logons without a password)");
    key->require_subcommand(1);
    std::string key_file;
    int64_t key_number = 0;
    auto* key_add = sub(key, "add", "Register an OpenSSH public key (ssh-ed25519, ecdsa, rsa) for an account");
    key_add->add_option("ID", userid, "User-ID")->required();
    key_add->add_option("--file", key_file, "The key's .pub file (its first key line)")->required();
    key_add->callback([&] { command = [&](bbs::Host& h) { return app::admin::key_add(h, userid, key_file); }; });
    auto* key_list = sub(key, "list",
                         "An account's keys: number, type, fingerprint, comment, when added (UTC), "
                         "tab-separated");
    key_list->add_option("ID", userid, "User-ID")->required();
    key_list->callback([&] { command = [&](bbs::Host& h) { return app::admin::key_list(h, userid); }; });
    auto* key_remove = sub(key, "remove", "Remove an account's key N (as key list numbers them)");
    key_remove->add_option("ID", userid, "User-ID")->required();
    key_remove->add_option("N", key_number, "Number of the key")->required();
    key_remove->callback([&] {
        command = [&](bbs::Host& h) { return app::admin::key_remove(h, userid, key_number); };
    });

    // ---- class ---------------------------------------------------------------
    auto* klass = sub(&cli, "class", "Account classes");
    klass->require_subcommand(1);
    std::string class_add_name;
    int64_t class_days = 0;
    auto* class_add = sub(klass, "add", "Add or change a class");
    class_add->add_option("NAME", class_add_name, "Class name")->required();
    class_add->add_option("--days", class_days, "Day limit, -1 for none")->required();
    class_add->callback([&] {
        command = [&](bbs::Host& h) { return app::admin::class_add(h, class_add_name, class_days); };
    });
    auto* class_set = sub(klass, "set", "Change the day limit of a class");
    class_set->add_option("NAME", class_add_name, "Class name")->required();
    class_set->add_option("--days", class_days, "Day limit, -1 for none")->required();
    class_set->callback([&] {
        command = [&](bbs::Host& h) { return app::admin::class_set(h, class_add_name, class_days); };
    });
    auto* class_list = sub(klass, "list", "Every class and its day limit (-1: none), tab-separated");
    class_list->callback([&] { command = [&](bbs::Host& h) { return app::admin::class_list(h); }; });

    // ---- player --------------------------------------------------------------
    auto* player = sub(&cli, "player", "Game characters");
    player->require_subcommand(1);
    std::string player_name;
    app::admin::PlayerFields fields;
    auto* player_add = sub(player, "add", "Add a game character");
    player_add->add_option("NAME", player_name, "Game name (1 to 10 characters)")->required();
    player_add->add_option("--account", fields.account, "User-ID that plays him")->required();
    struct NumberField {
        const char* flag;
        std::optional<int64_t>* target;
        const char* help;
    };
    const NumberField numbers[] = {
        {"--copper", &fields.copper, "Copper"},
        {"--lives", &fields.lives, "Lives"},
        {"--played", &fields.played, "Time played"},
        {"--level", &fields.level, "Level"},
        {"--experience", &fields.experience, "Experience"},
        {"--hit-points", &fields.hit_points, "Hit points"},
        {"--kills", &fields.kills, "Kills"},
        {"--alignment", &fields.alignment, "Alignment 0..255"},
        {"--quests", &fields.quests, "Quests done"},
        {"--room", &fields.room, "Room"},
    };
    auto character_options = [&](CLI::App* s) {
        for (const auto& n : numbers) s->add_option(n.flag, *n.target, n.help);
        s->add_option("--gender", fields.gender, "M or F");
        s->add_option("--race", fields.race, "Race");
        s->add_option("--profession", fields.profession, "Profession");
        s->add_option("--guild", fields.guild, "Guild (empty for none)");
        s->add_option("--title", fields.title, "Title");
    };
    character_options(player_add);
    player_add->callback([&] {
        needs = app::admin::Needs::game;
        command = [&](bbs::Host& h) { return app::admin::player_add(h, player_name, fields); };
    });

    auto* player_show = sub(player, "show", "Show a character: copper, lives, time played");
    player_show->add_option("NAME", player_name, "Game name")->required();
    player_show->callback([&] {
        needs = app::admin::Needs::game;
        command = [&](bbs::Host& h) { return app::admin::player_show(h, player_name); };
    });

    auto* player_set = sub(player, "set", "Change a character: only the fields given");
    player_set->add_option("NAME", player_name, "Game name")->required();
    character_options(player_set);
    player_set->callback([&] {
        needs = app::admin::Needs::game;
        command = [&](bbs::Host& h) { return app::admin::player_set(h, player_name, fields); };
    });

    auto* player_list = sub(player, "list",
                            "Every character: name, user-ID, copper, lives, time played, tab-separated");
    player_list->callback([&] {
        needs = app::admin::Needs::game;
        command = [&](bbs::Host& h) { return app::admin::player_list(h); };
    });

    // ---- mail, db --------------------------------------------------------------
    auto* mail = sub(&cli, "mail", "In-game mail");
    mail->require_subcommand(1);
    auto* mail_list = sub(mail, "list", "A user's mail: sender, subject, body (tab-separated)");
    mail_list->add_option("ID", userid, "User-ID")->required();
    mail_list->callback([&] {
        needs = app::admin::Needs::game;
        command = [&](bbs::Host& h) { return app::admin::mail_list(h, userid); };
    });

    auto* db = sub(&cli, "db", "The generic database");
    db->require_subcommand(1);
    auto* db_list = sub(db, "list", "Every record in key order: user-ID and tag");
    db_list->callback([&] { command = [&](bbs::Host& h) { return app::admin::db_list(h); }; });
    std::string fill_prefix, fill_tag = "FILLER";
    int64_t fill_count = 0;
    auto* db_fill = sub(db, "fill", "Insert COUNT bare records PREFIX00001.. (load tests of listings)");
    db_fill->add_option("PREFIX", fill_prefix, "User-ID prefix")->required();
    db_fill->add_option("--count", fill_count, "Number of records")->required();
    db_fill->add_option("--tag", fill_tag, "Tag of the records")->capture_default_str();
    db_fill->callback([&] {
        command = [&](bbs::Host& h) { return app::admin::db_fill(h, fill_prefix, fill_tag, fill_count); };
    });

    // ---- init, backup, restore: on the folder itself ----------------------------
    std::function<int()> folder_command;
    app::admin::InitOptions init_options;
    auto* init = sub(&cli, "init",
                     "Make a data folder without the demo population (or finish one made with "
                     "--no-sysop) and add the first sysop: his user-ID is asked for or read as the "
                     "first line of standard input, his password as for user add");
    init->add_option("--sysop", init_options.sysop, "User-ID of the first sysop");
    init->add_flag("--no-sysop", init_options.no_sysop, "Only the folder; add the first sysop later");
    init->callback([&] {
        folder_command = [&] {
            init_options.config_dir = options.config.empty() ? app::default_config_dir()
                                                             : fs::path(options.config);
            init_options.channels = options.channels;
            return app::admin::init(options.data, init_options);
        };
    });

    std::string backup_file;
    bool replace = false;
    auto* backup = sub(&cli, "backup",
                       "Copy the whole database to FILE (mode 0600) while the host runs, and check "
                       "the copy");
    backup->add_option("FILE", backup_file, "The backup file to write")->required();
    backup->add_flag("--replace", replace, "Write over FILE when it exists");
    backup->callback([&] {
        folder_command = [&] { return app::admin::backup(options.data, backup_file, replace); };
    });

    auto* restore = sub(&cli, "restore",
                        "Replace the database with the backup in FILE, after checking it; only "
                        "while the host is stopped");
    restore->add_option("FILE", backup_file, "The backup file to read")->required();
    restore->callback([&] {
        folder_command = [&] { return app::admin::restore(options.data, backup_file); };
    });

    auto* fingerprint = sub(&cli, "fingerprint",
                            "Print the SSH host key's fingerprint (SHA256, as ssh-keygen -l shows it), "
                            "for users to check on their first logon");
    fingerprint->callback([&] {
        folder_command = [&] {
            std::error_code ec;
            const fs::path key_file = fs::path(options.data) / ssh::HostKey::kFileName;
            if (!fs::exists(key_file, ec)) {
                std::cerr << "bbshost: no SSH host key yet (" << key_file.string()
                          << "); bbshost makes it when it first serves with --ssh-port" << std::endl;
                return static_cast<int>(app::admin::kFailure);
            }
            try {
                const auto key = ssh::HostKey::load_or_create(options.data);
                std::cout << key.public_key().type << " " << key.public_key().fingerprint << std::endl;
            } catch (const std::exception& e) {
                std::cerr << "bbshost: " << e.what() << std::endl;
                return static_cast<int>(app::admin::kFailure);
            }
            return static_cast<int>(app::admin::kOk);
        };
    });

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
    if (folder_command) return folder_command();
    if (command) return app::admin::with_host(options.data, options.channels, needs, command);
    return serve(options);
}
