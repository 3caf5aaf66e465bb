#include "app/telnet_transport.h"

#include <algorithm>

#include <libtelnet.h>

#include "text/ascii.h"

namespace app {

namespace {

constexpr unsigned char kGmcp = 201;
constexpr unsigned char kCharset = 42;  // RFC 2066
enum : unsigned char { kCharsetRequest = 1, kCharsetAccepted = 2, kCharsetRejected = 3 };

// What we agree to when the client asks first (what we offer ourselves is
// agreed to by his answer, whatever this table says): ECHO is ours only
// when we offer it, the client's never.
const telnet_telopt_t kOptions[] = {
    {TELNET_TELOPT_ECHO, TELNET_WONT, TELNET_DONT},
    {TELNET_TELOPT_NAWS, TELNET_WONT, TELNET_DO},
    {TELNET_TELOPT_TTYPE, TELNET_WONT, TELNET_DO},
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_EOR, TELNET_WILL, TELNET_DONT},
    {TELNET_TELOPT_MSSP, TELNET_WILL, TELNET_DONT},
    {TELNET_TELOPT_COMPRESS2, TELNET_WILL, TELNET_DONT},
    {kGmcp, TELNET_WILL, TELNET_DONT},
    {kCharset, TELNET_WILL, TELNET_DO},
    {-1, 0, 0},
};

// A terminal type as the client names it: printable ASCII, upper case, cut.
std::string terminal_name(const char* name) {
    std::string out;
    for (const char* p = name; p && *p && out.size() < TelnetTransport::kMaxTerminalType; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c > 0x20 && c < 0x7f) out += text::upper(*p);
    }
    return out;
}

// A terminal type answer as the client's kind is read from: printable ASCII,
// blanks kept (MTTS answers have one), cut.
std::string answer_text(const char* name) {
    std::string out;
    for (const char* p = name; p && *p && out.size() < TelnetTransport::kMaxTerminalType; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7f) out += text::upper(*p);
    }
    return out;
}

}  // namespace

std::shared_ptr<TelnetTransport> TelnetTransport::make(Accepted connection, Log log, Status status,
                                                       std::shared_ptr<asio::ssl::context> tls) {
    return std::shared_ptr<TelnetTransport>(
        new TelnetTransport(std::move(connection), std::move(log), std::move(status), std::move(tls)));
}

TelnetTransport::TelnetTransport(Accepted connection, Log log, Status status, std::shared_ptr<asio::ssl::context> tls)
    : StreamTransport(std::move(connection), std::move(log), std::move(tls)), status_(std::move(status)) {
    telnet_ = telnet_init(kOptions, &TelnetTransport::on_telnet_event, 0, this);
}

TelnetTransport::~TelnetTransport() {
    if (telnet_) telnet_free(telnet_);
}

void TelnetTransport::start() {
    if (!telnet_) {
        log_("telnet state could not be created for " + peer_);
        finish();
        return;
    }
    // NAWS first: what clients saw of the host before the others came.
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_NAWS);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_TTYPE);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_SGA);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_EOR);
    if (status_) telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_MSSP);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_COMPRESS2);
    telnet_negotiate(telnet_, TELNET_WILL, kGmcp);
    read();
}

// ---- input ------------------------------------------------------------------

void TelnetTransport::read() {
    if (state_ == State::open) read_stream();
}

void TelnetTransport::on_stream(std::string_view bytes) {
    const std::size_t admitted = compression_.admit(bytes);
    received_.clear();
    telnet_recv(telnet_, bytes.data(), admitted);
    if (compression_.refused()) {
        cut_off("it began compressed input (IAC SB COMPRESS2), which is never accepted");
        return;
    }
    if (state_ != State::open) return;  // cut off by what the parser found
    if (received_.empty()) {
        read();
        return;
    }
    if (events_.received) events_.received(received_);
}

void TelnetTransport::on_telnet_event(telnet_t*, telnet_event_t* event, void* self) {
    static_cast<TelnetTransport*>(self)->handle_event(*event);
}

