// The dfa* services of platform/host.h: a stack of selected data files, and every
// record operation on the file selected at the top of it.
#include <cstdio>
#include <string>

#include "bbs/database.h"
#include "platform/host.h"

extern "C" {
HostDataFile* genbb = nullptr;
HostDataFile* clsbb = nullptr;
}

namespace {

// dfaSetBlk remembers the file it replaces; dfaRstBlk brings it back.
class Selection {
public:
    static constexpr int kDepth = 32;

    void select(HostDataFile* file) {
        if (depth_ < kDepth) {
            saved_[depth_++] = current_;
        } else {
            // Deeper than any module nests: the oldest selections still come
            // back in order, this one's predecessor cannot.
            ++lost_;
            warn("dfaSetBlk: selections nested deeper than " + std::to_string(kDepth));
        }
        current_ = file;
    }

    void restore() {
        if (lost_ > 0) {
            --lost_;
            return;
        }
        if (depth_ == 0) {
            warn("dfaRstBlk: no dfaSetBlk to undo");
            return;
        }
        current_ = saved_[--depth_];
    }

    void clear(bbs::Database* database) {
        database_ = database;
        current_ = nullptr;
        depth_ = 0;
        lost_ = 0;
    }

    bbs::SelectionMark mark() const { return {current_, depth_ + lost_}; }

    // Back to a mark the stack has grown past since.
    void restore_to(const bbs::SelectionMark& mark) {
        while (depth_ + lost_ > mark.depth) restore();
        current_ = const_cast<HostDataFile*>(mark.current);
    }

    // The selected file, or null (a warning naming the service).
    HostDataFile* current(const char* service) const {
        if (!current_ || !current_->impl) {
            warn(std::string(service) + ": no data file selected");
            return nullptr;
        }
        return current_;
    }

private:
    // In the host log of the host whose database is bound (stderr without one).
    void warn(const std::string& text) const {
        if (database_)
            database_->warn(text);
        else
            std::fprintf(stderr, "%s\n", text.c_str());
    }

    bbs::Database* database_ = nullptr;
    HostDataFile* current_ = nullptr;
    HostDataFile* saved_[kDepth] = {};
    int depth_ = 0;
    int lost_ = 0;
};

Selection selection;

}  // namespace

namespace bbs {

void bind_database(Database* database) {
    genbb = database ? database->generic() : nullptr;
    clsbb = database ? database->classes() : nullptr;
    selection.clear(database);
}

SelectionMark selection_mark() { return selection.mark(); }
void restore_selection(const SelectionMark& mark) { selection.restore_to(mark); }

}  // namespace bbs

extern "C" {

void dfaSetBlk(HostDataFile* file) { selection.select(file); }

void dfaRstBlk(void) { selection.restore(); }

int16_t dfaAcqLock(void* record, const void* key, int16_t keynum, int16_t operation, int16_t) {
    HostDataFile* file = selection.current("dfaAcqLock");
    return file ? bbs::datafile::acquire(file, record, key, keynum, operation) : 0;
}

uint32_t dfaAbs(void) {
    HostDataFile* file = selection.current("dfaAbs");
    return file ? bbs::datafile::position(file) : 0;
}

int16_t dfaAcqAbsLock(void* record, uint32_t position, int16_t keynum, int16_t) {
    HostDataFile* file = selection.current("dfaAcqAbsLock");
    return file ? bbs::datafile::acquire_position(file, record, position, keynum) : 0;
}

int16_t dfaInsertV(const void* record, uint32_t length) {
    HostDataFile* file = selection.current("dfaInsertV");
    return file ? bbs::datafile::insert(file, record, length) : 0;
}

int16_t dfaUpdateV(const void* record, uint32_t length) {
    HostDataFile* file = selection.current("dfaUpdateV");
    return file ? bbs::datafile::update(file, record, length) : 0;
}

int16_t dfaDelete(void) {
    HostDataFile* file = selection.current("dfaDelete");
    return file ? bbs::datafile::erase(file) : 0;
}

}  // extern "C"
