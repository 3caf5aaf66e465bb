// One key a user pressed, as the input decoder reports it.
#pragma once

#include <cstdint>

namespace terminal {

struct Key {
    enum class Code : uint8_t {
        character,  // `ch` is the character typed (a printable code point)
        control,    // `ch` is the letter of Ctrl-A .. Ctrl-Z ('A'..'Z'), other than
                    // those that are Enter, Backspace and Tab
        enter, backspace, del, tab, escape,
        up, down, left, right, home, end, page_up, page_down, insert,
    };

    Code code = Code::character;
    char32_t ch = 0;

    constexpr Key() = default;
    constexpr Key(Code c) : code(c) {}  // NOLINT: a key code is a key
    static constexpr Key text(char32_t c) { return Key(Code::character, c); }
    static constexpr Key ctrl(char letter) { return Key(Code::control, static_cast<char32_t>(letter)); }

    bool is_text(char32_t c) const { return code == Code::character && ch == c; }
    bool is_ctrl(char letter) const { return code == Code::control && ch == static_cast<char32_t>(letter); }
    friend bool operator==(const Key&, const Key&) = default;

private:
    constexpr Key(Code c, char32_t character) : code(c), ch(character) {}
};

}  // namespace terminal