void TelnetTransport::handle_event(telnet_event_t& event) {
    switch (event.type) {
    case TELNET_EV_DATA:
        if (state_ == State::open) received_.append(event.data.buffer, event.data.size);
        break;
    case TELNET_EV_SEND:
        queue(std::string_view(event.data.buffer, event.data.size));
        break;
    case TELNET_EV_SUBNEGOTIATION:
        if (event.sub.telopt == kGmcp && gmcp_ && state_ == State::open)
            gmcp_received(std::string_view(event.sub.buffer, event.sub.size));
        if (event.sub.telopt == kCharset && state_ == State::open)
            charset_request(std::string_view(event.sub.buffer, event.sub.size));
        if (event.sub.telopt == TELNET_TELOPT_NAWS && event.sub.size == 4 && state_ == State::open &&
            events_.resized) {
            auto byte = [&](int i) { return static_cast<unsigned char>(event.sub.buffer[i]); };
            events_.resized(byte(0) << 8 | byte(1), byte(2) << 8 | byte(3));
        }
        break;
    case TELNET_EV_DO:
    case TELNET_EV_DONT:
        agreed(event.neg.telopt, event.type == TELNET_EV_DO, true);
        break;
    case TELNET_EV_WILL:
    case TELNET_EV_WONT:
        agreed(event.neg.telopt, event.type == TELNET_EV_WILL, false);
        break;
    case TELNET_EV_TTYPE:
        // Only the answers to our SENDs, once he agreed to tell them.
        if (ttype_ && types_ == Types::asking && event.ttype.cmd == TELNET_TTYPE_IS && state_ == State::open)
            terminal_answer(event.ttype.name);
        break;
    case TELNET_EV_COMPRESS:
        // Our own output's compression beginning is announced here too. The
        // input's never is: CompressionRefusal stops the input before
        // libtelnet could begin to inflate it. Should a parser ever get there
        // anyway, nothing more of this client is taken.
        if (event.compress.state && !compressing_) cut_off("compressed input began, which is never accepted");
        break;
    case TELNET_EV_ERROR:
        cut_off(std::string("telnet protocol error: ") + (event.error.msg ? event.error.msg : "?"));
        break;
    case TELNET_EV_WARNING:
        // E.g. a subnegotiation longer than libtelnet buffers: it is dropped
        // and what follows is read as data again.
        log_("telnet warning from " + peer_ + ": " + (event.error.msg ? event.error.msg : "?"));
        break;
    default:
        break;  // commands and negotiations never reach the session
    }
}

// ---- options ----------------------------------------------------------------

void TelnetTransport::agreed(unsigned char option, bool on, bool ours) {
    if (state_ != State::open) return;
    spoke_ = spoke_ || on;
    if (ours) {
        switch (option) {
        case TELNET_TELOPT_SGA:
            sga_ = on;
            if (on) offer_character_echo();
            break;
        case TELNET_TELOPT_ECHO: echo_ = on; break;
        case TELNET_TELOPT_BINARY: binary_ = on; break;
        case TELNET_TELOPT_EOR:
            eor_ = on;
            mark_prompt();  // the greeting's, which came before his answer
            break;
        case TELNET_TELOPT_MSSP:
            if (on) send_status();
            break;
        case kGmcp:
            gmcp_ = on;
            if (on && events_.character_wanted) events_.character_wanted();
            break;
        case TELNET_TELOPT_COMPRESS2:
            if (on && !compressing_) {
                compressing_ = true;
                telnet_begin_compress2(telnet_);
            }
            break;
        default: break;
        }
    } else if (option == TELNET_TELOPT_TTYPE) {
        ttype_ = on;
        if (on && types_ == Types::unasked) {
            types_ = Types::asking;
            telnet_ttype_send(telnet_);
        } else if (!on && types_ != Types::known) {
            types_known();
        }
    }
    mode_may_have_changed();
}

void TelnetTransport::terminal_answer(const char* name) {
    const std::string answer = answer_text(name);
    if (answers_.empty()) {
        const std::string type = terminal_name(name);
        if (!type.empty() && events_.terminal_type) events_.terminal_type(type);
    }
    // RFC 1091: the client repeats its last type (or begins again) when it
    // has no more to name.
    const bool repeated = answer.empty() || std::find(answers_.begin(), answers_.end(), answer) != answers_.end();
    if (!repeated) answers_.push_back(answer);
    if (repeated || answers_.size() >= kMaxTypeRounds) return types_known();
    telnet_ttype_send(telnet_);
}

void TelnetTransport::types_known() {
    types_ = Types::known;
    kind_ = classify_client(answers_);
    if (kind_ != ClientKind::terminal) {
        log_(std::string(way()) + " client " + peer_ + " is a " + std::string(kind_name(kind_)) +
             (answers_.empty() ? "" : " (" + answers_.front() + ")") + ": served in line mode");
        if (events_.client_known) events_.client_known(kind_);
        mark_prompt();
    }
    offer_character_echo();
    mode_may_have_changed();
}

bool TelnetTransport::character_echo_wanted() const {
    return want_character_ && sga_ && types_ != Types::asking && kind_ == ClientKind::terminal;
}

void TelnetTransport::offer_character_echo() {
    if (character_echo_wanted()) telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_ECHO);
}

void TelnetTransport::mode_may_have_changed() {
    const bool now = character_mode();
    if (now == was_character_) return;
    was_character_ = now;
    if (events_.modes_changed) events_.modes_changed();
}

