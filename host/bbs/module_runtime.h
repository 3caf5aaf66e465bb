// Internal to libbbs: the host program, the game and tests use bbs/host.h.
//
// The modules the host loaded and every call into their code: the
// libraries and their descriptors, the guard each call goes through (a
// catastro stops the host), the message files modules open, the output
// buffer of prf and prfmsg, spr's ring, the global commands, and the
// reload of what modules read. After every call into module code the live
// accounts are written back (ChannelTable::write_back).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bbs/channel_table.h"
#include "bbs/function_ref.h"
#include "bbs/messages.h"
#include "bbs/module_guard.h"
#include "bbs/modules.h"
#include "bbs/output.h"
#include "platform/host.h"
#include "text/ascii.h"

namespace bbs {

class HostLog;

// The C globals a module call depends on, saved and put back around nested calls.
class CallContext {
public:
    CallContext();
    ~CallContext();
    CallContext(const CallContext&) = delete;
    CallContext& operator=(const CallContext&) = delete;

private:
    int32_t usrnum_, othusn_, status_;
    HostUser* usrptr_;
    HostAccount* usaptr_;
};

class ModuleRuntime {
public:
    using GlobalCommand = int32_t (*)(void);

    ModuleRuntime(HostLog& log, ChannelTable& channels);
    ModuleRuntime(const ModuleRuntime&) = delete;
    ModuleRuntime& operator=(const ModuleRuntime&) = delete;

    // ---- libraries and descriptors -------------------------------------------
    // dlopen()s the library and finds its entry point; null with *error.
    ModuleLibraries::Routine open_library(const std::string& path, std::string_view init_symbol,
                                          std::string* error);
    void close_libraries();
    int32_t add(const ModuleDescriptor& descriptor);  // register_module: its number
    int count() const { return table_.count(); }
    const ModuleDescriptor* get(int number) const { return table_.get(number); }
    int find(std::string_view name) const { return table_.find(name); }
    void add_global_command(GlobalCommand handler) { global_commands_.push_back(handler); }
    // A copy: a command may declare another while the copy is walked.
    std::vector<GlobalCommand> global_commands() const { return global_commands_; }

    // ---- calls into module code ---------------------------------------------------
    // Runs `body` as a call into module code (bbs/module_guard.h), then
    // writes back the live accounts (also when it stopped the host). False
    // when it did not run or did not return: the host has stopped.
    bool call(const RoutineName& name, FunctionRef<void()> body);
    // The routine `routine` of every registered module that has one, in
    // registration order, with `channel` current (when >= 0).
    template <typename R, typename... A>
    void for_each(R (*ModuleDescriptor::*routine)(A...), const char* what, int channel,
                  std::type_identity_t<A>... args) {
        for (const ModuleDescriptor& m : table_.all()) {
            auto fn = m.*routine;
            if (!fn) continue;
            if (channel >= 0) channels_.make_current(channel);
            const std::string owner(text::field(m.name));
            call(RoutineName{owner, what}, [&] { fn(args...); });
        }
    }
    // Closes the channel's editor and runs its completion routine with `result`.
    void finish_editor(int channel, int16_t result);
    // The reload hooks (the game re-reads its ini), then changed message
    // files recompiled into their open blocks, then every library's
    // reload__<name> routine.
    void on_reload(std::function<void()> hook) { reload_hooks_.push_back(std::move(hook)); }
    void reload();

    bool inside() const { return guard_.inside(); }
    bool stopped() const { return guard_.stopped(); }
    const std::string& stop_reason() const { return guard_.reason(); }
    // Stops the host for good; inside a call it unwinds to its outermost frame.
    void stop(std::string reason) { guard_.stop(std::move(reason)); }
    void breach(const std::string& what) { guard_.breach(what); }

    // ---- what the C services work on ------------------------------------------------
    MessageCatalog& messages() { return messages_; }
    const MessageCatalog& messages() const { return messages_; }
    OutputBuffer& output() { return output_; }  // prf, prfmsg, outprf, prfbuf
    SprRing& spr() { return spr_; }
    std::string& scan_value() { return scan_value_; }  // what msgscan returned last

private:
    HostLog& log_;
    ChannelTable& channels_;
    MessageCatalog messages_;
    ModuleGuard guard_;
    ModuleLibraries libraries_;
    ModuleTable table_;
    std::vector<GlobalCommand> global_commands_;
    std::vector<std::function<void()>> reload_hooks_;
    OutputBuffer output_;
    SprRing spr_;
    std::string scan_value_;
};

}  // namespace bbs
