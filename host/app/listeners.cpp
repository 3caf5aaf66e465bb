#include "app/listeners.h"

#include <algorithm>

namespace app {

std::optional<asio::ip::tcp::endpoint> Listeners::listen(std::string_view address, uint16_t port, Accepted accepted,
                                                         std::string* error) {
    std::error_code ec;
    const auto ip = asio::ip::make_address(std::string(address), ec);
    if (ec) {
        *error = "bad bind address \"" + std::string(address) + "\": " + ec.message();
        return std::nullopt;
    }
    const asio::ip::tcp::endpoint endpoint(ip, port);
    auto fail = [&](const char* what) {
        *error = std::string("cannot ") + what + " " + ip.to_string() + ":" + std::to_string(port) +
                 ": " + ec.message();
        return std::nullopt;
    };
    Listener listener(io_);
    auto& acceptor = listener.acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (ec) return fail("open a socket for");
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (ec) return fail("set options on");
    acceptor.bind(endpoint, ec);
    if (ec) return fail("bind");
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return fail("listen on");
    const auto bound = acceptor.local_endpoint(ec);
    if (ec) return fail("find the port of");
    listener.accepted = std::move(accepted);
    listeners_.push_back(std::move(listener));
    return bound;
}

void Listeners::start() {
    for (auto& listener : listeners_) accept(listener);
}

void Listeners::stop() {
    stopped_ = true;
    std::error_code ec;
    for (auto& listener : listeners_) {
        listener.acceptor.close(ec);
        listener.pause_timer.cancel();
    }
}

void Listeners::accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (stopped_ || ec == asio::error::operation_aborted) return;
        if (ec) {
            accept_failed(listener, ec);
            return;
        }
        if (listener.failures > 0) {
            log_("accepting again after " + std::to_string(listener.failures) + " failed accepts");
            listener.failures = 0;
            listener.pause = std::chrono::milliseconds(0);
        }
        listener.accepted(std::move(socket));
        accept(listener);
    });
}

void Listeners::accept_failed(Listener& listener, const std::error_code& ec) {
    if (listener.failures++ == 0)
        log_("accept failed: " + ec.message() + "; accepting pauses and retries (pauses of " +
             std::to_string(kFirstAcceptPause.count()) + " ms doubling to " +
             std::to_string(kMaxAcceptPause.count()) + " ms) until it works again");
    listener.pause = listener.pause.count() == 0 ? kFirstAcceptPause : std::min(listener.pause * 2, kMaxAcceptPause);
    listener.pause_timer.expires_after(listener.pause);
    listener.pause_timer.async_wait([this, &listener](const std::error_code& wait_ec) {
        if (!wait_ec && !stopped_) accept(listener);
    });
}

}  // namespace app
