#include "tests/fuzz/fuzz.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/modules.h"
#include "bbs/accounts.h"

namespace plusfuzz {

namespace {

// The program's scratch folder (its worlds' data folders and files), under /dev/shm if there is one.
std::filesystem::path scratch;

void remove_scratch() {
    std::error_code ec;
    if (!scratch.empty()) std::filesystem::remove_all(scratch, ec);
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
    remove_scratch();
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

const std::vector<testing_support::UserSpec>& people() {
    struct Row { const char *userid, *player, *class_name; int64_t credits; uint16_t days; int32_t copper, lives; };
    static const Row rows[] = {  // the class Sysop's people hold the key SYSOP
        {"Sysop", "", "Sysop", 100000, 30, 0, 0},   {"Alice", "Alia", "Member", 1000000, 300, 500000, 3},
        {"Bob", "Bobo", "Member", 150, 6, 40, 8},   {"Carol", "Cara", "Guest", 5000, 20, 5000, 1},
        {"Dave", "", "Member", 5000, 20, 0, 0},     {"Erin", "Eris", "Sysop", 5000, 10, 900, 9},
    };
    static const std::vector<testing_support::UserSpec> list = [] {
        std::vector<testing_support::UserSpec> out;
        for (int i = 1; const Row& r : rows) {  // the characters told apart by their place in the list
            testing_support::UserSpec u;
            u.userid = r.userid, u.player_name = r.player, u.class_name = r.class_name, u.credits = r.credits;
            u.days = r.days, u.copper = r.copper, u.lives = r.lives;
            if (u.class_name == "Sysop") u.keys = {"SYSOP"};
            u.race = i % 2 ? "Elf" : "Human", u.guild = i % 3 == 0 ? "Wardens" : "", u.gender = i % 2 ? 'M' : 'F';
            u.level = 3 + i, u.experience = 1200 * i, u.time_played = 2500u * static_cast<uint32_t>(++i);
            out.push_back(u);
        }
        return out;
    }();
    return list;
}

testing_support::World& started(testing_support::World& world, int channels) {
    world.no_default_population();
    world.add_class("Member", 365), world.add_class("Sysop", -1);
    for (const auto& p : people()) world.add_user(p);
    world.channels = channels;
    if (!world.start()) fail("the host did not start: " + world.stop_reason());
    return world;
}

}  // namespace plusfuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plusfuzz::fuzz_one(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}

// Every failure of the tests' World a finding, the program's folders in one
// scratch folder, cheap password hashes, and the libraries loaded once.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    testing_support::on_failure = plusfuzz::fail;
    std::error_code ec;
    const bool shm = std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0;
    const auto base = shm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path(ec);
    std::string name = (base / "plus-fuzz-XXXXXX").string();
    if (!mkdtemp(name.data())) plusfuzz::fail("cannot make a folder like " + name);
    plusfuzz::scratch = name;
    std::atexit(plusfuzz::remove_scratch);
    setenv("TMPDIR", name.c_str(), 1);
    bbs::set_password_cost_for_tests(bbs::PasswordCost::minimum);
    for (const char* lib : {"libqrtbrak.so", "libqrtbkpls.so"}) {
        const auto path = app::program_dir() / lib;
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
            const char* why = dlerror();
            plusfuzz::fail("cannot load " + path.string() + ": " + (why ? why : "unknown error"));
        }
    }
    return 0;
}
