#include "bbs/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "bbs/log.h"

namespace bbs {

namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

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

void put_u32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

bool get_u32(const std::string& in, size_t* pos, uint32_t* v) {
    if (*pos + 4 > in.size()) return false;
    uint32_t r = 0;
    for (int i = 0; i < 4; ++i) r |= static_cast<uint32_t>(static_cast<unsigned char>(in[*pos + i])) << (8 * i);
    *pos += 4;
    *v = r;
    return true;
}

bool read_file(const std::filesystem::path& file, std::string* out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    *out = buf.str();
    return true;
}

constexpr char kMagic[4] = {'B', 'M', 'C', 'V'};
constexpr uint32_t kVersion = 3;  // 2: the same without kinds

using Reader = EntryKind::Reader;
using Argument = EntryKind::Argument;

std::string trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

bool whole_number(std::string_view s) {
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

bool one_of(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

const char* argument_word(Argument a) {
    switch (a) {
    case Argument::string: return "string";
    case Argument::integer: return "integer";
    case Argument::count: return "count";
    }
    return "?";
}

const char* article(Argument a) { return a == Argument::integer ? "an" : "a"; }

const char* conversions_for(Argument a) {
    switch (a) {
    case Argument::string: return "%s";
    case Argument::integer: return "%d or %i";
    case Argument::count: return "%d, %i or %u";
    }
    return "?";
}

bool fits(char conversion, Argument a) {
    switch (a) {
    case Argument::string: return conversion == 's';
    case Argument::integer: return conversion == 'd' || conversion == 'i';
    case Argument::count: return conversion == 'd' || conversion == 'i' || conversion == 'u';
    }
    return false;
}

std::string argument_list(const std::vector<Argument>& args) {
    std::string out;
    for (Argument a : args) out += std::string(out.empty() ? "" : ", ") + argument_word(a);
    return out;
}

// The first conversion of `text` that does not fit `args`: its offset and
// why. `label` names the entry ("28 PLSPRMT").
bool check_conversions(std::string_view text, const std::vector<Argument>& args, bool declared,
                       const std::string& label, size_t* at, std::string* why) {
    const std::string percent_hint = declared ? "write %% for a percent sign"
                                              : "write %% for a percent sign, or give the entry its "
                                                "arguments with a \"#: prfmsg(...)\" line";
    size_t next = 0;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '%') continue;
        if (i + 1 < n && text[i + 1] == '%') {
            ++i;
            continue;
        }
        *at = i;
        size_t j = i + 1;
        while (j < n && one_of(text[j], "-+ #0'I")) ++j;
        bool positional = false, star = false, length = false;
        auto digits = [&] {
            while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        };
        digits();
        if (j < n && text[j] == '$') {
            positional = true;
            ++j;
            digits();
        }
        if (j < n && text[j] == '*') {
            star = true;
            ++j;
        }
        digits();
        if (j < n && text[j] == '.') {
            ++j;
            if (j < n && text[j] == '*') {
                star = true;
                ++j;
            }
            digits();
        }
        while (j < n && one_of(text[j], "hlLqjzt")) {
            length = true;
            ++j;
        }
        if (j >= n) {
            *why = j == i + 1 ? "a lone '%' at the end of the text (" + percent_hint + ")"
                              : "an unfinished conversion \"" + std::string(text.substr(i)) +
                                    "\" at the end of the text (" + percent_hint + ")";
            return false;
        }
        const char conversion = text[j];
        const std::string spec = "\"" + std::string(text.substr(i, j - i + 1)) + "\"";
        if (!one_of(conversion, "diouxXcseEfFgGaApnmCS")) {
            *why = "unknown conversion " + spec + " (" + percent_hint + ")";
            return false;
        }
        if (conversion == 'n') {
            *why = "conversion " + spec + " writes into memory and is never allowed";
            return false;
        }
        if (positional) {
            *why = "conversion " + spec + " picks its argument by position; print the arguments in order";
            return false;
        }
        if (star) {
            *why = "conversion " + spec + " takes a width or precision from an argument; write the number";
            return false;
        }
        if (length) {
            *why = "conversion " + spec + " has a length modifier; the arguments are texts and 32-bit integers";
            return false;
        }
        if (next >= args.size()) {
            *why = "conversion " + spec + " has no argument to print: " + label + " takes " +
                   (args.empty() ? std::string("none") + " (" + percent_hint + ")"
                                 : std::to_string(args.size()) + " (" + argument_list(args) + ")");
            return false;
        }
        const Argument a = args[next++];
        if (!fits(conversion, a)) {
            *why = "conversion " + spec + " does not fit: argument " + std::to_string(next) + " is " +
                   article(a) + " " + argument_word(a) + " (print it with " + conversions_for(a) + ")";
            return false;
        }
        i = j;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Kinds

bool EntryKind::is_option() const {
    return reader != Reader::unknown && reader != Reader::prfmsg;
}

std::string EntryKind::text() const {
    switch (reader) {
    case Reader::unknown: return {};
    case Reader::numopt: return "numopt(" + std::to_string(floor) + ".." + std::to_string(ceiling) + ")";
    case Reader::lngopt: return "lngopt(" + std::to_string(floor) + ".." + std::to_string(ceiling) + ")";
    case Reader::ynopt: return "ynopt";
    case Reader::stgopt: return "stgopt";
    case Reader::hasmkey: return "hasmkey";
    case Reader::prfmsg: return arguments.empty() ? "prfmsg" : "prfmsg(" + argument_list(arguments) + ")";
    }
    return {};
}

bool parse_entry_kind(std::string_view text, EntryKind* kind, std::string* why) {
    const std::string all = trimmed(text);
    const std::string expected =
        " (numopt(LOW..HIGH), lngopt(LOW..HIGH), ynopt, stgopt, hasmkey or prfmsg(ARGUMENTS) expected)";
    size_t open = all.find('(');
    std::string word = trimmed(std::string_view(all).substr(0, open));
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string inside;
    if (open != std::string::npos) {
        if (all.back() != ')') {
            *why = "kind \"" + all + "\" lacks its closing ')'";
            return false;
        }
        inside = trimmed(std::string_view(all).substr(open + 1, all.size() - open - 2));
    }
    EntryKind k;
    static const std::pair<const char*, Reader> kReaders[] = {
        {"numopt", Reader::numopt}, {"lngopt", Reader::lngopt}, {"ynopt", Reader::ynopt},
        {"stgopt", Reader::stgopt}, {"hasmkey", Reader::hasmkey}, {"prfmsg", Reader::prfmsg}};
    for (const auto& [name, reader] : kReaders)
        if (word == name) k.reader = reader;
    if (k.reader == Reader::unknown) {
        *why = "unknown kind \"" + all + "\"" + expected;
        return false;
    }
    if (k.reader == Reader::numopt || k.reader == Reader::lngopt) {
        size_t dots = inside.find("..");
        std::string low = dots == std::string::npos ? "" : trimmed(std::string_view(inside).substr(0, dots));
        std::string high = dots == std::string::npos ? "" : trimmed(std::string_view(inside).substr(dots + 2));
        bool ok = whole_number(low) && whole_number(high) && low.size() < 12 && high.size() < 12;
        if (ok) {
            k.floor = std::stoll(low);
            k.ceiling = std::stoll(high);
            ok = k.floor >= INT32_MIN && k.ceiling <= INT32_MAX && k.floor <= k.ceiling;
        }
        if (!ok) {
            *why = "kind \"" + all + "\" needs bounds LOW..HIGH, whole 32-bit numbers, LOW not above HIGH";
            return false;
        }
    } else if (k.reader == Reader::prfmsg) {
        if (!inside.empty() && inside != "none") {
            size_t from = 0;
            while (true) {
                size_t comma = inside.find(',', from);
                std::string arg = trimmed(std::string_view(inside).substr(
                    from, comma == std::string::npos ? std::string::npos : comma - from));
                if (arg == "string") k.arguments.push_back(Argument::string);
                else if (arg == "integer") k.arguments.push_back(Argument::integer);
                else if (arg == "count") k.arguments.push_back(Argument::count);
                else {
                    *why = "kind \"" + all + "\": argument \"" + arg + "\" is not string, integer or count";
                    return false;
                }
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        }
    } else if (open != std::string::npos) {
        *why = "kind \"" + all + "\" takes nothing in parentheses" + expected;
        return false;
    }
    *kind = std::move(k);
    return true;
}

int MessageEntry::line_of(size_t offset) const {
    if (text_line == 0) return 0;
    auto later = std::upper_bound(line_starts.begin(), line_starts.end(), offset);
    return text_line + static_cast<int>(later - line_starts.begin());
}

bool check_message_table(MessageTable* table, const MessageTable* catalogue, std::string_view file,
                         std::vector<SourceError>* errors) {
    const size_t before = errors->size();
    auto error = [&](int line, std::string reason) {
        errors->push_back(SourceError{std::string(file), line, std::move(reason)});
    };
    for (MessageEntry& e : table->entries) {
        const std::string label = std::to_string(e.number) + " " + e.name;
        EntryKind kind = e.kind;
        if (const MessageEntry* wanted = catalogue ? catalogue->by_number(e.number) : nullptr) {
            if (kind.reader != Reader::unknown && !(kind == wanted->kind))
                error(e.line, label + ": marked " + kind.text() + ", but the module reads it with " +
                                  wanted->kind.text());
            kind = wanted->kind;
        }
        const std::string value = trimmed(e.text);
        switch (kind.reader) {
        case Reader::numopt:
        case Reader::lngopt:
            if (!whole_number(value))
                error(e.text_line, label + ": \"" + value + "\" is not a number (" + kind.text() +
                                       " wants a whole number)");
            break;
        case Reader::ynopt: {
            std::string upper = value;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (upper != "YES" && upper != "NO" && upper != "Y" && upper != "N")
                error(e.text_line, label + ": \"" + value + "\" is not YES, NO, Y or N");
            break;
        }
        case Reader::stgopt:
        case Reader::hasmkey:
            break;
        case Reader::prfmsg:
        case Reader::unknown: {
            size_t at = 0;
            std::string why;
            if (!check_conversions(e.text, kind.arguments, kind.reader == Reader::prfmsg, label, &at, &why))
                error(e.line_of(at), label + ": " + why);
            break;
        }
        }
        e.kind = std::move(kind);
    }
    if (catalogue)
        for (const MessageEntry& wanted : catalogue->entries)
            if (!table->by_number(wanted.number))
                error(0, std::to_string(wanted.number) + " " + wanted.name +
                             " is missing (the module reads it with " + wanted.kind.text() + ")");
    return errors->size() == before;
}

const MessageEntry* MessageTable::by_number(int32_t number) const {
    for (const auto& e : entries)
        if (e.number == number) return &e;
    return nullptr;
}

const MessageEntry* MessageTable::by_name(std::string_view name) const {
    for (const auto& e : entries)
        if (equal_ignoring_case(e.name, name)) return &e;
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
    if (!read_file(file, &text)) {
        if (error) *error = SourceError{file.filename().string(), 0, "cannot read the file"};
        return false;
    }
    return parse_message_source(text, file.filename().string(), out, error);
}

bool write_compiled_messages(const std::filesystem::path& file, const MessageTable& table,
                             std::string* error) {
    std::string out(kMagic, sizeof kMagic);
    put_u32(out, kVersion);
    put_u32(out, static_cast<uint32_t>(table.source_digest));
    put_u32(out, static_cast<uint32_t>(table.source_digest >> 32));
    put_u32(out, static_cast<uint32_t>(table.entries.size()));
    for (const auto& e : table.entries) {
        put_u32(out, static_cast<uint32_t>(e.number));
        put_u32(out, static_cast<uint32_t>(e.name.size()));
        out += e.name;
        put_u32(out, static_cast<uint32_t>(e.text.size()));
        out += e.text;
        const std::string kind = e.kind.text();
        put_u32(out, static_cast<uint32_t>(kind.size()));
        out += kind;
    }
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    };
    // A temporary file of this process's own, renamed over the compiled file
    // once whole: readers see the old file or the new one, never a part.
    std::string temp = file.string() + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return fail("cannot write " + file.string() + " (no temporary file beside it)");
    bool written = fchmod(fd, 0644) == 0;
    for (size_t done = 0; written && done < out.size();) {
        ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    if (!written) {
        int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return fail("cannot write " + temp);
    }
    if (::close(fd) != 0 || std::rename(temp.c_str(), file.c_str()) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail("cannot write " + file.string());
    }
    return true;
}

bool read_compiled_messages(const std::filesystem::path& file, MessageTable* out,
                            std::string* error) {
    std::string in;
    if (!read_file(file, &in)) {
        if (error) *error = "cannot read " + file.string();
        return false;
    }
    auto bad = [&](const std::string& what) {
        if (error) *error = file.string() + ": " + what;
        return false;
    };
    if (in.size() < 8 || std::memcmp(in.data(), kMagic, 4) != 0) return bad("not a compiled message file");
    size_t pos = 4;
    uint32_t version = 0, digest_low = 0, digest_high = 0, count = 0;
    get_u32(in, &pos, &version);
    if (version != kVersion && version != 2) return bad("unknown format version " + std::to_string(version));
    if (!get_u32(in, &pos, &digest_low) || !get_u32(in, &pos, &digest_high) || !get_u32(in, &pos, &count))
        return bad("truncated");
    MessageTable table;
    table.source_digest = (static_cast<uint64_t>(digest_high) << 32) | digest_low;
    for (uint32_t i = 0; i < count; ++i) {
        MessageEntry e;
        uint32_t number = 0, len = 0;
        if (!get_u32(in, &pos, &number) || !get_u32(in, &pos, &len) || pos + len > in.size())
            return bad("truncated");
        e.number = static_cast<int32_t>(number);
        e.name = in.substr(pos, len);
        pos += len;
        if (!get_u32(in, &pos, &len) || pos + len > in.size()) return bad("truncated");
        e.text = in.substr(pos, len);
        pos += len;
        if (version >= 3) {
            if (!get_u32(in, &pos, &len) || pos + len > in.size()) return bad("truncated");
            std::string why;
            if (len > 0 && !parse_entry_kind(std::string_view(in).substr(pos, len), &e.kind, &why))
                return bad("entry " + std::to_string(e.number) + ": " + why);
            pos += len;
        }
        table.entries.push_back(std::move(e));
    }
    *out = std::move(table);
    return true;
}

std::filesystem::path message_source_of(const std::filesystem::path& compiled) {
    std::filesystem::path upper = compiled, lower = compiled;
    upper.replace_extension(".MSG");
    lower.replace_extension(".msg");
    std::error_code ec;
    if (std::filesystem::exists(upper, ec)) return upper;
    if (std::filesystem::exists(lower, ec)) return lower;
    return {};
}

// ---------------------------------------------------------------------------

void MessageCatalog::refuse(const std::string& reason) {
    log_.error("message file " + reason);
    failures_.push_back(reason);
}

std::vector<std::string> MessageCatalog::take_failures() { return std::exchange(failures_, {}); }

// The source, when there is one, is what counts: it is read and checked on
// every load, and compiled again unless the compiled file was made from the
// very same bytes (its digest says so). Modification times decide nothing,
// so that another process compiling the file meanwhile cannot make a load
// miss a change.
bool MessageCatalog::load(HostMsgFile& block) {
    const MessageTable* catalogue = block.catalogue_file.empty() ? nullptr : &block.catalogue;
    const std::filesystem::path source = message_source_of(block.compiled);
    MessageTable table;
    std::vector<SourceError> errors;
    if (!source.empty()) {
        const std::string name = source.filename().string();
        std::string text;
        SourceError error;
        if (!read_file(source, &text)) {
            refuse(name + ": cannot read the file");
            return false;
        }
        if (!parse_message_source(text, name, &table, &error)) {
            refuse(error.describe());
            return false;
        }
        if (!check_message_table(&table, catalogue, name, &errors)) {
            for (const auto& e : errors) refuse(e.describe());
            return false;
        }
        MessageTable compiled;
        std::string why;
        if (!read_compiled_messages(block.compiled, &compiled, &why) ||
            compiled.source_digest != table.source_digest) {
            if (!write_compiled_messages(block.compiled, table, &why)) {
                refuse(block.name + ": " + why);
                return false;
            }
            log_.write("compiled " + name + " into " + block.name);
        }
    } else {
        std::error_code ec;
        std::string why;
        if (!std::filesystem::exists(block.compiled, ec)) {
            refuse(block.name + ": neither it nor its source exists");
            return false;
        }
        if (!read_compiled_messages(block.compiled, &table, &why)) {
            refuse(block.name + ": " + why);
            return false;
        }
        if (!check_message_table(&table, catalogue, block.name, &errors)) {
            for (const auto& e : errors) refuse(e.describe());
            return false;
        }
    }
    block.table = std::move(table);
    return true;
}

HostMsgFile* MessageCatalog::open(std::string_view compiled_name, const std::filesystem::path& catalogue) {
    auto block = std::make_unique<HostMsgFile>();
    block->name = std::string(compiled_name);
    block->compiled = std::filesystem::path(block->name);
    if (!catalogue.empty()) {
        SourceError error;
        if (!read_message_source(catalogue, &block->catalogue, &error)) {
            refuse("catalogue " + catalogue.string() + ": " + error.describe());
            return nullptr;
        }
        block->catalogue_file = catalogue;
    }
    if (!load(*block)) return nullptr;
    open_.push_back(std::move(block));
    return open_.back().get();
}

const HostMsgFile* MessageCatalog::find(std::string_view compiled_name) const {
    for (const auto& block : open_)
        if (equal_ignoring_case(block->name, compiled_name)) return block.get();
    return nullptr;
}

void MessageCatalog::close(HostMsgFile* block) {
    auto it = std::find_if(open_.begin(), open_.end(), [&](const auto& p) { return p.get() == block; });
    if (it == open_.end()) return;
    for (auto& s : stack_)
        if (s == block) s = nullptr;
    if (current_ == block) current_ = nullptr;
    open_.erase(it);
}

bool MessageCatalog::is_open(const HostMsgFile* block) const {
    return std::any_of(open_.begin(), open_.end(), [&](const auto& p) { return p.get() == block; });
}

void MessageCatalog::select(HostMsgFile* block) {
    stack_.push_back(current_);
    current_ = block;
}

void MessageCatalog::restore() {
    if (stack_.empty()) {
        current_ = nullptr;
        return;
    }
    current_ = stack_.back();
    stack_.pop_back();
}

void MessageCatalog::restore_to(HostMsgFile* block, size_t depth) {
    while (stack_.size() > depth) restore();
    current_ = block && is_open(block) ? block : nullptr;  // it may have been closed meanwhile
}

void MessageCatalog::refresh_all() {
    for (auto& block : open_) {
        HostMsgFile fresh;
        fresh.name = block->name;
        fresh.compiled = block->compiled;
        fresh.catalogue_file = block->catalogue_file;
        fresh.catalogue = block->catalogue;
        if (load(fresh))
            block->table = std::move(fresh.table);
        else
            log_.warning("message file " + block->name + " kept as it was");
    }
}

}  // namespace bbs
