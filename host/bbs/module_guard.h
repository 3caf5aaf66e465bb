// Every call from the host into module code goes through the guard: it
// runs the routine unless the host has stopped, lands a catastro, and
// checks what a routine must leave as it found it.
//
// catastro: a module that cannot go on stops the host. Inside a routine it
// unwinds (by a host-internal exception, running the destructors of every
// frame on the way, the module's own included: its library has unwind
// tables) back to the outermost guarded call, which returns false; no
// module code runs after it. Modules never see the exception.
//
// The check: the message-block stack (setmbk/rstmbk, opnmsg) and the data-
// file selection stack (dfaSetBlk/dfaRstBlk) must be as the routine found
// them. A routine that left either otherwise is named in a warning in the
// host log (and told to the breach observer, bbs/host.h), and the stack is
// put back as far as it can be.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "bbs/function_ref.h"

namespace bbs {

class HostLog;
class MessageCatalog;

// Names a routine in a warning: whose it is and which ("Brakvold Plus",
// "input routine"). An empty owner is looked up by the routine's address
// (its library and symbol).
struct RoutineName {
    std::string_view owner;
    std::string_view routine;
    const void* address = nullptr;
    std::string text() const;
};

class ModuleGuard {
public:
    ModuleGuard(HostLog& log, MessageCatalog& messages) : log_(log), messages_(messages) {}

    // Runs `body` as a call into module code. False when it did not run or
    // did not return: the host has stopped (before, or by a catastro in it).
    bool call(const RoutineName& name, FunctionRef<void()> body);
    bool inside() const { return depth_ > 0; }
    // A module broke the selection rules (`what` says how): a warning in the
    // host log, told to the breach observer.
    void breach(const std::string& what);

    // Stops the host for good (the reason goes to the host log). Inside a
    // call it does not return: it unwinds to the outermost guarded call.
    void stop(std::string reason);
    bool stopped() const { return stopped_; }
    const std::string& reason() const { return reason_; }

private:
    HostLog& log_;
    MessageCatalog& messages_;
    int depth_ = 0;
    bool stopped_ = false;
    std::string reason_;
};

}  // namespace bbs
