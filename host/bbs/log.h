// The host log: one file in the data folder, one time-stamped line per event
// (start, stop, logons, reloads, warnings, errors).
#pragma once

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace bbs {

// Writes all of `bytes` to `fd` (retrying short writes and EINTR); 0, or
// the errno of the write that failed.
int write_all(int fd, std::string_view bytes);

// Takes group and other permissions off the regular file open at `fd`
// (devices and other files are left as they are); false when it cannot.
bool owner_only(int fd);

// The time stamp that begins every line of the host's and the game's logs:
// ISO 8601 in UTC, "2026-12-07T08:01:02Z" (kLogStampSize characters).
inline constexpr std::size_t kLogStampSize = 20;
std::string log_stamp(std::time_t when);

class HostLog {
public:
    HostLog() = default;
    ~HostLog();
    HostLog(const HostLog&) = delete;
    HostLog& operator=(const HostLog&) = delete;

    // Opens (appends to) the file, readable and writable by its owner only
    // (an existing file is tightened to that); false with *error when it
    // cannot.
    bool open(const std::filesystem::path& file, std::string* error);
    // Opens the file by its name again (after logrotate moved it away): the
    // next line goes to a new file of that name. When it cannot, the log
    // stays on the file it had, and *error says why.
    bool reopen(std::string* error);
    void close();
    // Writes "YYYY-MM-DDTHH:MM:SSZ text\n" (log_stamp, in UTC). The text may come from users:
    // line breaks inside it become blanks, so that every event stays on one
    // line, and every other control byte or byte that is not UTF-8 is shown
    // as \xHH (text/utf8.h), so that no line can act on a terminal.
    // A line that cannot be written is reported on stderr, once until a
    // line can be written again.
    void write(std::string_view text);
    void warning(std::string_view text);  // "warning: " + text
    void error(std::string_view text);    // "error: " + text

private:
    int fd_ = -1;
    std::filesystem::path path_;
    bool failing_ = false;  // the last write failed and was reported
};

}  // namespace bbs
