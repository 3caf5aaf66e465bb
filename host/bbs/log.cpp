#include "bbs/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bbs/text.h"

namespace bbs {

int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

bool owner_only(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) return true;
    return ::fchmod(fd, st.st_mode & 0700) == 0;
}

HostLog::~HostLog() { close(); }

bool HostLog::open(const std::filesystem::path& file, std::string* error) {
    close();
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || !owner_only(fd)) {
        if (error) *error = "cannot open the host log " + file.string() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = file;
    failing_ = false;
    return true;
}

void HostLog::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void HostLog::write(std::string_view text) {
    if (fd_ < 0) return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line(stamp);
    line += ' ';
    std::string one_line(text);
    for (char& c : one_line)
        if (c == '\r' || c == '\n') c = ' ';
    line += escaped_for_log(one_line);
    line += '\n';
    const int why = write_all(fd_, line);
    if (why == 0) {
        failing_ = false;
        return;
    }
    if (failing_) return;
    failing_ = true;
    std::fprintf(stderr, "bbshost: cannot write the host log %s: %s; lost: %s", path_.c_str(),
                 std::strerror(why), line.c_str());
    std::fflush(stderr);
}

void HostLog::warning(std::string_view text) { write("warning: " + std::string(text)); }
void HostLog::error(std::string_view text) { write("error: " + std::string(text)); }

}  // namespace bbs
