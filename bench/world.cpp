#include "bench/world.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#include "app/modules.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "bench/fixture.h"
#include "platform/host.h"

namespace plus_bench {

namespace fs = std::filesystem;

std::vector<app::Account> numbered_users(const std::string& prefix, const std::string& player_prefix,
                                         int count) {
    std::vector<app::Account> users;
    for (int i = 1; i <= count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%03d", i);
        users.push_back({.userid = prefix + number, .password = "bench", .credits = 1000000, .days = 365,
                         .player_name = player_prefix + number, .profession = "Ranger",
                         .guild = "Wardens", .title = "the Tireless", .level = 5, .experience = 9000,
                         .hit_points = 50, .kills = 12, .quests = 3, .time_played = 20000,
                         .copper = 100000});
    }
    return users;
}

bool make_data_folder(const fs::path& dir, int channels, const std::vector<app::Account>& users,
                      size_t generated, std::string* error) {
    app::Population people = app::demo_population();
    people.name = "the demo population and the benchmark's users";
    people.accounts.insert(people.accounts.end(), users.begin(), users.end());
    people.records = generated_records(generated);
    return app::create_data_folder(dir, app::default_config_dir(), channels, people, error);
}

const std::vector<app::Account>& load_users(int users) {
    static std::map<int, std::vector<app::Account>> lists;
    auto& list = lists[users];
    if (list.empty()) list = numbered_users("Load", "Hero", users);
    return list;
}

const fs::path& load_folder(size_t generated, int users) {
    static std::map<std::pair<size_t, int>, fs::path> folders;
    auto it = folders.find({generated, users});
    if (it != folders.end()) return it->second;
    const fs::path dir = bench_dir() / ("load-" + std::to_string(generated) +
                                        (users == kLoadUsers ? "" : "-" + std::to_string(users)));
    std::string error;
    std::fprintf(stderr, "plus_bench: making %s (%zu generated records)\n", dir.c_str(), generated);
    if (!make_data_folder(dir, users, load_users(users), generated, &error)) {
        std::fprintf(stderr, "plus_bench: cannot make the data folder %s: %s\n", dir.c_str(),
                     error.c_str());
        std::exit(1);
    }
    return folders[{generated, users}] = dir;
}

// ---- the in-process world ---------------------------------------------------

namespace {

// The bench's bare module: takes a line and sends a fixed reply of the size
// of a menu screen, and nothing else. What any line costs the host itself.
const char kBareReply[] =
    "\x1b[1;36mA fixed reply\x1b[0m\r\r"
    "This is the text every line gets in the bare module: the host takes the\r"
    "line, parses it into words, offers it to the global commands, calls the\r"
    "module's input routine, and sends this one reply of about the size of a\r"
    "menu screen.\r"
    "\x1b[1;32mBare \x1b[0;32mchoice:\x1b[0m ";

int16_t bare_input(void) {
    prf("%s", kBareReply);
    outprf(usrnum);
    return 1;
}

ModuleDescriptor bare_descriptor = {"Bench bare reply", nullptr, bare_input, nullptr, nullptr,
                                    nullptr,            nullptr, nullptr,    nullptr, nullptr};

constexpr int kChannels = 16;
const std::vector<app::Account>& world_users() {
    static const std::vector<app::Account> users = numbered_users("Bench", "Benchy", 8);
    return users;
}

// Which of the world's users plays a role (user 5, index 4, is the one
// the lookups look up).
size_t user_of(World::Role role) {
    switch (role) {
        case World::Role::Bare: return 0;
        case World::Role::MainMenu: return 1;
        case World::Role::Description: return 2;
        case World::Role::RegistryEdit: return 3;
        case World::Role::Lookup: return 5;
        case World::Role::Purchase: return 6;
    }
    return 7;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "plus_bench: in-process host: %s\n", what.c_str());
    std::exit(1);
}

std::string type_on(bbs::Host& host, testing_support::CapturingFrontEnd& front, int channel, std::string_view line) {
    host.line(channel, line);
    host.deliver_all();
    return front.take_output(channel);
}

}  // namespace

struct World::Impl {
    testing_support::CapturingFrontEnd front;  // outlives the host, which delivers as it closes
    std::unique_ptr<bbs::Host> host;
    int bare_module = -1;
    std::map<Role, int> channels;
};

