// Fuzz target: bbshost's telnet input path. The input is what a client
// sends: a fresh host (with the game and Brakvold Plus), a fresh server and
// one real TelnetSession on a loopback TCP connection; the bytes go in in
// pieces (their lengths drawn from the first byte), the loop runs after each
// piece, then the client hangs up. Through it go libtelnet's telnet_recv,
// the session's events, the line assembler, the logon dialogue, and for a
// logged-on user every line into the host, its global commands, the game and
// the module, and their output back through the line breaks and telnet_send.
//
// Checked:
//   - no crash, no sanitizer report;
//   - what the server sends is well-formed telnet (a client's libtelnet
//     reads it without an error), and its text has only CR LF line breaks;
//   - once the client has hung up, the session is closed and gone and no
//     channel of the host is online any more;
// and, on the same bytes, the byte-level helpers of app/wire.h:
//   - LineAssembler: lines are no longer than its limit and hold no CR, LF,
//     NUL, BS or DEL; as many lines end as the bytes have line ends; and
//     the lines do not depend on how the bytes are cut into pieces;
//   - LineBreaks: the wire text has only CR LF line breaks, as many as the
//     text has, whatever the pieces.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <libtelnet.h>

#include <asio.hpp>

#include "app/server.h"
#include "app/telnet_session.h"
#include "app/wire.h"
#include "tests/fuzz/fuzz_world.h"

namespace plusfuzz {
namespace {

constexpr int kChannels = 2;
constexpr size_t kMaxPumps = 100000;

// Piece lengths 1..64, drawn from a small generator seeded by one byte.
class Pieces {
public:
    explicit Pieces(uint8_t seed) : state_(seed * 2654435761u + 1) {}
    size_t next() {
        state_ = state_ * 1103515245u + 12345u;
        return 1 + (state_ >> 16) % 64;
    }

private:
    uint32_t state_;
};

std::vector<std::string_view> cut(std::string_view bytes, uint8_t seed) {
    Pieces pieces(seed);
    std::vector<std::string_view> out;
    while (!bytes.empty()) {
        size_t n = std::min(pieces.next(), bytes.size());
        out.push_back(bytes.substr(0, n));
        bytes.remove_prefix(n);
    }
    return out;
}

// Every CR is followed by LF and every LF follows a CR.
void only_crlf(std::string_view text, const std::string& what) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
            fail(what + ": a CR without LF at " + std::to_string(i) + " in \"" + shown(text.substr(i > 40 ? i - 40 : 0, 80)) + "\"");
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            fail(what + ": an LF without CR at " + std::to_string(i) + " in \"" + shown(text.substr(i > 40 ? i - 40 : 0, 80)) + "\"");
    }
}

// ---- the byte-level helpers ---------------------------------------------------

std::deque<std::string> assemble(const std::vector<std::string_view>& pieces, size_t limit) {
    app::LineAssembler assembler(limit);
    std::deque<std::string> lines;
    for (auto piece : pieces) assembler.feed(piece, lines);
    return lines;
}

void check_wire_helpers(std::string_view bytes, uint8_t seed) {
    const size_t limit = 1 + seed % 80;
    const auto whole = assemble({bytes}, limit);
    const auto pieces = assemble(cut(bytes, seed), limit);
    const auto single = [&] {
        std::vector<std::string_view> ones;
        for (size_t i = 0; i < bytes.size(); ++i) ones.push_back(bytes.substr(i, 1));
        return assemble(ones, limit);
    }();
    if (whole != pieces || whole != single) fail("the line assembler's lines depend on how the bytes are cut");
    size_t ends = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\r' || (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) ++ends;
    if (whole.size() != ends)
        fail(std::to_string(ends) + " line ends made " + std::to_string(whole.size()) + " lines");
    for (const auto& line : whole) {
        if (line.size() > limit) fail("a line of " + std::to_string(line.size()) + " bytes passed the limit " + std::to_string(limit));
        for (char c : line)
            if (c == '\r' || c == '\n' || c == '\0' || c == '\b' || c == 0x7f)
                fail("a line holds the byte " + shown(std::string_view(&c, 1)) + ": \"" + shown(line) + "\"");
    }

    app::LineBreaks at_once, in_pieces;
    std::string wire_whole = at_once.to_wire(bytes);
    std::string wire_pieces;
    for (auto piece : cut(bytes, static_cast<uint8_t>(seed + 1))) wire_pieces += in_pieces.to_wire(piece);
    if (wire_whole != wire_pieces) fail("the wire text depends on how the module output is cut");
    only_crlf(wire_whole, "module output on the wire");
    size_t breaks = 0, crlf = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\r' || (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) ++breaks;
    for (size_t i = 0; i + 1 < wire_whole.size(); ++i)
        if (wire_whole[i] == '\r' && wire_whole[i + 1] == '\n') ++crlf;
    if (breaks != crlf) fail(std::to_string(breaks) + " line breaks became " + std::to_string(crlf) + " on the wire");
}

