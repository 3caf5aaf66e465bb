#include "app/session.h"

#include "app/logon_gate.h"
#include "text/utf8.h"
#include "game/game.h"

namespace app {

namespace {

// A time as users are told it: "one minute", "30 minutes", "3 seconds".
std::string describe(std::chrono::milliseconds time) {
    auto count = [](long long n, const char* one, const char* unit) {
        return n == 1 ? std::string(one) : std::to_string(n) + " " + unit;
    };
    if (time.count() % 60000 == 0) return count(time.count() / 60000, "one minute", "minutes");
    return count((time.count() + 500) / 1000, "one second", "seconds");
}

}  // namespace

Session::Session(Owner& owner, LogonGate& logons, std::shared_ptr<Transport> transport)
    : owner_(owner),
      logons_(logons),
      transport_(std::move(transport)),
      terminal_(*transport_),
      dialogue_(*this, transport_->peer(), [] { return LogonDialogue::Clock::now(); },
                LogonDialogue::Rules{owner.rules().logon_time, LogonDialogue::Rules{}.max_failures}),
      logon_timer_(owner.io()),
      silence_timer_(owner.io()),
      idle_timer_(owner.io()),
      last_line_(std::chrono::steady_clock::now()),
      escape_timer_(owner.io()) {
    terminal_.on_holding_changed([this](bool held) { holding_changed(held); });
}

Session::~Session() { transport_->close_now(); }

void Session::attach() {
    const std::weak_ptr<Session> weak = weak_from_this();
    transport_->attach({
        [weak](std::string_view bytes) {
            if (auto self = weak.lock()) self->on_received(bytes);
        },
        [weak](int width, int height) {
            if (auto self = weak.lock()) self->terminal_.resize(width, height);
        },
        [weak](std::string_view name) {
            if (auto self = weak.lock()) self->terminal_.set_type(name);
        },
        [weak] {
            if (auto self = weak.lock()) self->on_closed();
        },
        [weak] {
            if (auto self = weak.lock()) self->terminal_.set_character_mode(self->transport_->character_mode());
        },
        [weak](ClientKind kind) {
            if (auto self = weak.lock()) self->terminal_.set_screen_reader(kind == ClientKind::screen_reader);
        },
        [weak] {
            if (auto self = weak.lock(); self && self->state_ == State::online) self->owner_.watch_character(self);
        },
    });
}

void Session::start() {
    attach();
    transport_->start();
    if (const std::string& userid = transport_->logged_on_as(); !userid.empty()) {
        dialogue_.admit(userid);
        if (state_ == State::online) terminal_.waiting();
        return;
    }
    at_logon_ = true;
    if (transport_->signing_up())
        dialogue_.start_signup();
    else
        dialogue_.start();
    terminal_.waiting();
    arm_logon_timer();
    arm_silence_timer();
}

void Session::refuse(std::string_view message) {
    attach();
    terminal_.write(message);
    close_after_output();
}

void Session::expel(std::string_view message) {
    if (state_ != State::online) return;
    terminal_.notice(message);
    close_after_output();
}

void Session::arm_logon_timer() {
    logon_timer_.expires_at(dialogue_.deadline());
    logon_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        if (std::chrono::steady_clock::now() >= self->dialogue_.deadline())
            self->ending_ = LogonThrottle::Ending::out_of_time;
        self->dialogue_.expire();
        if (!self->dialogue_.over()) self->arm_logon_timer();
    });
}

// A connection that says nothing only holds a place at the logon: it is
// cut off long before the logon time.
void Session::arm_silence_timer() {
    const auto limit = owner_.rules().silence_time;
    if (limit >= owner_.rules().logon_time) return;
    silence_timer_.expires_after(limit);
    silence_timer_.async_wait([weak = weak_from_this(), limit](const std::error_code& ec) {
        auto self = weak.lock();
        if (ec || !self || self->spoke_ || self->state_ != State::logging_on) return;
        self->log("connection from " + self->peer() + " closed: nothing typed within " +
                  describe(std::chrono::duration_cast<std::chrono::milliseconds>(limit)));
        self->terminal_.write("\r\nLogon timed out.\r\n");
        self->ending_ = LogonThrottle::Ending::silent;
        self->close_after_output();
    });
}

std::chrono::steady_clock::duration Session::idle() const {
    return std::chrono::steady_clock::now() - last_line_;
}

void Session::arm_idle_timer() {
    const auto timeout = owner_.rules().idle_timeout;
    if (timeout.count() <= 0 || state_ != State::online) return;
    idle_timer_.expires_at(last_line_ + (idle_warned_ ? timeout : timeout - owner_.rules().idle_warning()));
    idle_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self) self->idle_timer_fired();
    });
}

