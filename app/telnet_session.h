// One telnet connection: the protocol (libtelnet), the logon dialogue, line
// assembly, and a bounded output queue. Once the password is verified the
// connection becomes a host channel and every line goes to the host.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "app/wire.h"

struct telnet_t;
union telnet_event_t;

namespace app {

class Server;

class TelnetSession : public std::enable_shared_from_this<TelnetSession> {
public:
    // A client that lets this much output pile up (it does not read) is cut off.
    static constexpr std::size_t kMaxQueued = 256 * 1024;
    static constexpr int kMaxLogonFailures = 3;
    // Bytes of one typed line the session keeps; the rest of the line is
    // dropped. The host then cuts the cleaned line to 255 (bbs/input.h).
    static constexpr std::size_t kMaxLine = 512;

    TelnetSession(Server& server, asio::ip::tcp::socket socket);
    ~TelnetSession();

    TelnetSession(const TelnetSession&) = delete;
    TelnetSession& operator=(const TelnetSession&) = delete;

    void start();  // negotiation, banner, first prompt, first read

    // Raw bytes a module sent the channel: line breaks to CR LF, IAC escaped.
    void send_module_output(std::string_view bytes);
    // Leaves the host, sends what is queued, then closes (logoff from the game).
    void close_after_output();
    // Host shutdown: a last word, leave the host, close without waiting.
    void shutdown(std::string_view farewell);

    int channel() const { return channel_; }
    void set_channel(int channel) { channel_ = channel; }
    const std::string& userid() const { return userid_; }
    const std::string& peer() const { return peer_; }
    bool closed() const { return state_ == State::closed; }

private:
    // penalized: a failed logon is being answered late; what the client
    // types meanwhile is dropped.
    enum class State { ask_userid, ask_password, penalized, online, closing, closed };

    static void on_telnet_event(telnet_t* telnet, telnet_event_t* event, void* self);
    void handle_event(telnet_event_t& event);
    void read();
    void on_line(std::string line);
    void on_userid(std::string_view text);
    void on_password(std::string_view text);
    void answer_failed_logon();
    void prompt_userid();
    void send_text(std::string_view text);       // host or session text, not a module's
    void queue_raw(const char* bytes, std::size_t size);
    void write();
    void cut_off(std::string_view why);          // later, from the loop
    void finish_close();                         // socket closed, server told
    void arm_logon_timer();

    Server& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    asio::steady_timer penalty_timer_;
    telnet_t* telnet_ = nullptr;
    std::string peer_;
    std::string address_;                        // the peer's address without the port
    State state_ = State::ask_userid;
    int channel_ = -1;
    std::string userid_;
    int failures_ = 0;
    bool echo_off_ = false;

    LineBreaks line_breaks_;
    LineAssembler assembler_{kMaxLine};
    std::vector<std::string> lines_;             // completed by the last read
    std::array<char, 4096> read_buffer_{};

    std::string queued_;                         // waiting for the next write
    std::string writing_;                        // handed to the socket
    bool write_pending_ = false;
    bool overflowed_ = false;
    int width_ = 80, height_ = 24;               // from NAWS
};

}  // namespace app
