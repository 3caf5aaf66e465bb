#include "terminal/input_decoder.h"

#include <algorithm>

namespace terminal {

namespace {
constexpr unsigned char kEsc = 0x1B;
constexpr unsigned kNumberCap = 10000;

// The cursor keys both CSI and SS3 end with; false for any other final byte.
bool cursor_key(unsigned char final, std::vector<Key>& keys) {
    switch (final) {
    case 'A': keys.emplace_back(Key::Code::up); return true;
    case 'B': keys.emplace_back(Key::Code::down); return true;
    case 'C': keys.emplace_back(Key::Code::right); return true;
    case 'D': keys.emplace_back(Key::Code::left); return true;
    case 'H': keys.emplace_back(Key::Code::home); return true;
    case 'F': keys.emplace_back(Key::Code::end); return true;
    default: return false;
    }
}
}  // namespace

void InputDecoder::set_encoding(Encoding encoding) {
    encoding_ = encoding;
    utf8_.reset();
}

void InputDecoder::feed(std::string_view bytes, std::vector<Key>& keys) {
    for (char c : bytes) byte(static_cast<unsigned char>(c), keys);
}

void InputDecoder::flush(std::vector<Key>& keys) {
    if (state_ != State::escape) return;
    state_ = State::ground;
    keys.emplace_back(Key::Code::escape);
}

void InputDecoder::start_sequence(State state) {
    state_ = state;
    number_ = 0;
    in_first_number_ = true;
    unusual_ = false;
    any_parameter_ = false;
    string_length_ = 0;
}

void InputDecoder::byte(unsigned char b, std::vector<Key>& keys) {
    switch (state_) {
    case State::ground:
        ground(b, keys);
        return;
    case State::escape:
        if (b == '[') {
            start_sequence(State::csi);
        } else if (b == 'O') {
            start_sequence(State::ss3);
        } else if (b == ']' || b == 'P' || b == 'X' || b == '^' || b == '_') {
            start_sequence(State::string);
        } else {
            keys.emplace_back(Key::Code::escape);
            state_ = State::ground;
            ground(b, keys);  // ESC ESC leaves the second one pending
        }
        return;
    case State::csi:
    case State::ss3:
        if (state_ == State::csi && b == '[' && !any_parameter_) {
            state_ = State::linux_fkey;  // ESC [ [ A: the Linux console's F1
        } else if (b >= '0' && b <= '9') {
            any_parameter_ = true;
            if (in_first_number_) number_ = std::min(number_ * 10 + (b - '0'), kNumberCap);
        } else if (b == ';') {
            any_parameter_ = true;
            in_first_number_ = false;
        } else if (b >= 0x20 && b <= 0x3F) {
            any_parameter_ = true;
            unusual_ = true;  // private markers and intermediates: nothing we know
        } else if (b >= 0x40 && b <= 0x7E) {
            State was = state_;
            state_ = State::ground;
            if (was == State::csi) csi_final(b, keys);
            else ss3_final(b, keys);
        } else {
            state_ = State::ground;  // broken off: drop it, take the byte as typed
            ground(b, keys);
        }
        return;
    case State::linux_fkey:
        state_ = State::ground;
        if (b < 0x20 || b > 0x7E) ground(b, keys);
        return;
    case State::string:
        if (b == 0x07 || b == 0x18 || b == 0x1A) {
            state_ = State::ground;
        } else if (b == kEsc) {
            state_ = State::string_escape;
        } else if (++string_length_ > kMaxString) {
            state_ = State::ground;
            ground(b, keys);
        }
        return;
    case State::string_escape:
        if (b == '\\') {
            state_ = State::ground;
        } else {
            state_ = State::escape;  // not a string terminator: a new sequence
            byte(b, keys);
        }
        return;
    }
}

void InputDecoder::ground(unsigned char b, std::vector<Key>& keys) {
    if (utf8_.pending() || (b >= 0x80 && encoding_ == Encoding::utf8)) {
        switch (utf8_.feed(b)) {
        case Utf8Stream::Result::pending:
        case Utf8Stream::Result::invalid: return;
        case Utf8Stream::Result::character: text(utf8_.character(), keys); return;
        case Utf8Stream::Result::restart: ground(b, keys); return;  // b starts afresh
        }
    }
    if (after_cr_) {
        after_cr_ = false;
        if (b == '\n') return;  // the second half of CR LF (a NUL, of CR NUL, is dropped anyway)
    }
    switch (b) {
    case '\r':
        after_cr_ = true;
        keys.emplace_back(Key::Code::enter);
        return;
    case '\n': keys.emplace_back(Key::Code::enter); return;
    case 0x08:
    case 0x7F: keys.emplace_back(Key::Code::backspace); return;
    case '\t': keys.emplace_back(Key::Code::tab); return;
    case kEsc: state_ = State::escape; return;
    default: break;
    }
    if (b >= 0x01 && b <= 0x1A) keys.push_back(Key::ctrl(static_cast<char>('A' + b - 1)));
    else if (b >= 0x20 && b < 0x7F) text(b, keys);
    else if (b >= 0x80) text(cp437_glyph(b), keys);  // CP437: UTF-8 bytes never come here
}

void InputDecoder::text(char32_t c, std::vector<Key>& keys) {
    if (!printable(c)) return;  // C1 controls, in UTF-8 form
    after_cr_ = false;
    keys.push_back(Key::text(c));
}

void InputDecoder::csi_final(unsigned char final, std::vector<Key>& keys) {
    if (unusual_ || cursor_key(final, keys)) return;
    if (final != '~') return;  // function keys, reports, focus events: nothing for us
    switch (number_) {
    case 1:
    case 7: keys.emplace_back(Key::Code::home); return;
    case 2: keys.emplace_back(Key::Code::insert); return;
    case 3: keys.emplace_back(Key::Code::del); return;
    case 4:
    case 8: keys.emplace_back(Key::Code::end); return;
    case 5: keys.emplace_back(Key::Code::page_up); return;
    case 6: keys.emplace_back(Key::Code::page_down); return;
    default: return;  // F5 and up, bracketed paste marks
    }
}

void InputDecoder::ss3_final(unsigned char final, std::vector<Key>& keys) {
    if (!cursor_key(final, keys) && final == 'M') keys.emplace_back(Key::Code::enter);  // keypad Enter
}

}  // namespace terminal
