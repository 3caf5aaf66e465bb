#include "tests/fuzz/fuzz_world.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "app/modules.h"
#include "app/population.h"
#include "tests/support/data_files.h"

namespace plusfuzz {

namespace {

// Scratch folders that still exist: removed at exit and by fail().
std::vector<std::filesystem::path>& scratch_dirs() {
    static std::vector<std::filesystem::path> dirs;
    return dirs;
}

void remove_scratch_dirs() {
    std::error_code ec;
    for (const auto& dir : scratch_dirs()) std::filesystem::remove_all(dir, ec);
    scratch_dirs().clear();
}

// People as accounts, their characters told apart by where they stand.
app::Population population() {
    app::Population p;
    p.classes = {{"Member", 365}, {"Sysop", -1}};
    int i = 0;
    for (const Person& person : people()) {
        ++i;
        app::Account a{.userid = person.userid, .class_name = person.class_name, .credits = person.credits,
                       .days = person.days};
        if (person.sysop) a.keys = {"SYSOP"};
        a.player_name = person.player;
        a.race = i % 2 ? "Elf" : "Human", a.profession = "Fighter", a.guild = i % 3 == 0 ? "Wardens" : "";
        a.title = "the Wanderer", a.level = 3 + i, a.experience = 1200 * i, a.hit_points = 30, a.kills = 7;
        a.alignment = 0, a.room = 0, a.gender = i % 2 ? 'M' : 'F', a.quests = 2;
        a.time_played = 2500u * static_cast<uint32_t>(i + 1), a.lives = person.lives, a.copper = person.copper;
        p.accounts.push_back(a);
    }
    return p;
}

}  // namespace

std::string& fail_context() {
    static std::string context;
    return context;
}

void fail(const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz finding: %s\n", what.c_str());
    if (!fail_context().empty()) std::fprintf(stderr, "*** %s\n", fail_context().c_str());
    std::fflush(stderr);
    remove_scratch_dirs();
    std::abort();
}

std::vector<std::string_view> cut(std::string_view bytes, uint8_t seed, size_t longest) {
    std::vector<std::string_view> out;
    uint32_t state = seed * 2654435761u + 1;
    while (!bytes.empty()) {
        state = state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(1 + (state >> 16) % longest, bytes.size());
        out.push_back(bytes.substr(0, n));
        bytes.remove_prefix(n);
    }
    return out;
}

std::filesystem::path make_scratch_dir(const char* prefix) {
    std::error_code ec;
    std::string base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ec) || access(base.c_str(), W_OK) != 0)
        base = std::filesystem::temp_directory_path(ec).string();
    std::string name = base + "/" + prefix + "-XXXXXX";
    if (!mkdtemp(name.data())) fail("cannot make a folder like " + name);
    scratch_dirs().emplace_back(name);
    // Registered after the list exists, so that it runs before the list goes.
    static bool cleanup = std::atexit(remove_scratch_dirs) == 0;
    (void)cleanup;
    return scratch_dirs().back();
}

const std::vector<Person>& people() {
    static const std::vector<Person> list = {
        {"Sysop", "", "Sysop", 100000, 30, true, 0, 0},
        {"Alice", "Alia", "Member", 1000000, 300, false, 500000, 3},
        {"Bob", "Bobo", "Member", 150, 6, false, 40, 8},
        {"Carol", "Cara", "Guest", 5000, 20, false, 5000, 1},
        {"Dave", "", "Member", 5000, 20, false, 0, 0},
        {"Erin", "Eris", "Sysop", 5000, 10, true, 900, 9},
    };
    return list;
}

FuzzWorld::FuzzWorld(int channels) : scratch_(make_scratch_dir("plus-fuzz")), dir_(scratch_ / "data") {
    std::string error;
    if (!app::copy_config(dir_, PLUS_CONFIG_DIR, &error)) fail(error);
    host_ = app::open_populated(dir_, channels, population(), &error);
    if (!host_) fail("the host did not start: " + error);
    game_module_ = host_->find_module("Brakvold");
    plus_module_ = host_->find_module("Brakvold Plus");
    if (host_->stopped()) fail("the host stopped at start-up: " + host_->stop_reason());
}

FuzzWorld::~FuzzWorld() {
    host_.reset();
    std::error_code ec;
    std::filesystem::remove_all(scratch_, ec);
    std::erase(scratch_dirs(), scratch_);
}

game::Game& FuzzWorld::game() {
    game::Game* g = game::Game::instance();
    if (!g) fail("the game is not running");
    return *g;
}

void FuzzWorld::set_options(const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, text] : values)
        if (!testing_support::set_message_entry(dir_ / "QRTBKPLS.MSG", name, testing_support::message_escaped(text)))
            fail("cannot set " + name + " in QRTBKPLS.MSG");
}

void FuzzWorld::write_ini(const char* purchase_mail_userid, const char* send_email_for_purchases) {
    const auto ini = dir_ / "brakvold.ini";
    for (auto [key, value] : {std::pair{"PLUS_PURCHASE_EMAIL_USERID", purchase_mail_userid},
                              {"SEND_EMAIL_FOR_PURCHASES", send_email_for_purchases}})
        if (!(value ? testing_support::set_ini_key(ini, key, value) : testing_support::remove_ini_key(ini, key)))
            fail("cannot write " + ini.string());
}

}  // namespace plusfuzz

// Cheap password hashes (accounts are made per input), and the libraries
// loaded for the whole program.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("BBS_FAST_HASH", "1", 1);
    for (const char* name : {"libqrtbrak.so", "libqrtbkpls.so"}) {
        const auto path = app::program_dir() / name;
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
            const char* why = dlerror();
            plusfuzz::fail("cannot load " + path.string() + ": " + (why ? why : "unknown error"));
        }
    }
    return 0;
}
