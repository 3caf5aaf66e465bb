#include "game/ini_settings.h"

#include <ini.h>

#include "text/ascii.h"

namespace game {

bool IniSettings::load(const std::filesystem::path& file, std::string* error) {
    std::vector<Entry> fresh;
    auto handler = [](void* user, const char* section, const char* name, const char* value) -> int {
        auto* list = static_cast<std::vector<Entry>*>(user);
        list->push_back({section ? section : "", name ? name : "", value ? value : ""});
        return 1;
    };
    int rc = ini_parse(file.c_str(), handler, &fresh);
    entries_ = std::move(fresh);
    if (rc == 0) return true;
    if (error) {
        if (rc == -1)
            *error = file.string() + ": cannot open the file";
        else if (rc == -2)
            *error = file.string() + ": out of memory while reading";
        else
            *error = file.string() + ":" + std::to_string(rc) + ": malformed line";
    }
    return false;
}

const char* IniSettings::find(std::string_view key) const {
    for (const Entry& entry : entries_) {
        if (text::equal_ignoring_case(entry.key, key)) return entry.value.c_str();
    }
    return nullptr;
}

}  // namespace game
