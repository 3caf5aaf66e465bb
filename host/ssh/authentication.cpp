// The authentication of a Connection (ssh/connection.h): a user's method
// weighed, a password or keyboard-interactive answer handed to the host and
// its verdict given back later, a public key checked against the account's.
#include "ssh/connection.h"

#include <string>

#include "text/utf8.h"

// As in connection.cpp: a request waiting for the host's verdict is kept as
// an ssh_message, whose accessors libssh 0.10 marks deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace ssh {


void Connection::on_auth_request(MessageHandle message) {
    if (phase_ != Phase::authentication) return;  // after success: ignored, as the protocol says
    if (++auth_requests_ > state_->options.limits.max_auth_requests)
        return end("too many authentication requests");
    if (pending_) {  // answers go out in order
        if (waiting_auth_.size() >= kMaxWaitingAuth) return end("too many authentication requests sent ahead");
        waiting_auth_.push_back(std::move(message));
        return;
    }
    evaluate_auth(std::move(message));
}

void Connection::evaluate_auth(MessageHandle message) {
    ssh_message m = message.get();
    const char* raw_user = ssh_message_auth_user(m);
    std::string user = raw_user ? raw_user : "";
    switch (ssh_message_subtype(m)) {
    case SSH_AUTH_METHOD_PASSWORD: {
        const char* password = ssh_message_auth_password(m);
        return ask_host(std::move(message), std::move(user), "password", password ? password : "");
    }
    case SSH_AUTH_METHOD_INTERACTIVE: {
        if (!ssh_message_auth_kbdint_is_response(m)) {
            interactive_user_ = user;
            const char* prompts[] = {"Password: "};
            char echo[] = {0};
            if (ssh_message_auth_interactive_request(m, "", "", 1, prompts, echo) != SSH_OK)
                end("cannot send the password prompt: " + libssh_error());
            return;
        }
        if (ssh_userauth_kbdint_getnanswers(session_.get()) != 1) {
            ssh_message_reply_default(m);
            return refused(interactive_user_, "keyboard-interactive");
        }
        const char* password = ssh_userauth_kbdint_getanswer(session_.get(), 0);
        return ask_host(std::move(message), interactive_user_, "keyboard-interactive", password ? password : "");
    }
    case SSH_AUTH_METHOD_PUBLICKEY:
        if (state_->options.check_public_key) return check_public_key(std::move(message), user);
        ssh_message_reply_default(m);
        return;
    default:  // none, host-based, GSSAPI: refused with the list of methods
        ssh_message_reply_default(m);
    }
}

void Connection::check_public_key(MessageHandle message, const std::string& user) {
    ssh_message m = message.get();
    PublicKeyText key;
    try {
        key = describe_public_key(ssh_message_auth_pubkey(m));
    } catch (const std::exception& e) {
        log(std::string("refused a public key: ") + e.what());
        ssh_message_reply_default(m);
        return;
    }
    const bool registered = state_->options.check_public_key({user, key, address_});
    // Without a signature the client only asks whether the key would do
    // (PK_OK); with one, libssh has verified it before the message came.
    const int state = ssh_message_auth_publickey_state(m);
    if (registered && state == SSH_PUBLICKEY_STATE_NONE) {
        ssh_message_auth_reply_pk_ok_simple(m);
    } else if (registered && state == SSH_PUBLICKEY_STATE_VALID) {
        AuthVerdict verdict = state_->options.key_proved ? state_->options.key_proved({user, key, address_})
                                                         : AuthVerdict::accepted();
        if (verdict.accept) return accept(std::move(message), user, "publickey " + key.type + " " + key.fingerprint);
        ssh_message_reply_default(m);
        ending_ = verdict.proved ? LogonEnd::left : LogonEnd::refused;
        ssh_session_set_disconnect_message(session_.get(), verdict.close_reason.c_str());
        end("refused " + text::log_excerpt(user) + ": " + verdict.close_reason);
    } else {
        if (state != SSH_PUBLICKEY_STATE_NONE)
            log("refused public key " + key.fingerprint + " for " + text::log_excerpt(user));
        ssh_message_reply_default(m);
    }
}

// The request waits, unanswered, for the host's verdict; whatever the
// client sends meanwhile is read and queued.
void Connection::ask_host(MessageHandle message, std::string user, std::string method, std::string_view password) {
    const uint64_t ticket = ++auth_tickets_;
    pending_ = PendingAuth{std::move(message), user, std::move(method), ticket};
    state_->options.check_password(
        {user, password, address_}, [weak = weak_from_this(), io = &state_->io, ticket](AuthVerdict verdict) {
            // Always from the loop, never from inside check_password.
            asio::post(*io, [weak, ticket, verdict = std::move(verdict)]() mutable {
                auto self = weak.lock();
                if (!self || self->phase_ == Phase::closed) return;
                self->give_verdict(ticket, std::move(verdict));
                if (self->phase_ != Phase::closed) self->pump();  // send the answer, read what came meanwhile
            });
        });
}

void Connection::give_verdict(uint64_t ticket, AuthVerdict verdict) {
    if (!pending_ || pending_->ticket != ticket) return;
    PendingAuth asked = std::move(*pending_);
    pending_.reset();
    if (verdict.accept) return accept(std::move(asked.message), std::move(asked.user), asked.method);
    ssh_message_reply_default(asked.message.get());
    if (!verdict.close_reason.empty()) {
        ssh_session_set_disconnect_message(session_.get(), verdict.close_reason.c_str());
        ending_ = verdict.proved ? LogonEnd::left : LogonEnd::refused;
        return end("refused " + text::log_excerpt(asked.user) + ": " + verdict.close_reason);
    }
    refused(asked.user, asked.method);
    evaluate_waiting();
}

void Connection::accept(MessageHandle message, std::string user, std::string_view method) {
    if (ssh_message_auth_reply_success(message.get(), 0) != SSH_OK)
        return end("cannot confirm the logon: " + libssh_error());
    user_ = std::move(user);
    phase_ = Phase::authenticated;
    waiting_auth_.clear();  // requests sent ahead of a success are ignored
    log("logged on as " + text::log_excerpt(user_) + " by " + std::string(method));
}

void Connection::refused(std::string_view user, std::string_view method) {
    log("refused the " + std::string(method) + " of " + text::log_excerpt(user));
    if (++password_failures_ >= state_->options.limits.max_password_failures) {
        ending_ = LogonEnd::refused;
        end("too many failed logons");
    }
}

void Connection::evaluate_waiting() {
    while (!pending_ && !waiting_auth_.empty() && phase_ == Phase::authentication) {
        MessageHandle next = std::move(waiting_auth_.front());
        waiting_auth_.pop_front();
        evaluate_auth(std::move(next));
    }
}

}  // namespace ssh
