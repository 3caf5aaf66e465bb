#include "bbs/module_runtime.h"

#include "bbs/log.h"

namespace bbs {

CallContext::CallContext()
    : usrnum_(::usrnum), othusn_(::othusn), status_(::status), usrptr_(::usrptr), usaptr_(::usaptr) {}

CallContext::~CallContext() {
    ::usrnum = usrnum_;
    ::othusn = othusn_;
    ::status = status_;
    ::usrptr = usrptr_;
    ::usaptr = usaptr_;
}

ModuleRuntime::ModuleRuntime(HostLog& log, ChannelTable& channels)
    : log_(log), channels_(channels), messages_(log), guard_(log, messages_) {}

ModuleLibraries::Routine ModuleRuntime::open_library(const std::string& path, std::string_view init_symbol,
                                                     std::string* error) {
    return libraries_.open(path, init_symbol, error);
}

void ModuleRuntime::close_libraries() { libraries_.close_all(); }

int32_t ModuleRuntime::add(const ModuleDescriptor& descriptor) {
    const int32_t number = table_.add(descriptor);
    log_.write("module " + std::to_string(number) + " registered: " + table_.get(number)->name);
    return number;
}

bool ModuleRuntime::call(const RoutineName& name, FunctionRef<void()> body) {
    const bool returned = guard_.call(name, body);
    channels_.write_back();
    return returned;
}

void ModuleRuntime::finish_editor(int channel, int16_t result) {
    const LineEditor::Done done = channels_.close_editor(channel);
    if (!done) return;
    CallContext saved;
    channels_.make_current(channel);
    call(RoutineName{"", "editor completion routine", reinterpret_cast<const void*>(done)}, [&] { done(result); });
}

void ModuleRuntime::reload() {
    // What modules read from one another (the game's ini) is re-read before
    // any module re-reads its own settings.
    for (auto& hook : reload_hooks_) call(RoutineName{"a reload hook", ""}, [&] { hook(); });
    messages_.refresh_all();
    for (auto routine : libraries_.reload_routines())
        call(RoutineName{"", "", reinterpret_cast<const void*>(routine)}, [&] { routine(); });
}

}  // namespace bbs
