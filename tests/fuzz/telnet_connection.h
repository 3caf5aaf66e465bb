// One telnet session on a fresh host over loopback; a client's libtelnet records what comes back.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "app/server.h"
#include "tests/fuzz/fuzz.h"

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
    std::string text, error;                        // data; the first telnet error, if any
    std::vector<std::pair<int, int>> negotiations;  // (TELNET_EV_WILL/WONT/DO/DONT, option)
    std::vector<int> subnegotiations;               // their options
};

class TelnetConnection {
public:
    explicit TelnetConnection(int channels = 2);
    ~TelnetConnection();
    TelnetConnection(const TelnetConnection&) = delete;
    TelnetConnection& operator=(const TelnetConnection&) = delete;

    void send(std::string_view bytes);  // as far as the server takes them; the loop runs until it rests
    void hang_up();
    // After hang_up(): the session is closed and gone, no channel is online,
    // and the server sent well-formed telnet with CR LF line breaks only.
    void check_closed();
    bool closed_by_server() const { return closed_by_server_; }
    const ServerSaid& said() const { return said_; }
    std::chrono::steady_clock::duration longest_turn() const { return longest_turn_; }  // of one loop handler

private:
    bool pump();
    bool read_client();
    static void client_event(telnet_t*, telnet_event_t* event, void* self);

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
