// The SSH server side of the host: the host key, the authentication
// callbacks, and every SSH connection, all driven by one Asio io_context on
// its own thread (no thread per client). The host keeps its own accept loop
// and hands each accepted socket over with adopt().
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "ssh/keys.h"
#include "ssh/session.h"

namespace ssh {

// The host's answer to a logon attempt. Refused with a reason: the
// connection is closed, the reason its disconnect message (a logon
// throttle's refusal; turned_away: the client proved who he is, and may
// not log on all the same, a locked account).
struct AuthVerdict {
    bool accept = false;
    std::string close_reason;
    bool proved = false;

    static AuthVerdict accepted() { return {true, {}, true}; }
    static AuthVerdict refused(std::string close_reason = {}) { return {false, std::move(close_reason), false}; }
    static AuthVerdict turned_away(std::string close_reason) { return {false, std::move(close_reason), true}; }
};

// Gives the verdict on an attempt, at once or later (after work on another
// thread), from the loop's thread. The request waits for it unanswered
// meanwhile and the loop serves everybody else; an answer that comes after
// the connection ended is dropped.
using AuthAnswer = std::function<void(AuthVerdict)>;

struct PasswordAttempt {
    std::string_view user;
    std::string_view password;
    std::string_view peer_address;  // without the port
};

struct PublicKeyOffer {
    std::string_view user;
    const PublicKeyText& key;
    std::string_view peer_address;
};

struct Limits {
    // From the connection to the start of the shell: key exchange,
    // authentication and channel set-up must fit in it.
    std::chrono::milliseconds logon_time{std::chrono::seconds(60)};
    // The client's version line (its SSH banner), the first thing every
    // client sends, must have come within this from the connection.
    std::chrono::milliseconds banner_time{std::chrono::seconds(5)};
    int max_password_failures = 3;       // refused passwords, both methods
    int max_auth_requests = 12;          // authentication requests of any kind
    std::size_t max_queued_output = 256 * 1024;
    // close(): how long the queued output may take to leave.
    std::chrono::milliseconds close_grace{std::chrono::seconds(5)};
};

// How the logon of a connection that was let in (ListenerOptions::admit)
// ended when it is released.
enum class LogonEnd {
    shell,       // its shell started
    left,        // the client hung up or broke the protocol
    silent,      // no version line within Limits::banner_time
    timed_out,   // no shell within Limits::logon_time
    refused,     // too many failed logons, or refused with a reason (not turned_away)
};

struct ListenerOptions {
    std::filesystem::path key_folder;  // holds the host key (made on first start)
    // Password and keyboard-interactive (one hidden "Password: " prompt);
    // "none" is always refused.
    std::function<void(const PasswordAttempt&, AuthAnswer)> check_password;
    // Whether the key is registered for the user (libssh checks the
    // signature). Empty: public keys are not offered.
    std::function<bool(const PublicKeyOffer&)> check_public_key;
    // A key check_public_key accepted has been proved by its signature: the
    // last word on the logon (refused with a reason: the connection is
    // closed, the reason its disconnect message). Empty: accepted.
    std::function<AuthVerdict(const PublicKeyOffer&)> key_proved;
    // A new connection from `peer_address`: empty lets it in, else the
    // reason it is refused (the connection is closed before the key
    // exchange; admit logs what it refuses as it sees fit). Each connection let in is released once its logon is
    // over: its shell started, or it ended before, and it is told how.
    // Empty: every one is let in.
    std::function<std::string(std::string_view peer_address)> admit;
    std::function<void(std::string_view peer_address, LogonEnd how)> release;
    // A user's shell started. The owner attaches its events (or closes it).
    std::function<void(std::shared_ptr<SshSession>)> on_session;
    // One line per noteworthy event (refusals, logons, cut-offs), no line break.
    std::function<void(std::string_view)> log;
    Limits limits;
};

struct ListenerState;

// An accepted connection's client as the host names it: "ADDRESS:PORT" for
// the log, and the address alone (the logon throttle's source).
struct Peer {
    std::string name;
    std::string address;
};

class SshListener {
public:
    // Loads or makes the host key; throws std::runtime_error saying what is
    // wrong with it or with libssh's set-up.
    SshListener(asio::io_context& io, ListenerOptions options);
    // Ends every connection at once (see close_all).
    ~SshListener();

    SshListener(const SshListener&) = delete;
    SshListener& operator=(const SshListener&) = delete;

    const PublicKeyText& host_key() const { return key_.public_key(); }
    const std::filesystem::path& host_key_path() const { return key_.path(); }
    bool host_key_created() const { return key_.created(); }

    // Takes over an accepted TCP connection; SSH from here on.
    void adopt(asio::ip::tcp::socket socket, Peer peer);
    // Connections at any stage, from key exchange to a running session.
    std::size_t connection_count() const;
    // Ends every connection now, without flushing; sessions get on_close(reason).
    void close_all(std::string_view reason);

private:
    HostKey key_;
    std::shared_ptr<ListenerState> state_;
};

}  // namespace ssh
