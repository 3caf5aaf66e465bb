#include "app/web_transport.h"

#include <utility>

namespace app {

std::shared_ptr<WebTransport> WebTransport::make(asio::ip::tcp::socket socket, const web::StaticSite& site, Log log) {
    return std::shared_ptr<WebTransport>(new WebTransport(std::move(socket), site, std::move(log)));
}

WebTransport::WebTransport(asio::ip::tcp::socket socket, const web::StaticSite& site, Log log)
    : socket_(std::move(socket)), flush_timer_(socket_.get_executor()), http_timer_(socket_.get_executor()), web_(site), log_(std::move(log)) {
    std::error_code ec;
    const auto remote = socket_.remote_endpoint(ec);
    address_ = ec ? "unknown" : remote.address().to_string();
    peer_ = ec ? "unknown" : address_ + ":" + std::to_string(remote.port());
}

WebTransport::~WebTransport() {
    std::error_code ec;
    socket_.close(ec);
}

void WebTransport::begin(Upgraded upgraded) {
    upgraded_ = std::move(upgraded);
    arm_http_timer();
    read_socket();
}

void WebTransport::arm_http_timer() {
    http_timer_.expires_after(kHttpIdle);
    http_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self && !self->adopted_) self->finish();
    });
}

void WebTransport::start() {
    started_ = true;
    // Character mode from the start, told from the loop; then the first
    // read, with the input that came with the upgrade.
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (self->state_ != State::open) return;
        if (self->events_.modes_changed) self->events_.modes_changed();
        self->read();
    });
}

void WebTransport::read() {
    if (state_ != State::open) return;
    wants_input_ = true;
    post_handling();
}

void WebTransport::post_handling() {
    if (handling_posted_) return;
    handling_posted_ = true;
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->handling_posted_ = false;
        self->handle_events();
    });
}

void WebTransport::read_socket() {
    if (socket_reading_ || state_ == State::closed) return;
    socket_reading_ = true;
    socket_.async_read_some(asio::buffer(read_buffer_), [self = shared_from_this()](const std::error_code& ec,
                                                                                    std::size_t n) {
        self->socket_reading_ = false;
        if (self->state_ == State::closed) return;
        if (ec) return self->finish();
        if (!self->adopted_) self->arm_http_timer();
        std::vector<web::WebSession::Event> events;
        self->web_.feed(std::string_view(self->read_buffer_.data(), n), events);
        for (auto& event : events) self->events_waiting_.push_back(std::move(event));
        self->write();
        self->handle_events();
    });
}

void WebTransport::handle_events() {
    while (!events_waiting_.empty() && state_ != State::closed) {
        auto& event = events_waiting_.front();
        using Kind = web::WebSession::Event::Kind;
        if (event.kind == Kind::started) {
            events_waiting_.pop_front();
            if (adopted_) continue;
            adopted_ = true;
            http_timer_.cancel();
            if (upgraded_) upgraded_(shared_from_this());  // the session starts it
            continue;
        }
        // The session starts it from the loop; one refused at once (it never
        // starts) only waits for the close handshake.
        if (!started_ && state_ == State::open) return;
        if (event.kind == Kind::input) {
            if (state_ != State::open) {  // closing: only the client's close answer matters
                events_waiting_.pop_front();
                continue;
            }
            if (!wants_input_) return;
            wants_input_ = false;
            const std::string input = std::move(event.input);
            events_waiting_.pop_front();
            if (state_ == State::open && events_.received) events_.received(input);
        } else if (event.kind == Kind::window_size) {
            const auto size = event.size;
            events_waiting_.pop_front();
            if (state_ == State::open && events_.resized) events_.resized(size.cols, size.rows);
        } else {  // ended
            events_waiting_.pop_front();
            return finish();
        }
    }
    if (state_ == State::closed) return;
    if (web_.finished()) {
        if (!write_pending_) finish();
        return;
    }
    // The next read once the session wants more (before the upgrade, always).
    if (!adopted_ || wants_input_ || state_ == State::closing) read_socket();
}

void WebTransport::send(std::string_view bytes) {
    if (state_ == State::closed) return;
    web_.send(bytes);
    if (web_.pending_output() > kMaxQueued) return cut_off("output queue full (the client does not read)");
    write();
}

void WebTransport::write() {
    if (write_pending_ || state_ == State::closed) return;
    writing_ = web_.take_output();
    if (writing_.empty()) {
        if (web_.finished()) finish();
        return;
    }
    write_pending_ = true;
    asio::async_write(socket_, asio::buffer(writing_), [self = shared_from_this()](const std::error_code& ec, std::size_t) {
        self->write_pending_ = false;
        if (self->state_ == State::closed) return;
        if (ec) return self->finish();
        self->write();
    });
}

void WebTransport::cut_off(std::string_view why) {
    if (state_ == State::closed) return;
    log_("cutting off " + peer_ + ": " + std::string(why));
    state_ = State::closing;
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->finish(); });
}

void WebTransport::close_after_output() {
    if (state_ != State::open) return;
    state_ = State::closing;
    web_.close(web::close_code::normal);
    flush_timer_.expires_after(kFlushTime);
    flush_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self) self->finish();
    });
    write();
    read_socket();  // for the client's answer to the close
}

void WebTransport::close_now() {
    if (state_ == State::closed) return;
    web_.close(web::close_code::going_away);
    std::error_code ec;
    socket_.non_blocking(true, ec);
    if (!write_pending_) {
        const std::string last = web_.take_output();
        if (!last.empty()) socket_.write_some(asio::buffer(last), ec);
    }
    finish();
}

void WebTransport::finish() {
    if (state_ == State::closed) return;
    state_ = State::closed;
    const std::string problem = web_.problem();
    if (!problem.empty()) log_("web client " + peer_ + ": " + problem);
    std::error_code ec;
    flush_timer_.cancel();
    http_timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    events_waiting_.clear();
    // The session hears it from the loop, never inside a call it made.
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        auto closed = std::move(self->events_.closed);
        self->events_ = {};
        if (closed) closed();
    });
}

}  // namespace app
