#include "bbs/keyed_table.h"

#include <algorithm>
#include <cstring>

#include "bbs/database.h"
#include "text/ascii.h"

namespace bbs {

void fold_key(const KeyLayout& layout, const void* key, unsigned char* out) {
    const auto* in = static_cast<const unsigned char*>(key);
    for (uint32_t f = 0; f < layout.count; ++f) {
        const uint32_t n = layout.fields[f];
        uint32_t i = 0;
        for (; i < n && in[i] != 0; ++i) out[i] = static_cast<unsigned char>(text::upper(static_cast<char>(in[i])));
        std::memset(out + i, 0, n - i);
        in += n;
        out += n;
    }
}

std::string text_field(const std::string& bytes, size_t offset, size_t size) {
    if (bytes.size() <= offset) return {};
    return std::string(text::field(bytes.data() + offset, std::min(size, bytes.size() - offset)));
}

void RecentRecords::check(int64_t changes, uint64_t rollbacks, uint64_t others) {
    if (changes == changes_ && rollbacks == rollbacks_ && others == others_) return;
    for (Record& r : records_) r.position = r.next = 0;  // the buffers stay for the next ones
    changes_ = changes;
    rollbacks_ = rollbacks;
    others_ = others;
}

RecentRecords::Record* RecentRecords::find(int64_t position) {
    for (Record& r : records_)
        if (r.position == position) return &r;
    return nullptr;
}

const RecentRecords::Record* RecentRecords::at(int64_t position) const {
    return position == 0 ? nullptr : const_cast<RecentRecords*>(this)->find(position);
}

const RecentRecords::Record* RecentRecords::with_key(std::string_view key) const {
    for (const Record& r : records_)
        if (r.position != 0 && r.key == key) return &r;
    return nullptr;
}

void RecentRecords::keep(int64_t position, std::string_view key, std::string_view data) {
    Record* r = find(position);
    if (!r) {
        if (records_.size() < kCapacity) {
            r = &records_.emplace_back();
        } else {
            r = &records_[oldest_];
            oldest_ = (oldest_ + 1) % kCapacity;
        }
        r->position = position;
        r->next = 0;
    }
    r->key.assign(key);
    r->data.assign(data);
}

void RecentRecords::link(int64_t from, int64_t to) {
    if (Record* r = find(from)) r->next = to;
}

bool KeyedTable::open(sql::Connection& connection, const std::string& file_name, const char* what,
                      const char* table, const KeyLayout& layout, uint32_t largest) {
    db = &connection;
    where = file_name + " " + what;
    key = layout;
    max_length = largest;
    buffer = std::make_unique<unsigned char[]>(largest);
    std::memset(buffer.get(), 0, largest);
    file.record = buffer.get();
    file.record_size = largest;
    file.impl = this;

    const std::string t = table;
    return find_equal.prepare(*db, "SELECT pos, data FROM " + t + " WHERE sortkey = ?1", where) &&
           find_greater.prepare(
               *db, "SELECT pos, data FROM " + t + " WHERE sortkey > ?1 ORDER BY sortkey LIMIT 1", where) &&
           find_greater_equal.prepare(
               *db, "SELECT pos, data FROM " + t + " WHERE sortkey >= ?1 ORDER BY sortkey LIMIT 1", where) &&
           find_position.prepare(*db, "SELECT pos, data FROM " + t + " WHERE pos = ?1", where) &&
           walk.prepare(*db,
                        "SELECT pos, data FROM " + t + " WHERE sortkey > ?1 ORDER BY sortkey LIMIT " +
                            std::to_string(kWalk),
                        where) &&
           insert.prepare(*db, "INSERT INTO " + t + "(sortkey, data) VALUES (?1, ?2)", where) &&
           update.prepare(*db, "UPDATE " + t + " SET sortkey = ?1, data = ?2 WHERE pos = ?3", where) &&
           erase.prepare(*db, "DELETE FROM " + t + " WHERE pos = ?1", where) &&
           upsert.prepare(*db,
                          "INSERT INTO " + t +
                              "(sortkey, data) VALUES (?1, ?2) "
                              "ON CONFLICT(sortkey) DO UPDATE SET data = excluded.data",
                          where) &&
           count.prepare(*db, "SELECT count(*) FROM " + t, where) &&
           all.prepare(*db, "SELECT pos, data FROM " + t + " ORDER BY sortkey", where);
}

int16_t KeyedTable::read_row(sql::Use& s, void* record, const char* operation, bool keep) {
    if (!s.row(operation)) {
        current = 0;
        current_length = 0;
        return 0;
    }
    const auto length = static_cast<uint32_t>(s.bytes(1));
    const void* data = s.blob(1);
    load(s.integer(0), data, length, record);
    if (keep && length >= key.size()) {
        unsigned char folded[kMaxKeySize];
        fold_key(key, data, folded);
        recent.keep(current, std::string_view(reinterpret_cast<const char*>(folded), key.size()),
                    std::string_view(static_cast<const char*>(data), length));
    }
    return 1;
}

int16_t KeyedTable::load(int64_t position, const void* data, uint32_t length, void* record) {
    unsigned char* out = record ? static_cast<unsigned char*>(record) : buffer.get();
    const uint32_t n = record ? length : std::min(length, max_length);
    if (n) std::memcpy(out, data, n);
    if (!record && n < max_length) std::memset(out + n, 0, max_length - n);
    current = position;
    current_length = length;
    return 1;
}

RecentRecords* KeyedTable::recent_now() {
    if (!clock || !clock->usable) return nullptr;
    recent.check(db->total_changes(), db->rollbacks(), clock->others);
    return &recent;
}

int16_t KeyedTable::walk_on(const RecentRecords::Record& from, void* record) {
    const int64_t from_position = from.position;  // `from` may be replaced by what is kept
    unsigned char after[kMaxKeySize];
    std::memcpy(after, from.key.data(), key.size());
    sql::Use s(walk);
    s.bind_blob(1, after, key.size());
    if (!read_row(s, record, "dfaAcqLock", true)) return 0;
    recent.link(from_position, current);
    int64_t previous = current;
    for (int i = 1; i < kWalk && s.row("dfaAcqLock"); ++i) {
        const int64_t position = s.integer(0);
        const auto length = static_cast<uint32_t>(s.bytes(1));
        if (length < key.size()) break;
        const void* data = s.blob(1);
        unsigned char folded[kMaxKeySize];
        fold_key(key, data, folded);
        recent.keep(position, std::string_view(reinterpret_cast<const char*>(folded), key.size()),
                    std::string_view(static_cast<const char*>(data), length));
        recent.link(previous, position);
        previous = position;
    }
    return 1;
}

int16_t KeyedTable::acquire(void* record, const void* search, int16_t keynum, int16_t operation) {
    if (keynum != 0) {
        mistake("dfaAcqLock: no key number " + std::to_string(keynum) + " (only key 0)");
        return 0;
    }
    sql::Statement* statement = nullptr;
    switch (operation) {
        case DFA_EQUAL: statement = &find_equal; break;
        case DFA_GREATER: statement = &find_greater; break;
        case DFA_GREATER_EQUAL: statement = &find_greater_equal; break;
        default:
            mistake("dfaAcqLock: unknown operation " + std::to_string(operation));
            return 0;
    }
    if (!search) return 0;
    // The key may lie inside the record buffer that the result overwrites:
    // it is folded (copied) first.
    unsigned char folded[kMaxKeySize];
    fold_key(key, search, folded);
    RecentRecords* known = recent_now();
    if (known) {
        if (const RecentRecords::Record* same = known->with_key({reinterpret_cast<const char*>(folded), key.size()})) {
            if (operation != DFA_GREATER)
                return load(same->position, same->data.data(), static_cast<uint32_t>(same->data.size()), record);
            if (const RecentRecords::Record* next = known->after(*same))
                return load(next->position, next->data.data(), static_cast<uint32_t>(next->data.size()), record);
            return walk_on(*same, record);
        }
    }
    sql::Use s(*statement);
    s.bind_blob(1, folded, key.size());
    return read_row(s, record, "dfaAcqLock", known != nullptr);
}

int16_t KeyedTable::acquire_position(void* record, uint32_t position, int16_t keynum) {
    if (keynum != 0) {
        mistake("dfaAcqAbsLock: no key number " + std::to_string(keynum) + " (only key 0)");
        return 0;
    }
    RecentRecords* known = recent_now();
    if (known)
        if (const RecentRecords::Record* r = known->at(position))
            return load(r->position, r->data.data(), static_cast<uint32_t>(r->data.size()), record);
    sql::Use s(find_position);
    s.bind(1, int64_t{position});
    return read_row(s, record, "dfaAcqAbsLock", known != nullptr);
}

bool KeyedTable::length_fits(uint32_t length, const char* operation) const {
    if (length >= key.size() && length <= max_length) return true;
    mistake(std::string(operation) + ": record length " + std::to_string(length) + " outside " +
            std::to_string(key.size()) + ".." + std::to_string(max_length));
    return false;
}

int16_t KeyedTable::add(const void* record, uint32_t length, bool* duplicate) {
    if (!record || !length_fits(length, "insert")) return 0;
    unsigned char folded[kMaxKeySize];
    fold_key(key, record, folded);
    sql::Use s(insert);
    s.bind_blob(1, folded, key.size()).bind_blob(2, record, length);
    const sql::Use::Step step = s.step("insert");
    if (step != sql::Use::Step::done) {
        if (duplicate && step == sql::Use::Step::refused) *duplicate = true;
        return 0;
    }
    const int64_t row = db->last_insert_rowid();
    if (row > static_cast<int64_t>(UINT32_MAX)) {
        mistake("insert: positions exhausted");
        return 0;
    }
    current = row;
    current_length = length;
    return 1;
}

int16_t KeyedTable::rewrite(const void* record, uint32_t length) {
    if (current == 0) {
        mistake("dfaUpdateV: no current record");
        return 0;
    }
    const void* data = record ? record : buffer.get();
    if (!length_fits(length, "dfaUpdateV")) return 0;
    unsigned char folded[kMaxKeySize];
    fold_key(key, data, folded);
    sql::Use s(update);
    s.bind_blob(1, folded, key.size()).bind_blob(2, data, length).bind(3, current);
    if (!s.run("dfaUpdateV")) return 0;  // a taken key is refused, not reported
    if (db->changes() != 1) return 0;     // deleted meanwhile
    current_length = length;
    return 1;
}

bool KeyedTable::remove(int64_t position, const char* operation) {
    sql::Use s(erase);
    s.bind(1, position);
    return s.run(operation) && db->changes() == 1;
}

int16_t KeyedTable::remove_current() {
    if (current == 0) {
        mistake("dfaDelete: no current record");
        return 0;
    }
    const bool removed = remove(current, "dfaDelete");
    current = 0;
    current_length = 0;
    return removed ? 1 : 0;
}

namespace datafile {

static KeyedTable* table_of(HostDataFile* file) { return static_cast<KeyedTable*>(file->impl); }

int16_t acquire(HostDataFile* file, void* record, const void* key, int16_t keynum,
                int16_t operation) {
    return table_of(file)->acquire(record, key, keynum, operation);
}
int16_t acquire_position(HostDataFile* file, void* record, uint32_t position, int16_t keynum) {
    return table_of(file)->acquire_position(record, position, keynum);
}
uint32_t position(HostDataFile* file) { return static_cast<uint32_t>(table_of(file)->current); }
int16_t insert(HostDataFile* file, const void* record, uint32_t length) {
    return table_of(file)->add(record, length, nullptr);
}
int16_t update(HostDataFile* file, const void* record, uint32_t length) {
    return table_of(file)->rewrite(record, length);
}
int16_t erase(HostDataFile* file) { return table_of(file)->remove_current(); }
uint32_t length(HostDataFile* file) {
    KeyedTable* t = table_of(file);
    return t->current ? t->current_length : 0;
}

}  // namespace datafile

}  // namespace bbs
