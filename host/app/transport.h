// One client connection as a session sees it, whatever protocol carries it
// (telnet, SSH, a web terminal): bytes in and out, the window's size and
// the terminal's type when the client tells them, and the end.
//
// Contract:
//  - Input comes one read at a time: after start(), and after each
//    received(), nothing more is received until the session asks with
//    read(). So a session that is busy with what it has holds the client
//    back. The protocol's own bytes are the transport's business and never
//    reach the session; a read that brings nothing else is followed by the
//    next at once.
//  - send() queues terminal bytes for the user; the queue is bounded, and a
//    client that lets it fill up (he does not read) is cut off. Once cut
//    off or closing, open() is false and nothing more is received; what is
//    sent while closing after the output still goes out, and once cut off
//    or closed sends are dropped.
//  - close_after_output() sends what is queued, then closes (bounded by a
//    grace time); close_now() makes one last try to hand the queue to the
//    socket without waiting and closes.
//  - Every event runs on the loop, never from inside a call the session
//    made; closed() comes once, whatever ended the connection, and then no
//    event comes any more.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "app/client_kind.h"

struct PublicUserInfo;

namespace app {

class Transport {
public:
    struct Events {
        std::function<void(std::string_view bytes)> received;          // what the user typed
        std::function<void(int width, int height)> resized;            // his window, when told
        std::function<void(std::string_view name)> terminal_type;      // his terminal, when told
        std::function<void()> closed;
        // Character mode began or ended (character_mode()).
        std::function<void()> modes_changed;
        // The client is not a terminal (app/client_kind.h): told once, when known.
        std::function<void(ClientKind kind)> client_known;
        // wants_character() became true.
        std::function<void()> character_wanted;
    };

    virtual ~Transport() = default;

    // The events go to `events` from now on; call it once, first.
    virtual void attach(Events events) = 0;
    // Greets the client as the protocol wants (options offered) and begins
    // the first read. A connection refused at once is not started: it is
    // sent its refusal and closed.
    virtual void start() = 0;
    virtual void read() = 0;

    virtual void send(std::string_view bytes) = 0;
    // Whether the client's terminal shows what the user types itself. A
    // telnet client in line mode does until the host takes over the echo;
    // where the host echoes anyway (character mode) this changes nothing.
    virtual void local_echo(bool on) = 0;
    // Character mode: the client sends each key as it is typed and shows
    // nothing itself; the host echoes and edits the line. Asked for once the
    // user is on; it begins (modes_changed) only when the client agrees,
    // and ends when he takes that back.
    virtual void want_character_mode() {}
    virtual bool character_mode() const { return false; }
    // The host printed a prompt and waits for the user: marked where the
    // protocol has a way to (telnet: EOR or GA).
    virtual void end_prompt() {}

    // The user's character as the game has it now, for a client that is
    // told it out of band (telnet's GMCP: app/gmcp.h), when wants_character().
    virtual bool wants_character() const { return false; }
    virtual void character(const PublicUserInfo&) {}

    virtual void close_after_output() = 0;
    virtual void close_now() = 0;

    virtual bool open() const = 0;
    virtual bool closed() const = 0;
    // The peer as the log names it ("ADDRESS:PORT"), its address alone, and
    // the key the logon throttle counts it under (LogonThrottle::source_key).
    virtual const std::string& peer() const = 0;
    virtual const std::string& ip() const = 0;
    virtual const std::string& address() const = 0;
    // The way in as a sysop's `who` names it: "telnet", "telnets" (inside
    // TLS), "ssh", "web".
    virtual std::string_view way() const = 0;
    // The account's user-ID when the protocol has logged the user on
    // already (SSH): the session skips its logon dialogue. Empty otherwise.
    virtual const std::string& logged_on_as() const {
        static const std::string nobody;
        return nobody;
    }
    // The user came to sign up (SSH's user `new`): the logon dialogue
    // begins with the sign-up.
    virtual bool signing_up() const { return false; }
};

// What every transport keeps alike: the session's events, whether the
// connection is open, closing or closed, and the peer's names.
class TransportBase : public Transport {
public:
    static constexpr std::size_t kReadSize = 4096;        // bytes asked of the socket at a time
    static constexpr std::size_t kMaxQueued = 256 * 1024;  // output waiting before a client is cut off
    static constexpr std::chrono::seconds kFlushTime{10};  // close_after_output's grace time

    void attach(Events events) override { events_ = std::move(events); }
    bool open() const override { return state_ == State::open; }
    bool closed() const override { return state_ == State::closed; }
    const std::string& peer() const override { return peer_; }
    const std::string& ip() const override { return ip_; }
    const std::string& address() const override { return address_; }

protected:
    enum class State { open, closing, closed };
    Events events_;
    State state_ = State::open;
    std::string peer_, ip_, address_;
};

}  // namespace app
