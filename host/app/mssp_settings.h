// The sysop's MSSP settings: what the host tells MUD listings (their
// crawlers ask for MSSP, telnet option 70) beside what it knows itself.
//
// The file (kFileName in the data folder, made with every variable empty
// by `init` and by the first start) holds lines "VARIABLE = value"; blank
// lines and lines beginning with '#' are comments, and a variable left
// empty is not sent. Only the variables of kSysopVariables may be set, each
// once; a value is UTF-8 text without control characters of at most
// kMaxValue bytes, and some must be of a form (kSysopVariables' rules):
// CREATED a year, MINIMUM AGE a whole number 0..99, STATUS, GENRE and
// GAMEPLAY one of MSSP's words, WEBSITE and DISCORD a web address, CONTACT
// an e-mail address.
//
// host_variables() are the host's own: NAME, PLAYERS, UPTIME, PORT, SSL,
// CODEBASE, the protocols it speaks (ANSI, UTF-8, VT100, XTERM 256 COLORS,
// GMCP, MCCP, MSSP) and "PAY FOR PERKS" 1; a file may not set them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app {

using MsspVariables = std::vector<std::pair<std::string, std::string>>;

class MsspSettings {
public:
    static constexpr const char* kFileName = "mssp.conf";
    static constexpr std::size_t kMaxValue = 400;
    static const std::vector<std::string_view> kSysopVariables;

    // The settings of the file's text; nothing with *error saying
    // "NAME:LINE: what is wrong" (NAME: the file's name as given).
    static std::optional<MsspSettings> parse(std::string_view text, std::string_view name, std::string* error);
    // The same from the file; a file that cannot be read is an error too.
    static std::optional<MsspSettings> load(const std::filesystem::path& file, std::string* error);
    // Writes the file with every variable empty where there is none yet.
    // False with *error when it cannot be written.
    static bool make(const std::filesystem::path& dir, std::string* error);

    // The variables set, in the file's order.
    const MsspVariables& variables() const { return variables_; }

private:
    MsspVariables variables_;
};

// What the host knows: its name and codebase, the users on, when it began
// serving (seconds since 1970), the telnet port asked and the TLS port (0:
// none).
struct MsspFacts {
    std::string name, codebase;
    std::size_t players = 0;
    long long started = 0;
    unsigned port = 0, tls_port = 0;
};
MsspVariables host_variables(const MsspFacts& facts);

}  // namespace app