World::World() : impl_(std::make_unique<Impl>()) {
    // Made the first time; opened again whenever the world comes back.
    const fs::path dir = bench_dir() / "world";
    static bool made = false;
    std::string error;
    if (!made && !make_data_folder(dir, kChannels, world_users(), 0, &error)) fail(error);
    impl_->host = app::open_host(dir, kChannels, &error);
    if (!impl_->host) fail(error);
    impl_->host->set_front_end(&impl_->front);
    impl_->bare_module = register_module(&bare_descriptor);
    if (impl_->bare_module < 0) fail("cannot register the bare module");
    if (made) return;
    made = true;

    // The player the lookups look up has a registry of three lines.
    bbs::Host& h = *impl_->host;
    const int ch = h.logon(world_users()[4].userid);
    if (ch < 0) fail("cannot log on " + world_users()[4].userid);
    for (const char* line : {"ext", "*", "r", "e", "1", "Robin Greenwood", "2",
                             "The old mill by the river", "9", "Fortune favours the bold", "x"})
        type(ch, line);
    h.hangup(ch);
}

World::~World() = default;

bbs::Host& World::host() { return *impl_->host; }

void World::rebind() { bbs::bind_database(&impl_->host->database()); }

std::string World::type(int channel, std::string_view line) {
    return type_on(*impl_->host, impl_->front, channel, line);
}

std::string World::output(int channel) { return impl_->front.take_output(channel); }

int World::channel(Role role) {
    auto it = impl_->channels.find(role);
    if (it != impl_->channels.end()) return it->second;
    const std::string& userid = world_users()[user_of(role)].userid;
    rebind();
    const int ch = impl_->host->logon(userid);
    if (ch < 0) fail("cannot log on " + userid);
    output(ch);
    prepare(role, ch);
    impl_->channels[role] = ch;
    return ch;
}

void World::prepare(Role role, int ch) {
    bbs::Host& h = *impl_->host;
    if (role == Role::Bare) {
        HostUser* user = usroff(ch);
        user->state = impl_->bare_module;
        user->substate = 0;
        return;
    }
    type(ch, "ext");
    if (type(ch, "*").find("choice:") == std::string::npos) fail("no main menu after ext and *");
    switch (role) {
        case Role::MainMenu:
            break;
        case Role::Description:
            type(ch, "d");
            type(ch, "d");
            type(ch, "yes");
            if (!h.in_editor(ch)) fail("the description editor did not open");
            h.editor_save(ch, kDescription);
            h.deliver_all();
            if (output(ch).find(kDescription) == std::string::npos)
                fail("the saved description is not shown");
            break;
        case Role::RegistryEdit:
            type(ch, "r");
            type(ch, "e");
            break;
        case Role::Lookup:
            type(ch, "r");
            type(ch, "l");
            break;
        case Role::Purchase:
            type(ch, "d");
            break;
        case Role::Bare:
            break;
    }
}

// ---- the listing host ---------------------------------------------------------

ListingHost::ListingHost(size_t records) : records_(records) {
    const fs::path& dir = load_folder(records);
    std::string error;
    host_ = app::open_host(dir, kLoadUsers, &error);
    if (!host_) fail(error);
    host_->set_front_end(&front_);
    const std::string& userid = load_users().front().userid;
    channel_ = host_->logon(userid);
    if (channel_ < 0) fail("cannot log on " + userid);
    std::string reply;
    for (const char* line : {"ext", "*", "r"}) reply += type_on(*host_, front_, channel_, line);
    if (reply.find("Registry \x1b[0;32mchoice:") == std::string::npos)
        fail(userid + " did not reach the registry menu");
}

ListingHost::~ListingHost() = default;

bbs::Host& ListingHost::host() { return *host_; }

namespace {
std::unique_ptr<World> g_world;
std::unique_ptr<ListingHost> g_listing;
}  // namespace

World& world() {
    g_listing.reset();
    if (!g_world) g_world = std::make_unique<World>();
    return *g_world;
}

ListingHost& listing_host(size_t records) {
    g_world.reset();
    if (g_listing && g_listing->records() != records) g_listing.reset();
    if (!g_listing) g_listing = std::make_unique<ListingHost>(records);
    return *g_listing;
}

void close_hosts() {
    g_world.reset();
    g_listing.reset();
}

}  // namespace plus_bench
