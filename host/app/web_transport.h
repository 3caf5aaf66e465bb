// The web terminal as a transport (app/transport.h): HTTP and the WebSocket
// (web/web_session.h) over one stream of the loop (app/stream_transport.h).
//
// A connection serves the page's files until a request upgrades it to the
// terminal's WebSocket; only then is it a session (the `upgraded` function
// given to begin() adopts it). The page's terminal is xterm.js: an ANSI
// terminal in character mode from the start, UTF-8 both ways; its window
// size comes as the page's control message (resized()).
//
// With a TLS context (app/tls_certificate.h) the connection is HTTPS and WSS only:
// the TLS handshake comes first, within kHttpIdle as a request head.
//
// Input: one stream read at a time, and none while the session has not
// asked for more. Output: what the web session has for the client (the
// page's files, the session's output, pongs and Closes) waits there until
// the stream has written what it had, so every reply counts against one
// bound, kMaxQueued bytes waiting: a session's output past it cuts the
// client off, a ping past it fails the WebSocket (1008) and a pipelined
// request past it ends the connection (web/web_session.h); one file of the
// page may be larger. close_after_output() waits at most kFlushTime for
// the queue to leave and the close handshake to end.
//
// Every request must name one of the origins in its Host field, and the
// WebSocket must be opened from a page of one of them (web/origins.h).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/network.h"
#include "app/stream_transport.h"
#include "web/web_session.h"

namespace app {

// Whose word the web terminal takes for its client: the proxies whose
// X-Forwarded-For or Forwarded fields name him (app/proxy_header.h:
// forwarded_client), from them alone; and the check of a client so named,
// true when he is refused (banned: logged, and the connection ends
// unanswered).
struct ForwardedClients {
    NetworkList trusted;
    std::function<bool(const asio::ip::tcp::endpoint& client)> refused;
};

class WebTransport final : public StreamTransport {
public:
    // A connection that has not opened the WebSocket is closed after this
    // long without a request.
    static constexpr std::chrono::seconds kHttpIdle{60};
    using Upgraded = std::function<void(std::shared_ptr<WebTransport>)>;

    // `site` (and `forwarded`, when given) must outlive the transport; with
    // `tls` it is HTTPS (StreamTransport).
    static std::shared_ptr<WebTransport> make(Accepted connection, const web::StaticSite& site,
                                              const web::WebOrigins& origins, Log log,
                                              std::shared_ptr<asio::ssl::context> tls = nullptr,
                                              const ForwardedClients* forwarded = nullptr);

    // Serves HTTP until the WebSocket opens; then `upgraded` takes it.
    void begin(Upgraded upgraded);

    void start() override;
    void read() override;
    void send(std::string_view bytes) override;
    void local_echo(bool) override {}  // xterm.js never echoes
    bool character_mode() const override { return true; }
    std::string_view way() const override { return "web"; }

private:
    WebTransport(Accepted connection, const web::StaticSite& site, const web::WebOrigins& origins, Log log,
                 std::shared_ptr<asio::ssl::context> tls, const ForwardedClients* forwarded);
    // The upgrade came through a trusted proxy: the client it names is the
    // session's (false: he is refused).
    bool forwarded_by_proxy(const std::vector<std::string>& hops);
    std::shared_ptr<WebTransport> self() { return std::static_pointer_cast<WebTransport>(shared_from_this()); }
    void arm_http_timer();
    void on_stream(std::string_view bytes) override;
    void handle_events();  // what the last reads meant, as far as the session takes it
    void post_handling();
    // What the web session has for the client goes to the stream, once the
    // stream has written what it had.
    void flush();
    void drained() override { flush(); }
    void closing() override;
    std::string last_words() override;
    bool over() const override { return web_.finished() && web_.pending_output() == 0; }
    void finished() override;

    const ForwardedClients* const forwarded_;  // none: the peer is the client
    asio::steady_timer http_timer_;
    web::WebSession web_;
    Upgraded upgraded_;
    bool adopted_ = false;    // a session has it
    bool started_ = false;    // the session started it
    bool wants_input_ = false;  // the session asked for the next read
    bool handling_posted_ = false;
    std::deque<web::WebSession::Event> events_waiting_;
};

}  // namespace app
