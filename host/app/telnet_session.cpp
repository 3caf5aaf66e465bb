#include "app/telnet_session.h"

#include <chrono>

#include <libtelnet.h>

#include "app/logon_throttle.h"
#include "app/server.h"
#include "bbs/input.h"
#include "platform/host.h"

namespace app {

namespace {

// What we agree to when the client asks: we never offer or accept anything
// but NAWS unasked; ECHO is ours only while a password is typed.
const telnet_telopt_t kOptions[] = {
    {TELNET_TELOPT_ECHO, TELNET_WONT, TELNET_DONT},
    {TELNET_TELOPT_NAWS, TELNET_WONT, TELNET_DO},
    {-1, 0, 0},
};

constexpr auto kFlushTime = std::chrono::seconds(10);

const char kBanner[] =
    "\r\n"
    "  Welcome to the Brakvold BBS\r\n"
    "  A realm of swords, sorcery and the Brakvold Plus extensions.\r\n"
    "\r\n";

std::string describe(const asio::ip::tcp::socket& socket) {
    std::error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    if (ec) return "unknown peer";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

TelnetSession::TelnetSession(Server& server, asio::ip::tcp::socket socket)
    : server_(server), socket_(std::move(socket)), timer_(server.io()) {
    peer_ = describe(socket_);
    std::error_code ec;
    const auto endpoint = socket_.remote_endpoint(ec);
    address_ = ec ? std::string("unknown") : LogonThrottle::source_key(endpoint.address());
    telnet_ = telnet_init(kOptions, &TelnetSession::on_telnet_event, 0, this);
}

TelnetSession::~TelnetSession() {
    if (telnet_) telnet_free(telnet_);
}

void TelnetSession::refuse(std::string_view message) {
    if (!telnet_) {
        finish_close();
        return;
    }
    send_text(message);
    close_after_output();
}

void TelnetSession::start() {
    in_dialogue_ = true;
    if (!telnet_) {
        server_.log("telnet state could not be created for " + peer_);
        finish_close();
        return;
    }
    std::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_NAWS);
    send_text(kBanner);
    prompt_userid();
    arm_logon_timer();
    read();
}

void TelnetSession::arm_logon_timer() {
    timer_.expires_after(kLogonTime);
    timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        if (self->state_ == State::ask_userid || self->state_ == State::ask_password ||
            self->state_ == State::checking) {
            self->send_text("\r\nLogon timed out.\r\n");
            self->close_after_output();
        }
    });
}

// ---- input ------------------------------------------------------------------

void TelnetSession::read() {
    if (reading_ || state_ == State::closing || state_ == State::closed) return;
    reading_ = true;
    socket_.async_read_some(asio::buffer(read_buffer_),
                            [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                                self->reading_ = false;
                                if (self->state_ == State::closed) return;
                                if (ec) {
                                    // The client hung up (or the socket failed).
                                    self->finish_close();
                                    return;
                                }
                                self->on_read(n);
                            });
}

void TelnetSession::on_read(std::size_t n) {
    const std::string_view bytes(read_buffer_.data(), n);
    const std::size_t admitted = compression_.admit(bytes);
    // Lines complete in the parser's events and are handled after it has
    // returned, so that everything they send goes through a parser at rest.
    telnet_recv(telnet_, bytes.data(), admitted);
    if (compression_.refused()) {
        cut_off("it began compressed input (IAC SB COMPRESS2), which is never accepted");
        return;
    }
    handle_lines();
}

void TelnetSession::handle_lines() {
    for (std::size_t n = 0; n < kLinesPerTurn && !lines_.empty(); ++n) {
        if (state_ == State::checking || state_ == State::closing || state_ == State::closed) break;
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        on_line(std::move(line));
    }
    if (state_ == State::closing || state_ == State::closed) {
        lines_.clear();
        return;
    }
    if (state_ == State::checking) return;  // password_checked() goes on
    if (lines_.empty()) {
        read();
        return;
    }
    // More lines of the same read: the others get the loop first.
    if (turn_posted_) return;
    turn_posted_ = true;
    asio::post(server_.io(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->turn_posted_ = false;
        self->handle_lines();
    });
}

