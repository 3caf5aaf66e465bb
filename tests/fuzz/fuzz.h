// What the fuzz programs share: findings, pieces, and the tests' World with the fuzz people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/world.h"
#include "text/utf8.h"

namespace plusfuzz {

// A finding: says what went wrong (and fail_context()) on stderr and aborts.
[[noreturn]] void fail(const std::string& what);
std::string& fail_context();
// Bytes for a finding's message: control bytes and what is no UTF-8 as \xHH.
inline std::string shown(std::string_view bytes) { return text::escaped_for_log(bytes); }

// The program's target, which LLVMFuzzerTestOneInput runs on every input.
void fuzz_one(std::string_view bytes);

// The bytes in pieces of 1..longest bytes, their lengths drawn from `seed`.
std::vector<std::string_view> cut(std::string_view bytes, uint8_t seed, size_t longest = 64);

// Sysop (sysop, no character), Alice/Alia (rich), Bob/Bobo (poor, 8 lives),
// Carol/Cara (class missing from the class database), Dave (no character),
// Erin/Eris (a sysop who plays). Password "secret".
const std::vector<testing_support::UserSpec>& people();
inline bool is_sysop(const testing_support::UserSpec& p) { return !p.keys.empty(); }

// The world with people() and `channels` channels, started; a finding when it does not start.
testing_support::World& started(testing_support::World& world, int channels);

}  // namespace plusfuzz
