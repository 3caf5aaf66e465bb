// The server's side of a WebSocket connection after the opening handshake:
// frames read from the client's bytes and written for it, byte in and byte
// out, no socket. Extensions are never agreed, so the RSV bits are zero.
//
// Reading: every client frame must be masked; data messages may come in
// fragments with control frames between them; a message larger than the
// limit, a text message that is not UTF-8 or any breach of the framing
// fails the connection with a Close frame (1009, 1007 or 1002). A ping is
// answered with a pong, unless the output limit's worth waits untaken: then
// it fails the connection (1008). Pongs are ignored. Memory held is bounded
// by the message limit (plus one frame header and one control payload) and
// by the output limit (plus one pong and a Close) where the caller's own
// sends are bounded, whatever the input.
//
// Closing: a client's Close is answered with a Close of the same code and
// the connection is then closed; close() sends ours and waits for the
// client's (data arriving meanwhile is dropped). Once state() is closed,
// the transport writes what take_output() still gives and closes the TCP
// connection (the server closes first); a transport that waits for the
// client's answer to close() should do so under a timeout of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

namespace close_code {
inline constexpr std::uint16_t normal = 1000;
inline constexpr std::uint16_t going_away = 1001;
inline constexpr std::uint16_t protocol_error = 1002;
inline constexpr std::uint16_t invalid_data = 1007;   // e.g. a text message that is not UTF-8
inline constexpr std::uint16_t policy = 1008;
inline constexpr std::uint16_t too_big = 1009;
inline constexpr std::uint16_t internal_error = 1011;
inline constexpr std::uint16_t none = 1005;           // a Close without a code (never sent)
}  // namespace close_code

struct WebSocketLimits {
    std::size_t max_message = 64 * 1024;  // payload bytes of one data message, all fragments together
    // Output waiting untaken at which a ping fails the connection (1008)
    // instead of being answered: a client that pings and never reads
    // cannot pile up pongs.
    std::size_t max_output = 256 * 1024;
};

class WebSocket {
public:
    enum class State {
        open,     // messages flow both ways
        closing,  // our Close is sent; waiting for the client's
        closed,   // the close handshake is over or the connection failed
    };

    struct Message {
        bool text = false;  // a text message (valid UTF-8) or a binary one
        std::string data;
        bool operator==(const Message&) const = default;
    };

    explicit WebSocket(WebSocketLimits limits = {}) : limits_(limits) {}

    // Reads client bytes; every data message they complete is appended to
    // `messages`. Bytes after the connection is closed are ignored.
    void feed(std::string_view bytes, std::vector<Message>& messages);

    // Queue one unfragmented, unmasked frame; ignored unless open.
    void send_binary(std::string_view payload);
    void send_text(std::string_view payload);  // the caller vouches for UTF-8
    void ping(std::string_view payload);       // at most 125 bytes kept

    // Starts the close handshake with `code` (1000..4999, not 1004..1006
    // or 1015; anything else is sent as 1011) and a reason cut to 123 bytes
    // on a character boundary. Ignored unless open.
    void close(std::uint16_t code, std::string_view reason = {});

    // The bytes to send, handed over once; and how many wait.
    std::string take_output();
    std::size_t pending_output() const { return output_.size(); }

    State state() const { return state_; }
    // Once closing or closed: the code of the first Close sent or received
    // (close_code::none when the client's Close had none) and its reason.
    std::uint16_t close_code() const { return close_code_; }
    const std::string& close_reason() const { return close_reason_; }
    bool closed_by_client() const { return closed_by_client_; }
    // When the connection failed: what was wrong with the client's bytes.
    const std::string& failure() const { return failure_; }

private:
    void header_complete();
    void frame_complete(std::vector<Message>& messages);
    void client_close(std::string_view payload);
    void fail(std::uint16_t code, std::string why);
    void queue_frame(std::uint8_t opcode, std::string_view payload);

    WebSocketLimits limits_;
    State state_ = State::open;

    // The frame being read.
    std::array<std::uint8_t, 14> header_{};
    std::size_t header_size_ = 0;
    std::size_t header_need_ = 2;
    bool in_payload_ = false;
    bool fin_ = false;
    std::uint8_t opcode_ = 0;
    std::array<std::uint8_t, 4> mask_{};
    std::uint64_t remaining_ = 0;  // payload bytes still to come
    std::size_t mask_offset_ = 0;
    std::string control_;          // the payload of a control frame

    // The data message being assembled.
    bool in_message_ = false;
    bool message_text_ = false;
    std::string message_;

    std::string output_;
    std::uint16_t close_code_ = 0;
    std::string close_reason_;
    bool closed_by_client_ = false;
    std::string failure_;
};

}  // namespace web
