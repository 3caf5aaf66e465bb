// Fuzz target: Brakvold Plus inside the in-process host, with the game. The input is a script, one step
// a line; a line that begins with none of these letters does nothing. The byte after the letter picks a
// user (U: 0..5 of people()) or a channel (C: 0..3), by its value when a digit, else by its code, modulo N;
// the rest of the line is the step's text.
//   o U  log on          h C  hang up          t C text  type      T C text  type, then deliver every status
//   s    deliver one     S    deliver all      e C text  editor saved          a C  editor abandoned
//   i C text  a message injected (a page)      d U  account deleted (hung up first when online)
//   r V...    reload: byte i picks the value of kChoices[i], a 14th byte the ini settings (kIniChoices)
//   R N text  reload: option N of kChoices gets the raw text
//   f F  the game's add-on services fail by the bits of F (1 taking copper, 2 giving it back, 4 adding a
//        life, 8 player data, 16 mail, 32 ini values); the others work again
// After every step check_world(): the host runs; the generic database holds only the module's records,
// well formed, one per key, each of an existing account or player; users are in the module's substates
// (the sysop ones only with the key); no channel but the one served gets output (a "tell" aside); credits,
// days and copper only fall, by what the log's lines account for; a life is only gained by a purchase.
// A module call that leaves the host's selection stacks otherwise than it found them is a finding at once.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/input.h"
#include "bbs/log.h"
#include "bbs/messages.h"
#include "bbs/options.h"
#include "tests/fuzz/fuzz.h"
#include "tests/support/data_files.h"
#include "text/ascii.h"

namespace plusfuzz {
namespace {

constexpr int kChannels = 4;
constexpr size_t kMaxSteps = 300;
constexpr size_t kMaxDeliveries = 5000; // per S or T step

constexpr uint32_t kDescSize = 960;
constexpr uint32_t kRegSize = 672;
constexpr size_t kDescText = 55, kDescTextSize = 801, kDescFlags = 856, kDescReserved = 860;
constexpr size_t kRegReserved1 = 55, kRegLines = 58, kRegLineSize = 61, kRegReserved2 = 668;

struct OptionChoice { const char* name; std::vector<const char*> values; };

// The options a reload sets. SYSKEY stays: the invariants know who the
// sysops are by the key the accounts hold.
const std::vector<OptionChoice> kChoices = {
    {"DESCCRD", {"100", "0", "20000", "2000000", "-5", "abc"}}, {"DESCCOP", {"0", "50", "9000"}},
    {"DESCDAY", {"0", "5", "61"}}, {"LIFECRD", {"500", "-1", "0", "200"}}, {"LIFECOP", {"1000", "0", "45"}},
    {"LIFEDAY", {"0", "3", "7"}}, {"DESCAPP", {"YES", "NO", "maybe"}}, {"APPRUID", {"Sysop", "", "Nobody", "Erin"}},
    {"DESCLNS", {"10", "1", "3", "0", "11"}}, {"REGPFX", {": ", "", "%s%n%x%%", "=> "}},
    {"LOOKCMD", {"/lookup", "", "who", "look"}}, {"AGEDIV", {"1000", "1", "0"}}, {"AGEBASE", {"16", "0", "500"}},
};

// PLUS_PURCHASE_EMAIL_USERID (null: none) and SEND_EMAIL_FOR_PURCHASES.
struct IniChoice { const char *userid, *send; };
const std::vector<IniChoice> kIniChoices = {
    {"Sysop", "0"}, {"Sysop", "1"}, {nullptr, "1"}, {"", "1"}, {"Bob", "yes"}, {"Nobody", "7"},
};

// What one user has, as the host's database and the game hold it.
struct Holdings { bool account = false, player = false; int64_t credits = 0, days = 0, copper = 0, lives = 0; };

// What the new lines of the game's log say about one user: credits and days deducted less refunded, copper
// taken less given back (and each take), lives bought ("U purchased a life.") and mail-only notices of one.
struct Logged {
    int64_t credits = 0, days = 0, copper = 0;
    std::vector<int64_t> copper_takes;
    int lives_bought = 0, lives_mailed = 0;
};

// The log lines that move credits, days and copper: amount and user-ID, and the purchase's kind.
struct LogLine { const char* format; int fields; int64_t Logged::*total; int sign; };
const LogLine kLogLines[] = {
    {"Deducted %lld credits from %63s for a %31[a-z].", 3, &Logged::credits, 1},
    {"Refunded %lld credits to %63s for a %31[a-z].", 3, &Logged::credits, -1},
    {"Deducted %lld days from %63s for a %31[a-z].", 3, &Logged::days, 1},
    {"Refunded %lld days to %63s for a %31[a-z].", 3, &Logged::days, -1},
    {"Brakvold: took %lld copper, account %63[^,],", 2, &Logged::copper, 1},
    {"Brakvold: gave back %lld copper, account %63[^,],", 2, &Logged::copper, -1},
};

// A choice among `count`: a digit picks by its value, any other byte by its code.
size_t pick(char byte, size_t count) {
    auto b = static_cast<unsigned char>(byte);
    return (b >= '0' && b <= '9' ? b - '0' : b) % count;
}

bool all_zero(const std::string& bytes, size_t offset, size_t length) {
    return bytes.find_first_not_of('\0', offset) >= offset + length;
}
bool terminated(const std::string& bytes, size_t offset, size_t width) {
    return bytes.find('\0', offset) < offset + width;
}
// A text field: terminated within its width, zero behind the terminator.
bool clean_field(const std::string& bytes, size_t offset, size_t width) {
    const size_t end = bytes.find('\0', offset);
    return end < offset + width && all_zero(bytes, end, offset + width - end);
}

class Run {
public:
    Run() {
        started(world_, kChannels);
        game_module_ = world_.host().find_module("Brakvold");
        plus_module_ = world_.host().find_module("Brakvold Plus");
        world_.front_end().on_deliver([this](int channel, std::string_view bytes) { heard(channel, bytes); });
        bbs::set_breach_observer([](std::string_view what) { fail("a module call broke the rules: " + std::string(what)); });
        read_prices();
        for (size_t i = 0; i < people().size(); ++i) before_.push_back(holdings(i));
        log_seen_ = world_.game().read_log().size();
    }
    ~Run() { world_.front_end().on_deliver(nullptr), bbs::set_breach_observer(nullptr); }

