// What systemd is told of a host it runs as a Type=notify service (through
// sd_notify, to $NOTIFY_SOCKET): READY=1 once every listener is up,
// STATUS= with the number of users on when it changes (at most once every
// kStatusInterval), WATCHDOG=1 from the loop every half of $WATCHDOG_USEC
// while the loop turns, and STOPPING=1 at shutdown. Without
// $NOTIFY_SOCKET it says nothing and sets no timer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <asio.hpp>

namespace app {

class SystemdNotify {
public:
    static constexpr std::chrono::seconds kStatusInterval{1};
    // The number of users on, when asked.
    using UsersOn = std::function<std::size_t()>;

    SystemdNotify(asio::io_context& io, UsersOn users_on);

    SystemdNotify(const SystemdNotify&) = delete;
    SystemdNotify& operator=(const SystemdNotify&) = delete;

    // Every listener is up: READY=1 with the first STATUS=, and the timer
    // of the watchdog and the status starts.
    void ready();
    // STOPPING=1; the timer ends.
    void stopping();

private:
    void tick();
    void send(const std::string& state);
    static std::string status(std::size_t users);

    asio::steady_timer timer_;
    UsersOn users_on_;
    bool enabled_ = false;                // $NOTIFY_SOCKET is set
    std::chrono::microseconds watchdog_{0};  // $WATCHDOG_USEC for us; 0: none
    std::chrono::steady_clock::duration interval_{};
    std::chrono::steady_clock::time_point last_status_{};
    std::size_t users_told_ = 0;
    bool stopped_ = false;
};

}  // namespace app
