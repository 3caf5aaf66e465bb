// Fuzz target: bbshost's telnet input path through logon, game and module, then a hang-up;
// the same bytes through LineAssembler and LineBreaks, whatever the pieces.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace

void fuzz_one(std::string_view bytes) {  // byte 0 cuts the rest in pieces
    if (bytes.empty()) return;
    const auto seed = static_cast<uint8_t>(bytes[0]);
    bytes.remove_prefix(1);
    check_wire_helpers(bytes, seed);
    TelnetConnection connection;
    for (auto piece : cut(bytes, seed)) connection.send(piece);
    connection.hang_up();
    connection.check_closed();
}

}  // namespace plusfuzz