void TelnetSession::on_telnet_event(telnet_t*, telnet_event_t* event, void* self) {
    static_cast<TelnetSession*>(self)->handle_event(*event);
}

void TelnetSession::handle_event(telnet_event_t& event) {
    switch (event.type) {
    case TELNET_EV_DATA:
        if (state_ == State::closing || state_ == State::closed) break;
        assembler_.feed(std::string_view(event.data.buffer, event.data.size), lines_);
        break;
    case TELNET_EV_SEND:
        queue_raw(event.data.buffer, event.data.size);
        break;
    case TELNET_EV_SUBNEGOTIATION:
        if (event.sub.telopt == TELNET_TELOPT_NAWS && event.sub.size == 4) {
            auto byte = [&](int i) { return static_cast<unsigned char>(event.sub.buffer[i]); };
            width_ = byte(0) << 8 | byte(1);
            height_ = byte(2) << 8 | byte(3);
        }
        break;
    case TELNET_EV_COMPRESS:
        // Never reached: CompressionRefusal stops the input before libtelnet
        // could begin to inflate it. Should a parser ever get there anyway,
        // nothing more of this client is taken.
        if (event.compress.state) cut_off("compressed input began, which is never accepted");
        break;
    case TELNET_EV_ERROR:
        cut_off(std::string("telnet protocol error: ") + (event.error.msg ? event.error.msg : "?"));
        break;
    case TELNET_EV_WARNING:
        // E.g. a subnegotiation longer than libtelnet buffers: it is dropped
        // and what follows is read as data again.
        server_.log("telnet warning from " + peer_ + ": " +
                    (event.error.msg ? event.error.msg : "?"));
        break;
    default:
        break;  // commands and negotiations never reach a module
    }
}

void TelnetSession::on_line(std::string line) {
    switch (state_) {
    case State::ask_userid: on_userid(line); break;
    case State::ask_password: on_password(line); break;
    case State::online: server_.line(channel_, line); break;
    case State::checking:
    case State::closing:
    case State::closed: break;
    }
}

void TelnetSession::prompt_userid() {
    state_ = State::ask_userid;
    send_text("User-ID: ");
}

void TelnetSession::on_userid(std::string_view typed) {
    // Cleaned as every typed line is (bbs/input.h): it goes to the log and
    // to the account lookup.
    const std::string cleaned = bbs::clean_line(typed, HOST_INPSIZ - 1);
    std::string_view text = cleaned;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) {
        send_text("User-ID: ");
        return;
    }
    userid_ = std::string(text);
    const auto verdict = server_.begin_attempt(address_, userid_);
    if (!verdict) {
        const std::string said = LogonThrottle::message(verdict);
        server_.log("logon as \"" + userid_ + "\" from " + peer_ + " refused: " + said.substr(0, said.size() - 2));
        send_text(said);
        close_after_output();
        return;
    }
    attempt_open_ = true;
    state_ = State::ask_password;
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_ECHO);  // the client stops echoing
    echo_off_ = true;
    send_text("Password: ");
}

void TelnetSession::on_password(std::string_view password) {
    if (echo_off_) {
        telnet_negotiate(telnet_, TELNET_WONT, TELNET_TELOPT_ECHO);
        echo_off_ = false;
    }
    send_text("\r\n");  // the client did not echo the line end either
    attempt_open_ = false;  // the attempt is the check's now
    state_ = State::checking;
    server_.check_password(shared_from_this(), userid_, std::string(password));
}

