#include "bench/load.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <random>

#include <asio.hpp>

namespace plus_bench {

namespace {

using Clock = std::chrono::steady_clock;

// What the host's screens end with (raw bytes, colours included).
const char kGamePrompt[] = "]: ";
const char kExtensionPrompt[] = "Extension: ";
const char kPlusPrompt[] = "Plus \x1b[0;32mchoice:";
const char kRegistryPrompt[] = "Registry \x1b[0;32mchoice:";
const char kLookupPrompt[] = "Look up which player (enter to stop)?";
const char kEditPrompt[] = "Q to quit without saving:";
const char kFieldPrompt[] = "Your real name\x1b[0m: ";
const char kLetterPrompt[] = "(enter='a'):";
const char kListingStarted[] = "Press <enter> to stop the listing.";
const char kListingEnded[] = "registries found";

// Telnet commands (RFC 854) a character-mode client sends and looks for.
constexpr char kIac = '\xff', kWill = '\xfb', kWont = '\xfc', kDo = '\xfd', kDont = '\xfe';
constexpr char kSb = '\xfa', kSe = '\xf0', kEcho = '\x01', kSga = '\x03', kNaws = '\x1f';
// The host offers to echo (for character mode, once SGA is agreed).
const std::string kWillEcho = {kIac, kWill, kEcho};

// Texts that mean the session went wrong.
const char* const kWrongReplies[] = {
    "That is not a choice here.", "There is no such player.", "Unknown command.",
    "No such extension.",         "Invalid login.",           "Every channel is busy",
    "already online",
};

// What the paster sends: lines of 4 KB, four at a time.
constexpr size_t kPasteLineBytes = 4096;
constexpr int kPasteLines = 4;

// A listing is read for one screen: when this many of its lines arrived
// (or it ended), the user stops it with an empty line at once, without the
// pause he takes before other lines (it scrolls; he does not read it).
constexpr int kListingLines = 20;

struct Step {
    const char* what;      // for the per-step report
    std::string line;
    std::string reply;     // the text that completes the reply
    bool listing = false;  // after the reply, the listing's lines follow
};

// One round of a session, from the game prompt back to it: main menu moves,
// the description screen, a lookup, a registry edit (stored), a listing.
std::vector<Step> session_round(std::mt19937& random, const std::vector<app::Account>& users,
                                size_t self, int round) {
    const app::Account& other = users[random() % users.size()];
    const std::string letter(1, static_cast<char>('A' + random() % 26));
    const std::string text = "Line " + std::to_string(round) + " of " + users[self].player_name;
    return {
        {"game: ext", "ext", kExtensionPrompt},
        {"extension: * (main menu)", "*", kPlusPrompt},
        {"main menu: empty line", "", kPlusPrompt},
        {"main menu: i (about)", "i", kPlusPrompt},
        {"main menu: d (description screen)", "d", kPlusPrompt},
        {"description: x", "x", kPlusPrompt},
        {"main menu: r (registry menu)", "r", kRegistryPrompt},
        {"registry: l (lookup prompt)", "l", kLookupPrompt},
        {"lookup: a player", other.player_name, kLookupPrompt},
        {"lookup: empty line", "", kRegistryPrompt},
        {"registry: e (editor)", "e", kEditPrompt},
        {"editor: 1 (field)", "1", kFieldPrompt},
        {"editor: field text", text, kEditPrompt},
        {kStoreStep, "x", kRegistryPrompt},
        {"registry: s (listing letter)", "s", kLetterPrompt},
        {"listing: start letter", letter, kListingStarted, true},
        {"listing: empty line (stop)", "", kRegistryPrompt},
        {"registry: x", "x", kPlusPrompt},
        {"main menu: x (to the game)", "x", kGamePrompt},
    };
}

class Client;

// What all clients share: the counters, the logon barrier and the clock.
struct Run {
    asio::io_context io;
    LoadOptions options;
    LoadResult result;
    std::vector<std::shared_ptr<Client>> clients;
    int accounted = 0;  // logged on or failed
    size_t closed = 0;
    std::function<void()> all_closed;
    bool session_started = false;
    Clock::time_point session_start, session_end;

