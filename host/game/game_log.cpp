#include "game/game_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bbs/log.h"
#include "bbs/text.h"

namespace game {

std::string game_log_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (text[i] != '\n' && !crlf) continue;
        out += bbs::escaped_for_log(text.substr(start, i - start));
        out += crlf ? "\r\n" : "\n";
        if (crlf) ++i;
        start = i + 1;
    }
    out += bbs::escaped_for_log(text.substr(start));
    return out;
}

GameLog::GameLog(std::filesystem::path file) : file_(std::move(file)) { open(nullptr); }

GameLog::~GameLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool GameLog::open(std::string* error) {
    if (fd_ >= 0) return true;
    fd_ = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && bbs::owner_only(fd_)) return true;
    if (error) *error = "cannot open the game log " + file_.string() + ": " + std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
}

bool GameLog::append(std::string_view text, std::string* error) {
    std::string why;
    if (!open(&why)) {
        if (error) *error = why + "; lost: " + bbs::escaped_for_log(text);
        return false;
    }
    const int failed = bbs::write_all(fd_, game_log_text(text));
    if (failed == 0) return true;
    if (error)
        *error = "cannot write the game log " + file_.string() + ": " + std::strerror(failed) +
                 "; lost: " + bbs::escaped_for_log(text);
    return false;
}

std::string GameLog::read() const {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace game