void TelnetTransport::send_status() {
    if (!status_) return;
    std::string sub;
    for (const auto& [name, value] : status_()) {
        sub += static_cast<char>(TELNET_MSSP_VAR);
        sub += name;
        sub += static_cast<char>(TELNET_MSSP_VAL);
        sub += value;
    }
    telnet_subnegotiation(telnet_, TELNET_TELOPT_MSSP, sub.data(), sub.size());
}

void TelnetTransport::want_character_mode() {
    if (want_character_ || !sending() || !telnet_) return;
    want_character_ = true;
    offer_character_echo();
    mode_may_have_changed();
}

void TelnetTransport::end_prompt() {
    if (!sending() || !telnet_) return;
    unmarked_prompt_ = true;
    mark_prompt();
}

void TelnetTransport::mark_prompt() {
    if (!unmarked_prompt_ || !sending() || !telnet_) return;
    if (eor_)
        telnet_iac(telnet_, TELNET_EOR);
    else if (kind_ != ClientKind::terminal || (spoke_ && !sga_))
        telnet_iac(telnet_, TELNET_GA);
    else
        return;
    unmarked_prompt_ = false;
}

// ---- CHARSET -----------------------------------------------------------------

// "REQUEST [TTABLE] version? ;UTF-8;ISO-8859-1": UTF-8 is accepted where
// the client offers it, anything else rejected (the host speaks UTF-8, or
// CP437 to the terminals that call themselves so).
void TelnetTransport::charset_request(std::string_view sub) {
    if (sub.empty() || static_cast<unsigned char>(sub.front()) != kCharsetRequest) return;
    sub.remove_prefix(1);
    if (sub.starts_with("[TTABLE]")) sub.remove_prefix(std::min<std::size_t>(sub.size(), 9));  // and its version
    bool utf8 = false;
    if (!sub.empty()) {
        const char separator = sub.front();
        for (std::size_t at = 1; at <= sub.size();) {
            const std::size_t end = std::min(sub.find(separator, at), sub.size());
            utf8 = utf8 || text::equal_ignoring_case(sub.substr(at, end - at), "UTF-8");
            at = end + 1;
        }
    }
    std::string answer(1, static_cast<char>(utf8 ? kCharsetAccepted : kCharsetRejected));
    if (utf8) answer += "UTF-8";
    telnet_subnegotiation(telnet_, kCharset, answer.data(), answer.size());
}

// ---- GMCP -------------------------------------------------------------------

void TelnetTransport::gmcp_received(std::string_view message) {
    if (message.size() > GmcpClient::kMaxMessage) {
        log_("telnet client " + peer_ + ": a GMCP message of " + std::to_string(message.size()) +
             " bytes dropped (at most " + std::to_string(GmcpClient::kMaxMessage) + ")");
        return;
    }
    if (const auto answer = gmcp_client_.received(message)) send_gmcp(*answer);
    // A client may ask for the Char messages only now: he hears his character at once.
    if (gmcp_client_.supports_changed() && events_.character_wanted) events_.character_wanted();
}

void TelnetTransport::send_gmcp(std::string_view message) {
    if (gmcp_ && sending() && telnet_) telnet_subnegotiation(telnet_, kGmcp, message.data(), message.size());
}

void TelnetTransport::character(const PublicUserInfo& info) {
    if (!wants_character()) return;
    for (const std::string& message : gmcp_client_.character_news(info)) send_gmcp(message);
}

void TelnetTransport::closing() { send_gmcp("Core.Goodbye"); }

std::string TelnetTransport::last_words() {
    // Written as it is: not inside a compressed stream.
    if (!gmcp_ || compressing_) return {};
    return "\xff\xfa\xc9" "Core.Goodbye" "\xff\xf0";
}

// ---- output -----------------------------------------------------------------

void TelnetTransport::send(std::string_view bytes) {
    if (bytes.empty()) return;
    unmarked_prompt_ = false;
    if (!sending() || !telnet_) return;
    if (binary_) {
        telnet_send(telnet_, bytes.data(), bytes.size());
        return;
    }
    // Telnet's text mode: a return that is not a line's end is CR NUL.
    std::string text;
    text.reserve(bytes.size() + 8);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += bytes[i];
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) text += '\0';
    }
    telnet_send(telnet_, text.data(), text.size());
}

void TelnetTransport::local_echo(bool on) {
    if (!sending() || !telnet_) return;
    if (on && character_echo_wanted()) return;  // the host echoes in character mode
    if (on) echo_ = false;  // ours no more, whether he answers or not
    telnet_negotiate(telnet_, on ? TELNET_WONT : TELNET_WILL, TELNET_TELOPT_ECHO);
    mode_may_have_changed();
}

}  // namespace app
