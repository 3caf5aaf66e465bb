// The config files of a data folder, edited as a sysop edits them before a
// start or a reload: entries of a message source and keys of the game's ini.
// Shared by the tests' hosts and the fuzz programs; nothing here reports to
// a test framework, every failure is a return value.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace testing_support {

std::string read_file(const std::filesystem::path& file);  // empty when unreadable
bool write_file(const std::filesystem::path& file, std::string_view bytes);

// Replaces the text of entry `name` (ignoring case) of a message source
// with `text`, written between the braces as it is (so source escapes
// apply); the rest of the file stays as it was. False when the file has no
// such entry or cannot be written.
bool set_message_entry(const std::filesystem::path& source, std::string_view name,
                       std::string_view text);

// Bytes as the text of a message source entry that reads back as exactly
// these bytes: backslash, braces, line breaks and control bytes escaped.
std::string message_escaped(std::string_view bytes);

// Sets KEY=VALUE in an ini file: the line of KEY (ignoring case and blanks)
// replaced, or the line added to the [Brakvold] section.
bool set_ini_key(const std::filesystem::path& ini, std::string_view key, std::string_view value);
// Removes every line of KEY.
bool remove_ini_key(const std::filesystem::path& ini, std::string_view key);

}  // namespace testing_support
