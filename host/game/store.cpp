#include "game/store.h"

#include <cstring>
#include <ctime>

#include "text/ascii.h"

namespace game {
namespace {

using bbs::sql::Use;
using Step = bbs::sql::Use::Step;

template <size_t N>
void set_field(char (&field)[N], std::string_view text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

constexpr const char* kPlayerColumns =
    "userid, name, race, profession, guild, title, level, experience, hit_points, kills, "
    "alignment, gender, quests, room, time_played, lives, copper";

void bind_player(Use& st, const PublicUserInfo& info) {
    st.bind(1, text::field(info.userid));
    st.bind(2, text::field(info.name));
    st.bind(3, text::field(info.race));
    st.bind(4, text::field(info.profession));
    st.bind(5, text::field(info.guild));
    st.bind(6, text::field(info.title));
    st.bind(7, int64_t{info.level});
    st.bind(8, int64_t{info.experience});
    st.bind(9, int64_t{info.hit_points});
    st.bind(10, int64_t{info.kills});
    st.bind(11, int64_t{info.alignment});
    st.bind(12, int64_t{info.gender});
    st.bind(13, int64_t{info.quests});
    st.bind(14, int64_t{info.room});
    st.bind(15, int64_t{info.time_played});
    st.bind(16, int64_t{info.lives});
    st.bind(17, int64_t{info.copper});
}

PublicUserInfo read_player(const Use& st) {
    PublicUserInfo info;
    std::memset(&info, 0, sizeof info);
    set_field(info.userid, st.text(0));
    set_field(info.name, st.text(1));
    set_field(info.race, st.text(2));
    set_field(info.profession, st.text(3));
    set_field(info.guild, st.text(4));
    set_field(info.title, st.text(5));
    info.level = static_cast<int32_t>(st.integer(6));
    info.experience = static_cast<int32_t>(st.integer(7));
    info.hit_points = static_cast<int32_t>(st.integer(8));
    info.kills = static_cast<int32_t>(st.integer(9));
    info.alignment = static_cast<uint8_t>(st.integer(10));
    info.gender = static_cast<uint8_t>(st.integer(11));
    info.quests = static_cast<int32_t>(st.integer(12));
    info.room = static_cast<int32_t>(st.integer(13));
    info.time_played = static_cast<uint32_t>(st.integer(14));
    info.lives = static_cast<int32_t>(st.integer(15));
    info.copper = static_cast<int32_t>(st.integer(16));
    return info;
}

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS players (
    name        TEXT NOT NULL COLLATE NOCASE PRIMARY KEY,
    userid      TEXT NOT NULL COLLATE NOCASE UNIQUE,
    race        TEXT NOT NULL DEFAULT '',
    profession  TEXT NOT NULL DEFAULT '',
    guild       TEXT NOT NULL DEFAULT '',
    title       TEXT NOT NULL DEFAULT '',
    level       INTEGER NOT NULL DEFAULT 0,
    experience  INTEGER NOT NULL DEFAULT 0,
    hit_points  INTEGER NOT NULL DEFAULT 0,
    kills       INTEGER NOT NULL DEFAULT 0,
    alignment   INTEGER NOT NULL DEFAULT 0,
    gender      INTEGER NOT NULL DEFAULT 0,
    quests      INTEGER NOT NULL DEFAULT 0,
    room        INTEGER NOT NULL DEFAULT 0,
    time_played INTEGER NOT NULL DEFAULT 0,
    lives       INTEGER NOT NULL DEFAULT 0,
    copper      INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS mail (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    sender    TEXT NOT NULL,
    recipient TEXT NOT NULL COLLATE NOCASE,
    subject   TEXT NOT NULL,
    body      TEXT NOT NULL,
    sent_at   INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS mail_by_recipient ON mail (recipient, id);
)sql";

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& file, std::string* error) {
    bbs::sql::Error why;
    auto connection = bbs::sql::Connection::open(file, &why);
    if (!connection) {
        if (error) *error = why.text();
        return nullptr;
    }
    connection->set_busy_timeout(std::chrono::milliseconds(2000));
    // Nobody keeps a log for a store of its own: its failures are returned.
    connection->on_failure([](const bbs::sql::Error&) {});
    bbs::sql::Connection& db = *connection;
    std::unique_ptr<Store> store(new Store(db, file, std::move(connection)));
    if (!db.exec("PRAGMA journal_mode = WAL", file, &why) || !db.exec(kSchema, file, &why)) {
        if (error) *error = file + ": cannot create the game tables: " + why.what;
        return nullptr;
    }
    return store;
}

std::unique_ptr<Store> Store::share(bbs::sql::Connection& db, std::string where, std::string* error) {
    std::unique_ptr<Store> store(new Store(db, std::move(where), nullptr));
    bbs::sql::Error why;
    if (!db.exec(kSchema, store->file_, &why)) {
        if (error) *error = store->file_ + ": cannot create the game tables: " + why.what;
        return nullptr;
    }
    return store;
}

Store::Store(bbs::sql::Connection& db, std::string file, std::unique_ptr<bbs::sql::Connection> owned)
    : owned_(std::move(owned)), db_(db), file_(std::move(file)) {
    data_version_.prepare(db_, file_);
}

Store::~Store() = default;  // kept statements go before an owned connection does

std::string Store::sqlite_error(std::string_view doing) const {
    return file_ + ": " + std::string(doing) + ": " + db_.error_message();
}

bool Store::insert_player(const PublicUserInfo& info, std::string* error) {
    const std::string sql = std::string("INSERT INTO players (") + kPlayerColumns +
                            ") VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17)";
    bbs::sql::Statement statement(db_, sql, file_, false);
    Use st(statement);
    bind_player(st, info);
    if (st.step("adding a player") != Step::done) {
        if (error) *error = sqlite_error("cannot add player " + std::string(text::field(info.name)));
        return false;
    }
    changed(text::field(info.userid));
    return true;
}

bool Store::update_player(const PublicUserInfo& info, std::string* error) {
    if (!update_.ok())
        update_.prepare(db_,
                        "UPDATE players SET userid=?1, race=?3, profession=?4, guild=?5, title=?6, "
                        "level=?7, experience=?8, hit_points=?9, kills=?10, alignment=?11, gender=?12, "
                        "quests=?13, room=?14, time_played=?15, lives=?16, copper=?17 WHERE name=?2",
                        file_);
    const std::string name(text::field(info.name));
    // The account that plays it now loses it if the update moves it.
    if (const auto before = find_player(name)) changed(text::field(before->userid));
    Use st(update_);
    bind_player(st, info);
    if (st.step("updating a player") != Step::done) {
        if (error) *error = sqlite_error("cannot update player " + name);
        return false;
    }
    if (db_.changes() == 0) {
        if (error) *error = "no player named " + name;
        return false;
    }
    changed(text::field(info.userid));
    return true;
}

void Store::changed(std::string_view userid) {
    if (all_changed_) return;
    if (changed_.size() >= kChangesKept) {
        all_changed_ = true;
        changed_.clear();
        return;
    }
    changed_.emplace_back(userid);
}

std::optional<std::vector<std::string>> Store::take_changed_accounts() {
    const bool elsewhere = data_version_.moved().value_or(true);
    const bool all = all_changed_ || elsewhere;
    all_changed_ = false;
    std::vector<std::string> taken;
    taken.swap(changed_);
    if (all) return std::nullopt;
    return taken;
}

// The game looks players up for every prompt it shows, so these two
// queries are prepared once and kept.
std::optional<PublicUserInfo> Store::find_one(bbs::sql::Statement& kept, const char* where,
                                              std::string_view value) {
    if (!kept.ok()) kept.prepare(db_, std::string("SELECT ") + kPlayerColumns + " FROM players WHERE " + where, file_);
    Use st(kept);
    st.bind(1, value);
    if (st.step("reading a player") != Step::row) return std::nullopt;
    return read_player(st);
}

std::optional<PublicUserInfo> Store::find_player(std::string_view name) {
    return find_one(by_name_, "name = ?1", name);
}

std::optional<PublicUserInfo> Store::find_player_of_account(std::string_view userid) {
    return find_one(by_account_, "userid = ?1", userid);
}

std::vector<PublicUserInfo> Store::all_players() {
    std::vector<PublicUserInfo> result;
    bbs::sql::Statement statement(db_, std::string("SELECT ") + kPlayerColumns + " FROM players ORDER BY name",
                                  file_, false);
    Use st(statement);
    while (st.step("reading the players") == Step::row) result.push_back(read_player(st));
    return result;
}

bool Store::insert_mail(const Mail& mail, std::string* error) {
    bbs::sql::Statement statement(db_,
                                  "INSERT INTO mail (sender, recipient, subject, body, sent_at) "
                                  "VALUES (?1, ?2, ?3, ?4, ?5)",
                                  file_, false);
    Use st(statement);
    st.bind(1, mail.from).bind(2, mail.to).bind(3, mail.subject).bind(4, mail.body);
    st.bind(5, static_cast<int64_t>(std::time(nullptr)));
    if (st.step("storing a mail") != Step::done) {
        if (error) *error = sqlite_error("cannot store a mail to " + mail.to);
        return false;
    }
    return true;
}

std::vector<Mail> Store::mail_for(std::string_view userid) {
    std::vector<Mail> result;
    bbs::sql::Statement statement(db_,
                                  "SELECT sender, recipient, subject, body FROM mail WHERE recipient = ?1 "
                                  "ORDER BY id",
                                  file_, false);
    Use st(statement);
    st.bind(1, userid);
    while (st.step("reading mail") == Step::row) result.push_back({st.text(0), st.text(1), st.text(2), st.text(3)});
    return result;
}

}  // namespace game
