// One SSH client, from the TCP connection to the end of its session: key
// exchange, authentication, the session channel and its byte stream. Every
// step is driven by socket readiness on the io_context's thread; no libssh
// call made here waits (the session is non-blocking, polled with timeout 0).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <asio.hpp>
#include <libssh/callbacks.h>

#include "ssh/handles.h"
#include "ssh/listener.h"

namespace ssh {

class Connection;

// What the listener and its connections share; outlives the listener while
// a connection still refers to it.
struct ListenerState {
    ListenerState(asio::io_context& io, ListenerOptions options) : io(io), options(std::move(options)) {}

    void log(std::string_view line) const {
        if (options.log) options.log(line);
    }

    asio::io_context& io;
    ListenerOptions options;
    BindHandle bind;
    std::set<std::shared_ptr<Connection>> connections;
};

class Connection final : public SshSession, public std::enable_shared_from_this<Connection> {
public:
    // Output handed to libssh at once, at most: the next piece goes only
    // when this one has left for the socket.
    static constexpr uint32_t kChunk = 16 * 1024;
    // Readiness rounds in one turn before the loop serves others.
    static constexpr int kRoundsPerTurn = 16;
    // Input libssh may hold for the owner: what the channel's window lets a
    // client send ahead (libssh 0.10 grows the window back to 1.28 MB after
    // a read, and when little of it is left and nothing waits). The owner
    // takes all of it at once, once he has read what he took before, so
    // that nothing waits in libssh when it grows the window: the host holds
    // at most two windows of a client's input. More is a client that sends
    // past his window: he is cut off.
    static constexpr std::size_t kMaxHeldInput = 2 * 1024 * 1024;
    // Authentication requests sent ahead while one waits for its verdict.
    static constexpr std::size_t kMaxWaitingAuth = 4;

    Connection(std::shared_ptr<ListenerState> state, asio::ip::tcp::socket socket, Peer peer);
    ~Connection() override;

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();                     // after construction, once
    // Now, without flushing; idempotent. The log says why unless `logged`
    // (the owner did).
    void end(std::string reason, bool logged = false);

    // ---- SshSession ----
    void attach(Events events) override;
    void read(std::size_t at_most) override;
    bool send(std::string_view bytes) override;
    void close() override;
    bool is_open() const override { return phase_ == Phase::session; }
    std::size_t queued() const override { return outbox_.size() - outbox_head_; }
    const std::string& user() const override { return user_; }
    const std::string& peer() const override { return peer_; }
    const std::string& peer_address() const override { return address_; }
    const std::string& terminal_type() const override { return terminal_; }
    int width() const override { return width_; }
    int height() const override { return height_; }

private:
    enum class Phase { key_exchange, authentication, authenticated, session, closing, closed };

    struct PendingAuth {  // an authentication request waiting for the host's verdict
        MessageHandle message;
        std::string user;
        std::string method;
        uint64_t ticket = 0;
    };

    // libssh channel callbacks: they only record; the owner hears later.
    static int on_channel_data(ssh_session, ssh_channel, void* data, uint32_t len, int is_stderr, void* self);
    static void on_channel_eof(ssh_session, ssh_channel, void* self);
    static void on_channel_close(ssh_session, ssh_channel, void* self);

    void pump();                      // drive libssh while the socket is ready, bounded
    void drive();                     // one libssh step: key exchange or poll
    void settle();                    // messages, input to the owner, output, closing
    bool socket_ready() const;
    void keep_nonblocking();
    void check_alive();
    void arm_waits();
    void post_pump();
    void begin_authentication();
    void release(LogonEnd how);       // the logon is over: admitted no more

    void handle_messages();
    void handle(MessageHandle message);
    void on_auth_request(MessageHandle message);
    void evaluate_auth(MessageHandle message);
    void check_public_key(MessageHandle message, const std::string& user);
    void ask_host(MessageHandle message, std::string user, std::string method, std::string_view password);
    void give_verdict(uint64_t ticket, AuthVerdict verdict);
    void accept(MessageHandle message, std::string user, std::string_view method);
    void refused(std::string_view user, std::string_view method);
    void evaluate_waiting();
    void on_channel_open(MessageHandle message);
    void on_channel_request(MessageHandle message);
    void refuse(MessageHandle message, std::string_view what);
    void start_session();

    void deliver_input();
    bool hand_over_input();           // one read's worth; false when the session ended
    void flush_output();
    bool piece_in_flight() const;
    void begin_closing(std::string reason);
    void progress_closing();
    std::string libssh_error() const;
    void log(std::string_view line) const;

    std::shared_ptr<ListenerState> state_;
    asio::ip::tcp::socket socket_;    // the host's; libssh works on a duplicate
    asio::steady_timer logon_timer_;
    asio::steady_timer banner_timer_;
    asio::steady_timer close_timer_;
    const int fd_;                    // socket_'s, for poll() and fcntl()
    std::string peer_, address_;

    Phase phase_ = Phase::key_exchange;
    bool admitted_ = false;           // let in by options.admit, not yet released
    LogonEnd ending_ = LogonEnd::left;  // how the logon ends if the connection ends now
    bool read_armed_ = false, write_armed_ = false, pump_posted_ = false;
    bool pumping_ = false;            // inside pump()
    bool unflushed_ = false;          // sent to inside pump() since its last flush_output()

    // Declared in the order libssh needs them freed in reverse.
    ssh_counter_struct socket_counter_{};           // bytes libssh really wrote
    ssh_channel_callbacks_struct channel_callbacks_{};
    SessionHandle session_;
    EventHandle event_;
    ChannelHandle channel_;
    std::optional<PendingAuth> pending_;
    uint64_t auth_tickets_ = 0;
    std::deque<MessageHandle> waiting_auth_;

    int auth_requests_ = 0, password_failures_ = 0;
    std::string interactive_user_;    // of the keyboard-interactive exchange under way

    std::string user_, terminal_;
    int width_ = 80, height_ = 24;
    bool shell_started_ = false;
    Events events_;
    bool attached_ = false;
    std::size_t held_ = 0;            // input libssh holds for the owner
    std::string inbox_;               // taken from libssh; handed over up to inbox_head_
    std::size_t inbox_head_ = 0;
    std::size_t wanted_ = 0;          // the owner asked for a read of at most this much
    bool input_turn_ = false;         // one read per pump
    bool resized_ = false, client_eof_ = false, client_closed_ = false;

    std::string outbox_;              // output not yet handed to libssh
    std::size_t outbox_head_ = 0;
    uint64_t piece_mark_ = 0;         // socket bytes written when the last piece was handed over
    uint32_t piece_size_ = 0;
    bool eof_sent_ = false;
    std::string closing_reason_;
};

}  // namespace ssh
