// Fuzz target: telnet negotiation, subnegotiation and compressed input against bbshost's session.
// Byte 0: log on first (bit 0) and how steps are cut; then each byte picks a step (read_program).
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <libtelnet.h>

#include "app/wire.h"
#include "tests/fuzz/fuzz.h"
#include "tests/fuzz/telnet_connection.h"

namespace plusfuzz {
namespace {

using namespace std::chrono_literals;

constexpr auto kTurnBudget = 500ms;        // sanitizers and a busy machine included
constexpr auto kInputBudget = 20s;
constexpr long kMemoryBudgetKib = 64 * 1024;
constexpr size_t kMaxSteps = 256;
constexpr int kCompress2 = 86;
constexpr int kGmcp = 201;
constexpr int kCharset = 42;

std::string iac_doubled(std::string_view bytes) {
    std::string out;
    for (char c : bytes) out += static_cast<unsigned char>(c) == TELNET_IAC ? std::string(2, c) : std::string(1, c);
    return out;
}

std::string zlib_bomb(size_t blocks) {
    std::string plain;
    for (size_t i = 0; i < blocks; ++i) {
        plain += "tell Bobo boom\r\n";
        plain.append(64 * 1024 - 16, '\n');
    }
    uLongf size = compressBound(plain.size());
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
                  plain.size(), 9) != Z_OK)
        fail("zlib could not compress");
    packed.resize(size);
    return packed;
}

struct Program {
    bool log_on = false;
    uint8_t seed = 0;
    std::vector<std::string> steps;
    size_t compressed_at = std::string::npos;  // the step that starts compressed input
};

// Steps: 0-3 IAC WILL/WONT/DO/DONT x; 4 IAC SB x .. IAC SE; 5 the same broken
// off by IAC and a command; 6 IAC SB x and 128 x N bytes (past libtelnet's
// buffer); 7 IAC SB COMPRESS2 IAC SE and a zlib bomb; 8 a line; 9 IAC x.
Program read_program(std::string_view input) {
    Program p;
    p.log_on = input[0] & 1, p.seed = static_cast<uint8_t>(input[0]) >> 1;
    size_t i = 1;
    auto next = [&]() -> uint8_t { return i < input.size() ? input[i++] : 0; };
    auto ch = [&] { return static_cast<char>(next()); };
    auto take = [&](size_t n) { const auto bytes = input.substr(i, n); i += bytes.size(); return bytes; };
    constexpr char iac = char(TELNET_IAC), sb = char(TELNET_SB), se = char(TELNET_SE);
    while (i < input.size() && p.steps.size() < kMaxSteps) {
        const int op = next() % 10;
        std::string step{iac};
        if (op <= 3) {
            step += {static_cast<char>(TELNET_WILL + op), ch()};  // WILL, WONT, DO, DONT in a row
        } else if (op <= 5) {
            step += {sb, ch()};
            const size_t n = next() % 48;
            step += iac_doubled(take(n)) + iac;
            step += op == 4 ? se : ch();
        } else if (op == 6) {
            step += {sb, ch()};
            step.append(128 * (1 + next()), 'B');
        } else if (op == 7) {
            if (p.compressed_at == std::string::npos) p.compressed_at = p.steps.size();
            step += std::string{sb, static_cast<char>(kCompress2), iac, se} + zlib_bomb(1 + next() % 64);
        } else if (op == 8) {
            step = std::string(take(next() % 32)) + "\r\n";
        } else {
            step += ch();
        }
        p.steps.push_back(std::move(step));
    }
    return p;
}

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// libtelnet behind CompressionRefusal, as the session has them: compression
// must never begin, and nothing past the refusal may come out.
void check_refusal_before_libtelnet(const std::vector<std::string>& steps) {
    struct Seen {
        bool compressing = false, refused = false, after_refusal = false;
    } seen;
    auto handler = [](telnet_t*, telnet_event_t* ev, void* user) {
        auto* s = static_cast<Seen*>(user);
        if (ev->type == TELNET_EV_COMPRESS) s->compressing = true;
        if (ev->type == TELNET_EV_SUBNEGOTIATION && ev->sub.telopt == kCompress2) s->compressing = true;
        if (s->refused) s->after_refusal = true;
    };
    static const telnet_telopt_t options[] = {{TELNET_TELOPT_ECHO, TELNET_WONT, TELNET_DONT},
                                              {TELNET_TELOPT_NAWS, TELNET_WONT, TELNET_DO},
                                              {-1, 0, 0}};
    telnet_t* parser = telnet_init(options, handler, 0, &seen);
    app::CompressionRefusal refusal;
    for (const auto& step : steps) {
        const size_t admitted = refusal.admit(step);
        telnet_recv(parser, step.data(), admitted);
        if (refusal.refused()) seen.refused = true;
        if (refusal.admit(step.substr(admitted)) != 0) fail("bytes were admitted after the refusal");
    }
    telnet_free(parser);
    if (seen.compressing) fail("libtelnet began compressed input behind CompressionRefusal");
    if (seen.after_refusal) fail("libtelnet reported something after the refusal");
}

void check_negotiations(const ServerSaid& said) {
    auto one_of = [](int option, std::initializer_list<int> options) {
        return std::find(options.begin(), options.end(), option) != options.end();
    };
    for (auto [verb, option] : said.negotiations) {
        if (verb == TELNET_EV_WILL && !one_of(option, {TELNET_TELOPT_ECHO, TELNET_TELOPT_BINARY, TELNET_TELOPT_SGA,
                                                       TELNET_TELOPT_EOR, TELNET_TELOPT_MSSP, kCompress2, kGmcp, kCharset}))
            fail("the server offered option " + std::to_string(option));
        if (verb == TELNET_EV_DO &&
            !one_of(option, {TELNET_TELOPT_NAWS, TELNET_TELOPT_TTYPE, TELNET_TELOPT_BINARY, TELNET_TELOPT_SGA,
                             kCharset}))
            fail("the server asked for option " + std::to_string(option));
    }
    for (int option : said.subnegotiations)
        if (!one_of(option, {TELNET_TELOPT_TTYPE, TELNET_TELOPT_MSSP, kCompress2, kGmcp, kCharset}))
            fail("the server subnegotiated option " + std::to_string(option));
}

}  // namespace

void fuzz_one(std::string_view input) {
    if (input.empty()) return;
    const Program program = read_program(input);
    check_refusal_before_libtelnet(program.steps);

    const long peak_before = peak_kib();
    const auto start = std::chrono::steady_clock::now();
    TelnetConnection connection;
    if (program.log_on) connection.send("Alice\r\nsecret\r\n");
    for (size_t i = 0; i < program.steps.size() && !connection.closed_by_server(); ++i) {
        const std::string& step = program.steps[i];
        for (auto piece : cut(step, program.seed, 97)) connection.send(piece);  // sequences split over reads
        if (i == program.compressed_at && !connection.closed_by_server())
            fail("the session was not cut off when it began compressed input");
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const auto longest = connection.longest_turn();
    connection.hang_up();
    connection.check_closed();
    check_negotiations(connection.said());

    if (longest > kTurnBudget) fail("one turn of the loop took " + std::to_string(longest / 1ms) + " ms");
    if (took > kInputBudget) fail("the input took " + std::to_string(took / 1ms) + " ms");
    const long grown = peak_kib() - peak_before;
    if (grown > kMemoryBudgetKib) fail("the peak resident set grew by " + std::to_string(grown) + " KiB");
}

}  // namespace plusfuzz
