// The three ways in under one load: bbshost --echo with telnet, SSH and the
// web terminal open, 256 loopback clients of the three ways at once (86
// telnet, 85 SSH through libssh's client, 85 WebSocket), each typing a line
// after a pause and timing it until its echo is complete. The echo path
// leaves only what a way costs: the game's work is the same for all three.
//
// The mixed run gives each way's latency against telnet's on the same host
// at the same moment, and the host's peak memory with 256 sessions of the
// three. Processor time cannot be told apart by way inside one process, so
// each way also runs alone with 256 clients; its host processor time per
// line is held against telnet's alone.
//
// The clients: one thread, poll() over every socket. SSH clients connect,
// authenticate and open their shell before the loop (blocking, one after
// the other: logons are not measured); libssh reads their channels without
// blocking after that. SSH authentication offers the user's password
// first and takes "none" when that is refused, and the logon dialogue in
// the shell is answered only when it asks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "bench/host_process.h"
#include "bench/load.h"
#include "bench/registry.h"
#include "bench/world.h"

namespace plus_bench {
namespace {

using Clock = std::chrono::steady_clock;

enum class Way { telnet, ssh, web };
constexpr std::array<const char*, 3> kWayNames = {"telnet", "SSH", "WebSocket"};
constexpr double kReplyTimeout = 10;  // seconds; a reply that takes longer is an error
constexpr size_t kLogonsAtOnce = 32;

double env_number(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atof(v) : fallback;
}

// A port of 127.0.0.1 that is free now (the host binds it a moment later).
uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// A connected TCP socket from 127.1.0.<index> (the host's logon throttle
// counts per address, as for users on other machines); -1 with *error.
// Everything a non-blocking socket has waiting, onto `into`; false once the
// peer closed or the socket failed.
bool read_waiting(int fd, std::string& into) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) into.append(buffer, static_cast<size_t>(n));
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN;
    }
}

int connect_from(size_t index, uint16_t port, std::string* error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f010001u + static_cast<uint32_t>(index));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const int one = 1;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        *error = std::string("cannot connect: ") + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool send_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

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

protected:
    const Way way_;
    const app::Account& user_;
    const size_t index_;

private:
    bool pull() {
        if (failed()) return false;
        if (!receive(text_)) {
            fail("connection lost; last output: " + visible(text_.substr(text_.size() > 200 ? text_.size() - 200 : 0)));
            return false;
        }
        return true;
    }
    bool take(const std::string& wanted) {
        const size_t at = text_.find(wanted);
        if (at == std::string::npos) return false;
        text_.erase(0, at + wanted.size());
        return true;
    }

    std::string text_, line_, awaited_, problem_;
    Clock::time_point sent_at_{};
    uint64_t lines_ = 0;
    bool logged_on_ = false;
};

