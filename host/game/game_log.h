// The game's log file (brakvold.log). It is opened once and kept open (for
// appending, owner-only), so that a line can still be written when the
// process has no file handle to spare; reopen() opens it by name again
// after logrotate moved it away. Every line begins with the time it was
// written, in UTC ("2026-12-07T08:01:02Z ", bbs::log_stamp); after it the
// text is appended as given, line ends included, except that control bytes
// other than line ends, and bytes that are not UTF-8, are shown as \xHH: a
// user's text in a line cannot act on the terminal of whoever reads the
// log. Text that does not end its line is continued by the next append,
// without a stamp of its own.
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
    // Lets go of the open file and opens the file by its name again (for
    // appending, owner-only). False with *error when it cannot: the log
    // stays on the file it had.
    bool reopen(std::string* error);
    std::string read() const;   // the whole file; empty when it does not exist
    const std::filesystem::path& path() const { return file_; }

private:
    bool open(std::string* error);
    int open_file(std::string* error);  // the descriptor, -1 with *error

    std::filesystem::path file_;
    int fd_ = -1;
    bool at_line_start_ = true;  // the next byte begins a line of the file
};

// The text as it goes into the game log: "\r\n" and "\n" stay, every other
// control byte (a lone CR too) and every byte that is not UTF-8 becomes \xHH.
// With a stamp, it goes before every line the text begins (the first one
// only when `at_line_start`).
std::string game_log_text(std::string_view text, std::string_view stamp = {},
                          bool at_line_start = true);

}  // namespace game
