#include "web/web_session.h"

#include <utility>

namespace web {

WebSession::WebSession(const StaticSite& site, WebConfig config)
    : site_(site), config_(std::move(config)), parser_(config_.http) {}

void WebSession::feed(std::string_view bytes, std::vector<Event>& events) {
    while (!http_done_ && !socket_ && !bytes.empty()) {
        const auto status = parser_.feed(bytes);
        if (status == HttpRequestParser::Status::incomplete) break;
        if (status == HttpRequestParser::Status::failed) {
            refuse(error_response(parser_.error_status(), parser_.error()));
            break;
        }
        if (output_.size() >= config_.max_http_output) {
            refused_ = "pipelined requests while " + std::to_string(output_.size()) + " bytes of answers wait";
            http_done_ = true;
            break;
        }
        answer(parser_.request(), events);
        parser_.reset();
    }
    if (socket_) feed_socket(bytes, events);
}

void WebSession::answer(const HttpRequest& request, std::vector<Event>& events) {
    const bool head = request.method == "HEAD";
    if (request.count("host") != 1) return refuse(error_response(400, "a request names its host in one Host field"), head);
    if (!config_.origins.serves_host(*request.header("host")))
        return refuse(error_response(421, "this server does not answer for that host name"), head);
    if (request.path == config_.websocket_path) {
        auto handshake = answer_websocket_upgrade(request, config_.origins);
        if (!handshake.accepted) return refuse(handshake.refusal, head);
        output_ += handshake.switching;
        socket_.emplace(config_.websocket);
        events.push_back({Event::Kind::started, {}, {}, forwarded_for(request)});
        return;
    }
    if (request.method != "GET" && !head) {
        auto response = error_response(405, "only GET and HEAD are served here");
        response.extra_headers.emplace_back("Allow", "GET, HEAD");
        return refuse(response);
    }
    const StaticFile* file = site_.find(request.path);
    if (!file) return refuse(error_response(404, "no such page"), head);
    HttpResponse response;
    response.content_type = file->content_type;
    response.cache_control = "no-cache";
    response.close = !request.keep_alive();
    output_ += response.head(config_.clock(), file->body.size());
    if (!head) output_ += file->body;
    http_done_ = response.close;
}

void WebSession::refuse(const HttpResponse& response, bool head_only) {
    refused_ = response.body;
    while (!refused_.empty() && refused_.back() == '\n') refused_.pop_back();
    output_ += response.serialize(config_.clock(), head_only);
    http_done_ = true;
}

void WebSession::feed_socket(std::string_view bytes, std::vector<Event>& events) {
    std::vector<WebSocket::Message> messages;
    socket_->feed(bytes, messages);
    for (const auto& message : messages) {
        const auto meaning = read_terminal_message(message.text, message.data);
        if (meaning.kind == TerminalMessage::Kind::input && !meaning.input.empty())
            events.push_back({Event::Kind::input, std::string(meaning.input), {}});
        else if (meaning.kind == TerminalMessage::Kind::window_size)
            events.push_back({Event::Kind::window_size, {}, meaning.size});
    }
    if (socket_->state() == WebSocket::State::closed && !ended_) {
        ended_ = true;
        events.push_back({Event::Kind::ended, {}, {}});
    }
}

void WebSession::send(std::string_view output) {
    if (socket_) socket_->send_binary(output);
}

void WebSession::close(std::uint16_t code, std::string_view reason) {
    if (socket_) socket_->close(code, reason);
    else http_done_ = true;
}

std::string WebSession::take_output() {
    std::string out = std::exchange(output_, std::string());
    if (socket_) out += socket_->take_output();
    return out;
}

std::size_t WebSession::pending_output() const { return output_.size() + (socket_ ? socket_->pending_output() : 0); }

bool WebSession::finished() const {
    return socket_ ? socket_->state() == WebSocket::State::closed : http_done_;
}

std::string WebSession::problem() const {
    if (socket_ && !socket_->failure().empty()) return "WebSocket: " + socket_->failure();
    return refused_;
}

}  // namespace web
