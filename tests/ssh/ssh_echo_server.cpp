// A small SSH echo server on 127.0.0.1 over the SSH transport, for the
// end-to-end tests: one account (tester/secret, or a registered public key),
// every byte typed comes back, and two typed lines act:
//   flood  sends 16 KiB every 2 ms until the connection ends;
//   quit   sends "bye" and closes.
// It prints "host key SHA256:... created|loaded", then "listening on
// 127.0.0.1:PORT", and one line per event ("log: ...", "closed USER: why").
//
// ssh_echo_server --keys DIR [--logon-limit-ms N] [--max-queued N]
//                 [--refuse-delay-ms N] [--authorized-key FILE]
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include <asio.hpp>

#include "ssh/listener.h"

namespace {

struct Settings {
    std::string keys;
    long logon_limit_ms = 60000;
    long max_queued = 256 * 1024;
    long refuse_delay_ms = 0;
    std::string authorized_key;  // "type base64", empty: public keys not offered
};

void say(const std::string& line) { std::cout << line << std::endl; }

// One running shell session: echo, and the two commands.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
public:
    EchoSession(asio::io_context& io, std::shared_ptr<ssh::SshSession> session)
        : session_(std::move(session)), flood_timer_(io) {}

    void start() {
        auto self = shared_from_this();
        session_->attach({
            [self](std::string_view bytes) { self->on_data(bytes); },
            [self](int width, int height) {
                self->session_->send("size " + std::to_string(width) + "x" + std::to_string(height) + "\r\n");
            },
            [self](std::string_view reason) {
                self->flood_timer_.cancel();
                say("closed " + self->session_->user() + ": " + std::string(reason));
            },
        });
        session_->send("welcome " + session_->user() + " from " + session_->peer_address() +
                       " term=" + session_->terminal_type() + " size=" + std::to_string(session_->width()) + "x" +
                       std::to_string(session_->height()) + "\r\n");
    }

private:
    void on_data(std::string_view bytes) {
        session_->send(bytes);
        for (char c : bytes) {
            if (c != '\r' && c != '\n') {
                if (line_.size() < 64) line_ += c;
                continue;
            }
            if (line_ == "flood") flood();
            if (line_ == "quit") {
                session_->send("bye\r\n");
                session_->close();
            }
            line_.clear();
        }
    }

    void flood() {
        if (!session_->send(std::string(16 * 1024, 'x'))) return;
        flood_timer_.expires_after(std::chrono::milliseconds(2));
        flood_timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec) self->flood();
        });
    }

    std::shared_ptr<ssh::SshSession> session_;
    asio::steady_timer flood_timer_;
    std::string line_;
};

bool parse(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (arg == "--keys") settings.keys = value;
        else if (arg == "--logon-limit-ms") settings.logon_limit_ms = std::stol(value);
        else if (arg == "--max-queued") settings.max_queued = std::stol(value);
        else if (arg == "--refuse-delay-ms") settings.refuse_delay_ms = std::stol(value);
        else if (arg == "--authorized-key") {
            std::ifstream file(value);
            std::string type, blob;
            if (!(file >> type >> blob)) return false;
            settings.authorized_key = type + " " + blob;
        } else return false;
    }
    return !settings.keys.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    try {
        if (!parse(argc, argv, settings)) {
            std::cerr << "usage: ssh_echo_server --keys DIR [--logon-limit-ms N] [--max-queued N] "
                         "[--refuse-delay-ms N] [--authorized-key FILE]\n";
            return 2;
        }
    } catch (const std::exception&) {
        std::cerr << "ssh_echo_server: bad number\n";
        return 2;
    }

    asio::io_context io;
    ssh::ListenerOptions options;
    options.key_folder = settings.keys;
    options.limits.logon_time = std::chrono::milliseconds(settings.logon_limit_ms);
    options.limits.max_queued_output = static_cast<std::size_t>(settings.max_queued);
    options.check_password = [&](const ssh::PasswordAttempt& attempt) {
        say("password for " + std::string(attempt.user) + " from " + std::string(attempt.peer_address));
        if (attempt.user == "tester" && attempt.password == "secret") return ssh::AuthVerdict::accepted();
        return ssh::AuthVerdict::refused(std::chrono::milliseconds(settings.refuse_delay_ms));
    };
    if (!settings.authorized_key.empty()) {
        options.check_public_key = [&](const ssh::PublicKeyOffer& offer) {
            return offer.user == "tester" && offer.key.line() == settings.authorized_key;
        };
    }
    options.on_session = [&io](std::shared_ptr<ssh::SshSession> session) {
        std::make_shared<EchoSession>(io, std::move(session))->start();
    };
    options.log = [](std::string_view line) { say("log: " + std::string(line)); };

    std::unique_ptr<ssh::SshListener> listener;
    try {
        listener = std::make_unique<ssh::SshListener>(io, std::move(options));
    } catch (const std::exception& e) {
        std::cerr << "ssh_echo_server: " << e.what() << "\n";
        return 1;
    }
    say("host key " + listener->host_key().fingerprint + (listener->host_key_created() ? " created" : " loaded"));

    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    std::function<void()> accept = [&] {
        acceptor.async_accept([&](const std::error_code& ec, asio::ip::tcp::socket socket) {
            if (ec == asio::error::operation_aborted) return;
            if (!ec) listener->adopt(std::move(socket));
            accept();
        });
    };
    accept();
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code&, int) {
        acceptor.close();
        listener->close_all("server shutting down");
        io.stop();
    });
    say("listening on 127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()));
    io.run();
    listener.reset();
    return 0;
}
