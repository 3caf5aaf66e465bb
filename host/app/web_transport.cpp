#include "app/web_transport.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "app/logon_throttle.h"

namespace app {

namespace {

// OpenSSL's reasons for what went wrong on this thread, first to last, or
// `fallback` when it gave none.
std::string openssl_reason(const std::string& fallback) {
    std::string reasons;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        if (!reason || reasons.find(reason) != std::string::npos) continue;
        reasons += (reasons.empty() ? "" : "; ") + std::string(reason);
    }
    return reasons.empty() ? fallback : reasons;
}

// The file can be read and holds a PEM block whose head ends in `label`.
void readable(const std::string& what, const std::string& file, const std::string& label) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error(what + " " + file + ": cannot be read: " + std::strerror(errno));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("-----BEGIN ", 0) == 0 && line.find(label + "-----") != std::string::npos) return;
    }
    throw std::runtime_error(what + " " + file + ": holds no PEM " + label + " (-----BEGIN ..." + label + "-----)");
}

}  // namespace

std::unique_ptr<asio::ssl::context> WebTransport::tls_context(const std::string& cert_file,
                                                              const std::string& key_file) {
    readable("TLS certificate", cert_file, "CERTIFICATE");
    readable("TLS key", key_file, "PRIVATE KEY");
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    std::error_code ec;
    ERR_clear_error();
    context->use_certificate_chain_file(cert_file, ec);
    if (ec) throw std::runtime_error("TLS certificate " + cert_file + ": " + openssl_reason(ec.message()));
    context->use_private_key_file(key_file, asio::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("TLS key " + key_file + ": " + openssl_reason(ec.message()));
    if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
        throw std::runtime_error("TLS key " + key_file + ": " +
                                 openssl_reason("not the key of the certificate") + " (certificate " +
                                 cert_file + ")");
    }
    return context;
}

std::shared_ptr<WebTransport> WebTransport::make(asio::ip::tcp::socket socket, const web::StaticSite& site, Log log,
                                                 asio::ssl::context* tls) {
    return std::shared_ptr<WebTransport>(new WebTransport(std::move(socket), site, std::move(log), tls));
}

WebTransport::WebTransport(asio::ip::tcp::socket socket, const web::StaticSite& site, Log log, asio::ssl::context* tls)
    : socket_(std::move(socket)), flush_timer_(socket_.get_executor()), http_timer_(socket_.get_executor()), web_(site), log_(std::move(log)) {
    if (tls) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
    std::error_code ec;
    const auto remote = socket_.remote_endpoint(ec);
    peer_ = ec ? "unknown" : remote.address().to_string() + ":" + std::to_string(remote.port());
    address_ = ec ? "unknown" : LogonThrottle::source_key(remote.address());  // as the throttle counts it
}

WebTransport::~WebTransport() {
    std::error_code ec;
    socket_.close(ec);
}

void WebTransport::begin(Upgraded upgraded) {
    upgraded_ = std::move(upgraded);
    arm_http_timer();
    if (!tls_) return read_socket();
    tls_->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const std::error_code& ec) {
        if (self->state_ == State::closed) return;
        if (ec) {
            self->log_("web client " + self->peer_ + ": TLS handshake failed: " + ec.message());
            return self->finish();
        }
        self->read_socket();
    });
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
    auto done = [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
        self->socket_reading_ = false;
        if (self->state_ == State::closed) return;
        if (ec) return self->finish();
        if (!self->adopted_) self->arm_http_timer();
        std::vector<web::WebSession::Event> events;
        self->web_.feed(std::string_view(self->read_buffer_.data(), n), events);
        for (auto& event : events) self->events_waiting_.push_back(std::move(event));
        self->write();
        self->handle_events();
    };
    if (tls_) {
        tls_->async_read_some(asio::buffer(read_buffer_), std::move(done));
    } else {
        socket_.async_read_some(asio::buffer(read_buffer_), std::move(done));
    }
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
    auto done = [self = shared_from_this()](const std::error_code& ec, std::size_t) {
        self->write_pending_ = false;
        if (self->state_ == State::closed) return;
        if (ec) return self->finish();
        self->write();
    };
    if (tls_) {
        asio::async_write(*tls_, asio::buffer(writing_), std::move(done));
    } else {
        asio::async_write(socket_, asio::buffer(writing_), std::move(done));
    }
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
    // The close frame goes out only in the clear: a TLS record cannot be
    // written past the stream's own writes.
    if (!write_pending_ && !tls_) {
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
