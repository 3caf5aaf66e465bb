// The byte stream under a transport that the host reads and writes itself
// (app/transport.h): one accepted TCP connection of the loop, in the clear
// or inside TLS. Telnet and the web terminal are built on it; their
// protocols are the subclasses' business, the stream and its end are this
// class's:
//
//  - TLS: with a context, the stream's first use begins the server's
//    handshake; reads and writes wait for it. One that fails (logged as
//    "WAY client PEER: TLS handshake failed: ...") or takes longer than
//    kHandshakeTime costs only its own connection.
//  - Input: read_stream() asks for one read of at most kReadSize bytes and
//    on_stream() gets it; nothing more is read until the subclass asks
//    again. A subclass that asks only when its session does holds a busy
//    client back (TCP's flow control) and keeps nothing of his.
//  - Output: queue() hands bytes to the client in order. Bounded output (all
//    that a session sends) that would make more than kMaxQueued bytes wait
//    cuts the client off instead: he does not read. A subclass that keeps
//    its own output until the stream has written what it had (drained())
//    bounds it itself.
//  - The end: cut_off() logs why and closes from the loop;
//    close_after_output() ends once the output is written and over() says
//    so, or kFlushTime later (counted from the beginning of a TLS handshake
//    not yet done); close_now() makes one last try to hand over
//    what waits (in the clear only: a TLS record cannot be written past the
//    stream's own writes) and closes. Whatever ends it, the session hears
//    closed() once, from the loop.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "app/transport.h"
#include "app/way_in.h"

namespace app {

// The names of an accepted connection's peer: "ADDRESS:PORT" as the log
// names it ("unknown peer" when the socket has no peer any more), the
// address alone, and the key the logon throttle counts it under
// (LogonThrottle::source_key; "unknown" without a peer).
struct PeerNames {
    std::string peer, ip, address;
};

// Readies an accepted TCP connection for any way in, SSH's too: TCP_NODELAY
// (every way answers in pieces, a key's echo and then the line's reply, and
// without it the next piece waits up to 40 ms for the client's delayed
// acknowledgement of the last), and the names of its client.
PeerNames accept_connection(Accepted& connection);
// The names of a client at `endpoint` (none: "unknown peer").
PeerNames names_of(const asio::ip::tcp::endpoint& endpoint);

class StreamTransport : public TransportBase, public std::enable_shared_from_this<StreamTransport> {
public:
    using Log = std::function<void(std::string_view line)>;
    static constexpr std::chrono::seconds kHandshakeTime{60};

    StreamTransport(const StreamTransport&) = delete;
    StreamTransport& operator=(const StreamTransport&) = delete;

    void close_after_output() override;
    void close_now() override;

protected:
    enum class Limit { bounded, unbounded };

    // `log` takes one line per noteworthy event; with `tls` (the context of
    // the certificate served when the connection came, app/tls_certificate.h)
    // the stream is TLS. A connection marked to refuse a PROXY header is cut
    // off if its first read begins with one (in the clear only).
    StreamTransport(Accepted connection, Log log, std::shared_ptr<asio::ssl::context> tls);

    // One read, unless one is under way or the stream is closed.
    void read_stream();
    // Unbounded only for what the protocol answers by itself (the web
    // terminal's page, which is larger than the bound).
    void queue(std::string_view bytes, Limit limit = Limit::bounded);
    bool writing() const { return write_pending_ || !queued_.empty(); }
    std::size_t waiting() const { return queued_.size() + writing_.size(); }
    // Output is taken until the connection is cut off or closed: what is
    // sent while it closes after its output (a farewell) still goes out.
    bool sending() const { return state_ != State::closed && !cut_off_; }
    void cut_off(std::string_view why);
    void finish();  // closes the socket; the session is told from the loop
    asio::any_io_executor executor() { return socket_.get_executor(); }
    // The client's address and port (Accepted::client), and another client
    // named by a trusted proxy: the transport's names from now on.
    const asio::ip::tcp::endpoint& client() const { return client_; }
    void client_is(const asio::ip::tcp::endpoint& client);
    bool encrypted() const { return tls_ != nullptr; }

    virtual void on_stream(std::string_view bytes) = 0;
    // close_after_output() began: the protocol's goodbye, queued.
    virtual void closing() {}
    // close_now() began: the protocol's goodbye, returned to be written at once.
    virtual std::string last_words() { return {}; }
    // The stream wrote all it was given: more may be queued now.
    virtual void drained() {}
    // Whether the connection ends once the queue is written.
    virtual bool over() const { return state_ == State::closing; }
    // finish() closes the stream: the subclass lets go of its own.
    virtual void finished() {}

    const Log log_;

private:
    enum class Handshake { none, under_way, done };

    bool stream_open();  // else begins or awaits the TLS handshake
    void write();

    asio::ip::tcp::socket socket_;
    const std::shared_ptr<asio::ssl::context> tls_context_;
    // Over socket_, when the connection is TLS.
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
    Handshake handshake_ = Handshake::none;
    std::chrono::steady_clock::time_point handshake_began_;
    asio::steady_timer handshake_timer_;
    asio::steady_timer flush_timer_;
    bool cut_off_ = false;
    bool refuse_proxy_header_ = false;  // until the first read
    asio::ip::tcp::endpoint client_;

    std::array<char, kReadSize> read_buffer_{};
    bool reading_ = false;
    bool read_waiting_ = false;  // for the handshake

    std::string queued_;   // waiting for the next write
    std::string writing_;  // handed to the stream
    bool write_pending_ = false;
};

}  // namespace app