    void error(const std::string& what) {
        ++result.errors;
        if (result.error_samples.size() < 8) result.error_samples.push_back(what);
    }
    void logon_done(bool ok);
    bool session_over() const { return session_started && Clock::now() >= session_end; }
};

class Client : public std::enable_shared_from_this<Client> {
public:
    enum class Role { session, lister, paster };

    Client(Run& run, size_t index, Role role)
        : run_(run), index_(index), role_(role), socket_(run.io), timer_(run.io),
          random_(static_cast<unsigned>(index * 7919 + 17)) {}

    Role role() const { return role_; }

    void start() {
        const asio::ip::tcp::endpoint host(asio::ip::make_address("127.0.0.1"), run_.options.port);
        // Each client comes from an address of its own (127.0.0.0/8 is all
        // this machine's), as users do: the host's logon throttle counts
        // connections and attempts per address, and 256 logons from one
        // address would be refused as a flood.
        const asio::ip::address_v4 source(0x7f010001u + static_cast<uint32_t>(index_));
        std::error_code ec;
        socket_.open(asio::ip::tcp::v4(), ec);
        if (!ec) socket_.bind(asio::ip::tcp::endpoint(source, 0), ec);
        if (ec) return fail("cannot bind to " + source.to_string() + ": " + ec.message());
        socket_.async_connect(host, [self = shared_from_this()](const std::error_code& ec) {
            if (ec) return self->fail("cannot connect: " + ec.message());
            self->read();
            self->logon();
        });
    }

    // After the barrier: the scripted session (or the lister's or the
    // paster's loop) until the time is up.
    void begin_session() {
        if (closed_) return;
        if (role_ == Role::lister) return list_registries();
        if (role_ == Role::paster) return paste();
        if (run_.options.keys) return next_key();
        next_step();
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        ++generation_;
        std::error_code ignored;
        timer_.cancel();
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        if (++run_.closed == run_.clients.size() && run_.all_closed) run_.all_closed();
    }

private:
    // stream: a text that ends a long output, searched in what arrives
    // without keeping all of it.
    enum class Wait { nothing, text, listing_lines, stream };

    // ---- the lister and the paster -------------------------------------------

    void list_registries() {
        send("ext");
        await(kExtensionPrompt, [this] {
            send("*");
            await(kPlusPrompt, [this] {
                send("r");
                await(kRegistryPrompt, [this] { next_listing(); });
            });
        });
    }

    void next_listing() {
        if (run_.session_over()) return close();
        send("s");
        await(kLetterPrompt, [this] {
            send("A");
            await(kListingStarted, [this] {
                wait_ = Wait::stream;
                expected_ = kListingEnded;
                then_ = [this] {
                    ++run_.result.listings;
                    next_listing();
                };
                arm_timeout(run_.options.seconds + 60);
                check();
            });
        });
    }

    void paste() {
        if (run_.session_over()) return close();
        const std::string line(kPasteLineBytes - 2, 'p');
        for (int i = 0; i < kPasteLines; ++i) send(line);
        prompts_ = 0;
        await_paste_answer();
    }

    // Each pasted line is answered with the game's prompt.
    void await_paste_answer() {
        wait_ = Wait::stream;
        expected_ = kGamePrompt;
        then_ = [this] {
            ++run_.result.pasted_lines;
            if (++prompts_ < kPasteLines) return await_paste_answer();
            paste();
        };
        arm_timeout();
        check();
    }

    const app::Account& user() const { return run_.options.users[index_]; }

    void logon() {
        await("User-ID: ", [this] {
            send(user().userid);
            await("Password: ", [this] {
                send(user().password);
                await(kGamePrompt, [this] {
                    if (run_.options.keys) return enter_character_mode();
                    logged_on_ = true;
                    run_.logon_done(true);
                });
            });
        });
    }

    // ---- character mode ----------------------------------------------------------

    // SGA (offered at connect) agreed now, the window told; the host then
    // offers ECHO, which read() agrees to; the session waits for that offer.
    void enter_character_mode() {
        const std::string answer = {kIac, kDo,  kSga, kIac, kWill, kNaws, kIac, kSb, kNaws,
                                    0,    80,   0,    24,   kIac,  kSe};
        send_bytes(answer);
        await(kWillEcho, [this] {
            logged_on_ = true;
            run_.logon_done(true);
        });
    }

