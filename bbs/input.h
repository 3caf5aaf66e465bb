// How the host turns a typed line into `input`, `margc` and `margv`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bbs {

// Drops control characters (bytes below 0x20 and 0x7F) and cuts the line
// to `limit` bytes.
std::string clean_line(std::string_view raw, size_t limit);

// Copies the line into `buffer` (of `size` bytes) and splits it into words
// at blanks, in place: the blank after every word becomes a terminator and
// words[i] points at word i. At most `max_words` words; the last one then
// keeps the rest of the line.
void split_words(std::string_view line, char* buffer, size_t size, char** words, size_t max_words,
                 int32_t* count);

// Puts the blanks back after the first count-1 words, so that words[0]
// holds the whole line from its first word to the end of its last word.
void rejoin_words(char** words, int32_t* count);

}  // namespace bbs
