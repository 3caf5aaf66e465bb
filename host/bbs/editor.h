// The host's line editor (what bgnedt opens): edits a module's buffer in
// place, line by line, never writing past the buffer's size. Lines are
// joined with a CR in the text.
//
// A typed line is added at the end; one longer than kLineLimit characters
// is wrapped at its last blank within the limit (a word longer than that
// is broken), never inside a character. Commands: /s saves, /a abandons,
// /l lists the lines with their numbers, /c clears, /h helps, /d N deletes
// line N, /e N makes the next line typed replace line N, /i N makes it go
// before line N. A change that would pass the size changes nothing ("Text
// is full.").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bbs {

class LineEditor {
public:
    static constexpr size_t kLineLimit = 79;
    enum class Result { editing, save, abandon };
    using Done = int16_t (*)(int16_t status);

    // `size` counts the terminator; the buffer must hold `size` bytes.
    LineEditor(char* buffer, size_t size, Done done);

    std::string header() const;        // shown when the editor starts
    // Handles one typed line; `reply` gets what the user is shown.
    Result line(std::string_view text, std::string* reply);
    void replace(std::string_view text);   // cut to size-1, never inside a character
    std::string text() const;
    size_t size() const { return size_; }
    Done done() const { return done_; }

    // A typed line as the editor stores it: pieces of at most kLineLimit
    // characters, broken at blanks where it can.
    static std::vector<std::string> wrap(std::string_view line);

private:
    enum class Pending { none, edit, insert };

    std::string listing() const;
    std::vector<std::string> lines() const;
    bool store(const std::vector<std::string>& lines, std::string* reply);
    bool command(std::string_view typed, std::string* reply, Result* result);

    char* buffer_;
    size_t size_;
    Done done_;
    Pending pending_ = Pending::none;
    size_t target_ = 0;  // the line number /e or /i named (1-based)
};

}  // namespace bbs
