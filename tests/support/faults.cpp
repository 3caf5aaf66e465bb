#include "tests/support/faults.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace testing_support {

namespace {

// A file of the faults VFS: its own header, then the real VFS's file.
struct FaultFile {
    sqlite3_file base;
    Faults* faults;
    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

FaultFile* of(sqlite3_file* f) { return reinterpret_cast<FaultFile*>(f); }
sqlite3_file* real(sqlite3_file* f) { return of(f)->real(); }
const sqlite3_io_methods* methods(sqlite3_file* f) { return real(f)->pMethods; }

int f_close(sqlite3_file* f) { return methods(f)->xClose(real(f)); }
int f_read(sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return methods(f)->xRead(real(f), b, n, o); }
int f_write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (const int code = of(f)->faults->take_file_write()) return code;
    return methods(f)->xWrite(real(f), b, n, o);
}
int f_truncate(sqlite3_file* f, sqlite3_int64 size) { return methods(f)->xTruncate(real(f), size); }
int f_sync(sqlite3_file* f, int flags) { return methods(f)->xSync(real(f), flags); }
int f_size(sqlite3_file* f, sqlite3_int64* size) { return methods(f)->xFileSize(real(f), size); }
int f_lock(sqlite3_file* f, int l) { return methods(f)->xLock(real(f), l); }
int f_unlock(sqlite3_file* f, int l) { return methods(f)->xUnlock(real(f), l); }
int f_reserved(sqlite3_file* f, int* out) { return methods(f)->xCheckReservedLock(real(f), out); }
int f_control(sqlite3_file* f, int op, void* arg) { return methods(f)->xFileControl(real(f), op, arg); }
int f_sector(sqlite3_file* f) { return methods(f)->xSectorSize(real(f)); }
int f_device(sqlite3_file* f) { return methods(f)->xDeviceCharacteristics(real(f)); }
int f_shm_map(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return methods(f)->xShmMap(real(f), region, size, extend, out);
}
int f_shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    return methods(f)->xShmLock(real(f), offset, n, flags);
}
void f_shm_barrier(sqlite3_file* f) { methods(f)->xShmBarrier(real(f)); }
int f_shm_unmap(sqlite3_file* f, int del) { return methods(f)->xShmUnmap(real(f), del); }
int f_fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** out) {
    return methods(f)->xFetch(real(f), o, n, out);
}
int f_unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) { return methods(f)->xUnfetch(real(f), o, p); }

// One table per version of the real file's methods, so that SQLite never
// calls what the real file does not have.
const sqlite3_io_methods* table_for(int version) {
    static const sqlite3_io_methods v[3] = {
        {1, f_close, f_read, f_write, f_truncate, f_sync, f_size, f_lock, f_unlock, f_reserved, f_control,
         f_sector, f_device, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {2, f_close, f_read, f_write, f_truncate, f_sync, f_size, f_lock, f_unlock, f_reserved, f_control,
         f_sector, f_device, f_shm_map, f_shm_lock, f_shm_barrier, f_shm_unmap, nullptr, nullptr},
        {3, f_close, f_read, f_write, f_truncate, f_sync, f_size, f_lock, f_unlock, f_reserved, f_control,
         f_sector, f_device, f_shm_map, f_shm_lock, f_shm_barrier, f_shm_unmap, f_fetch, f_unfetch},
    };
    return &v[version < 1 ? 0 : version > 3 ? 2 : version - 1];
}

// A faults VFS serves the Faults it belongs to, and forwards to the VFS
// that was the default when they were made.
Faults& faults_of(sqlite3_vfs* vfs) { return *static_cast<Faults*>(vfs->pAppData); }
sqlite3_vfs* forward_to(sqlite3_vfs* vfs) { return faults_of(vfs).real_vfs(); }

int v_open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
    FaultFile* file = of(f);
    file->base.pMethods = nullptr;
    file->faults = &faults_of(vfs);
    sqlite3_vfs* r = forward_to(vfs);
    const int rc = r->xOpen(r, name, file->real(), flags, out_flags);
    if (file->real()->pMethods) file->base.pMethods = table_for(file->real()->pMethods->iVersion);
    return rc;
}
int v_delete(sqlite3_vfs* vfs, const char* name, int sync) { return forward_to(vfs)->xDelete(forward_to(vfs), name, sync); }
int v_access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
    return forward_to(vfs)->xAccess(forward_to(vfs), name, flags, out);
}
int v_full(sqlite3_vfs* vfs, const char* name, int n, char* out) {
    return forward_to(vfs)->xFullPathname(forward_to(vfs), name, n, out);
}
int v_random(sqlite3_vfs* vfs, int n, char* out) { return forward_to(vfs)->xRandomness(forward_to(vfs), n, out); }
int v_sleep(sqlite3_vfs* vfs, int us) { return forward_to(vfs)->xSleep(forward_to(vfs), us); }
int v_time(sqlite3_vfs* vfs, double* out) { return forward_to(vfs)->xCurrentTime(forward_to(vfs), out); }
int v_error(sqlite3_vfs* vfs, int n, char* out) { return forward_to(vfs)->xGetLastError(forward_to(vfs), n, out); }
int v_time64(sqlite3_vfs* vfs, sqlite3_int64* out) {
    return forward_to(vfs)->xCurrentTimeInt64(forward_to(vfs), out);
}

