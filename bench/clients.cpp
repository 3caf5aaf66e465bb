#include "bench/clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace plus_bench {

namespace {
// Telnet commands (RFC 854) a character-mode client sends and answers.
constexpr char kIac = '\xff', kWill = '\xfb', kWont = '\xfc', kDo = '\xfd', kDont = '\xfe';
constexpr char kSb = '\xfa', kSe = '\xf0', kEcho = '\x01', kSga = '\x03', kNaws = '\x1f';
}  // namespace

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

std::unique_ptr<HostProcess> start_host_with_ways(HostProcess::Options& options, std::string* error) {
    options.ssh_port = free_port();
    options.http_port = free_port();
    return HostProcess::start(options, error);
}

std::vector<std::pair<Way, size_t>> logon_order(const std::array<int, 3>& counts, size_t users) {
    std::vector<std::pair<Way, size_t>> order;
    for (const Way way : {Way::ssh, Way::telnet, Way::web})
        for (int i = 0; i < counts[static_cast<int>(way)] && order.size() < users; ++i)
            order.emplace_back(way, order.size());
    return order;
}

std::unique_ptr<Client> make_client(Way way, const app::Account& user, size_t index,
                                    const HostProcess::Options& options, uint16_t telnet_port, bool character_mode,
                                    std::string* why) {
    switch (way) {
        case Way::ssh: return std::make_unique<SshClient>(user, index, options.ssh_port, why);
        case Way::telnet: return std::make_unique<TelnetClient>(user, index, telnet_port, character_mode, why);
        case Way::web: return std::make_unique<WebClient>(user, index, options.http_port, why);
    }
    return nullptr;
}

bool TelnetClient::enter_character_mode() {
    character_mode_ = true;
    return send_all(fd_, std::string{kIac, kDo, kSga, kIac, kWill, kNaws, kIac, kSb, kNaws, 0, 80, 0, 24, kIac, kSe});
}

// The host's commands are taken out of the text; a client for character
// mode answers its offers of ECHO.
bool TelnetClient::receive(std::string& text) {
    const bool open = read_waiting(fd_, wire_);
    size_t at = 0;
    std::string answers;
    while (at < wire_.size()) {
        if (wire_[at] != kIac) {
            const size_t next = wire_.find(kIac, at);
            const size_t end = next == std::string::npos ? wire_.size() : next;
            text.append(wire_, at, end - at);
            at = end;
            continue;
        }
        if (at + 1 >= wire_.size()) break;
        const char verb = wire_[at + 1];
        if (verb == kIac) {
            text += kIac;
            at += 2;
        } else if (verb == kWill || verb == kWont || verb == kDo || verb == kDont) {
            if (at + 2 >= wire_.size()) break;
            if (answers_echo_ && wire_[at + 2] == kEcho && (verb == kWill || verb == kWont)) {
                answers += std::string{kIac, verb == kWill ? kDo : kDont, kEcho};
                echoing_ = verb == kWill;
            }
            at += 3;
        } else if (verb == kSb) {
            const size_t end = wire_.find(std::string{kIac, kSe}, at + 2);
            if (end == std::string::npos) break;
            at = end + 2;
        } else {
            at += 2;
        }
    }
    wire_.erase(0, at);
    if (!answers.empty() && !send_all(fd_, answers)) return false;
    return open;
}

void log_on_in_batches(const std::vector<std::pair<Way, size_t>>& order, size_t at_once, Clock::duration limit,
                       std::vector<pollfd>& fds, const std::function<bool(Way way, size_t user)>& start,
                       const std::function<bool(size_t started)>& over) {
    std::vector<bool> done;
    size_t next = 0, at_logon = 0;
    const auto deadline = Clock::now() + limit;
    while ((next < order.size() || at_logon > 0) && Clock::now() < deadline) {
        for (; next < order.size() && at_logon < at_once; ++next) {
            if (!start(order[next].first, order[next].second)) continue;
            done.push_back(false);
            ++at_logon;
        }
        poll(fds.data(), fds.size(), 5);
        for (size_t i = 0; i < done.size(); ++i) {
            if (done[i] || !over(i)) continue;
            done[i] = true;
            --at_logon;
        }
    }
}

}  // namespace plus_bench
