// What the host needs of the program that serves it (bbshost's Server, a
// test's double): the way out to its users. The host hands it a channel's
// output only once the call that sent it committed (and, with a deferred
// log sync, once its log is on disk), in the order it was sent.
//
// Every call comes on the host's thread, some from inside a host call: an
// implementation may ask the Host its queries (online, module_at, accounts,
// in_editor, editor_text) but must not start a call (line, logon, hangup, ...).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bbs {

// One session of the program, as a sysop's `who` lists it.
struct SessionRow {
    std::string userid;            // empty while he logs on
    std::string way;               // the way in: "telnet", "telnets", "ssh", "web"
    std::string address;           // ADDRESS:PORT of his end
    std::chrono::seconds idle{0};  // since he last typed a line
    std::string where;             // "logon", "game", ...
};

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // Bytes for the user at the channel (raw module output).
    virtual void deliver(int channel, std::string_view bytes) = 0;
    // The host's line editor opened at the channel (a module called bgnedt),
    // told in its place among what is delivered to him. `banner` is what the
    // line editor shows first (its commands, the text so far), empty when
    // the call that opened it was rolled back. A front end that edits the
    // text on a screen of its own (Host::editor_text, then editor_save or
    // editor_abandon) leaves the banner out; by default it is delivered.
    virtual void editor_opened(int channel, std::string_view banner) {
        if (!banner.empty()) deliver(channel, banner);
    }
    // The host is done with the channel's user (a logoff from the game,
    // `bye`): close him once what was delivered to him is out.
    virtual void close(int channel) = 0;
    // Every session of the program, or none when the user at `channel` may
    // not see them.
    virtual std::optional<std::vector<SessionRow>> sessions_for(int channel) = 0;
    // Switches paging of the channel's output on or off (none: leaves it)
    // and says whether it is on; none where there is no terminal for it.
    virtual std::optional<bool> paging(int channel, std::optional<bool> on) = 0;
    // The user at the channel wants to change his password: the front end
    // asks him for the old one and the new one itself, without echo, takes
    // his lines until it is done, and then hands the host an empty line (so
    // that his module shows its prompt again). False when it cannot (by
    // default).
    virtual bool change_password(int /*channel*/) { return false; }
};

}  // namespace bbs
