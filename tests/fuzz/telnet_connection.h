// One telnet session on a fresh host over loopback; a client's libtelnet records what comes back.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio.hpp>
#include <libtelnet.h>

#include "app/server.h"
#include "app/session.h"
#include "app/telnet_transport.h"
#include "tests/fuzz/fuzz.h"

namespace plusfuzz {

// Every CR is followed by LF and every LF follows a CR; a finding otherwise.
inline void only_crlf(std::string_view text, const std::string& what) {
    for (size_t i = 0; i < text.size(); ++i)
        if ((text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) ||
            (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')))
            fail(what + ": a lone CR or LF at " + std::to_string(i) + " in \"" +
                 shown(text.substr(i > 40 ? i - 40 : 0, 80)) + "\"");
}

// What the client's libtelnet made of the server's bytes.
struct ServerSaid {
    std::string text, error;                        // data; the first telnet error, if any
    std::vector<std::pair<int, int>> negotiations;  // (TELNET_EV_WILL/WONT/DO/DONT, option)
    std::vector<int> subnegotiations;               // their options
};

class TelnetConnection {
public:
    explicit TelnetConnection(int channels = 2)
        : channels_(channels), server_(io_, started(world_, channels).host(), on_loop()) {
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
        auto log = [this](std::string_view line) { world_.host().log(line); };
        session_ = server_.sessions().adopt(app::TelnetTransport::make(app::Accepted::as_is(std::move(server_end)), log));
        pump();
    }
    ~TelnetConnection() {
        if (client_ >= 0) ::close(client_);
        telnet_free(client_telnet_);
    }
    TelnetConnection(const TelnetConnection&) = delete;
    TelnetConnection& operator=(const TelnetConnection&) = delete;

    // As far as the server takes them; the loop runs until it rests.
    void send(std::string_view bytes) {
        while (!bytes.empty() && client_ >= 0) {
            const ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
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
    void hang_up() {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
        pump();
    }
    // After hang_up(): the session is closed and gone, no channel is online,
    // and the server sent well-formed telnet with CR LF line breaks only.
    void check_closed() {
        if (std::getenv("PLUS_FUZZ_TRACE")) std::fprintf(stderr, "%s\n", shown(said_.text).c_str());
        std::weak_ptr<app::Session> gone = session_;
        const bool closed = session_->closed();
        session_.reset();
        if (!closed) fail("the session is still open after the client hung up");
        if (!gone.expired()) fail("the session outlived its connection");
        for (int ch = 0; ch < channels_; ++ch)
            if (world_.host().online(ch)) fail("channel " + std::to_string(ch) + " is still online after the hang-up");
        if (!said_.error.empty()) fail("the server sent malformed telnet: " + said_.error);
        only_crlf(said_.text, "text the server sent");
    }
    bool closed_by_server() const { return closed_by_server_; }
    const ServerSaid& said() const { return said_; }
    std::chrono::steady_clock::duration longest_turn() const { return longest_turn_; }  // of one loop handler

private:
    static app::Server::Options on_loop() {
        app::Server::Options options;
        options.hashing = app::LogonGate::Hashing::on_loop;
        return options;
    }
    static void client_event(telnet_t*, telnet_event_t* ev, void* self) {
        ServerSaid& said = static_cast<TelnetConnection*>(self)->said_;
        switch (ev->type) {
        case TELNET_EV_DATA: said.text.append(ev->data.buffer, ev->data.size); break;
        case TELNET_EV_WILL: case TELNET_EV_WONT: case TELNET_EV_DO: case TELNET_EV_DONT:
            said.negotiations.emplace_back(ev->type, ev->neg.telopt);
            break;
        case TELNET_EV_SUBNEGOTIATION: said.subnegotiations.push_back(ev->sub.telopt); break;
        case TELNET_EV_ERROR: if (said.error.empty()) said.error = ev->error.msg ? ev->error.msg : "?"; break;
        default: break;
        }
    }

    // Runs the loop (one handler at a time, each timed) and reads what the server sent until neither
    // has more; false when the loop had nothing to do at all.
    bool pump() {
        using clock = std::chrono::steady_clock;
        bool any = false;
        for (size_t n = 0; n < 100000; ++n) {
            size_t ran = 0;
            for (auto start = clock::now(); io_.poll_one() != 0; start = clock::now(), ++ran)
                longest_turn_ = std::max(longest_turn_, clock::now() - start);
            io_.restart();
            const bool got = read_client();
            if (ran == 0 && !got) return any;
            any = true;
        }
        fail("the server never came to rest");
    }

    bool read_client() {
        bool got = false;
        char buffer[8192];
        while (client_ >= 0) {
            const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                closed_by_server_ = true;  // closed, or reset when it left input unread
            if (n <= 0) break;
            got = true;
            telnet_recv(client_telnet_, buffer, static_cast<size_t>(n));
        }
        return got;
    }

    int channels_;
    testing_support::World world_;
    asio::io_context io_;
    app::Server server_;
    std::shared_ptr<app::Session> session_;
    int client_ = -1;
    telnet_t* client_telnet_ = nullptr;
    ServerSaid said_;
    bool closed_by_server_ = false;
    std::chrono::steady_clock::duration longest_turn_{};
};

}  // namespace plusfuzz
