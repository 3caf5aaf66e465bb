#include "game/store.h"

#include <sqlite3.h>

#include <cstring>
#include <ctime>

namespace game {
namespace {

// One prepared statement, finalized when it goes out of scope; or one of
// the store's kept statements, reset for its next use instead.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    explicit Statement(sqlite3_stmt* kept) : stmt_(kept), rc_(kept ? SQLITE_OK : SQLITE_ERROR), kept_(true) {}
    ~Statement() {
        if (!kept_) {
            sqlite3_finalize(stmt_);
        } else if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    sqlite3_stmt* get() const { return stmt_; }

    void bind(int index, std::string_view text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

    int step() { return sqlite3_step(stmt_); }

    std::string text(int column) const {
        const unsigned char* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
    bool kept_ = false;
};

// The text of a fixed-width, zero-terminated field (it may fill the field).
template <size_t N>
std::string_view field_text(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

template <size_t N>
void set_field(char (&field)[N], std::string_view text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

constexpr const char* kPlayerColumns =
    "userid, name, race, profession, guild, title, level, experience, hit_points, kills, "
    "alignment, gender, quests, room, time_played, lives, copper";

void bind_player(Statement& st, const PublicUserInfo& info) {
    st.bind(1, field_text(info.userid));
    st.bind(2, field_text(info.name));
    st.bind(3, field_text(info.race));
    st.bind(4, field_text(info.profession));
    st.bind(5, field_text(info.guild));
    st.bind(6, field_text(info.title));
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

PublicUserInfo read_player(const Statement& st) {
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
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        if (error) *error = file + ": cannot open: " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000);
    std::unique_ptr<Store> store(new Store(db, file, true));
    std::string why;
    if (!store->exec("PRAGMA journal_mode = WAL", &why) || !store->exec(kSchema, &why)) {
        if (error) *error = file + ": cannot create the game tables: " + why;
        return nullptr;
    }
    return store;
}

std::unique_ptr<Store> Store::share(sqlite3* db, std::string where,
                                    std::function<void(const std::string&)> report,
                                    std::string* error) {
    std::unique_ptr<Store> store(new Store(db, std::move(where), false));
    std::string why;
    if (!store->exec(kSchema, &why)) {
        if (error) *error = store->file_ + ": cannot create the game tables: " + why;
        return nullptr;
    }
    store->report_ = std::move(report);
    return store;
}

Store::~Store() {
    // Kept statements go before the connection does, also a shared one.
    sqlite3_finalize(by_name_);
    sqlite3_finalize(by_account_);
    if (owned_) sqlite3_close(db_);
}

bool Store::exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool Store::import_file(const std::filesystem::path& file, std::string* error) {
    // ATTACH cannot run inside a transaction; the copy itself is one.
    Statement attach(db_, "ATTACH DATABASE ?1 AS imported");
    if (!attach.ok()) {
        if (error) *error = sqlite_error("cannot import " + file.string());
        return false;
    }
    attach.bind(1, file.string());
    if (attach.step() != SQLITE_DONE) {
        if (error) *error = sqlite_error("cannot attach " + file.string());
        return false;
    }
    std::string why;
    const std::string copy = std::string("BEGIN;") + "INSERT OR IGNORE INTO main.players (" +
                             kPlayerColumns + ") SELECT " + kPlayerColumns +
                             " FROM imported.players;"
                             "INSERT INTO main.mail (sender, recipient, subject, body, sent_at) "
                             "SELECT sender, recipient, subject, body, sent_at FROM imported.mail "
                             "ORDER BY id;"
                             "COMMIT;";
    bool ok = exec(copy.c_str(), &why);
    if (!ok) exec("ROLLBACK", nullptr);
    exec("DETACH DATABASE imported", nullptr);
    if (!ok) {
        if (error) *error = file_ + ": cannot import " + file.string() + ": " + why;
        return false;
    }
    std::error_code ec;
    std::filesystem::path done = file;
    done += ".imported";
    std::filesystem::rename(file, done, ec);
    if (ec) {
        if (error) *error = "imported " + file.string() + " but cannot rename it: " + ec.message();
        return false;
    }
    return true;
}

std::string Store::sqlite_error(std::string_view doing) const {
    return file_ + ": " + std::string(doing) + ": " + sqlite3_errmsg(db_);
}

void Store::failed(std::string_view doing) const {
    if (report_) report_(sqlite_error(doing));
}

bool Store::insert_player(const PublicUserInfo& info, std::string* error) {
    std::string sql = std::string("INSERT INTO players (") + kPlayerColumns +
                      ") VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17)";
    Statement st(db_, sql.c_str());
    if (!st.ok()) {
        if (error) *error = sqlite_error("cannot add a player");
        failed("cannot add a player");
        return false;
    }
    bind_player(st, info);
    if (st.step() != SQLITE_DONE) {
        if (error) *error = sqlite_error("cannot add player " + std::string(field_text(info.name)));
        if ((sqlite3_extended_errcode(db_) & 0xff) != SQLITE_CONSTRAINT) failed("adding a player");
        return false;
    }
    return true;
}

bool Store::update_player(const PublicUserInfo& info, std::string* error) {
    Statement st(db_,
                 "UPDATE players SET userid=?1, race=?3, profession=?4, guild=?5, title=?6, "
                 "level=?7, experience=?8, hit_points=?9, kills=?10, alignment=?11, gender=?12, "
                 "quests=?13, room=?14, time_played=?15, lives=?16, copper=?17 WHERE name=?2");
    if (!st.ok()) {
        if (error) *error = sqlite_error("cannot update a player");
        failed("cannot update a player");
        return false;
    }
    bind_player(st, info);
    std::string name(field_text(info.name));
    if (st.step() != SQLITE_DONE) {
        if (error) *error = sqlite_error("cannot update player " + name);
        if ((sqlite3_extended_errcode(db_) & 0xff) != SQLITE_CONSTRAINT) failed("updating a player");
        return false;
    }
    if (sqlite3_changes(db_) == 0) {
        if (error) *error = "no player named " + name;
        return false;
    }
    return true;
}

// The game looks players up for every prompt it shows, so these two
// queries are prepared once and kept.
std::optional<PublicUserInfo> Store::find_one(sqlite3_stmt** kept, const char* where, std::string_view value) {
    if (*kept == nullptr) {
        std::string sql = std::string("SELECT ") + kPlayerColumns + " FROM players WHERE " + where;
        if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, kept, nullptr) != SQLITE_OK) {
            sqlite3_finalize(*kept);
            *kept = nullptr;
        }
    }
    Statement st(*kept);
    if (!st.ok()) {
        failed("reading a player");
        return std::nullopt;
    }
    st.bind(1, value);
    const int rc = st.step();
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE) failed("reading a player");
        return std::nullopt;
    }
    return read_player(st);
}

std::optional<PublicUserInfo> Store::find_player(std::string_view name) {
    return find_one(&by_name_, "name = ?1", name);
}

std::optional<PublicUserInfo> Store::find_player_of_account(std::string_view userid) {
    return find_one(&by_account_, "userid = ?1", userid);
}

std::vector<PublicUserInfo> Store::all_players() {
    std::vector<PublicUserInfo> result;
    std::string sql = std::string("SELECT ") + kPlayerColumns + " FROM players ORDER BY name";
    Statement st(db_, sql.c_str());
    if (!st.ok()) return result;
    while (st.step() == SQLITE_ROW) result.push_back(read_player(st));
    return result;
}

bool Store::insert_mail(const Mail& mail, std::string* error) {
    Statement st(db_,
                 "INSERT INTO mail (sender, recipient, subject, body, sent_at) "
                 "VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!st.ok()) {
        if (error) *error = sqlite_error("cannot store a mail");
        failed("cannot store a mail");
        return false;
    }
    st.bind(1, mail.from);
    st.bind(2, mail.to);
    st.bind(3, mail.subject);
    st.bind(4, mail.body);
    st.bind(5, static_cast<int64_t>(std::time(nullptr)));
    if (st.step() != SQLITE_DONE) {
        if (error) *error = sqlite_error("cannot store a mail to " + mail.to);
        failed("storing a mail");
        return false;
    }
    return true;
}

std::vector<Mail> Store::mail_for(std::string_view userid) {
    std::vector<Mail> result;
    Statement st(db_,
                 "SELECT sender, recipient, subject, body FROM mail WHERE recipient = ?1 "
                 "ORDER BY id");
    if (!st.ok()) return result;
    st.bind(1, userid);
    while (st.step() == SQLITE_ROW) result.push_back({st.text(0), st.text(1), st.text(2), st.text(3)});
    return result;
}

}  // namespace game
