// Fuzz target: bbshost's telnet input path through logon, game and module, then a hang-up;
// the same bytes through LineAssembler and LineBreaks, whatever the pieces, as GMCP messages and as MSSP settings.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "app/gmcp.h"
#include "app/mssp_settings.h"
#include "app/wire.h"
#include "tests/fuzz/fuzz.h"
#include "tests/fuzz/telnet_connection.h"

namespace plusfuzz {
namespace {

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
    const auto single = assemble(cut(bytes, seed, 1), limit);
    if (whole != pieces || whole != single) fail("the line assembler's lines depend on how the bytes are cut");
    size_t ends = 0;  // CR, CR LF and a lone LF each end one line
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\r' || (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) ++ends;
    if (whole.size() != ends)
        fail(std::to_string(ends) + " line ends made " + std::to_string(whole.size()) + " lines");
    for (const auto& line : whole) {
        if (line.size() > limit)
            fail("a line of " + std::to_string(line.size()) + " bytes passed the limit " + std::to_string(limit));
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
    const auto crlf = static_cast<size_t>(std::ranges::count(wire_whole, '\r'));  // each one of a CR LF now
    if (ends != crlf) fail(std::to_string(ends) + " line breaks became " + std::to_string(crlf) + " on the wire");
}

// The bytes as GMCP messages of a client (each line one): a name without blanks or controls, only Core.Ping
// answered, and the client's packages as they say.
void check_gmcp(std::string_view bytes) {
    app::GmcpClient client;
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= bytes.size();) {
        const size_t end = std::min(bytes.find('\n', start), bytes.size());
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    for (auto line : lines) {
        if (const auto message = app::parse_gmcp(line)) {
            for (char c : message->name)
                if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
                    fail("a GMCP name holds the byte " + shown(std::string_view(&c, 1)));
        }
        const auto answer = client.received(line);
        if (answer && *answer != "Core.Ping") fail("a GMCP message was answered with \"" + shown(*answer) + "\"");
    }
    PublicUserInfo info{};
    for (const auto& news : client.character_news(info)) {
        if (!client.supports(news.substr(0, news.find(' '))))
            fail("GMCP sent a package the client does not support: " + shown(news));
    }
    if (!client.character_news(info).empty()) fail("unchanged GMCP messages were sent again");
}

// The bytes as a sysop's MSSP settings: refused with the line that is wrong, or only a sysop's variables,
// each once, with values that fit on the wire.
void check_mssp(std::string_view bytes) {
    std::string error;
    const auto settings = app::MsspSettings::parse(bytes, "mssp.conf", &error);
    if (!settings) {
        if (error.rfind("mssp.conf:", 0) != 0) fail("an MSSP refusal without its line: " + shown(error));
        return;
    }
    std::vector<std::string> seen;
    for (const auto& [variable, value] : settings->variables()) {
        const auto& known = app::MsspSettings::kSysopVariables;
        if (std::find(known.begin(), known.end(), variable) == known.end()) fail("MSSP took the variable " + shown(variable));
        if (std::find(seen.begin(), seen.end(), variable) != seen.end()) fail("MSSP took " + variable + " twice");
        seen.push_back(variable);
        if (value.empty() || value.size() > app::MsspSettings::kMaxValue) fail("MSSP took a value of " + shown(value));
        for (char c : value)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || static_cast<unsigned char>(c) == 0xff)
                fail("an MSSP value holds the byte " + shown(std::string_view(&c, 1)));
    }
}

}  // namespace

void fuzz_one(std::string_view bytes) {  // byte 0 cuts the rest in pieces
    if (bytes.empty()) return;
    const auto seed = static_cast<uint8_t>(bytes[0]);
    bytes.remove_prefix(1);
    check_wire_helpers(bytes, seed);
    check_gmcp(bytes);
    check_mssp(bytes);
    TelnetConnection connection;
    for (auto piece : cut(bytes, seed)) connection.send(piece);
    connection.hang_up();
    connection.check_closed();
}

}  // namespace plusfuzz
