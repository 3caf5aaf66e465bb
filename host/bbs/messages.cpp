// Message files: the blocks modules open, and the selection stack.
#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "bbs/log.h"
#include "bbs/messages.h"
#include "bbs/messages_detail.h"
#include "text/ascii.h"

namespace bbs {

using messages_detail::read_file;

void MessageCatalog::refuse(const std::string& reason) {
    log_.error("message file " + reason);
    failures_.push_back(reason);
}

std::vector<std::string> MessageCatalog::take_failures() { return std::exchange(failures_, {}); }

// The source, when there is one, is what counts: it is read and checked on
// every load, and compiled again unless the compiled file was made from the
// very same bytes (its digest says so). Modification times decide nothing,
// so that another process compiling the file meanwhile cannot make a load
// miss a change.
bool MessageCatalog::load(HostMsgFile& block) {
    const MessageTable* catalogue = block.catalogue_file.empty() ? nullptr : &block.catalogue;
    const std::filesystem::path source = message_source_of(block.compiled);
    MessageTable table;
    std::vector<SourceError> errors;
    if (!source.empty()) {
        const std::string name = source.filename().string();
        std::string text;
        SourceError error;
        if (!read_file(source, &text)) {
            refuse(name + ": cannot read the file");
            return false;
        }
        if (!parse_message_source(text, name, &table, &error)) {
            refuse(error.describe());
            return false;
        }
        if (!check_message_table(&table, catalogue, name, &errors)) {
            for (const auto& e : errors) refuse(e.describe());
            return false;
        }
        MessageTable compiled;
        std::string why;
        if (!read_compiled_messages(block.compiled, &compiled, &why) ||
            compiled.source_digest != table.source_digest) {
            if (!write_compiled_messages(block.compiled, table, &why)) {
                refuse(block.name + ": " + why);
                return false;
            }
            log_.write("compiled " + name + " into " + block.name);
        }
    } else {
        std::error_code ec;
        std::string why;
        if (!std::filesystem::exists(block.compiled, ec)) {
            refuse(block.name + ": neither it nor its source exists");
            return false;
        }
        if (!read_compiled_messages(block.compiled, &table, &why)) {
            refuse(block.name + ": " + why);
            return false;
        }
        if (!check_message_table(&table, catalogue, block.name, &errors)) {
            for (const auto& e : errors) refuse(e.describe());
            return false;
        }
    }
    block.table = std::move(table);
    return true;
}

HostMsgFile* MessageCatalog::open(std::string_view compiled_name, const std::filesystem::path& catalogue) {
    auto block = std::make_unique<HostMsgFile>();
    block->name = std::string(compiled_name);
    block->compiled = std::filesystem::path(block->name);
    if (!catalogue.empty()) {
        SourceError error;
        if (!read_message_source(catalogue, &block->catalogue, &error)) {
            refuse("catalogue " + catalogue.string() + ": " + error.describe());
            return nullptr;
        }
        block->catalogue_file = catalogue;
    }
    if (!load(*block)) return nullptr;
    open_.push_back(std::move(block));
    return open_.back().get();
}

const HostMsgFile* MessageCatalog::find(std::string_view compiled_name) const {
    for (const auto& block : open_)
        if (text::equal_ignoring_case(block->name, compiled_name)) return block.get();
    return nullptr;
}

void MessageCatalog::close(HostMsgFile* block) {
    auto it = std::find_if(open_.begin(), open_.end(), [&](const auto& p) { return p.get() == block; });
    if (it == open_.end()) return;
    for (auto& s : stack_)
        if (s == block) s = nullptr;
    if (current_ == block) current_ = nullptr;
    open_.erase(it);
}

bool MessageCatalog::is_open(const HostMsgFile* block) const {
    return std::any_of(open_.begin(), open_.end(), [&](const auto& p) { return p.get() == block; });
}

void MessageCatalog::select(HostMsgFile* block) {
    stack_.push_back(current_);
    current_ = block;
}

void MessageCatalog::restore() {
    if (stack_.empty()) {
        current_ = nullptr;
        return;
    }
    current_ = stack_.back();
    stack_.pop_back();
}

void MessageCatalog::restore_to(HostMsgFile* block, size_t depth) {
    while (stack_.size() > depth) restore();
    current_ = block && is_open(block) ? block : nullptr;  // it may have been closed meanwhile
}

void MessageCatalog::refresh_all() {
    for (auto& block : open_) {
        HostMsgFile fresh;
        fresh.name = block->name;
        fresh.compiled = block->compiled;
        fresh.catalogue_file = block->catalogue_file;
        fresh.catalogue = block->catalogue;
        if (load(fresh))
            block->table = std::move(fresh.table);
        else
            log_.warning("message file " + block->name + " kept as it was");
    }
}

}  // namespace bbs
