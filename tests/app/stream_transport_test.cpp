// Telnet over TLS, as the stream transport carries it (app/stream_transport.h): a TLS client on loopback gets the
// options only after its handshake, types what the session receives and gets the host's output; a client that
// speaks no TLS loses its connection, sees no telnet in the clear, and the log says why.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "app/telnet_transport.h"
#include "app/tls_certificate.h"

namespace {

using namespace std::chrono_literals;

class TlsTelnetTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(folder_);
        const std::string cert = (folder_ / "cert.pem").string(), key = (folder_ / "key.pem").string();
        const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                                 "-subj /CN=127.0.0.1 -out " + cert + " -keyout " + key + " 2>/dev/null";
        ASSERT_EQ(std::system(make.c_str()), 0) << make;
        tls_ = app::TlsCertificate::load(cert, key);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // The host's end of a new loopback connection: telnet over TLS, started; `client` is the other end.
    void connect(asio::ip::tcp::socket& client) {
        client.connect(acceptor_.local_endpoint());
        transport_ = app::TelnetTransport::make(app::Accepted::as_is(acceptor_.accept()), [this](std::string_view line) {
            log_.emplace_back(line);
        }, {}, tls_);
        transport_->attach({[this](std::string_view bytes) { received_ += bytes; }, {}, {},
                            [this] { closed_ = true; }, {}, {}, {}});
        transport_->start();
    }

    template <class Done>
    void run_until(Done done) {
        for (auto until = std::chrono::steady_clock::now() + 10s; !done() && std::chrono::steady_clock::now() < until;) {
            if (io_.stopped()) io_.restart();
            io_.run_one_for(50ms);
        }
    }

    const std::filesystem::path folder_ =
        std::filesystem::temp_directory_path() / ("tls-telnet-" + std::to_string(::getpid()));
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
    std::shared_ptr<asio::ssl::context> tls_;
    std::shared_ptr<app::TelnetTransport> transport_;
    std::vector<std::string> log_;
    std::string received_;
    bool closed_ = false;
};

TEST_F(TlsTelnetTest, OptionsLinesAndOutputGoThroughTheHandshakenStream) {
    asio::ssl::context context(asio::ssl::context::tls_client);
    asio::ssl::stream<asio::ip::tcp::socket> client(io_, context);
    connect(client.next_layer());
    std::error_code shaken = asio::error::would_block;
    client.async_handshake(asio::ssl::stream_base::client, [&](const std::error_code& ec) { shaken = ec; });
    run_until([&] { return shaken != asio::error::would_block; });
    ASSERT_FALSE(shaken) << shaken.message();

    std::string got;
    std::array<char, 4096> buffer{};
    bool reading = false, ended = false;
    auto read_until = [&](auto done) {
        run_until([&] {
            if (!reading && !ended) {
                reading = true;
                client.async_read_some(asio::buffer(buffer), [&](const std::error_code& ec, std::size_t n) {
                    reading = false;
                    ended = ended || ec;
                    got.append(buffer.data(), n);
                });
            }
            return done() || ended;
        });
    };
    read_until([&] { return got.size() >= 3; });
    EXPECT_EQ(got.substr(0, 3), "\xff\xfd\x1f");  // DO NAWS first, as in the clear

    asio::write(client, asio::buffer(std::string("hello\r\n")));
    run_until([&] { return received_ == "hello\r\n"; });
    EXPECT_EQ(received_, "hello\r\n");

    transport_->send("bye\xff");  // IAC escaped
    transport_->close_after_output();
    read_until([&] { return ended; });
    EXPECT_NE(got.find("bye\xff\xff"), std::string::npos) << got;
    run_until([&] { return closed_; });
    EXPECT_TRUE(closed_);
    EXPECT_TRUE(log_.empty()) << log_.front();
}

TEST_F(TlsTelnetTest, AClientWithoutTlsLosesOnlyItsConnection) {
    asio::ip::tcp::socket client(io_);
    connect(client);
    asio::write(client, asio::buffer(std::string("hello\r\n")));  // no ClientHello
    run_until([&] { return closed_; });
    EXPECT_TRUE(closed_);
    ASSERT_EQ(log_.size(), 1u);
    const std::string peer = "127.0.0.1:" + std::to_string(client.local_endpoint().port());
    EXPECT_EQ(log_[0].rfind("telnets client " + peer + ": TLS handshake failed: ", 0), 0u) << log_[0];
    std::string got(4096, '\0');
    std::error_code ec;
    got.resize(client.read_some(asio::buffer(got), ec));
    EXPECT_EQ(got.find("\xff\xfd"), std::string::npos) << "telnet in the clear";
}

}  // namespace
