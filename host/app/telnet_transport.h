// Telnet as a transport (app/transport.h), on libtelnet over one stream
// of the loop (app/stream_transport.h): a TCP connection, or TLS over one
// when make() is given a TLS context.
//
// Options (RFC 854 and RFC 1143 rules through libtelnet's option table: an
// option takes effect only once the client agrees, never on silence). At
// connect the host asks DO NAWS (first, as it always has), DO TTYPE (and
// then SB TTYPE SEND), and offers WILL BINARY, DO BINARY, WILL SGA, WILL
// EOR, WILL MSSP and WILL COMPRESS2. ECHO is offered while a password is
// typed (the client's echo off: local_echo(false)) and, once the user is
// on, for character mode (want_character_mode()), which begins when the
// client agrees to both our SGA and our ECHO. MSSP is answered with NAME,
// PLAYERS, UPTIME and CODEBASE when the client agrees; a client that agrees
// to COMPRESS2 gets its output compressed (MCCP2). A prompt is followed by
// IAC EOR where the client agreed to EOR, else by IAC GA when it agreed to
// any option but SGA (a client that agrees to nothing gets the bytes of a
// plain telnet session, without GA). Everything else is refused. Commands,
// negotiations and subnegotiations never reach the session.
//
// Input: one read of at most kReadSize bytes at a time, when the session
// asks for it. Compressed input is refused: the connection is cut off where
// it would begin (CompressionRefusal in app/wire.h), and so is it at a
// telnet protocol error; nothing of that read reaches the session.
//
// Output: IAC escaped, and bounded as the stream's (cut off when he does
// not read).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/stream_transport.h"
#include "app/wire.h"

struct telnet_t;
union telnet_event_t;

namespace app {

class TelnetTransport final : public StreamTransport {
public:
    // The MSSP variables and their values, asked for when a client wants them.
    using Status = std::function<std::vector<std::pair<std::string, std::string>>()>;
    static constexpr std::size_t kMaxTerminalType = 40;

    // `log` takes one line per noteworthy event (cut-offs, protocol warnings);
    // `tls` (when given) must outlive the transport.
    static std::shared_ptr<TelnetTransport> make(asio::ip::tcp::socket socket, Log log, Status status = {},
                                                 asio::ssl::context* tls = nullptr);
    ~TelnetTransport() override;

    void start() override;
    void read() override;
    void send(std::string_view bytes) override;
    void local_echo(bool on) override;
    void want_character_mode() override;
    bool character_mode() const override { return want_character_ && sga_ && echo_; }
    void end_prompt() override;
    std::string_view way() const override { return "telnet"; }

private:
    TelnetTransport(asio::ip::tcp::socket socket, Log log, Status status, asio::ssl::context* tls);
    static void on_telnet_event(telnet_t* telnet, telnet_event_t* event, void* self);
    void handle_event(telnet_event_t& event);
    void agreed(unsigned char option, bool on, bool ours);  // DO/DONT (ours) or WILL/WONT
    void send_status();
    void mode_may_have_changed();
    void on_stream(std::string_view bytes) override;

    Status status_;
    telnet_t* telnet_ = nullptr;

    // The options in effect: the client agreed to our SGA, ECHO, EOR, and
    // to send his TTYPE.
    bool sga_ = false, echo_ = false, eor_ = false, ttype_ = false;
    bool spoke_ = false;  // the client agreed to some option: it speaks telnet
    bool want_character_ = false;
    bool was_character_ = false;
    bool compressing_ = false;  // our output, once begun

    CompressionRefusal compression_;
    std::string received_;  // the data of the read being parsed
};

}  // namespace app
