// The host log: one file in the data folder, one time-stamped line per event
// (start, stop, logons, reloads, warnings, errors).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace bbs {

class HostLog {
public:
    HostLog() = default;
    ~HostLog();
    HostLog(const HostLog&) = delete;
    HostLog& operator=(const HostLog&) = delete;

    // Opens (appends to) the file; false with *error when it cannot.
    bool open(const std::filesystem::path& file, std::string* error);
    void close();
    // Writes "YYYY-MM-DD HH:MM:SS text\n"; line breaks inside the text are
    // shown as blanks so that every event stays on one line.
    void write(std::string_view text);
    void warning(std::string_view text);  // "warning: " + text
    void error(std::string_view text);    // "error: " + text

private:
    std::FILE* file_ = nullptr;
};

}  // namespace bbs
