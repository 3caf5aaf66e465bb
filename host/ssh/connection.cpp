#include "ssh/connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "ssh/requests.h"
#include "text/utf8.h"

// The message accessors used here (password, public key and its state, pty
// and window sizes) are marked deprecated in libssh 0.10 in favour of the
// callback interface, whose authentication callbacks must answer at once.
// A password is checked on another thread, so its request is kept as an
// ssh_message and answered later (ssh_message_auth_reply_success, or
// ssh_message_reply_default for a failure) once the verdict is back; this
// file therefore uses the message interface.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace ssh {

Connection::Connection(std::shared_ptr<ListenerState> state, asio::ip::tcp::socket socket, Peer peer)
    : state_(std::move(state)),
      socket_(std::move(socket)),
      logon_timer_(state_->io),
      banner_timer_(state_->io),
      close_timer_(state_->io),
      fd_(socket_.native_handle()),
      peer_(std::move(peer.name)),
      address_(std::move(peer.address)) {
    channel_callbacks_.userdata = this;
    channel_callbacks_.channel_data_function = &Connection::on_channel_data;
    channel_callbacks_.channel_eof_function = &Connection::on_channel_eof;
    channel_callbacks_.channel_close_function = &Connection::on_channel_close;
    ssh_callbacks_init(&channel_callbacks_);
}

Connection::~Connection() {
    // Messages and the channel go before the session (member order); the
    // event lets go of the session before either is freed.
    pending_.reset();
    waiting_auth_.clear();
    channel_.reset();
    if (event_ && session_) ssh_event_remove_session(event_.get(), session_.get());
}

void Connection::log(std::string_view line) const {
    state_->log("ssh " + peer_ + ": " + std::string(line));
}

std::string Connection::libssh_error() const {
    const char* text = session_ ? ssh_get_error(session_.get()) : nullptr;
    // libssh quotes what the client sent (a version line) in some of them.
    return text && *text ? text::log_excerpt(text) : "no reason given";
}

// ---- start and the drive loop -----------------------------------------------

void Connection::start() {
    if (state_->options.admit) {
        const std::string refusal = state_->options.admit(address_);
        if (!refusal.empty()) return end("refused: " + refusal, true);
        admitted_ = true;
    }
    std::error_code ec;
    socket_.non_blocking(true, ec);
    if (ec) return end("cannot make the socket non-blocking: " + ec.message());
    // libssh closes its descriptor when it sees an error; working on a
    // duplicate keeps the one the loop watches valid until end().
    const int fd = ::fcntl(socket_.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return end(std::string("cannot duplicate the socket: ") + std::strerror(errno));
    session_.reset(ssh_new());
    if (!session_) {
        ::close(fd);
        return end("libssh could not make a session");
    }
    ssh_set_counters(session_.get(), &socket_counter_, nullptr);
    if (ssh_bind_accept_fd(state_->bind.get(), session_.get(), fd) != SSH_OK) {
        if (ssh_get_fd(session_.get()) != fd) ::close(fd);  // not taken over
        return end("libssh refused the connection: " + std::string(ssh_get_error(state_->bind.get())));
    }
    ssh_set_blocking(session_.get(), 0);
    int methods = SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE;
    if (state_->options.check_public_key) methods |= SSH_AUTH_METHOD_PUBLICKEY;
    ssh_set_auth_methods(session_.get(), methods);

    logon_timer_.expires_after(state_->options.limits.logon_time);
    logon_timer_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (error || self->phase_ == Phase::closed || self->shell_started_) return;
        self->ending_ = LogonEnd::timed_out;
        self->end("logon time limit reached");
    });
    // Every client sends its version line at once: a connection without one
    // only holds a place at the logon.
    const auto banner_time = state_->options.limits.banner_time;
    if (banner_time < state_->options.limits.logon_time) {
        banner_timer_.expires_after(banner_time);
        banner_timer_.async_wait([self = shared_from_this(), banner_time](const std::error_code& error) {
            if (error || self->phase_ == Phase::closed || ssh_get_clientbanner(self->session_.get()) != nullptr) return;
            self->ending_ = LogonEnd::silent;
            self->end("no SSH version line within " +
                      std::to_string(std::chrono::ceil<std::chrono::seconds>(banner_time).count()) + " seconds");
        });
    }
    pump();  // the first step sends the server's banner
}

