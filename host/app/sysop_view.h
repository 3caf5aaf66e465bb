// What users may ask of the sessions through the host (bbs::FrontEnd's
// queries): a sysop's `who` and a user's `paging`.
//
// `who` lists every open session (the logged-on users by channel, then
// those at the logon by address) with its way in, address, idle time and
// where its user is; only to a holder of the sysop key. The sysop key is
// the module's SYSKEY in the data folder's QRTBKPLS.MSG, read at every
// `who` as the module checks it (hasmkey) and as init gives it to the first
// sysop: SYSOP when the file or the option is missing; an empty one makes
// nobody a sysop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bbs/front_end.h"

namespace bbs {
class Host;
}

namespace app {

class Session;
class Sessions;

class SysopView {
public:
    SysopView(bbs::Host& host, const Sessions& sessions) : host_(host), sessions_(sessions) {}

    // Every session, or none when the user at `channel` holds no sysop key.
    std::optional<std::vector<bbs::SessionRow>> sessions_for(int channel);
    // Switches the channel's paging on or off (none: leaves it) and says
    // whether it is on; none when no session holds the channel.
    std::optional<bool> paging(int channel, std::optional<bool> on);

private:
    bool holds_sysop_key(const std::string& userid);
    // "logon", "leaving", "editor", "host menu", "game", "module NAME".
    std::string where(const Session& session) const;

    bbs::Host& host_;
    const Sessions& sessions_;
};

}  // namespace app
