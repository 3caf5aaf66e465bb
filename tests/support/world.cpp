#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace testing_support {

namespace {

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

void write_text(const std::filesystem::path& file, std::string_view text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Finds the brace text of entry `name` in message source: [open+1, close).
bool find_entry_text(const std::string& src, std::string_view name, size_t* open, size_t* close) {
    size_t pos = 0;
    while (pos < src.size()) {
        // One logical item at a time: skip blanks and comment lines.
        char c = src[pos];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++pos;
            continue;
        }
        if (c == '#') {
            pos = src.find('\n', pos);
            if (pos == std::string::npos) return false;
            continue;
        }
        // NUMBER NAME {
        while (pos < src.size() && !std::isspace(static_cast<unsigned char>(src[pos])) && src[pos] != '{') ++pos;
        while (pos < src.size() && std::isspace(static_cast<unsigned char>(src[pos]))) ++pos;
        size_t name_start = pos;
        while (pos < src.size() && is_name_char(src[pos])) ++pos;
        std::string_view found(src.data() + name_start, pos - name_start);
        while (pos < src.size() && std::isspace(static_cast<unsigned char>(src[pos]))) ++pos;
        if (pos >= src.size() || src[pos] != '{') return false;
        size_t brace = pos++;
        int depth = 0;
        while (pos < src.size()) {
            char t = src[pos];
            if (t == '\\') {
                pos += 2;
                continue;
            }
            if (t == '{') ++depth;
            if (t == '}') {
                if (depth == 0) break;
                --depth;
            }
            ++pos;
        }
        if (pos >= src.size()) return false;
        if (equal_ignoring_case(found, name)) {
            *open = brace;
            *close = pos;
            return true;
        }
        ++pos;
    }
    return false;
}

// Position of the line "KEY=..." (ignoring case and blanks around KEY), or npos.
size_t find_ini_line(const std::string& ini, std::string_view key, size_t* end) {
    size_t pos = 0;
    while (pos < ini.size()) {
        size_t eol = ini.find('\n', pos);
        if (eol == std::string::npos) eol = ini.size();
        std::string_view line(ini.data() + pos, eol - pos);
        size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            std::string_view k = line.substr(0, eq);
            while (!k.empty() && std::isspace(static_cast<unsigned char>(k.front()))) k.remove_prefix(1);
            while (!k.empty() && std::isspace(static_cast<unsigned char>(k.back()))) k.remove_suffix(1);
            if (!k.empty() && k.front() != ';' && k.front() != '#' && equal_ignoring_case(k, key)) {
                *end = eol < ini.size() ? eol + 1 : eol;
                return pos;
            }
        }
        pos = eol + 1;
    }
    return std::string::npos;
}

PublicUserInfo make_player(const UserSpec& u) {
    PublicUserInfo p{};
    std::strncpy(p.userid, u.userid.c_str(), sizeof p.userid - 1);
    std::strncpy(p.name, u.player_name.c_str(), sizeof p.name - 1);
    std::strncpy(p.race, "Human", sizeof p.race - 1);
    std::strncpy(p.profession, "Fighter", sizeof p.profession - 1);
    std::strncpy(p.title, "the Wanderer", sizeof p.title - 1);
    p.level = 3;
    p.experience = 1200;
    p.hit_points = 30;
    p.kills = 7;
    p.gender = static_cast<uint8_t>(u.gender);
    p.quests = 2;
    p.time_played = u.time_played;
    p.lives = u.lives;
    p.copper = u.copper;
    return p;
}

}  // namespace

struct World::Impl {
    std::filesystem::path dir;
    std::unique_ptr<bbs::Host> host;
    bool default_population = true;
    std::vector<std::pair<std::string, int16_t>> classes;
    std::vector<UserSpec> users;
    std::string stop_reason;

    std::filesystem::path file(std::string_view name) const { return dir / std::string(name); }
};