void Connection::pump() {
    auto self = shared_from_this();  // the owner may drop its reference meanwhile
    // What the owner does while the pump hands him input (his echo and
    // answer, his next read) is taken up by this pump: a pump is posted for
    // it only when this one leaves something undone.
    struct Pumping {
        Connection& c;
        explicit Pumping(Connection& c) : c(c) { c.pumping_ = true; }
        ~Pumping() {
            c.pumping_ = false;
            if (c.phase_ == Phase::closed) return;
            const bool input_waits = c.wanted_ > 0 && (c.held_ > 0 || c.inbox_.size() > c.inbox_head_);
            if (c.unflushed_ || input_waits) c.post_pump();
            c.unflushed_ = false;
        }
    } pumping{*this};
    input_turn_ = true;
    const uint64_t moved_before = socket_counter_.in_bytes + socket_counter_.out_bytes;
    for (int round = 0; round < kRoundsPerTurn; ++round) {
        drive();
        if (phase_ == Phase::closed) return;
        const uint64_t read_before = socket_counter_.in_bytes;
        settle();
        if (phase_ == Phase::closed) return;
        // libssh reads whenever it is called (a write flushes, and reads
        // what came meanwhile): what it read during settle() is settled
        // before waiting, since the socket will not say so again.
        if (socket_counter_.in_bytes != read_before) continue;
        if (!socket_ready()) {
            arm_waits();
            return;
        }
    }
    // A socket that stays ready while libssh moves no byte would spin the
    // loop for ever.
    if (socket_counter_.in_bytes + socket_counter_.out_bytes == moved_before)
        return end("libssh makes no progress on a ready socket");
    // Still busy: the others are served first, then this goes on.
    arm_waits();
    post_pump();
}

void Connection::post_pump() {
    if (pump_posted_) return;
    pump_posted_ = true;
    asio::post(state_->io, [self = shared_from_this()] {
        self->pump_posted_ = false;
        if (self->phase_ != Phase::closed) self->pump();
    });
}

void Connection::drive() {
    if (phase_ == Phase::key_exchange) {
        const int rc = ssh_handle_key_exchange(session_.get());
        keep_nonblocking();
        if (rc == SSH_ERROR) return end("key exchange failed: " + libssh_error());
        if (rc == SSH_OK) begin_authentication();
        return;
    }
    const int rc = ssh_event_dopoll(event_.get(), 0);
    if (phase_ == Phase::authentication || phase_ == Phase::authenticated) keep_nonblocking();
    if (rc == SSH_ERROR || ssh_get_fd(session_.get()) == SSH_INVALID_SOCKET)
        return end("connection lost: " + libssh_error());
    check_alive();
}

void Connection::begin_authentication() {
    phase_ = Phase::authentication;
    event_.reset(ssh_event_new());
    if (!event_ || ssh_event_add_session(event_.get(), session_.get()) != SSH_OK)
        return end("libssh could not watch the session");
}

