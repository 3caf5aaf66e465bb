// The admin commands on bbshost's command line: one subcommand for every
// row of the nouns' tables (admin.h), and the run of the one chosen.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/admin/admin.h"

namespace app::admin {

class Dispatcher {
public:
    // Adds a subcommand to `cli` for every noun and every row of its table,
    // in the order of the tables. REQUIRES: `cli` outlives the dispatcher.
    explicit Dispatcher(CLI::App& cli);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // After `cli` parsed a command line: whether it named a command.
    bool chosen() const;
    // Loads what the chosen row needs on `folder` and runs its routine; its
    // exit status. REQUIRES: chosen().
    int run(const Folder& folder) const;

private:
    struct Row;
    std::vector<std::unique_ptr<Row>> rows_;
};

// Refuses root on a data folder that belongs to somebody else (the
// service's own user): what root made in it (a log, a compiled message
// file) would be out of that user's reach. False with *error naming whom
// to run as; true for a missing folder.
bool run_as_folder_owner(const std::filesystem::path& data_dir, std::string* error);

// Opens the host on an existing data folder, loads what `needs` says, runs
// `work`, closes everything. A missing data folder is bad input.
// REQUIRES: needs is not Needs::folder.
int with_host(const std::filesystem::path& data_dir, int channels, Needs needs,
              const std::function<int(bbs::Host&)>& work);

}  // namespace app::admin
