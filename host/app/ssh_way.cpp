#include "app/ssh_way.h"

#include "app/logon_gate.h"
#include "app/sessions.h"
#include "app/ssh_transport.h"
#include "app/stream_transport.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "bbs/input.h"
#include "ssh/listener.h"

namespace app {

SshWay::SshWay(asio::io_context& io, bbs::Host& host, LogonGate& logons, Sessions& sessions, Options options)
    : io_(io), host_(host), logons_(logons), sessions_(sessions) {
    ssh::ListenerOptions ssh_options;
    ssh_options.key_folder = std::move(options.key_folder);
    ssh_options.limits.logon_time = options.logon_time;
    ssh_options.check_password = [this](const ssh::PasswordAttempt& attempt, ssh::AuthAnswer answer) {
        check_password(attempt, std::move(answer));
    };
    // From connecting to the shell an SSH connection is at the logon,
    // counted by the throttle as a telnet one at the dialogue is.
    ssh_options.admit = [this](std::string_view peer_address) -> std::string {
        const auto verdict = logons_.dialogue_begins(LogonThrottle::source_key(peer_address));
        return verdict ? std::string() : LogonThrottle::reason(verdict);
    };
    // The listener's destructor closes its connections, which calls these two.
    ssh_options.release = [&logons = logons_](std::string_view peer_address) {
        logons.dialogue_ended(LogonThrottle::source_key(peer_address));
    };
    ssh_options.check_public_key = [this](const ssh::PublicKeyOffer& offer) {
        return host_.accounts().has_ssh_key(userid_of(offer.user), offer.key.line());
    };
    ssh_options.on_session = [this](std::shared_ptr<ssh::SshSession> session) {
        if (sessions_.stopped()) return session->close();
        // The account's own spelling; gone meanwhile (deleted): no logon.
        const std::string userid = logons_.account_userid(userid_of(session->user()));
        if (userid.empty()) {
            host_.log("ssh: " + session->peer() + ": no account \"" + userid_of(session->user()) + "\" any more");
            return session->close();
        }
        sessions_.adopt(SshTransport::make(io_, std::move(session), userid));
    };
    ssh_options.log = [&host = host_](std::string_view line) { host.log("ssh: " + std::string(line)); };
    listener_ = std::make_unique<ssh::SshListener>(io_, std::move(ssh_options));
}

SshWay::~SshWay() = default;

void SshWay::accepted(asio::ip::tcp::socket socket) {
    PeerNames names = accept_connection(socket);
    listener_->adopt(std::move(socket), {std::move(names.peer), std::move(names.ip)});
}

const ssh::PublicKeyText& SshWay::host_key() const { return listener_->host_key(); }

bool SshWay::host_key_created() const { return listener_->host_key_created(); }

std::string SshWay::userid_of(std::string_view user) {
    // Cleaned as a typed user-ID is: it goes to the log and to the account lookup.
    const std::string cleaned = bbs::clean_line(user, HOST_INPSIZ - 1);
    const auto begin = cleaned.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return cleaned.substr(begin, cleaned.find_last_not_of(' ') - begin + 1);
}

void SshWay::check_password(const ssh::PasswordAttempt& attempt, ssh::AuthAnswer answer) {
    const std::string address = LogonThrottle::source_key(attempt.peer_address);
    const std::string userid = userid_of(attempt.user);
    const std::string peer = std::string(attempt.peer_address) + " by ssh";
    if (sessions_.stopped()) return answer(ssh::AuthVerdict::refused());
    const auto verdict = logons_.attempt_begins(address, userid);
    if (!verdict) {
        const std::string said = LogonThrottle::reason(verdict);
        host_.log("logon as \"" + userid + "\" from " + peer + " refused: " + said);
        logons_.logon_result("ssh", "refused");
        return answer(ssh::AuthVerdict::refused(said));
    }
    logons_.check_password(address, userid, std::string(attempt.password),
                           [this, userid, peer, answer = std::move(answer)](bool ok) {
                               if (!ok) host_.log("failed logon as \"" + userid + "\" from " + peer);
                               if (!ok) logons_.logon_result("ssh", "wrong_password");
                               answer(ok && !sessions_.stopped() ? ssh::AuthVerdict::accepted()
                                                                 : ssh::AuthVerdict::refused());
                           });
}

}  // namespace app