    void play(std::string_view script) {
        size_t steps = 0;
        while (!script.empty() && steps < kMaxSteps) {
            const size_t eol = std::min(script.find('\n'), script.size());
            const std::string_view line = script.substr(0, eol);
            script.remove_prefix(std::min(eol + 1, script.size()));
            if (line.empty()) continue;
            ++steps;
            fail_context() = "after step " + std::to_string(steps) + " \"" + shown(line) + "\"";
            if (trace_) std::fprintf(stderr, "step %zu: %s\n", steps, shown(line).c_str());
            step(line);
            check_world();
        }
    }

private:

    static size_t arg(std::string_view line, size_t count) { return line.size() > 1 ? pick(line[1], count) : 0; }
    static int channel_arg(std::string_view line) { return static_cast<int>(arg(line, kChannels)); }
    static size_t person_arg(std::string_view line) { return arg(line, people().size()); }

    void step(std::string_view line) {
        bbs::Host& host = world_.host();
        heard_.clear();
        tell_ = false;
        serving_ = std::string_view("htTeai").find(line[0]) != std::string_view::npos ? channel_arg(line) : -1;
        const std::string_view text = line.substr(std::min<size_t>(2, line.size()));
        switch (line[0]) {
        case 'o':
            for (int ch = kChannels - 1; ch >= 0; --ch)
                if (!host.online(ch)) serving_ = ch;  // the first free channel
            if (!deleted_[person_arg(line)]) host.logon(people()[person_arg(line)].userid);
            break;
        case 'h': host.hangup(serving_); break;
        case 't': case 'T':
            tell_ = typed_tell(serving_, text);
            host.line(serving_, text);
            if (line[0] == 'T') deliver(kMaxDeliveries);
            break;
        case 's': deliver(1); break;
        case 'S': deliver(kMaxDeliveries); break;
        case 'e': host.editor_save(serving_, text); break;
        case 'a': host.editor_abandon(serving_); break;
        case 'i': host.inject_message(serving_, text); break;
        case 'r': case 'R': reload(line.substr(1), line[0] == 'R'); break;
        case 'd': delete_account(person_arg(line)); break;
        case 'f': {
            const size_t bits = arg(line, 256);
            game::Failures& f = world_.game().failures();
            f.adjust_wealth = bits & 1, f.return_wealth = bits & 2, f.add_life = bits & 4;
            f.retrieve = bits & 8, f.send_mail = bits & 16, f.ini_lookup = bits & 32;
            break;
        }
        default: break;
        }
    }

