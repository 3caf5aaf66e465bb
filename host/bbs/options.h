// Reading options (numbered entries) out of an open message block, the way
// the host's option readers do: values outside the caller's bounds are
// clamped, and every correction is reported in the host log. A block checked
// against its module's catalogue (bbs/messages.h) holds every option the
// module reads, numbers that are numbers and yes/no values that are; the
// fallbacks below are for entries no catalogue declares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bbs/messages.h"

namespace bbs {

class HostLog;

class OptionReader {
public:
    OptionReader(const HostMsgFile* block, HostLog& log) : block_(block), log_(log) {}

    // Integer in floor..ceiling; non-numeric or missing: floor; out of
    // range: the nearer bound. Both with a warning.
    int64_t number(int32_t option, int64_t floor, int64_t ceiling);
    // YES or Y -> true, NO or N -> false (ignoring case); anything else:
    // false and a warning.
    bool yes_no(int32_t option);
    // The text; missing: empty with a warning.
    std::string text(int32_t option);

private:
    const MessageEntry* find(int32_t option);
    std::string describe(int32_t option) const;
    const HostMsgFile* block_;
    HostLog& log_;
};

// Reads one option of a message SOURCE file by name; false when the file or
// the option is missing or the file does not parse.
bool scan_message_source(std::string_view file, std::string_view option, std::string* value);

}  // namespace bbs
