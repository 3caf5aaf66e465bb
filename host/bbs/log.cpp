#include "bbs/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "text/utf8.h"

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

std::string log_stamp(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return stamp;
}

HostLog::~HostLog() { close(); }

bool HostLog::open(const std::filesystem::path& file, std::string* error) {
    // The file open until now stays the log until the new one is there.
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || !owner_only(fd)) {
        if (error) *error = "cannot open the host log " + file.string() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    close();
    fd_ = fd;
    path_ = file;
    failing_ = false;
    return true;
}

bool HostLog::reopen(std::string* error) {
    if (path_.empty()) {
        if (error) *error = "the host log was never opened";
        return false;
    }
    return open(path_, error);
}

void HostLog::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void HostLog::write(std::string_view text) {
    if (fd_ < 0) return;
    std::string line = log_stamp(std::time(nullptr));
    line += ' ';
    std::string one_line(text);
    for (char& c : one_line)
        if (c == '\r' || c == '\n') c = ' ';
    line += text::escaped_for_log(one_line);
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
