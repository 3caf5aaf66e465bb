// `bbshost init`: a data folder for real use. The config templates are
// copied in and the classes made (Member, 365 days limit; Sysop, no limit),
// without the demo population; then the first sysop is added: class Sysop,
// the module's sysop key (SYSKEY of the folder's QRTBKPLS.MSG), no credits.
// Where the folder's message file and game settings still send approval
// and purchase mails to the templates' "Sysop", they are pointed at him.
#include <ini.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "app/admin/admin.h"
#include "app/admin/dispatch.h"
#include "app/data_folder.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "bbs/messages.h"
#include "bbs/options.h"
#include "text/ascii.h"

namespace app::admin {

namespace fs = std::filesystem;

namespace {

// Who the templates send approval and purchase mails to.
constexpr const char* kTemplateSysop = "Sysop";
constexpr const char* kDefaultSysopKey = "SYSOP";

bool read_file(const fs::path& file, std::string* text) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

// Writes `text` to `file` through a new file renamed over it, so that a
// host reading it meanwhile sees the old bytes or the new ones.
bool replace_file(const fs::path& file, const std::string& text, std::string* error) {
    fs::path partial = file;
    partial += ".new-" + std::to_string(::getpid());
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            *error = "cannot write " + partial.string();
            return false;
        }
    }
    std::error_code ec;
    fs::rename(partial, file, ec);
    if (ec) {
        *error = "cannot replace " + file.string() + ": " + ec.message();
        fs::remove(partial, ec);
        return false;
    }
    return true;
}

// Where the value of a setting stands in the text of its file: `size`
// bytes at `at` that read as `value`. `at` is npos when the file has no
// such setting or its value is not written there as it reads (escapes,
// several lines).
struct Setting {
    std::size_t at = std::string::npos;
    std::size_t size = 0;
    std::string value;
};

// The offset of the start of line `line` (from 1) of `text`; npos past its end.
std::size_t line_start(std::string_view text, int line) {
    std::size_t at = 0;
    for (int n = 1; n < line && at != std::string::npos; ++n) {
        at = text.find('\n', at);
        if (at != std::string::npos) ++at;
    }
    return at;
}

// The entry NAME of a message source, as the host's reader (bbs/messages.h)
// parses it; found where it stands first on its line, "NUMBER NAME {VALUE}".
Setting message_value(const std::string& text, std::string_view name) {
    bbs::MessageTable table;
    bbs::SourceError error;
    if (!bbs::parse_message_source(text, {}, &table, &error)) return {};
    const bbs::MessageEntry* entry = table.by_name(name);
    if (!entry) return {};
    const std::string number = std::to_string(entry->number);
    std::size_t at = line_start(text, entry->line);
    if (at == std::string::npos) return {};
    at = text.find_first_not_of(text::kWhiteSpace, at);
    for (const std::string& word : {number, entry->name}) {
        if (at == std::string::npos || text.compare(at, word.size(), word) != 0) return {};
        at = text.find_first_not_of(text::kWhiteSpace, at + word.size());
    }
    if (at == std::string::npos || text[at] != '{') return {};
    const std::size_t open = at + 1;
    if (text.compare(open, entry->text.size(), entry->text) != 0 || text[open + entry->text.size()] != '}')
        return {};
    return {open, entry->text.size(), entry->text};
}

// The first setting KEY of an ini text as the game reads it with inih (in
// any section, letter case ignored), and the line it stands on.
class IniScan {
public:
    IniScan(std::string_view text, std::string_view key) : text_(text), key_(key) {
        ini_parse_stream(&IniScan::read, this, &IniScan::take, this);
    }
    int line() const { return found_line_; }   // 0: no such setting
    const std::string& value() const { return value_; }

private:
    // inih's fgets: the next piece of the text, up to a line end.
    static char* read(char* into, int size, void* self) {
        auto& scan = *static_cast<IniScan*>(self);
        if (scan.at_ >= scan.text_.size() || size < 2) return nullptr;
        std::size_t end = scan.text_.find('\n', scan.at_);
        end = end == std::string_view::npos ? scan.text_.size() : end + 1;
        const std::size_t count = std::min(end - scan.at_, static_cast<std::size_t>(size - 1));
        scan.text_.copy(into, count, scan.at_);
        into[count] = '\0';
        scan.piece_line_ = scan.line_;
        scan.at_ += count;
        if (into[count - 1] == '\n') ++scan.line_;
        return into;
    }
    static int take(void* self, const char*, const char* name, const char* value) {
        auto& scan = *static_cast<IniScan*>(self);
        if (scan.found_line_ == 0 && name && text::equal_ignoring_case(name, scan.key_)) {
            scan.found_line_ = scan.piece_line_;
            scan.value_ = value ? value : "";
        }
        return 1;
    }

    std::string_view text_;
    std::string key_;
    std::size_t at_ = 0;
    int line_ = 1, piece_line_ = 0, found_line_ = 0;
    std::string value_;
};