void TelnetSession::password_checked(bool ok) {
    if (state_ != State::checking) return;
    std::string userid = ok ? server_.account_userid(userid_) : std::string();
    if (userid.empty()) {  // a wrong password, or the account went meanwhile
        ++failures_;
        server_.log("failed logon as \"" + userid_ + "\" from " + peer_);
        send_text("Invalid login.\r\n");
        if (failures_ >= kMaxLogonFailures) {
            server_.log("connection from " + peer_ + " closed after " + std::to_string(failures_) +
                        " failed logons");
            close_after_output();
            return;
        }
        prompt_userid();
        handle_lines();
        return;
    }
    userid_ = std::move(userid);
    if (server_.is_online(userid_)) {
        send_text("That user is already online.\r\n");
        prompt_userid();
        handle_lines();
        return;
    }
    timer_.cancel();
    leave_dialogue();
    state_ = State::online;
    const int channel = server_.logon(shared_from_this(), userid_);
    if (channel < 0) {
        state_ = State::ask_userid;
        send_text("Every channel is busy. Please try again later.\r\n");
        close_after_output();
        return;
    }
    handle_lines();
}

void TelnetSession::leave_dialogue() {
    if (attempt_open_) {
        attempt_open_ = false;
        server_.abandon_attempt(address_, userid_);
    }
    if (in_dialogue_) {
        in_dialogue_ = false;
        server_.dialogue_ended(address_);
    }
}

// ---- output -----------------------------------------------------------------

void TelnetSession::send_module_output(std::string_view bytes) {
    if (state_ == State::closed || overflowed_) return;
    const std::string wire = line_breaks_.to_wire(bytes);
    telnet_send(telnet_, wire.data(), wire.size());
}

void TelnetSession::send_text(std::string_view text) {
    if (state_ == State::closed || overflowed_) return;
    telnet_send(telnet_, text.data(), text.size());
}

void TelnetSession::queue_raw(const char* bytes, std::size_t size) {
    if (state_ == State::closed || overflowed_) return;
    if (queued_.size() + writing_.size() + size > kMaxQueued) {
        overflowed_ = true;
        queued_.clear();
        cut_off("output queue full (the client does not read)");
        return;
    }
    queued_.append(bytes, size);
    write();
}

void TelnetSession::write() {
    if (write_pending_ || queued_.empty() || state_ == State::closed) return;
    writing_.swap(queued_);
    queued_.clear();
    write_pending_ = true;
    asio::async_write(socket_, asio::buffer(writing_),
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                          self->write_pending_ = false;
                          self->writing_.clear();
                          if (self->state_ == State::closed) return;
                          if (ec) {
                              self->finish_close();
                              return;
                          }
                          if (!self->queued_.empty()) {
                              self->write();
                          } else if (self->state_ == State::closing) {
                              self->finish_close();
                          }
                      });
}

// ---- closing ----------------------------------------------------------------

void TelnetSession::cut_off(std::string_view why) {
    if (state_ == State::closed) return;
    // Called from inside module routines (through the output sink) and from
    // the telnet parser: the host must not be re-entered, so the hang-up
    // waits for the loop; from now on nothing more goes to the host.
    server_.log("cutting off " + peer_ + ": " + std::string(why));
    state_ = State::closing;
    lines_.clear();
    asio::post(server_.io(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->finish_close();
    });
}

void TelnetSession::close_after_output() {
    if (state_ == State::closed || state_ == State::closing) return;
    state_ = State::closing;
    lines_.clear();
    server_.hangup(*this);
    if (!write_pending_ && queued_.empty()) {
        finish_close();
        return;
    }
    // A client that never reads does not keep the connection open for ever.
    timer_.expires_after(kFlushTime);
    timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self) self->finish_close();
    });
}

void TelnetSession::shutdown(std::string_view farewell) {
    if (state_ == State::closed) return;
    send_text(farewell);
    server_.hangup(*this);
    // One last try to hand over what is queued, without waiting for the client.
    std::error_code ec;
    socket_.non_blocking(true, ec);
    if (!write_pending_ && !queued_.empty()) socket_.write_some(asio::buffer(queued_), ec);
    finish_close();
}

void TelnetSession::finish_close() {
    if (state_ == State::closed) return;
    auto keep = shared_from_this();  // forget() drops the server's reference
    server_.hangup(*this);
    leave_dialogue();
    state_ = State::closed;
    lines_.clear();
    std::error_code ec;
    timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    server_.forget(*this);
}

}  // namespace app
