// Telnet as a transport (app/transport.h), on libtelnet over one stream
// of the loop (app/stream_transport.h): a TCP connection, or TLS over one
// when make() is given a TLS context.
//
// Options (RFC 854 and RFC 1143 rules through libtelnet's option table: an
// option takes effect only once the client agrees, never on silence). At
// connect the host asks DO NAWS (first, as it always has), DO TTYPE, and
// offers WILL BINARY, DO BINARY, WILL SGA, WILL EOR, WILL MSSP, WILL
// COMPRESS2 and WILL GMCP (app/gmcp.h: a client that agrees is told his
// character's state, and Core.Goodbye when the host closes; his own GMCP
// messages never reach the session). A client that asks for CHARSET (RFC
// 2066) is agreed to, and its REQUEST answered ACCEPTED UTF-8 when UTF-8 is
// among the character sets it names, else REJECTED.
//
// The client's kind (app/client_kind.h): once he agrees to TTYPE he is
// asked SB TTYPE SEND until his answer repeats one he gave, at most
// kMaxTypeRounds times; the first answer is his terminal type
// (terminal_type()), and all of them together say whether he is a MUD
// client or a screen reader (client_known()), which are served in line mode
// for good.
//
// ECHO is offered while a password is typed (the client's echo off:
// local_echo(false)) and, once the user is on, for character mode
// (want_character_mode()) to a terminal, once its terminal types are known;
// character mode begins when the client agrees to both our SGA and our
// ECHO. MSSP is answered with NAME, PLAYERS, UPTIME and CODEBASE when the
// client agrees; a client that agrees to COMPRESS2 gets its output
// compressed (MCCP2). A prompt is followed by IAC EOR where the client
// agreed to EOR, else by IAC GA for a MUD client or one that agreed to any
// option but SGA (a client that agrees to nothing gets the bytes of a plain
// telnet session, without GA); a prompt sent before the client's answers
// (the greeting's) is marked once they come, unless output followed it. Everything else is refused. Commands,
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

#include "app/gmcp.h"
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
    static constexpr std::size_t kMaxTypeRounds = 4;

    // `log` takes one line per noteworthy event (cut-offs, protocol warnings);
    // with `tls` telnet goes inside TLS (StreamTransport).
    static std::shared_ptr<TelnetTransport> make(Accepted connection, Log log, Status status = {},
                                                 std::shared_ptr<asio::ssl::context> tls = nullptr);
    ~TelnetTransport() override;

    void start() override;
    void read() override;
    void send(std::string_view bytes) override;
    void local_echo(bool on) override;
    void want_character_mode() override;
    bool character_mode() const override { return want_character_ && sga_ && echo_ && kind_ == ClientKind::terminal; }
    void end_prompt() override;
    bool wants_character() const override { return gmcp_ && open(); }
    void character(const PublicUserInfo& info) override;
    // "telnets" inside TLS (the name of its well-known port).
    std::string_view way() const override { return encrypted() ? "telnets" : "telnet"; }

private:
    TelnetTransport(Accepted connection, Log log, Status status, std::shared_ptr<asio::ssl::context> tls);
    static void on_telnet_event(telnet_t* telnet, telnet_event_t* event, void* self);
    void handle_event(telnet_event_t& event);
    void agreed(unsigned char option, bool on, bool ours);  // DO/DONT (ours) or WILL/WONT
    void send_status();
    void terminal_answer(const char* name);
    void types_known();
    // WILL ECHO for character mode, when it is wanted and may begin.
    bool character_echo_wanted() const;
    void offer_character_echo();
    void mode_may_have_changed();
    // IAC EOR or GA after the prompt that was sent last, where the client
    // agreed to either by now.
    void mark_prompt();
    void on_stream(std::string_view bytes) override;
    void gmcp_received(std::string_view message);
    void charset_request(std::string_view sub);
    void send_gmcp(std::string_view message);
    void closing() override;
    std::string last_words() override;

    Status status_;
    telnet_t* telnet_ = nullptr;

    // The options in effect: the client agreed to our SGA, ECHO, EOR, and
    // to send his TTYPE.
    bool sga_ = false, echo_ = false, eor_ = false, ttype_ = false;
    bool binary_ = false;  // our output in binary: a bare CR needs no NUL
    bool spoke_ = false;  // the client agreed to some option: it speaks telnet
    bool want_character_ = false;
    bool was_character_ = false;
    bool compressing_ = false;  // our output, once begun
    bool gmcp_ = false;  // the client agreed to our GMCP
    GmcpClient gmcp_client_;
    bool unmarked_prompt_ = false;  // output ended in a prompt that could not be marked yet

    // The client's terminal types: not asked (he has not agreed to tell
    // them), being asked, or known (all he gave, or he refused).
    enum class Types { unasked, asking, known };
    Types types_ = Types::unasked;
    std::vector<std::string> answers_;
    ClientKind kind_ = ClientKind::terminal;

    CompressionRefusal compression_;
    std::string received_;  // the data of the read being parsed
};

}  // namespace app
