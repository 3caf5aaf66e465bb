#include "app/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace app {

namespace {

// The process ID written in the lock file; 0 when there is none.
pid_t written_pid(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

std::unique_ptr<FolderLock> FolderLock::take(const std::filesystem::path& dir, pid_t* holder,
                                             std::string* error) {
    *holder = 0;
    const std::filesystem::path file = dir / kFileName;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot open " + file.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        if (why == EWOULDBLOCK) {
            *holder = written_pid(fd);
            *error = "data folder " + dir.string() + " is in use by " +
                     (*holder ? "process " + std::to_string(*holder) : std::string("another process"));
        } else {
            *error = "cannot lock " + file.string() + ": " + std::strerror(why);
        }
        ::close(fd);
        return nullptr;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        *error = "cannot write " + file.string() + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FolderLock>(new FolderLock(fd));
}

FolderLock::~FolderLock() { ::close(fd_); }

}  // namespace app
