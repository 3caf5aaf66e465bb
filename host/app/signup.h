// Sign-up of new users: what a new user-ID and its password must be, and
// the sysop's settings in the data folder's signup.ini.
//
// A new user-ID has 3 to 29 characters: a letter first, then ASCII letters,
// digits, the marks - _ . and single blanks between words. ASCII only, as
// user-IDs are compared ignoring ASCII letter case: "Ä" and "ä" would be two
// accounts, and letters of other scripts that look like Latin ones would
// let a newcomer pass for somebody else. It is not taken (ignoring letter
// case) and is none of the reserved words:
//   NEW     what a user types at the User-ID prompt to sign up
//   ALL     everybody, where a user-ID names whom to write to
//   SYSOP, ADMIN, ROOT   would pass for the people who run the system
//   GUEST   an account many systems share without a password
// A new password has at least 8 characters and does not contain the
// user-ID (ignoring letter case).
//
// signup.ini (made by `bbshost init`, closed, and with the demo folder,
// open):
//   [signup]
//   mode = closed     open: a new user logs on at once; validate: his
//                     account awaits a sysop (bbshost user validate);
//                     closed: no sign-up
//   class = Member    the class, host credits and membership days a new
//   credits = 0       account gets
//   days = 30
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace bbs {
class Accounts;
}

namespace app {

// Empty when `userid` may be signed up with `password`; otherwise one
// sentence for the user saying what is wrong (the user-ID first).
std::string check_new_account(bbs::Accounts& accounts, std::string_view userid, std::string_view password);
// The rules without the accounts: `taken` says whether the user-ID is.
std::string check_new_account(std::string_view userid, std::string_view password, bool taken);
// The two halves of it: the user-ID alone, and the password for a user-ID.
std::string check_new_userid(std::string_view userid, bool taken);
std::string check_new_password(std::string_view userid, std::string_view password);
// Whether a typed user-ID asks for sign-up (NEW, ignoring letter case).
bool asks_for_signup(std::string_view typed);

enum class SignupMode { open, validate, closed };

struct SignupSettings {
    SignupMode mode = SignupMode::closed;
    std::string class_name = "Member";
    int64_t credits = 0;
    uint16_t days = 30;
};

inline constexpr const char* kSignupFile = "signup.ini";

// Reads the settings; a missing file is closed sign-up. A value that cannot
// be read keeps its default (closed for the mode) and is named in *problems
// ("signup.ini: mode \"opne\" is not open, validate or closed: sign-up
// stays closed").
SignupSettings read_signup_settings(const std::filesystem::path& file, std::vector<std::string>* problems);

// Writes DIR/signup.ini with `mode` and the default class, credits and days
// (or with `settings`), unless the folder has one. False with *error when it
// cannot.
bool write_signup_settings(const std::filesystem::path& dir, SignupMode mode, std::string* error);
bool write_signup_settings(const std::filesystem::path& dir, const SignupSettings& settings, std::string* error);

}  // namespace app
