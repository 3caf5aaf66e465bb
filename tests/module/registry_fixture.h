// Helpers shared by the registry, lister, description administration and
// lookup tests: every message those screens print is replaced by a marker,
// so each test can state the exact bytes a channel must receive.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "description/description.h"
#include "menu/menu.h"
#include "purchase/purchase.h"
#include "registry/registry.h"
#include "tests/module/records_fixture.h"
#include "tests/support/world.h"

namespace regtest {

using namespace modtest; // the record builders, insert, show

inline const char* const kMarkedMessages[] = {
    "REGLAB1",  "REGLAB2",  "REGLAB3",  "REGLAB4",  "REGLAB5", "REGLAB6", "REGLAB7", "REGLAB8", "REGLAB9",
    "REGLAB10", "REGLAB11", "REGASK1",  "REGASK2",  "REGASK3", "REGASK4", "REGASK5", "REGASK6", "REGASK7",
    "REGASK8",  "REGASK9",  "REGASK10", "REGASK11", "REGEPMT", "REGPRMT", "REGMENU", "REGSYSP", "LOOKASK",
    "REMASK",   "NOSUCHP",  "BADCHC",   "LSTNONE",  "SYSDMNU", "PLSPRMT", "MNULIFE", "MNUSYSP",
};

// Markers for every message, and options with known values.
inline void mark_messages(World& w) {
    for (const char* name : kMarkedMessages) w.set_option(name, std::string("<") + name + ">");
    w.set_option("MAINMNU", "<MAINMNU %s>");
    w.set_option("LSTCNT", "<LSTCNT %d>");
    w.set_option("PUBINFO", "<PUBINFO %s|%s|%s|%s|%s|%d|%d|%d|%d|%s|%d>");
    w.set_option("REGPFX", ": ");
    w.set_option("LOOKCMD", "whois");
    w.set_option("SYSKEY", "SYSOP");
    w.set_option("AGEDIV", "1000");
    w.set_option("AGEBASE", "16");
}

inline std::string number_label(int field) {
    char text[64];
    snprintf(text, sizeof(text), "\x1b[[\x1b[0;37m| \b \b \b \b]%2d->", field);
    return text;
}

// The registry as the editor shows it: all eleven fields, numbered.
inline std::string editing_view(const std::vector<std::string>& lines, int age) {
    std::string out;
    for (int i = 1; i <= 10; i++) {
        std::string line = i <= (int)lines.size() ? lines[i - 1] : "";
        out += number_label(i) + "<REGLAB" + std::to_string(i) + ">: " + line + "\r";
    }
    out += number_label(11) + "<REGLAB11>";
    out += age == 0 ? std::string("Default based on time played\r") : ": " + std::to_string(age) + "\r";
    return out;
}

inline const std::string kRegistryMenu = "<REGMENU><REGPRMT>";
inline const std::string kSysopRegistryMenu = "<REGMENU><REGSYSP><REGPRMT>";

inline const RegistryRecord* as_registry(const bbs::Database::Entry& entry) {
    return reinterpret_cast<const RegistryRecord*>(entry.bytes.data());
}

} // namespace regtest

// Exact bytes, shown readably when they differ.
#define EXPECT_BYTES(expected, actual) EXPECT_EQ(regtest::show(expected), regtest::show(actual))
#define ASSERT_BYTES(expected, actual) ASSERT_EQ(regtest::show(expected), regtest::show(actual))
