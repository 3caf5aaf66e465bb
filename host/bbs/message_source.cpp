// Message files: the source syntax (bbs/messages.h) read into a table.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "bbs/messages.h"
#include "bbs/messages_detail.h"
#include "text/ascii.h"

namespace bbs {

namespace messages_detail {

bool read_file(const std::filesystem::path& file, std::string* out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    *out = buf.str();
    return true;
}

}  // namespace messages_detail

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class SourceParser {
public:
    SourceParser(std::string_view text, std::string_view file) : text_(text), file_(file) {}

    bool run(MessageTable* out, SourceError* error) {
        error_ = error;
        EntryKind kind;
        int kind_line = 0;  // of a "#:" line waiting for its entry
        while (true) {
            skip_space();
            if (at_end()) break;
            char c = peek();
            if (c == '#') {
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == ':') {
                    if (kind_line != 0)
                        return fail(kind_line, "the kind on this line has no entry after it");
                    size_t end = text_.find('\n', pos_);
                    if (end == std::string_view::npos) end = text_.size();
                    std::string why;
                    if (!parse_entry_kind(text_.substr(pos_ + 2, end - pos_ - 2), &kind, &why))
                        return fail(line_, why);
                    kind_line = line_;
                    pos_ = end;
                    continue;
                }
                while (!at_end() && peek() != '\n') ++pos_;
                continue;
            }
            MessageEntry entry;
            entry.line = line_;
            if (!read_number(&entry.number)) return false;
            skip_space();
            if (!read_name(entry.number, &entry.name)) return false;
            skip_space();
            if (at_end() || peek() != '{') return fail(line_, "missing '{' after " + entry.name);
            ++pos_;
            entry.text_line = line_;
            if (!read_text(&entry)) return false;
            if (out->by_number(entry.number))
                return fail(entry.line, "duplicate number " + std::to_string(entry.number) + " (" +
                                            entry.name + ")");
            if (out->by_name(entry.name)) return fail(entry.line, "duplicate name " + entry.name);
            entry.kind = std::exchange(kind, EntryKind{});
            kind_line = 0;
            out->entries.push_back(std::move(entry));
        }
        if (kind_line != 0) return fail(kind_line, "the kind on this line has no entry after it");
        return true;
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    bool fail(int line, std::string reason) {
        if (error_) *error_ = SourceError{std::string(file_), line, std::move(reason)};
        return false;
    }

    void skip_space() {
        while (!at_end()) {
            char c = peek();
            if (c == '\n') ++line_;
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f' && c != '\v') break;
            ++pos_;
        }
    }

    bool read_number(int32_t* number) {
        size_t start = pos_;
        if (!at_end() && peek() == '-') ++pos_;
        while (!at_end() && std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        std::string token(text_.substr(start, pos_ - start));
        if (token.empty() || token == "-") {
            std::string found(1, text_[start]);
            return fail(line_, "expected an entry number, found '" + found + "'");
        }
        long long value = 0;
        try {
            value = std::stoll(token);
        } catch (...) {
            return fail(line_, "entry number " + token + " is out of range");
        }
        if (value < INT32_MIN || value > INT32_MAX)
            return fail(line_, "entry number " + token + " is out of range");
        *number = static_cast<int32_t>(value);
        return true;
    }

    bool read_name(int32_t number, std::string* name) {
        size_t start = pos_;
        while (!at_end()) {
            unsigned char c = static_cast<unsigned char>(peek());
            if (!std::isalnum(c) && c != '_') break;
            ++pos_;
        }
        if (pos_ == start) return fail(line_, "expected a name after number " + std::to_string(number));
        *name = std::string(text_.substr(start, pos_ - start));
        return true;
    }

    bool read_text(MessageEntry* entry) {
        const std::string& name = entry->name;
        const int open_line = entry->text_line;
        std::string* out = &entry->text;
        int depth = 0;
        while (true) {
            if (at_end()) return fail(open_line, "missing '}' closing " + name);
            char c = text_[pos_++];
            if (c == '}') {
                if (depth == 0) return true;
                --depth;
                *out += c;
            } else if (c == '{') {
                ++depth;
                *out += c;
            } else if (c == '\r') {
                *out += '\r';
                if (!at_end() && peek() == '\n') {
                    ++pos_;
                    ++line_;
                    entry->line_starts.push_back(static_cast<uint32_t>(out->size()));
                }
            } else if (c == '\n') {
                ++line_;
                *out += '\r';
                entry->line_starts.push_back(static_cast<uint32_t>(out->size()));
            } else if (c == '\\') {
                if (at_end()) return fail(line_, "missing '}' closing " + name);
                char e = text_[pos_++];
                switch (e) {
                case 'e': *out += '\x1b'; break;
                case 'r': *out += '\r'; break;
                case 'n': *out += '\n'; break;
                case 't': *out += '\t'; break;
                case '\\': *out += '\\'; break;
                case '{': *out += '{'; break;
                case '}': *out += '}'; break;
                case 'x': {
                    int hi = pos_ < text_.size() ? hex_value(text_[pos_]) : -1;
                    int lo = pos_ + 1 < text_.size() ? hex_value(text_[pos_ + 1]) : -1;
                    if (hi < 0 || lo < 0)
                        return fail(line_, "bad escape \\x in " + name + ": two hex digits expected");
                    *out += static_cast<char>(hi * 16 + lo);
                    pos_ += 2;
                    break;
                }
                default: {
                    std::string shown = (static_cast<unsigned char>(e) < 0x20 || e == 0x7f)
                                            ? "a control character"
                                            : std::string("\\") + e;
                    if (e == '\n') ++line_;
                    return fail(line_, "bad escape " + shown + " in " + name);
                }
                }
            } else {
                *out += c;
            }
        }
    }

    std::string_view text_;
    std::string_view file_;
    size_t pos_ = 0;
    int line_ = 1;
    SourceError* error_ = nullptr;
};

}  // namespace

int MessageEntry::line_of(size_t offset) const {
    if (text_line == 0) return 0;
    auto later = std::upper_bound(line_starts.begin(), line_starts.end(), offset);
    return text_line + static_cast<int>(later - line_starts.begin());
}

const MessageEntry* MessageTable::by_number(int32_t number) const {
    for (const auto& e : entries)
        if (e.number == number) return &e;
    return nullptr;
}

const MessageEntry* MessageTable::by_name(std::string_view name) const {
    for (const auto& e : entries)
        if (text::equal_ignoring_case(e.name, name)) return &e;
    return nullptr;
}

std::string SourceError::describe() const {
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + reason;
}

bool parse_message_source(std::string_view text, std::string_view file, MessageTable* out,
                          SourceError* error) {
    MessageTable table;
    if (!SourceParser(text, file).run(&table, error)) return false;
    table.source_digest = message_source_digest(text);
    *out = std::move(table);
    return true;
}

uint64_t message_source_digest(std::string_view text) {
    uint64_t digest = 14695981039346656037ull;
    for (unsigned char c : text) {
        digest ^= c;
        digest *= 1099511628211ull;
    }
    return digest;
}

bool read_message_source(const std::filesystem::path& file, MessageTable* out, SourceError* error) {
    std::string text;
    if (!messages_detail::read_file(file, &text)) {
        if (error) *error = SourceError{file.filename().string(), 0, "cannot read the file"};
        return false;
    }
    return parse_message_source(text, file.filename().string(), out, error);
}

}  // namespace bbs
