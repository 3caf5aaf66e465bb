// Purchases and the records they pay for under faults: every host call is
// one transaction, so a crash at any write, a full database or a failing
// commit leaves either the whole purchase (charges and record) or none of
// it, and no output of a call leaves the host before its transaction has
// committed.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/module/lifecycle_fixture.h"

namespace {

using namespace coretest;
using testing_support::escape_visible;

constexpr const char* kRolledBack = "The host could not store that";

// ---------------------------------------------------------------------------
// What the data folder holds, read straight from the file
// ---------------------------------------------------------------------------

struct Holdings {
    int64_t credits = -1;
    int64_t days = -1;
    int64_t copper = -1;
    int64_t lives = -1;
    int descriptions = 0;      // records tagged QRTBKPLS_DESC of Alice
    std::string text;          // the text of the (last) one
    int registries = 0;        // records tagged QRTBKPLS_REG of Alia
    std::string registry_line; // its first line
    std::string integrity;

    std::string describe() const {
        return "credits=" + std::to_string(credits) + " days=" + std::to_string(days) +
               " copper=" + std::to_string(copper) + " lives=" + std::to_string(lives) +
               " descriptions=" + std::to_string(descriptions) + " text=\"" + text +
               "\" registries=" + std::to_string(registries) + " line=\"" + registry_line + "\" integrity=" + integrity;
    }
};

std::string column_text(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? reinterpret_cast<const char*>(t) : "";
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
    if (sqlite3_open_v2((dir / "bbs.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        h.integrity = "cannot open";
        sqlite3_close(db);
        return h;
    }
    auto each = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            h.integrity += std::string(" [") + sqlite3_errmsg(db) + "]";
            return;
        }
        while (sqlite3_step(s) == SQLITE_ROW) row(s);
        sqlite3_finalize(s);
    };
    each("PRAGMA integrity_check", [&](sqlite3_stmt* s) { h.integrity += column_text(s, 0); });
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

// Prices in all three currencies, descriptions approved at once (so that
// every save is paid for), and a description and a registry stored already.
void priced(World& w) {
    mark_messages(w);
    w.set_option("DESCCRD", "100");
    w.set_option("DESCCOP", "7");
    w.set_option("DESCDAY", "2");
    w.set_option("DESCAPP", "NO");
    w.set_option("LIFECRD", "300");
    w.set_option("LIFECOP", "40");
}

// From the description menu: the price screen, yes, and the editor opens.
void open_editor(World& w, int ch) {
    w.type(ch, "D");
    w.type(ch, "yes");
}

// The same from the main menu.
void open_editor_from_main(World& w, int ch) {
    w.type(ch, "D");
    open_editor(w, ch);
}

// ---------------------------------------------------------------------------
// A crash at every write of a purchase
// ---------------------------------------------------------------------------

// The row changes the host connection has made since the hook was set; the
// process kills itself with SIGKILL at change number `g_kill_at`.
int g_changes = 0;
int g_kill_at = 0;

void count_change(void*, int, const char*, const char*, sqlite3_int64) {
    if (++g_changes == g_kill_at) kill(getpid(), SIGKILL);
}

enum class Purchase { description, life, registry };

struct Round {
    bool killed = false;   // the child died by SIGKILL inside the call
    bool finished = false; // the child got through the call
    Holdings before;       // as the child saw it right before the call
    Holdings after;        // what the file holds after the child
    std::string dir;
};

// In a child process: a world with a stored description and registry, then
// one purchase, during which the child kills itself at row change `kill_at`
// (0: never). The parent reads the data folder the child left behind.
Round crash_round(Purchase what, int kill_at) {
    Round round;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return round;
    }
    const pid_t child = fork();
    if (child < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return round;
    }
    if (child == 0) {
        close(pipe_fds[0]);
        World* w = new World(); // never destroyed: the parent removes the folder
        priced(*w);
        if (!w->start()) _exit(3);
        const int ch = w->login("Alice");
        w->enter(ch);
        open_editor_from_main(*w, ch);
        w->host().editor_save(ch, "The old description.");
        w->type(ch, "X");
        w->type(ch, "R");
        w->type(ch, "E");
        w->type(ch, "1");
        w->type(ch, "The old registry line.");
        w->type(ch, "X");
        w->type(ch, "X");
        if (what == Purchase::description) open_editor_from_main(*w, ch);
        if (what == Purchase::life) w->type(ch, "L");
        if (what == Purchase::registry) {
            w->type(ch, "R");
            w->type(ch, "E");
            w->type(ch, "1");
            w->type(ch, "The new registry line.");
        }
        const std::string dir = w->dir().string();
        if (write(pipe_fds[1], dir.c_str(), dir.size() + 1) < 0) _exit(4);
        g_kill_at = kill_at;
        sqlite3_update_hook(w->host().database().handle(), count_change, nullptr);
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

// Runs the purchase once without a crash (what it changes), then once for
// every row change it makes, killed right after that change: the file must
// then hold everything as it was before the purchase.
void crash_at_every_write(Purchase what, int writes, const std::function<void(const Holdings&)>& check_done,
                          const std::function<void(const Holdings&, int)>& check_killed) {
    Round whole = crash_round(what, 0);
    remove_folder(whole.dir);
    ASSERT_TRUE(whole.finished) << "the purchase without a crash did not finish";
    check_done(whole.after);

    int kills = 0;
    for (int at = 1; at <= 40; ++at) {
        Round r = crash_round(what, at);
        remove_folder(r.dir);
        if (r.finished) break; // the purchase makes fewer changes than `at`
        ASSERT_TRUE(r.killed) << "the child died otherwise at change " << at;
        ++kills;
        EXPECT_EQ("ok", r.after.integrity) << "change " << at;
        EXPECT_EQ(1, r.after.descriptions) << "change " << at << ": " << r.after.describe();
        EXPECT_EQ("The old description.", r.after.text) << "change " << at;
        EXPECT_EQ(1, r.after.registries) << "change " << at;
        EXPECT_EQ("The old registry line.", r.after.registry_line) << "change " << at;
        check_killed(r.after, at);
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GE(kills, writes) << "the purchase was expected to change more rows";
}

// The state right after the setup of crash_round (description and registry
// stored, the description paid once).
const int64_t kCredits0 = 10000 - 100, kCopper0 = 5000 - 7, kDays0 = 30 - 2, kLives0 = 3;

void nothing_charged(const Holdings& h, int at) {
    EXPECT_EQ(kCredits0, h.credits) << "killed at change " << at;
    EXPECT_EQ(kCopper0, h.copper) << "killed at change " << at;
    EXPECT_EQ(kDays0, h.days) << "killed at change " << at;
    EXPECT_EQ(kLives0, h.lives) << "killed at change " << at;
}

TEST(CrashPoints, ADescriptionSaveKilledAtAnyWriteLeavesNoChargeAndTheOldText) {
    crash_at_every_write(
        Purchase::description, 5, // credits, copper, the old record out, the new one in, days
        [](const Holdings& h) {
            EXPECT_EQ("The new description.", h.text);
            EXPECT_EQ(1, h.descriptions);
            EXPECT_EQ(kCredits0 - 100, h.credits);
            EXPECT_EQ(kCopper0 - 7, h.copper);
            EXPECT_EQ(kDays0 - 2, h.days);
        },
        nothing_charged);
}

TEST(CrashPoints, ALifePurchaseKilledAtAnyWriteChargesNothing) {
    crash_at_every_write(
        Purchase::life, 3, // credits, copper, the life
        [](const Holdings& h) {
            EXPECT_EQ(kLives0 + 1, h.lives);
            EXPECT_EQ(kCredits0 - 300, h.credits);
            EXPECT_EQ(kCopper0 - 40, h.copper);
        },
        nothing_charged);
}

TEST(CrashPoints, ARegistrySaveKilledAtAnyWriteKeepsTheOldRecordWhole) {
    crash_at_every_write(
        Purchase::registry, 1, // the record rewritten
        [](const Holdings& h) {
            EXPECT_EQ("The new registry line.", h.registry_line);
            EXPECT_EQ(1, h.registries);
        },
        nothing_charged);
}

// ---------------------------------------------------------------------------
// Output leaves only after the commit
// ---------------------------------------------------------------------------

TEST(CallTransaction, NoOutputLeavesWhileTheCallsTransactionIsOpen) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    sqlite3* db = w.host().database().handle();
    int sent = 0, early = 0;
    std::string seen;
    w.host().set_output_sink([&](int, std::string_view bytes) {
        ++sent;
        seen.append(bytes);
        if (!sqlite3_get_autocommit(db)) ++early; // a transaction is still open
    });
    const int ch = w.login("Alice");
    w.enter(ch);
    open_editor_from_main(w, ch);
    w.host().editor_save(ch, "Saved and confirmed.");
    w.type(ch, "X");
    w.type(ch, "L");
    w.type(ch, "yes");
    EXPECT_NE(seen.find("<CURDESC Saved and confirmed.>"), std::string::npos) << escape_visible(seen);
    EXPECT_NE(seen.find("<LIFEOK>"), std::string::npos) << escape_visible(seen);
    EXPECT_GT(sent, 5);
    EXPECT_EQ(0, early) << "output went to the client before its transaction committed";
    w.host().set_output_sink(nullptr);
}

// ---------------------------------------------------------------------------
// A full database: a write inside the call fails
// ---------------------------------------------------------------------------

int64_t pragma_value(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return v;
}

DescriptionRecord alice_description(const char* tag, const char* text) {
    DescriptionRecord r{};
    std::strcpy(r.userid, "Alice");
    std::strcpy(r.tag, tag);
    std::strcpy(r.text, text);
    return r;
}

// Caps the database at its size and fills the free room near Alice's
// description key, until a description record of hers no longer fits.
// False when that cannot be reached.
bool fill_database(World& w) {
    bbs::Database& db = w.host().database();
    const std::string cap = "PRAGMA max_page_count = " + std::to_string(pragma_value(db.handle(), "PRAGMA page_count"));
    if (sqlite3_exec(db.handle(), cap.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    for (int i = 0; i < 2000; ++i) {
        // Does Alice's description still fit? (Tried in a transaction that is undone.)
        bool fits = false;
        db.batch([&] {
            DescriptionRecord probe = alice_description(DESC_TAG, "probe");
            fits = db.insert_generic(&probe, sizeof probe, nullptr);
            return false;
        });
        if (!fits) return true;
        char tag[HOST_TAGSIZ];
        std::snprintf(tag, sizeof tag, "QRTBKPLS_DESC%04d", i);
        DescriptionRecord filler = alice_description(tag, "filler");
        db.insert_generic(&filler, sizeof filler, nullptr);
    }
    return false;
}

void free_database(World& w) {
    bbs::Database& db = w.host().database();
    sqlite3_exec(db.handle(), "PRAGMA max_page_count = 1073741823", nullptr, nullptr, nullptr);
    for (const auto& e : db.generic_entries())
        if (e.tag.size() > std::strlen(DESC_TAG)) db.erase_generic(e.position);
}

TEST(FullDatabase, ADescriptionThatCannotBeStoredIsNotChargedAndTheUserIsTold) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    const int ch = w.login("Alice");
    w.enter(ch);
    w.type(ch, "D");
    ASSERT_TRUE(fill_database(w)) << "the database could not be filled";

    open_editor(w, ch);
    ASSERT_TRUE(w.host().in_editor(ch));
    w.host().editor_save(ch, "Too late for the disk.");
    const std::string out = w.output(ch);
    EXPECT_NE(out.find(kRolledBack), std::string::npos) << escape_visible(out);
    EXPECT_EQ(out.find("<CURDESC"), std::string::npos) << "the save was confirmed: " << escape_visible(out);
    EXPECT_EQ(10000, w.account("Alice")->credits);
    EXPECT_EQ(30, w.account("Alice")->days);
    EXPECT_EQ(5000, w.player("Alia")->copper);
    for (const auto& e : w.records()) EXPECT_FALSE(e.userid == "Alice" && e.tag == DESC_TAG);
    EXPECT_NE(w.host_log().find("rolled back"), std::string::npos) << w.host_log();
    EXPECT_NE(w.host_log().find("full"), std::string::npos) << w.host_log();
    // The charge's log lines went with it: the game log does not claim it.
    EXPECT_EQ(w.game_log().find("Deducted"), std::string::npos) << w.game_log();
    EXPECT_NE(w.host_log().find("rolled back, not in the game log: Deducted 100 credits from Alice"), std::string::npos)
        << w.host_log();

    // The user is back in the description menu; once there is room the same
    // purchase goes through and is charged once, from the days he still has.
    EXPECT_EQ(static_cast<uint32_t>(SS_DESC), w.user(ch)->substate);
    free_database(w);
    open_editor(w, ch);
    w.host().editor_save(ch, "Room again.");
    EXPECT_NE(w.output(ch).find("<CURDESC Room again.>"), std::string::npos);
    EXPECT_EQ(9900, w.account("Alice")->credits);
    EXPECT_EQ(28, w.account("Alice")->days);
    EXPECT_EQ(4993, w.player("Alia")->copper);
}

// ---------------------------------------------------------------------------
// A full disk: the commit itself fails
// ---------------------------------------------------------------------------

// The commit of the host's connection fails while `full` is set, as on a
// full disk: the commit hook turns every COMMIT into a rollback.
namespace full_disk {
bool full = false;
void install(World& w) {
    sqlite3_commit_hook(
        w.host().database().handle(), [](void*) { return full ? 1 : 0; }, nullptr);
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
    EXPECT_EQ(3, w.player("Alia")->lives);
    EXPECT_EQ(5000, w.player("Alia")->copper);
    EXPECT_EQ(10000, w.account("Alice")->credits);
    EXPECT_NE(w.host_log().find("cannot commit"), std::string::npos) << w.host_log();
    EXPECT_EQ(w.game_log().find("Alice purchased a life."), std::string::npos) << w.game_log();

    // Nothing else is disturbed: Bob is served, and Alice buys once there is room.
    EXPECT_NE(w.type(bob, "stats").find("Lives: 3"), std::string::npos);
    EXPECT_EQ(static_cast<uint32_t>(SS_MAIN), w.user(ch)->substate);
    w.type(ch, "L");
    EXPECT_NE(w.type(ch, "yes").find("<LIFEOK>"), std::string::npos);
    EXPECT_EQ(4, w.player("Alia")->lives);
    EXPECT_EQ(9700, w.account("Alice")->credits);
    EXPECT_NE(w.game_log().find("Alice purchased a life.\r\n"), std::string::npos) << w.game_log();
    const Holdings h = read_holdings(w.dir());
    EXPECT_EQ("ok", h.integrity);
    EXPECT_EQ(4, h.lives);
}

TEST(FullDisk, ADescriptionSaveWhoseCommitFailsKeepsTheStoredOne) {
    World w;
    priced(w);
    ASSERT_TRUE(w.start()) << w.stop_reason();
    full_disk::install(w);
    const int ch = w.login("Alice");
    w.enter(ch);
    open_editor_from_main(w, ch);
    w.host().editor_save(ch, "Stored before the disk filled.");
    open_editor(w, ch);
    full_disk::full = true;
    w.host().editor_save(ch, "Never stored.");
    full_disk::full = false;
    const std::string out = w.output(ch);
    EXPECT_NE(out.find(kRolledBack), std::string::npos) << escape_visible(out);
    const Holdings h = read_holdings(w.dir());
    EXPECT_EQ("ok", h.integrity);
    EXPECT_EQ(1, h.descriptions);
    EXPECT_EQ("Stored before the disk filled.", h.text);
    EXPECT_EQ(9900, h.credits);
    EXPECT_EQ(28, h.days);
    EXPECT_EQ(4993, h.copper);
    // The live account was put back too: the next save charges from 28 days.
    open_editor(w, ch);
    w.host().editor_save(ch, "Stored at last.");
    EXPECT_EQ(26, w.account("Alice")->days);
}

} // namespace
