#include "bbs/editor.h"

#include <cctype>
#include <cstring>

namespace bbs {

namespace {
constexpr const char* kHelp =
    "Type lines of text; each line you type is added to the end.\r"
    "/s saves, /a abandons, /l lists the text, /c clears it, /h shows this help.\r";
}

LineEditor::LineEditor(char* buffer, size_t size, Done done) : buffer_(buffer), size_(size), done_(done) {
    if (size_ > 0) buffer_[size_ - 1] = '\0';
}

std::string LineEditor::text() const {
    if (size_ == 0) return {};
    return std::string(buffer_, strnlen(buffer_, size_ - 1));
}

void LineEditor::replace(std::string_view text) {
    if (size_ == 0) return;
    size_t n = text.size() < size_ - 1 ? text.size() : size_ - 1;
    if (n > 0) std::memcpy(buffer_, text.data(), n);  // an empty view may have no data at all
    buffer_[n] = '\0';
}

std::string LineEditor::listing() const {
    std::string t = text();
    if (t.empty()) return "(The text is empty.)\r";
    return t + "\r";
}

std::string LineEditor::header() const {
    std::string h = "Editing: up to " + std::to_string(size_ > 0 ? size_ - 1 : 0) +
                    " characters. /s saves, /a abandons, /h helps.\r";
    std::string t = text();
    if (!t.empty()) h += t + "\r";
    return h;
}

LineEditor::Result LineEditor::line(std::string_view typed, std::string* reply) {
    reply->clear();
    if (typed.size() == 2 && typed[0] == '/') {
        switch (std::tolower(static_cast<unsigned char>(typed[1]))) {
        case 's': return Result::save;
        case 'a': return Result::abandon;
        case 'l': *reply = listing(); return Result::editing;
        case 'c': replace(""); *reply = "Text cleared.\r"; return Result::editing;
        case 'h': *reply = kHelp; return Result::editing;
        default: break;
        }
    }
    std::string line(typed);
    if (line.size() > kLineLimit) {
        line.resize(kLineLimit);
        *reply += "Line cut to " + std::to_string(kLineLimit) + " characters.\r";
    }
    std::string current = text();
    std::string joined = current.empty() ? line : current + "\r" + line;
    if (size_ == 0 || joined.size() > size_ - 1) {
        *reply += "Text is full.\r";
        return Result::editing;
    }
    replace(joined);
    return Result::editing;
}

}  // namespace bbs
