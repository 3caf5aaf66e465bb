// The dfa* services of platform/host.h: a stack of selected data files, and every
// record operation on the file selected at the top of it.
#include <cstdio>

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
            std::fprintf(stderr, "dfaSetBlk: selections nested deeper than %d\n", kDepth);
        }
        current_ = file;
    }

    void restore() {
        if (lost_ > 0) {
            --lost_;
            return;
        }
        if (depth_ == 0) {
            std::fprintf(stderr, "dfaRstBlk: no dfaSetBlk to undo\n");
            return;
        }
        current_ = saved_[--depth_];
    }

    void clear() {
        current_ = nullptr;
        depth_ = 0;
        lost_ = 0;
    }

    // The selected file, or null (said on stderr, naming the service).
    HostDataFile* current(const char* service) const {
        if (!current_ || !current_->impl) {
            std::fprintf(stderr, "%s: no data file selected\n", service);
            return nullptr;
        }
        return current_;
    }

private:
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
    selection.clear();
}

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
