// The host's line editor (what bgnedt opens): edits a module's buffer in
// place, line by line, never writing past the buffer's size. Lines are
// joined with a CR in the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
    void replace(std::string_view text);   // cut to size-1
    std::string text() const;
    size_t size() const { return size_; }
    Done done() const { return done_; }

private:
    std::string listing() const;
    char* buffer_;
    size_t size_;
    Done done_;
};

}  // namespace bbs
