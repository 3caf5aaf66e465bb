// Fuzz target: bbshost's telnet input path. The input is what a client
// sends: a fresh host (with the game and Brakvold Plus), a fresh server and
// one real telnet session on a loopback TCP connection; the bytes go in in
// pieces (their lengths drawn from the first byte), the loop runs after each
// piece, then the client hangs up. Through it go libtelnet's telnet_recv,
// the session's events, the line assembler, the logon dialogue, and for a
// logged-on user every line into the host, its global commands, the game and
// the module, and their output back through the line breaks and telnet_send.
//
// Checked:
//   - no crash, no sanitizer report;
//   - what the server sends is well-formed telnet (a client's libtelnet
//     reads it without an error), and its text has only CR LF line breaks;
//   - once the client has hung up, the session is closed and gone and no
//     channel of the host is online any more;
// and, on the same bytes, the byte-level helpers of app/wire.h:
//   - LineAssembler: lines are no longer than its limit and hold no CR, LF,
//     NUL, BS or DEL; as many lines end as the bytes have line ends; and
//     the lines do not depend on how the bytes are cut into pieces;
//   - LineBreaks: the wire text has only CR LF line breaks, as many as the
//     text has, whatever the pieces.
// (Negotiation and subnegotiation in depth: negotiation_fuzz.cpp.)
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "app/wire.h"
#include "tests/fuzz/fuzz_world.h"
#include "tests/fuzz/telnet_connection.h"

namespace plusfuzz {
namespace {

// ---- the byte-level helpers ---------------------------------------------------

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
    const auto single = [&] {
        std::vector<std::string_view> ones;
        for (size_t i = 0; i < bytes.size(); ++i) ones.push_back(bytes.substr(i, 1));
        return assemble(ones, limit);
    }();
    if (whole != pieces || whole != single) fail("the line assembler's lines depend on how the bytes are cut");
    size_t ends = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\r' || (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) ++ends;
    if (whole.size() != ends)
        fail(std::to_string(ends) + " line ends made " + std::to_string(whole.size()) + " lines");
    for (const auto& line : whole) {
        if (line.size() > limit) fail("a line of " + std::to_string(line.size()) + " bytes passed the limit " + std::to_string(limit));
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
    size_t breaks = 0, crlf = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\r' || (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) ++breaks;
    for (size_t i = 0; i + 1 < wire_whole.size(); ++i)
        if (wire_whole[i] == '\r' && wire_whole[i + 1] == '\n') ++crlf;
    if (breaks != crlf) fail(std::to_string(breaks) + " line breaks became " + std::to_string(crlf) + " on the wire");
}

}  // namespace
}  // namespace plusfuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t seed = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    plusfuzz::check_wire_helpers(bytes, seed);
    plusfuzz::TelnetConnection connection;
    for (auto piece : plusfuzz::cut(bytes, seed)) connection.send(piece);
    connection.hang_up();
    connection.check_closed();
    return 0;
}
