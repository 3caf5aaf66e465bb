// Purchases under faults: a crash at any write, a full database or a failing commit leaves all of a purchase or none.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/module/fixture.h"
#include "tests/support/database_access.h"

namespace {

using namespace modtest;
using testing_support::escape_visible;

constexpr const char* kRolledBack = "The host could not store that";

// What the data folder holds, read straight from the file.
struct Holdings {
    int64_t credits = -1, days = -1, copper = -1, lives = -1;
    int descriptions = 0, registries = 0;  // Alice's descriptions, Alia's registries
    std::string text, registry_line, integrity;  // the (last) description's text, the registry's first line
};

// Credits, copper, days, lives | descriptions, text | registries, line | integrity.
std::string summary(const Holdings& h) {
    return std::to_string(h.credits) + " " + std::to_string(h.copper) + " " + std::to_string(h.days) + " " +
           std::to_string(h.lives) + "|" + std::to_string(h.descriptions) + " " + h.text + "|" +
           std::to_string(h.registries) + " " + h.registry_line + "|" + h.integrity;
}

std::string field(const void* data, int size, int offset, int width) {
    if (offset >= size) return {};
    const char* p = static_cast<const char*>(data) + offset;
    return std::string(p, strnlen(p, static_cast<size_t>(std::min(width, size - offset))));
}

// Opens the file on a connection of its own (as a restarted host would).
Holdings read_holdings(const std::filesystem::path& dir) {
    Holdings h;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((dir / "bbs.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        h.integrity = "cannot open";
    auto each = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            h.integrity += std::string(" [") + sqlite3_errmsg(db) + "]";
            return;
        }
        while (sqlite3_step(s) == SQLITE_ROW) row(s);
        sqlite3_finalize(s);
    };
    each("PRAGMA integrity_check", [&](sqlite3_stmt* s) { h.integrity += (const char*)sqlite3_column_text(s, 0); });
    each("SELECT credits, days FROM accounts WHERE userid = 'Alice'", [&](sqlite3_stmt* s) {
        h.credits = sqlite3_column_int64(s, 0);
        h.days = sqlite3_column_int64(s, 1);
    });
    each("SELECT copper, lives FROM players WHERE name = 'Alia'", [&](sqlite3_stmt* s) {
        h.copper = sqlite3_column_int64(s, 0);
        h.lives = sqlite3_column_int64(s, 1);
    });
    each("SELECT data FROM generic", [&](sqlite3_stmt* s) {
        const void* data = sqlite3_column_blob(s, 0);
        const int size = sqlite3_column_bytes(s, 0);
        const std::string userid = field(data, size, 0, HOST_UIDSIZ);
        const std::string tag = field(data, size, HOST_UIDSIZ, HOST_TAGSIZ);
        if (userid == "Alice" && tag == DESC_TAG) {
            ++h.descriptions;
            h.text = size == sizeof(DescriptionRecord) ? field(data, size, 55, DESC_TEXTSIZ) : "<cut short>";
        } else if (userid == "Alia" && tag == REG_TAG) {
            ++h.registries;
            h.registry_line = size == sizeof(RegistryRecord) ? field(data, size, 58, REG_LINESIZ) : "<cut short>";
        }
    });
    sqlite3_close(db);
    return h;
}

// Prices in all three currencies, descriptions approved at once (so that every save is paid for).
void priced(World& w) {
    mark_messages(w);
    for (auto [name, value] : {std::pair{"DESCCRD", "100"}, {"DESCCOP", "7"}, {"DESCDAY", "2"}, {"DESCAPP", "NO"},
                               {"LIFECRD", "300"}, {"LIFECOP", "40"}})
        w.set_option(name, value);
}

// From the description menu: the price screen, yes, and the editor opens.
void open_editor(World& w, int ch) { type_all(w, ch, {"D", "yes"}); }
void open_editor_from_main(World& w, int ch) { type_all(w, ch, {"D", "D", "yes"}); }

// The process kills itself with SIGKILL at row change number `g_kill_at` of the host connection.
int g_changes = 0, g_kill_at = 0;

void count_change(void*, int, const char*, const char*, sqlite3_int64) {
    if (++g_changes == g_kill_at) kill(getpid(), SIGKILL);
}

enum class Purchase { description, life, registry };

struct Round {
    bool killed = false, finished = false;  // died by SIGKILL inside the call / got through it
    Holdings after;                         // what the file holds after the child
    std::string dir;
};

// In a child: a stored description and registry, then one purchase, killed at row change `kill_at` (0: never).
Round crash_round(Purchase what, int kill_at) {
    Round round;
    int pipe_fds[2];
    pid_t child = -1;
    if (pipe(pipe_fds) != 0 || (child = fork()) < 0) {
        ADD_FAILURE() << "pipe or fork: " << std::strerror(errno);
        return round;
    }
    if (child == 0) {
        close(pipe_fds[0]);
        World* w = new World(); // never destroyed: the parent removes the folder
        priced(*w);
        if (!w->start()) _exit(3);
        const int ch = enter_as(*w, "Alice");
        open_editor_from_main(*w, ch);
        w->host().editor_save(ch, "The old description.");
        type_all(*w, ch, {"X", "R", "E", "1", "The old registry line.", "X", "X"});
        if (what == Purchase::description) open_editor_from_main(*w, ch);
        if (what == Purchase::life) w->type(ch, "L");
        if (what == Purchase::registry) type_all(*w, ch, {"R", "E", "1", "The new registry line."});
        const std::string dir = w->dir().string();
        if (write(pipe_fds[1], dir.c_str(), dir.size() + 1) < 0) _exit(4);
        g_kill_at = kill_at;
        sqlite3_update_hook(testing_support::sqlite_handle(w->host().database()), count_change, nullptr);
        if (what == Purchase::description) w->host().editor_save(ch, "The new description.");
        if (what == Purchase::life) w->type(ch, "yes");
        if (what == Purchase::registry) w->type(ch, "X");
        _exit(0);
    }
    close(pipe_fds[1]);
    char buffer[512] = {};
    size_t got = 0;
    ssize_t n;
    while (got < sizeof buffer - 1 && (n = read(pipe_fds[0], buffer + got, sizeof buffer - 1 - got)) > 0)
        got += static_cast<size_t>(n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    round.dir = buffer;
    round.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    round.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!round.dir.empty()) round.after = read_holdings(round.dir);
    return round;
}

void remove_folder(const std::string& dir) {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

// The state right after the setup of crash_round (the old description paid once).
const char* const kBefore = "9900 4993 28 3|1 The old description.|1 The old registry line.|ok";

// The purchase once without a crash, then killed after each of its row changes: then nothing of it is stored.
void crash_at_every_write(Purchase what, int writes, const std::string& done) {
    Round whole = crash_round(what, 0);
    remove_folder(whole.dir);
    ASSERT_TRUE(whole.finished) << "the purchase without a crash did not finish";
    EXPECT_EQ(done, summary(whole.after));
    int kills = 0;
    for (int at = 1; at <= 40; ++at) {
        Round r = crash_round(what, at);
        remove_folder(r.dir);
        if (r.finished) break;  // the purchase makes fewer changes than `at`
        ASSERT_TRUE(r.killed) << "the child died otherwise at change " << at;
        ++kills;
        ASSERT_EQ(kBefore, summary(r.after)) << "killed at change " << at;
    }
    EXPECT_GE(kills, writes) << "the purchase was expected to change more rows";
}

// Credits, copper, the old record out, the new one in, days.
TEST(CrashPoints, ADescriptionSaveKilledAtAnyWriteLeavesNoChargeAndTheOldText) {
    crash_at_every_write(Purchase::description, 5, "9800 4986 26 3|1 The new description.|1 The old registry line.|ok");
}

// Credits, copper, the life.
TEST(CrashPoints, ALifePurchaseKilledAtAnyWriteChargesNothing) {
    crash_at_every_write(Purchase::life, 3, "9600 4953 28 4|1 The old description.|1 The old registry line.|ok");
}

TEST(CrashPoints, ARegistrySaveKilledAtAnyWriteKeepsTheOldRecordWhole) {
    crash_at_every_write(Purchase::registry, 1, "9900 4993 28 3|1 The old description.|1 The new registry line.|ok");
}

TEST(CallTransaction, NoOutputLeavesWhileTheCallsTransactionIsOpen) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    sqlite3* db = testing_support::sqlite_handle(w.host().database());
    int sent = 0, early = 0;
    std::string seen;
    w.front_end().on_deliver([&](int, std::string_view bytes) {
        ++sent;
        seen.append(bytes);
        if (!sqlite3_get_autocommit(db)) ++early; // a transaction is still open
    });
    const int ch = enter_as(w, "Alice");
    open_editor_from_main(w, ch);
    w.host().editor_save(ch, "Saved and confirmed.");
    type_all(w, ch, {"X", "L", "yes"});
    EXPECT_NE(seen.find("<CURDESC Saved and confirmed.>"), std::string::npos) << escape_visible(seen);
    EXPECT_NE(seen.find("<LIFEOK>"), std::string::npos) << escape_visible(seen);
    EXPECT_GT(sent, 5);
    EXPECT_EQ(0, early) << "output went to the client before its transaction committed";
    w.front_end().on_deliver(nullptr);
}

int64_t pragma_value(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return v;
}

// Caps the database at its size and fills it until a description record of Alice no longer fits (false: cannot).
bool fill_database(World& w) {
    bbs::Database& db = w.host().database();
    sqlite3* raw = testing_support::sqlite_handle(db);
    const std::string cap = "PRAGMA max_page_count = " + std::to_string(pragma_value(raw, "PRAGMA page_count"));
    if (sqlite3_exec(raw, cap.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    for (int i = 0; i < 2000; ++i) {
        bool fits = false;
        db.batch([&] {
            const std::string probe = description_record("Alice", "probe", 0);
            fits = db.insert_generic(probe.data(), (uint32_t)probe.size(), nullptr);
            return false;
        });
        if (!fits) return true;
        std::string filler = description_record("Alice", "filler", 0);
        std::snprintf(filler.data() + HOST_UIDSIZ, HOST_TAGSIZ, "QRTBKPLS_DESC%04d", i);
        db.insert_generic(filler.data(), (uint32_t)filler.size(), nullptr);
    }
    return false;
}

void free_database(World& w) {
    bbs::Database& db = w.host().database();
    sqlite3_exec(testing_support::sqlite_handle(db), "PRAGMA max_page_count = 1073741823", nullptr, nullptr, nullptr);
    for (const auto& e : db.generic_entries())
        if (e.tag.size() > std::strlen(DESC_TAG)) db.erase_generic(e.position);
}

TEST(FullDatabase, ADescriptionThatCannotBeStoredIsNotChargedAndTheUserIsTold) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    const int ch = enter_as(w, "Alice");
    w.type(ch, "D");
    ASSERT_TRUE(fill_database(w)) << "the database could not be filled";

    open_editor(w, ch);
    ASSERT_TRUE(w.host().in_editor(ch));
    w.host().editor_save(ch, "Too late for the disk.");
    const std::string out = w.output(ch);
    EXPECT_NE(out.find(kRolledBack), std::string::npos) << escape_visible(out);
    EXPECT_EQ(out.find("<CURDESC"), std::string::npos) << "the save was confirmed: " << escape_visible(out);
    EXPECT_EQ("10000 5000 30 3|0 |0 |ok", summary(read_holdings(w.dir())));
    EXPECT_NE(w.host_log().find("rolled back"), std::string::npos) << w.host_log();
    EXPECT_NE(w.host_log().find("full"), std::string::npos) << w.host_log();
    EXPECT_EQ(w.game_log().find("Deducted"), std::string::npos) << w.game_log();
    EXPECT_NE(w.host_log().find("rolled back, not in the game log: Deducted 100 credits from Alice"), std::string::npos)
        << w.host_log();

    // Back in the description menu; once there is room the purchase is charged once.
    EXPECT_EQ(static_cast<uint32_t>(SS_DESC), w.user(ch)->substate);
    free_database(w);
    open_editor(w, ch);
    w.host().editor_save(ch, "Room again.");
    EXPECT_NE(w.output(ch).find("<CURDESC Room again.>"), std::string::npos);
    EXPECT_EQ("9900 4993 28 3|1 Room again.|0 |ok", summary(read_holdings(w.dir())));
}

// While `full` is set the commit hook turns every COMMIT into a rollback, as on a full disk.
namespace full_disk {
bool full = false;
void install(World& w) {
    sqlite3_commit_hook(
        testing_support::sqlite_handle(w.host().database()), [](void*) { return full ? 1 : 0; }, nullptr);
}
} // namespace full_disk

TEST(FullDisk, ALifeWhoseCommitFailsIsNotChargedAndTheUserIsTold) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    full_disk::install(w);
    const int ch = w.login("Alice");
    const int bob = w.login("Bob");
    w.enter(ch);
    w.type(ch, "L");

    full_disk::full = true;
    const std::string out = w.type(ch, "yes");
    full_disk::full = false;
    EXPECT_NE(out.find(kRolledBack), std::string::npos) << escape_visible(out);
    EXPECT_EQ(out.find("<LIFEOK>"), std::string::npos) << escape_visible(out);
    EXPECT_EQ("10000 5000 30 3|0 |0 |ok", summary(read_holdings(w.dir())));
    EXPECT_NE(w.host_log().find("cannot commit"), std::string::npos) << w.host_log();
    EXPECT_EQ(w.game_log().find("Alice purchased a life."), std::string::npos) << w.game_log();

    // Nothing else is disturbed: Bob is served, and Alice buys once there is room.
    EXPECT_NE(w.type(bob, "stats").find("Lives: 3"), std::string::npos);
    EXPECT_EQ(static_cast<uint32_t>(SS_MAIN), w.user(ch)->substate);
    EXPECT_NE(type_all(w, ch, {"L", "yes"}).find("<LIFEOK>"), std::string::npos);
    EXPECT_NE(w.game_log().find("Alice purchased a life.\r\n"), std::string::npos) << w.game_log();
    EXPECT_EQ("9700 4960 30 4|0 |0 |ok", summary(read_holdings(w.dir())));
}

TEST(FullDisk, ADescriptionSaveWhoseCommitFailsKeepsTheStoredOne) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    full_disk::install(w);
    const int ch = enter_as(w, "Alice");
    open_editor_from_main(w, ch);
    w.host().editor_save(ch, "Stored before the disk filled.");
    open_editor(w, ch);
    full_disk::full = true;
    w.host().editor_save(ch, "Never stored.");
    full_disk::full = false;
    const std::string out = w.output(ch);
    EXPECT_NE(out.find(kRolledBack), std::string::npos) << escape_visible(out);
    EXPECT_EQ("9900 4993 28 3|1 Stored before the disk filled.|0 |ok", summary(read_holdings(w.dir())));
    // The live account was put back too: the next save charges from 28 days.
    open_editor(w, ch);
    w.host().editor_save(ch, "Stored at last.");
    EXPECT_EQ(26, w.account("Alice")->days);
}

} // namespace
