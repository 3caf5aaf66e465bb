#include "app/admin/admin.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "bbs/accounts.h"
#include "bbs/host.h"

namespace app::admin {

int bad(const std::string& message) {
    std::cerr << "bbshost: " << message << std::endl;
    return kBadInput;
}

int failed(const std::string& message) {
    std::cerr << "bbshost: " << message << std::endl;
    return kFailure;
}

// An empty value would read as 0 (or as "not given"): a script's empty
// variable must not zero a balance nor pass for a change.
const CLI::Validator kNotEmpty(
    [](const std::string& value) { return value.empty() ? std::string("a whole number is needed, not an empty value") : ""; },
    "", "not empty");

void Arguments::declare(CLI::App& command, const std::vector<Option>& options) {
    using Kind = Option::Kind;
    for (const Option& o : options) {
        const std::string name(o.name), help(o.help);
        auto [at, fresh] = values_.try_emplace(name, Value{o.kind});
        if (!fresh) throw std::logic_error("option " + name + " declared twice");
        Value& v = at->second;
        CLI::Option* option = nullptr;
        switch (o.kind) {
        case Kind::text:
            v.text = o.initial;
            option = command.add_option(name, v.text, help);
            if (!o.initial.empty()) option->capture_default_str();
            break;
        case Kind::path:
            option = command.add_option(name, v.text, help)->transform([](std::string given) {
                std::error_code ec;
                const auto absolute = std::filesystem::absolute(given, ec);
                return ec || given.empty() ? given : absolute.string();
            });
            break;
        case Kind::number: option = command.add_option(name, v.number, help)->check(kNotEmpty); break;
        case Kind::flag: option = command.add_flag(name, v.flag, help); break;
        case Kind::texts: option = command.add_option(name, v.texts, help)->take_last(); break;
        case Kind::maybe_text: option = command.add_option(name, v.maybe_text, help); break;
        case Kind::maybe_number: option = command.add_option(name, v.maybe_number, help)->check(kNotEmpty); break;
        }
        if (o.required) option->required();
        v.option = option;
    }
}

const Arguments::Value& Arguments::value(std::string_view name,
                                         std::initializer_list<Option::Kind> kinds) const {
    const auto at = values_.find(name);
    if (at == values_.end() || std::find(kinds.begin(), kinds.end(), at->second.kind) == kinds.end())
        throw std::logic_error("the command has no option " + std::string(name) + " of that kind");
    return at->second;
}

const std::string& Arguments::text(std::string_view name) const {
    const Value& v = value(name, {Option::Kind::text, Option::Kind::path, Option::Kind::maybe_text});
    static const std::string kNone;
    return v.kind != Option::Kind::maybe_text ? v.text : v.maybe_text ? *v.maybe_text : kNone;
}

std::optional<std::string> Arguments::given_text(std::string_view name) const {
    const Value& v = value(name, {Option::Kind::text, Option::Kind::maybe_text});
    if (v.kind == Option::Kind::maybe_text) return v.maybe_text;
    if (v.option->count() == 0) return std::nullopt;
    return v.text;
}

std::optional<int64_t> Arguments::number(std::string_view name) const {
    const Value& v = value(name, {Option::Kind::number, Option::Kind::maybe_number});
    if (v.kind == Option::Kind::maybe_number) return v.maybe_number;
    if (v.option->count() == 0) return std::nullopt;
    return v.number;
}

bool Arguments::flag(std::string_view name) const { return value(name, {Option::Kind::flag}).flag; }

const std::vector<std::string>& Arguments::texts(std::string_view name) const {
    return value(name, {Option::Kind::texts}).texts;
}

bool Arguments::given(std::string_view name) const {
    const auto at = values_.find(name);
    if (at == values_.end()) throw std::logic_error("the command has no option " + std::string(name));
    return at->second.option->count() > 0;
}

bbs::Host& Call::host() const {
    if (!host_) throw std::logic_error("a command that works on the folder itself has no host");
    return *host_;
}

std::vector<Option> with(std::vector<Option> first, const std::vector<Option>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

std::optional<bbs::AccountInfo> named_account(const Call& call) {
    const std::string& userid = call.args().text("ID");
    auto account = call.host().accounts().find(userid);
    if (!account) bad("no user \"" + userid + "\"");
    return account;
}

bool in_range(const std::optional<int64_t>& value, int64_t low, int64_t high, std::string_view what,
              std::string* error) {
    if (!value || (*value >= low && *value <= high)) return true;
    *error = std::string(what) + " " + std::to_string(*value) + " is out of range (" +
             std::to_string(low) + ".." + std::to_string(high) + ")";
    return false;
}

std::string utc_time(int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!gmtime_r(&when, &utc)) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool read_line(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

namespace {

// Terminal echo off for as long as it lives.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        on_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (on_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool on_ = false;
};

}  // namespace

bool read_password(std::string* password, std::string* error) {
    if (!::isatty(STDIN_FILENO)) {
        if (read_line(password) && !password->empty()) return true;
        *error = "no password on standard input (give it as one line, e.g. from a file or a pipe)";
        return false;
    }
    std::string again;
    {
        EchoOff quiet(STDIN_FILENO);
        std::cerr << "Password: " << std::flush;
        const bool got = read_line(password);
        std::cerr << "Password again: " << std::flush;
        if (!got || !read_line(&again)) {
            *error = "no password typed";
            return false;
        }
    }
    if (*password != again) {
        *error = "the two passwords differ";
        return false;
    }
    if (password->empty()) {
        *error = "the password must not be empty";
        return false;
    }
    return true;
}

}  // namespace app::admin
