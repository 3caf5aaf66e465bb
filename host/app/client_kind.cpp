#include "app/client_kind.h"

#include <array>
#include <charconv>

#include "text/ascii.h"

namespace app {

namespace {

// The first names MUD clients give (their first word, in any letter case).
constexpr std::array<std::string_view, 10> kMudClients = {"MUDLET",    "TINTIN++",  "MUSHCLIENT", "CMUD",
                                                          "ZMUD",      "BLIGHTMUD", "KILDCLIENT", "POTATO",
                                                          "BEIP",      "MUDRAMMER"};

std::string_view first_word(std::string_view name) {
    name = text::trim(name);
    return name.substr(0, name.find_first_of(" /"));
}

}  // namespace

std::optional<std::uint32_t> mtts_bits(std::string_view answer) {
    answer = text::trim(answer);
    if (!text::starts_ignoring_case(answer, "MTTS ")) return std::nullopt;
    const std::string_view number = text::trim(answer.substr(5));
    std::uint32_t bits = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), bits);
    if (ec != std::errc() || end != number.data() + number.size() || number.empty()) return std::nullopt;
    return bits;
}

ClientKind classify_client(std::span<const std::string> answers) {
    for (const std::string& answer : answers) {
        if (const auto bits = mtts_bits(answer)) {
            if (*bits & mtts::screen_reader) return ClientKind::screen_reader;
            if (!(*bits & mtts::vt100)) return ClientKind::mud_client;
        }
    }
    if (answers.empty()) return ClientKind::terminal;
    const std::string_view name = first_word(answers.front());
    for (const std::string_view mud : kMudClients)
        if (text::equal_ignoring_case(name, mud)) return ClientKind::mud_client;
    return ClientKind::terminal;
}

std::string_view kind_name(ClientKind kind) {
    switch (kind) {
    case ClientKind::mud_client: return "MUD client";
    case ClientKind::screen_reader: return "screen reader";
    case ClientKind::terminal: break;
    }
    return "terminal";
}

}  // namespace app
