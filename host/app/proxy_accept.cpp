#include "app/proxy_accept.h"

#include <array>
#include <memory>

#include "app/proxy_header.h"
#include "app/stream_transport.h"
#include "text/utf8.h"

namespace app {

Accepted Accepted::as_is(asio::ip::tcp::socket socket) {
    std::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    return {std::move(socket), peer, false};
}

// One connection's header being read (or its first bytes looked at),
// bytes peeked as they come; what is known to be header is taken off.
class ProxyAccept::Reading : public std::enable_shared_from_this<Reading> {
public:
    enum class Mode { header, screen };

    Reading(asio::ip::tcp::socket socket, asio::ip::tcp::endpoint peer, Mode mode, Log log, Next next)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), peer_(peer), mode_(mode),
          log_(std::move(log)), next_(std::move(next)) {}

    void begin() {
        std::error_code ec;
        socket_.non_blocking(true, ec);
        timer_.expires_after(mode_ == Mode::header ? kHeaderTime : kScreenTime);
        timer_.async_wait([self = shared_from_this()](const std::error_code& wait_ec) {
            if (wait_ec || self->done_) return;
            if (self->mode_ == Mode::screen) return self->pass_on(self->peer_);
            self->end("no complete PROXY header within " + std::to_string(kHeaderTime.count()) + " seconds");
        });
        wait();
    }

private:
    void wait() {
        socket_.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& ec) {
            if (self->done_) return;
            if (ec) return self->gone("the connection failed: " + ec.message());
            self->look();
        });
    }

    void look() {
        std::array<char, proxy::kMaxV2> buffer;
        const std::size_t room = buffer.size() - taken_.size();
        std::error_code ec;
        const std::size_t n = socket_.receive(asio::buffer(buffer.data(), room), asio::socket_base::message_peek, ec);
        if (ec == asio::error::would_block) return wait();
        if (ec || n == 0) return gone("closed before its PROXY header ended");
        const std::string_view peeked(buffer.data(), n);
        if (mode_ == Mode::screen) {
            if (!proxy::looks_like_header(peeked)) return pass_on(peer_);
            return end("refused: a PROXY header from an address that is no trusted proxy", "");
        }
        const std::string bytes = taken_ + std::string(peeked);
        const auto parsed = proxy::parse(bytes);
        using State = proxy::Parsed::State;
        if (parsed.state == State::malformed) return end("refused: bad PROXY header (" + parsed.error + ")", "");
        // Only header bytes are taken: what follows is the way's.
        const std::size_t take = parsed.state == State::complete ? parsed.length - taken_.size() : n;
        std::string taking(take, '\0');
        asio::read(socket_, asio::buffer(taking), ec);
        if (ec) return end("closed before its PROXY header ended");
        taken_ += taking;
        if (parsed.state == State::incomplete) return wait();
        const auto client = parsed.client.value_or(peer_);
        if (parsed.client) log_("proxy " + names_of(peer_).peer + " passes on a connection from " + names_of(client).peer);
        pass_on(client);
    }

    // The client hung up (or the socket failed): a header that was due is
    // missing; one only looked for is the way's business.
    void gone(const std::string& why) {
        if (mode_ == Mode::screen) return pass_on(peer_);
        end(why);
    }

    void pass_on(const asio::ip::tcp::endpoint& client) {
        done_ = true;
        timer_.cancel();
        std::error_code ec;
        socket_.cancel(ec);  // the wait for bytes, when time ran out first
        socket_.non_blocking(false, ec);
        next_({std::move(socket_), client, false});
    }

    // Logged as "connection from PEER WHY"; `closed` words what happened
    // when `why` itself does not ("closed: ").
    void end(const std::string& why, std::string_view closed = "closed: ") {
        done_ = true;
        timer_.cancel();
        log_("connection from " + names_of(peer_).peer + " " + std::string(closed) + text::log_excerpt(why));
        std::error_code ec;
        socket_.close(ec);
    }

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    const asio::ip::tcp::endpoint peer_;
    const Mode mode_;
    Log log_;
    Next next_;
    std::string taken_;  // header bytes taken off the socket so far
    bool done_ = false;
};

void ProxyAccept::accepted(Accepted connection, bool client_speaks_first, Next next) {
    if (trusted_.empty() || connection.gone()) return next(std::move(connection));
    const auto peer = connection.client;
    if (trusted_.contains(peer.address())) {
        std::make_shared<Reading>(std::move(connection.socket), peer, Reading::Mode::header, log_, std::move(next))
            ->begin();
    } else if (client_speaks_first) {
        std::make_shared<Reading>(std::move(connection.socket), peer, Reading::Mode::screen, log_, std::move(next))
            ->begin();
    } else {
        connection.refuse_proxy_header = true;
        next(std::move(connection));
    }
}

}  // namespace app
