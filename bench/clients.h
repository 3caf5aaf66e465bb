// The bench's clients of the three ways in (telnet, SSH through libssh's
// client, the web terminal's WebSocket), for one thread that polls their
// sockets: bytes in and out, the logon dialogue, a line or a key at a time.
// Each connects from a loopback address of its own, 127.1.0.1 on.
#pragma once

#include <fcntl.h>
#include <libssh/libssh.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/host_process.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {

using Clock = std::chrono::steady_clock;

enum class Way { telnet, ssh, web };
constexpr std::array<const char*, 3> kWayNames = {"telnet", "SSH", "WebSocket"};
constexpr double kReplyTimeout = 10;  // seconds; a reply that takes longer is an error

// A port of 127.0.0.1 that is free now (the host binds it a moment later).
uint16_t free_port();
// Everything a non-blocking socket has waiting, onto `into`; false once the
// peer closed or the socket failed.
bool read_waiting(int fd, std::string& into);
// A connected TCP socket from 127.1.0.1 + index (the host's logon throttle
// counts per address, as for users on other machines); -1 with *error.
int connect_from(size_t index, uint16_t port, std::string* error);
bool send_all(int fd, const std::string& bytes);

// One client of any way: bytes in and out, the logon, one line at a time.
class Client {
public:
    Client(Way way, const app::Account& user, size_t index) : way_(way), user_(user), index_(index) {}
    virtual ~Client() = default;
    virtual int fd() const = 0;
    // Whatever arrived (terminal output, unframed); false when the
    // connection is gone.
    virtual bool receive(std::string& text) = 0;
    virtual bool send_text(const std::string& text) = 0;

    Way way() const { return way_; }
    bool logged_on() const { return logged_on_; }
    bool failed() const { return !problem_.empty(); }
    const std::string& problem() const { return problem_; }

    // Reads what came and moves the logon on; true when it just ended.
    bool advance_logon() {
        if (!pull()) return true;
        if (take("]: ")) return logged_on_ = true;
        if (take("User-ID: ")) send_text(user_.userid + "\r");
        if (take("Password: ")) send_text(user_.password + "\r");
        if (text_.find("Invalid login") != std::string::npos) fail("logon refused");
        return failed();
    }

    // The next line of the session; character-mode ways get the keys' echo
    // before the line's.
    void type_line(Clock::time_point now) {
        line_ = "line " + std::to_string(++lines_) + " of " + user_.userid;
        awaited_ = line_ + "\r\n";
        if (way_ != Way::telnet) awaited_ += awaited_;
        sent_at_ = now;
        text_.clear();
        if (!send_text(line_ + "\r")) fail("cannot send");
    }
    bool waiting() const { return !awaited_.empty(); }
    // Reads what came (when `readable`); the line's latency in microseconds
    // once its echo is complete, else a negative number.
    double echo_latency(Clock::time_point now, bool readable) {
        if (readable && !pull()) return -1;
        if (!take(awaited_)) {
            if (now - sent_at_ > std::chrono::duration<double>(kReplyTimeout)) fail("no echo of \"" + line_ + "\" in time");
            return -1;
        }
        awaited_.clear();
        return std::chrono::duration<double, std::micro>(now - sent_at_).count();
    }

    Clock::time_point next_line{};

    void fail(const std::string& why) {
        if (problem_.empty()) problem_ = std::string(kWayNames[static_cast<int>(way_)]) + " " + user_.userid + ": " + why;
    }

    // What arrived onto the text read so far; false once the connection is gone.
    bool pull() {
        if (failed()) return false;
        if (!receive(text_)) {
            fail("connection lost; last output: " + visible(text_.substr(text_.size() > 200 ? text_.size() - 200 : 0)));
            return false;
        }
        return true;
    }
    // Drops the text read up to and with `wanted`; false when it has not come.
    bool take(const std::string& wanted) {
        const size_t at = text_.find(wanted);
        if (at == std::string::npos) return false;
        text_.erase(0, at + wanted.size());
        return true;
    }
    void forget_text() { text_.clear(); }

protected:
    const Way way_;
    const app::Account& user_;
    const size_t index_;

private:
    std::string text_, line_, awaited_, problem_;
    Clock::time_point sent_at_{};
    uint64_t lines_ = 0;
    bool logged_on_ = false;
};

