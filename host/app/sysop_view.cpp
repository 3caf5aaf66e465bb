#include "app/sysop_view.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/session.h"
#include "app/sessions.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "bbs/options.h"
#include "game/game.h"
#include "text/ascii.h"

namespace app {

namespace {

std::string sysop_key(const std::filesystem::path& data_dir) {
    std::string key;
    if (!bbs::scan_message_source((data_dir / "QRTBKPLS.MSG").string(), "SYSKEY", &key)) return "SYSOP";
    return std::string(text::trim(key));
}

}  // namespace

std::optional<bool> SysopView::paging(int channel, std::optional<bool> on) {
    auto session = sessions_.at(channel);
    if (!session) return std::nullopt;
    if (on) session->terminal().set_paging(*on);
    return session->terminal().paging();
}

bool SysopView::holds_sysop_key(const std::string& userid) {
    const std::string key = sysop_key(host_.data_dir());
    const auto account = host_.accounts().find(userid);
    return !key.empty() && account &&
           std::any_of(account->keys.begin(), account->keys.end(),
                       [&](const std::string& held) { return text::equal_ignoring_case(held, key); });
}

std::optional<std::vector<bbs::SessionRow>> SysopView::sessions_for(int channel) {
    auto asking = sessions_.at(channel);
    if (!asking || !holds_sysop_key(asking->userid())) return std::nullopt;

    std::vector<std::shared_ptr<Session>> listed;
    for (const auto& session : sessions_.all())
        if (!session->closed()) listed.push_back(session);
    // Logged-on users by channel, then those logging on, by address.
    std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
        const bool a_on = a->channel() >= 0, b_on = b->channel() >= 0;
        if (a_on != b_on) return a_on;
        if (a_on) return a->channel() < b->channel();
        return a->peer() < b->peer();
    });
    std::vector<bbs::SessionRow> rows;
    for (const auto& session : listed) {
        bbs::SessionRow row;
        if (session->channel() >= 0) row.userid = session->userid();
        row.way = std::string(session->way());
        row.address = session->peer();
        row.idle = std::chrono::duration_cast<std::chrono::seconds>(session->idle());
        row.where = where(*session);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string SysopView::where(const Session& session) const {
    const int channel = session.channel();
    if (channel < 0) return session.logging_on() ? "logon" : "leaving";
    if (host_.in_editor(channel)) return "editor";
    const int module = host_.module_at(channel);
    if (module < 0) return "host menu";
    if (const game::Game* game = game::Game::instance(); game && game->module_number() == module) return "game";
    const ModuleDescriptor* descriptor = host_.module(module);
    if (!descriptor) return "module " + std::to_string(module);
    return "module " + std::string(text::field(descriptor->name));
}

}  // namespace app
