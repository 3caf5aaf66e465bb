// Module libraries the host loaded with dlopen, and the module descriptors
// registered with register_module.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace bbs {

class ModuleLibraries {
public:
    using Routine = void (*)(void);
    struct Library {
        void* handle = nullptr;
        std::string path;
        std::string name;  // init__<name>
    };

    ModuleLibraries() = default;
    ~ModuleLibraries();  // dlclose()s every library, newest first
    ModuleLibraries(const ModuleLibraries&) = delete;
    ModuleLibraries& operator=(const ModuleLibraries&) = delete;

    // Opens the library and finds its entry point; null with *error.
    Routine open(const std::string& path, std::string_view init_symbol, std::string* error);
    // reload__<name> of every library that has one, in load order.
    std::vector<Routine> reload_routines() const;
    void close_all();

private:
    std::vector<Library> libraries_;
};

class ModuleTable {
public:
    int32_t add(const ModuleDescriptor& descriptor);  // the module number
    int count() const { return static_cast<int>(modules_.size()); }
    const ModuleDescriptor* get(int number) const;
    int find(std::string_view name) const;  // ignoring case; -1
    const std::vector<ModuleDescriptor>& all() const { return modules_; }

private:
    std::vector<ModuleDescriptor> modules_;
};

}  // namespace bbs
