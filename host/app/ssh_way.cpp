#include "app/ssh_way.h"

#include "app/logon_gate.h"
#include "app/sessions.h"
#include "app/signup.h"
#include "app/ssh_transport.h"
#include "app/stream_transport.h"
#include "bbs/accounts.h"
#include "bbs/host.h"
#include "bbs/input.h"
#include "ssh/listener.h"
#include "text/utf8.h"

namespace app {

SshWay::SshWay(asio::io_context& io, bbs::Host& host, LogonGate& logons, Sessions& sessions, Options options)
    : io_(io), host_(host), logons_(logons), sessions_(sessions) {
    ssh::ListenerOptions ssh_options;
    ssh_options.key_folder = std::move(options.key_folder);
    ssh_options.limits.logon_time = options.logon_time;
    ssh_options.limits.banner_time = options.banner_time;
    ssh_options.check_password = [this](const ssh::PasswordAttempt& attempt, ssh::AuthAnswer answer) {
        check_password(attempt, std::move(answer));
    };
    // From connecting to the shell an SSH connection is at the logon,
    // counted by the throttle as a telnet one at the dialogue is.
    ssh_options.admit = [this](std::string_view peer_address) -> std::string {
        const auto verdict = logons_.connection_begins(peer_address);
        if (verdict) return {};
        const std::string said = LogonThrottle::reason(verdict);
        if (const auto more = logons_.refusal_logged("ssh", LogonThrottle::source_key(peer_address)))
            host_.log("ssh: connection from " + std::string(peer_address) + " refused: " + said + *more);
        return said;
    };
    // The listener's destructor closes its connections, which calls these two.
    ssh_options.release = [&logons = logons_](std::string_view peer_address, ssh::LogonEnd how) {
        const std::string source = LogonThrottle::source_key(peer_address);
        logons.dialogue_ended(source);
        if (how != ssh::LogonEnd::shell) logons.connection_ended(source, ending_of(how));
    };
    ssh_options.check_public_key = [this](const ssh::PublicKeyOffer& offer) {
        return host_.accounts().has_ssh_key(userid_of(offer.user), offer.key.line());
    };
    // Never refused for the account's failed passwords: only a ban or a lock.
    ssh_options.key_proved = [this](const ssh::PublicKeyOffer& offer) {
        const auto verdict = logons_.key_logon(offer.peer_address, userid_of(offer.user));
        if (verdict) return ssh::AuthVerdict::accepted();
        host_.log("logon as \"" + text::log_excerpt(userid_of(offer.user)) + "\" from " +
                  std::string(offer.peer_address) + " by ssh refused: " + LogonGate::logged(verdict));
        return ssh::AuthVerdict::turned_away(LogonThrottle::reason(verdict));
    };
    ssh_options.on_session = [this](std::shared_ptr<ssh::SshSession> session) {
        if (sessions_.stopped()) return session->close();
        if (asks_for_signup(userid_of(session->user())))
            return static_cast<void>(sessions_.adopt(SshTransport::make(io_, std::move(session), {})));
        // The account's own spelling; gone meanwhile (deleted): no logon.
        const std::string userid = logons_.account_userid(userid_of(session->user()));
        if (userid.empty()) {
            host_.log("ssh: " + session->peer() + ": no account \"" + text::log_excerpt(userid_of(session->user())) +
                      "\" any more");
            return session->close();
        }
        sessions_.adopt(SshTransport::make(io_, std::move(session), userid));
    };
    ssh_options.log = [&host = host_](std::string_view line) { host.log("ssh: " + std::string(line)); };
    listener_ = std::make_unique<ssh::SshListener>(io_, std::move(ssh_options));
}

SshWay::~SshWay() = default;

LogonThrottle::Ending SshWay::ending_of(ssh::LogonEnd how) {
    switch (how) {
    case ssh::LogonEnd::silent: return LogonThrottle::Ending::silent;
    case ssh::LogonEnd::timed_out: return LogonThrottle::Ending::out_of_time;
    // Wrong passwords and the throttle's refusals are paid for by the
    // attempts; strangers who spent a user-ID's attempts must not make its
    // owner's address pay besides.
    case ssh::LogonEnd::refused:
    case ssh::LogonEnd::shell:
    case ssh::LogonEnd::left: break;
    }
    return LogonThrottle::Ending::left;
}

void SshWay::accepted(Accepted connection) {
    PeerNames names = accept_connection(connection);
    listener_->adopt(std::move(connection.socket), {std::move(names.peer), std::move(names.ip)});
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
    // A newcomer: his shell gets the sign-up, which the throttle counts.
    if (asks_for_signup(userid)) return answer(ssh::AuthVerdict::accepted());
    const auto verdict = logons_.attempt_begins(address, userid);
    if (!verdict) {
        const std::string said = LogonThrottle::reason(verdict);
        host_.log("logon as \"" + text::log_excerpt(userid) + "\" from " + peer + " refused: " + said);
        logons_.logon_result("ssh", "refused");
        return answer(ssh::AuthVerdict::refused(said));
    }
    logons_.check_password(address, userid, std::string(attempt.password),
                           [this, userid, peer, answer = std::move(answer)](bool ok) {
                               if (!ok) {
                                   host_.log("failed logon as \"" + text::log_excerpt(userid) + "\" from " + peer);
                                   logons_.logon_result("ssh", "wrong_password");
                               }
                               if (!ok || sessions_.stopped()) return answer(ssh::AuthVerdict::refused());
                               const auto refusal = logons_.account_refusal(userid);
                               if (refusal) return answer(ssh::AuthVerdict::accepted());
                               host_.log("logon as \"" + text::log_excerpt(userid) + "\" from " + peer +
                                         " refused: " + LogonGate::logged(refusal));
                               logons_.logon_result("ssh", "refused");
                               answer(ssh::AuthVerdict::turned_away(LogonThrottle::reason(refusal)));
                           });
}

}  // namespace app
