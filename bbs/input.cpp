#include "bbs/input.h"

#include <cstring>

namespace bbs {

std::string clean_line(std::string_view raw, size_t limit) {
    std::string out;
    out.reserve(raw.size() < limit ? raw.size() : limit);
    for (char c : raw) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) continue;
        if (out.size() >= limit) break;
        out += c;
    }
    return out;
}

void split_words(std::string_view line, char* buffer, size_t size, char** words, size_t max_words,
                 int32_t* count) {
    size_t n = line.size() < size - 1 ? line.size() : size - 1;
    std::memcpy(buffer, line.data(), n);
    std::memset(buffer + n, 0, size - n);
    for (size_t i = 0; i < max_words; ++i) words[i] = buffer + n;
    *count = 0;
    size_t pos = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (pos < n && static_cast<size_t>(*count) < max_words) {
        while (pos < n && blank(buffer[pos])) ++pos;
        if (pos >= n) break;
        words[(*count)++] = buffer + pos;
        if (static_cast<size_t>(*count) == max_words) break;  // the last word keeps the rest
        while (pos < n && !blank(buffer[pos])) ++pos;
        if (pos < n) buffer[pos++] = '\0';
    }
}

void rejoin_words(char** words, int32_t* count) {
    if (*count <= 0) return;
    for (int32_t i = 0; i + 1 < *count; ++i) words[i][std::strlen(words[i])] = ' ';
    *count = 1;
}

}  // namespace bbs
