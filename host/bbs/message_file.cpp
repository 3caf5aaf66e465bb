// Message files: the compiled form (bbs/messages.h), written whole by one
// rename so that any number of processes may compile and read it at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "bbs/messages.h"
#include "bbs/messages_detail.h"

namespace bbs {

namespace {

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

constexpr char kMagic[4] = {'B', 'M', 'C', 'V'};
constexpr uint32_t kVersion = 3;  // 2: the same without kinds

}  // namespace

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
    if (!messages_detail::read_file(file, &in)) {
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

}  // namespace bbs