    // Is this line, as the host cleans it, a game "tell" (its addressee gets output too)?
    bool typed_tell(int channel, std::string_view typed) {
        HostUser* user = usroff(channel);
        if (!user || user->state != game_module_) return false;
        const std::string text = bbs::clean_line(typed, HOST_INPSIZ - 1);
        const size_t b = std::min(text.find_first_not_of(" \t"), text.size());
        return text::equal_ignoring_case(std::string_view(text).substr(b, text.find_first_of(" \t", b) - b), "tell");
    }

    // Every delivery serves the channel of its status: what was heard
    // before is checked against the part of the step that came before.
    void deliver(size_t limit) {
        bbs::Host& host = world_.host();
        for (size_t n = 0; n < limit; ++n) {
            const int next = host.next_status();
            if (next < 0) return;
            check_output();
            heard_.clear();
            tell_ = false;
            serving_ = next;
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
                if (ini.userid) world_.set_ini("PLUS_PURCHASE_EMAIL_USERID", ini.userid);
                else world_.remove_ini("PLUS_PURCHASE_EMAIL_USERID");
                world_.set_ini("SEND_EMAIL_FOR_PURCHASES", ini.send);
            }
        }
        for (const auto& [name, text] : values) world_.set_option(name, testing_support::message_escaped(text));
        world_.host().reload();
        read_prices();
    }

    void delete_account(size_t who) {
        bbs::Host& host = world_.host();
        if (deleted_[who]) return;
        const std::string& userid = people()[who].userid;
        if (const int channel = host.channel_of(userid); channel >= 0) serving_ = channel, host.hangup(channel);
        host.account_deleted(userid);
        std::string error;
        if (!host.accounts().remove(userid, &error)) fail("cannot remove account " + userid + ": " + error);
        deleted_[who] = true;
    }

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

    // The copper prices (DESCCOP, LIFECOP) as the module reads them from what the host holds: a reload
    // whose file it refused keeps the old ones.
    void read_prices() {
        const HostMsgFile* loaded = world_.host().messages().find("QRTBKPLS.MCV");
        if (loaded == nullptr) fail("QRTBKPLS.MCV is not open");
        bbs::HostLog quiet; // never opened: the readers' warnings go nowhere
        bbs::OptionReader r(loaded, quiet);
        desc_copper_ = r.number(5, 0, 1000000);
        life_copper_ = r.number(8, 0, 99999999);
    }

    Holdings holdings(size_t who) {
        const auto& p = people()[who];
        Holdings h;
        if (auto a = world_.host().accounts().find(p.userid))
            h.account = true, h.credits = a->credits, h.days = a->days;
        if (auto info = p.player_name.empty() ? std::nullopt : world_.game().player(p.player_name))
            h.player = true, h.copper = info->copper, h.lives = info->lives;
        return h;
    }