// The timer runs to where the last line it knew of would time out; lines
// typed since then only move the time it is armed for next.
void Session::idle_timer_fired() {
    if (state_ != State::online) return;
    const auto timeout = owner_.rules().idle_timeout;
    const auto idle_for = idle();
    if (idle_for >= timeout) {
        log("idle timeout: " + userid() + " at channel " + std::to_string(channel_) + " logged off after " +
            describe(timeout) + " without a line");
        terminal_.notice("\r\nYou have been idle for " + describe(timeout) + "; goodbye.\r\n");
        close_after_output();
        return;
    }
    const auto warning = owner_.rules().idle_warning();
    if (!idle_warned_ && idle_for >= timeout - warning) {
        idle_warned_ = true;
        terminal_.notice("\r\nYou have been idle for " + describe(timeout - warning) +
                        "; you will be logged off in " + describe(warning) + ".\r\n");
    }
    arm_idle_timer();
}

// ---- input ------------------------------------------------------------------

bool Session::taking_lines() const {
    return (state_ == State::logging_on || state_ == State::online) && transport_->open();
}

void Session::on_received(std::string_view bytes) {
    if (!taking_lines()) return;
    // In the full-screen editor and at a -- More -- prompt keys are the
    // user's doing, though they make no line.
    if (state_ == State::online && !bytes.empty() && (terminal_.editing() || terminal_.paused())) {
        last_line_ = std::chrono::steady_clock::now();
        idle_warned_ = false;
    }
    terminal_.feed(bytes, lines_);
    editor_may_be_done();
    handle_lines();
}

void Session::holding_changed(bool held) {
    if (held == statuses_held_ || channel_ < 0) return;
    statuses_held_ = held;
    owner_.hold_statuses(channel_, statuses_held_);
}

void Session::set_channel(int channel) {
    channel_ = channel;
    holding_changed(terminal_.holding());
}

bool Session::edit_on_screen(std::string_view text, std::size_t size) {
    return state_ == State::online && !terminal_.editing() && terminal_.open_editor(text, size);
}

void Session::editor_may_be_done() {
    if (terminal_.escape_pending()) {
        escape_timer_.expires_after(kEscapeWait);
        escape_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
            auto self = weak.lock();
            if (ec || !self || !self->taking_lines()) return;
            self->terminal_.flush_escape();
            self->editor_may_be_done();
        });
    }
    auto outcome = terminal_.take_editor_outcome();
    if (!outcome || state_ != State::online) return;
    handling_ = true;
    owner_.editor_done(channel_, outcome->save, outcome->text);
    handling_ = false;
    terminal_.waiting();
}

void Session::handle_lines() {
    for (std::size_t n = 0; n < kLinesPerTurn && !lines_.empty(); ++n) {
        if (!taking_lines() || waiting_for_check() || terminal_.paused()) break;
        const std::string line = std::move(lines_.front());
        lines_.pop_front();
        last_line_ = std::chrono::steady_clock::now();
        idle_warned_ = false;
        handling_ = true;
        terminal_.new_output();
        if (password_change_) {
            password_change_->line(line);
            password_change_may_be_over();
        } else if (state_ == State::online) {
            owner_.line(channel_, line);
        } else {
            spoke_ = spoke_ || line.find_first_not_of(' ') != std::string::npos;
            dialogue_.line(line);
        }
        handling_ = false;
    }
    if (!taking_lines()) {
        lines_.clear();
        return;
    }
    if (waiting_for_check()) return;  // password_checked(), account_made() or password_changed() goes on
    // Lines wait while the pager does: the reader's keys turn its pages.
    if (lines_.empty() || terminal_.paused()) {
        terminal_.waiting();
        transport_->read();
        return;
    }
    // More lines of the same read: the others get the loop first.
    if (turn_posted_) return;
    turn_posted_ = true;
    asio::post(owner_.io(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->turn_posted_ = false;
        self->handle_lines();
    });
}

void Session::password_checked(bool ok) {
    if (state_ != State::logging_on) return;
    // The password proved who he is: now he may learn that the account is locked.
    if (const auto refusal = ok ? logons_.account_refusal(dialogue_.userid()) : LogonThrottle::Verdict{}; !refusal) {
        log("logon as \"" + text::log_excerpt(dialogue_.userid()) + "\" from " + peer() +
            " refused: " + LogonGate::logged(refusal));
        terminal_.write(LogonThrottle::message(refusal));
        close_after_output();
        return;
    }
    handling_ = true;
    dialogue_.password_checked(ok);
    handling_ = false;
    handle_lines();
}

bool Session::waiting_for_check() const {
    return dialogue_.waiting() || (password_change_ && password_change_->waiting());
}

bool Session::change_password() {
    if (state_ != State::online || password_change_) return false;
    password_change_ = std::make_unique<PasswordChange>(static_cast<PasswordChange::Services&>(*this), userid(), peer());
    password_change_->start();
    return true;
}

