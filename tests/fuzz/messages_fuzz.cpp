// Fuzz target: the message file compiler and the option readers; the input as source and as a compiled file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/log.h"
#include "bbs/messages.h"
#include "bbs/options.h"
#include "tests/fuzz/fuzz.h"
#include "tests/support/data_files.h"
#include "text/ascii.h"

namespace plusfuzz {
namespace {

// A file of the program's scratch folder with these bytes.
std::filesystem::path written(const char* name, std::string_view bytes) {
    const auto file = std::filesystem::temp_directory_path() / name;
    if (!testing_support::write_file(file, bytes)) fail("cannot write " + file.string());
    return file;
}

// Message source that parses back to exactly `table`.
std::string message_source_text(const bbs::MessageTable& table) {
    std::string out;
    for (const auto& e : table.entries) {
        if (std::string kind = e.kind.text(); !kind.empty()) out += "#: " + kind + "\n";
        out += std::to_string(e.number) + " " + e.name + " {" + testing_support::message_escaped(e.text) + "}\n";
    }
    return out;
}

std::string describe(const bbs::MessageEntry& e) {
    return std::to_string(e.number) + " " + e.name + " (" + std::to_string(e.text.size()) + " bytes of text)";
}

void same_tables(const bbs::MessageTable& a, const bbs::MessageTable& b, const std::string& what) {
    if (a.entries.size() != b.entries.size())
        fail(what + ": " + std::to_string(a.entries.size()) + " entries became " + std::to_string(b.entries.size()));
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const auto &x = a.entries[i], &y = b.entries[i];
        if (x.number != y.number || x.name != y.name || x.text != y.text || !(x.kind == y.kind))
            fail(what + ": entry " + describe(x) + " became " + describe(y));
    }
}

// An accepted table compiled to a file and read back: the same entries and digest.
void compiles_and_reads_back(const bbs::MessageTable& table, const char* name, const std::string& what) {
    const auto file = std::filesystem::temp_directory_path() / name;
    std::string why;
    if (!bbs::write_compiled_messages(file, table, &why)) fail(what + ": cannot write an accepted table: " + why);
    bbs::MessageTable read;
    if (!bbs::read_compiled_messages(file, &read, &why)) fail(what + ": cannot read it back: " + why);
    same_tables(table, read, what);
    if (read.source_digest != table.source_digest) fail(what + ": the digest changed");
}

size_t count_lines(std::string_view text) { return 1 + std::count(text.begin(), text.end(), '\n'); }

using Argument = bbs::EntryKind::Argument;

// snprintf with one argument of each kind, a text for a string, a number for
// the others; messages of more than four arguments are left out.
template <typename... Args>
void format_with(const std::string& format, const std::vector<Argument>& kinds, size_t next, Args... args) {
    if constexpr (sizeof...(Args) < 4) {
        if (next < kinds.size()) {
            if (kinds[next] == Argument::string) return format_with(format, kinds, next + 1, args..., "a text");
            return format_with(format, kinds, next + 1, args..., -2147483647 - 1);
        }
    }
    if (kinds.size() > sizeof...(Args)) return;
    char out[512];
    // The format is the fuzzed text itself, on purpose: once checked, it
    // must be safe to format with the arguments its kinds name, none too.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    std::snprintf(out, sizeof out, format.c_str(), args...);
#pragma GCC diagnostic pop
}

void check_kinds(bbs::MessageTable table, std::string_view text) {
    std::vector<bbs::SourceError> errors;
    if (!bbs::check_message_table(&table, nullptr, "fuzz.msg", &errors)) {
        if (errors.empty()) fail("a refused table without a reason");
        for (const auto& e : errors)
            if (e.line < 0 || static_cast<size_t>(e.line) > count_lines(text) || e.reason.empty())
                fail("a refusal names line " + std::to_string(e.line) + ": " + e.describe());
        return;
    }
    for (const auto& e : table.entries)
        if (!e.kind.is_option()) format_with(e.text, e.kind.arguments, 0);
}

void check_source(std::string_view text) {
    bbs::MessageTable table;
    bbs::SourceError error;
    if (!bbs::parse_message_source(text, "fuzz.msg", &table, &error)) {
        if (error.reason.empty()) fail("a refused source without a reason");
        if (error.file != "fuzz.msg") fail("the error names the file " + error.file);
        if (error.line < 1 || static_cast<size_t>(error.line) > count_lines(text))
            fail("the error names line " + std::to_string(error.line) + " of a text of " +
                 std::to_string(count_lines(text)) + " lines: " + error.describe());
        return;
    }
    if (table.source_digest != bbs::message_source_digest(text)) fail("the table's digest is not its source's");
    std::set<int32_t> numbers;
    std::set<std::string> names;
    for (const auto& e : table.entries) {
        if (e.name.empty()) fail("an entry without a name: " + describe(e));
        for (char c : e.name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') fail("a name with a stray byte: " + describe(e));
        if (!numbers.insert(e.number).second) fail("two entries numbered " + std::to_string(e.number));
        if (!names.insert(text::lowercase(e.name)).second) fail("two entries named " + e.name);
        if (table.by_number(e.number) != &e) fail("by_number does not find " + describe(e));
        if (table.by_name(e.name) != &e) fail("by_name does not find " + describe(e));
    }

    check_kinds(table, text);

    bbs::MessageTable again;
    if (!bbs::parse_message_source(message_source_text(table), "again.msg", &again, &error))
        fail("the table written back as source does not parse: " + error.describe());
    same_tables(table, again, "written back as source");

    compiles_and_reads_back(table, "FUZZ.MCV", "compiled and read back");

    // The source on disk, as scan_message_source reads another module's file.
    const auto source = written("FUZZ.MSG", text);
    for (const auto& e : table.entries) {
        std::string value;
        if (!bbs::scan_message_source(source.string(), e.name, &value))
            fail("scan_message_source does not find " + describe(e));
        if (value != table.by_name(e.name)->text) fail("scan_message_source reads another text for " + describe(e));
    }

    // The option readers, with the bounds the module uses and some others.
    HostMsgFile block;
    block.name = "FUZZ.MCV", block.table = table;
    bbs::HostLog quiet;  // never opened: the warnings go nowhere
    bbs::OptionReader reader(&block, quiet);
    static const int64_t kBounds[][2] = {{0, 1000000}, {-1, 90000000}, {1, 32767}, {0, 60}, {1, 10}, {5, 5}};
    for (const auto& e : table.entries) {
        for (const auto& b : kBounds) {
            const int64_t v = reader.number(e.number, b[0], b[1]);
            if (v < b[0] || v > b[1])
                fail("option " + describe(e) + " read as " + std::to_string(v) + " outside " + std::to_string(b[0]) +
                     ".." + std::to_string(b[1]));
        }
        reader.yes_no(e.number);
        if (reader.text(e.number) != e.text) fail("the text of option " + describe(e) + " reads otherwise");
    }
}

void check_compiled(std::string_view bytes) {
    bbs::MessageTable table;
    std::string why;
    if (!bbs::read_compiled_messages(written("INPUT.MCV", bytes), &table, &why)) {
        if (why.empty()) fail("a refused compiled file without a reason");
        return;
    }
    size_t payload = 0;
    for (const auto& e : table.entries) payload += 12 + e.name.size() + e.text.size();
    if (payload + 20 > bytes.size())
        fail("a compiled file of " + std::to_string(bytes.size()) + " bytes read as " + std::to_string(payload) +
             " bytes of entries");
    compiles_and_reads_back(table, "AGAIN.MCV", "compiled file written again");
}

}  // namespace

void fuzz_one(std::string_view bytes) {
    check_source(bytes);
    check_compiled(bytes);
}

}  // namespace plusfuzz
