// Internal to libbbs: what the C services of platform/host.h (services.cpp)
// reach of the running Host, owner by owner. Each is null when no host is
// open. Not for modules, the game, the host program or tests.
#pragma once

namespace bbs {

class Accounts;
class CallRunner;
class ChannelTable;
class HostLog;
class ModuleRuntime;
class StatusQueue;

struct HostAccess {
    static HostLog* log();
    static ModuleRuntime* modules();  // descriptors, module calls, message files, output buffer
    static ChannelTable* channels();  // users, accounts, scratch areas, editors
    static CallRunner* calls();       // output to a channel (held while a call runs)
    static StatusQueue* statuses();
    static Accounts* accounts();
};

}  // namespace bbs
