#include "app/systemd_notify.h"

#include <cstdlib>

#include <systemd/sd-daemon.h>

namespace app {

SystemdNotify::SystemdNotify(asio::io_context& io, UsersOn users_on) : timer_(io), users_on_(std::move(users_on)) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    if (enabled_ && sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
    interval_ = kStatusInterval;
    if (watchdog_.count() > 0 && watchdog_ / 2 < interval_) interval_ = watchdog_ / 2;
}

std::string SystemdNotify::status(std::size_t users) {
    return "STATUS=" + std::to_string(users) + (users == 1 ? " user on" : " users on");
}

void SystemdNotify::ready() {
    if (!enabled_) return;
    users_told_ = users_on_();
    last_status_ = std::chrono::steady_clock::now();
    send("READY=1\n" + status(users_told_));
    tick();
}

void SystemdNotify::stopping() {
    if (!enabled_ || stopped_) return;
    stopped_ = true;
    timer_.cancel();
    send("STOPPING=1\n" + status(users_on_()));
}

void SystemdNotify::tick() {
    if (stopped_) return;
    if (watchdog_.count() > 0) send("WATCHDOG=1");
    const auto now = std::chrono::steady_clock::now();
    const std::size_t users = users_on_();
    if (users != users_told_ && now - last_status_ >= kStatusInterval) {
        users_told_ = users;
        last_status_ = now;
        send(status(users));
    }
    timer_.expires_after(interval_);
    timer_.async_wait([this](const std::error_code& ec) {
        if (!ec) tick();
    });
}

void SystemdNotify::send(const std::string& state) { sd_notify(0, state.c_str()); }

}  // namespace app