    // One key of "look <another player>" after the user's pause, then Enter.
    void next_key() {
        if (closed_) return;
        if (run_.session_over()) return close();
        if (key_ == typed_.size() + 1) key_ = 0;
        if (key_ == 0) typed_ = "look " + run_.options.users[random_() % run_.options.users.size()].player_name;
        std::uniform_real_distribution<double> pause(0, 2 * run_.options.think_ms);
        arm(std::chrono::microseconds(static_cast<int64_t>(pause(random_) * 1000)), [this] {
            if (run_.session_over()) return close();
            const bool enter = key_ == typed_.size();
            const std::string key = enter ? std::string("\r") : std::string(1, typed_[key_]);
            const auto sent = Clock::now();
            send_bytes(key);
            // The echo of a key is the key; Enter is answered with the prompt
            // (by the game, or on the echo path by the line sent back).
            const std::string awaited = !enter ? key : run_.options.echo ? typed_ + "\r\n" : kGamePrompt;
            await(awaited, [this, sent, enter] {
                const auto now = Clock::now();
                const double us = std::chrono::duration<double, std::micro>(now - sent).count();
                run_.result.by_step[enter ? kEnterStep : kKeyStep].push_back(us);
                if (!enter) {
                    run_.result.latencies_us.push_back(us);
                    if (now <= run_.session_end) ++run_.result.lines;
                }
                ++key_;
                next_key();
            });
        });
    }

    void next_step(bool at_once = false) {
        if (closed_) return;
        if (run_.session_over()) {
            close();
            return;
        }
        if (step_ == script_.size()) {
            script_ = session_round(random_, run_.options.users, index_, round_++);
            step_ = 0;
        }
        // The user thinks, then types.
        const double mean = run_.options.think_ms;
        std::uniform_real_distribution<double> pause(0, 2 * mean);
        const auto delay =
            std::chrono::microseconds(at_once ? 0 : static_cast<int64_t>(pause(random_) * 1000));
        arm(delay, [this] {
            if (run_.session_over()) {
                close();
                return;
            }
            const Step& s = script_[step_];
            const bool echo = run_.options.echo;
            const auto sent = Clock::now();
            send(s.line);
            await(echo ? s.line + "\r\n" : s.reply, [this, sent, echo] {
                const Step& done = script_[step_];
                const auto now = Clock::now();
                const double us = std::chrono::duration<double, std::micro>(now - sent).count();
                run_.result.latencies_us.push_back(us);
                run_.result.by_step[done.what].push_back(us);
                if (now <= run_.session_end) ++run_.result.lines;
                ++step_;
                if (done.listing && !echo) {
                    await_listing([this] { next_step(true); });
                } else {
                    next_step();
                }
            });
        });
    }

    // ---- bytes ---------------------------------------------------------------

    void send(const std::string& line) { send_bytes(line + "\r\n"); }

    // What arrives from now on is the reply.
    void send_bytes(const std::string& bytes) {
        received_.clear();
        pending_ += bytes;
        write();
    }

    // A character-mode client answers the host's ECHO as a client that
    // shows what the host sends would: yes to WILL, and acknowledges WONT
    // (RFC 1143). Other options it leaves unanswered, as the line-mode
    // clients do with all of them.
    void answer_echo(const char* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const char b = bytes[i];
            if (iac_state_ == 0) {
                if (b == kIac) iac_state_ = 1;
            } else if (iac_state_ == 1) {
                iac_state_ = b == kWill || b == kWont ? b : 0;
            } else {
                if (b == kEcho) {
                    const std::string answer = {kIac, iac_state_ == kWill ? kDo : kDont, kEcho};
                    pending_ += answer;
                    write();
                }
                iac_state_ = 0;
            }
        }
    }

    void write() {
        if (writing_ || pending_.empty() || closed_) return;
        writing_ = true;
        in_flight_.swap(pending_);
        pending_.clear();
        asio::async_write(socket_, asio::buffer(in_flight_),
                          [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                              self->writing_ = false;
                              self->in_flight_.clear();
                              if (self->closed_) return;
                              if (ec) return self->fail("cannot send: " + ec.message());
                              self->write();
                          });
    }

