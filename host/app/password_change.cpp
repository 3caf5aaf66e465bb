#include "app/password_change.h"

#include <sodium.h>

#include "app/signup.h"

namespace app {

namespace {

void wipe(std::string& secret) {
    sodium_memzero(secret.data(), secret.size());
    secret.clear();
}

}  // namespace

PasswordChange::PasswordChange(Services& services, std::string userid, std::string peer)
    : services_(services), userid_(std::move(userid)), peer_(std::move(peer)) {}

PasswordChange::~PasswordChange() {
    wipe(old_);
    wipe(new_);
}

void PasswordChange::start() {
    services_.say("\r\nChanging your password. An empty line keeps the old one.\r\n");
    ask(Step::old_password);
}

void PasswordChange::ask(Step step) {
    step_ = step;
    services_.secret_line(true);
    services_.say(step == Step::old_password   ? "Old password: "
                  : step == Step::new_password ? "New password (at least 8 characters): "
                                               : "New password again: ");
}

void PasswordChange::line(std::string_view typed) {
    if (step_ != Step::old_password && step_ != Step::new_password && step_ != Step::again) return;
    services_.secret_line(false);
    if (typed.empty()) return finish("Your password is unchanged.");
    switch (step_) {
    case Step::old_password:
        old_ = std::string(typed);
        return ask(Step::new_password);
    case Step::new_password:
        if (std::string fault = check_new_password(userid_, typed); !fault.empty())
            return finish(fault + " Your password is unchanged.");
        new_ = std::string(typed);
        return ask(Step::again);
    default:
        break;
    }
    if (typed != new_) return finish("The two passwords differ. Your password is unchanged.");
    step_ = Step::changing;
    std::string old_password = std::move(old_), new_password = std::move(new_);
    old_.clear();
    new_.clear();
    services_.change(userid_, std::move(old_password), std::move(new_password));
}

void PasswordChange::changed(const std::string& error) {
    if (step_ != Step::changing) return;
    if (!error.empty()) {
        services_.log("password change of " + userid_ + " from " + peer_ + " refused: " + error);
        return finish(error + " Your password is unchanged.");
    }
    services_.log("password of " + userid_ + " changed from " + peer_);
    finish("Your password is changed.");
}

void PasswordChange::finish(std::string_view said) {
    wipe(old_);
    wipe(new_);
    step_ = Step::over;
    services_.say(std::string(said) + "\r\n");
}

}  // namespace app
