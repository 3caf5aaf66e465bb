// Telnet as a transport (app/transport.h), on libtelnet over one TCP
// connection of the loop.
//
// Options: the host asks for the client's NAWS (its window size) and
// offers only its own ECHO, while the client's echo is to be off
// (local_echo(false)); it agrees to nothing else. Commands, negotiations
// and subnegotiations never reach the session.
//
// Input: one read of at most kReadSize bytes at a time. Compressed input is
// refused: the connection is cut off where it would begin (CompressionRefusal
// in app/wire.h), and so is it at a telnet protocol error; nothing of that
// read reaches the session.
//
// Output: IAC escaped; at most kMaxQueued bytes wait for a client that does
// not read, then he is cut off. close_after_output() waits at most
// kFlushTime for the queue to leave.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "app/transport.h"
#include "app/wire.h"

struct telnet_t;
union telnet_event_t;

namespace app {

class TelnetTransport final : public Transport, public std::enable_shared_from_this<TelnetTransport> {
public:
    static constexpr std::size_t kMaxQueued = 256 * 1024;
    static constexpr std::size_t kReadSize = 4096;
    static constexpr std::chrono::seconds kFlushTime{10};
    using Log = std::function<void(std::string_view line)>;

    // `log` takes one line per noteworthy event (cut-offs, protocol warnings).
    static std::shared_ptr<TelnetTransport> make(asio::ip::tcp::socket socket, Log log);
    ~TelnetTransport() override;

    TelnetTransport(const TelnetTransport&) = delete;
    TelnetTransport& operator=(const TelnetTransport&) = delete;

    void attach(Events events) override { events_ = std::move(events); }
    void start() override;
    void read() override;
    void send(std::string_view bytes) override;
    void local_echo(bool on) override;
    void close_after_output() override;
    void close_now() override;
    bool open() const override { return state_ == State::open; }
    bool closed() const override { return state_ == State::closed; }
    const std::string& peer() const override { return peer_; }
    const std::string& address() const override { return address_; }
    std::string_view way() const override { return "telnet"; }

private:
    enum class State { open, closing, closed };

    TelnetTransport(asio::ip::tcp::socket socket, Log log);
    static void on_telnet_event(telnet_t* telnet, telnet_event_t* event, void* self);
    void handle_event(telnet_event_t& event);
    void on_read(std::size_t n);
    void queue(const char* bytes, std::size_t size);
    void write();
    void cut_off(std::string_view why);  // closes from the loop
    void finish();                       // the socket closed, the session told
    // Output is taken until the connection is cut off or closed: what is
    // sent while it closes after its output (a farewell) still goes out.
    bool sending() const { return state_ != State::closed && !cut_off_; }

    asio::ip::tcp::socket socket_;
    asio::steady_timer flush_timer_;
    Log log_;
    telnet_t* telnet_ = nullptr;
    std::string peer_, address_;
    State state_ = State::open;
    bool cut_off_ = false;
    Events events_;

    CompressionRefusal compression_;
    std::array<char, kReadSize> read_buffer_{};
    std::string received_;       // the data of the read being parsed
    bool reading_ = false;

    std::string queued_;         // waiting for the next write
    std::string writing_;        // handed to the socket
    bool write_pending_ = false;
};

}  // namespace app
