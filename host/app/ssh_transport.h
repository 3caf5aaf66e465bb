// SSH as a transport (app/transport.h): one SSH session (ssh/session.h)
// whose shell carries the user's terminal.
//
// The SSH layer has logged the user on (password or public key, checked by
// the server against the accounts and through the logon throttle): the
// session starts logged on as logged_on_as(). The client's pty is raw: the
// host echoes and edits from the first key on, so character mode is on
// from start();
// the pty's window size comes first and window-change follows as resized(),
// and the pty's terminal type as terminal_type().
//
// Input arrives whenever the client sends it; what comes while the session
// is not reading waits (at most kMaxWaiting bytes, then the client is cut
// off) and is handed over at the next read().
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/transport.h"
#include "ssh/session.h"

namespace app {

class SshTransport final : public TransportBase, public std::enable_shared_from_this<SshTransport> {
public:
    static constexpr std::size_t kMaxWaiting = 64 * 1024;

    // `userid`: the account's spelling of the user-ID the SSH user logged on as.
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

private:
    SshTransport(asio::io_context& io, std::shared_ptr<ssh::SshSession> session, std::string userid);
    void on_data(std::string_view bytes);
    void deliver();  // from the loop: one read's worth of what waits
    void on_close();

    asio::io_context& io_;
    std::shared_ptr<ssh::SshSession> session_;
    std::string userid_;
    std::string waiting_;
    bool reading_ = false;
    bool delivery_posted_ = false;
};

}  // namespace app