// libssh's socket layer switches a descriptor to blocking mode when a
// connection it believes still connecting becomes writable (its path for
// connections it makes itself). Accepted sockets should never take that
// path, but a blocking send to a client that does not read would stop the
// loop, so the flag is checked after every step, before libssh sends again,
// until the session is open: libssh takes that path only for a socket it
// has not seen connected, and by then it has long seen it so.
void Connection::keep_nonblocking() {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

void Connection::check_alive() {
    if (phase_ == Phase::closed) return;
    const int status = ssh_get_status(session_.get());
    if (status & SSH_CLOSED_ERROR) return end("connection lost: " + libssh_error());
    if (status & SSH_CLOSED) return end("client disconnected");
}

bool Connection::socket_ready() const {
    pollfd p{fd_, POLLIN, 0};
    if (ssh_get_poll_flags(session_.get()) & SSH_WRITE_PENDING) p.events |= POLLOUT;
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

// One read wait is always out (Asio's reactor is edge-triggered, so the
// pump reads until poll() says there is nothing left); a write wait only
// while libssh has output the socket did not take.
void Connection::arm_waits() {
    if (phase_ == Phase::closed) return;
    if (!read_armed_) {
        read_armed_ = true;
        socket_.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& ec) {
            self->read_armed_ = false;
            if (!ec && self->phase_ != Phase::closed) self->pump();
        });
    }
    if (!write_armed_ && (ssh_get_poll_flags(session_.get()) & SSH_WRITE_PENDING)) {
        write_armed_ = true;
        socket_.async_wait(asio::socket_base::wait_write, [self = shared_from_this()](const std::error_code& ec) {
            self->write_armed_ = false;
            if (!ec && self->phase_ != Phase::closed) self->pump();
        });
    }
}

void Connection::settle() {
    if (phase_ == Phase::key_exchange) return;
    handle_messages();
    if (phase_ == Phase::closed) return;
    deliver_input();
    if (phase_ == Phase::closed) return;
    flush_output();
    if (phase_ == Phase::closed) return;
    progress_closing();
}

// ---- messages --------------------------------------------------------------------

void Connection::handle_messages() {
    // With no queued message, ssh_message_get polls once with timeout 0.
    while (phase_ != Phase::closed) {
        ssh_message raw = ssh_message_get(session_.get());
        if (raw == nullptr) break;
        handle(MessageHandle(raw));
    }
    check_alive();
}

void Connection::handle(MessageHandle message) {
    switch (ssh_message_type(message.get())) {
    case SSH_REQUEST_AUTH:
        return on_auth_request(std::move(message));
    case SSH_REQUEST_CHANNEL_OPEN:
        return on_channel_open(std::move(message));
    case SSH_REQUEST_CHANNEL:
        return on_channel_request(std::move(message));
    case SSH_REQUEST_GLOBAL: {
        const int kind = ssh_message_subtype(message.get());
        return refuse(std::move(message), kind == SSH_GLOBAL_REQUEST_TCPIP_FORWARD ? "port forwarding (tcpip-forward)"
                                          : kind == SSH_GLOBAL_REQUEST_KEEPALIVE    ? ""
                                                                                    : "a global request");
    }
    default:  // the service request for authentication: accepted
        ssh_message_reply_default(message.get());
    }
}

void Connection::refuse(MessageHandle message, std::string_view what) {
    if (!what.empty()) log("refused " + std::string(what));
    ssh_message_reply_default(message.get());
}

// ---- channels ----------------------------------------------------------------------

void Connection::on_channel_open(MessageHandle message) {
    const int kind = ssh_message_subtype(message.get());
    if (phase_ != Phase::authenticated || kind != SSH_CHANNEL_SESSION || channel_) {
        return refuse(std::move(message), std::string("a ") + (channel_ && kind == SSH_CHANNEL_SESSION ? "second " : "") +
                                              channel_kind(kind) + " channel");
    }
    ssh_channel channel = ssh_message_channel_request_open_reply_accept(message.get());
    if (channel == nullptr) return end("cannot open the session channel: " + libssh_error());
    channel_.reset(channel);
    if (ssh_set_channel_callbacks(channel, &channel_callbacks_) != SSH_OK)
        return end("cannot watch the session channel: " + libssh_error());
}

