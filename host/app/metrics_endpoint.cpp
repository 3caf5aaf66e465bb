#include "app/metrics_endpoint.h"

#include <array>
#include <string_view>

#include "web/http_request.h"
#include "web/http_response.h"

namespace app {

// One request and its answer.
class MetricsEndpoint::Exchange : public std::enable_shared_from_this<Exchange> {
public:
    Exchange(asio::ip::tcp::socket socket, MetricsEndpoint& endpoint)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          endpoint_(endpoint),
          count_(endpoint.exchanges_),
          parser_(web::HttpLimits{1024, 32, kMaxHead}) {}

    void start() {
        timer_.expires_after(kRequestTime);
        timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec) self->close();
        });
        read();
    }

private:
    void read() {
        socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const std::error_code& ec,
                                                                                    std::size_t size) {
            if (ec) return self->close();
            std::string_view bytes(self->buffer_.data(), size);
            switch (self->parser_.feed(bytes)) {
                case web::HttpRequestParser::Status::incomplete: return self->read();
                case web::HttpRequestParser::Status::failed:
                    return self->answer(web::error_response(self->parser_.error_status(), self->parser_.error()));
                case web::HttpRequestParser::Status::complete: return self->answer(self->response());
            }
        });
    }

    web::HttpResponse response() {
        const web::HttpRequest& request = parser_.request();
        head_only_ = request.method == "HEAD";
        if (request.method != "GET" && !head_only_) {
            auto answer = web::error_response(405, "GET or HEAD only");
            answer.extra_headers.emplace_back("Allow", "GET, HEAD");
            return answer;
        }
        if (request.path != "/metrics") return web::error_response(404, "the metrics are at /metrics");
        web::HttpResponse answer;
        answer.content_type = "text/plain; version=0.0.4; charset=utf-8";
        answer.body = endpoint_.render_();
        answer.close = true;
        return answer;
    }

    void answer(const web::HttpResponse& response) {
        reply_ = response.serialize(std::chrono::system_clock::now(), head_only_);
        asio::async_write(socket_, asio::buffer(reply_),
                          [self = shared_from_this()](const std::error_code&, std::size_t) { self->close(); });
    }

    void close() {
        std::error_code ec;
        timer_.cancel();
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    MetricsEndpoint& endpoint_;
    std::shared_ptr<int> count_;  // the endpoint's exchanges_
    web::HttpRequestParser parser_;
    std::array<char, 1024> buffer_{};
    std::string reply_;
    bool head_only_ = false;
};

void MetricsEndpoint::accepted(asio::ip::tcp::socket socket) {
    // Every exchange holds a copy of exchanges_: its use count less one is their number.
    if (exchanges_.use_count() > kMaxConnections) {
        std::error_code ec;
        socket.close(ec);
        return;
    }
    std::make_shared<Exchange>(std::move(socket), *this)->start();
}

}  // namespace app