void Session::change(const std::string& userid, std::string old_password, std::string new_password) {
    logons_.change_password(address(), userid, std::move(old_password), std::move(new_password),
                            [weak = weak_from_this()](std::string error) {
                                if (auto self = weak.lock()) self->password_changed(error);
                            });
}

void Session::password_changed(const std::string& error) {
    if (state_ != State::online || !password_change_) return;
    handling_ = true;
    password_change_->changed(error);
    password_change_may_be_over();
    handling_ = false;
    handle_lines();
}

// The change is over: the user is back where he was, and his module shows its prompt.
void Session::password_change_may_be_over() {
    if (!password_change_ || !password_change_->over()) return;
    password_change_.reset();
    owner_.line(channel_, "");
}

void Session::account_made(const std::string& error) {
    if (state_ != State::logging_on) return;
    handling_ = true;
    dialogue_.account_made(error);
    handling_ = false;
    handle_lines();
}

// ---- output and closing -------------------------------------------------------

void Session::send_module_output(std::string_view bytes) {
    if (state_ == State::closed) return;
    terminal_.write(bytes);
    // Output of its own (a status) while the user types: its prompt is
    // marked once the host call that printed it is over.
    if (handling_ || prompt_posted_) return;
    prompt_posted_ = true;
    asio::post(owner_.io(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->prompt_posted_ = false;
        if (self->handling_ || !self->taking_lines()) return;
        if (self->lines_.empty() && !self->waiting_for_check()) self->terminal_.waiting();
    });
}

bool Session::wants_character() const { return state_ == State::online && transport_->wants_character(); }

void Session::tell_character() {
    if (!wants_character()) return;
    auto* game = game::Game::instance();
    if (!game) return;
    if (const auto info = game->player_of_account(userid())) transport_->character(*info);
}

void Session::close_after_output() {
    if (state_ == State::closing || state_ == State::closed) return;
    state_ = State::closing;
    lines_.clear();
    owner_.hangup(*this);
    transport_->close_after_output();
}

void Session::shutdown(std::string_view farewell) {
    if (state_ == State::closed) return;
    terminal_.write(farewell);
    owner_.hangup(*this);
    transport_->close_now();
    on_closed();
}

void Session::on_closed() {
    if (state_ == State::closed) return;
    auto keep = shared_from_this();  // forget() drops the owner's reference
    owner_.hangup(*this);
    dialogue_.leave();
    state_ = State::closed;
    lines_.clear();
    logon_timer_.cancel();
    silence_timer_.cancel();
    idle_timer_.cancel();
    escape_timer_.cancel();
    if (at_logon_) {
        at_logon_ = false;
        logons_.connection_ended(address(), ending_);
    }
    owner_.forget(*this);
}

// ---- the logon dialogue's services --------------------------------------------

LogonThrottle::Verdict Session::attempt_begins(std::string_view userid) {
    auto verdict = logons_.attempt_begins(address(), userid);
    if (!verdict) logons_.logon_result(way(), "refused");
    return verdict;
}

void Session::attempt_abandoned(std::string_view userid) { logons_.attempt_abandoned(address(), userid); }

void Session::dialogue_ended() { logons_.dialogue_ended(address()); }

void Session::check_password(const std::string& userid, std::string password) {
    logons_.check_password(address(), userid, std::move(password),
                           [weak = weak_from_this(), &logons = logons_, way = std::string(way())](bool ok) {
        if (!ok) logons.logon_result(way, "wrong_password");
        if (auto self = weak.lock()) self->password_checked(ok);
    });
}

std::string Session::account_userid(std::string_view userid) { return logons_.account_userid(userid); }

bool Session::online(std::string_view userid) { return logons_.online(userid); }

bool Session::awaiting_validation(std::string_view userid) { return logons_.awaiting_validation(userid); }

SignupMode Session::signup_mode() { return logons_.signup_settings().mode; }

LogonThrottle::Verdict Session::signup_begins() { return logons_.signup_begins(address()); }

void Session::signup_abandoned() { logons_.signup_abandoned(address()); }

std::string Session::check_new_userid(std::string_view userid) { return logons_.check_new_userid(userid); }

void Session::make_account(const std::string& userid, std::string password) {
    logons_.make_account(address(), userid, std::move(password), [weak = weak_from_this()](std::string error) {
        if (auto self = weak.lock()) self->account_made(error);
    });
}

bool Session::log_on(const std::string& userid) {
    logon_timer_.cancel();
    state_ = State::online;
    if (owner_.logon(shared_from_this(), userid) >= 0) {
        at_logon_ = false;
        silence_timer_.cancel();
        last_line_ = std::chrono::steady_clock::now();
        idle_warned_ = false;
        arm_idle_timer();
        transport_->want_character_mode();
        return true;
    }
    state_ = State::logging_on;
    return false;
}

void Session::secret_line(bool on) {
    if (on)
        terminal_.begin_secret_line();
    else
        terminal_.end_secret_line();
}

}  // namespace app