void Connection::on_channel_request(MessageHandle message) {
    ssh_message m = message.get();
    if (!channel_ || ssh_message_channel_request_channel(m) != channel_.get())
        return refuse(std::move(message), request_kind(m) + " on an unknown channel");
    switch (ssh_message_subtype(m)) {
    case SSH_CHANNEL_REQUEST_PTY:
        if (shell_started_) break;
        terminal_ = clean_terminal_type(ssh_message_channel_request_pty_term(m));
        width_ = clean_size(ssh_message_channel_request_pty_width(m), 80);
        height_ = clean_size(ssh_message_channel_request_pty_height(m), 24);
        ssh_message_channel_request_reply_success(m);
        return;
    case SSH_CHANNEL_REQUEST_WINDOW_CHANGE:
        width_ = clean_size(ssh_message_channel_request_pty_width(m), width_);
        height_ = clean_size(ssh_message_channel_request_pty_height(m), height_);
        resized_ = shell_started_;
        ssh_message_channel_request_reply_success(m);
        return;
    case SSH_CHANNEL_REQUEST_SHELL:
        if (shell_started_) break;
        ssh_message_channel_request_reply_success(m);
        start_session();
        return;
    default:  // agent forwarding never gets here: libssh refuses it itself
        break;
    }
    refuse(std::move(message), request_kind(m));
}

void Connection::release(LogonEnd how) {
    if (!admitted_) return;
    admitted_ = false;
    if (state_->options.release) state_->options.release(address_, how);
}

void Connection::start_session() {
    shell_started_ = true;
    phase_ = Phase::session;
    logon_timer_.cancel();
    banner_timer_.cancel();
    release(LogonEnd::shell);
    log("session of " + text::log_excerpt(user_) + ", terminal " + (terminal_.empty() ? "none" : terminal_) + " " +
        std::to_string(width_) + "x" + std::to_string(height_));
    if (state_->options.on_session) state_->options.on_session(shared_from_this());
}

// libssh offers all it holds of the stream; none is taken here. It stays
// with libssh until the owner asks for it (hand_over_input), and while it
// waits there libssh grows no window for it.
int Connection::on_channel_data(ssh_session, ssh_channel, void*, uint32_t len, int is_stderr, void* self) {
    if (is_stderr) return static_cast<int>(len);  // a client's stderr means nothing to a shell: dropped
    static_cast<Connection*>(self)->held_ = len;
    return 0;
}

void Connection::on_channel_eof(ssh_session, ssh_channel, void* self) {
    static_cast<Connection*>(self)->client_eof_ = true;
}

void Connection::on_channel_close(ssh_session, ssh_channel, void* self) {
    static_cast<Connection*>(self)->client_closed_ = true;
}

// ---- the byte stream ----------------------------------------------------------------

void Connection::attach(Events events) {
    events_ = std::move(events);
    attached_ = true;
    if (resized_) post_pump();  // a window change that came with the shell request
}

void Connection::read(std::size_t at_most) {
    if (phase_ != Phase::session) return;
    wanted_ = at_most;
    if (!pumping_) post_pump();  // else the pump posts one when input waits for it
}

void Connection::deliver_input() {
    if (client_closed_) return end(phase_ == Phase::closing ? closing_reason_ : "client closed the session");
    if (held_ > kMaxHeldInput) return end("input past the channel's window (" + std::to_string(held_) + " bytes)");
    if (phase_ != Phase::session || !attached_) return;
    if (resized_) {
        resized_ = false;
        if (events_.on_resize) events_.on_resize(width_, height_);
        if (phase_ != Phase::session) return;
    }
    if (wanted_ > 0 && input_turn_ && !hand_over_input()) return;
    if (client_eof_ && inbox_.empty() && held_ == 0) begin_closing("client sent end of input");
}

bool Connection::hand_over_input() {
    if (inbox_.empty() && held_ > 0) {  // all that libssh holds, at once (see kMaxHeldInput)
        inbox_.resize(held_);
        const int n = ssh_channel_read_nonblocking(channel_.get(), inbox_.data(), static_cast<uint32_t>(held_), 0);
        if (n < 0) {
            end("cannot read the channel: " + libssh_error());
            return false;
        }
        inbox_.resize(static_cast<std::size_t>(n));
        held_ = 0;
    }
    if (inbox_.empty()) return true;
    const std::string bytes = inbox_.substr(inbox_head_, wanted_);
    inbox_head_ += bytes.size();
    if (inbox_head_ == inbox_.size()) {
        std::string().swap(inbox_);  // a paste's room is given back
        inbox_head_ = 0;
    }
    wanted_ = 0;
    input_turn_ = false;
    if (events_.on_data) events_.on_data(bytes);
    return phase_ == Phase::session;
}

