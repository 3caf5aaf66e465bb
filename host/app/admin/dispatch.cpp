#include "app/admin/dispatch.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <system_error>

#include <CLI/CLI.hpp>

#include "app/data_folder.h"
#include "app/modules.h"
#include "bbs/host.h"

namespace app::admin {

namespace fs = std::filesystem;

namespace {

// Every noun, in the order --help lists them.
const Noun* const kNouns[] = {&kUser, &kKey,    &kBan,    &kClass,   &kPlayer,     &kMail,
                              &kDb,   &kInit,   &kBackup, &kRestore, &kFingerprint};

CLI::App* subcommand(CLI::App& parent, std::string_view name, std::string_view help) {
    auto* s = parent.add_subcommand(std::string(name), std::string(help));
    s->fallthrough();
    return s;
}

}  // namespace

struct Dispatcher::Row {
    const Command* command;
    CLI::App* app;   // its subcommand
    Arguments args;
};

Dispatcher::Dispatcher(CLI::App& cli) {
    for (const Noun* noun : kNouns) {
        const bool own = noun->commands.size() == 1 && noun->commands.front().verb.empty();
        CLI::App* noun_app = subcommand(cli, noun->name, own ? noun->commands.front().help : noun->help);
        if (!own) noun_app->require_subcommand(1);
        for (const Command& command : noun->commands) {
            CLI::App* app = own ? noun_app : subcommand(*noun_app, command.verb, command.help);
            rows_.push_back(std::make_unique<Row>(Row{&command, app, {}}));
            rows_.back()->args.declare(*app, command.options);
        }
    }
}

Dispatcher::~Dispatcher() = default;

bool Dispatcher::chosen() const {
    return std::any_of(rows_.begin(), rows_.end(), [](const auto& row) { return row->app->parsed(); });
}

int Dispatcher::run(const Folder& folder) const {
    const auto row = std::find_if(rows_.begin(), rows_.end(), [](const auto& r) { return r->app->parsed(); });
    const Command& command = *(*row)->command;
    const Arguments& args = (*row)->args;
    if (command.needs == Needs::folder) return command.run(Call(args, folder, nullptr));
    return with_host(folder.data, folder.channels, command.needs,
                     [&](bbs::Host& host) { return command.run(Call(args, folder, &host)); });
}

bool run_as_folder_owner(const fs::path& data_dir, std::string* error) {
    struct stat folder {};
    if (::geteuid() != 0 || ::stat(data_dir.c_str(), &folder) != 0 || folder.st_uid == 0) return true;
    const passwd* owner = ::getpwuid(folder.st_uid);
    const std::string name = owner ? owner->pw_name : std::to_string(folder.st_uid);
    *error = "data folder " + data_dir.string() + " belongs to " + name + ": run bbshost as " + name +
             " (runuser -u " + name + " -- bbshost ...), not as root";
    return false;
}

int with_host(const fs::path& data_dir, int channels, Needs needs,
              const std::function<int(bbs::Host&)>& work) {
    std::error_code ec;
    if (!fs::is_directory(data_dir, ec))
        return bad("data folder " + data_dir.string() + " does not exist");
    bbs::HostOptions options;
    options.data_dir = fs::absolute(data_dir, ec);
    options.channels = channels;
    // An admin command has time: it waits for a host call that holds the
    // database rather than fail.
    options.busy_timeout = std::chrono::seconds(5);
    std::string error;
    if (!secure_data_folder(options.data_dir, &error)) std::cerr << "bbshost: warning: " << error << std::endl;
    auto host = bbs::Host::open(options, &error);
    if (!host) return failed("cannot open data folder " + data_dir.string() + ": " + error);
    if (needs == Needs::game && !load_game(*host, &error)) return failed(error);
    if (needs == Needs::modules && !load_modules(*host, &error)) return failed(error);
    return work(*host);
}

}  // namespace app::admin
