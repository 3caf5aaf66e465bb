#include "text/ascii.h"

#include <cstring>

namespace text {

std::string lowercase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

std::string uppercase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = upper(c);
    return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && starts_ignoring_case(a, b);
}

int compare_ignoring_case(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(lower(a[i])), y = static_cast<unsigned char>(lower(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool starts_ignoring_case(std::string_view s, std::string_view start) {
    if (start.size() > s.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i)
        if (lower(s[i]) != lower(start[i])) return false;
    return true;
}

std::string_view trim(std::string_view s, std::string_view blanks) { return trim_back(trim_front(s, blanks), blanks); }

std::string_view trim_front(std::string_view s, std::string_view blanks) {
    const std::size_t begin = s.find_first_not_of(blanks);
    return s.substr(begin == std::string_view::npos ? s.size() : begin);
}

std::string_view trim_back(std::string_view s, std::string_view blanks) {
    const std::size_t last = s.find_last_not_of(blanks);
    return s.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

std::string_view field(const char* f, std::size_t size) { return std::string_view(f, strnlen(f, size)); }

}  // namespace text
