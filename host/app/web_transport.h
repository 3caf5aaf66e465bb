// The web terminal as a transport (app/transport.h): HTTP and the WebSocket
// (web/web_session.h) over one TCP connection of the loop.
//
// A connection serves the page's files until a request upgrades it to the
// terminal's WebSocket; only then is it a session (the `upgraded` function
// given to begin() adopts it). The page's terminal is xterm.js: an ANSI
// terminal in character mode from the start, UTF-8 both ways; its window
// size comes as the page's control message (resized()).
//
// With a TLS context (tls_context()) the connection is HTTPS and WSS only:
// the TLS handshake comes first, bounded by the same kHttpIdle as a
// request head, and one that fails costs only its own connection.
//
// Input: one socket read at a time, and none while the session has not
// asked for more. Output: at most kMaxQueued bytes wait for a client that
// does not read, then he is cut off; close_after_output() waits at most
// kFlushTime for the queue to leave and the close handshake to end.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "app/transport.h"
#include "web/web_session.h"

namespace app {

class WebTransport final : public TransportBase, public std::enable_shared_from_this<WebTransport> {
public:
    // A connection that has not opened the WebSocket is closed after this
    // long without a request.
    static constexpr std::chrono::seconds kHttpIdle{60};
    using Log = std::function<void(std::string_view line)>;
    using Upgraded = std::function<void(std::shared_ptr<WebTransport>)>;

    // The server side of TLS with the certificate chain and the private key
    // of these PEM files. Throws std::runtime_error naming the file and
    // what is wrong with it.
    static std::unique_ptr<asio::ssl::context> tls_context(const std::string& cert_file,
                                                           const std::string& key_file);

    // `site` (and `tls`, when given) must outlive the transport.
    static std::shared_ptr<WebTransport> make(asio::ip::tcp::socket socket, const web::StaticSite& site, Log log,
                                              asio::ssl::context* tls = nullptr);
    ~WebTransport() override;

    WebTransport(const WebTransport&) = delete;
    WebTransport& operator=(const WebTransport&) = delete;

    // Serves HTTP until the WebSocket opens; then `upgraded` takes it.
    void begin(Upgraded upgraded);

    void start() override;
    void read() override;
    void send(std::string_view bytes) override;
    void local_echo(bool) override {}  // xterm.js never echoes
    bool character_mode() const override { return true; }
    void close_after_output() override;
    void close_now() override;
    std::string_view way() const override { return "web"; }

private:

    WebTransport(asio::ip::tcp::socket socket, const web::StaticSite& site, Log log, asio::ssl::context* tls);
    void read_socket();
    void arm_http_timer();
    void handle_events();  // what the last reads meant, as far as the session takes it
    void post_handling();
    void write();
    void cut_off(std::string_view why);
    void finish();

    asio::ip::tcp::socket socket_;
    // Over socket_, when the connection is TLS.
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
    asio::steady_timer flush_timer_;
    asio::steady_timer http_timer_;
    web::WebSession web_;
    Log log_;
    Upgraded upgraded_;
    bool adopted_ = false;    // a session has it
    bool started_ = false;    // the session started it
    bool wants_input_ = false;  // the session asked for the next read
    bool socket_reading_ = false;
    bool handling_posted_ = false;
    std::deque<web::WebSession::Event> events_waiting_;
    std::array<char, kReadSize> read_buffer_{};
    std::string writing_;
    bool write_pending_ = false;
};

}  // namespace app
