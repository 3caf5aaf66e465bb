// SSH as a way in (ssh/listener.h): every connection accepted becomes an SSH
// connection, and its shell a session (app/ssh_transport.h) of a user who
// is logged on already.
//
// The SSH user name is the user-ID, cleaned as a typed one is. He proves
// who he is by password or keyboard-interactive, checked as the logon
// dialogue checks a typed one (app/logon_gate.h: one attempt of the
// throttle; refused, it is not checked and the connection is closed with
// the throttle's reason; the hash away from the loop), or by a public key
// registered for the account (bbshost key add; refused only for a ban or
// a lock, never for the account's failed passwords). A locked account gets
// no logon, and is told so once its password or key proved who it is.
// From connecting to its shell a connection counts as one at the logon
// (LogonGate::connection_begins), must send its version line within
// Options::banner_time and be through within Options::logon_time; one that
// is not is an offence of its source. An account deleted
// meanwhile gets no logon.
// The user name `new` (ignoring letter case) is for a newcomer: any
// password lets him in, uncharged, to the sign-up of the logon dialogue in
// his shell (app/logon_dialogue.h), where the throttle counts his
// sign-ups and any logon he tries instead.
// The host key is FOLDER/ssh_host_ed25519_key, made on first use.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/logon_throttle.h"
#include "app/way_in.h"

namespace bbs {
class Host;
}
namespace ssh {
class SshListener;
struct PublicKeyText;
struct PasswordAttempt;
struct AuthVerdict;
enum class LogonEnd;
}  // namespace ssh

namespace app {

class LogonGate;
class Sessions;

class SshWay final : public WayIn {
public:
    struct Options {
        std::filesystem::path key_folder;
        std::chrono::seconds logon_time{120};
        // The client's version line must come within this.
        std::chrono::seconds banner_time{5};
    };

    // Throws std::runtime_error when the host key cannot be read or made.
    SshWay(asio::io_context& io, bbs::Host& host, LogonGate& logons, Sessions& sessions, Options options);
    ~SshWay() override;

    void accepted(Accepted connection) override;
    bool takes_proxy_header() const override { return true; }
    const ssh::PublicKeyText& host_key() const;
    bool host_key_created() const;

private:
    // The SSH user name as a user-ID: cleaned as a typed one is.
    static std::string userid_of(std::string_view user);
    static LogonThrottle::Ending ending_of(ssh::LogonEnd how);
    void check_password(const ssh::PasswordAttempt& attempt, std::function<void(ssh::AuthVerdict)> answer);

    asio::io_context& io_;
    bbs::Host& host_;
    LogonGate& logons_;
    Sessions& sessions_;
    std::unique_ptr<ssh::SshListener> listener_;
};

}  // namespace app
