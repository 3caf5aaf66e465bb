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
// throttle's refusal).
struct AuthVerdict {
    bool accept = false;
    std::string close_reason;

    static AuthVerdict accepted() { return {true, {}}; }
    static AuthVerdict refused(std::string close_reason = {}) { return {false, std::move(close_reason)}; }
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
    int max_password_failures = 3;       // refused passwords, both methods
    int max_auth_requests = 12;          // authentication requests of any kind
    std::size_t max_queued_output = 256 * 1024;
    // close(): how long the queued output may take to leave.
    std::chrono::milliseconds close_grace{std::chrono::seconds(5)};
};

struct ListenerOptions {
    std::filesystem::path key_folder;  // holds the host key (made on first start)
    // Password and keyboard-interactive (one hidden "Password: " prompt);
    // "none" is always refused.
    std::function<void(const PasswordAttempt&, AuthAnswer)> check_password;
    // Whether the key is registered for the user (libssh checks the
    // signature). Empty: public keys are not offered.
    std::function<bool(const PublicKeyOffer&)> check_public_key;
    // A new connection from `peer_address`: empty lets it in, else the
    // reason it is refused (logged, and the connection closed before the
    // key exchange). Each connection let in is released once its logon is
    // over: its shell started, or it ended before. Empty: every one is let in.
    std::function<std::string(std::string_view peer_address)> admit;
    std::function<void(std::string_view peer_address)> release;
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