    void read() {
        socket_.async_read_some(
            asio::buffer(buffer_), [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
                if (self->closed_) return;
                if (ec) return self->fail("connection lost: " + ec.message());
                if (self->run_.options.keys) self->answer_echo(self->buffer_.data(), n);
                self->received_.append(self->buffer_.data(), n);
                self->run_.result.bytes_received += n;
                if (self->role_ == Role::lister)
                    self->run_.result.listed_lines += static_cast<uint64_t>(
                        std::count(self->buffer_.data(), self->buffer_.data() + n, '\n'));
                self->check();
                if (!self->closed_) self->read();
            });
    }

    // ---- waiting for replies ---------------------------------------------------

    void await(std::string text, std::function<void()> then) {
        wait_ = Wait::text;
        expected_ = std::move(text);
        then_ = std::move(then);
        arm_timeout();
        check();  // it may be here already
    }

    void await_listing(std::function<void()> then) {
        wait_ = Wait::listing_lines;
        then_ = std::move(then);
        arm_timeout();
        check();
    }

    void check() {
        if (wait_ == Wait::nothing) return;
        if (wait_ == Wait::stream) {
            const size_t at = received_.find(expected_);
            if (at == std::string::npos) {
                // Only a tail that may hold the start of the text is kept.
                if (received_.size() > expected_.size())
                    received_.erase(0, received_.size() - expected_.size());
                return;
            }
            received_.erase(0, at + expected_.size());
            wait_ = Wait::nothing;
            ++generation_;
            auto then = std::move(then_);
            then();
            return;
        }
        if (!run_.options.echo) {
            for (const char* wrong : kWrongReplies)
                if (received_.find(wrong) != std::string::npos)
                    return fail("wrong reply \"" + std::string(wrong) + "\" to \"" + last_line() + "\"");
        }
        if (wait_ == Wait::text) {
            const size_t at = received_.find(expected_);
            if (at == std::string::npos) return;
            received_.erase(0, at + expected_.size());
        } else {
            size_t lines = 0;
            for (size_t at = received_.find("\r\n"); at != std::string::npos;
                 at = received_.find("\r\n", at + 2))
                ++lines;
            // The first line end is that of the "Press <enter>" line itself.
            if (lines <= kListingLines && received_.find(kListingEnded) == std::string::npos) return;
        }
        wait_ = Wait::nothing;
        ++generation_;  // the timeout no longer applies
        auto then = std::move(then_);
        then();
    }

    std::string last_line() const {
        if (run_.options.keys && logged_on_) return typed_.substr(0, key_ + 1);
        return step_ < script_.size() ? script_[step_].line : std::string("(logon)");
    }

    // ---- one timer: the pause before a line, or the time a reply may take ----

    void arm(std::chrono::microseconds delay, std::function<void()> then) {
        const uint64_t generation = ++generation_;
        timer_.expires_after(delay);
        timer_.async_wait([self = shared_from_this(), generation, then = std::move(then)](
                              const std::error_code& ec) {
            if (ec || self->closed_ || generation != self->generation_) return;
            then();
        });
    }

    void arm_timeout(double seconds = 0) {
        if (seconds <= 0) seconds = run_.options.reply_timeout_s;
        const auto limit = std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
        const std::string waiting_for = wait_ == Wait::listing_lines ? "the listing's lines" : expected_;
        arm(limit, [this, waiting_for] {
            fail("no reply \"" + waiting_for + "\" to \"" + last_line() + "\" in time");
        });
    }

    void fail(const std::string& what) {
        if (closed_) return;
        run_.error(user().userid + ": " + what);
        close();
        if (!logged_on_) run_.logon_done(false);
    }

