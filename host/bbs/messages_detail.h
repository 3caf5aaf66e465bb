// Internal to libbbs: what the sources of the message files share
// (messages.cpp, message_source.cpp, message_kinds.cpp, message_file.cpp).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace bbs::messages_detail {

// The whole file; false when it cannot be read.
bool read_file(const std::filesystem::path& file, std::string* out);

}  // namespace bbs::messages_detail
