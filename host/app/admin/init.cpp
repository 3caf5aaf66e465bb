// `bbshost init`: a data folder for real use. The config templates are
// copied in and the classes made (Member, 365 days limit; Sysop, no limit),
// without the demo population; then the first sysop is added: class Sysop,
// the module's sysop key (SYSKEY of the folder's QRTBKPLS.MSG), no credits.
// Where the folder's message file and game settings still send approval
// and purchase mails to the templates' "Sysop", they are pointed at him.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "app/admin/admin.h"
#include "app/admin/dispatch.h"
#include "app/data_folder.h"
#include "bbs/accounts.h"
#include "bbs/host.h"

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

// The braces of a one-line entry "NUMBER NAME {VALUE}" of a message
// source: the offset and length of VALUE, or npos when there is none.
std::pair<std::size_t, std::size_t> message_value(const std::string& text, const std::string& name) {
    std::size_t at = 0;
    while ((at = text.find(" " + name + " {", at)) != std::string::npos) {
        std::size_t line = text.rfind('\n', at);
        line = line == std::string::npos ? 0 : line + 1;
        const bool numbered = at > line && text.find_first_not_of("0123456789", line) == at;
        const std::size_t open = at + name.size() + 3;
        const std::size_t close = text.find_first_of("}\n\\", open);
        if (numbered && close != std::string::npos && text[close] == '}') return {open, close - open};
        at = open;
    }
    return {std::string::npos, 0};
}

// The value of "KEY=VALUE" at the start of a line of an ini file.
std::pair<std::size_t, std::size_t> ini_value(const std::string& text, const std::string& key) {
    std::size_t at = 0;
    while ((at = text.find(key + "=", at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == '\n') {
            const std::size_t begin = at + key.size() + 1;
            std::size_t end = text.find_first_of("\r\n", begin);
            if (end == std::string::npos) end = text.size();
            return {begin, end - begin};
        }
        at += key.size();
    }
    return {std::string::npos, 0};
}

// Points an option that still names the templates' sysop at `userid`.
// Says on stdout what it changed; a warning when it cannot.
void point_at(const fs::path& file, const std::string& option, const std::string& userid,
              std::pair<std::size_t, std::size_t> (*find)(const std::string&, const std::string&)) {
    std::string text, error;
    if (!read_file(file, &text)) return;
    const auto [at, size] = find(text, option);
    if (at == std::string::npos || text.compare(at, size, kTemplateSysop) != 0) return;
    text.replace(at, size, userid);
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

    std::string msg;
    std::string key = kDefaultSysopKey;
    if (read_file(dir / "QRTBKPLS.MSG", &msg)) {
        const auto [at, size] = message_value(msg, "SYSKEY");
        if (at != std::string::npos && size > 0) key = msg.substr(at, size);
    }
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