    static void read_log_line(const std::string& line, std::map<std::string, Logged>* logged) {
        char userid[64] = {}, what[32] = {};
        long long amount = 0;
        for (const LogLine& l : kLogLines)
            if (std::sscanf(line.c_str(), l.format, &amount, userid, what) == l.fields) {
                Logged& user = (*logged)[userid];
                user.*l.total += l.sign * amount;
                if (l.total == &Logged::copper && l.sign > 0) user.copper_takes.push_back(amount);
                return;
            }
        if (line.rfind("Sent email notification to ", 0) == 0) {
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
        const std::string log = world_.game().read_log();
        if (log.size() < log_seen_) fail("the game's log shrank");
        const std::string fresh = log.substr(log_seen_);
        log_seen_ = log.size();
        std::map<std::string, Logged> logged;
        for (size_t pos = 0, end; pos < fresh.size(); pos = end + 2) {
            end = std::min(fresh.find("\r\n", pos), fresh.size());
            // Every line begins with its time stamp ("2026-12-07T08:01:02Z ").
            const std::string line = fresh.substr(pos, end - pos);
            constexpr size_t stamp = bbs::kLogStampSize;
            if (line.size() <= stamp || line[stamp] != ' ' || line[stamp - 1] != 'Z')
                fail("a game log line without its time stamp: " + line);
            read_log_line(line.substr(stamp + 1), &logged);
        }
        return logged;
    }

    void check_holdings() {
        std::map<std::string, Logged> logged = new_log_lines();  // what he had never rises, every loss is in the log
        for (size_t i = 0; i < people().size(); ++i) {
            const auto& p = people()[i];
            const Holdings now = holdings(i), was = before_[i];
            const Logged& log = logged[p.userid];
            const std::string who = p.userid + ": ";
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
                    if (take != life_copper_ && take != desc_copper_)
                        fail(who + std::to_string(take) + " copper taken, which is no price");
                // Lives only rise, by one, to at most 9, by a purchase the log names.
                if (now.lives != was.lives && (now.lives != was.lives + 1 || was.lives >= 9))
                    fail(who + "lives went from " + std::to_string(was.lives) + " to " + std::to_string(now.lives));
                if (now.lives > was.lives && log.lives_bought + log.lives_mailed == 0)
                    fail(who + "gained a life without a purchase in the log");
            }
            before_[i] = now;
        }
    }

    bool is_account(const std::string& userid) {
        for (size_t i = 0; i < people().size(); ++i)
            if (!deleted_[i] && userid == people()[i].userid) return true;
        return false;
    }
    static bool is_player(const std::string& name) {
        return !name.empty() && std::ranges::any_of(people(), [&](const auto& p) { return name == p.player_name; });
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

    void check_users() {
        for (int ch = 0; ch < kChannels; ++ch) {
            if (!world_.host().online(ch)) continue;
            HostUser* user = usroff(ch);
            HostAccount* account = uacoff(ch);
            if (!user || !account) fail("channel " + std::to_string(ch) + " online without a user record");
            if (user->state != plus_module_) continue;
            std::string who = std::string(account->userid) + " at channel " + std::to_string(ch);
            if (user->substate < 1 || user->substate > 16)
                fail(who + " is in the module in substate " + std::to_string(user->substate));
            bool sysop = false;
            for (const auto& p : people())
                if (text::equal_ignoring_case(p.userid, account->userid)) sysop = is_sysop(p);
            const int sysop_only[] = {4, 5, 6, 14, 15, 16};
            if (!sysop && std::ranges::find(sysop_only, user->substate) != std::end(sysop_only))
                fail(who + " has no sysop key but is in substate " + std::to_string(user->substate));
        }
    }

    void check_world() {
        if (world_.host().stopped()) fail("the host stopped: " + world_.host().stop_reason());
        check_output();
        check_records();
        check_users();
        check_holdings();
    }

    testing_support::World world_;
    int game_module_ = -1, plus_module_ = -1;
    bool trace_ = std::getenv("PLUS_FUZZ_TRACE") != nullptr; // every step and its output on stderr
    int64_t desc_copper_ = 0, life_copper_ = 0;
    std::vector<Holdings> before_;
    bool deleted_[8] = {};
    size_t log_seen_ = 0;
    std::map<int, std::string> heard_;
    int serving_ = -1;
    bool tell_ = false;
};

} // namespace

void fuzz_one(std::string_view script) { Run().play(script); }

} // namespace plusfuzz
