#include "app/mssp_settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <sstream>

#include "text/ascii.h"
#include "text/utf8.h"

namespace app {

namespace {

constexpr std::array<std::string_view, 4> kStatus = {"Alpha", "Closed Beta", "Open Beta", "Live"};
constexpr std::array<std::string_view, 10> kGenre = {"Adult",   "Fantasy", "Historical", "Horror",          "Modern",
                                                     "Mystery", "None",    "Romance",    "Science Fiction", "Spiritual"};
constexpr std::array<std::string_view, 10> kGameplay = {
    "Adventure",  "Educational", "Hack and Slash", "None",     "Player versus Player", "Player versus Environment",
    "Roleplaying", "Simulation", "Social",         "Strategy"};

template <std::size_t N>
bool one_of(std::string_view value, const std::array<std::string_view, N>& words, std::string* why) {
    for (auto word : words)
        if (text::equal_ignoring_case(value, word)) return true;
    *why = "not one of";
    for (auto word : words) *why += (word == words.front() ? " " : ", ") + std::string(word);
    return false;
}

bool number_in(std::string_view value, long low, long high, std::string* why) {
    long n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec == std::errc() && end == value.data() + value.size() && n >= low && n <= high) return true;
    *why = "not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    return false;
}

// Whether a value fits its variable; else *why says how it does not.
bool fits(std::string_view variable, std::string_view value, std::string* why) {
    if (variable == "STATUS") return one_of(value, kStatus, why);
    if (variable == "GENRE") return one_of(value, kGenre, why);
    if (variable == "GAMEPLAY") return one_of(value, kGameplay, why);
    if (variable == "CREATED") return number_in(value, 1970, 2999, why);
    if (variable == "MINIMUM AGE") return number_in(value, 0, 99, why);
    if (variable == "WEBSITE" || variable == "DISCORD" || variable == "ICON") {
        if (text::starts_ignoring_case(value, "https://") || text::starts_ignoring_case(value, "http://")) {
            if (value.find(' ') == std::string_view::npos) return true;
        }
        *why = "not a web address (http:// or https://, without blanks)";
        return false;
    }
    if (variable == "CONTACT") {
        const auto at = value.find('@');
        if (at != std::string_view::npos && at > 0 && at + 1 < value.size() && value.find(' ') == std::string_view::npos)
            return true;
        *why = "not an e-mail address";
        return false;
    }
    return true;
}

}  // namespace

const std::vector<std::string_view> MsspSettings::kSysopVariables = {
    "HOSTNAME", "CONTACT",  "WEBSITE",  "DISCORD",    "ICON",      "LANGUAGE",    "LOCATION", "GENRE",
    "SUBGENRE", "GAMEPLAY", "GAMESYSTEM", "INTERMUD", "STATUS",    "CREATED",     "MINIMUM AGE", "DESCRIPTION"};

std::optional<MsspSettings> MsspSettings::parse(std::string_view text_in, std::string_view name, std::string* error) {
    MsspSettings settings;
    std::vector<std::string> seen;
    std::size_t number = 0;
    auto wrong = [&](const std::string& why) {
        *error = std::string(name) + ":" + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    for (std::size_t start = 0; start < text_in.size();) {
        const std::size_t end = std::min(text_in.find('\n', start), text_in.size());
        std::string_view line = text_in.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string_view trimmed = text::trim(line);
        if (trimmed.empty() || trimmed.front() == '#') continue;
        const std::size_t equals = trimmed.find('=');
        if (equals == std::string_view::npos) return wrong("no \"VARIABLE = value\"");
        const std::string variable = text::uppercase(text::trim(trimmed.substr(0, equals)));
        const std::string_view value = text::trim(trimmed.substr(equals + 1));
        if (std::find(kSysopVariables.begin(), kSysopVariables.end(), variable) == kSysopVariables.end()) {
            const auto host = host_variables({});
            const bool hosts = std::any_of(host.begin(), host.end(), [&](const auto& v) { return v.first == variable; });
            return wrong("\"" + text::escaped_for_log(variable) + "\" " +
                         (hosts ? "is the host's own" : "is no MSSP variable a sysop sets"));
        }
        if (std::find(seen.begin(), seen.end(), variable) != seen.end()) return wrong(variable + " is set twice");
        seen.push_back(variable);
        if (value.empty()) continue;
        if (!text::valid_utf8(value)) return wrong(variable + ": the value is not UTF-8");
        if (std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
            return wrong(variable + ": the value holds a control character");
        if (value.size() > kMaxValue)
            return wrong(variable + ": the value is longer than " + std::to_string(kMaxValue) + " bytes");
        std::string why;
        if (!fits(variable, value, &why)) return wrong(variable + ": \"" + std::string(value) + "\" is " + why);
        settings.variables_.emplace_back(variable, std::string(value));
    }
    return settings;
}

std::optional<MsspSettings> MsspSettings::load(const std::filesystem::path& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = file.string() + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text_of;
    text_of << in.rdbuf();
    return parse(text_of.str(), file.string(), error);
}

bool MsspSettings::make(const std::filesystem::path& dir, std::string* error) {
    const auto file = dir / kFileName;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) return true;
    std::ofstream out(file, std::ios::binary);
    out << "# What this host tells MUD listings over MSSP, beside what it knows itself\n"
           "# (NAME, PLAYERS, UPTIME, PORT, SSL, CODEBASE, the protocols, PAY FOR PERKS).\n"
           "# \"VARIABLE = value\"; an empty value is not sent. bbshost checks this file when\n"
           "# it starts (and refuses to start on a mistake) and at SIGHUP (keeping the\n"
           "# settings it has on a mistake); docs/sysop.md says what each variable takes.\n";
    for (auto variable : kSysopVariables) out << variable << " =\n";
    out.close();
    if (!out) {
        *error = file.string() + ": cannot be written";
        return false;
    }
    return true;
}

MsspVariables host_variables(const MsspFacts& facts) {
    return {{"NAME", facts.name},
            {"PLAYERS", std::to_string(facts.players)},
            {"UPTIME", std::to_string(facts.started)},
            {"PORT", std::to_string(facts.port)},
            {"SSL", std::to_string(facts.tls_port)},
            {"CODEBASE", facts.codebase},
            {"ANSI", "1"},
            {"UTF-8", "1"},
            {"VT100", "1"},
            {"XTERM 256 COLORS", "1"},
            {"GMCP", "1"},
            {"MCCP", "1"},
            {"MSSP", "1"},
            {"PAY FOR PERKS", "1"}};
}

}  // namespace app
