// Fuzz target: Brakvold Plus inside the in-process host, with the game.
//
// The input is a script, one step a line ('\n' ends a step; a line that
// begins with none of the letters below, e.g. "#", does nothing). The byte
// after the letter picks a user or a channel (users 0..5 as in people(),
// channels 0..3); the rest of the line is the step's text. A byte that picks
// among N things picks by its value when it is a digit, by its code
// otherwise, modulo N.
//
//   o U      user U logs on (at the first free channel)
//   h C      channel C hangs up
//   t C text the user at channel C types the line
//   T C text the same, then every queued status is delivered
//   s        the oldest queued status is delivered
//   S        queued statuses are delivered until none is left
//   e C text the user at channel C saves the editor with this text
//   a C      the user at channel C abandons the editor
//   i C text a message is injected for the user at channel C (a page)
//   r V...   options reload: each byte V picks the value of one option of
//            kChoices, in order, and a 14th byte the game's ini settings
//            (kIniChoices); options without a byte keep their value
//   R N text options reload: option N of kChoices gets the raw text
//   d U      user U's account is deleted (hung up first when online)
//   f F      the game's add-on services fail (bits of F: 1 taking copper,
//            2 giving it back, 4 adding a life, 8 player data, 16 mail,
//            32 ini values) or, for bits left out, work again
//
// After every step check_world() checks, and aborts with a description of
// what broke: the host runs; the generic database holds only the module's
// records, well formed, one per key, each of an existing account or player;
// users are in the module's substates (the sysop ones only with the key); no
// channel but the one served gets output (a "tell" aside); credits, days and
// copper only fall, by what the log's lines account for, and a life is only
// gained by a purchase. A module call that leaves the host's selection
// stacks otherwise than it found them is a finding at once.
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host_impl.h" // which channel the next queued status is for
#include "bbs/input.h"
#include "bbs/log.h"
#include "bbs/messages.h"
#include "bbs/options.h"
#include "tests/fuzz/fuzz_world.h"

