#include "bbs/modules.h"

#include <dlfcn.h>

#include "text/ascii.h"

namespace bbs {

ModuleLibraries::~ModuleLibraries() { close_all(); }

ModuleLibraries::Routine ModuleLibraries::open(const std::string& path, std::string_view init_symbol,
                                               std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
        const char* why = dlerror();
        if (error) *error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }
    std::string symbol(init_symbol);
    void* entry = dlsym(handle, symbol.c_str());
    if (!entry) {
        if (error) *error = path + " has no entry point " + symbol;
        dlclose(handle);
        return nullptr;
    }
    Library lib;
    lib.handle = handle;
    lib.path = path;
    lib.name = symbol.rfind("init__", 0) == 0 ? symbol.substr(6) : symbol;
    libraries_.push_back(std::move(lib));
    return reinterpret_cast<Routine>(entry);
}

std::vector<ModuleLibraries::Routine> ModuleLibraries::reload_routines() const {
    std::vector<Routine> out;
    for (const auto& lib : libraries_) {
        std::string symbol = "reload__" + lib.name;
        if (void* r = dlsym(lib.handle, symbol.c_str())) out.push_back(reinterpret_cast<Routine>(r));
    }
    return out;
}

void ModuleLibraries::close_all() {
    while (!libraries_.empty()) {
        dlclose(libraries_.back().handle);
        libraries_.pop_back();
    }
}

int32_t ModuleTable::add(const ModuleDescriptor& descriptor) {
    modules_.push_back(descriptor);
    modules_.back().name[HOST_MODNAMSIZ - 1] = '\0';
    return static_cast<int32_t>(modules_.size() - 1);
}

const ModuleDescriptor* ModuleTable::get(int number) const {
    if (number < 0 || number >= count()) return nullptr;
    return &modules_[static_cast<size_t>(number)];
}

int ModuleTable::find(std::string_view name) const {
    for (size_t i = 0; i < modules_.size(); ++i) {
        if (text::equal_ignoring_case(modules_[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace bbs
