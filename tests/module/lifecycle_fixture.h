// Helpers shared by the start-up, main menu, description and purchase tests:
// every numbered message is replaced by a marker naming it (with its
// arguments), so each test states the exact bytes a channel must receive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "description/description.h"
#include "menu/menu.h"
#include "purchase/purchase.h"
#include "registry/registry.h"
#include "tests/module/records_fixture.h"
#include "tests/support/world.h"

namespace coretest {

using namespace modtest; // the record builders, insert, show

inline const char* const kPlainMessages[] = {
    "DESCHLP", "MNULIFE", "MNUSYSP", "PLSINFO", "SYSDMNU", "PLSPRMT", "REGEPMT",
    "REGPRMT", "REGMENU", "REGSYSP", "LOOKASK", "REMASK",  "NOSUCHP", "BADCHC",
    "NOTAPPR", "DESCNSF", "LIFENSF", "LIFENUI", "LIFEMAX", "LIFEOK",  "LSTNONE",
};

// Markers for every message this side of the module prints, and the prices
// at zero so that each test sets only the ones it is about.
inline void mark_messages(World& w) {
    for (const char* name : kPlainMessages) w.set_option(name, std::string("<") + name + ">");
    w.set_option("CURDESC", "<CURDESC %s>");
    w.set_option("MAINMNU", "<MAINMNU %s>");
    w.set_option("LIFECST", "<LIFECST %s|%s|%s>");
    w.set_option("LSTCNT", "<LSTCNT %d>");
    for (const char* price : {"DESCCRD", "DESCCOP", "DESCDAY", "LIFECRD", "LIFECOP", "LIFEDAY"})
        w.set_option(price, "0");
    w.set_option("SYSKEY", "SYSOP");
    w.set_option("DESCLNS", "10");
    w.set_option("DESCAPP", "YES");
    w.set_option("APPRUID", "Sysop");
}

inline const std::string kPrompt = "<PLSPRMT>";

inline std::string menu_screen(bool sysop = false, bool lives = true) {
    std::string out = "<MAINMNU " PLUS_VERSION ">";
    if (lives) out += "<MNULIFE>";
    if (sysop) out += "<MNUSYSP>";
    return out + kPrompt;
}

inline std::string description_screen(std::string_view text, bool pending) {
    std::string out = "<CURDESC " + std::string(text) + ">";
    if (pending) out += "<NOTAPPR>";
    return out + kPrompt;
}

inline std::string none_screen() { return description_screen("<None>", true); }

inline std::string price_line(long credits, long copper, int days) {
    return "This will cost you " + std::to_string(credits) + " credits, " + std::to_string(copper) + " copper, and " +
           std::to_string(days) + " days off your membership.\rDo you wish to continue? ";
}

// The stored description of a user, as the database holds it.
struct StoredDescription {
    std::string text;
    uint32_t flags = 0;
    std::string reserved;
    size_t length = 0;
};

inline std::optional<StoredDescription> stored_description(World& w, std::string_view userid) {
    std::optional<StoredDescription> found;
    for (auto& entry : records_tagged(w, DESC_TAG)) {
        if (entry.userid != userid) continue;
        EXPECT_FALSE(found.has_value()) << "two description records for " << userid;
        StoredDescription d;
        d.length = entry.bytes.size();
        if (entry.bytes.size() >= sizeof(DescriptionRecord)) {
            const auto* record = reinterpret_cast<const DescriptionRecord*>(entry.bytes.data());
            d.text = std::string(record->text, strnlen(record->text, DESC_TEXTSIZ));
            d.flags = record->flags;
            d.reserved = std::string(reinterpret_cast<const char*>(record->reserved), sizeof(record->reserved));
        }
        found = d;
    }
    return found;
}

// Lines of the game log that contain `part`.
inline int log_count(World& w, std::string_view part) {
    std::string log = w.game_log();
    int count = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) count++;
    return count;
}

} // namespace coretest

#define EXPECT_OUT(expected, actual) EXPECT_EQ(coretest::show(expected), coretest::show(actual))
#define ASSERT_OUT(expected, actual) ASSERT_EQ(coretest::show(expected), coretest::show(actual))