// The setting KEY of an ini file; its value stands after the '=' (or ':')
// of its line.
Setting ini_value(const std::string& text, std::string_view key) {
    const IniScan scan(text, key);
    if (scan.line() == 0) return {};
    const std::size_t line = line_start(text, scan.line());
    const std::size_t separator = text.find_first_of("=:", line);
    if (separator == std::string::npos) return {};
    const std::size_t at = text.find_first_not_of(text::kBlanks, separator + 1);
    if (at == std::string::npos || text.compare(at, scan.value().size(), scan.value()) != 0) return {};
    return {at, scan.value().size(), scan.value()};
}

// Points an option that still names the templates' sysop at `userid`.
// Says on stdout what it changed; a warning when it cannot.
void point_at(const fs::path& file, std::string_view option, const std::string& userid,
              Setting (*find)(const std::string&, std::string_view)) {
    std::string text, error;
    if (!read_file(file, &text)) return;
    const Setting setting = find(text, option);
    if (setting.at == std::string::npos || setting.value != kTemplateSysop) return;
    text.replace(setting.at, setting.size, userid);
    if (!replace_file(file, text, &error)) {
        std::cerr << "bbshost: warning: " << error << "; set " << option << " by hand" << std::endl;
        return;
    }
    std::cout << file.filename().string() << ": " << option << " set to " << userid << std::endl;
}

// A user-ID that can stand in a message file's braces and an ini value as
// it is.
bool plain_userid(const std::string& userid) {
    return userid.find_first_of("{}\\;#=") == std::string::npos && userid.front() != ' ' &&
           userid.back() != ' ';
}

bool read_userid(std::string* userid) {
    if (::isatty(STDIN_FILENO)) std::cerr << "User-ID of the first sysop: " << std::flush;
    return read_line(userid) && !userid->empty();
}

// The first sysop's user-ID is --sysop, or asked for (a terminal) or read as
// the first line of standard input; his password always comes from a
// hidden prompt or standard input (read_password).
int add_first_sysop(bbs::Host& host, const std::optional<std::string>& sysop) {
    const fs::path& dir = host.data_dir();
    if (!host.accounts().all().empty())
        return bad("data folder " + dir.string() +
                   " has users already; add more sysops with: user add ID --class Sysop --key SYSOP");
    std::string userid = sysop.value_or("");
    if (!sysop && !read_userid(&userid))
        return bad("no user-ID for the first sysop (give it with --sysop ID or as the first line of standard input)");
    std::string password, error;
    if (!read_password(&password, &error)) return bad(error);

    std::string key;
    if (!bbs::scan_message_source((dir / "QRTBKPLS.MSG").string(), "SYSKEY", &key) || key.empty())
        key = kDefaultSysopKey;
    bbs::AccountInfo account;
    account.userid = userid;
    account.class_name = "Sysop";
    account.keys = {key};
    if (!host.accounts().add(account, password, &error)) return bad("cannot add the first sysop: " + error);
    host.log("admin: first sysop " + userid + " added");
    std::cout << "added sysop " << userid << " (class Sysop, key " << key << ")" << std::endl;

    if (userid != kTemplateSysop) {
        if (plain_userid(userid)) {
            point_at(dir / "QRTBKPLS.MSG", "APPRUID", userid, message_value);
            point_at(dir / "brakvold.ini", "PLUS_PURCHASE_EMAIL_USERID", userid, ini_value);
        } else {
            std::cerr << "bbshost: warning: set APPRUID in QRTBKPLS.MSG and PLUS_PURCHASE_EMAIL_USERID "
                         "in brakvold.ini to the sysop by hand"
                      << std::endl;
        }
    }
    return kOk;
}

// The folder may be missing, an empty folder, or a data folder without
// accounts (made with --no-sysop); one that has accounts is refused.
int init(const Call& call) {
    const Folder& folder = call.folder();
    std::error_code ec;
    const fs::path dir = fs::absolute(folder.data, ec);
    const bool exists = fs::exists(dir, ec);
    if (exists && !fs::is_directory(dir, ec)) return bad(dir.string() + " is not a folder");
    if (!exists || fs::is_empty(dir, ec)) {
        std::string error;
        if (!create_bare_data_folder(dir, folder.config_dir, folder.channels, &error)) return failed(error);
        std::cout << "created data folder " << dir.string() << " (classes Member and Sysop, no users)"
                  << std::endl;
    } else if (!fs::exists(dir / "bbs.db", ec)) {
        return bad(dir.string() + " is neither empty nor a data folder (it has no bbs.db)");
    }
    if (call.args().flag("--no-sysop")) return kOk;
    const auto sysop = call.args().given_text("--sysop");
    return with_host(dir, folder.channels, Needs::host,
                     [&](bbs::Host& host) { return add_first_sysop(host, sysop); });
}

}  // namespace

const Noun kInit{"init", "", {
    {"", "Make a data folder without the demo population (or finish one made with --no-sysop) and "
         "add the first sysop: his user-ID is asked for or read as the first line of standard "
         "input, his password as for user add",
     {{Option::Kind::maybe_text, "--sysop", "User-ID of the first sysop"},
      {Option::Kind::flag, "--no-sysop", "Only the folder; add the first sysop later"}},
     Needs::folder, init},
}};

}  // namespace app::admin
