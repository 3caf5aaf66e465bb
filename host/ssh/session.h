// What the host sees of one SSH client once its shell has started: a byte
// stream with a user, a peer address, a terminal type and a window size.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace ssh {

class SshSession {
public:
    // Where a session's events go. Every callback runs on the loop's thread,
    // never from inside a call the owner made (send, close).
    struct Events {
        std::function<void(std::string_view bytes)> on_data;     // what the user typed, raw: one read
        std::function<void(int width, int height)> on_resize;    // the client's window changed
        // Once, when the connection has ended for any reason, the owner's own
        // close() included. The events are dropped afterwards.
        std::function<void(std::string_view reason)> on_close;
    };

    virtual ~SshSession() = default;

    // From the start of the session on: the owner's events. Call it once.
    virtual void attach(Events events) = 0;
    // Asks for the next read: on_data comes once, with at most `at_most`
    // bytes, as soon as the client has sent any (from the start of the
    // channel on, none lost). Until the owner asks, his input stays with
    // libssh, whose channel window then fills and holds him back: a client
    // that sends faster than the owner reads is slowed, not cut off.
    virtual void read(std::size_t at_most) = 0;

    // Queues bytes for the user. False when the session is closing or closed,
    // or when this send overflowed the output queue: a client that does not
    // read is cut off (on_close follows).
    virtual bool send(std::string_view bytes) = 0;
    // Sends what is queued, then ends the session (bounded by a grace time).
    virtual void close() = 0;

    virtual bool is_open() const = 0;                // neither closing nor closed
    virtual std::size_t queued() const = 0;          // output bytes not yet handed to the connection
    virtual const std::string& user() const = 0;     // as authenticated
    virtual const std::string& peer() const = 0;     // "ADDRESS:PORT"
    virtual const std::string& peer_address() const = 0;
    virtual const std::string& terminal_type() const = 0;  // from pty-req; empty without one
    virtual int width() const = 0;                   // columns, 80 without a pty-req
    virtual int height() const = 0;                  // rows, 24 without a pty-req
};

}  // namespace ssh