namespace plusfuzz {
namespace {

constexpr int kChannels = 4;
constexpr size_t kMaxSteps = 300;
constexpr size_t kMaxDeliveries = 5000; // per S or T step

constexpr uint32_t kDescSize = 960;
constexpr uint32_t kRegSize = 672;
constexpr size_t kDescText = 55, kDescTextSize = 801, kDescFlags = 856, kDescReserved = 860;
constexpr size_t kRegReserved1 = 55, kRegLines = 58, kRegLineSize = 61, kRegReserved2 = 668;

struct OptionChoice {
    const char* name;
    std::vector<const char*> values;
};

// The options a reload sets. SYSKEY stays: the invariants know who the
// sysops are by the key the accounts hold.
const std::vector<OptionChoice> kChoices = {
    {"DESCCRD", {"100", "0", "20000", "2000000", "-5", "abc"}},
    {"DESCCOP", {"0", "50", "9000"}},
    {"DESCDAY", {"0", "5", "61"}},
    {"LIFECRD", {"500", "-1", "0", "200"}},
    {"LIFECOP", {"1000", "0", "45"}},
    {"LIFEDAY", {"0", "3", "7"}},
    {"DESCAPP", {"YES", "NO", "maybe"}},
    {"APPRUID", {"Sysop", "", "Nobody", "Erin"}},
    {"DESCLNS", {"10", "1", "3", "0", "11"}},
    {"REGPFX", {": ", "", "%s%n%x%%", "=> "}},
    {"LOOKCMD", {"/lookup", "", "who", "look"}},
    {"AGEDIV", {"1000", "1", "0"}},
    {"AGEBASE", {"16", "0", "500"}},
};

struct IniChoice {
    const char* userid;
    const char* send;
};
const std::vector<IniChoice> kIniChoices = {
    {"Sysop", "0"}, {"Sysop", "1"}, {nullptr, "1"}, {"", "1"}, {"Bob", "yes"}, {"Nobody", "7"},
};

// Prices as the module reads them (the host's option readers, same bounds).
struct Prices {
    int64_t desccrd = 0, desccop = 0, descday = 0, lifecrd = 0, lifecop = 0, lifeday = 0;
};

// What one user has, as the host's database and the game hold it.
struct Holdings {
    bool account = false;
    int64_t credits = 0;
    int64_t days = 0;
    bool player = false;
    int64_t copper = 0;
    int64_t lives = 0;
};

// What the new lines of the game's log say about one user.
struct Logged {
    int64_t credits = 0; // deducted less refunded
    int64_t days = 0;    // deducted less refunded
    int64_t copper = 0;  // the game's lines: taken less given back
    std::vector<int64_t> copper_takes;
    int lives_bought = 0; // "U purchased a life."
    int lives_mailed = 0; // mail-only notices of a life
};

// A choice among `count`: a digit picks by its value, any other byte by its code.
size_t pick(char byte, size_t count) {
    auto b = static_cast<unsigned char>(byte);
    return (b >= '0' && b <= '9' ? b - '0' : b) % count;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A text field: terminated within its width, zero behind the terminator.
bool clean_field(const std::string& bytes, size_t offset, size_t width) {
    size_t end = offset;
    while (end < offset + width && bytes[end] != '\0') ++end;
    if (end == offset + width) return false;
    for (size_t i = end; i < offset + width; ++i)
        if (bytes[i] != '\0') return false;
    return true;
}

bool terminated(const std::string& bytes, size_t offset, size_t width) {
    return std::memchr(bytes.data() + offset, '\0', width) != nullptr;
}

bool all_zero(const std::string& bytes, size_t offset, size_t length) {
    for (size_t i = offset; i < offset + length; ++i)
        if (bytes[i] != '\0') return false;
    return true;
}

class Run {
public:
    Run() : world_(kChannels) {
        world_.host().set_output_sink([this](int channel, std::string_view bytes) { heard(channel, bytes); });
        bbs::set_breach_observer([](std::string_view breach) { fail("a module call broke the host's rules: " + std::string(breach)); });
        read_prices();
        for (size_t i = 0; i < people().size(); ++i) before_.push_back(holdings(i));
        log_seen_ = world_.game().read_log().size();
    }
    ~Run() {
        world_.host().set_output_sink(nullptr);
        bbs::set_breach_observer(nullptr);
    }

    void play(std::string_view script) {
        size_t steps = 0;
        while (!script.empty() && steps < kMaxSteps) {
            size_t eol = script.find('\n');
            std::string_view line = script.substr(0, eol);
            script = eol == std::string_view::npos ? std::string_view() : script.substr(eol + 1);
            if (line.empty()) continue;
            ++steps;
            fail_context() = "after step " + std::to_string(steps) + " \"" + shown(line) + "\"";
            if (trace_) std::fprintf(stderr, "step %zu: %s\n", steps, shown(line).c_str());
            step(line);
            check_world();
        }
    }

private:
    // ---- one step ---------------------------------------------------------

    int channel_arg(std::string_view line) const {
        return line.size() > 1 ? static_cast<int>(pick(line[1], kChannels)) : 0;
    }
    size_t person_arg(std::string_view line) const { return line.size() > 1 ? pick(line[1], people().size()) : 0; }
    std::string_view text_arg(std::string_view line) const {
        return line.size() > 2 ? line.substr(2) : std::string_view();
    }

    void step(std::string_view line) {
        bbs::Host& host = world_.host();
        heard_.clear();
        serving_ = -1;
        tell_ = false;
        switch (line[0]) {
            case 'o': {
                serving_ = -1;
                for (int ch = 0; ch < kChannels; ++ch)
                    if (!host.online(ch)) {
                        serving_ = ch;
                        break;
                    }
                size_t who = person_arg(line);
                if (!deleted_[who]) host.logon(people()[who].userid);
                break;
            }
            case 'h':
                serving_ = channel_arg(line);
                host.hangup(serving_);
                break;
            case 't':
            case 'T': {
                serving_ = channel_arg(line);
                std::string_view text = text_arg(line);
                tell_ = typed_tell(serving_, text);
                host.line(serving_, text);
                if (line[0] == 'T') deliver(kMaxDeliveries);
                break;
            }
            case 's': deliver(1); break;
            case 'S': deliver(kMaxDeliveries); break;
            case 'e':
                serving_ = channel_arg(line);
                host.editor_save(serving_, text_arg(line));
                break;
            case 'a':
                serving_ = channel_arg(line);
                host.editor_abandon(serving_);
                break;
            case 'i':
                serving_ = channel_arg(line);
                host.inject_message(serving_, text_arg(line));
                break;
            case 'r': reload(line.substr(1), false); break;
            case 'R': reload(line.substr(1), true); break;
            case 'd': delete_account(person_arg(line)); break;
            case 'f': {
                unsigned bits = line.size() > 1 ? static_cast<unsigned>(pick(line[1], 256)) : 0;
                game::Failures& f = world_.game().failures();
                f.adjust_wealth = bits & 1;
                f.return_wealth = bits & 2;
                f.add_life = bits & 4;
                f.retrieve = bits & 8;
                f.send_mail = bits & 16;
                f.ini_lookup = bits & 32;
                break;
            }
            default: break;
        }
    }

    // Is this line, as the host cleans it, a game "tell" (its addressee
    // gets output too)?
    bool typed_tell(int channel, std::string_view typed) {
        HostUser* user = usroff(channel);
        if (!user || user->state != world_.game_module()) return false;
        const std::string text = bbs::clean_line(typed, HOST_INPSIZ - 1);
        size_t b = 0;
        while (b < text.size() && (text[b] == ' ' || text[b] == '\t')) ++b;
        size_t e = b;
        while (e < text.size() && text[e] != ' ' && text[e] != '\t') ++e;
        return same_ignoring_case(std::string_view(text).substr(b, e - b), "tell");
    }

    // Every delivery serves the channel of its status: what was heard
    // before is checked against the part of the step that came before.
    void deliver(size_t limit) {
        bbs::Host& host = world_.host();
        auto* impl = bbs::HostAccess::impl();
        for (size_t n = 0; n < limit; ++n) {
            if (!impl || impl->statuses.empty()) return;
            check_output();
            heard_.clear();
            tell_ = false;
            serving_ = impl->statuses.front().first;
            if (!host.deliver_one()) return;
        }
    }

    void reload(std::string_view picks, bool raw) {
        std::vector<std::pair<std::string, std::string>> values;
        if (raw) {
            if (picks.empty()) return;
            const OptionChoice& c = kChoices[pick(picks[0], kChoices.size())];
            values.emplace_back(c.name, std::string(picks.substr(1)));
        } else {
            for (size_t i = 0; i < picks.size() && i < kChoices.size(); ++i) {
                const OptionChoice& c = kChoices[i];
                values.emplace_back(c.name, c.values[pick(picks[i], c.values.size())]);
            }
            if (picks.size() > kChoices.size()) {
                const IniChoice& ini = kIniChoices[pick(picks[kChoices.size()], kIniChoices.size())];
                world_.write_ini(ini.userid, ini.send);
            }
        }
        world_.set_options(values);
        world_.host().reload();
        read_prices();
    }

    void delete_account(size_t who) {
        bbs::Host& host = world_.host();
        if (deleted_[who]) return;
        const char* userid = people()[who].userid;
        int channel = host.channel_of(userid);
        if (channel >= 0) {
            serving_ = channel;
            host.hangup(channel);
        }
        host.account_deleted(userid);
        std::string error;
        if (!host.accounts().remove(userid, &error))
            fail(std::string("cannot remove account ") + userid + ": " + error);
        deleted_[who] = true;
    }

    // ---- output ------------------------------------------------------------

    void heard(int channel, std::string_view bytes) {
        if (trace_) std::fprintf(stderr, "  channel %d: %s\n", channel, shown(bytes).c_str());
        heard_[channel].append(bytes);
    }

    void check_output() {
        for (const auto& [channel, bytes] : heard_) {
            if (channel == serving_) continue;
            if (tell_ && bytes.find(" tells you: ") != std::string::npos) continue;
            fail("channel " + std::to_string(channel) + " got output during a step for channel " +
                 std::to_string(serving_) + ": \"" + shown(bytes) + "\"");
        }
    }

    // ---- holdings and the log ----------------------------------------------

    // As the host holds them: a reload whose file it refused keeps the old ones.
    void read_prices() {
        const HostMsgFile* loaded = bbs::HostAccess::impl()->messages.find("QRTBKPLS.MCV");
        if (loaded == nullptr) fail("QRTBKPLS.MCV is not open");
        bbs::HostLog quiet; // never opened: the readers' warnings go nowhere
        bbs::OptionReader r(loaded, quiet);
        prices_.desccrd = r.number(4, 0, 1000000);
        prices_.desccop = r.number(5, 0, 1000000);
        prices_.descday = r.number(6, 0, 60);
        prices_.lifecrd = r.number(7, -1, 90000000);
        prices_.lifecop = r.number(8, 0, 99999999);
        prices_.lifeday = r.number(9, 0, 60);
    }

    Holdings holdings(size_t who) {
        const Person& p = people()[who];
        Holdings h;
        if (auto a = world_.host().accounts().find(p.userid)) {
            h.account = true;
            h.credits = a->credits;
            h.days = a->days;
        }
        if (p.player[0] != '\0') {
            if (auto info = world_.game().player(p.player)) {
                h.player = true;
                h.copper = info->copper;
                h.lives = info->lives;
            }
        }
        return h;
    }

    static void read_log_line(const std::string& line, std::map<std::string, Logged>* logged) {
        char userid[64] = {}, what[32] = {};
        long long amount = 0;
        if (std::sscanf(line.c_str(), "Deducted %lld credits from %63s for a %31[a-z].", &amount, userid, what) == 3) {
            (*logged)[userid].credits += amount;
        } else if (std::sscanf(line.c_str(), "Refunded %lld credits to %63s for a %31[a-z].", &amount, userid, what) ==
                   3) {
            (*logged)[userid].credits -= amount;
        } else if (std::sscanf(line.c_str(), "Deducted %lld days from %63s for a %31[a-z].", &amount, userid, what) ==
                   3) {
            (*logged)[userid].days += amount;
        } else if (std::sscanf(line.c_str(), "Refunded %lld days to %63s for a %31[a-z].", &amount, userid, what) ==
                   3) {
            (*logged)[userid].days -= amount;
        } else if (std::sscanf(line.c_str(), "Brakvold: took %lld copper, account %63[^,],", &amount, userid) == 2) {
            (*logged)[userid].copper += amount;
            (*logged)[userid].copper_takes.push_back(amount);
        } else if (std::sscanf(line.c_str(), "Brakvold: gave back %lld copper, account %63[^,],", &amount, userid) ==
                   2) {
            (*logged)[userid].copper -= amount;
        } else if (line.rfind("Sent email notification to ", 0) == 0) {
            // The purchase-mail user-ID may be empty: "to  that Bob purchased a life."
            size_t that = line.find(" that ", 26);
            size_t bought = line.rfind(" purchased a life.");
            if (that != std::string::npos && bought != std::string::npos && bought > that + 6)
                (*logged)[line.substr(that + 6, bought - that - 6)].lives_mailed += 1;
        } else if (std::sscanf(line.c_str(), "%63s purchased a %31[a-z].", userid, what) == 2 &&
                   std::string(what) == "life") {
            (*logged)[userid].lives_bought += 1;
        }
    }

    std::map<std::string, Logged> new_log_lines() {
        std::string log = world_.game().read_log();
        if (log.size() < log_seen_) fail("the game's log shrank");
        std::string fresh = log.substr(log_seen_);
        log_seen_ = log.size();
        std::map<std::string, Logged> logged;
        size_t pos = 0;
        while (pos < fresh.size()) {
            size_t end = fresh.find("\r\n", pos);
            if (end == std::string::npos) end = fresh.size();
            // Every line begins with its time stamp ("2026-12-07T08:01:02Z ").
            std::string line = fresh.substr(pos, end - pos);
            if (line.size() <= bbs::kLogStampSize || line[bbs::kLogStampSize] != ' ' ||
                line[bbs::kLogStampSize - 1] != 'Z')
                fail("a game log line without its time stamp: " + line);
            read_log_line(line.substr(bbs::kLogStampSize + 1), &logged);
            pos = end + 2;
        }
        return logged;
    }

    void check_holdings() {
        std::map<std::string, Logged> logged = new_log_lines();
        for (size_t i = 0; i < people().size(); ++i) {
            const Person& p = people()[i];
            Holdings now = holdings(i);
            const Holdings& was = before_[i];
            Logged log = logged[p.userid];
            std::string who = std::string(p.userid) + ": ";
            // What he had never rises, and every unit he lost is in the log.
            auto spent = [&](const char* what, int64_t had, int64_t has, int64_t logged, const char* log_name) {
                const std::string change = std::string(what) + " " + (has > had ? "rose" : "went") + " from " +
                                           std::to_string(had) + " to " + std::to_string(has);
                if (has > had) fail(who + change);
                if (had - has != logged)
                    fail(who + change + " while " + log_name + " accounts for " + std::to_string(logged));
            };
            if (was.account && now.account) {
                spent("credits", was.credits, now.credits, log.credits, "the log");
                spent("days", was.days, now.days, log.days, "the log");
            }
            if (was.player && now.player) {
                spent("copper", was.copper, now.copper, log.copper, "the game's log");
                for (int64_t take : log.copper_takes)
                    if (take != prices_.lifecop && take != prices_.desccop)
                        fail(who + std::to_string(take) + " copper taken, which is no price");
                if (now.lives < was.lives)
                    fail(who + "lives fell from " + std::to_string(was.lives) + " to " + std::to_string(now.lives));
                if (now.lives > was.lives) {
                    if (now.lives != was.lives + 1 || was.lives >= 9)
                        fail(who + "lives went from " + std::to_string(was.lives) + " to " + std::to_string(now.lives));
                    if (log.lives_bought + log.lives_mailed == 0)
                        fail(who + "gained a life without a purchase in the log");
                }
            }
            before_[i] = now;
        }
    }

    // ---- records -------------------------------------------------------------

    bool is_account(const std::string& userid) {
        for (size_t i = 0; i < people().size(); ++i)
            if (!deleted_[i] && userid == people()[i].userid) return true;
        return false;
    }
    static bool is_player(const std::string& name) {
        for (const Person& p : people())
            if (p.player[0] != '\0' && name == p.player) return true;
        return false;
    }

    void check_records() {
        std::map<std::string, uint32_t> keys;
        for (const auto& e : world_.host().database().generic_entries()) {
            std::string where = "record at " + std::to_string(e.position) + " (" + shown(e.userid) + "/" +
                                shown(e.tag) + ", " + std::to_string(e.bytes.size()) + " bytes): ";
            if (e.bytes.size() < sizeof(GenericRecordKey)) fail(where + "shorter than its key");
            auto [it, fresh] = keys.emplace(bbs::Database::generic_sort_key(e.bytes.data()), e.position);
            if (!fresh) fail(where + "has the same key as the record at " + std::to_string(it->second));
            if (!clean_field(e.bytes, 0, HOST_UIDSIZ) || !clean_field(e.bytes, HOST_UIDSIZ, HOST_TAGSIZ))
                fail(where + "user-ID or tag not terminated and zero-filled");
            if (e.tag == "QRTBKPLS_DESC") {
                if (e.bytes.size() != kDescSize) fail(where + "a description record must be 960 bytes");
                if (!terminated(e.bytes, kDescText, kDescTextSize)) fail(where + "description text not terminated");
                uint32_t flags = 0;
                std::memcpy(&flags, e.bytes.data() + kDescFlags, sizeof flags);
                if (flags & ~1u) fail(where + "flags other than the approved bit");
                if (!all_zero(e.bytes, kDescReserved, kDescSize - kDescReserved))
                    fail(where + "reserved bytes not zero");
                if (!is_account(e.userid)) fail(where + "belongs to no account");
            } else if (e.tag == "QRTBKPLS_REG") {
                if (e.bytes.size() != kRegSize) fail(where + "a registry record must be 672 bytes");
                for (size_t line = 0; line < 10; ++line)
                    if (!terminated(e.bytes, kRegLines + line * kRegLineSize, kRegLineSize))
                        fail(where + "line " + std::to_string(line + 1) + " not terminated");
                if (e.bytes[kRegReserved1] != '\0' || !all_zero(e.bytes, kRegReserved2, kRegSize - kRegReserved2))
                    fail(where + "reserved bytes not zero");
                if (!is_player(e.userid)) fail(where + "belongs to no player");
            } else {
                fail(where + "a tag that nothing on this host writes");
            }
        }
    }

    // ---- users in the menus ----------------------------------------------------

    void check_users() {
        for (int ch = 0; ch < kChannels; ++ch) {
            if (!world_.host().online(ch)) continue;
            HostUser* user = usroff(ch);
            HostAccount* account = uacoff(ch);
            if (!user || !account) fail("channel " + std::to_string(ch) + " online without a user record");
            if (user->state != world_.plus_module()) continue;
            std::string who = std::string(account->userid) + " at channel " + std::to_string(ch);
            if (user->substate < 1 || user->substate > 16)
                fail(who + " is in the module in substate " + std::to_string(user->substate));
            bool sysop = false;
            for (const Person& p : people())
                if (same_ignoring_case(p.userid, account->userid)) sysop = p.sysop;
            switch (user->substate) {
                case 4:
                case 5:
                case 6:
                case 14:
                case 15:
                case 16:
                    if (!sysop) fail(who + " has no sysop key but is in substate " + std::to_string(user->substate));
                    break;
                default: break;
            }
        }
    }

    void check_world() {
        if (world_.host().stopped()) fail("the host stopped: " + world_.host().stop_reason());
        check_output();
        check_records();
        check_users();
        check_holdings();
    }

    FuzzWorld world_;
    bool trace_ = std::getenv("PLUS_FUZZ_TRACE") != nullptr; // every step and its output on stderr
    Prices prices_;
    std::vector<Holdings> before_;
    bool deleted_[8] = {};
    size_t log_seen_ = 0;
    std::map<int, std::string> heard_;
    int serving_ = -1;
    bool tell_ = false;
};

} // namespace
} // namespace plusfuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plusfuzz::Run run;
    run.play(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
