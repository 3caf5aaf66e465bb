// The module library exports exactly the routines the host and the game look
// up by name; everything else stays inside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

TEST(ModuleExports, ExactlyTheSevenEntryPoints)
{
    std::string command = "nm -D --defined-only " PLUS_BIN_DIR "/libqrtbkpls.so 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string listing;
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
        listing.append(chunk, got);
    }
    ASSERT_EQ(0, pclose(pipe)) << listing;

    std::set<std::string> names;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) {
            names.insert(name);
        }
    }
    std::set<std::string> expected = {
        "init__qrtbkpls", "reload__qrtbkpls", "reload_ini_settings", "plus_menu_display",
        "plus_menu_command", "plus_user_description", "brakvold_plus_globals",
    };
    EXPECT_EQ(expected, names) << listing;
}

}  // namespace