World::World() : impl_(std::make_unique<Impl>()) {
    setenv("BBS_FAST_HASH", "1", 1);
    char tmpl[] = "/tmp/plus-world-XXXXXX";
    char* made = mkdtemp(tmpl);
    if (!made) {
        ADD_FAILURE() << "cannot make a temporary data folder";
        return;
    }
    impl_->dir = made;
    std::error_code ec;
    std::filesystem::copy(PLUS_CONFIG_DIR, impl_->dir,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing,
                          ec);
    if (ec) ADD_FAILURE() << "cannot copy " << PLUS_CONFIG_DIR << ": " << ec.message();
    // A compiled file left in config/ by hand must not hide the source.
    for (auto& entry : std::filesystem::directory_iterator(impl_->dir, ec)) {
        std::string ext = entry.path().extension().string();
        if (equal_ignoring_case(ext, ".MCV")) std::filesystem::remove(entry.path(), ec);
    }
}

World::~World() {
    impl_->host.reset();
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

void World::set_option(std::string_view name, std::string_view value) {
    auto path = impl_->file("QRTBKPLS.MSG");
    std::string src = read_text(path);
    size_t open = 0, close = 0;
    if (!find_entry_text(src, name, &open, &close)) {
        ADD_FAILURE() << "QRTBKPLS.MSG has no entry " << name;
        return;
    }
    src.replace(open + 1, close - open - 1, value);
    write_text(path, src);
}

void World::set_ini(std::string_view key, std::string_view value) {
    auto path = impl_->file("brakvold.ini");
    std::string ini = read_text(path);
    std::string line = std::string(key) + "=" + std::string(value) + "\n";
    size_t end = 0;
    size_t at = find_ini_line(ini, key, &end);
    if (at != std::string::npos) {
        ini.replace(at, end - at, line);
    } else {
        if (ini.find("[Brakvold]") == std::string::npos) ini += "\n[Brakvold]\n";
        if (!ini.empty() && ini.back() != '\n') ini += '\n';
        ini += line;
    }
    write_text(path, ini);
}

void World::remove_ini(std::string_view key) {
    auto path = impl_->file("brakvold.ini");
    std::string ini = read_text(path);
    size_t end = 0;
    size_t at;
    while ((at = find_ini_line(ini, key, &end)) != std::string::npos) ini.erase(at, end - at);
    write_text(path, ini);
}

void World::write_tcplibm(std::optional<std::string> subbbs) {
    std::string text = "# front end settings\n1 PORTNUM {23}\n";
    if (subbbs) text += "2 SUBBBS {" + *subbbs + "}\n";
    write_text(impl_->file("tcplibm.msg"), text);
}

void World::remove_message_file() {
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(impl_->dir, ec)) {
        std::string name = entry.path().filename().string();
        if (equal_ignoring_case(name, "QRTBKPLS.MSG") || equal_ignoring_case(name, "QRTBKPLS.MCV"))
            std::filesystem::remove(entry.path(), ec);
    }
}

void World::add_class(std::string_view name, int16_t days) { impl_->classes.emplace_back(name, days); }

void World::add_user(const UserSpec& user) { impl_->users.push_back(user); }

void World::no_default_population() { impl_->default_population = false; }

