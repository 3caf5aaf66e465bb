// bbsmsgc: makes a module's message catalogue from the message source it
// ships, at build time.
//
//     bbsmsgc SOURCE --catalogue X.MCT --header NAME.h
//
// Every entry of SOURCE must say how the module reads it (a "#: KIND" line,
// bbs/messages.h), and its shipped text must fit that kind. The catalogue
// (X.MCT, installed beside the module's library) is what the host checks a
// sysop's copy of the file against; the header gives the module the numbers
// of its options and messages and the bounds of its numeric options.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/messages.h"

namespace {

using Reader = bbs::EntryKind::Reader;

bool is_identifier(std::string_view name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

std::string catalogue_text(const bbs::MessageTable& table, std::string_view source) {
    std::string out = "# What the module reads from its message file, and how (bbs/messages.h).\n"
                      "# Generated from " + std::string(source) + " by bbsmsgc: change that file, not this one.\n";
    for (const auto& e : table.entries)
        out += "#: " + e.kind.text() + "\n" + std::to_string(e.number) + " " + e.name + " {}\n";
    return out;
}

std::string header_text(const bbs::MessageTable& table, std::string_view source) {
    std::string out = "// Numbers of the options and messages the module reads from its message\n"
                      "// file, each with the routine it is read with, and the bounds of the\n"
                      "// numeric options. Generated from " + std::string(source) +
                      " by bbsmsgc:\n// change that file, not this one.\n#pragma once\n\nenum {\n";
    for (const auto& e : table.entries) {
        out += "    " + e.name + " = " + std::to_string(e.number) + ",  // " + e.kind.text() + "\n";
        if (e.kind.reader == Reader::numopt || e.kind.reader == Reader::lngopt) {
            out += "    " + e.name + "_FLOOR = " + std::to_string(e.kind.floor) + ",\n";
            out += "    " + e.name + "_CEILING = " + std::to_string(e.kind.ceiling) + ",\n";
        }
    }
    return out + "};\n";
}

bool write(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) std::cerr << "bbsmsgc: cannot write " << file << std::endl;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::string source, catalogue, header;
    bool understood = true;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--catalogue" && i + 1 < argc)
            catalogue = argv[++i];
        else if (arg == "--header" && i + 1 < argc)
            header = argv[++i];
        else if (source.empty() && !arg.starts_with("--"))
            source = arg;
        else
            understood = false;
    }
    if (!understood || source.empty() || catalogue.empty() || header.empty()) {
        std::cerr << "usage: bbsmsgc SOURCE --catalogue X.MCT --header NAME.h" << std::endl;
        return 2;
    }
    bbs::MessageTable table;
    bbs::SourceError error;
    if (!bbs::read_message_source(source, &table, &error)) {
        std::cerr << "bbsmsgc: " << error.describe() << std::endl;
        return 1;
    }
    const std::string name = std::filesystem::path(source).filename().string();
    std::vector<bbs::SourceError> errors;
    for (const auto& e : table.entries) {
        if (e.kind.reader == Reader::unknown)
            errors.push_back({name, e.line, std::to_string(e.number) + " " + e.name +
                                                " has no kind (a \"#: KIND\" line before it)"});
        if (!is_identifier(e.name)) errors.push_back({name, e.line, "\"" + e.name + "\" cannot name a number in C"});
    }
    bbs::check_message_table(&table, nullptr, name, &errors);
    for (const auto& e : errors) std::cerr << "bbsmsgc: " << e.describe() << std::endl;
    if (!errors.empty()) return 1;
    return write(catalogue, catalogue_text(table, name)) && write(header, header_text(table, name)) ? 0 : 1;
}