// Telnet in line mode: the host's option offers stay unanswered, as a
// simple line client leaves them.
class TelnetClient final : public Client {
public:
    TelnetClient(const app::Account& user, size_t index, uint16_t port, std::string* error)
        : Client(Way::telnet, user, index), fd_(connect_from(index, port, error)) {
        if (fd_ >= 0) fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~TelnetClient() override {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const override { return fd_; }
    bool receive(std::string& text) override { return read_waiting(fd_, text); }
    bool send_text(const std::string& text) override {
        std::string line = text;
        if (!line.empty() && line.back() == '\r') line += '\n';
        return send_all(fd_, line);
    }

private:
    int fd_;
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

struct WaysResult {
    std::array<std::vector<double>, 3> latencies_us;  // by way
    std::array<int, 3> clients{}, logged_on{};
    uint64_t errors = 0;
    std::vector<std::string> error_samples;
    double cpu_seconds = 0;  // the host's over the session time
    double peak_mb = 0;
    double seconds = 0;

    void error(const std::string& what) {
        ++errors;
        if (error_samples.size() < 6) error_samples.push_back(what);
    }
    double p99_ms(Way way) const { return LoadResult::percentile_us(latencies_us[static_cast<int>(way)], 99) / 1000; }
    double cpu_per_line_us() const {
        size_t lines = 0;
        for (const auto& l : latencies_us) lines += l.size();
        return lines ? cpu_seconds * 1e6 / static_cast<double>(lines) : NAN;
    }
};

// One run: a fresh bbshost --echo with all three ways, clients[way] of each.
WaysResult run_ways(std::array<int, 3> counts, double seconds) {
    WaysResult result;
    HostProcess::Options options;
    options.data = load_folder(static_cast<size_t>(env_number("PLUS_BENCH_LOAD_RECORDS", 1000000)));
    options.channels = kLoadUsers;
    options.echo = true;
    options.ssh_port = free_port();
    options.http_port = free_port();
    std::string error;
    auto host = HostProcess::start(options, &error);
    if (!host) {
        result.error("bbshost did not start: " + error);
        return result;
    }
    std::fprintf(stderr, "plus_bench: ways, %d telnet, %d SSH, %d WebSocket clients for %.0f s...\n", counts[0],
                 counts[1], counts[2], seconds);
    std::optional<ProcessorsApart> apart(std::in_place, host->pid());

    // Who comes in which way: the users in turn, SSH first; at most
    // kLogonsAtOnce at the logon dialogue together (the host refuses more).
    const auto& users = load_users();
    std::vector<std::pair<Way, size_t>> order;
    for (const Way way : {Way::ssh, Way::telnet, Way::web})
        for (int i = 0; i < counts[static_cast<int>(way)] && order.size() < users.size(); ++i)
            order.emplace_back(way, order.size());
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    auto wait = [&](int ms) { poll(fds.data(), fds.size(), ms); };
    std::vector<bool> done;
    size_t next = 0, at_logon = 0;
    const auto logon_deadline = Clock::now() + std::chrono::seconds(120);
    while ((next < order.size() || at_logon > 0) && Clock::now() < logon_deadline) {
        for (; next < order.size() && at_logon < kLogonsAtOnce; ++next) {
            const auto [way, u] = order[next];
            const int w = static_cast<int>(way);
            ++result.clients[w];
            std::string why;
            std::unique_ptr<Client> c;
            if (way == Way::ssh) c = std::make_unique<SshClient>(users[u], u, options.ssh_port, &why);
            if (way == Way::telnet) c = std::make_unique<TelnetClient>(users[u], u, host->port(), &why);
            if (way == Way::web) c = std::make_unique<WebClient>(users[u], u, options.http_port, &why);
            if (!why.empty()) {
                result.error(std::string(kWayNames[w]) + " " + users[u].userid + ": " + why);
                continue;
            }
            fds.push_back({c->fd(), POLLIN, 0});
            clients.push_back(std::move(c));
            done.push_back(false);
            ++at_logon;
        }
        wait(5);
        for (size_t i = 0; i < clients.size(); ++i) {
            if (done[i] || !clients[i]->advance_logon()) continue;
            done[i] = true;
            --at_logon;
        }
    }
    std::mt19937 random(20261207);
    const double think_ms = env_number("PLUS_BENCH_THINK_MS", 100);
    std::uniform_real_distribution<double> pause(0, 2 * think_ms * 1000);
    const auto start = Clock::now();
    for (auto& c : clients) {
        if (c->logged_on()) {
            ++result.logged_on[static_cast<int>(c->way())];
            c->next_line = start + std::chrono::microseconds(static_cast<int64_t>(pause(random)));
        } else if (!c->failed()) {
            c->fail("not logged on within two minutes");
        }
    }

    const double cpu_before = host->cpu_seconds();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        wait(1);
        now = Clock::now();
        for (size_t i = 0; i < clients.size(); ++i) {
            auto& c = clients[i];
            if (!c->logged_on() || c->failed()) continue;
            if (c->waiting()) {
                // libssh may hold what it read while it wrote: SSH clients
                // that wait look every round.
                const bool readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || c->way() == Way::ssh;
                const double us = c->echo_latency(now, readable);
                if (us < 0) continue;
                result.latencies_us[static_cast<int>(c->way())].push_back(us);
                c->next_line = now + std::chrono::microseconds(static_cast<int64_t>(pause(random)));
            } else if (now >= c->next_line) {
                c->type_line(now);
            }
        }
    }
    result.cpu_seconds = host->cpu_seconds() - cpu_before;
    result.seconds = seconds;
    result.peak_mb = host->peak_memory_mb();
    apart.reset();
    for (auto& c : clients)
        if (c->failed()) result.error(c->problem());
    clients.clear();
    if (!host->stop(&error)) result.error(error);

    for (int w = 0; w < 3; ++w) {
        if (!result.clients[w]) continue;
        const auto& l = result.latencies_us[w];
        std::fprintf(stderr, "  %-9s %d of %d logged on, %zu lines, p50 %.0f us, p99 %.0f us, max %.0f us\n",
                     kWayNames[w], result.logged_on[w], result.clients[w], l.size(),
                     LoadResult::percentile_us(l, 50), LoadResult::percentile_us(l, 99),
                     LoadResult::percentile_us(l, 100));
    }
    std::fprintf(stderr, "  %llu errors, host peak %.1f MB, host processor time %.2f s\n",
                 static_cast<unsigned long long>(result.errors), result.peak_mb, result.cpu_seconds);
    for (const auto& e : result.error_samples) std::fprintf(stderr, "  error: %s\n", e.c_str());
    return result;
}

void ways_load() {
    const double seconds = env_number("PLUS_BENCH_LOAD_SECONDS", 30) / 2;
    const WaysResult mixed = run_ways({86, 85, 85}, seconds);
    std::array<WaysResult, 3> alone;
    for (int w = 0; w < 3; ++w) {
        std::array<int, 3> counts{};
        counts[w] = kLoadUsers;
        alone[w] = run_ways(counts, seconds / 2);
    }

    const std::string group = "ways";
    const char* on_telnet = "telnet, same run";
    const double telnet_p99 = mixed.p99_ms(Way::telnet);
    add_figure({group, "telnet latency p99, line to its echo", telnet_p99, "ms", "", 0, 0, Goal::None});
    for (const Way way : {Way::ssh, Way::web}) {
        const std::string name = kWayNames[static_cast<int>(way)];
        add_figure({group, name + " latency p99, line to its echo", mixed.p99_ms(way), "ms", on_telnet, telnet_p99,
                    2, Goal::AtMost});
    }
    const double telnet_cpu = alone[0].cpu_per_line_us();
    add_figure({group, "host processor time per telnet line (alone)", telnet_cpu, "us", "", 0, 0, Goal::None});
    for (const Way way : {Way::ssh, Way::web}) {
        const std::string name = kWayNames[static_cast<int>(way)];
        add_figure({group, "host processor time per " + name + " line (alone)",
                    alone[static_cast<int>(way)].cpu_per_line_us(), "us", "telnet alone", telnet_cpu, 0,
                    Goal::None});
    }
    add_figure({group, "host peak memory, 256 mixed sessions", mixed.peak_mb, "MB", "", 0, 128, Goal::AtMost,
                true});
    uint64_t errors = mixed.errors;
    for (const auto& a : alone) errors += a.errors;
    add_figure({group, "errors", static_cast<double>(errors), "", "", 0, 0, Goal::AtMost, true});
}

struct Registrar {
    Registrar() {
        describe_group("ways",
                       "Ways in: bbshost --echo, 256 loopback clients mixed (86 telnet, 85 SSH, 85 "
                       "WebSocket), each way's p99 at most 2x telnet's, memory under 128 MB; then "
                       "each way alone for processor time");
        after_runs("ways/load", ways_load);
    }
};

Registrar registrar;

}  // namespace
}  // namespace plus_bench
