#include "tests/support/data_files.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "text/ascii.h"

namespace testing_support {

namespace {

constexpr const char* kBlanks = " \t\r\n";

// The braces around the text of entry `name`: src[*open] '{', src[*close] '}'.
bool find_entry(const std::string& src, std::string_view name, size_t* open, size_t* close) {
    size_t pos = 0;
    while ((pos = src.find_first_not_of(kBlanks, pos)) != std::string::npos) {
        if (src[pos] == '#') {  // a comment or kind line
            pos = src.find('\n', pos);
            continue;
        }
        const size_t brace = src.find('{', pos);
        if (brace == std::string::npos) return false;
        // NUMBER NAME {: the name is the last word before the brace.
        const std::string_view head = std::string_view(src).substr(pos, brace - pos);
        const size_t last = head.find_last_not_of(kBlanks);
        const size_t first = last == std::string_view::npos ? 0 : head.find_last_of(kBlanks, last) + 1;
        size_t at = brace + 1;
        for (int depth = 0; at < src.size(); ++at) {
            if (src[at] == '\\') ++at;
            else if (src[at] == '{') ++depth;
            else if (src[at] == '}' && depth-- == 0) break;
        }
        if (at >= src.size()) return false;
        if (last != std::string_view::npos && text::equal_ignoring_case(head.substr(first, last + 1 - first), name))
            return *open = brace, *close = at, true;
        pos = at + 1;
    }
    return false;
}

// The line "KEY=..." (ignoring case and blanks around KEY): [*begin, *end)
// with its line break.
bool find_ini_line(const std::string& ini, std::string_view key, size_t* begin, size_t* end) {
    for (size_t pos = 0; pos < ini.size();) {
        size_t eol = ini.find('\n', pos);
        eol = eol == std::string::npos ? ini.size() : eol + 1;
        const std::string_view line = std::string_view(ini).substr(pos, eol - pos);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            std::string_view k = line.substr(0, eq);
            k.remove_prefix(std::min(k.size(), k.find_first_not_of(kBlanks)));
            k = k.substr(0, k.find_last_not_of(kBlanks) + 1);
            if (text::equal_ignoring_case(k, key)) return *begin = pos, *end = eol, true;
        }
        pos = eol;
    }
    return false;
}

}  // namespace

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool write_file(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool set_message_entry(const std::filesystem::path& source, std::string_view name, std::string_view text) {
    std::string src = read_file(source);
    size_t open = 0, close = 0;
    if (!find_entry(src, name, &open, &close)) return false;
    src.replace(open + 1, close - open - 1, text);
    return write_file(source, src);
}

std::string message_escaped(std::string_view bytes) {
    // Pairs: a byte, and the letter after the backslash that writes it.
    static constexpr std::string_view kNamed = "\\\\{{}}\rr\nn\tt\x1b" "e";
    std::string out;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        char hex[8];
        if (const size_t at = kNamed.find(c); at != std::string_view::npos && at % 2 == 0)
            out += {'\\', kNamed[at + 1]};
        else if (byte >= 0x20 && byte != 0x7f) out += c;
        else out += (std::snprintf(hex, sizeof hex, "\\x%02X", byte), hex);
    }
    return out;
}

bool set_ini_key(const std::filesystem::path& ini, std::string_view key, std::string_view value) {
    std::string text = read_file(ini);
    const std::string line = std::string(key) + "=" + std::string(value) + "\n";
    size_t begin = 0, end = 0;
    if (find_ini_line(text, key, &begin, &end)) {
        text.replace(begin, end - begin, line);
    } else {
        if (!text.empty() && text.back() != '\n') text += '\n';
        if (text.find("[Brakvold]") == std::string::npos) text += "[Brakvold]\n";
        text += line;
    }
    return write_file(ini, text);
}

bool remove_ini_key(const std::filesystem::path& ini, std::string_view key) {
    std::string text = read_file(ini);
    size_t begin = 0, end = 0;
    while (find_ini_line(text, key, &begin, &end)) text.erase(begin, end - begin);
    return write_file(ini, text);
}

}  // namespace testing_support
