#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <system_error>
#include <tuple>

#include "app/modules.h"
#include "bbs/accounts.h"
#include "tests/support/data_files.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace testing_support {

namespace {

void failed(const std::string& what) {
    if (on_failure) on_failure(what);
    else ADD_FAILURE() << what;
}

} // namespace

UserSpec::UserSpec() {
    credits = 10000, days = 30, profession = "Fighter", title = "the Wanderer", level = 3, experience = 1200;
    hit_points = 30, kills = 7, quests = 2, time_played = 2500, copper = 5000, alignment = 0, room = 0;
}

struct World::Impl {
    std::filesystem::path root, dir;
    CapturingFrontEnd front; // outlives the host, which delivers as it closes
    std::unique_ptr<bbs::Host> host;
    app::Population people;
    bool default_population = true;
    std::string stop_reason;

    std::filesystem::path file(std::string_view name) const { return dir / std::string(name); }
};

World::World() : impl_(std::make_unique<Impl>()) {
    bbs::set_password_cost_for_tests(bbs::PasswordCost::minimum);
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "plus-world-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        failed("cannot make a folder like " + pattern);
        return;
    }
    impl_->root = pattern;
    impl_->dir = impl_->root / "data";
    std::string error;
    if (!app::copy_config(impl_->dir, PLUS_CONFIG_DIR, &error)) failed(error);
}

World::~World() {
    impl_->host.reset();
    std::error_code ec;
    if (!impl_->root.empty()) std::filesystem::remove_all(impl_->root, ec);
}

void World::set_option(std::string_view name, std::string_view value) {
    if (!set_message_entry(impl_->file("QRTBKPLS.MSG"), name, value))
        failed("QRTBKPLS.MSG has no entry " + std::string(name));
}

void World::set_ini(std::string_view key, std::string_view value) {
    if (!set_ini_key(impl_->file("brakvold.ini"), key, value)) failed("cannot write brakvold.ini");
}

void World::remove_ini(std::string_view key) {
    if (!remove_ini_key(impl_->file("brakvold.ini"), key)) failed("cannot write brakvold.ini");
}

void World::write_tcplibm(std::optional<std::string> subbbs) {
    std::string text = "# front end settings\n1 PORTNUM {23}\n";
    if (subbbs) text += "2 SUBBBS {" + *subbbs + "}\n";
    write_file(impl_->file("tcplibm.msg"), text);
}

void World::remove_message_file() {
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(impl_->dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (text::equal_ignoring_case(name, "QRTBKPLS.MSG") || text::equal_ignoring_case(name, "QRTBKPLS.MCV"))
            std::filesystem::remove(entry.path(), ec);
    }
}

void World::add_class(std::string_view name, int16_t days) {
    impl_->people.classes.push_back({std::string(name), days});
}

void World::add_user(const UserSpec& user) { impl_->people.accounts.push_back(user); }

void World::no_default_population() { impl_->default_population = false; }

bool World::start() {
    if (impl_->host) return failed("World::start called twice"), false;
    app::Population people;
    if (impl_->default_population) {
        people.classes = {{"Member", 365}, {"Sysop", -1}};
        for (auto [userid, name, gender] :
             {std::tuple{"Sysop", "", 'M'}, {"Alice", "Alia", 'F'}, {"Bob", "Bobo", 'M'}, {"Carol", "Cara", 'F'}}) {
            UserSpec u;
            u.userid = userid, u.player_name = name, u.gender = gender;
            if (u.userid == "Sysop") u.class_name = "Sysop", u.keys = {"SYSOP"};
            people.accounts.push_back(u);
        }
    }
    people.classes.insert(people.classes.end(), impl_->people.classes.begin(), impl_->people.classes.end());
    people.accounts.insert(people.accounts.end(), impl_->people.accounts.begin(), impl_->people.accounts.end());

    bbs::HostOptions options;
    options.data_dir = impl_->dir, options.channels = channels;
    std::string error;
    impl_->host = bbs::Host::open(options, &error);
    if (!impl_->host) failed("cannot open the host: " + error);
    else impl_->host->set_front_end(&impl_->front);
    // The characters are there before Brakvold Plus starts, as on a host that has been running.
    if (!impl_->host || !app::load_game(*impl_->host, &error)) return impl_->stop_reason = error, false;
    bbs::Host& h = *impl_->host;
    if (!app::populate(h, people, &error)) failed(error);
    if (game_refuses_addon) game().failures().register_addon = true;
    if (!h.load_module(app::program_dir() / "libqrtbkpls.so", "init__qrtbkpls", &error)) {
        impl_->stop_reason = h.stopped() ? h.stop_reason() : error;
        return false;
    }
    return !h.stopped();
}

bbs::Host& World::host() { return *impl_->host; }

CapturingFrontEnd& World::front_end() { return impl_->front; }

game::Game& World::game() { return *game::Game::instance(); }

std::string World::stop_reason() const {
    if (impl_->host && impl_->host->stopped()) return impl_->host->stop_reason();
    return impl_->stop_reason;
}

const std::filesystem::path& World::dir() const { return impl_->dir; }

int World::login(std::string_view userid) {
    const int ch = host().logon(userid);
    if (ch < 0) return failed("cannot log on " + std::string(userid)), ch;
    host().deliver_all();
    output(ch);
    return ch;
}

std::string World::type(int channel, std::string_view line) {
    host().line(channel, line);
    host().deliver_all();
    return output(channel);
}

std::string World::type_only(int channel, std::string_view line) {
    host().line(channel, line);
    return output(channel);
}

std::string World::enter(int channel) { return type(channel, "ext"), type(channel, "*"); }

std::string World::output(int channel) { return impl_->front.take_output(channel); }

void World::deliver_all() { host().deliver_all(); }

std::string World::host_log() const { return read_file(impl_->file("bbshost.log")); }

std::string World::game_log() const {
    if (game::Game* g = game::Game::instance()) return g->read_log();
    return read_file(impl_->file("brakvold.log"));
}

std::vector<game::Mail> World::mail_for(std::string_view userid) { return game().mail_for(userid); }

std::optional<bbs::AccountInfo> World::account(std::string_view userid) { return host().accounts().find(userid); }

std::optional<PublicUserInfo> World::player(std::string_view name) { return game().player(name); }

std::vector<bbs::Database::Entry> World::records() { return host().database().generic_entries(); }

HostUser* World::user(int channel) { return usroff(channel); }

std::string escape_visible(std::string_view bytes) { return text::escaped_for_log(bytes); }

} // namespace testing_support
