// The game's log file (brakvold.log). It is opened once and kept open (for
// appending, owner-only), so that a line can still be written when the
// process has no file handle to spare. Lines are appended as given except
// that control bytes other than line ends, and bytes that are not UTF-8,
// are shown as \xHH: a user's text in a line cannot act on the terminal of
// whoever reads the log.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace game {

class GameLog {
public:
    explicit GameLog(std::filesystem::path file);
    ~GameLog();
    GameLog(const GameLog&) = delete;
    GameLog& operator=(const GameLog&) = delete;

    // False with *error (what failed, on which file, and the text that
    // was lost) when the text could not be written whole.
    bool append(std::string_view text, std::string* error = nullptr);
    std::string read() const;   // the whole file; empty when it does not exist
    const std::filesystem::path& path() const { return file_; }

private:
    bool open(std::string* error);

    std::filesystem::path file_;
    int fd_ = -1;
};

// The text as it goes into the game log: "\r\n" and "\n" stay, every other
// control byte (a lone CR too) and every byte that is not UTF-8 becomes \xHH.
std::string game_log_text(std::string_view text);

}  // namespace game
