// bbshost-testing: bbshost for the end-to-end tests. Its main is bbshost's
// own (host/app/main.cpp, built in as it is); the one difference is this
// file: BBS_FAST_HASH=1 in the environment lowers the cost of the password
// hashes the program makes to libsodium's minimum, before main runs, so
// that tests that add accounts and log on by the dozen stay fast. bbshost
// itself has no such switch, and this program is never installed.
#include <cstdlib>
#include <string_view>

#include "bbs/accounts.h"

namespace {

const bool kCheapHashes = [] {
    const char* fast = std::getenv("BBS_FAST_HASH");
    if (fast && std::string_view(fast) == "1") bbs::set_password_cost_for_tests(bbs::PasswordCost::minimum);
    return true;
}();

}  // namespace
