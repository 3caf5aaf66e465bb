#include "app/data_folder.h"
#include "app/mssp_settings.h"

#include <cstring>
#include <system_error>

#include "app/population.h"
#include "app/signup.h"

namespace app {

namespace fs = std::filesystem;

bool set_text_field(char* field, std::size_t size, std::string_view value, std::string_view what,
                    std::string* error) {
    if (value.size() >= size) {
        *error = std::string(what) + " \"" + std::string(value) + "\" is too long (at most " +
                 std::to_string(size - 1) + " characters)";
        return false;
    }
    std::memset(field, 0, size);
    std::memcpy(field, value.data(), value.size());
    return true;
}

bool secure_data_folder(const fs::path& dir, std::string* error) {
    std::string failed;
    auto tighten = [&](const fs::path& path) {
        std::error_code ec;
        const auto status = fs::symlink_status(path, ec);
        if (ec || !fs::exists(status) || fs::is_symlink(status)) return;
        const auto open_to_others = fs::perms::group_all | fs::perms::others_all;
        if ((status.permissions() & open_to_others) == fs::perms::none) return;
        fs::permissions(path, open_to_others, fs::perm_options::remove, ec);
        if (ec) failed += (failed.empty() ? "" : "; ") + path.string() + ": " + ec.message();
    };
    tighten(dir);
    for (const char* name : kPrivateFiles) tighten(dir / name);
    if (failed.empty()) return true;
    *error = "cannot make the data folder private: " + failed;
    return false;
}

bool create_data_folder(const fs::path& dir, const fs::path& config_dir, int channels,
                        std::string* error) {
    // The demo's newcomers sign up as they like and can buy a life at once.
    return create_data_folder(dir, config_dir, channels, demo_population(), error) &&
           write_signup_settings(dir, SignupSettings{SignupMode::open, "Member", 1000, 30}, error) &&
           MsspSettings::make(dir, error);
}

bool create_bare_data_folder(const fs::path& dir, const fs::path& config_dir, int channels,
                             std::string* error) {
    Population nobody;
    nobody.name = "no users";
    nobody.classes = demo_population().classes;
    return create_data_folder(dir, config_dir, channels, nobody, error) &&
           write_signup_settings(dir, SignupMode::closed, error) && MsspSettings::make(dir, error);
}

}  // namespace app
