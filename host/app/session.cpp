#include "app/session.h"

#include "app/server.h"

namespace app {

Session::Session(Server& server, std::shared_ptr<Transport> transport)
    : server_(server),
      transport_(std::move(transport)),
      terminal_(*transport_),
      dialogue_(*this, transport_->peer(), [] { return LogonDialogue::Clock::now(); },
                LogonDialogue::Rules{server.logon_time(), LogonDialogue::Rules{}.max_failures}),
      logon_timer_(server.io()),
      idle_timer_(server.io()),
      last_line_(std::chrono::steady_clock::now()),
      escape_timer_(server.io()) {}

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
    dialogue_.start();
    terminal_.waiting();
    arm_logon_timer();
}

void Session::refuse(std::string_view message) {
    attach();
    terminal_.write(message);
    close_after_output();
}

void Session::arm_logon_timer() {
    logon_timer_.expires_at(dialogue_.deadline());
    logon_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        self->dialogue_.expire();
        if (!self->dialogue_.over()) self->arm_logon_timer();
    });
}

std::chrono::steady_clock::duration Session::idle() const {
    return std::chrono::steady_clock::now() - last_line_;
}

void Session::arm_idle_timer() {
    const auto timeout = server_.idle_timeout();
    if (timeout.count() <= 0 || state_ != State::online) return;
    idle_timer_.expires_at(last_line_ + (idle_warned_ ? timeout : timeout - server_.idle_warning()));
    idle_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!ec && self) self->idle_timer_fired();
    });
}

// The timer runs to where the last line it knew of would time out; lines
// typed since then only move the time it is armed for next.
void Session::idle_timer_fired() {
    if (state_ != State::online) return;
    const auto timeout = server_.idle_timeout();
    const auto idle_for = idle();
    if (idle_for >= timeout) {
        log("idle timeout: " + userid() + " at channel " + std::to_string(channel_) + " logged off after " +
            Server::describe(timeout) + " without a line");
        terminal_.notice("\r\nYou have been idle for " + Server::describe(timeout) + "; goodbye.\r\n");
        close_after_output();
        return;
    }
    const auto warning = server_.idle_warning();
    if (!idle_warned_ && idle_for >= timeout - warning) {
        idle_warned_ = true;
        terminal_.notice("\r\nYou have been idle for " + Server::describe(timeout - warning) +
                        "; you will be logged off in " + Server::describe(warning) + ".\r\n");
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
    pager_may_have_turned();
    handle_lines();
}

void Session::pager_may_have_turned() {
    // The pager waits for the reader, or the full-screen editor has the screen.
    const bool hold = terminal_.paused() || terminal_.editing();
    if (hold == statuses_held_ || channel_ < 0) return;
    statuses_held_ = hold;
    server_.hold_statuses(channel_, statuses_held_);
}

void Session::editor_may_have_begun() {
    if (state_ != State::online || terminal_.editing() || !server_.in_editor(channel_)) return;
    if (!terminal_.open_editor(server_.editor_text(channel_), server_.editor_size(channel_))) return;
    pager_may_have_turned();
}

void Session::editor_may_be_done() {
    if (terminal_.escape_pending()) {
        escape_timer_.expires_after(kEscapeWait);
        escape_timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
            auto self = weak.lock();
            if (ec || !self || !self->taking_lines()) return;
            self->terminal_.flush_escape();
            self->editor_may_be_done();
            self->pager_may_have_turned();
        });
    }
    auto outcome = terminal_.take_editor_outcome();
    if (!outcome || state_ != State::online) return;
    handling_ = true;
    server_.editor_done(channel_, outcome->save, outcome->text);
    handling_ = false;
    terminal_.waiting();
    editor_may_have_begun();  // the done routine may open it again
}

void Session::handle_lines() {
    for (std::size_t n = 0; n < kLinesPerTurn && !lines_.empty(); ++n) {
        if (!taking_lines() || dialogue_.waiting() || terminal_.paused()) break;
        const std::string line = std::move(lines_.front());
        lines_.pop_front();
        last_line_ = std::chrono::steady_clock::now();
        idle_warned_ = false;
        handling_ = true;
        terminal_.new_output();
        if (state_ == State::online)
            server_.line(channel_, line);
        else
            dialogue_.line(line);
        handling_ = false;
        editor_may_have_begun();
    }
    if (!taking_lines()) {
        lines_.clear();
        return;
    }
    if (dialogue_.waiting()) return;  // password_checked() goes on
    // Lines wait while the pager does: the reader's keys turn its pages.
    if (lines_.empty() || terminal_.paused()) {
        terminal_.waiting();
        transport_->read();
        return;
    }
    // More lines of the same read: the others get the loop first.
    if (turn_posted_) return;
    turn_posted_ = true;
    asio::post(server_.io(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->turn_posted_ = false;
        self->handle_lines();
    });
}

void Session::password_checked(bool ok) {
    if (state_ != State::logging_on) return;
    handling_ = true;
    dialogue_.password_checked(ok);
    handling_ = false;
    handle_lines();
}

// ---- output and closing -------------------------------------------------------

void Session::send_module_output(std::string_view bytes) {
    if (state_ == State::closed) return;
    terminal_.write(bytes);
    pager_may_have_turned();
    // Output of its own (a status) while the user types: its prompt is
    // marked once the host call that printed it is over.
    if (handling_ || prompt_posted_) return;
    prompt_posted_ = true;
    asio::post(server_.io(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->prompt_posted_ = false;
        if (self->handling_ || !self->taking_lines()) return;
        self->editor_may_have_begun();
        if (self->lines_.empty() && !self->dialogue_.waiting()) self->terminal_.waiting();
    });
}

void Session::close_after_output() {
    if (state_ == State::closing || state_ == State::closed) return;
    state_ = State::closing;
    lines_.clear();
    server_.hangup(*this);
    transport_->close_after_output();
}

void Session::shutdown(std::string_view farewell) {
    if (state_ == State::closed) return;
    terminal_.write(farewell);
    server_.hangup(*this);
    transport_->close_now();
    on_closed();
}

void Session::on_closed() {
    if (state_ == State::closed) return;
    auto keep = shared_from_this();  // forget() drops the server's reference
    server_.hangup(*this);
    dialogue_.leave();
    state_ = State::closed;
    lines_.clear();
    logon_timer_.cancel();
    idle_timer_.cancel();
    escape_timer_.cancel();
    server_.forget(*this);
}

// ---- the logon dialogue's services --------------------------------------------

LogonThrottle::Verdict Session::attempt_begins(std::string_view userid) {
    return server_.begin_attempt(address(), userid);
}

void Session::attempt_abandoned(std::string_view userid) { server_.abandon_attempt(address(), userid); }

void Session::dialogue_ended() { server_.dialogue_ended(address()); }

void Session::check_password(const std::string& userid, std::string password) {
    server_.check_password(shared_from_this(), userid, std::move(password));
}

std::string Session::account_userid(std::string_view userid) { return server_.account_userid(userid); }

bool Session::online(std::string_view userid) { return server_.is_online(userid); }

bool Session::log_on(const std::string& userid) {
    logon_timer_.cancel();
    state_ = State::online;
    if (server_.logon(shared_from_this(), userid) >= 0) {
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

void Session::log(std::string_view line) { server_.log(line); }

}  // namespace app
