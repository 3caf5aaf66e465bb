// For the fuzz targets of bbshost's telnet input: a fresh host (with the
// game and Brakvold Plus), a fresh server and one real telnet session on a
// loopback TCP connection. The target sends bytes as a client would; the
// loop runs after each piece, and what the server sends back is read with
// a client's libtelnet, which records every negotiation it sees.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "app/server.h"
#include "tests/fuzz/fuzz_world.h"

struct telnet_t;
union telnet_event_t;

namespace app {
class Session;
}

namespace plusfuzz {

// Every CR is followed by LF and every LF follows a CR; a finding otherwise.
void only_crlf(std::string_view text, const std::string& what);

// What the client's libtelnet made of the server's bytes.
struct ServerSaid {
    std::string text;                                // data
    std::string error;                               // the first telnet error, if any
    std::vector<std::pair<int, int>> negotiations;   // (TELNET_EV_WILL/WONT/DO/DONT, option)
    std::vector<int> subnegotiations;                // their options
};

class TelnetConnection {
public:
    explicit TelnetConnection(int channels = 2);
    ~TelnetConnection();
    TelnetConnection(const TelnetConnection&) = delete;
    TelnetConnection& operator=(const TelnetConnection&) = delete;

    // Sends the bytes (as far as the server takes them) and runs the loop
    // until it rests.
    void send(std::string_view bytes);
    void hang_up();
    // After hang_up(): the session is closed and gone, no channel is online,
    // and the server sent well-formed telnet with CR LF line breaks only.
    void check_closed();
    // Whether the server closed the connection (it cut the client off).
    bool closed_by_server() const { return closed_by_server_; }
    const ServerSaid& said() const { return said_; }
    // The longest any single handler of the loop ran (a turn of one session).
    std::chrono::steady_clock::duration longest_turn() const { return longest_turn_; }
    bbs::Host& host() { return world_.host(); }

private:
    bool pump();
    bool read_client();
    static void client_event(telnet_t*, telnet_event_t* event, void* self);

    int channels_;
    FuzzWorld world_;
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
