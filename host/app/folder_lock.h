// The lock of a data folder, DIR/bbshost.lock: whoever must have the folder
// to himself (the bbshost that serves it, a restore of its database) holds
// an exclusive flock on that file for as long as he runs, with his process
// ID written in it. The kernel lets go of the lock when the process ends,
// however it ends, so a lock is never left behind by a crash.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace app {

class FolderLock {
public:
    static constexpr const char* kFileName = "bbshost.lock";

    // Takes the lock without waiting. Null when it cannot: *holder is then
    // the process that holds it (0 when the lock file cannot be opened or
    // names nobody), and *error says why.
    static std::unique_ptr<FolderLock> take(const std::filesystem::path& dir, pid_t* holder,
                                            std::string* error);
    ~FolderLock();   // lets go (the file stays)

    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    explicit FolderLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace app