// ---- the session ----------------------------------------------------------------

// What the client makes of the server's bytes.
struct Client {
    telnet_t* telnet = nullptr;
    std::string text;
    std::string error;

    Client() { telnet = telnet_init(nullptr, &Client::event, 0, this); }
    ~Client() { telnet_free(telnet); }
    static void event(telnet_t*, telnet_event_t* ev, void* self) {
        auto* c = static_cast<Client*>(self);
        if (ev->type == TELNET_EV_DATA) c->text.append(ev->data.buffer, ev->data.size);
        if (ev->type == TELNET_EV_ERROR && c->error.empty()) c->error = ev->error.msg ? ev->error.msg : "?";
    }
};

class Connection {
public:
    Connection() : world_(kChannels), server_(io_, world_.host(), app::Server::Hashing::on_loop) {
        // A loopback connection: the client's end is a plain socket, the
        // server's end becomes the session's.
        asio::ip::tcp::acceptor acceptor(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        client_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (client_ < 0) fail(std::string("socket: ") + std::strerror(errno));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(acceptor.local_endpoint().port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(client_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            fail(std::string("connect: ") + std::strerror(errno));
        asio::ip::tcp::socket server_end(io_);
        std::error_code ec;
        acceptor.accept(server_end, ec);
        if (ec) fail("accept: " + ec.message());
        ::fcntl(client_, F_SETFL, ::fcntl(client_, F_GETFL) | O_NONBLOCK);
        session_ = std::make_shared<app::TelnetSession>(server_, std::move(server_end));
        session_->start();
        pump();
    }
    ~Connection() {
        if (client_ >= 0) ::close(client_);
    }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!pump()) return;  // the server reads nothing more
            } else {
                return;  // the server closed the connection
            }
        }
        pump();
    }

    void hang_up() {
        ::close(client_);
        client_ = -1;
        pump();
    }

    void check() {
        if (std::getenv("PLUS_FUZZ_TRACE"))  // what the client saw, on stderr
            std::fprintf(stderr, "%s\n", shown(client_view_.text).c_str());
        std::weak_ptr<app::TelnetSession> gone = session_;
        bool closed = session_->closed();
        session_.reset();
        if (!closed) fail("the session is still open after the client hung up");
        if (!gone.expired()) fail("the session outlived its connection");
        for (int ch = 0; ch < kChannels; ++ch)
            if (world_.host().online(ch)) fail("channel " + std::to_string(ch) + " is still online after the hang-up");
        if (!client_view_.error.empty()) fail("the server sent malformed telnet: " + client_view_.error);
        only_crlf(client_view_.text, "text the server sent");
    }

private:
    // Runs the loop and reads what the server sent until neither has more;
    // false when the loop had nothing to do at all.
    bool pump() {
        bool any = false;
        for (size_t n = 0; n < kMaxPumps; ++n) {
            size_t ran = io_.poll();
            io_.restart();
            bool got = read_client();
            if (ran == 0 && !got) return any;
            any = true;
        }
        fail("the server never came to rest");
    }

    bool read_client() {
        if (client_ < 0) return false;
        bool got = false;
        char buffer[8192];
        while (true) {
            ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got = true;
            telnet_recv(client_view_.telnet, buffer, static_cast<size_t>(n));
        }
        return got;
    }

    FuzzWorld world_;
    asio::io_context io_;
    app::Server server_;
    std::shared_ptr<app::TelnetSession> session_;
    int client_ = -1;
    Client client_view_;
};

}  // namespace
}  // namespace plusfuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    plusfuzz::keep_libraries_loaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t seed = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    plusfuzz::check_wire_helpers(bytes, seed);
    plusfuzz::Connection connection;
    for (auto piece : plusfuzz::cut(bytes, seed)) connection.send(piece);
    connection.hang_up();
    connection.check();
    return 0;
}
