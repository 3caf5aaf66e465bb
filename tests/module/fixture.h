// The module tests' world: every numbered message replaced by a marker naming it, record builders and readers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/host.h"
#include "description/description.h"
#include "frame/records.h"
#include "menu/menu.h"
#include "purchase/purchase.h"
#include "registry/registry.h"
#include "tests/support/world.h"
#include "text/ascii.h"

namespace modtest {

using testing_support::World;

inline const char* const kMarkedMessages[] = {
    "DESCHLP", "MNULIFE", "MNUSYSP", "PLSINFO", "SYSDMNU", "PLSPRMT", "REGEPMT", "REGPRMT",  "REGMENU",
    "REGSYSP", "LOOKASK", "REMASK",  "NOSUCHP", "BADCHC",  "NOTAPPR", "DESCNSF", "LIFENSF",  "LIFENUI",
    "LIFEMAX", "LIFEOK",  "LSTNONE", "REGLAB1", "REGLAB2", "REGLAB3", "REGLAB4", "REGLAB5",  "REGLAB6",
    "REGLAB7", "REGLAB8", "REGLAB9", "REGLAB10", "REGLAB11", "REGASK1", "REGASK2", "REGASK3", "REGASK4",
    "REGASK5", "REGASK6", "REGASK7", "REGASK8", "REGASK9", "REGASK10", "REGASK11",
};

// Markers for every message, the prices at zero (each test sets the ones it is about), other options known.
inline void mark_messages(World& w) {
    for (const char* name : kMarkedMessages) w.set_option(name, std::string("<") + name + ">");
    w.set_option("CURDESC", "<CURDESC %s>");
    w.set_option("MAINMNU", "<MAINMNU %s>");
    w.set_option("LIFECST", "<LIFECST %s|%s|%s>");
    w.set_option("LSTCNT", "<LSTCNT %d>");
    w.set_option("PUBINFO", "<PUBINFO %s|%s|%s|%s|%s|%d|%d|%d|%d|%s|%d>");
    for (const char* price : {"DESCCRD", "DESCCOP", "DESCDAY", "LIFECRD", "LIFECOP", "LIFEDAY"})
        w.set_option(price, "0");
    for (auto [name, value] : {std::pair{"SYSKEY", "SYSOP"}, {"DESCLNS", "10"}, {"DESCAPP", "YES"},
                               {"APPRUID", "Sysop"}, {"REGPFX", ": "}, {"AGEDIV", "1000"}, {"AGEBASE", "16"}})
        w.set_option(name, value);
}

// A world with every message marked, started with no records; `prepare` sets options and adds users before the start.
class PlusTest : public ::testing::Test {
protected:
    virtual void prepare() {}
    void SetUp() override {
        mark_messages(w);
        prepare();
        ASSERT_TRUE(w.start()) << w.stop_reason();
        ASSERT_TRUE(w.records().empty());
    }
    World w;
};

// Logs the user on and enters the module's main menu.
inline int enter_as(World& w, std::string_view userid) {
    const int ch = w.login(userid);
    w.enter(ch);
    return ch;
}

// Types each line in turn; the output of the last.
inline std::string type_all(World& w, int ch, std::initializer_list<std::string_view> lines) {
    std::string out;
    for (std::string_view line : lines) out = w.type(ch, line);
    return out;
}

inline const std::string kPrompt = "<PLSPRMT>";
inline const std::string kRegistryMenu = "<REGMENU><REGPRMT>";
inline const std::string kSysopRegistryMenu = "<REGMENU><REGSYSP><REGPRMT>";

inline std::string menu_screen(bool sysop = false, bool lives = true) {
    return std::string("<MAINMNU " PLUS_VERSION ">") + (lives ? "<MNULIFE>" : "") + (sysop ? "<MNUSYSP>" : "") +
           kPrompt;
}
inline std::string description_screen(std::string_view text, bool pending) {
    return "<CURDESC " + std::string(text) + ">" + (pending ? "<NOTAPPR>" : "") + kPrompt;
}
inline std::string none_screen() { return description_screen("<None>", true); }
inline std::string price_line(long credits, long copper, int days) {
    return "This will cost you " + std::to_string(credits) + " credits, " + std::to_string(copper) + " copper, and " +
           std::to_string(days) + " days off your membership.\rDo you wish to continue? ";
}

// The registry as the editor shows it: all eleven fields, numbered.
inline std::string number_label(int field) {
    char text[64];
    snprintf(text, sizeof(text), "\x1b[[\x1b[0;37m| \b \b \b \b]%2d->", field);
    return text;
}
inline std::string editing_view(const std::vector<std::string>& lines, int age) {
    std::string out;
    for (int i = 1; i <= 10; i++)
        out += number_label(i) + "<REGLAB" + std::to_string(i) + ">: " + (i <= (int)lines.size() ? lines[i - 1] : "") +
               "\r";
    out += number_label(11) + "<REGLAB11>";
    return out + (age == 0 ? std::string("Default based on time played\r") : ": " + std::to_string(age) + "\r");
}

inline std::string description_record(std::string_view userid, std::string_view text, uint32_t flags,
                                      uint8_t reserved_fill = 0) {
    DescriptionRecord record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.userid, userid.data(), std::min(userid.size(), sizeof(record.userid) - 1));
    std::memcpy(record.tag, DESC_TAG, std::strlen(DESC_TAG));
    std::memcpy(record.text, text.data(), std::min(text.size(), (size_t)DESC_TEXTSIZ - 1));
    record.flags = flags;
    std::memset(record.reserved, reserved_fill, sizeof(record.reserved));
    return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

inline std::string registry_record(std::string_view userid, int16_t age, const std::vector<std::string>& lines,
                                   std::string_view tag = REG_TAG) {
    RegistryRecord record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.userid, userid.data(), std::min(userid.size(), sizeof(record.userid) - 1));
    std::memcpy(record.tag, tag.data(), std::min(tag.size(), sizeof(record.tag) - 1));
    record.age = age;
    for (size_t i = 0; i < lines.size() && i < REG_LINES; i++)
        std::memcpy(record.lines[i], lines[i].data(), std::min(lines[i].size(), (size_t)REG_LINEMAX));
    return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

// A record of another module: key, then some bytes of its own.
inline std::string foreign_record(std::string_view userid, std::string_view tag) {
    std::string bytes(sizeof(GenericRecordKey) + 20, 'z');
    std::memset(bytes.data(), 0, sizeof(GenericRecordKey));
    std::memcpy(bytes.data(), userid.data(), std::min(userid.size(), (size_t)HOST_UIDSIZ - 1));
    std::memcpy(bytes.data() + HOST_UIDSIZ, tag.data(), std::min(tag.size(), (size_t)HOST_TAGSIZ - 1));
    return bytes;
}

inline void insert(World& w, const std::string& bytes) {
    std::string error;
    ASSERT_TRUE(w.host().database().insert_generic(bytes.data(), (uint32_t)bytes.size(), &error)) << error;
}

inline void insert(World& w, std::initializer_list<std::string> records) {
    for (const std::string& bytes : records) insert(w, bytes);
}

inline std::vector<bbs::Database::Entry> records_tagged(World& w, std::string_view tag) {
    std::vector<bbs::Database::Entry> out;
    for (auto& entry : w.records())
        if (entry.tag == tag) out.push_back(entry);
    return out;
}

// The bytes of all records with this tag, one after the other.
inline std::string tagged_bytes(World& w, std::string_view tag) {
    std::string out;
    for (auto& entry : records_tagged(w, tag)) out += entry.bytes;
    return out;
}

// The stored description of a user: its text and flags.
struct StoredDescription {
    std::string text;
    uint32_t flags = 0;
};

inline std::optional<StoredDescription> stored_description(World& w, std::string_view userid) {
    std::optional<StoredDescription> found;
    for (auto& entry : records_tagged(w, DESC_TAG)) {
        if (entry.userid != userid) continue;
        EXPECT_FALSE(found.has_value()) << "two description records for " << userid;
        EXPECT_EQ(sizeof(DescriptionRecord), entry.bytes.size()) << userid;
        entry.bytes.resize(sizeof(DescriptionRecord));
        const auto* record = reinterpret_cast<const DescriptionRecord*>(entry.bytes.data());
        found = StoredDescription{std::string(text::field(record->text)), record->flags};
    }
    return found;
}

// How often `part` occurs in the game log.
inline int log_count(World& w, std::string_view part) {
    std::string log = w.game_log();
    int count = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) count++;
    return count;
}

// A module call that leaves the host's message-block or data-file selection otherwise than it found it fails the test.
class BreachesFail : public ::testing::Environment {
public:
    void SetUp() override {
        bbs::set_breach_observer(
            [](std::string_view breach) { ADD_FAILURE() << "a module call broke the host's rules: " << breach; });
    }
    void TearDown() override { bbs::set_breach_observer(nullptr); }
};
inline ::testing::Environment* const kBreachesFail = ::testing::AddGlobalTestEnvironment(new BreachesFail);

inline std::string show(std::string_view bytes) { return testing_support::escape_visible(bytes); }

} // namespace modtest

// Exact bytes, shown readably when they differ.
#define EXPECT_OUT(expected, actual) EXPECT_EQ(modtest::show(expected), modtest::show(actual))
#define ASSERT_OUT(expected, actual) ASSERT_EQ(modtest::show(expected), modtest::show(actual))
// Exact bytes, and the substate the channel is left at afterwards.
#define EXPECT_SCREEN(world, ch, at, expected, actual)                 \
    do {                                                                \
        EXPECT_OUT(expected, actual);                                   \
        EXPECT_EQ((uint32_t)(at), (world).user(ch)->substate) << #actual; \
    } while (0)