void* v_dlopen(sqlite3_vfs* vfs, const char* name) { return forward_to(vfs)->xDlOpen(forward_to(vfs), name); }
void v_dlerror(sqlite3_vfs* vfs, int n, char* out) { forward_to(vfs)->xDlError(forward_to(vfs), n, out); }
void (*v_dlsym(sqlite3_vfs* vfs, void* handle, const char* name))(void) {
    return forward_to(vfs)->xDlSym(forward_to(vfs), handle, name);
}
void v_dlclose(sqlite3_vfs* vfs, void* handle) { forward_to(vfs)->xDlClose(forward_to(vfs), handle); }

std::atomic<uint64_t> g_next_vfs{0};

// The Faults of each open connection.
std::map<const bbs::sql::Connection*, Faults*>& registry() {
    static std::map<const bbs::sql::Connection*, Faults*> faults;
    return faults;
}

}  // namespace

void Faults::install() {
    bbs::sql::interpose([](bbs::sql::Connection& c) { return std::make_unique<Faults>(c); });
}

Faults& Faults::of(bbs::Database& database) {
    const auto it = registry().find(&database.connection());
    if (it == registry().end()) {
        std::fprintf(stderr, "the database opened before Faults::install()\n");
        std::abort();
    }
    return *it->second;
}

Faults::Faults(bbs::sql::Connection& connection) : vfs_(std::make_unique<sqlite3_vfs>()) {
    registry()[&connection] = this;
    // The default VFS as it is now (a test may have put one of its own first).
    sqlite3_vfs* r = sqlite3_vfs_find(nullptr);
    vfs_name_ = "bbs-faults-" + std::to_string(++g_next_vfs);
    real_ = r;
    sqlite3_vfs& v = *vfs_;
    std::memset(&v, 0, sizeof v);
    v.iVersion = r->iVersion < 2 ? r->iVersion : 2;
    v.szOsFile = static_cast<int>(sizeof(FaultFile)) + r->szOsFile;
    v.mxPathname = r->mxPathname;
    v.zName = vfs_name_.c_str();
    v.pAppData = this;
    v.xOpen = v_open;
    v.xDelete = v_delete;
    v.xAccess = v_access;
    v.xFullPathname = v_full;
    if (r->xDlOpen) v.xDlOpen = v_dlopen;
    if (r->xDlError) v.xDlError = v_dlerror;
    if (r->xDlSym) v.xDlSym = v_dlsym;
    if (r->xDlClose) v.xDlClose = v_dlclose;
    v.xRandomness = v_random;
    v.xSleep = v_sleep;
    v.xCurrentTime = v_time;
    v.xGetLastError = v_error;
    if (v.iVersion >= 2) v.xCurrentTimeInt64 = v_time64;
    sqlite3_vfs_register(&v, 0);
}

Faults::~Faults() {
    sqlite3_vfs_unregister(vfs_.get());
    std::erase_if(registry(), [this](const auto& entry) { return entry.second == this; });
}

void Faults::fail_write(int nth, int code, bool whole_transaction) {
    fail_write_at_ = nth;
    fail_write_code_ = code;
    fail_whole_ = whole_transaction;
}

void Faults::fail_commit(int code) { commit_code_ = code; }

int Faults::before_write(bool* whole_transaction) {
    if (fail_write_at_ <= 0 || --fail_write_at_ > 0) return 0;
    *whole_transaction = fail_whole_;
    return fail_write_code_;
}

void Faults::end_commit() {
    committing_ = false;
    if (commit_refused_) commit_code_ = 0;  // this commit was the one
    commit_refused_ = false;
}

int Faults::take_file_write() {
    if (!committing_ || commit_code_ == 0) return 0;
    commit_refused_ = true;
    return commit_code_;
}

}  // namespace testing_support