// Telnet in line mode: the host's option offers stay unanswered, as a
// simple line client leaves them. A client for character mode answers the
// host's offers of ECHO from the start (he echoes the password, no longer
// after it) and, once logged on (enter_character_mode), agrees to SGA and
// tells a window of 80 by 24; the host then offers ECHO again.
class TelnetClient final : public Client {
public:
    TelnetClient(const app::Account& user, size_t index, uint16_t port, bool character_mode, std::string* error)
        : Client(Way::telnet, user, index), fd_(connect_from(index, port, error)), answers_echo_(character_mode) {
        if (fd_ >= 0) fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~TelnetClient() override {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const override { return fd_; }
    bool receive(std::string& text) override;
    bool send_text(const std::string& text) override {
        std::string line = text;
        if (!character_mode_ && !line.empty() && line.back() == '\r') line += '\n';
        return send_all(fd_, line);
    }
    bool enter_character_mode();
    bool echoing() const { return echoing_; }  // the host's ECHO agreed

private:
    int fd_;
    bool answers_echo_ = false, character_mode_ = false, echoing_ = false;
    std::string wire_;  // a command cut at the end of a read
};

// The page's side of the terminal WebSocket: masked binary frames out, the
// host's frames in, the window size (80 x 24) once open.
class WebClient final : public Client {
public:
    WebClient(const app::Account& user, size_t index, uint16_t port, std::string* error)
        : Client(Way::web, user, index), fd_(connect_from(index, port, error)) {
        if (fd_ < 0) return;
        const std::string where = "127.0.0.1:" + std::to_string(port);
        send_all(fd_, "GET /ws HTTP/1.1\r\nHost: " + where +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                          "Origin: http://" + where + "\r\n\r\n");
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~WebClient() override {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const override { return fd_; }
    bool receive(std::string& text) override {
        if (!read_waiting(fd_, wire_)) return false;
        if (!upgraded_) {
            const size_t end = wire_.find("\r\n\r\n");
            if (end == std::string::npos) return true;
            if (wire_.rfind("HTTP/1.1 101", 0) != 0) return false;
            wire_.erase(0, end + 4);
            upgraded_ = true;
            if (!frame(std::string("\xff\x53\x00\x50\x00\x18", 6))) return false;
        }
        // Whole frames off the front: the host's are never masked.
        for (;;) {
            if (wire_.size() < 2) return true;
            const auto byte = [&](size_t i) { return static_cast<uint8_t>(wire_[i]); };
            uint64_t length = byte(1) & 0x7f;
            size_t at = 2;
            if (length == 126) {
                if (wire_.size() < 4) return true;
                length = (uint64_t{byte(2)} << 8) | byte(3);
                at = 4;
            } else if (length == 127) {
                if (wire_.size() < 10) return true;
                length = 0;
                for (size_t i = 2; i < 10; ++i) length = (length << 8) | byte(i);
                at = 10;
            }
            if (wire_.size() < at + length) return true;
            const int opcode = byte(0) & 0x0f;
            if (opcode == 0x8) return false;
            if (opcode <= 0x2) text.append(wire_, at, length);
            wire_.erase(0, at + length);
        }
    }
    bool send_text(const std::string& text) override { return frame(text); }

private:
    bool frame(const std::string& payload) {
        std::string out;
        out += '\x82';
        const size_t n = payload.size();
        if (n < 126) {
            out += static_cast<char>(0x80 | n);
        } else {
            out += static_cast<char>(0x80 | 126);
            out += static_cast<char>(n >> 8);
            out += static_cast<char>(n & 0xff);
        }
        const char mask[4] = {'\x5a', '\x17', '\x3c', '\x71'};
        out.append(mask, 4);
        for (size_t i = 0; i < n; ++i) out += static_cast<char>(payload[i] ^ mask[i % 4]);
        return send_all(fd_, out);
    }

    int fd_;
    std::string wire_;
    bool upgraded_ = false;
};

class SshClient final : public Client {
public:
    SshClient(const app::Account& user, size_t index, uint16_t port, std::string* error)
        : Client(Way::ssh, user, index), session_(ssh_new()) {
        fd_ = connect_from(index, port, error);
        if (fd_ < 0 || !session_) return;
        const int verbosity = SSH_LOG_NOLOG;
        ssh_options_set(session_, SSH_OPTIONS_HOST, "127.0.0.1");
        ssh_options_set(session_, SSH_OPTIONS_USER, user.userid.c_str());
        ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
        socket_t socket = fd_;
        ssh_options_set(session_, SSH_OPTIONS_FD, &socket);
        if (ssh_connect(session_) != SSH_OK) {
            set(error, "ssh_connect");
            return;
        }
        // The password when the host checks it, else "none" and the
        // logon dialogue in the shell.
        if (ssh_userauth_password(session_, nullptr, user.password.c_str()) != SSH_AUTH_SUCCESS &&
            ssh_userauth_none(session_, nullptr) != SSH_AUTH_SUCCESS) {
            set(error, "authentication");
            return;
        }
        channel_ = ssh_channel_new(session_);
        if (!channel_ || ssh_channel_open_session(channel_) != SSH_OK ||
            ssh_channel_request_pty_size(channel_, "xterm", 80, 24) != SSH_OK ||
            ssh_channel_request_shell(channel_) != SSH_OK) {
            set(error, "shell");
            return;
        }
        ssh_set_blocking(session_, 0);
    }
    ~SshClient() override {
        if (channel_) ssh_channel_free(channel_);
        if (session_) {
            ssh_disconnect(session_);  // closes fd_
            ssh_free(session_);
        } else if (fd_ >= 0) {
            close(fd_);
        }
    }
    int fd() const override { return fd_; }
    bool receive(std::string& text) override {
        char buffer[8192];
        for (;;) {
            const int n = ssh_channel_read_nonblocking(channel_, buffer, sizeof buffer, 0);
            if (n > 0) text.append(buffer, static_cast<size_t>(n));
            if (n == SSH_ERROR || ssh_channel_is_eof(channel_)) return false;
            if (n <= 0) return true;
        }
    }
    bool send_text(const std::string& text) override {
        ssh_set_blocking(session_, 1);  // a line fits the window: this does not wait for the host
        const int n = ssh_channel_write(channel_, text.data(), static_cast<uint32_t>(text.size()));
        ssh_set_blocking(session_, 0);
        return n == static_cast<int>(text.size());
    }

private:
    void set(std::string* error, const char* step) {
        *error = std::string(step) + ": " + ssh_get_error(session_);
    }
    ssh_session session_;
    ssh_channel channel_ = nullptr;
    int fd_ = -1;
};

// Starts bbshost as `options` say, its SSH and web terminal on free ports
// of 127.0.0.1 too (options.ssh_port, options.http_port). Null with *error.
std::unique_ptr<HostProcess> start_host_with_ways(HostProcess::Options& options, std::string* error);
// Who comes in which way: counts[way] users of `users` in turn, SSH first;
// the second of each pair is the user's index, and his address's.
std::vector<std::pair<Way, size_t>> logon_order(const std::array<int, 3>& counts, size_t users);
// A client of `way` for users[index] connected to the host's port of that
// way; a telnet client for character mode when `character_mode`.
std::unique_ptr<Client> make_client(Way way, const app::Account& user, size_t index,
                                    const HostProcess::Options& options, uint16_t telnet_port, bool character_mode,
                                    std::string* why);

// Logons at the dialogue together: under the host's free logon places
// (10), past which it refuses new connections at random.
constexpr size_t kLogonsAtOnce = 8;

// The logons of `order`, at most `at_once` at the logon dialogue together,
// until every one is over or `limit` passed. `start(way, user)` connects one
// (false: it could not); `over(i)` moves the i-th started on, true once its
// logon is over. Between turns it polls `fds`, which `start` extends.
void log_on_in_batches(const std::vector<std::pair<Way, size_t>>& order, size_t at_once, Clock::duration limit,
                       std::vector<pollfd>& fds, const std::function<bool(Way way, size_t user)>& start,
                       const std::function<bool(size_t started)>& over);

}  // namespace plus_bench
