// The metrics' HTTP side (bbshost --metrics-port): GET or HEAD /metrics
// answers the Prometheus text format, anything else a short error; each
// connection serves one request and is closed. A request head may take
// kRequestTime and kMaxHead bytes; at most kMaxConnections are served at
// once (more are closed at once). Runs on the host's loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>

namespace app {

class MetricsEndpoint {
public:
    static constexpr std::chrono::seconds kRequestTime{10};
    static constexpr std::size_t kMaxHead = 4096;
    static constexpr int kMaxConnections = 8;
    // The exposition at the time of a scrape.
    using Render = std::function<std::string()>;

    // REQUIRES: the endpoint outlives the loop's running (the exchanges
    // under way refer to it).
    explicit MetricsEndpoint(Render render) : render_(std::move(render)), exchanges_(std::make_shared<int>(0)) {}

    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // A connection the listener accepted (app/listeners.h).
    void accepted(asio::ip::tcp::socket socket);

private:
    class Exchange;
    Render render_;
    // Held by every exchange under way: its use count tells their number.
    std::shared_ptr<int> exchanges_;
};

}  // namespace app
