#include "web/websocket.h"

#include <algorithm>
#include <utility>

#include "text/utf8.h"

namespace web {
namespace {

constexpr std::uint8_t kContinuation = 0x0, kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9, kPong = 0xA;
constexpr std::size_t kMaxControl = 125;
constexpr std::size_t kMaxCloseReason = kMaxControl - 2;

// Codes an endpoint may put in a Close frame.
bool sendable(std::uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

std::string close_payload(std::uint16_t code, std::string_view reason) {
    std::string payload;
    payload += static_cast<char>(code >> 8);
    payload += static_cast<char>(code & 0xFF);
    payload += text::cut_utf8(reason, kMaxCloseReason);
    return payload;
}

}  // namespace

void WebSocket::feed(std::string_view bytes, std::vector<Message>& messages) {
    while (state_ != State::closed && !bytes.empty()) {
        if (!in_payload_) {
            const std::size_t take = std::min(header_need_ - header_size_, bytes.size());
            std::copy_n(reinterpret_cast<const std::uint8_t*>(bytes.data()), take, header_.begin() + header_size_);
            header_size_ += take;
            bytes.remove_prefix(take);
            if (header_size_ < header_need_) break;
            header_complete();
            if (in_payload_ && remaining_ == 0) frame_complete(messages);
            continue;
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size()));
        std::string& target = (opcode_ & 0x8) ? control_ : message_;
        const std::size_t start = target.size();
        target.append(bytes.data(), take);
        for (std::size_t i = 0; i < take; ++i)
            target[start + i] = static_cast<char>(target[start + i] ^ mask_[(mask_offset_ + i) & 3]);
        mask_offset_ += take;
        remaining_ -= take;
        bytes.remove_prefix(take);
        if (remaining_ == 0) frame_complete(messages);
    }
}

void WebSocket::header_complete() {
    if (header_need_ == 2) {
        // The first two bytes: what they say about the frame is checked
        // before the rest of the header is waited for.
        fin_ = header_[0] & 0x80;
        opcode_ = header_[0] & 0x0F;
        const std::uint8_t length7 = header_[1] & 0x7F;
        if (header_[0] & 0x70) return fail(close_code::protocol_error, "RSV bits set, but no extension was agreed");
        if (!(header_[1] & 0x80)) return fail(close_code::protocol_error, "a client frame is not masked");
        switch (opcode_) {
            case kContinuation:
                if (!in_message_) return fail(close_code::protocol_error, "a continuation frame outside a fragmented message");
                break;
            case kText:
            case kBinary:
                if (in_message_) return fail(close_code::protocol_error, "a new data message inside a fragmented one");
                break;
            case kClose:
            case kPing:
            case kPong:
                if (!fin_) return fail(close_code::protocol_error, "a fragmented control frame");
                if (length7 > kMaxControl) return fail(close_code::protocol_error, "a control frame longer than 125 bytes");
                break;
            default:
                return fail(close_code::protocol_error, "unknown opcode " + std::to_string(opcode_));
        }
        header_need_ = 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) + 4;
        return;
    }
    const std::uint8_t length7 = header_[1] & 0x7F;
    std::uint64_t length = length7;
    std::size_t at = 2;
    if (length7 >= 126) {
        const std::size_t width = length7 == 126 ? 2 : 8;
        length = 0;
        for (std::size_t i = 0; i < width; ++i) length = (length << 8) | header_[at + i];
        at += width;
        if (length >> 63) return fail(close_code::protocol_error, "a payload length with its top bit set");
    }
    std::copy_n(header_.begin() + at, 4, mask_.begin());
    header_size_ = 0;
    header_need_ = 2;
    if (!(opcode_ & 0x8)) {
        if (length > limits_.max_message - message_.size())
            return fail(close_code::too_big, "a message larger than " + std::to_string(limits_.max_message) + " bytes");
        if (opcode_ != kContinuation) {
            in_message_ = true;
            message_text_ = opcode_ == kText;
        }
    }
    in_payload_ = true;
    remaining_ = length;
    mask_offset_ = 0;
}

void WebSocket::frame_complete(std::vector<Message>& messages) {
    in_payload_ = false;
    if (opcode_ & 0x8) {
        if (opcode_ == kClose) client_close(control_);
        else if (opcode_ == kPing && state_ == State::open && output_.size() >= limits_.max_output)
            fail(close_code::policy, "a ping while " + std::to_string(output_.size()) + " bytes of output wait unread");
        else if (opcode_ == kPing && state_ == State::open) queue_frame(kPong, control_);
        control_.clear();
        return;
    }
    if (!fin_) return;
    in_message_ = false;
    if (message_text_ && !text::valid_utf8(message_)) return fail(close_code::invalid_data, "a text message that is not UTF-8");
    if (state_ == State::open) messages.push_back({message_text_, std::move(message_)});
    message_.clear();
}

void WebSocket::client_close(std::string_view payload) {
    std::uint16_t code = close_code::none;
    std::string_view reason;
    if (payload.size() == 1) return fail(close_code::protocol_error, "a Close payload of one byte");
    if (payload.size() >= 2) {
        code = static_cast<std::uint16_t>((static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]));
        if (!sendable(code)) return fail(close_code::protocol_error, "Close code " + std::to_string(code) + " may not be sent");
        reason = payload.substr(2);
        if (!text::valid_utf8(reason)) return fail(close_code::invalid_data, "a Close reason that is not UTF-8");
    }
    if (state_ == State::open) {
        close_code_ = code;
        close_reason_ = std::string(reason);
        closed_by_client_ = true;
        queue_frame(kClose, code == close_code::none ? std::string() : close_payload(code, {}));
    }
    state_ = State::closed;
    message_ = std::string();
}

void WebSocket::fail(std::uint16_t code, std::string why) {
    if (state_ == State::closed) return;
    failure_ = std::move(why);
    if (state_ == State::open) {
        close_code_ = code;
        close_reason_ = std::string(text::cut_utf8(failure_, kMaxCloseReason));
        queue_frame(kClose, close_payload(code, close_reason_));
    }
    state_ = State::closed;
    message_ = std::string();
    control_ = std::string();
}

void WebSocket::queue_frame(std::uint8_t opcode, std::string_view payload) {
    output_ += static_cast<char>(0x80 | opcode);
    const std::uint64_t n = payload.size();
    if (n < 126) {
        output_ += static_cast<char>(n);
    } else if (n <= 0xFFFF) {
        output_ += static_cast<char>(126);
        output_ += static_cast<char>(n >> 8);
        output_ += static_cast<char>(n & 0xFF);
    } else {
        output_ += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) output_ += static_cast<char>((n >> shift) & 0xFF);
    }
    output_ += payload;
}

void WebSocket::send_binary(std::string_view payload) {
    if (state_ == State::open) queue_frame(kBinary, payload);
}

void WebSocket::send_text(std::string_view payload) {
    if (state_ == State::open) queue_frame(kText, payload);
}

void WebSocket::ping(std::string_view payload) {
    if (state_ == State::open) queue_frame(kPing, payload.substr(0, kMaxControl));
}

void WebSocket::close(std::uint16_t code, std::string_view reason) {
    if (state_ != State::open) return;
    if (!sendable(code)) code = close_code::internal_error;
    std::string_view kept = text::cut_utf8(reason, kMaxCloseReason);
    if (!text::valid_utf8(kept)) kept = {};
    close_code_ = code;
    close_reason_ = std::string(kept);
    queue_frame(kClose, close_payload(code, kept));
    state_ = State::closing;
}

std::string WebSocket::take_output() { return std::exchange(output_, std::string()); }

}  // namespace web
