#include "bbs/options.h"

#include <cerrno>
#include <cstdlib>

#include "bbs/log.h"
#include "text/ascii.h"

namespace bbs {

namespace {

}  // namespace

const MessageEntry* OptionReader::find(int32_t option) {
    return block_ ? block_->table.by_number(option) : nullptr;
}

std::string OptionReader::describe(int32_t option) const {
    std::string s = (block_ ? block_->name : std::string("(no message file)")) + " option " +
                    std::to_string(option);
    if (block_)
        if (const MessageEntry* e = block_->table.by_number(option)) s += " (" + e->name + ")";
    return s;
}

int64_t OptionReader::number(int32_t option, int64_t floor, int64_t ceiling) {
    std::string bounds = std::to_string(floor) + ".." + std::to_string(ceiling);
    const MessageEntry* e = find(option);
    if (!e) {
        log_.warning(describe(option) + " is missing; using " + std::to_string(floor) + " (bounds " +
                     bounds + ")");
        return floor;
    }
    std::string text(text::trim(e->text, text::kWhiteSpace));
    errno = 0;
    char* end = nullptr;
    long long value = text.empty() ? 0 : std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') {
        log_.warning(describe(option) + " value \"" + text + "\" is not a number; using " +
                     std::to_string(floor) + " (bounds " + bounds + ")");
        return floor;
    }
    if (errno == ERANGE || value < floor || value > ceiling) {
        int64_t clamped = (errno == ERANGE ? (text[0] == '-' ? floor : ceiling)
                                           : (value < floor ? floor : ceiling));
        log_.warning(describe(option) + " value " + text + " is out of bounds " + bounds + "; using " +
                     std::to_string(clamped));
        return clamped;
    }
    return value;
}

bool OptionReader::yes_no(int32_t option) {
    const MessageEntry* e = find(option);
    if (!e) {
        log_.warning(describe(option) + " is missing; using NO (YES, NO, Y or N expected)");
        return false;
    }
    const std::string_view text = text::trim(e->text, text::kWhiteSpace);
    if (text::equal_ignoring_case(text, "YES") || text::equal_ignoring_case(text, "Y")) return true;
    if (text::equal_ignoring_case(text, "NO") || text::equal_ignoring_case(text, "N")) return false;
    log_.warning(describe(option) + " value \"" + std::string(text) + "\" is not YES, NO, Y or N; using NO");
    return false;
}

std::string OptionReader::text(int32_t option) {
    const MessageEntry* e = find(option);
    if (!e) {
        log_.warning(describe(option) + " is missing; using an empty text");
        return {};
    }
    return e->text;
}

bool scan_message_source(std::string_view file, std::string_view option, std::string* value) {
    MessageTable table;
    SourceError err;
    if (!read_message_source(std::filesystem::path(std::string(file)), &table, &err)) return false;
    const MessageEntry* e = table.by_name(option);
    if (!e) return false;
    *value = e->text;
    return true;
}

}  // namespace bbs
