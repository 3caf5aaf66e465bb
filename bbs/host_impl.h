// The inside of bbs::Host, shared by host.cpp and the C services
// (services.cpp). Not for modules, the game or the host program.
#pragma once

#include <csetjmp>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/editor.h"
#include "bbs/host.h"
#include "bbs/log.h"
#include "bbs/messages.h"
#include "bbs/modules.h"
#include "bbs/output.h"

namespace bbs {

// User states the host keeps for itself (module numbers are 0 and up).
constexpr int32_t kHostMenuState = -1;
constexpr int32_t kEditorState = -2;

struct Session {
    bool online = false;
    HostUser user{};
    HostAccount account{};   // the live record modules see
    HostAccount stored{};    // as the database holds it
    std::vector<std::string> keys;
    std::vector<char> scratch;  // dclvda area
    std::unique_ptr<LineEditor> editor;
    int32_t editor_state = 0;   // where the user was when the editor opened
    uint32_t editor_substate = 0;
    std::string capture;        // everything sent since the last take_output
};

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

struct Host::Impl {
    HostOptions options;
    std::filesystem::path previous_cwd;
    HostLog log;
    std::unique_ptr<Database> database;
    std::unique_ptr<Accounts> accounts;
    MessageCatalog messages{log};
    ModuleLibraries libraries;
    ModuleTable modules;
    std::vector<int32_t (*)(void)> global_commands;
    std::vector<Session> sessions;
    std::deque<std::pair<int, int32_t>> statuses;
    OutputBuffer output;
    SprRing spr;
    uint32_t scratch_size = 0;
    bool stopped = false;
    std::string stop_reason;
    std::vector<std::function<void()>> reload_hooks;
    OutputSink sink;
    CloseSink close_sink;
    std::vector<int> pending_closes;
    std::vector<sigjmp_buf*> guards;  // outermost first
    std::string scan_value;           // what msgscan returned last

    Session* session(int channel);       // null when out of range
    Session* online_session(int channel);  // null when out of range or free
    void make_current(int channel);      // usrnum, usrptr, usaptr
    // Calls into module code. False when the module stopped the host.
    bool guarded(const std::function<void()>& call);
    void stop(std::string reason);       // catastro
    void send(int channel, std::string_view bytes);
    void write_back();                   // changed live accounts to the database
    char* scratch_of(Session& s);
    void queue_status(int channel, int32_t code);
    void finish_editor(int channel, int16_t status);
    void host_menu(int channel, std::string_view line);
    void process_closes();
    void parse(std::string_view line);
};

struct HostAccess {
    using Impl = Host::Impl;
    static Impl* impl() {
        Host* h = Host::current();
        return h ? h->impl_.get() : nullptr;
    }
};

}  // namespace bbs
