// One telnet connection: the protocol (libtelnet), the logon dialogue, line
// assembly, and a bounded output queue. Once the password is verified the
// connection becomes a host channel and every line goes to the host.
//
// Input is handled in bounded time and memory: one read of at most
// kReadSize bytes at a time, of which at most kLinesPerTurn lines are
// handled before the session yields to the loop (other sessions, timers,
// signals) and takes the next ones; it reads again only when every line of
// the last read is handled. Compressed input is refused (the connection is
// cut off where it would begin: CompressionRefusal in app/wire.h), and a
// session that is cut off or closing hands nothing more to the host.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

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
    static constexpr std::size_t kReadSize = 4096;
    static constexpr std::size_t kLinesPerTurn = 8;
    // The logon dialogue must be over within this time.
    static constexpr std::chrono::seconds kLogonTime{120};

    TelnetSession(Server& server, asio::ip::tcp::socket socket);
    ~TelnetSession();

    TelnetSession(const TelnetSession&) = delete;
    TelnetSession& operator=(const TelnetSession&) = delete;

    void start();  // negotiation, banner, first prompt, first read
    // The logon throttle refused the connection: says so, then closes.
    void refuse(std::string_view message);
    // The answer to the password typed (Server::check_password).
    void password_checked(bool ok);

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
    // What the logon throttle counts this connection under.
    const std::string& address() const { return address_; }
    bool closed() const { return state_ == State::closed; }

private:
    // checking: the password is being verified; lines typed meanwhile wait.
    enum class State { ask_userid, ask_password, checking, online, closing, closed };

    static void on_telnet_event(telnet_t* telnet, telnet_event_t* event, void* self);
    void handle_event(telnet_event_t& event);
    void read();
    void on_read(std::size_t n);
    void handle_lines();                         // one turn's worth, then yield or read
    void on_line(std::string line);
    void on_userid(std::string_view text);
    void on_password(std::string_view text);
    void prompt_userid();
    void leave_dialogue();                       // the throttle stops counting this connection
    void send_text(std::string_view text);       // host or session text, not a module's
    void queue_raw(const char* bytes, std::size_t size);
    void write();
    void cut_off(std::string_view why);          // later, from the loop
    void finish_close();                         // socket closed, server told
    void arm_logon_timer();

    Server& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    telnet_t* telnet_ = nullptr;
    std::string peer_;
    std::string address_;                        // the peer's address without the port
    State state_ = State::ask_userid;
    int channel_ = -1;
    std::string userid_;
    int failures_ = 0;
    bool echo_off_ = false;
    bool in_dialogue_ = false;                   // counted by the throttle as logging on
    bool attempt_open_ = false;                  // a password was asked for and not yet typed

    LineBreaks line_breaks_;
    LineAssembler assembler_{kMaxLine};
    CompressionRefusal compression_;
    std::deque<std::string> lines_;              // completed and not yet handled
    bool reading_ = false;
    bool turn_posted_ = false;
    std::array<char, kReadSize> read_buffer_{};

    std::string queued_;                         // waiting for the next write
    std::string writing_;                        // handed to the socket
    bool write_pending_ = false;
    bool overflowed_ = false;
    int width_ = 80, height_ = 24;               // from NAWS
};

}  // namespace app
