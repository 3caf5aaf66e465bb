#include "tests/fuzz/fuzz_world.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "bbs/accounts.h"
#include "bbs/database.h"

namespace plusfuzz {

namespace {

const char kPassword[] = "secret";

// Scratch folders that still exist: removed at exit, and by fail() before
// it aborts, so that findings leave nothing behind in /dev/shm.
std::vector<std::filesystem::path>& scratch_dirs() {
    static std::vector<std::filesystem::path> dirs;
    return dirs;
}

void remove_scratch_dirs() {
    std::error_code ec;
    for (const auto& dir : scratch_dirs()) std::filesystem::remove_all(dir, ec);
    scratch_dirs().clear();
}

void forget_scratch_dir(const std::filesystem::path& dir) {
    auto& dirs = scratch_dirs();
    for (auto it = dirs.begin(); it != dirs.end(); ++it) {
        if (*it == dir) {
            dirs.erase(it);
            return;
        }
    }
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

void write_file(const std::filesystem::path& file, std::string_view text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) fail("cannot write " + file.string());
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

void keep_libraries_loaded() {
    static bool done = false;
    if (done) return;
    done = true;
    setenv("BBS_FAST_HASH", "1", 1);  // cheap password hashes: accounts are made per input
    for (const char* name : {"libqrtbrak.so", "libqrtbkpls.so"}) {
        std::string path = std::string(PLUS_BIN_DIR) + "/" + name;
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
            const char* why = dlerror();
            fail("cannot load " + path + ": " + (why ? why : "unknown error"));
        }
    }
}

namespace {

PublicUserInfo make_player(const Person& p, int index) {
    PublicUserInfo info{};
    std::strncpy(info.userid, p.userid, sizeof info.userid - 1);
    std::strncpy(info.name, p.player, sizeof info.name - 1);
    std::strncpy(info.race, index % 2 ? "Elf" : "Human", sizeof info.race - 1);
    std::strncpy(info.profession, "Fighter", sizeof info.profession - 1);
    if (index % 3 == 0) std::strncpy(info.guild, "Wardens", sizeof info.guild - 1);
    std::strncpy(info.title, "the Wanderer", sizeof info.title - 1);
    info.level = 3 + index;
    info.experience = 1200 * index;
    info.hit_points = 30;
    info.kills = 7;
    info.gender = index % 2 ? 'M' : 'F';
    info.quests = 2;
    info.time_played = 2500u * static_cast<uint32_t>(index + 1);
    info.lives = p.lives;
    info.copper = p.copper;
    return info;
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

std::filesystem::path make_scratch_dir(const char* prefix) {
    std::error_code ec;
    std::string base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ec) || access(base.c_str(), W_OK) != 0)
        base = std::filesystem::temp_directory_path(ec).string();
    std::string pattern = base + "/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) fail("cannot make a folder like " + pattern);
    scratch_dirs().emplace_back(name.data());
    // Registered after the list exists, so that it runs before the list goes.
    static bool cleanup = std::atexit(remove_scratch_dirs) == 0;
    (void)cleanup;
    return scratch_dirs().back();
}

FuzzWorld::FuzzWorld(int channels) {
    keep_libraries_loaded();
    dir_ = make_scratch_dir("plus-fuzz");
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(PLUS_CONFIG_DIR, ec)) {
        std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || same_ignoring_case(ext, ".MCV")) continue;
        std::filesystem::copy_file(entry.path(), dir_ / entry.path().filename(), ec);
        if (ec) fail("cannot copy " + entry.path().string() + ": " + ec.message());
    }
    if (ec) fail(std::string("cannot read ") + PLUS_CONFIG_DIR + ": " + ec.message());

    bbs::HostOptions options;
    options.data_dir = dir_;
    options.channels = channels;
    std::string error;
    host_ = bbs::Host::open(options, &error);
    if (!host_) fail("cannot open the host: " + error);

    if (!host_->database().put_class("Member", 365, &error) ||
        !host_->database().put_class("Sysop", -1, &error))
        fail("cannot store a class: " + error);
    for (const Person& p : people()) {
        bbs::AccountInfo a;
        a.userid = p.userid;
        a.class_name = p.class_name;
        a.credits = p.credits;
        a.days = p.days;
        if (p.sysop) a.keys = {"SYSOP"};
        if (!host_->accounts().add(a, kPassword, &error)) fail("cannot add account " + a.userid + ": " + error);
    }

    std::filesystem::path bin(PLUS_BIN_DIR);
    if (!host_->load_module(bin / "libqrtbrak.so", "init__qrtbrak", &error)) fail("the game did not start: " + error);
    game_module_ = host_->module_count() - 1;
    int index = 0;
    for (const Person& p : people()) {
        ++index;
        if (p.player[0] == '\0') continue;
        if (!game().add_player(make_player(p, index), &error)) fail(std::string("cannot add player ") + p.player + ": " + error);
    }
    if (!host_->load_module(bin / "libqrtbkpls.so", "init__qrtbkpls", &error))
        fail("Brakvold Plus did not start: " + error);
    plus_module_ = host_->module_count() - 1;
    if (host_->stopped()) fail("the host stopped at start-up: " + host_->stop_reason());
}

FuzzWorld::~FuzzWorld() {
    host_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    forget_scratch_dir(dir_);
}

game::Game& FuzzWorld::game() {
    game::Game* g = game::Game::instance();
    if (!g) fail("the game is not running");
    return *g;
}

void FuzzWorld::set_options(const std::vector<std::pair<std::string, std::string>>& values) {
    const std::filesystem::path source = dir_ / "QRTBKPLS.MSG";
    bbs::MessageTable table;
    bbs::SourceError error;
    if (!bbs::parse_message_source(read_file(source), "QRTBKPLS.MSG", &table, &error))
        fail("the message source in the data folder does not parse: " + error.describe());
    for (const auto& [name, text] : values) {
        bool found = false;
        for (auto& entry : table.entries) {
            if (same_ignoring_case(entry.name, name)) {
                entry.text = text;
                found = true;
            }
        }
        if (!found) fail("QRTBKPLS.MSG has no entry " + name);
    }
    write_file(source, message_source_text(table));
}

void FuzzWorld::write_ini(const char* purchase_mail_userid, const char* send_email_for_purchases) {
    std::string ini = "[Brakvold]\n";
    if (purchase_mail_userid) ini += std::string("PLUS_PURCHASE_EMAIL_USERID=") + purchase_mail_userid + "\n";
    if (send_email_for_purchases) ini += std::string("SEND_EMAIL_FOR_PURCHASES=") + send_email_for_purchases + "\n";
    write_file(dir_ / "brakvold.ini", ini);
}

std::string message_source_text(const bbs::MessageTable& table) {
    std::string out;
    for (const auto& entry : table.entries) {
        if (std::string kind = entry.kind.text(); !kind.empty()) out += "#: " + kind + "\n";
        out += std::to_string(entry.number);
        out += ' ';
        out += entry.name;
        out += " {";
        for (char c : entry.text) {
            auto byte = static_cast<unsigned char>(c);
            switch (c) {
            case '\\': out += "\\\\"; break;
            case '{': out += "\\{"; break;
            case '}': out += "\\}"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\x1b': out += "\\e"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                    out += hex;
                } else {
                    out += c;
                }
            }
        }
        out += "}\n";
    }
    return out;
}

std::string shown(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

}  // namespace plusfuzz
