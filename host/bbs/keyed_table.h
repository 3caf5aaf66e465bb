// Internal to libbbs (bbs/database.cpp): one keyed table of the host's
// database file and the HostDataFile modules see for it.
//
// A keyed table stores each record whole in `data`, its key 0 folded into
// the indexed `sortkey` column (text fields cut at their terminator, ASCII
// letters upper-cased), so that key 0 order is plain byte order of sortkey
// and the lookups of dfaAcqLock are single index seeks. `pos` is the
// record's absolute position: AUTOINCREMENT keeps it stable and never hands
// out a deleted one again. Every statement is prepared once per connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/sqlite.h"
#include "platform/host.h"

namespace bbs {

// Key 0 of a table: a run of zero-terminated text fields.
struct KeyLayout {
    uint32_t fields[2];
    uint32_t count;
    uint32_t size() const {
        uint32_t total = 0;
        for (uint32_t i = 0; i < count; ++i) total += fields[i];
        return total;
    }
};

constexpr KeyLayout kGenericKey{{HOST_UIDSIZ, HOST_TAGSIZ}, 2};
constexpr KeyLayout kClassKey{{HOST_CLSSIZ, 0}, 1};
constexpr uint32_t kMaxKeySize = HOST_KEYSIZ;

// Writes the folded key into out (layout.size() bytes).
void fold_key(const KeyLayout& layout, const void* key, unsigned char* out);

// The text of a zero-terminated field of `size` bytes at `offset` of a record.
std::string text_field(const std::string& bytes, size_t offset, size_t size);

// The records of a keyed table read lately, so that a module reading the
// same record again (its user's registry, call after call) or walking on in
// key order (a listing, a record per host call) is answered without a
// statement. What it holds is what the table holds: it empties itself when
// the connection wrote a row or rolled a transaction back since it was
// filled, or when its owner says that another connection committed. Its
// owner asks it only while a host call holds the write lock (nothing but
// the connection itself can change the table then).
class RecentRecords {
public:
    static constexpr size_t kCapacity = 32;
    struct Record {
        int64_t position = 0;
        std::string key;   // folded, as in sortkey
        std::string data;
        int64_t next = 0;  // the position of the record after it in key order; 0: unknown
    };

    // Empties it unless the connection's writes, its rollbacks and the
    // owner's count of other connections' commits are what they were.
    void check(int64_t changes, uint64_t rollbacks, uint64_t others);
    const Record* at(int64_t position) const;
    const Record* with_key(std::string_view key) const;
    const Record* after(const Record& record) const { return record.next ? at(record.next) : nullptr; }
    // Keeps a record read (in place of the oldest when full).
    void keep(int64_t position, std::string_view key, std::string_view data);
    // The record at `to` comes right after the one at `from` in key order.
    void link(int64_t from, int64_t to);

private:
    Record* find(int64_t position);
    std::vector<Record> records_;
    size_t oldest_ = 0;
    int64_t changes_ = -1;
    uint64_t rollbacks_ = 0, others_ = 0;
};

// When the recent records of the host's tables may be asked (Database).
struct RecentRecordsClock {
    bool usable = false;  // a host call holds the write lock and checked for others' commits
    uint64_t others = 0;  // commits of other connections seen
};

struct KeyedTable {
    sql::Connection* db = nullptr;
    std::string where;        // "bbs.db generic database", for messages
    KeyLayout key{};
    uint32_t max_length = 0;
    HostDataFile file{};
    std::unique_ptr<unsigned char[]> buffer;
    int64_t current = 0;      // position of the current record, 0 = none
    uint32_t current_length = 0;
    // Told of a module's mistake (an unknown key, no current record, ...).
    std::function<void(const std::string&)> warn;

    sql::Statement find_equal, find_greater, find_greater_equal, find_position;
    sql::Statement walk;  // the records after a key, kWalk of them, for a listing going on
    static constexpr int kWalk = 8;
    RecentRecords recent;
    const RecentRecordsClock* clock = nullptr;
    sql::Statement insert, update, erase, upsert, count, all;

    // Prepares the statements on `table` of the connection; false (reported) when one fails.
    bool open(sql::Connection& connection, const std::string& file_name, const char* what, const char* table,
              const KeyLayout& layout, uint32_t largest);
    void mistake(const std::string& text) const { warn(where + ": " + text); }
    void forget_current() { current = 0, current_length = 0; }

    // What the dfa* services do (bbs/database.h, namespace datafile).
    int16_t acquire(void* record, const void* search, int16_t keynum, int16_t operation);
    int16_t acquire_position(void* record, uint32_t position, int16_t keynum);
    // Insert; on success the new record is current. Sets *duplicate when the
    // key is taken.
    int16_t add(const void* record, uint32_t length, bool* duplicate);
    int16_t rewrite(const void* record, uint32_t length);
    bool remove(int64_t position, const char* operation);
    int16_t remove_current();

private:
    // Steps a lookup; on a row, copies it out, makes it current and keeps
    // it among the recent records (`keep`).
    int16_t read_row(sql::Use& s, void* record, const char* operation, bool keep);
    // Copies a record out (into `record`, else the file's buffer) and makes it current.
    int16_t load(int64_t position, const void* data, uint32_t length, void* record);
    // The recent records, when they may be asked now.
    RecentRecords* recent_now();
    // DFA_GREATER from a record the recent records hold: the next kWalk
    // records in one statement, linked in key order; the first is loaded.
    int16_t walk_on(const RecentRecords::Record& from, void* record);
    bool length_fits(uint32_t length, const char* operation) const;
};

}  // namespace bbs
