// A logged-on user changes his own password (the game's `password`, told
// to the session through bbs::FrontEnd::change_password): the old password,
// the new one, the new one again, each on a line without echo. An empty
// old password, a new one that breaks the rules of a new account's
// (app/signup.h) or a second one that differs ends it unchanged. Otherwise
// the change is made away from the loop (waiting() meanwhile: the old one
// checked as a logon's is, the new one hashed) and its answer comes back
// through changed(). over() once it is done either way.
#pragma once

#include <string>
#include <string_view>

namespace app {

class PasswordChange {
public:
    class Services {
    public:
        virtual ~Services() = default;
        virtual void change(const std::string& userid, std::string old_password, std::string new_password) = 0;
        virtual void say(std::string_view text) = 0;
        virtual void secret_line(bool on) = 0;
        virtual void log(std::string_view line) = 0;
    };

    // `peer` names the connection in the log.
    PasswordChange(Services& services, std::string userid, std::string peer);
    ~PasswordChange();
    PasswordChange(const PasswordChange&) = delete;
    PasswordChange& operator=(const PasswordChange&) = delete;

    void start();
    void line(std::string_view typed);
    void changed(const std::string& error);  // empty: changed

    bool waiting() const { return step_ == Step::changing; }
    bool over() const { return step_ == Step::over; }

private:
    enum class Step { old_password, new_password, again, changing, over };
    void ask(Step step);
    void finish(std::string_view said);

    Services& services_;
    std::string userid_, peer_;
    Step step_ = Step::old_password;
    std::string old_, new_;
};

}  // namespace app
