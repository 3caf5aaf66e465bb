#include "app/ssh_transport.h"

#include <utility>

#include "app/logon_throttle.h"

namespace app {

std::shared_ptr<SshTransport> SshTransport::make(asio::io_context& io, std::shared_ptr<ssh::SshSession> session,
                                                 std::string userid) {
    return std::shared_ptr<SshTransport>(new SshTransport(io, std::move(session), std::move(userid)));
}

SshTransport::SshTransport(asio::io_context& io, std::shared_ptr<ssh::SshSession> session, std::string userid)
    : io_(io), session_(std::move(session)), userid_(std::move(userid)) {
    ip_ = session_->peer_address();
    address_ = LogonThrottle::source_key(ip_);  // as the throttle counts it
}

SshTransport::~SshTransport() {
    if (state_ != State::closed) session_->close();
}

void SshTransport::start() {
    const std::weak_ptr<SshTransport> weak = weak_from_this();
    session_->attach({
        [weak](std::string_view bytes) {
            auto self = weak.lock();
            if (self && self->state_ == State::open && self->events_.received) self->events_.received(bytes);
        },
        [weak](int width, int height) {
            auto self = weak.lock();
            if (self && self->state_ == State::open && self->events_.resized) self->events_.resized(width, height);
        },
        [weak](std::string_view) {
            if (auto self = weak.lock()) self->on_close();
        },
    });
    // What the pty said, and the character mode, come from the loop.
    asio::post(io_, [weak] {
        auto self = weak.lock();
        if (!self || self->state_ != State::open) return;
        if (self->events_.resized) self->events_.resized(self->session_->width(), self->session_->height());
        if (self->state_ == State::open && !self->session_->terminal_type().empty() && self->events_.terminal_type)
            self->events_.terminal_type(self->session_->terminal_type());
        if (self->state_ == State::open && self->events_.modes_changed) self->events_.modes_changed();
        self->read();
    });
}

void SshTransport::read() {
    if (state_ == State::open) session_->read(kReadSize);
}

void SshTransport::send(std::string_view bytes) {
    if (state_ == State::closed) return;
    if (!session_->send(bytes) && state_ == State::open) state_ = State::closing;  // cut off: on_close follows
}

void SshTransport::close_after_output() {
    if (state_ != State::open) return;
    state_ = State::closing;
    session_->close();
}

void SshTransport::close_now() {
    if (state_ == State::closed) return;
    state_ = State::closing;
    session_->close();
}

void SshTransport::on_close() {
    if (state_ == State::closed) return;
    state_ = State::closed;
    if (auto closed = std::move(events_.closed)) closed();
    events_ = {};
}

}  // namespace app
