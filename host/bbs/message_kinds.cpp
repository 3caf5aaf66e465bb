// Message files: the kinds entries are read with, and the checks of a
// table against its module's catalogue (bbs/messages.h).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>

#include "bbs/messages.h"
#include "text/ascii.h"

namespace bbs {

namespace {

using Reader = EntryKind::Reader;
using Argument = EntryKind::Argument;

// Without the white space at either end.
std::string trimmed(std::string_view s) { return std::string(text::trim(s, text::kWhiteSpace)); }

bool whole_number(std::string_view s) {
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

bool one_of(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

const char* argument_word(Argument a) {
    switch (a) {
    case Argument::string: return "string";
    case Argument::integer: return "integer";
    case Argument::count: return "count";
    }
    return "?";
}

const char* article(Argument a) { return a == Argument::integer ? "an" : "a"; }

const char* conversions_for(Argument a) {
    switch (a) {
    case Argument::string: return "%s";
    case Argument::integer: return "%d or %i";
    case Argument::count: return "%d, %i or %u";
    }
    return "?";
}

bool fits(char conversion, Argument a) {
    switch (a) {
    case Argument::string: return conversion == 's';
    case Argument::integer: return conversion == 'd' || conversion == 'i';
    case Argument::count: return conversion == 'd' || conversion == 'i' || conversion == 'u';
    }
    return false;
}

std::string argument_list(const std::vector<Argument>& args) {
    std::string out;
    for (Argument a : args) out += std::string(out.empty() ? "" : ", ") + argument_word(a);
    return out;
}

// The first conversion of `text` that does not fit `args`: its offset and
// why. `label` names the entry ("28 PLSPRMT").
bool check_conversions(std::string_view text, const std::vector<Argument>& args, bool declared,
                       const std::string& label, size_t* at, std::string* why) {
    const std::string percent_hint = declared ? "write %% for a percent sign"
                                              : "write %% for a percent sign, or give the entry its "
                                                "arguments with a \"#: prfmsg(...)\" line";
    size_t next = 0;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '%') continue;
        if (i + 1 < n && text[i + 1] == '%') {
            ++i;
            continue;
        }
        *at = i;
        size_t j = i + 1;
        while (j < n && one_of(text[j], "-+ #0'I")) ++j;
        bool positional = false, star = false, length = false;
        auto digits = [&] {
            while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        };
        digits();
        if (j < n && text[j] == '$') {
            positional = true;
            ++j;
            digits();
        }
        if (j < n && text[j] == '*') {
            star = true;
            ++j;
        }
        digits();
        if (j < n && text[j] == '.') {
            ++j;
            if (j < n && text[j] == '*') {
                star = true;
                ++j;
            }
            digits();
        }
        while (j < n && one_of(text[j], "hlLqjzt")) {
            length = true;
            ++j;
        }
        if (j >= n) {
            *why = j == i + 1 ? "a lone '%' at the end of the text (" + percent_hint + ")"
                              : "an unfinished conversion \"" + std::string(text.substr(i)) +
                                    "\" at the end of the text (" + percent_hint + ")";
            return false;
        }
        const char conversion = text[j];
        const std::string spec = "\"" + std::string(text.substr(i, j - i + 1)) + "\"";
        if (!one_of(conversion, "diouxXcseEfFgGaApnmCS")) {
            *why = "unknown conversion " + spec + " (" + percent_hint + ")";
            return false;
        }
        if (conversion == 'n') {
            *why = "conversion " + spec + " writes into memory and is never allowed";
            return false;
        }
        if (positional) {
            *why = "conversion " + spec + " picks its argument by position; print the arguments in order";
            return false;
        }
        if (star) {
            *why = "conversion " + spec + " takes a width or precision from an argument; write the number";
            return false;
        }
        if (length) {
            *why = "conversion " + spec + " has a length modifier; the arguments are texts and 32-bit integers";
            return false;
        }
        if (next >= args.size()) {
            *why = "conversion " + spec + " has no argument to print: " + label + " takes " +
                   (args.empty() ? std::string("none") + " (" + percent_hint + ")"
                                 : std::to_string(args.size()) + " (" + argument_list(args) + ")");
            return false;
        }
        const Argument a = args[next++];
        if (!fits(conversion, a)) {
            *why = "conversion " + spec + " does not fit: argument " + std::to_string(next) + " is " +
                   article(a) + " " + argument_word(a) + " (print it with " + conversions_for(a) + ")";
            return false;
        }
        i = j;
    }
    return true;
}

}  // namespace

bool EntryKind::is_option() const {
    return reader != Reader::unknown && reader != Reader::prfmsg;
}

std::string EntryKind::text() const {
    switch (reader) {
    case Reader::unknown: return {};
    case Reader::numopt: return "numopt(" + std::to_string(floor) + ".." + std::to_string(ceiling) + ")";
    case Reader::lngopt: return "lngopt(" + std::to_string(floor) + ".." + std::to_string(ceiling) + ")";
    case Reader::ynopt: return "ynopt";
    case Reader::stgopt: return "stgopt";
    case Reader::hasmkey: return "hasmkey";
    case Reader::prfmsg: return arguments.empty() ? "prfmsg" : "prfmsg(" + argument_list(arguments) + ")";
    }
    return {};
}

bool parse_entry_kind(std::string_view text, EntryKind* kind, std::string* why) {
    const std::string all = trimmed(text);
    const std::string expected =
        " (numopt(LOW..HIGH), lngopt(LOW..HIGH), ynopt, stgopt, hasmkey or prfmsg(ARGUMENTS) expected)";
    size_t open = all.find('(');
    const std::string word = text::lowercase(trimmed(std::string_view(all).substr(0, open)));
    std::string inside;
    if (open != std::string::npos) {
        if (all.back() != ')') {
            *why = "kind \"" + all + "\" lacks its closing ')'";
            return false;
        }
        inside = trimmed(std::string_view(all).substr(open + 1, all.size() - open - 2));
    }
    EntryKind k;
    static const std::pair<const char*, Reader> kReaders[] = {
        {"numopt", Reader::numopt}, {"lngopt", Reader::lngopt}, {"ynopt", Reader::ynopt},
        {"stgopt", Reader::stgopt}, {"hasmkey", Reader::hasmkey}, {"prfmsg", Reader::prfmsg}};
    for (const auto& [name, reader] : kReaders)
        if (word == name) k.reader = reader;
    if (k.reader == Reader::unknown) {
        *why = "unknown kind \"" + all + "\"" + expected;
        return false;
    }
    if (k.reader == Reader::numopt || k.reader == Reader::lngopt) {
        size_t dots = inside.find("..");
        std::string low = dots == std::string::npos ? "" : trimmed(std::string_view(inside).substr(0, dots));
        std::string high = dots == std::string::npos ? "" : trimmed(std::string_view(inside).substr(dots + 2));
        bool ok = whole_number(low) && whole_number(high) && low.size() < 12 && high.size() < 12;
        if (ok) {
            k.floor = std::stoll(low);
            k.ceiling = std::stoll(high);
            ok = k.floor >= INT32_MIN && k.ceiling <= INT32_MAX && k.floor <= k.ceiling;
        }
        if (!ok) {
            *why = "kind \"" + all + "\" needs bounds LOW..HIGH, whole 32-bit numbers, LOW not above HIGH";
            return false;
        }
    } else if (k.reader == Reader::prfmsg) {
        if (!inside.empty() && inside != "none") {
            size_t from = 0;
            while (true) {
                size_t comma = inside.find(',', from);
                std::string arg = trimmed(std::string_view(inside).substr(
                    from, comma == std::string::npos ? std::string::npos : comma - from));
                if (arg == "string") k.arguments.push_back(Argument::string);
                else if (arg == "integer") k.arguments.push_back(Argument::integer);
                else if (arg == "count") k.arguments.push_back(Argument::count);
                else {
                    *why = "kind \"" + all + "\": argument \"" + arg + "\" is not string, integer or count";
                    return false;
                }
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        }
    } else if (open != std::string::npos) {
        *why = "kind \"" + all + "\" takes nothing in parentheses" + expected;
        return false;
    }
    *kind = std::move(k);
    return true;
}

bool check_message_table(MessageTable* table, const MessageTable* catalogue, std::string_view file,
                         std::vector<SourceError>* errors) {
    const size_t before = errors->size();
    auto error = [&](int line, std::string reason) {
        errors->push_back(SourceError{std::string(file), line, std::move(reason)});
    };
    for (MessageEntry& e : table->entries) {
        const std::string label = std::to_string(e.number) + " " + e.name;
        EntryKind kind = e.kind;
        if (const MessageEntry* wanted = catalogue ? catalogue->by_number(e.number) : nullptr) {
            if (kind.reader != Reader::unknown && !(kind == wanted->kind))
                error(e.line, label + ": marked " + kind.text() + ", but the module reads it with " +
                                  wanted->kind.text());
            kind = wanted->kind;
        }
        const std::string value = trimmed(e.text);
        switch (kind.reader) {
        case Reader::numopt:
        case Reader::lngopt:
            if (!whole_number(value))
                error(e.text_line, label + ": \"" + value + "\" is not a number (" + kind.text() +
                                       " wants a whole number)");
            break;
        case Reader::ynopt: {
            const std::string upper = text::uppercase(value);
            if (upper != "YES" && upper != "NO" && upper != "Y" && upper != "N")
                error(e.text_line, label + ": \"" + value + "\" is not YES, NO, Y or N");
            break;
        }
        case Reader::stgopt:
        case Reader::hasmkey:
            break;
        case Reader::prfmsg:
        case Reader::unknown: {
            size_t at = 0;
            std::string why;
            if (!check_conversions(e.text, kind.arguments, kind.reader == Reader::prfmsg, label, &at, &why))
                error(e.line_of(at), label + ": " + why);
            break;
        }
        }
        e.kind = std::move(kind);
    }
    if (catalogue)
        for (const MessageEntry& wanted : catalogue->entries)
            if (!table->by_number(wanted.number))
                error(0, std::to_string(wanted.number) + " " + wanted.name +
                             " is missing (the module reads it with " + wanted.kind.text() + ")");
    return errors->size() == before;
}

}  // namespace bbs
