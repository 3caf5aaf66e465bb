// ASCII text as the host compares and trims it: user-IDs, names, keys and
// words are the same whatever the case of their ASCII letters (bytes past
// 0x7F are compared as they are), and blanks around a value do not count.
// Also the text of the fixed-width, zero-terminated fields of C records.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// Spaces and tabs; and every white-space byte (std::isspace's in the C
// locale), for texts that may hold line breaks.
inline constexpr std::string_view kBlanks = " \t";
inline constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// The ASCII letter in the other case; every other byte as it is.
constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
std::string lowercase(std::string_view s);
std::string uppercase(std::string_view s);

// Equal when the ASCII letters are lowered.
bool equal_ignoring_case(std::string_view a, std::string_view b);
// <0, 0 or >0 as `a` sorts before, with or after `b`, comparing the bytes
// with ASCII letters lowered (as strcasecmp does in the C locale).
int compare_ignoring_case(std::string_view a, std::string_view b);
// True when `s` begins with `start` ignoring case (an empty start: always).
bool starts_ignoring_case(std::string_view s, std::string_view start);

// `s` without the bytes of `blanks` at its ends (trim), at its start
// (trim_front) or at its end (trim_back).
std::string_view trim(std::string_view s, std::string_view blanks = kBlanks);
std::string_view trim_front(std::string_view s, std::string_view blanks = kBlanks);
std::string_view trim_back(std::string_view s, std::string_view blanks = kBlanks);

// The text of a fixed-width field of `size` bytes: up to its first NUL, or
// all of it when it fills the field.
std::string_view field(const char* f, std::size_t size);
template <std::size_t N>
std::string_view field(const char (&f)[N]) {
    return field(f, N);
}

}  // namespace text
