#include "app/signup.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <limits>
#include <system_error>

#include "bbs/accounts.h"
#include "text/ascii.h"
#include "text/utf8.h"

namespace app {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kShortestUserId = 3, kLongestUserId = 29, kShortestPassword = 8;
constexpr const char* kReserved[] = {"new", "all", "sysop", "admin", "root", "guest"};

bool well_formed_userid(std::string_view id) {
    if (!std::isalpha(static_cast<unsigned char>(id.front()))) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const auto c = static_cast<unsigned char>(id[i]);
        if (c == ' ' && id[i - 1] != ' ' && i + 1 < id.size()) continue;
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += text::decode_utf8(text, at).size) ++count;
    return count;
}

const char* mode_name(SignupMode mode) {
    switch (mode) {
    case SignupMode::open: return "open";
    case SignupMode::validate: return "validate";
    case SignupMode::closed: return "closed";
    }
    return "closed";
}

template <typename Number>
bool read_number(const char* text, Number low, Number high, Number* into) {
    const std::string_view value(text);
    Number n{};
    const auto [end, fault] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (fault != std::errc() || end != value.data() + value.size() || value.empty() || n < low || n > high)
        return false;
    *into = n;
    return true;
}

struct Reading {
    SignupSettings settings;
    std::vector<std::string>* problems;
    std::string file;
};

int take_setting(void* user, const char*, const char* name, const char* value) {
    auto& r = *static_cast<Reading*>(user);
    const std::string shown = std::string(name) + " \"" + text::log_excerpt(value) + "\"";
    auto problem = [&](const std::string& what) { r.problems->push_back(r.file + ": " + what); };
    if (text::equal_ignoring_case(name, "mode")) {
        bool known = false;
        for (SignupMode m : {SignupMode::open, SignupMode::validate, SignupMode::closed})
            if (text::equal_ignoring_case(value, mode_name(m))) r.settings.mode = m, known = true;
        if (!known) problem(shown + " is not open, validate or closed: sign-up stays closed");
    } else if (text::equal_ignoring_case(name, "class")) {
        if (*value) r.settings.class_name = value;
        else problem("class is empty: new accounts get " + r.settings.class_name);
    } else if (text::equal_ignoring_case(name, "credits")) {
        if (!read_number<int64_t>(value, 0, std::numeric_limits<int64_t>::max(), &r.settings.credits))
            problem(shown + " is not a whole number from 0: new accounts get " + std::to_string(r.settings.credits));
    } else if (text::equal_ignoring_case(name, "days")) {
        if (!read_number<uint16_t>(value, 0, 65535, &r.settings.days))
            problem(shown + " is not a whole number from 0 to 65535: new accounts get " +
                    std::to_string(r.settings.days));
    } else {
        problem("unknown setting " + shown);
    }
    return 1;
}

}  // namespace

std::string check_new_userid(std::string_view userid, bool taken) {
    if (userid.size() < kShortestUserId || userid.size() > kLongestUserId)
        return "A user-ID has 3 to 29 characters.";
    if (!well_formed_userid(userid))
        return "A user-ID begins with a letter and holds only letters, digits, - _ . and single blanks between words.";
    const std::string id = text::lowercase(userid);
    if (std::find(std::begin(kReserved), std::end(kReserved), id) != std::end(kReserved))
        return "That user-ID is reserved.";
    if (taken) return "That user-ID is taken.";
    return {};
}

std::string check_new_password(std::string_view userid, std::string_view password) {
    if (characters(password) < kShortestPassword) return "A password has at least 8 characters.";
    if (text::lowercase(password).find(text::lowercase(userid)) != std::string::npos)
        return "A password must not contain the user-ID.";
    return {};
}

std::string check_new_account(std::string_view userid, std::string_view password, bool taken) {
    std::string fault = check_new_userid(userid, taken);
    return fault.empty() ? check_new_password(userid, password) : fault;
}

bool asks_for_signup(std::string_view typed) { return text::equal_ignoring_case(typed, kReserved[0]); }

std::string check_new_account(bbs::Accounts& accounts, std::string_view userid, std::string_view password) {
    return check_new_account(userid, password, accounts.find(userid).has_value());
}

SignupSettings read_signup_settings(const fs::path& file, std::vector<std::string>* problems) {
    Reading reading{{}, problems, file.filename().string()};
    const int failed = ini_parse(file.c_str(), take_setting, &reading);
    if (failed == -1) return SignupSettings{};   // no file: closed
    if (failed != 0) {
        problems->push_back(reading.file + ":" + std::to_string(failed) +
                            ": not a setting: sign-up stays closed");
        return SignupSettings{};
    }
    return reading.settings;
}

bool write_signup_settings(const fs::path& dir, SignupMode mode, std::string* error) {
    SignupSettings settings;
    settings.mode = mode;
    return write_signup_settings(dir, settings, error);
}

bool write_signup_settings(const fs::path& dir, const SignupSettings& settings, std::string* error) {
    const fs::path file = dir / kSignupFile;
    std::error_code ec;
    if (fs::exists(file, ec)) return true;
    std::ofstream out(file, std::ios::trunc);
    out << "; Sign-up of new users, and what a new account gets (sysop.md: Locks, bans and sign-up).\n"
           "[signup]\n"
           "; open: a new user logs on at once; validate: his account waits until a sysop\n"
           "; validates it (bbshost user pending, user validate, user reject); closed: none.\n"
        << "mode = " << mode_name(settings.mode) << "\n"
        << "class = " << settings.class_name << "\n"
        << "credits = " << settings.credits << "\n"
        << "days = " << settings.days << "\n";
    if (out.flush()) return true;
    *error = "cannot write " + file.string();
    return false;
}

}  // namespace app
