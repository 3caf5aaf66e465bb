#include "terminal/output.h"

namespace terminal {

namespace {
constexpr unsigned char kEsc = 0x1B;

bool string_introducer(unsigned char b) { return b == ']' || b == 'P' || b == 'X' || b == '^' || b == '_'; }
}  // namespace

bool EscapeScanner::in_sequence(unsigned char b) {
    switch (state_) {
    case State::text:
        if (b != kEsc) return false;
        state_ = State::escape;
        return true;
    case State::escape:
        if (b == '[') state_ = State::csi;
        else if (string_introducer(b)) state_ = State::string, string_length_ = 0;
        else if (b >= 0x30 && b <= 0x7E) state_ = State::text;  // the final byte
        else if (!(b >= 0x20 && b <= 0x2F) && b != kEsc) return (state_ = State::text), false;
        return true;  // intermediates and ESC keep the sequence going
    case State::csi:
        if (b >= 0x40 && b <= 0x7E) state_ = State::text;
        else if (b == kEsc) state_ = State::escape;
        else if (b < 0x20 || b > 0x7E) return (state_ = State::text), false;
        return true;
    case State::string:
        if (b == 0x07) state_ = State::text;
        else if (b == kEsc) state_ = State::string_escape;
        else if (++string_length_ > kMaxString) return (state_ = State::text), false;
        return true;
    case State::string_escape:
        if (b == '\\') {
            state_ = State::text;
            return true;
        }
        state_ = State::escape;  // not a terminator: the ESC began a new sequence
        return in_sequence(b);
    }
    return false;
}

size_t printable_run(std::string_view bytes, size_t from) {
    size_t i = from;
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) - 0x20u < 0x5Fu) ++i;
    return i - from;
}

std::string AnsiStripper::strip(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes)
        if (!scanner_.in_sequence(static_cast<unsigned char>(c))) out += c;
    return out;
}

std::string Cp437Encoder::encode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        switch (utf8_.feed(b)) {
        case Utf8Stream::Result::pending:
            ++pending_;
            break;
        case Utf8Stream::Result::character: {
            char32_t c = utf8_.character();
            int mapped = c < 0x80 ? static_cast<int>(c) : cp437_from_unicode(c);
            out += static_cast<char>(mapped < 0 ? '?' : mapped);
            pending_ = 0;
            break;
        }
        case Utf8Stream::Result::invalid:
            out.append(pending_ + 1, '?');  // each byte of it, as utf8_to_cp437 does
            pending_ = 0;
            break;
        case Utf8Stream::Result::restart:
            out.append(pending_, '?');
            pending_ = 0;
            --i;  // the byte starts afresh
            break;
        }
    }
    return out;
}

}  // namespace terminal
