// Data folders for the benchmarks, made the way bbshost makes them, and the
// in-process host (game and module loaded, users logged on) that the menu
// and listing groups drive line by line.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/population.h"
#include "tests/support/capturing_front_end.h"

namespace bbs {
class Host;
}

namespace plus_bench {

// `count` accounts "<prefix>001".. (class Member, a million credits, 365
// days, password "bench") playing "<player_prefix>001".. (human rangers
// with 100000 copper).
std::vector<app::Account> numbered_users(const std::string& prefix, const std::string& player_prefix,
                                         int count);

// A fresh data folder made by bbshost's builder (dir must not exist): the
// config sources, the demo population, the users, and the records
// 0..generated-1 of bench/fixture.h in the generic database. Passwords are
// hashed with the host's cheap test limits (set for the whole run).
bool make_data_folder(const std::filesystem::path& dir, int channels,
                      const std::vector<app::Account>& users, size_t generated, std::string* error);

// The data folder of the telnet and start-up groups: the users of the load
// clients ("Load001".., characters "Hero001"..; `users` of them, as many
// channels) and `generated` records of the fixture pattern; made on first
// use (with the world closed), kept for the run. The first kLoadUsers users
// are the same whatever their number.
constexpr int kLoadUsers = 256;
const std::vector<app::Account>& load_users(int users = kLoadUsers);
const std::filesystem::path& load_folder(size_t generated, int users = kLoadUsers);

// The in-process host of the menu and listing groups. Each role (a path a
// benchmark drives) has a user of its own, logged on and brought to his
// place in the menus the first time the role is asked for.
class World {
public:
    enum class Role {
        Bare,         // in the bench's bare-reply module
        MainMenu,     // the module's main menu
        Description,  // the description screen, with a stored description
        RegistryEdit, // the registry editor, choosing a field
        Lookup,       // the player lookup prompt
        Purchase,     // the description menu, buying descriptions again and again
    };

    World();
    ~World();
    bbs::Host& host();
    int channel(Role role);
    // Types a line, delivers every status it caused; what the channel got.
    std::string type(int channel, std::string_view line);
    // What the channel got since the last take.
    std::string output(int channel);
    // genbb back to the host's own database (benchmarks rebind it).
    void rebind();

    // The player whose registry the lookups show, and the text of the
    // description the description screen shows.
    static constexpr const char* kLookupTarget = "Benchy005";
    static constexpr const char* kDescription =
        "A weathered ranger in a long green cloak, a bow across his back and mud on his boots.";

private:
    void prepare(Role role, int channel);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The in-process host of the listing group, on load_folder(records): its
// generic database holds the records, and user Load001 is logged on and in
// the registry menu, where listings start.
class ListingHost {
public:
    explicit ListingHost(size_t records);
    ~ListingHost();
    bbs::Host& host();
    int channel() const { return channel_; }
    size_t records() const { return records_; }
    std::string output() { return front_.take_output(channel_); }  // since the last take

private:
    testing_support::CapturingFrontEnd front_;  // outlives the host, which delivers as it closes
    std::unique_ptr<bbs::Host> host_;
    int channel_ = -1;
    size_t records_;
};

// One in-process host is open at a time: asking for one closes the other.
World& world();
ListingHost& listing_host(size_t records);
void close_hosts();  // before the after-runs work opens hosts of its own

}  // namespace plus_bench
