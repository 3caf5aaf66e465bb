// The administration commands of bbshost, as table rows: every command is
// a row of its noun's table (user.cpp, key.cpp, ...) naming its words, its
// options, what it loads and its routine; dispatch.h makes the command line
// from the tables and runs the row chosen. A routine prints its result on
// stdout and its errors on stderr, and answers an exit status.
//
// A new command of an existing noun is one row and one routine in the
// noun's file; a new noun is a file of its own with its Noun, declared at
// the end of this header and listed in dispatch.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace bbs {
class Host;
struct AccountInfo;
}  // namespace bbs

namespace app::admin {

enum Exit { kOk = 0, kFailure = 1, kBadInput = 2 };

// "bbshost: MESSAGE" on standard error, and the exit code of bad input or
// of a failure.
int bad(const std::string& message);
int failed(const std::string& message);

// What a command loads before its routine runs.
enum class Needs {
    folder,    // nothing: the routine works on the data folder itself (init, backup, ...)
    host,      // the host's accounts, classes and generic database; no module
    game,      // that and the game, without its add-ons (characters, mail)
    modules,   // that and Brakvold Plus (an account deletion they must see)
};

// One option or positional argument of a command. A name that begins with
// "--" is an option, any other a positional argument (in the order given).
struct Option {
    enum class Kind {
        text,           // one value; `initial` when not given, shown in --help
        path,           // a file's name, made absolute from the folder bbshost was
                        // started in (the host works inside the data folder)
        number,         // one whole number (never empty)
        flag,           // no value
        texts,          // one value each time it is given, all of them kept
        maybe_text,     // one value or none
        maybe_number,   // one whole number (never empty), or not given
    };
    Kind kind;
    std::string_view name;
    std::string_view help;
    bool required = false;
    std::string_view initial{};
};
inline constexpr bool kRequired = true;
// The user-ID most commands take first.
inline constexpr Option kUserId{Option::Kind::text, "ID", "User-ID", kRequired};

// The values of one command's options once the command line is parsed.
// Asking for a name the command does not declare, or as another kind, is a
// programming error (std::logic_error).
class Arguments {
public:
    // Declares `options` on `command` (CLI11), bound to this object's values.
    // REQUIRES: called once, before parsing; this object outlives `command`'s use.
    void declare(CLI::App& command, const std::vector<Option>& options);

    // text: the value (or the initial one); maybe_text: the value or "".
    const std::string& text(std::string_view name) const;
    // text, maybe_text: the value when given; none otherwise.
    std::optional<std::string> given_text(std::string_view name) const;
    // number, maybe_number: the value when given; none otherwise.
    std::optional<int64_t> number(std::string_view name) const;
    bool flag(std::string_view name) const;
    const std::vector<std::string>& texts(std::string_view name) const;
    // The option appeared on the command line (texts: at least once).
    bool given(std::string_view name) const;

private:
    struct Value {
        Option::Kind kind;
        std::string text{};
        int64_t number = 0;
        bool flag = false;
        std::vector<std::string> texts{};
        std::optional<std::string> maybe_text{};
        std::optional<int64_t> maybe_number{};
        const CLI::Option* option = nullptr;
    };
    const Value& value(std::string_view name, std::initializer_list<Option::Kind> kinds) const;
    // Nodes of a map stay where they are: CLI11 writes into them.
    std::map<std::string, Value, std::less<>> values_;
};

// The data folder and the serving options a command may need.
struct Folder {
    std::filesystem::path data;
    int channels = 64;
    std::filesystem::path config_dir;   // the templates a new data folder is made from
};

// What a routine gets: its arguments, the folder, and the host its row
// asked for.
class Call {
public:
    Call(const Arguments& args, const Folder& folder, bbs::Host* host)
        : args_(args), folder_(folder), host_(host) {}
    const Arguments& args() const { return args_; }
    const Folder& folder() const { return folder_; }
    // REQUIRES: the row's needs are not Needs::folder.
    bbs::Host& host() const;

private:
    const Arguments& args_;
    const Folder& folder_;
    bbs::Host* host_;
};

// One command: `bbshost NOUN VERB ARGUMENTS`, or `bbshost NOUN ARGUMENTS`
// for a noun that is a command of its own (its one row has an empty verb).
struct Command {
    std::string_view verb;
    std::string_view help;
    std::vector<Option> options;   // in the order --help lists them
    Needs needs;
    int (*run)(const Call& call);
};

struct Noun {
    std::string_view name;
    std::string_view help;   // empty for a noun that is a command of its own
    std::vector<Command> commands;
};

// `first` and then `more`: options shared by several commands.
std::vector<Option> with(std::vector<Option> first, const std::vector<Option>& more);

// Helpers of the routines.

// The account of the user-ID argument ID. None when there is no such
// account, after saying so on standard error (the routine then answers
// kBadInput).
std::optional<bbs::AccountInfo> named_account(const Call& call);

// True when `value` is missing or within low..high; else false with *error
// naming `what`.
bool in_range(const std::optional<int64_t>& value, int64_t low, int64_t high, std::string_view what,
              std::string* error);
// Seconds since 1970 as YYYY-MM-DDTHH:MM:SSZ (UTC).
std::string utc_time(int64_t seconds);
// One line of standard input without its line end; false at its end.
bool read_line(std::string* line);
// A password, never from the command line (where every user of the
// machine could read it): from a terminal, asked twice without echo;
// otherwise one line of standard input. False with *error when there is
// none, it is empty or the two differ.
bool read_password(std::string* password, std::string* error);

// The nouns, one file each, in the order --help lists them.
extern const Noun kUser, kKey, kBan, kClass, kPlayer, kMail, kDb;   // user.cpp, key.cpp, ban.cpp, ...
extern const Noun kInit;                                      // init.cpp
extern const Noun kBackup, kRestore;                          // backup.cpp
extern const Noun kFingerprint;                               // fingerprint.cpp

}  // namespace app::admin
