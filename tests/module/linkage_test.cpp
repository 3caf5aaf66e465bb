// The module library imports only the services its platform headers declare and the C/C++ runtime, and exports
// exactly the routines the host and the game look up by name.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The symbol table lines (type and name, or address, type and name) of `nm -D` with these options.
std::vector<std::vector<std::string>> nm(const std::string& options) {
    const std::string command = "nm -D " + options + " " PLUS_BIN_DIR "/libqrtbkpls.so 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string out;
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, got);
    EXPECT_EQ(0, pclose(pipe)) << command << "\n" << out;
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        lines.emplace_back();
        for (std::string field; fields >> field;) lines.back().push_back(field);
    }
    return lines;
}

// The functions and extern variables a platform header declares at file level (record members are indented).
std::set<std::string> declared(const std::string& header) {
    std::ifstream in(std::string(PLUS_CONFIG_DIR) + "/../module/platform/" + header);
    EXPECT_TRUE(in.good()) << header;
    std::set<std::string> names;
    std::string line;
    const std::regex function(R"(^(?:\[\[\w+\]\]\s*)?[\w\s\*]*?\b(\w+)\s*\()");
    const std::regex variable(R"(^extern\s+[\w\s\*]*?\b(\w+)\s*(?:\[[^\]]*\])?\s*;)");
    while (std::getline(in, line)) {
        line = line.substr(0, line.find("//"));
        if (line.empty() || line[0] == ' ' || line.rfind("static_assert", 0) == 0 || line.rfind("#", 0) == 0) continue;
        std::smatch match;
        if (std::regex_search(line, match, variable) || std::regex_search(line, match, function))
            names.insert(match[1]);
    }
    return names;
}

// Toolchain symbols every shared library may leave undefined (weak).
bool runtime_symbol(const std::string& name, const std::string& type) {
    static const std::regex versioned(R"(.+@(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+)");
    if (std::regex_match(name, versioned)) return true;
    // The sanitizers' runtime, where the C library's functions it intercepts are imported without their version.
    for (const char* prefix : {"__asan_", "__ubsan_", "__lsan_", "__sanitizer_"})
        if (name.rfind(prefix, 0) == 0) return true;
    static void* const libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (type == "U" && name.find('@') == std::string::npos && libc != nullptr && dlsym(libc, name.c_str()) != nullptr)
        return true;
    static const std::set<std::string> weak = {"__gmon_start__", "_ITM_deregisterTMCloneTable",
                                               "_ITM_registerTMCloneTable"};
    return type == "w" && weak.count(name) != 0;
}

TEST(ModuleImports, OnlyDeclaredServicesAndTheRuntime) {
    std::set<std::string> services = declared("host.h");
    std::set<std::string> game = declared("game.h");
    services.insert(game.begin(), game.end());
    for (const char* name : {"prfmsg", "usrnum", "margv", "bgnedt", "catastro", "dfaAcqLock", "BKLog",
                             "retrieve_public_userinfo", "get_mud_ini_value"})
        EXPECT_EQ(1u, services.count(name)) << name;
    EXPECT_EQ(0u, services.count("logon")) << "a record member counted as a service";

    std::set<std::string> imported_services, foreign;
    for (const auto& line : nm("--undefined-only")) {
        if (line.size() < 2) continue;
        if (services.count(line[1]) != 0)
            imported_services.insert(line[1]);
        else if (!runtime_symbol(line[1], line[0]))
            foreign.insert(line[1]);
    }
    EXPECT_EQ(std::set<std::string>{}, foreign) << "imports neither declared nor runtime";
    for (const char* name : {"prfmsg", "usrnum", "dfaAcqLock", "retrieve_public_userinfo"})
        EXPECT_EQ(1u, imported_services.count(name)) << name;
}

TEST(ModuleExports, ExactlyTheSevenEntryPoints) {
    std::set<std::string> names;
    for (const auto& line : nm("--defined-only"))
        if (line.size() >= 3) names.insert(line[2]);
    EXPECT_EQ((std::set<std::string>{"init__qrtbkpls", "reload__qrtbkpls", "reload_ini_settings", "plus_menu_display",
                                     "plus_menu_command", "plus_user_description", "brakvold_plus_globals"}), names);
}

} // namespace
