#include "bbs/log.h"

#include <ctime>

namespace bbs {

HostLog::~HostLog() { close(); }

bool HostLog::open(const std::filesystem::path& file, std::string* error) {
    close();
    file_ = std::fopen(file.c_str(), "a");
    if (!file_) {
        if (error) *error = "cannot open the host log " + file.string();
        return false;
    }
    return true;
}

void HostLog::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

void HostLog::write(std::string_view text) {
    if (!file_) return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line(stamp);
    line += ' ';
    for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void HostLog::warning(std::string_view text) { write("warning: " + std::string(text)); }
void HostLog::error(std::string_view text) { write("error: " + std::string(text)); }

}  // namespace bbs
