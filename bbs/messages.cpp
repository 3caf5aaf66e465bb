#include "bbs/messages.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

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
        while (true) {
            skip_space();
            if (at_end()) break;
            char c = peek();
            if (c == '#') {
                while (!at_end() && peek() != '\n') ++pos_;
                continue;
            }
            MessageEntry entry;
            int entry_line = line_;
            if (!read_number(&entry.number)) return false;
            skip_space();
            if (!read_name(entry.number, &entry.name)) return false;
            skip_space();
            if (at_end() || peek() != '{')
                return fail(line_, "missing '{' after " + entry.name);
            ++pos_;
            int open_line = line_;
            if (!read_text(entry.name, open_line, &entry.text)) return false;
            if (out->by_number(entry.number))
                return fail(entry_line, "duplicate number " + std::to_string(entry.number) +
                                            " (" + entry.name + ")");
            if (out->by_name(entry.name))
                return fail(entry_line, "duplicate name " + entry.name);
            out->entries.push_back(std::move(entry));
        }
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

    bool read_text(const std::string& name, int open_line, std::string* out) {
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
                if (!at_end() && peek() == '\n') {
                    ++pos_;
                    ++line_;
                }
                *out += '\r';
            } else if (c == '\n') {
                ++line_;
                *out += '\r';
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
constexpr uint32_t kVersion = 2;

}  // namespace

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

std::string SourceError::describe() const { return file + ":" + std::to_string(line) + ": " + reason; }

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
    }
    std::filesystem::path temp = file;
    temp += ".tmp";
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        if (!f || !f.write(out.data(), static_cast<std::streamsize>(out.size()))) {
            if (error) *error = "cannot write " + temp.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        if (error) *error = "cannot write " + file.string() + ": " + ec.message();
        return false;
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
    auto bad = [&](const char* what) {
        if (error) *error = file.string() + ": " + what;
        return false;
    };
    if (in.size() < 8 || std::memcmp(in.data(), kMagic, 4) != 0) return bad("not a compiled message file");
    size_t pos = 4;
    uint32_t version = 0, digest_low = 0, digest_high = 0, count = 0;
    get_u32(in, &pos, &version);
    if (version != kVersion) return bad("unknown format version");
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

bool MessageCatalog::load(HostMsgFile& block) {
    std::error_code ec;
    std::filesystem::path source = message_source_of(block.compiled);
    MessageTable compiled;
    std::string rerr;
    bool have_compiled = std::filesystem::exists(block.compiled, ec) &&
                         read_compiled_messages(block.compiled, &compiled, &rerr);
    if (!source.empty()) {
        // A source newer than its compiled file is compiled again, unless it
        // is the very text the compiled file was made from. Times that tie
        // (both written within one clock tick) count as newer.
        std::string text;
        bool stale = !have_compiled;
        if (have_compiled) {
            auto src_time = std::filesystem::last_write_time(source, ec);
            auto mcv_time = std::filesystem::last_write_time(block.compiled, ec);
            if (!ec && src_time >= mcv_time && read_file(source, &text))
                stale = compiled.source_digest != message_source_digest(text);
        }
        if (stale) {
            MessageTable table;
            SourceError err;
            if (!read_message_source(source, &table, &err)) {
                log_.error("message file " + err.describe());
                return false;
            }
            std::string werr;
            if (!write_compiled_messages(block.compiled, table, &werr)) {
                log_.error("message file " + block.name + ": " + werr);
                return false;
            }
            log_.write("compiled " + source.filename().string() + " into " + block.name);
            compiled = std::move(table);
            have_compiled = true;
        }
    }
    if (!have_compiled) {
        log_.error("message file " + block.name + ": " +
                   (rerr.empty() ? "neither it nor its source exists" : rerr));
        return false;
    }
    block.table = std::move(compiled);
    return true;
}

HostMsgFile* MessageCatalog::open(std::string_view compiled_name) {
    auto block = std::make_unique<HostMsgFile>();
    block->name = std::string(compiled_name);
    block->compiled = std::filesystem::path(block->name);
    if (!load(*block)) return nullptr;
    open_.push_back(std::move(block));
    return open_.back().get();
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

void MessageCatalog::refresh_all() {
    for (auto& block : open_) {
        HostMsgFile fresh;
        fresh.name = block->name;
        fresh.compiled = block->compiled;
        if (load(fresh))
            block->table = std::move(fresh.table);
        else
            log_.warning("message file " + block->name + " kept as it was");
    }
}

}  // namespace bbs
