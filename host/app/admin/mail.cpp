// bbshost mail: the game's in-game mail.
#include <iostream>

#include "app/admin/admin.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "game/game.h"

namespace app::admin {

namespace {

// A mail's text on one line: line breaks as \n, tabs as \t, backslashes
// doubled.
std::string escape_body(std::string_view body) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r') {
            out += "\\n";
            if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

// One line per mail of the user, tab-separated: sender, subject, body.
int mail_list(const Call& call) {
    auto account = named_account(call);
    if (!account) return kBadInput;
    auto* game = game::Game::instance();
    if (!game) return failed("the game is not loaded");
    for (const auto& mail : game->mail_for(account->userid)) {
        std::cout << escape_body(mail.from) << '\t' << escape_body(mail.subject) << '\t'
                  << escape_body(mail.body) << '\n';
    }
    std::cout.flush();
    return kOk;
}

}  // namespace

const Noun kMail{"mail", "In-game mail", {
    {"list", "A user's mail: sender, subject, body (tab-separated)", {kUserId}, Needs::game, mail_list},
}};

}  // namespace app::admin