    Run& run_;
    size_t index_;
    Role role_;
    int prompts_ = 0;  // of the paster's current paste, answered
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::mt19937 random_;
    std::array<char, 8192> buffer_{};
    std::string received_, pending_, in_flight_;
    bool writing_ = false, closed_ = false, logged_on_ = false;
    Wait wait_ = Wait::nothing;
    std::string expected_;
    std::function<void()> then_;
    uint64_t generation_ = 0;
    std::vector<Step> script_;
    size_t step_ = 0;
    int round_ = 0;
    std::string typed_;  // the line a character-mode client types
    size_t key_ = 0;     // of it, the next key (its size: Enter)
    char iac_state_ = 0; // 0: data, 1: after IAC, else the verb after IAC
};

void Run::logon_done(bool ok) {
    if (ok) ++result.logged_on;
    if (++accounted < static_cast<int>(clients.size()) || session_started) return;
    // Everybody is in (or has failed): the sessions begin together.
    session_started = true;
    session_start = Clock::now();
    session_end = session_start + std::chrono::microseconds(static_cast<int64_t>(options.seconds * 1e6));
    for (auto& c : clients) c->begin_session();
}

}  // namespace

double LoadResult::percentile_us(double p) const { return percentile_us(latencies_us, p); }

double LoadResult::percentile_us(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t at = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

LoadResult run_load(const LoadOptions& options) {
    Run run;
    run.options = options;
    if (run.options.users.size() > kMaxClients) run.options.users.resize(kMaxClients);
    run.result.clients = static_cast<int>(run.options.users.size());
    for (size_t i = 0; i < run.options.users.size(); ++i) {
        Client::Role role = Client::Role::session;
        if (i == 0 && options.lister) role = Client::Role::lister;
        if (i == 1 && options.paster) role = Client::Role::paster;
        run.clients.push_back(std::make_shared<Client>(run, i, role));
    }

    // Bounded in time whatever happens: logons get a minute, the sessions
    // their time and the reply timeout; then every client is closed.
    asio::steady_timer guard(run.io);
    std::function<void()> arm_guard;
    const auto logon_deadline = Clock::now() + std::chrono::seconds(60);
    arm_guard = [&] {
        const auto until = run.session_started
                               ? run.session_end + std::chrono::seconds(
                                                       static_cast<int64_t>(options.reply_timeout_s) + 5)
                               : logon_deadline;
        guard.expires_at(until);
        guard.async_wait([&](const std::error_code& ec) {
            if (ec) return;
            if (!run.session_started && Clock::now() >= logon_deadline) {
                run.error("the logons took longer than a minute");
                for (auto& c : run.clients) c->close();
                return;
            }
            if (run.session_started && Clock::now() >= until) {
                for (auto& c : run.clients) c->close();
                return;
            }
            arm_guard();
        });
    };
    arm_guard();

    // Connections come a few at a time, each batch when the one before is
    // through the logon: the host's logon places (10 per address, random
    // early drops beyond 10 in all) would turn a crowd away.
    asio::steady_timer stagger(run.io);
    size_t next = 0;
    std::function<void()> connect_next = [&] {
        while (next < run.clients.size() && next - static_cast<size_t>(run.accounted) < 8)
            run.clients[next++]->start();
        if (next == run.clients.size()) return;
        stagger.expires_after(std::chrono::milliseconds(5));
        stagger.async_wait([&](const std::error_code& ec) {
            if (!ec) connect_next();
        });
    };
    connect_next();

    // The clients' own loop is watched too: a late tick is time that a reply
    // waited in the client, not in the host, and would count as latency.
    asio::steady_timer tick(run.io);
    std::function<void(Clock::time_point)> next_tick = [&](Clock::time_point due) {
        tick.expires_at(due);
        tick.async_wait([&, due](const std::error_code& ec) {
            if (ec) return;
            if (run.session_started && !run.session_over())
                run.result.client_lag_us.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - due).count());
            if (run.session_started && run.session_over()) {
                // The lister and the paster never pause: they stop with the time.
                for (auto& c : run.clients)
                    if (c->role() != Client::Role::session) c->close();
                return;
            }
            next_tick(Clock::now() + std::chrono::milliseconds(1));
        });
    };
    next_tick(Clock::now() + std::chrono::milliseconds(1));

    // When the last client has closed, the timers go too and the loop ends.
    run.all_closed = [&] {
        guard.cancel();
        tick.cancel();
        stagger.cancel();
    };

    run.io.run();
    run.result.seconds = options.seconds;
    for (auto& c : run.clients) c->close();
    return run.result;
}

}  // namespace plus_bench
