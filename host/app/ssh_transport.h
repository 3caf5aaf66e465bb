// SSH as a transport (app/transport.h): one SSH session (ssh/session.h)
// whose shell carries the user's terminal.
//
// The SSH layer has logged the user on (password or public key, checked by
// the server against the accounts and through the logon throttle): the
// session starts logged on as logged_on_as(), or, for the user `new`, who
// came to sign up (no user-ID), at the sign-up. The client's pty is raw: the
// host echoes and edits from the first key on, so character mode is on
// from start();
// the pty's window size comes first and window-change follows as resized(),
// and the pty's terminal type as terminal_type().
//
// Input: one read of at most kReadSize bytes at a time, when the session
// asks for it. What the client sends meanwhile stays with the SSH layer,
// whose channel window holds him back (ssh/session.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/transport.h"
#include "ssh/session.h"

namespace app {

class SshTransport final : public TransportBase, public std::enable_shared_from_this<SshTransport> {
public:
    // `userid`: the account's spelling of the user-ID the SSH user logged on
    // as; empty for the user `new`.
    static std::shared_ptr<SshTransport> make(asio::io_context& io, std::shared_ptr<ssh::SshSession> session,
                                              std::string userid);
    ~SshTransport() override;

    SshTransport(const SshTransport&) = delete;
    SshTransport& operator=(const SshTransport&) = delete;

    void start() override;
    void read() override;
    void send(std::string_view bytes) override;
    void local_echo(bool) override {}  // a raw pty never echoes
    bool character_mode() const override { return true; }
    void close_after_output() override;
    void close_now() override;
    const std::string& peer() const override { return session_->peer(); }
    std::string_view way() const override { return "ssh"; }
    const std::string& logged_on_as() const override { return userid_; }
    bool signing_up() const override { return userid_.empty(); }

private:
    SshTransport(asio::io_context& io, std::shared_ptr<ssh::SshSession> session, std::string userid);
    void on_close();

    asio::io_context& io_;
    std::shared_ptr<ssh::SshSession> session_;
    std::string userid_;
};

}  // namespace app
