#include "bbs/editor.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include "text/ascii.h"
#include "text/utf8.h"

namespace bbs {

namespace {
constexpr const char* kHelp =
    "Type lines of text; each line you type is added to the end.\r"
    "/d N deletes line N, /e N replaces line N with the next line, /i N puts the next line before line N,\r"
    "/s saves, /a abandons, /l lists the lines, /c clears the text, /h shows this help.\r";
}  // namespace

LineEditor::LineEditor(char* buffer, size_t size, Done done) : buffer_(buffer), size_(size), done_(done) {
    if (size_ > 0) buffer_[size_ - 1] = '\0';
}

std::string LineEditor::text() const {
    if (size_ == 0) return {};
    return std::string(text::field(buffer_, size_ - 1));
}

void LineEditor::replace(std::string_view text) {
    if (size_ == 0) return;
    const size_t n = text::cut_utf8(text, size_ - 1).size();
    if (n > 0) std::memcpy(buffer_, text.data(), n);  // an empty view may have no data at all
    buffer_[n] = '\0';
}

std::vector<std::string> LineEditor::lines() const {
    std::vector<std::string> out;
    const std::string t = text();
    if (t.empty()) return out;
    size_t from = 0;
    for (;;) {
        const size_t cr = t.find('\r', from);
        out.push_back(t.substr(from, cr == std::string::npos ? std::string::npos : cr - from));
        if (cr == std::string::npos) break;
        from = cr + 1;
    }
    return out;
}

std::vector<std::string> LineEditor::wrap(std::string_view line) {
    std::vector<std::string> pieces;
    while (true) {
        // Where the first kLineLimit characters end, and the last blank in them.
        size_t at = 0, chars = 0, blank = std::string_view::npos;
        while (at < line.size() && chars < kLineLimit) {
            if (line[at] == ' ') blank = at;
            at += text::decode_utf8(line, at).size;
            ++chars;
        }
        if (at >= line.size()) {
            pieces.emplace_back(line);
            return pieces;
        }
        if (line[at] == ' ') blank = at;  // the limit falls just before a blank
        const size_t cut = (blank != std::string_view::npos && blank > 0) ? blank : at;
        pieces.emplace_back(line.substr(0, cut));
        line.remove_prefix(cut);
        if (!line.empty() && line[0] == ' ' && cut == blank) line.remove_prefix(1);
    }
}

std::string LineEditor::listing() const {
    const auto all = lines();
    if (all.empty()) return "(The text is empty.)\r";
    std::string out;
    for (size_t i = 0; i < all.size(); ++i) out += std::to_string(i + 1) + ": " + all[i] + "\r";
    return out;
}

std::string LineEditor::header() const {
    std::string h = "Editing: up to " + std::to_string(size_ > 0 ? size_ - 1 : 0) +
                    " characters. /s saves, /a abandons, /h helps.\r";
    std::string t = text();
    if (!t.empty()) h += t + "\r";
    return h;
}

bool LineEditor::store(const std::vector<std::string>& lines, std::string* reply) {
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) joined += '\r';
        joined += lines[i];
    }
    if (size_ == 0 || joined.size() > size_ - 1) {
        *reply += "Text is full.\r";
        return false;
    }
    replace(joined);
    return true;
}

bool LineEditor::command(std::string_view typed, std::string* reply, Result* result) {
    if (typed.size() < 2 || typed[0] != '/') return false;
    const char c = text::lower(typed[1]);
    if (typed.size() == 2) {
        switch (c) {
        case 's': *result = Result::save; return true;
        case 'a': *result = Result::abandon; return true;
        case 'l': *reply = listing(); return true;
        case 'c': replace(""); pending_ = Pending::none; *reply = "Text cleared.\r"; return true;
        case 'h': *reply = kHelp; return true;
        default: return false;
        }
    }
    // /d N, /e N, /i N
    if ((c != 'd' && c != 'e' && c != 'i') || typed[2] != ' ') return false;
    const std::string_view number = text::trim(typed.substr(3), " ");
    size_t n = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), n);
    if (number.empty() || error != std::errc() || end != number.data() + number.size()) return false;
    auto all = lines();
    const size_t last = c == 'i' ? all.size() + 1 : all.size();  // /i past the end appends
    if (n < 1 || n > last) {
        *reply = "There is no line " + std::string(number) + ".\r";
        return true;
    }
    switch (c) {
    case 'd':
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(n - 1));
        store(all, reply);
        pending_ = Pending::none;
        *reply += "Line " + std::to_string(n) + " deleted.\r";
        break;
    case 'e':
        pending_ = Pending::edit;
        target_ = n;
        *reply = "Type the new line " + std::to_string(n) + ":\r";
        break;
    default:
        pending_ = Pending::insert;
        target_ = n;
        *reply = "Type the line to go before line " + std::to_string(n) + ":\r";
        break;
    }
    return true;
}

LineEditor::Result LineEditor::line(std::string_view typed, std::string* reply) {
    reply->clear();
    Result result = Result::editing;
    if (command(typed, reply, &result)) return result;
    const auto pieces = wrap(typed);
    if (pieces.size() > 1) *reply += "Line wrapped at " + std::to_string(kLineLimit) + " characters.\r";
    auto all = lines();
    const Pending pending = pending_;
    pending_ = Pending::none;
    auto at = all.end();
    if (pending != Pending::none && target_ >= 1 && target_ <= all.size() + 1) {
        at = all.begin() + static_cast<std::ptrdiff_t>(target_ - 1);
        if (pending == Pending::edit && at != all.end()) at = all.erase(at);
    }
    all.insert(at, pieces.begin(), pieces.end());
    store(all, reply);
    return Result::editing;
}

}  // namespace bbs