bool World::start() {
    if (impl_->host) {
        ADD_FAILURE() << "World::start called twice";
        return false;
    }
    bbs::HostOptions options;
    options.data_dir = impl_->dir;
    options.channels = channels;
    std::string error;
    impl_->host = bbs::Host::open(options, &error);
    if (!impl_->host) {
        ADD_FAILURE() << "cannot open the host: " << error;
        impl_->stop_reason = error;
        return false;
    }
    bbs::Host& h = *impl_->host;

    std::vector<std::pair<std::string, int16_t>> classes;
    std::vector<UserSpec> users;
    if (impl_->default_population) {
        classes = {{"Member", 365}, {"Sysop", -1}};
        UserSpec sysop;
        sysop.userid = "Sysop";
        sysop.class_name = "Sysop";
        sysop.keys = {"SYSOP"};
        users.push_back(sysop);
        for (auto [id, name] : {std::pair{"Alice", "Alia"}, {"Bob", "Bobo"}, {"Carol", "Cara"}}) {
            UserSpec u;
            u.userid = id;
            u.player_name = name;
            u.gender = std::string_view(id) == "Bob" ? 'M' : 'F';
            users.push_back(u);
        }
    }
    classes.insert(classes.end(), impl_->classes.begin(), impl_->classes.end());
    users.insert(users.end(), impl_->users.begin(), impl_->users.end());

    for (auto& [name, days] : classes)
        if (!h.database().put_class(name, days, &error)) ADD_FAILURE() << "class " << name << ": " << error;
    for (auto& u : users) {
        bbs::AccountInfo a;
        a.userid = u.userid;
        a.class_name = u.class_name;
        a.credits = u.credits;
        a.days = u.days;
        a.keys = u.keys;
        if (!h.accounts().add(a, u.password, &error)) ADD_FAILURE() << "account " << u.userid << ": " << error;
    }

    std::filesystem::path bin(PLUS_BIN_DIR);
    if (!h.load_module(bin / "libqrtbrak.so", "init__qrtbrak", &error)) {
        impl_->stop_reason = h.stopped() ? h.stop_reason() : error;
        return false;
    }
    if (game::Game* g = game::Game::instance()) {
        for (auto& u : users) {
            if (u.player_name.empty()) continue;
            PublicUserInfo p = make_player(u);
            if (!g->add_player(p, &error)) ADD_FAILURE() << "player " << u.player_name << ": " << error;
        }
    } else {
        ADD_FAILURE() << "the game did not start";
    }
    if (!h.load_module(bin / "libqrtbkpls.so", "init__qrtbkpls", &error)) {
        impl_->stop_reason = h.stopped() ? h.stop_reason() : error;
        return false;
    }
    return !h.stopped();
}

bbs::Host& World::host() { return *impl_->host; }

game::Game& World::game() { return *game::Game::instance(); }

std::string World::stop_reason() const {
    if (impl_->host && impl_->host->stopped()) return impl_->host->stop_reason();
    return impl_->stop_reason;
}

const std::filesystem::path& World::dir() const { return impl_->dir; }

int World::login(std::string_view userid) {
    int ch = host().logon(userid);
    if (ch < 0) {
        ADD_FAILURE() << "cannot log on " << userid;
        return ch;
    }
    host().deliver_all();
    host().take_output(ch);
    return ch;
}

std::string World::type(int channel, std::string_view line) {
    host().line(channel, line);
    host().deliver_all();
    return host().take_output(channel);
}

std::string World::type_only(int channel, std::string_view line) {
    host().line(channel, line);
    return host().take_output(channel);
}

std::string World::enter(int channel) {
    type(channel, "ext");
    return type(channel, "*");
}

std::string World::output(int channel) { return host().take_output(channel); }

void World::deliver_all() { host().deliver_all(); }

std::string World::host_log() const { return read_text(impl_->file("bbshost.log")); }

std::string World::game_log() const {
    if (game::Game* g = game::Game::instance()) return g->read_log();
    return read_text(impl_->file("brakvold.log"));
}

std::vector<game::Mail> World::mail_for(std::string_view userid) { return game().mail_for(userid); }

std::optional<bbs::AccountInfo> World::account(std::string_view userid) {
    return host().accounts().find(userid);
}

std::optional<PublicUserInfo> World::player(std::string_view name) { return game().player(name); }

std::vector<bbs::Database::Entry> World::records() { return host().database().generic_entries(); }

HostUser* World::user(int channel) { return usroff(channel); }

std::string escape_visible(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '\x1b': out += "\\e"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (u < 0x20 || u >= 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", u);
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out;
}

}  // namespace testing_support
