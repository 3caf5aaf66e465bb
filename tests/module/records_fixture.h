// Records of the generic database as the tests build and read them: the
// module's description and registry records, records of other modules, and
// putting them into the database of a running World.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/host.h"
#include "frame/records.h"
#include "tests/support/world.h"

namespace modtest {

using testing_support::World;

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
    std::string bytes(sizeof(GenericRecordKey) + 20, '\0');
    std::memcpy(bytes.data(), userid.data(), std::min(userid.size(), (size_t)HOST_UIDSIZ - 1));
    std::memcpy(bytes.data() + HOST_UIDSIZ, tag.data(), std::min(tag.size(), (size_t)HOST_TAGSIZ - 1));
    std::memset(bytes.data() + sizeof(GenericRecordKey), 'z', 20);
    return bytes;
}

inline void insert(World& w, const std::string& bytes) {
    std::string error;
    ASSERT_TRUE(w.host().database().insert_generic(bytes.data(), (uint32_t)bytes.size(), &error)) << error;
}

// Records of the generic database with this tag.
inline std::vector<bbs::Database::Entry> records_tagged(World& w, std::string_view tag) {
    std::vector<bbs::Database::Entry> out;
    for (auto& entry : w.records())
        if (entry.tag == tag) out.push_back(entry);
    return out;
}

// A module call that leaves the host's message-block or data-file selection
// stack otherwise than it found it fails the test that made it.
class BreachesFail : public ::testing::Environment {
public:
    void SetUp() override {
        bbs::set_breach_observer(
            [](std::string_view breach) { ADD_FAILURE() << "a module call broke the host's rules: " << breach; });
    }
    void TearDown() override { bbs::set_breach_observer(nullptr); }
};
inline ::testing::Environment* const kBreachesFail = ::testing::AddGlobalTestEnvironment(new BreachesFail);

// Bytes with control characters made visible, for failure messages.
inline std::string show(std::string_view bytes) { return testing_support::escape_visible(bytes); }

} // namespace modtest
