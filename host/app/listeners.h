// The listening sockets of the ways in. listen() binds and listens
// (SO_REUSEADDR, the system's longest backlog); from start() until stop()
// every connection accepted there goes to that listener's `accepted`, as
// it is (each way readies its connections: accept_connection in
// app/stream_transport.h).
//
// When accepting fails (no file handle to spare, ...) the connection stays
// in the listen queue and an immediate retry would spin: the listener
// pauses, kFirstAcceptPause doubling to kMaxAcceptPause, logs the burst
// once and says when it accepts again. The others go on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>

#include <asio.hpp>

namespace app {

class Listeners {
public:
    using Accepted = std::function<void(asio::ip::tcp::socket socket)>;
    using Log = std::function<void(std::string_view line)>;
    static constexpr std::chrono::milliseconds kFirstAcceptPause{10};
    static constexpr std::chrono::milliseconds kMaxAcceptPause{1000};

    Listeners(asio::io_context& io, Log log) : io_(io), log_(std::move(log)) {}

    Listeners(const Listeners&) = delete;
    Listeners& operator=(const Listeners&) = delete;

    // The address bound (port 0: the one the system chose), or none with
    // *error saying what failed where (address in use, bad address...).
    // REQUIRES: before start().
    std::optional<asio::ip::tcp::endpoint> listen(std::string_view address, uint16_t port, Accepted accepted,
                                                  std::string* error);
    void start();
    void stop();  // closes every listening socket

private:
    struct Listener {
        explicit Listener(asio::io_context& io) : acceptor(io), pause_timer(io) {}
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer pause_timer;
        Accepted accepted;
        std::chrono::milliseconds pause{0};
        long failures = 0;  // in the current burst
    };

    void accept(Listener& listener);
    void accept_failed(Listener& listener, const std::error_code& ec);

    asio::io_context& io_;
    Log log_;
    std::list<Listener> listeners_;
    bool stopped_ = false;
};

}  // namespace app
