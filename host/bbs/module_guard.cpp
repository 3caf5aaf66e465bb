#include "bbs/module_guard.h"

#include <dlfcn.h>

#include <filesystem>

#include "bbs/database.h"
#include "bbs/host.h"
#include "bbs/log.h"
#include "bbs/messages.h"

namespace bbs {

namespace {

// Thrown by stop() inside a call; caught only by the outermost guard.
struct Unwind {};

std::function<void(std::string_view)>& observer() {
    static std::function<void(std::string_view)> o;
    return o;
}

// How a stack changed: "1 deeper", "2 shallower", or "" when only the
// selection differs.
std::string depth_change(long before, long after) {
    if (after > before) return std::to_string(after - before) + " deeper";
    if (after < before) return std::to_string(before - after) + " shallower";
    return "";
}

std::string block_name(const HostMsgFile* block) { return block ? block->name : std::string("none"); }

}  // namespace

void set_breach_observer(std::function<void(std::string_view warning)> o) { observer() = std::move(o); }

std::string RoutineName::text() const {
    std::string owner_text(owner);
    if (owner_text.empty()) {
        Dl_info info{};
        if (address && dladdr(address, &info) != 0) {
            if (info.dli_fname) owner_text = std::filesystem::path(info.dli_fname).filename().string();
            if (info.dli_sname) owner_text += std::string(owner_text.empty() ? "" : " ") + info.dli_sname;
        }
        if (owner_text.empty()) owner_text = "a module";
    }
    return routine.empty() ? owner_text : owner_text + " " + std::string(routine);
}

bool ModuleGuard::call(const RoutineName& name, FunctionRef<void()> body) {
    if (stopped_) return false;
    HostMsgFile* const block = messages_.current();
    const size_t blocks = messages_.depth();
    const SelectionMark files = selection_mark();
    ++depth_;
    try {
        body();
    } catch (const Unwind&) {
        if (--depth_ > 0) throw;
        return false;  // the host has stopped; nothing is checked or put back any more
    } catch (...) {
        --depth_;
        throw;
    }
    --depth_;

    std::string breach;
    if (messages_.current() != block || messages_.depth() != blocks) {
        const std::string change = depth_change(static_cast<long>(blocks), static_cast<long>(messages_.depth()));
        breach = name.text() + " left the message-block stack " +
                 (change.empty() ? "as deep but with " + block_name(messages_.current()) + " selected instead of " +
                                       block_name(block)
                  : change + " than it found it (" +
                        (messages_.depth() > blocks ? "a setmbk without its rstmbk" : "an rstmbk without its setmbk") +
                        ")");
        messages_.restore_to(block, blocks);
    }
    const SelectionMark left = selection_mark();
    if (left != files) {
        const std::string change = depth_change(files.depth, left.depth);
        if (!breach.empty()) breach += "; ";
        breach += name.text() + " left the data-file selection stack " +
                  (change.empty() ? std::string("as deep but with another file selected")
                                  : change + " than it found it (" +
                                        (left.depth > files.depth ? "a dfaSetBlk without its dfaRstBlk"
                                                                  : "a dfaRstBlk without its dfaSetBlk") +
                                        ")");
        restore_selection(files);
    }
    if (!breach.empty()) this->breach(breach);
    return true;
}

void ModuleGuard::breach(const std::string& what) {
    log_.warning(what);
    if (observer()) observer()(what);
}

void ModuleGuard::stop(std::string reason) {
    if (!stopped_) {
        stopped_ = true;
        reason_ = std::move(reason);
        log_.error("module stopped the host: " + reason_);
    }
    if (depth_ > 0) throw Unwind{};
}

}  // namespace bbs