bool Connection::send(std::string_view bytes) {
    if (phase_ != Phase::session) return false;
    outbox_.append(bytes);
    if (queued() > state_->options.limits.max_queued_output) {
        end("output queue full (" + std::to_string(queued()) + " bytes): the client does not read");
        return false;
    }
    // Written from the loop: what one turn sends (a line's echoed keys and
    // its answer) goes out together, by this pump when one runs.
    if (pumping_)
        unflushed_ = true;
    else
        post_pump();
    return true;
}

// The last piece is still in libssh's hands (or the kernel's send buffer
// would not take it): its bytes have not all reached the socket yet.
bool Connection::piece_in_flight() const {
    if (ssh_get_status(session_.get()) & SSH_WRITE_PENDING) return true;
    return socket_counter_.out_bytes - piece_mark_ < piece_size_;
}

void Connection::flush_output() {
    unflushed_ = false;
    if (!channel_ || (phase_ != Phase::session && phase_ != Phase::closing) || eof_sent_) return;
    if (queued() == 0 || piece_in_flight()) return;
    const uint32_t window = ssh_channel_window_size(channel_.get());
    if (window == 0) return;  // the client's window is closed: it does not read
    const uint32_t size = static_cast<uint32_t>(std::min<std::size_t>({queued(), window, kChunk}));
    const uint64_t mark = socket_counter_.out_bytes;
    const int written = ssh_channel_write(channel_.get(), outbox_.data() + outbox_head_, size);
    if (written == SSH_ERROR) return end("cannot write to the channel: " + libssh_error());
    outbox_head_ += static_cast<std::size_t>(written);
    piece_mark_ = mark;
    piece_size_ = static_cast<uint32_t>(written);
    if (outbox_head_ == outbox_.size()) {
        outbox_.clear();
        outbox_head_ = 0;
    } else if (outbox_head_ >= kChunk * 4) {
        outbox_.erase(0, outbox_head_);
        outbox_head_ = 0;
    }
}

void Connection::close() {
    if (phase_ == Phase::session) begin_closing("closed by the host");
}

void Connection::begin_closing(std::string reason) {
    phase_ = Phase::closing;
    closing_reason_ = std::move(reason);
    close_timer_.expires_after(state_->options.limits.close_grace);
    close_timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec && self->phase_ == Phase::closing)
            self->end(self->closing_reason_ + "; output not sent within the grace time");
    });
    post_pump();
}

void Connection::progress_closing() {
    if (phase_ != Phase::closing) return;
    if (!eof_sent_) {
        if (queued() > 0 || piece_in_flight()) return;
        ssh_channel_request_send_exit_status(channel_.get(), 0);
        ssh_channel_send_eof(channel_.get());
        ssh_channel_close(channel_.get());
        eof_sent_ = true;
    }
    if (!(ssh_get_status(session_.get()) & SSH_WRITE_PENDING)) end(closing_reason_);
}

void Connection::end(std::string reason, bool logged) {
    if (phase_ == Phase::closed) return;
    phase_ = Phase::closed;
    release(ending_);
    logon_timer_.cancel();
    banner_timer_.cancel();
    close_timer_.cancel();
    pending_.reset();
    waiting_auth_.clear();
    channel_.reset();
    if (event_ && session_) ssh_event_remove_session(event_.get(), session_.get());
    event_.reset();
    if (session_) {
        ssh_disconnect(session_.get());  // a last word if the socket takes it; closes libssh's descriptor
        session_.reset();
    }
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    outbox_.clear();
    outbox_head_ = 0;
    inbox_.clear();
    inbox_head_ = held_ = 0;
    if (!logged) log("closed: " + reason);
    Events events = attached_ ? std::move(events_) : Events{};
    events_ = Events{};
    asio::post(state_->io, [self = shared_from_this(), events = std::move(events), reason = std::move(reason)] {
        if (events.on_close) events.on_close(reason);
        self->state_->connections.erase(self);
    });
}

}  // namespace ssh
