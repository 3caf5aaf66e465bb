// Message files: the source syntax modules ship (X.MSG), its compiled form
// (X.MCV), the catalogue a module's message file is checked against, and
// the open blocks modules select with setmbk/rstmbk.
//
// Source syntax, one entry after another:
//
//     # a comment line (only outside braces)
//     #: KIND      how the module reads the next entry (optional)
//     NUMBER NAME {TEXT}
//
// TEXT runs to the matching unescaped '}' (unescaped braces nest) and may
// span lines; every line break inside it (LF or CR LF) becomes one CR.
// Escapes: \e (0x1B) \r \n \t \\ \{ \} \xHH. Numbers and names are unique
// within a file.
//
// KIND names the host routine the module reads the entry with:
//
//     numopt(LOW..HIGH)  lngopt(LOW..HIGH)   a whole number; the module's bounds
//     ynopt                                   YES, NO, Y or N (any letter case)
//     stgopt                                  any text
//     hasmkey                                 the name of a key
//     prfmsg  prfmsg(ARG, ...)                a message printed with these
//                                             arguments: string, integer, count
//
// A message's printf conversions must fit its arguments, in order: %s a
// string, %d or %i an integer, %d, %i or %u a count; flags, a width and a
// precision are allowed, '*', positions and length modifiers are not, and
// %% is a percent sign. A message may print fewer arguments than it takes.
// Entries without a kind are checked as messages without arguments.
//
// Compiled form (all integers little-endian):
//
//     offset 0   4 bytes   magic "BMCV"
//     offset 4   u32       format version, 3 (version 2, without kinds, is read too)
//     offset 8   u64       digest (FNV-1a) of the source bytes it was compiled from
//     offset 16  u32       number of entries
//     then per entry, in source order:
//                i32       entry number
//                u32       name length, then the name bytes
//                u32       text length, then the text bytes (no terminator)
//                u32       kind length, then the kind as written above (version 3)
//
// The catalogue of a module's message file X.MCV is the file X.MCT beside
// the module's library, in source syntax: one entry with its kind for every
// number the module reads (texts are not used). A block opened with a
// catalogue is refused when an entry of the catalogue is missing or an entry
// does not fit the kind the catalogue gives its number; the catalogue's kind
// holds over the file's own. Options are checked as they are read: numopt
// and lngopt values must be whole numbers, ynopt values YES, NO, Y or N.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace bbs {

class HostLog;

// How a module reads an entry (the KIND of the source syntax above).
struct EntryKind {
    enum class Reader { unknown, numopt, lngopt, ynopt, stgopt, hasmkey, prfmsg };
    enum class Argument { string, integer, count };

    Reader reader = Reader::unknown;
    int64_t floor = 0, ceiling = 0;    // numopt, lngopt
    std::vector<Argument> arguments;   // prfmsg

    bool is_option() const;            // read with an option reader, never printed
    std::string text() const;          // as written in a source; empty when unknown
    bool operator==(const EntryKind&) const = default;
};

// Parses KIND; false with the reason in *why.
bool parse_entry_kind(std::string_view text, EntryKind* kind, std::string* why);

struct MessageEntry {
    int32_t number = 0;
    std::string name;
    std::string text;
    EntryKind kind{};       // declared by the file; after check_message_table, the one checked
    int line = 0;           // source line of the entry; 0 when read from a compiled file
    int text_line = 0;      // source line of its '{'
    std::vector<uint32_t> line_starts{};  // offsets in `text` where a further source line begins
    // Source line of a byte of the text (0 when read from a compiled file).
    int line_of(size_t offset) const;
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
    int line = 0;                  // 0: the error is about the file as a whole
    std::string reason;
    std::string describe() const;  // "file:line: reason", or "file: reason"
};

// Parses source text; `file` only names it in errors.
bool parse_message_source(std::string_view text, std::string_view file, MessageTable* out,
                          SourceError* error);
bool read_message_source(const std::filesystem::path& file, MessageTable* out, SourceError* error);
uint64_t message_source_digest(std::string_view text);

// Checks `table` as a module reads it (see the syntax above) against the
// catalogue, when there is one, and gives every entry the kind it was checked
// as. False with every error found; `file` only names the file in them.
bool check_message_table(MessageTable* table, const MessageTable* catalogue, std::string_view file,
                         std::vector<SourceError>* errors);

// Writes the compiled form to a temporary file of its own beside `file` and
// renames it over `file`, so that any number of processes may compile and
// read one message file at once.
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
    std::filesystem::path catalogue_file;  // empty: the module has no catalogue
    bbs::MessageTable catalogue;
    bbs::MessageTable table;
};

namespace bbs {

// Open blocks and the selection stack.
class MessageCatalog {
public:
    explicit MessageCatalog(HostLog& log) : log_(log) {}

    // Loads the source X.MSG (compiling it into X.MCV when that was not made
    // from the very same text), or the compiled file when there is no
    // source, and checks it against the catalogue file when one is named.
    // Null on failure, every reason in the host log and in failures(). Does
    // not select.
    HostMsgFile* open(std::string_view compiled_name, const std::filesystem::path& catalogue = {});
    void close(HostMsgFile* block);
    bool is_open(const HostMsgFile* block) const;

    void select(HostMsgFile* block);  // pushes the current block
    void restore();                    // pops; an empty stack leaves no block
    HostMsgFile* current() const { return current_; }
    size_t depth() const { return stack_.size(); }
    // Back to `block` selected at `depth` (a stack that grew is popped to it).
    void restore_to(HostMsgFile* block, size_t depth);

    // Recompiles changed sources and reloads every open block in place; a
    // block whose file is refused stays as it was.
    void refresh_all();

    // The reasons of the refusals since the last call ("file:line: reason").
    std::vector<std::string> take_failures();
    const HostMsgFile* find(std::string_view compiled_name) const;

private:
    bool load(HostMsgFile& block);
    void refuse(const std::string& reason);
    HostLog& log_;
    std::vector<std::string> failures_;
    std::vector<std::unique_ptr<HostMsgFile>> open_;
    std::vector<HostMsgFile*> stack_;
    HostMsgFile* current_ = nullptr;
};

}  // namespace bbs
