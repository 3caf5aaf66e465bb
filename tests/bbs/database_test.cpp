// The database through dfa*: key order, lookups, positions, rewrites, selections, syncs (crashes: e2e test_crash_safety).

#include <sqlite3.h>

#include <map>
#include <tuple>

#include "tests/bbs/host_fixture.h"

namespace {

using hosttest::key;
using hosttest::record;
std::string userid_of(const void* rec) { return static_cast<const char*>(rec); }
std::string tag_of(const void* rec) { return static_cast<const char*>(rec) + HOST_UIDSIZ; }
std::string payload_of(const void* rec) { return static_cast<const char*>(rec) + HOST_KEYSIZ; }

// The host's own database, bound to the dfa* services as the host binds it.
class DatabaseTest : public hosttest::HostTest {
protected:
    // The generic records as listed: position, user-ID, tag, payload, length.
    using Row = std::tuple<uint32_t, std::string, std::string, std::string, size_t>;
    std::vector<Row> rows() {
        std::vector<Row> out;
        for (const auto& e : db().generic_entries())
            out.emplace_back(e.position, e.userid, e.tag, payload_of(e.bytes.data()), e.bytes.size());
        return out;
    }
    // Walks key 0 as the lister does: from the lowest key, then from each record's own key in the buffer.
    std::vector<std::pair<std::string, std::string>> walk() {
        std::vector<std::pair<std::string, std::string>> keys;
        const std::string lowest = key("", "");
        dfaSetBlk(genbb);
        int16_t found = dfaAcqLock(nullptr, lowest.data(), 0, DFA_GREATER_EQUAL, 0);
        while (found == 1 && keys.size() < 1000) {
            keys.emplace_back(userid_of(genbb->record), tag_of(genbb->record));
            found = dfaAcqLock(nullptr, genbb->record, 0, DFA_GREATER, 0);
        }
        dfaRstBlk();
        return keys;
    }
};

using Keys = std::vector<std::pair<std::string, std::string>>;

TEST_F(DatabaseTest, KeyZeroOrdersUserIdsIgnoringCaseThenTags) {
    const Keys inserted = {{"alice", "QRTBKPLS_REG"}, {"Bob", "QRTBKPLS_REG"}, {"Al", "QRTBKPLS_REG"}, {"A", "ZETA"},
                           {"Bob", "QRTBKPLS_DESC"}, {"a", "alpha"}, {"ALICE", "OTHER_MOD"}, {"Carol", "QRTBKPLS_REG"},
                           {"bobby", "QRTBKPLS_DESC"}, {"1st", "X"}};
    for (const auto& [u, t] : inserted) ASSERT_NE(insert(record(u, t)), 0u) << u << "/" << t;

    // "a" sorts with "A", then by tag; a prefix before the longer user-ID.
    const Keys expected = {{"1st", "X"}, {"a", "alpha"}, {"A", "ZETA"}, {"Al", "QRTBKPLS_REG"}, {"ALICE", "OTHER_MOD"},
                           {"alice", "QRTBKPLS_REG"}, {"Bob", "QRTBKPLS_DESC"}, {"Bob", "QRTBKPLS_REG"},
                           {"bobby", "QRTBKPLS_DESC"}, {"Carol", "QRTBKPLS_REG"}};
    EXPECT_EQ(walk(), expected);

    Keys listed;
    for (const auto& e : db().generic_entries()) listed.emplace_back(e.userid, e.tag);
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(db().generic_count(), expected.size());
}

TEST_F(DatabaseTest, EqualLookupIgnoresCaseAndFindsOnlyTheWholeKey) {
    const uint32_t bob = insert(record("Bob", "QRTBKPLS_REG", "bob's registry")),
                   bobby = insert(record("Bobby", "QRTBKPLS_REG", "bobby's registry"));
    ASSERT_TRUE(bob && bobby);

    dfaSetBlk(genbb);
    const std::string typed = key("bOB", "qrtbkpls_reg");
    ASSERT_EQ(dfaAcqLock(nullptr, typed.data(), 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(userid_of(genbb->record), "Bob");  // as stored, not as typed
    EXPECT_EQ(payload_of(genbb->record), "bob's registry");

    std::string untidy = key("BOBBY", "QRTBKPLS_REG");  // Bytes behind a field's terminator are not part of the key.
    std::memcpy(untidy.data() + 6, "junk", 4);
    ASSERT_EQ(dfaAcqLock(nullptr, untidy.data(), 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(payload_of(genbb->record), "bobby's registry");

    for (const auto& k : {key("Bo", "QRTBKPLS_REG"), key("Bob", "QRTBKPLS_RE"), key("Bob", "QRTBKPLS_DESC")})
        EXPECT_EQ(dfaAcqLock(nullptr, k.data(), 0, DFA_EQUAL, 0), 0) << userid_of(k.data()) << "/" << tag_of(k.data());
    EXPECT_EQ(dfaAbs(), 0u) << "a lookup that finds nothing leaves no current record";
    dfaRstBlk();

    // A key taken in any case is refused, through the services and directly.
    EXPECT_EQ(insert(record("BOB", "qrtbkpls_reg", "second")), 0u);
    std::string error;
    const std::string dup = record("bob", "QRTBKPLS_REG", "third");
    EXPECT_FALSE(db().insert_generic(dup.data(), static_cast<uint32_t>(dup.size()), &error));
    EXPECT_NE(error.find("key exists"), std::string::npos) << error;
    EXPECT_EQ(rows(), (std::vector<Row>{{bob, "Bob", "QRTBKPLS_REG", "bob's registry", 100},
                                     {bobby, "Bobby", "QRTBKPLS_REG", "bobby's registry", 100}}));
}

TEST_F(DatabaseTest, GreaterAndGreaterOrEqualAtTheBoundaries) {
    const uint32_t p1 = insert(record("Alice", "QRTBKPLS_REG", "1")), p2 = insert(record("Bob", "QRTBKPLS_REG", "2")),
                   p3 = insert(record("Carol", "QRTBKPLS_REG", "3"));
    ASSERT_TRUE(p1 && p2 && p3);

    const struct { std::string key; int16_t op; uint32_t found; } cases[] = {
        {key("", ""), DFA_GREATER_EQUAL, p1}, {key("", ""), DFA_GREATER, p1},
        {key("Bob", "QRTBKPLS_REG"), DFA_GREATER_EQUAL, p2}, {key("BOB", "qrtbkpls_reg"), DFA_GREATER_EQUAL, p2},
        {key("bob", "QRTBKPLS_REG"), DFA_GREATER, p3},  // equal ignoring case is skipped
        {key("B", ""), DFA_GREATER_EQUAL, p2}, {key("B", ""), DFA_GREATER, p2},
        {key("Bob", ""), DFA_GREATER, p2},  // a shorter tag sorts first
        {key("Bob", "QRTBKPLS_REGX"), DFA_GREATER_EQUAL, p3}, {key("Carol", "QRTBKPLS_REG"), DFA_GREATER_EQUAL, p3},
        {key("Carol", "QRTBKPLS_REG"), DFA_GREATER, 0}, {key("Dave", ""), DFA_GREATER_EQUAL, 0},
        {key("Dave", ""), DFA_GREATER, 0},
    };
    dfaSetBlk(genbb);
    for (const auto& c : cases) {
        char rec[200];
        std::memset(rec, 0x55, sizeof rec);
        const bool found = dfaAcqLock(rec, c.key.data(), 0, c.op, 0) == 1;
        EXPECT_EQ(found ? dfaAbs() : 0u, c.found) << userid_of(c.key.data()) << "/" << tag_of(c.key.data()) << " " << c.op;
        if (found) { EXPECT_EQ(payload_of(rec), std::to_string(c.found == p1 ? 1 : c.found == p2 ? 2 : 3)); }
        else { EXPECT_EQ(static_cast<unsigned char>(rec[0]), 0x55) << "nothing found, nothing written"; }
    }
    dfaRstBlk();
}

TEST_F(DatabaseTest, AbsolutePositionsSurviveOtherRowsAndAReopenAndAreNeverReused) {
    const uint32_t pa = insert(record("Alice", "T", "a")), pb = insert(record("Bob", "T", "b")), pc = insert(record("Carol", "T", "c"));
    ASSERT_TRUE(pa && pb && pc);
    EXPECT_TRUE(pa != pb && pb != pc && pa != pc);

    dfaSetBlk(genbb);  // Bob goes; others arrive before and after him in key order; the newest goes too.
    ASSERT_EQ(dfaAcqAbsLock(nullptr, pb, 0, 0), 1);
    EXPECT_EQ(userid_of(genbb->record), "Bob");
    EXPECT_EQ(dfaAbs(), pb);
    ASSERT_EQ(dfaDelete(), 1);
    EXPECT_EQ(dfaAbs(), 0u);
    EXPECT_EQ(dfaDelete(), 0) << "nothing current after a delete";
    dfaRstBlk();
    const uint32_t pd = insert(record("Aaron", "T", "d")), pe = insert(record("Bobby", "T", "e"));
    ASSERT_TRUE(pd && pe);
    dfaSetBlk(genbb);
    ASSERT_EQ(dfaAcqAbsLock(nullptr, pe, 0, 0), 1);
    EXPECT_EQ(payload_of(genbb->record), "e");
    ASSERT_EQ(dfaDelete(), 1);
    dfaRstBlk();

    close();
    open();
    dfaSetBlk(genbb);
    char rec[100];
    for (auto [position, payload] : {std::pair{pa, "a"}, {pd, "d"}, {pc, "c"}}) {
        ASSERT_EQ(dfaAcqAbsLock(rec, position, 0, 0), 1) << payload;
        EXPECT_EQ(payload_of(rec), payload);
    }
    EXPECT_EQ(dfaAbs(), pc);
    for (uint32_t gone : {pb, pe, 0u}) EXPECT_EQ(dfaAcqAbsLock(nullptr, gone, 0, 0), 0) << gone;
    dfaRstBlk();
    const uint32_t pf = insert(record("Fred", "T", "f"));
    for (uint32_t old : {pa, pb, pc, pd, pe}) EXPECT_NE(pf, old) << "a position handed out again";
}

TEST_F(DatabaseTest, UpdateRewritesTheCurrentRecordInPlace) {
    const uint32_t pos = insert(record("Bob", "QRTBKPLS_DESC", "pending", 960)), other = insert(record("Carol", "QRTBKPLS_DESC", "carol's", 960));
    ASSERT_TRUE(pos && other);

    dfaSetBlk(genbb);  // Through the file's own buffer, as an approval does.
    ASSERT_EQ(dfaAcqLock(nullptr, key("bob", "QRTBKPLS_DESC").data(), 0, DFA_EQUAL, 0), 1);
    std::memcpy(static_cast<char*>(genbb->record) + HOST_KEYSIZ, "approved", 9);
    ASSERT_EQ(dfaUpdateV(nullptr, 960), 1);
    dfaRstBlk();

    EXPECT_EQ(rows(), (std::vector<Row>{{pos, "Bob", "QRTBKPLS_DESC", "approved", 960},
                                     {other, "Carol", "QRTBKPLS_DESC", "carol's", 960}}));

    // A rewrite from a buffer of the caller's may change the key; the position stays.
    const std::string renamed = record("Bob", "QRTBKPLS_REG", "now a registry", 672);
    dfaSetBlk(genbb);
    ASSERT_EQ(dfaAcqAbsLock(nullptr, pos, 0, 0), 1);
    ASSERT_EQ(dfaUpdateV(renamed.data(), 672), 1);
    EXPECT_EQ(dfaAcqLock(nullptr, key("Bob", "QRTBKPLS_DESC").data(), 0, DFA_EQUAL, 0), 0);
    ASSERT_EQ(dfaAcqLock(nullptr, key("Bob", "QRTBKPLS_REG").data(), 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(dfaAbs(), pos);
    EXPECT_EQ(bbs::datafile::length(genbb), 672u);

    // A rewrite onto another record's key is refused and changes nothing.
    const std::string clash = record("CAROL", "QRTBKPLS_DESC", "stolen", 672);
    EXPECT_EQ(dfaUpdateV(clash.data(), 672), 0);
    dfaRstBlk();
    EXPECT_EQ(rows(), (std::vector<Row>{{pos, "Bob", "QRTBKPLS_REG", "now a registry", 672},
                                     {other, "Carol", "QRTBKPLS_DESC", "carol's", 960}}));

    dfaSetBlk(genbb);  // Without a current record there is nothing to rewrite.
    EXPECT_EQ(dfaAcqLock(nullptr, key("nobody", "T").data(), 0, DFA_EQUAL, 0), 0);
    EXPECT_EQ(dfaUpdateV(renamed.data(), 672), 0);
    dfaRstBlk();
    EXPECT_EQ(db().generic_count(), 2u);
}

TEST_F(DatabaseTest, RecordsKeepTheirLengthAndTheOwnBufferIsZeroedPastIt) {
    ASSERT_NE(insert(record("Long", "T", std::string(3000, 'x'), 4000)), 0u);
    ASSERT_NE(insert(record("Short", "T", "tiny", 60)), 0u);
    EXPECT_EQ(insert(record("TooShort", "T", "", 54)), 0u);
    EXPECT_EQ(insert(record("TooLong", "T", "", bbs::Database::kMaxGenericRecord + 1)), 0u);
    EXPECT_NE(insert(record("Largest", "T", "", bbs::Database::kMaxGenericRecord)), 0u);
    ASSERT_GE(genbb->record_size, bbs::Database::kMaxGenericRecord);

    dfaSetBlk(genbb);
    ASSERT_EQ(dfaAcqLock(nullptr, key("long", "T").data(), 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(bbs::datafile::length(genbb), 4000u);
    ASSERT_EQ(dfaAcqLock(nullptr, key("short", "T").data(), 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(bbs::datafile::length(genbb), 60u);
    const auto* bytes = static_cast<const unsigned char*>(genbb->record);
    EXPECT_EQ(payload_of(bytes), "tiny");
    size_t dirty = 0;
    for (size_t i = 60; i < genbb->record_size; ++i) dirty += bytes[i] != 0;
    EXPECT_EQ(dirty, 0u) << "bytes of the long record left behind the short one";
    dfaRstBlk();
}

TEST_F(DatabaseTest, KeyMayLieInTheBufferTheRecordIsReadInto) {
    ASSERT_NE(insert(record("Alice", "QRTBKPLS_REG", "alice")), 0u);
    ASSERT_NE(insert(record("Bob", "QRTBKPLS_REG", "bob")), 0u);

    std::string buffer = key("alice", "QRTBKPLS_REG");
    buffer.resize(100);
    dfaSetBlk(genbb);
    ASSERT_EQ(dfaAcqLock(buffer.data(), buffer.data(), 0, DFA_GREATER, 0), 1);
    EXPECT_EQ(userid_of(buffer.data()), "Bob");
    EXPECT_EQ(payload_of(buffer.data()), "bob");

    std::memcpy(genbb->record, key("ALICE", "QRTBKPLS_REG").data(), HOST_KEYSIZ);
    ASSERT_EQ(dfaAcqLock(nullptr, genbb->record, 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(userid_of(genbb->record), "Alice");
    EXPECT_EQ(payload_of(genbb->record), "alice");
    dfaRstBlk();
}

TEST_F(DatabaseTest, SelectionsNestAndEachFileKeepsItsCurrentRecord) {
    std::string error;
    for (auto [name, days] : {std::pair{"Member", 365}, {"Sysop", -1}}) ASSERT_TRUE(db().put_class(name, days, &error)) << error;
    const uint32_t bob = insert(record("Bob", "QRTBKPLS_REG", "bob"));
    ASSERT_NE(bob, 0u);

    char class_key[HOST_KEYSIZ] = "member";  // long enough to be read as a generic key too
    dfaSetBlk(clsbb);
    ASSERT_EQ(dfaAcqLock(nullptr, class_key, 0, DFA_EQUAL, 0), 1);
    const uint32_t member = dfaAbs();
    EXPECT_EQ(static_cast<HostClass*>(clsbb->record)->days, 365);
    EXPECT_STREQ(static_cast<HostClass*>(clsbb->record)->name, "Member");

    dfaSetBlk(genbb);  // The generic database inside the class database, and back.
    ASSERT_EQ(dfaAcqLock(nullptr, key("bob", "QRTBKPLS_REG").data(), 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(dfaAbs(), bob);
    EXPECT_EQ(dfaAcqLock(nullptr, class_key, 0, DFA_EQUAL, 0), 0) << "a class name is no key of the generic database";
    ASSERT_EQ(dfaAcqAbsLock(nullptr, bob, 0, 0), 1);
    dfaRstBlk();
    EXPECT_EQ(dfaAbs(), member) << "the class database's current record";
    char sysop_key[HOST_CLSSIZ] = "SYSOP";
    ASSERT_EQ(dfaAcqLock(nullptr, sysop_key, 0, DFA_EQUAL, 0), 1);
    EXPECT_EQ(static_cast<HostClass*>(clsbb->record)->days, -1);
    EXPECT_EQ(userid_of(genbb->record), "Bob") << "the generic buffer is untouched by class reads";
    dfaRstBlk();

    // Nothing selected: every operation fails; a surplus restore is harmless.
    EXPECT_EQ(dfaAcqLock(nullptr, key("Bob", "QRTBKPLS_REG").data(), 0, DFA_EQUAL, 0), 0);
    EXPECT_EQ(dfaAbs(), 0u);
    dfaRstBlk();
    dfaSetBlk(genbb);
    EXPECT_EQ(dfaAcqLock(nullptr, key("Bob", "QRTBKPLS_REG").data(), 0, DFA_EQUAL, 0), 1);
    dfaRstBlk();

    dfaSetBlk(genbb);  // Nested deeper than the stack holds: the outer selections still come back.
    for (int i = 0; i < 40; ++i) dfaSetBlk(i % 2 ? genbb : clsbb);
    for (int i = 0; i < 40; ++i) dfaRstBlk();
    EXPECT_EQ(dfaAcqLock(nullptr, key("Bob", "QRTBKPLS_REG").data(), 0, DFA_EQUAL, 0), 1);
    dfaRstBlk();
    EXPECT_EQ(dfaAbs(), 0u);

    EXPECT_EQ(db().class_days("MEMBER"), std::optional<int16_t>(365));
    ASSERT_TRUE(db().put_class("member", 30, &error)) << error;  // the same class, replaced
    EXPECT_EQ(db().class_days("Member"), std::optional<int16_t>(30));
    EXPECT_EQ(db().class_days("Guest"), std::nullopt);
    EXPECT_FALSE(db().put_class("", 1, &error));
    EXPECT_FALSE(db().put_class("sixteen-chars-xx", 1, &error));
}

TEST_F(DatabaseTest, BatchCommitsOrRollsBackAsOne) {
    EXPECT_FALSE(db().batch([&] { return insert(record("Alice", "T")) != 0 && insert(record("Alice", "T")) != 0; }));
    EXPECT_EQ(db().generic_count(), 0u) << "the first insert of a failed batch stays undone";
    EXPECT_TRUE(db().batch([&] {
        for (int i = 0; i < 100; ++i)
            if (!insert(record("user" + std::to_string(i), "T"))) return false;
        return db().batch([&] { return insert(record("inner", "T")) != 0; });
    }));
    EXPECT_EQ(db().generic_count(), 101u);
}

// The default VFS while it lives: counts the xSync calls of every file SQLite opens.
class SyncCounter {
public:
    SyncCounter() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
        vfs_.zName = "sync-counter", vfs_.xOpen = &open;
        sqlite3_vfs_register(&vfs_, 1);
        g_counter = this;
    }
    ~SyncCounter() { sqlite3_vfs_unregister(&vfs_), g_counter = nullptr; }
    int syncs() const { return syncs_; }

private:
    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        const int rc = g_counter->real_->xOpen(g_counter->real_, name, file, flags, out);
        if (rc != SQLITE_OK || !file->pMethods) return rc;
        auto at = g_counter->counted_.try_emplace(file->pMethods, *file->pMethods).first;  // real -> counted
        at->second.xSync = &sync;
        file->pMethods = &at->second;
        return rc;
    }
    static int sync(sqlite3_file* file, int flags) {
        ++g_counter->syncs_;
        for (const auto& [real, counted] : g_counter->counted_)
            if (&counted == file->pMethods) return real->xSync(file, flags);
        return SQLITE_IOERR_FSYNC;
    }
    static inline SyncCounter* g_counter = nullptr;
    sqlite3_vfs* real_;
    sqlite3_vfs vfs_;
    std::map<const sqlite3_io_methods*, sqlite3_io_methods> counted_;
    int syncs_ = 0;
};

// A commit is on disk before it returns; a call that wrote nothing costs no sync.
TEST_F(DatabaseTest, ACallThatWroteIsSyncedAtCommitAndOneThatOnlyReadIsNot) {
    close();
    SyncCounter counter;
    open();
    ASSERT_TRUE(insert(record("Alice", "T", "first")));
    struct Case { const char* what; bool writes; bool synced; };
    for (const Case& c : {Case{"a call that only reads", false, false}, Case{"a call that writes", true, true},
                          Case{"a call that only reads, after a write", false, false}}) {
        const int before = counter.syncs();
        ASSERT_TRUE(db().begin_call()) << c.what;
        dfaSetBlk(genbb);
        EXPECT_EQ(dfaAcqLock(nullptr, key("Alice", "T").data(), 0, DFA_EQUAL, 0), 1) << c.what;
        dfaRstBlk();
        if (c.writes) { ASSERT_TRUE(insert(record("Bob", "T", "second"))) << c.what; }
        ASSERT_TRUE(db().end_call().committed) << c.what;
        EXPECT_EQ(counter.syncs() > before, c.synced) << c.what << ": " << counter.syncs() - before << " syncs";
    }
    close();
}

}  // namespace
