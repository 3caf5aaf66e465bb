// The game's log file (brakvold.log). Lines are appended exactly as given
// and the file is closed after every write, so nothing waits in a buffer.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace game {

class GameLog {
public:
    explicit GameLog(std::filesystem::path file) : file_(std::move(file)) {}

    bool append(std::string_view text) const;
    std::string read() const;   // the whole file; empty when it does not exist
    const std::filesystem::path& path() const { return file_; }

private:
    std::filesystem::path file_;
};

}  // namespace game
