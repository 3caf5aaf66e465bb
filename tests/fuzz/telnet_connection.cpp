#include "tests/fuzz/telnet_connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <libtelnet.h>

#include "app/session.h"
#include "app/telnet_transport.h"

namespace plusfuzz {

constexpr size_t kMaxPumps = 100000;

void only_crlf(std::string_view text, const std::string& what) {
    for (size_t i = 0; i < text.size(); ++i)
        if ((text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) ||
            (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')))
            fail(what + ": a lone CR or LF at " + std::to_string(i) + " in \"" +
                 shown(text.substr(i > 40 ? i - 40 : 0, 80)) + "\"");
}

TelnetConnection::TelnetConnection(int channels)
    : channels_(channels), server_(io_, started(world_, channels).host(), app::Server::Hashing::on_loop) {
    // Every negotiation reaches the event handler (proxy mode), none is answered.
    client_telnet_ = telnet_init(nullptr, &TelnetConnection::client_event, TELNET_FLAG_PROXY, this);
    asio::ip::tcp::acceptor acceptor(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    asio::ip::tcp::socket client(io_), server_end(io_);
    std::error_code ec;
    client.connect(acceptor.local_endpoint(), ec);
    if (!ec) acceptor.accept(server_end, ec);
    if (!ec) client.set_option(asio::ip::tcp::no_delay(true), ec);  // when send() returns, a pump sees the piece
    if (!ec) client_ = client.release(ec);
    if (ec) fail("no loopback connection: " + ec.message());
    ::fcntl(client_, F_SETFL, ::fcntl(client_, F_GETFL) | O_NONBLOCK);
    session_ = server_.adopt(app::TelnetTransport::make(std::move(server_end), [this](std::string_view line) {
        world_.host().log(line);
    }));
    pump();
}

TelnetConnection::~TelnetConnection() {
    if (client_ >= 0) ::close(client_);
    telnet_free(client_telnet_);
}

void TelnetConnection::client_event(telnet_t*, telnet_event_t* ev, void* self) {
    ServerSaid& said = static_cast<TelnetConnection*>(self)->said_;
    switch (ev->type) {
    case TELNET_EV_DATA: said.text.append(ev->data.buffer, ev->data.size); break;
    case TELNET_EV_WILL: case TELNET_EV_WONT: case TELNET_EV_DO: case TELNET_EV_DONT: said.negotiations.emplace_back(ev->type, ev->neg.telopt); break;
    case TELNET_EV_SUBNEGOTIATION: said.subnegotiations.push_back(ev->sub.telopt); break;
    case TELNET_EV_ERROR: if (said.error.empty()) said.error = ev->error.msg ? ev->error.msg : "?"; break;
    default: break;
    }
}

void TelnetConnection::send(std::string_view bytes) {
    while (!bytes.empty() && client_ >= 0) {
        ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!pump()) return;  // the server reads nothing more
        } else {
            closed_by_server_ = true;  // the server closed the connection
            return;
        }
    }
    pump();
}

void TelnetConnection::hang_up() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
    pump();
}

void TelnetConnection::check_closed() {
    if (std::getenv("PLUS_FUZZ_TRACE"))  // what the client saw, on stderr
        std::fprintf(stderr, "%s\n", shown(said_.text).c_str());
    std::weak_ptr<app::Session> gone = session_;
    bool closed = session_->closed();
    session_.reset();
    if (!closed) fail("the session is still open after the client hung up");
    if (!gone.expired()) fail("the session outlived its connection");
    for (int ch = 0; ch < channels_; ++ch)
        if (world_.host().online(ch)) fail("channel " + std::to_string(ch) + " is still online after the hang-up");
    if (!said_.error.empty()) fail("the server sent malformed telnet: " + said_.error);
    only_crlf(said_.text, "text the server sent");
}

// Runs the loop and reads what the server sent until neither has more;
// false when the loop had nothing to do at all.
bool TelnetConnection::pump() {
    bool any = false;
    for (size_t n = 0; n < kMaxPumps; ++n) {
        size_t ran = 0;
        while (true) {  // one handler at a time, each timed
            const auto start = std::chrono::steady_clock::now();
            if (io_.poll_one() == 0) break;
            longest_turn_ = std::max(longest_turn_, std::chrono::steady_clock::now() - start);
            ++ran;
        }
        io_.restart();
        bool got = read_client();
        if (ran == 0 && !got) return any;
        any = true;
    }
    fail("the server never came to rest");
}

bool TelnetConnection::read_client() {
    if (client_ < 0) return false;
    bool got = false;
    char buffer[8192];
    while (true) {
        ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            closed_by_server_ = true;  // closed, or reset when it left input unread
        if (n <= 0) break;
        got = true;
        telnet_recv(client_telnet_, buffer, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace plusfuzz
