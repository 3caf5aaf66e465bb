// Message files: the source syntax modules ship (X.MSG), its compiled form
// (X.MCV), and the open blocks modules select with setmbk/rstmbk.
//
// Source syntax, one entry after another:
//
//     # a comment line (only outside braces)
//     NUMBER NAME {TEXT}
//
// TEXT runs to the matching unescaped '}' (unescaped braces nest) and may
// span lines; every line break inside it (LF or CR LF) becomes one CR.
// Escapes: \e (0x1B) \r \n \t \\ \{ \} \xHH. Numbers and names are unique
// within a file.
//
// Compiled form (all integers little-endian):
//
//     offset 0   4 bytes   magic "BMCV"
//     offset 4   u32       format version, 2
//     offset 8   u64       digest (FNV-1a) of the source bytes it was compiled from
//     offset 16  u32       number of entries
//     then per entry, in source order:
//                i32       entry number
//                u32       name length, then the name bytes
//                u32       text length, then the text bytes (no terminator)
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace bbs {

class HostLog;

struct MessageEntry {
    int32_t number = 0;
    std::string name;
    std::string text;
};

class MessageTable {
public:
    std::vector<MessageEntry> entries;
    uint64_t source_digest = 0;  // of the source text the table was parsed from
    const MessageEntry* by_number(int32_t number) const;
    const MessageEntry* by_name(std::string_view name) const;  // ignoring case
};

struct SourceError {
    std::string file;
    int line = 0;
    std::string reason;
    std::string describe() const;  // "file:line: reason"
};

// Parses source text; `file` only names it in errors.
bool parse_message_source(std::string_view text, std::string_view file, MessageTable* out,
                          SourceError* error);
bool read_message_source(const std::filesystem::path& file, MessageTable* out, SourceError* error);
uint64_t message_source_digest(std::string_view text);

bool write_compiled_messages(const std::filesystem::path& file, const MessageTable& table,
                             std::string* error);
bool read_compiled_messages(const std::filesystem::path& file, MessageTable* out,
                            std::string* error);

// The source belonging to a compiled name: X.MCV -> X.MSG (or X.msg); empty
// when neither exists.
std::filesystem::path message_source_of(const std::filesystem::path& compiled);

}  // namespace bbs

// An open message file, as opnmsg hands it to a module.
struct HostMsgFile {
    std::string name;                    // as the module named it, e.g. "QRTBKPLS.MCV"
    std::filesystem::path compiled;
    bbs::MessageTable table;
};

namespace bbs {

// Open blocks and the selection stack.
class MessageCatalog {
public:
    explicit MessageCatalog(HostLog& log) : log_(log) {}

    // Compiles the source when it is newer than the compiled file (or that
    // is missing), then loads the compiled file. Null on failure, the reason
    // in the host log. Does not select.
    HostMsgFile* open(std::string_view compiled_name);
    void close(HostMsgFile* block);
    bool is_open(const HostMsgFile* block) const;

    void select(HostMsgFile* block);  // pushes the current block
    void restore();                    // pops; an empty stack leaves no block
    HostMsgFile* current() const { return current_; }

    // Recompiles changed sources and reloads every open block in place.
    void refresh_all();

private:
    bool load(HostMsgFile& block);
    HostLog& log_;
    std::vector<std::unique_ptr<HostMsgFile>> open_;
    std::vector<HostMsgFile*> stack_;
    HostMsgFile* current_ = nullptr;
};

}  // namespace bbs
