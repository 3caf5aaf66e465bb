#include "game/game_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "bbs/log.h"
#include "text/utf8.h"

namespace game {

std::string game_log_text(std::string_view text, std::string_view stamp, bool at_line_start) {
    std::string out;
    out.reserve(text.size() + stamp.size() + 2);
    bool line_start = at_line_start;
    size_t start = 0;
    auto piece = [&](std::string_view part) {
        if (part.empty()) return;
        if (line_start) out += stamp;
        line_start = false;
        out += text::escaped_for_log(part);
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (text[i] != '\n' && !crlf) continue;
        if (line_start) out += stamp;  // an empty line is stamped too
        line_start = false;
        out += text::escaped_for_log(text.substr(start, i - start));
        out += crlf ? "\r\n" : "\n";
        line_start = true;
        if (crlf) ++i;
        start = i + 1;
    }
    piece(text.substr(start));
    return out;
}

GameLog::GameLog(std::filesystem::path file) : file_(std::move(file)) { open(nullptr); }

GameLog::~GameLog() {
    if (fd_ >= 0) ::close(fd_);
}

int GameLog::open_file(std::string* error) {
    // Read too: whether the file ends its last line (ends_a_line).
    const int fd = ::open(file_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && bbs::owner_only(fd)) return fd;
    if (error) *error = "cannot open the game log " + file_.string() + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
}

// Whether the file open at `fd` is empty or ends its last line.
static bool ends_a_line(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return true;
    char last = '\n';
    return ::pread(fd, &last, 1, st.st_size - 1) != 1 || last == '\n';
}

bool GameLog::open(std::string* error) {
    if (fd_ >= 0) return true;
    fd_ = open_file(error);
    if (fd_ < 0) return false;
    at_line_start_ = ends_a_line(fd_);
    return true;
}

bool GameLog::reopen(std::string* error) {
    const int fd = open_file(error);
    if (fd < 0) return false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    at_line_start_ = ends_a_line(fd_);
    return true;
}

bool GameLog::append(std::string_view text, std::string* error) {
    std::string why;
    if (!open(&why)) {
        if (error) *error = why + "; lost: " + text::escaped_for_log(text);
        return false;
    }
    const std::string stamp = bbs::log_stamp(std::time(nullptr)) + ' ';
    const int failed = bbs::write_all(fd_, game_log_text(text, stamp, at_line_start_));
    if (failed == 0) {
        if (!text.empty()) at_line_start_ = text.back() == '\n';
        return true;
    }
    if (error)
        *error = "cannot write the game log " + file_.string() + ": " + std::strerror(failed) +
                 "; lost: " + text::escaped_for_log(text);
    return false;
}

std::string GameLog::read() const {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace game
