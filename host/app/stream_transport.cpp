#include "app/stream_transport.h"

#include <utility>

#include "app/logon_throttle.h"
#include "app/proxy_header.h"

namespace app {

PeerNames accept_connection(Accepted& connection) {
    std::error_code ec;
    connection.socket.set_option(asio::ip::tcp::no_delay(true), ec);
    return names_of(connection.client);
}

PeerNames names_of(const asio::ip::tcp::endpoint& endpoint) {
    if (endpoint.port() == 0 && endpoint.address().is_unspecified()) return {"unknown peer", "unknown", "unknown"};
    const std::string ip = endpoint.address().to_string();
    return {ip + ":" + std::to_string(endpoint.port()), ip, LogonThrottle::source_key(endpoint.address())};
}

StreamTransport::StreamTransport(Accepted connection, Log log, std::shared_ptr<asio::ssl::context> tls)
    : log_(std::move(log)),
      socket_(std::move(connection.socket)),
      tls_context_(std::move(tls)),
      handshake_timer_(socket_.get_executor()),
      flush_timer_(socket_.get_executor()) {
    if (tls_context_) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls_context_);
    refuse_proxy_header_ = connection.refuse_proxy_header && !tls_context_;
    std::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);  // as accept_connection() does
    client_is(connection.client);
}

void StreamTransport::client_is(const asio::ip::tcp::endpoint& client) {
    client_ = client;
    PeerNames names = names_of(client);
    peer_ = std::move(names.peer);
    ip_ = std::move(names.ip);
    address_ = std::move(names.address);
}

// ---- the stream -------------------------------------------------------------

bool StreamTransport::stream_open() {
    if (!tls_ || handshake_ == Handshake::done) return true;
    if (handshake_ == Handshake::under_way) return false;
    handshake_ = Handshake::under_way;
    handshake_began_ = std::chrono::steady_clock::now();
    handshake_timer_.expires_after(kHandshakeTime);
    handshake_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self && self->handshake_ != Handshake::done) self->finish();
    });
    tls_->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const std::error_code& ec) {
        if (self->state_ == State::closed) return;
        if (ec) {
            self->log_(std::string(self->way()) + " client " + self->peer_ + ": TLS handshake failed: " + ec.message());
            return self->finish();
        }
        self->handshake_ = Handshake::done;
        self->handshake_timer_.cancel();
        self->write();
        if (std::exchange(self->read_waiting_, false)) self->read_stream();
    });
    return false;
}

void StreamTransport::read_stream() {
    if (reading_ || state_ == State::closed) return;
    if (!stream_open()) {
        read_waiting_ = true;
        return;
    }
    reading_ = true;
    auto done = [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
        self->reading_ = false;
        if (self->state_ == State::closed) return;
        if (ec) return self->finish();  // the client hung up (or the socket failed)
        const std::string_view bytes(self->read_buffer_.data(), n);
        if (std::exchange(self->refuse_proxy_header_, false) && proxy::looks_like_header(bytes)) {
            self->log_("connection from " + self->peer_ + " refused: a PROXY header from an address that is no trusted proxy");
            return self->finish();
        }
        self->on_stream(bytes);
    };
    if (tls_) {
        tls_->async_read_some(asio::buffer(read_buffer_), std::move(done));
    } else {
        socket_.async_read_some(asio::buffer(read_buffer_), std::move(done));
    }
}

void StreamTransport::queue(std::string_view bytes, Limit limit) {
    if (!sending() || bytes.empty()) return;
    if (limit == Limit::bounded && queued_.size() + writing_.size() + bytes.size() > kMaxQueued) {
        queued_.clear();
        return cut_off("output queue full (the client does not read)");
    }
    queued_.append(bytes);
    write();
}

void StreamTransport::write() {
    if (write_pending_ || queued_.empty() || state_ == State::closed || !stream_open()) return;
    writing_.swap(queued_);
    queued_.clear();
    write_pending_ = true;
    auto done = [self = shared_from_this()](const std::error_code& ec, std::size_t) {
        self->write_pending_ = false;
        self->writing_.clear();
        if (self->state_ == State::closed) return;
        if (ec) return self->finish();
        if (!self->queued_.empty()) return self->write();
        self->drained();
        if (self->state_ != State::closed && !self->writing() && self->over()) self->finish();
    };
    if (tls_) {
        asio::async_write(*tls_, asio::buffer(writing_), std::move(done));
    } else {
        asio::async_write(socket_, asio::buffer(writing_), std::move(done));
    }
}

// ---- the end ----------------------------------------------------------------

void StreamTransport::cut_off(std::string_view why) {
    if (state_ == State::closed) return;
    // Called from parsers and from inside module routines (through a send):
    // the hang-up waits for the loop.
    log_("cutting off " + peer_ + ": " + std::string(why));
    state_ = State::closing;
    cut_off_ = true;
    asio::post(executor(), [self = shared_from_this()] { self->finish(); });
}

void StreamTransport::close_after_output() {
    if (state_ != State::open) return;
    // Nothing reaches a client before his handshake, and the flush time
    // counts from its beginning: a refusal at the connection's start is
    // still read, a handshake stalled that long is not waited for again.
    std::chrono::steady_clock::duration flush = kFlushTime;
    if (handshake_ == Handshake::under_way) flush -= std::chrono::steady_clock::now() - handshake_began_;
    if (flush <= flush.zero()) return finish();
    state_ = State::closing;
    closing();
    if (!writing() && over()) return finish();
    // A client that never reads does not keep the connection open for ever.
    flush_timer_.expires_after(flush);
    flush_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self) self->finish();
    });
}

void StreamTransport::close_now() {
    if (state_ == State::closed) return;
    queued_ += last_words();
    // One last try to hand over what is queued, without waiting for the client.
    std::error_code ec;
    socket_.non_blocking(true, ec);
    if (!write_pending_ && !queued_.empty() && !tls_) socket_.write_some(asio::buffer(queued_), ec);
    finish();
}

void StreamTransport::finish() {
    if (state_ == State::closed) return;
    state_ = State::closed;
    finished();
    std::error_code ec;
    handshake_timer_.cancel();
    flush_timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    // The session hears it from the loop, never inside a call it made.
    asio::post(executor(), [self = shared_from_this()] {
        auto closed = std::move(self->events_.closed);
        self->events_ = {};
        if (closed) closed();
    });
}

}  // namespace app
