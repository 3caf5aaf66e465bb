// The game's ini file (brakvold.ini), read with inih. A key is looked up in
// every section in file order, ignoring letter case; the first match wins.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace game {

class IniSettings {
public:
    // Replaces every value with the file's. False with *error (file and line)
    // when the file is missing or malformed; the values read up to a
    // malformed line are kept, a missing file leaves none.
    bool load(const std::filesystem::path& file, std::string* error);

    // The value, or null. The pointer stays valid until the next load().
    const char* find(std::string_view key) const;

private:
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries_;
};

}  // namespace game
