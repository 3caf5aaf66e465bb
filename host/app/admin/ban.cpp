// bbshost ban: addresses and networks refused at connect (app/bans.h).
// add takes ADDR or ADDR/LENGTH, IPv4 or IPv6, for good or --for a
// DURATION (a whole number and s, m, h, d or w: 90s, 30m, 12h, 7d, 2w);
// list prints one line per ban, tab-separated: network, added (UTC), until
// (UTC, "never" for good), "active" or "expired", reason ("-" for none).
#include <chrono>
#include <charconv>
#include <iostream>
#include <limits>

#include "app/admin/admin.h"
#include "app/bans.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "text/utf8.h"

namespace app::admin {

namespace {

using enum Option::Kind;

const Option kNetwork{text, "NETWORK", "An address (192.0.2.7, 2001:db8::7) or a network (192.0.2.0/24, 2001:db8::/32)",
                      kRequired};

int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "30m": seconds; none with *error.
std::optional<int64_t> duration_seconds(std::string_view text, std::string* error) {
    static constexpr std::pair<char, int64_t> kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}};
    int64_t count = 0;
    const char* end = text.data() + text.size();
    const auto [unit_at, fault] = std::from_chars(text.data(), end, count);
    if (fault == std::errc() && count > 0 && unit_at + 1 == end) {
        for (auto [unit, seconds] : kUnits)
            if (*unit_at == unit && count <= std::numeric_limits<int32_t>::max()) return count * seconds;
    }
    *error = "duration \"" + std::string(text) + "\" is not a whole number followed by s, m, h, d or w (30m, 12h, 7d)";
    return std::nullopt;
}

std::optional<Network> network_argument(const Call& call, std::string* error) {
    return parse_network(call.args().text("NETWORK"), error);
}

int ban_add(const Call& call) {
    std::string error;
    const auto network = network_argument(call, &error);
    if (!network) return bad(error);
    Ban ban{*network, now_seconds()};
    if (const auto length = call.args().given_text("--for")) {
        const auto seconds = duration_seconds(*length, &error);
        if (!seconds) return bad(error);
        ban.until = ban.added + *seconds;
    }
    ban.reason = call.args().text("--reason");
    bbs::Host& host = call.host();
    Bans bans(host.database().connection());
    if (!bans.add(ban, &error)) return failed("cannot ban " + network->text() + ": " + error);
    const std::string until = ban.until ? "until " + utc_time(*ban.until) : "for good";
    host.log("admin: " + network->text() + " banned " + until +
             (ban.reason.empty() ? "" : ": " + text::log_excerpt(ban.reason)));
    std::cout << "banned " << network->text() << " " << until << std::endl;
    return kOk;
}

int ban_list(const Call& call) {
    Bans bans(call.host().database().connection());
    const int64_t now = now_seconds();
    for (const Ban& ban : bans.list())
        std::cout << ban.network.text() << '\t' << utc_time(ban.added) << '\t'
                  << (ban.until ? utc_time(*ban.until) : "never") << '\t'
                  << (ban.applies_at(now) ? "active" : "expired") << '\t'
                  << (ban.reason.empty() ? "-" : ban.reason) << '\n';
    std::cout.flush();
    return kOk;
}

int ban_remove(const Call& call) {
    std::string error;
    const auto network = network_argument(call, &error);
    if (!network) return bad(error);
    bbs::Host& host = call.host();
    Bans bans(host.database().connection());
    if (!bans.remove(*network, &error)) return bad(error + " (bbshost ban list shows them)");
    host.log("admin: ban of " + network->text() + " removed");
    std::cout << "removed the ban of " << network->text() << std::endl;
    return kOk;
}

}  // namespace

const Noun kBan{"ban", "Bans of addresses and networks, for the host to refuse at connect on every port", {
    {"add", "Ban an address or a network (CIDR), IPv4 or IPv6; an existing ban of it is replaced",
     {kNetwork, {maybe_text, "--for", "How long: 90s, 30m, 12h, 7d, 2w (default: for good)"},
      {text, "--reason", "Why (shown by ban list and in the host log)"}},
     Needs::host, ban_add},
    {"list", "Every ban: network, added (UTC), until (UTC or never), active or expired, reason, tab-separated",
     {}, Needs::host, ban_list},
    {"remove", "Remove the ban of an address or network, written as it was banned", {kNetwork}, Needs::host,
     ban_remove},
}};

}  // namespace app::admin
