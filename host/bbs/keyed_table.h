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
    // Steps a lookup; on a row, copies it out and makes it current.
    int16_t read_row(sql::Use& s, void* record, const char* operation);
    bool length_fits(uint32_t length, const char* operation) const;
};

}  // namespace bbs
