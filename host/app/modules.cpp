#include "app/modules.h"

#include <system_error>

#include "bbs/host.h"

namespace app {

std::filesystem::path program_dir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path();
    return exe.parent_path();
}

namespace {

// Installed: the program in PREFIX/bin, its files under PREFIX (the
// folders install() of the build puts them in).
std::filesystem::path installed(const char* folder) {
    return (program_dir().parent_path() / folder).lexically_normal();
}

}  // namespace

std::filesystem::path library_dir() {
    std::error_code ec;
    if (std::filesystem::is_regular_file(program_dir() / "libqrtbrak.so", ec)) return program_dir();
    return installed(PLUS_INSTALL_LIBDIR);
}

std::filesystem::path default_config_dir() {
    std::error_code ec;
    const auto config = installed(PLUS_INSTALL_DATADIR) / "config";
    if (std::filesystem::is_directory(config, ec)) return config;
#ifdef BBS_CONFIG_DIR
    return BBS_CONFIG_DIR;
#else
    return config;
#endif
}

std::filesystem::path web_page_dir() {
    std::error_code ec;
    const auto page = installed(PLUS_INSTALL_DATADIR) / "web";
    if (std::filesystem::is_directory(page, ec)) return page;
    return PLUS_WEB_PAGE_DIR;
}

namespace {

bool load_one(bbs::Host& host, const std::filesystem::path& library, const char* symbol,
              std::string* error) {
    std::string reason;
    if (host.load_module(library, symbol, &reason)) return true;
    const std::string stopped = "the module stopped the host: ";
    if (reason.rfind(stopped, 0) == 0) reason.erase(0, stopped.size());
    *error = "cannot load " + library.string() + ": " + (reason.empty() ? "unknown error" : reason);
    return false;
}

}  // namespace

bool load_game(bbs::Host& host, std::string* error) {
    return load_one(host, library_dir() / "libqrtbrak.so", "init__qrtbrak", error);
}

bool load_plus(bbs::Host& host, std::string* error) {
    return load_one(host, library_dir() / "libqrtbkpls.so", "init__qrtbkpls", error);
}

bool load_modules(bbs::Host& host, std::string* error) {
    return load_game(host, error) && load_plus(host, error);
}

}  // namespace app
