#include "app/web_transport.h"

#include <utility>
#include <vector>

#include "app/proxy_header.h"
#include "text/utf8.h"

namespace app {

namespace {

web::WebConfig config(const web::WebOrigins& origins) {
    web::WebConfig config;
    config.origins = origins;
    config.websocket.max_output = TransportBase::kMaxQueued;
    config.max_http_output = TransportBase::kMaxQueued;
    return config;
}

}  // namespace

std::shared_ptr<WebTransport> WebTransport::make(Accepted connection, const web::StaticSite& site,
                                                 const web::WebOrigins& origins, Log log,
                                                 std::shared_ptr<asio::ssl::context> tls,
                                                 const ForwardedClients* forwarded) {
    return std::shared_ptr<WebTransport>(
        new WebTransport(std::move(connection), site, origins, std::move(log), std::move(tls), forwarded));
}

WebTransport::WebTransport(Accepted connection, const web::StaticSite& site, const web::WebOrigins& origins,
                           Log log, std::shared_ptr<asio::ssl::context> tls, const ForwardedClients* forwarded)
    : StreamTransport(std::move(connection), std::move(log), std::move(tls)),
      forwarded_(forwarded),
      http_timer_(executor()),
      web_(site, config(origins)) {}

void WebTransport::begin(Upgraded upgraded) {
    upgraded_ = std::move(upgraded);
    arm_http_timer();
    read_stream();  // after the TLS handshake, when there is one
}

void WebTransport::arm_http_timer() {
    http_timer_.expires_after(kHttpIdle);
    http_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = std::static_pointer_cast<WebTransport>(weak.lock());
        if (!ec && self && !self->adopted_) self->finish();
    });
}

void WebTransport::start() {
    started_ = true;
    // Character mode from the start, told from the loop; then the first
    // read, with the input that came with the upgrade.
    asio::post(executor(), [self = self()] {
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
    asio::post(executor(), [self = self()] {
        self->handling_posted_ = false;
        self->handle_events();
    });
}

void WebTransport::on_stream(std::string_view bytes) {
    if (!adopted_) arm_http_timer();
    std::vector<web::WebSession::Event> events;
    web_.feed(bytes, events);
    for (const auto& event : events)
        if (event.kind == web::WebSession::Event::Kind::started && !adopted_ && !forwarded_by_proxy(event.forwarded_for))
            return finish();
    for (auto& event : events) events_waiting_.push_back(std::move(event));
    flush();  // the page's files, the WebSocket's own frames
    handle_events();
}

bool WebTransport::forwarded_by_proxy(const std::vector<std::string>& hops) {
    if (!forwarded_ || !forwarded_->trusted.contains(client().address())) return true;
    auto named = proxy::forwarded_client(hops, forwarded_->trusted);
    if (!named) return true;
    if (named->port() == 0) named->port(client().port());  // none named: the proxy's connection tells them apart
    if (forwarded_->refused && forwarded_->refused(*named)) return false;
    log_("proxy " + peer_ + " passes on a connection from " + names_of(*named).peer);
    client_is(*named);
    return true;
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
            if (upgraded_) upgraded_(self());  // the session starts it
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
        if (!writing() && over()) finish();
        return;
    }
    // The next read once the session wants more (before the upgrade, always).
    if (!adopted_ || wants_input_ || state_ == State::closing) read_stream();
}

void WebTransport::send(std::string_view bytes) {
    if (!sending()) return;
    web_.send(bytes);
    if (waiting() + web_.pending_output() > kMaxQueued) return cut_off("output queue full (the client does not read)");
    flush();
}

void WebTransport::flush() {
    if (!writing() && sending()) queue(web_.take_output(), Limit::unbounded);
}

void WebTransport::closing() {
    web_.close(web::close_code::normal);
    flush();
    read_stream();  // for the client's answer to the close
}

std::string WebTransport::last_words() {
    web_.close(web::close_code::going_away);
    return web_.take_output();
}

void WebTransport::finished() {
    const std::string problem = web_.problem();
    if (!problem.empty()) log_("web client " + peer_ + ": " + text::log_excerpt(problem));
    http_timer_.cancel();
    events_waiting_.clear();
}

}  // namespace app
