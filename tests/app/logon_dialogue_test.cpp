// The logon dialogue on a test clock: scripts of user and host steps against what it says and asks.
#include <gtest/gtest.h>

#include <strings.h>

#include <optional>
#include <string>
#include <vector>

#include "app/logon_dialogue.h"

namespace {

using app::LogonDialogue;
using app::LogonThrottle;
using namespace std::chrono_literals;

// A line typed, the password check's answer, time passing, or a hang-up.
struct Step { enum class Kind { type, answer, made, wait, hang_up } kind; std::string text; bool ok = false; std::chrono::seconds time{0}; };
Step type(std::string text) { return {Step::Kind::type, std::move(text)}; }
Step answer(bool ok) { return {Step::Kind::answer, {}, ok}; }
Step made(std::string error = {}) { return {Step::Kind::made, std::move(error)}; }
Step wait(std::chrono::seconds time) { return {Step::Kind::wait, {}, false, time}; }
const Step hang_up{Step::Kind::hang_up, {}};

// One transcript: what the dialogue says as it is, what it asks in angle brackets. Alice and Bob; Bob is online.
// Carol awaits validation; so does every account made when sign-up awaits it.
class Recorder : public LogonDialogue::Services {
public:
    std::string transcript;
    std::vector<std::string> log_lines;
    std::optional<LogonThrottle::Refusal> refusal;  // of every attempt
    app::SignupMode mode = app::SignupMode::closed;
    bool signups_spent = false;

    LogonThrottle::Verdict attempt_begins(std::string_view userid) override {
        transcript += "<attempt " + std::string(userid) + ">";
        return refusal ? LogonThrottle::Verdict{*refusal, 300s} : LogonThrottle::Verdict{};
    }
    void attempt_abandoned(std::string_view userid) override { transcript += "<abandoned " + std::string(userid) + ">"; }
    void dialogue_ended() override { transcript += "<ended>"; }
    void check_password(const std::string& userid, std::string pw) override { transcript += "<check " + userid + ":" + pw + ">"; }
    std::string account_userid(std::string_view userid) override {
        const std::string typed(userid);
        for (const char* known : {"Alice", "Bob", "Carol"})
            if (strcasecmp(typed.c_str(), known) == 0) return known;
        return "";
    }
    bool awaiting_validation(std::string_view userid) override {
        return userid == "Carol" || (mode == app::SignupMode::validate && userid == "Dave");
    }
    app::SignupMode signup_mode() override { return mode; }
    LogonThrottle::Verdict signup_begins() override {
        transcript += "<signup>";
        return signups_spent ? LogonThrottle::Verdict{LogonThrottle::Refusal::signups_spent, 1200s} : LogonThrottle::Verdict{};
    }
    void signup_abandoned() override { transcript += "<signup abandoned>"; }
    std::string check_new_userid(std::string_view userid) override {
        return app::check_new_userid(userid, !account_userid(userid).empty());
    }
    void make_account(const std::string& userid, std::string pw) override { transcript += "<make " + userid + ":" + pw + ">"; }
    bool online(std::string_view userid) override { return userid == "Bob"; }
    bool log_on(const std::string& userid) override { return transcript += "<log on " + userid + ">", true; }  // a channel is free
    void say(std::string_view text) override { transcript += text; }
    void secret_line(bool on) override { transcript += on ? "<secret>" : "</secret>"; }
    void close() override { transcript += "<close>"; }
    void log(std::string_view line) override { log_lines.emplace_back(line); }
};

const std::string kBanner =
    "\r\n  Welcome to the Brakvold BBS\r\n  A realm of swords, sorcery and the Brakvold Plus extensions.\r\n\r\n";
const std::string kPassword = "<secret>Password: </secret>";

struct Case { const char* name; std::vector<Step> steps; std::string transcript; bool over = false; Recorder setup{}; };  // transcript after the banner

class LogonDialogueTest : public ::testing::Test {
protected:
    LogonDialogue::Clock::time_point now_{};
    Recorder host_;
    std::optional<LogonDialogue> dialogue_;

    void run(const Case& c, bool signup_first = false) {
        host_ = c.setup;
        dialogue_.emplace(host_, "192.0.2.1:4000", [this] { return now_; });
        signup_first ? dialogue_->start_signup() : dialogue_->start();
        for (const Step& step : c.steps) {
            switch (step.kind) {
            case Step::Kind::type: dialogue_->line(step.text); break;
            case Step::Kind::answer: dialogue_->password_checked(step.ok); break;
            case Step::Kind::made: dialogue_->account_made(step.text); break;
            case Step::Kind::wait: now_ += step.time, dialogue_->expire(); break;
            case Step::Kind::hang_up: dialogue_->leave(); break;
            }
        }
    }
};

// (Three failures, an unknown user-ID, no free channel, a throttled attempt: e2e test_logon_hardening, test_soak.)
TEST_F(LogonDialogueTest, FollowsItsRulesStepByStep) {
    const std::string kOnline = "<attempt bob>" + kPassword + "<check bob:p>That user is already online.\r\nUser-ID: ";
    const Case cases[] = {
        {"a right password logs on under the account's spelling", {type(" \x1b[1malice "), type("pw"), answer(true)},
         "User-ID: <attempt alice>" + kPassword + "<check alice:pw><ended><log on Alice>", true},
        {"empty user-IDs are asked again without an attempt", {type(""), type("   "), type("\x07\x1b[A")},
         "User-ID: User-ID: User-ID: User-ID: "},
        {"lines typed while the password is checked are not taken", {type("Alice"), type("pw"), type("Bob")},
         "User-ID: <attempt Alice>" + kPassword + "<check Alice:pw>"},
        {"an unknown user-ID is refused whatever the check answers", {type("x"), type("b"), answer(true)},
         "User-ID: <attempt x>" + kPassword + "<check x:b>Invalid login.\r\nUser-ID: "},
        {"a user online is asked again, which is no failure",
         {type("bob"), type("p"), answer(true), type("bob"), type("p"), answer(true), type("bob"), type("p"), answer(true),
          type("Alice")},
         "User-ID: " + kOnline + kOnline + kOnline + "<attempt Alice><secret>Password: "},
        {"the time runs from the start, not from the last line",
         {wait(100s), type("Alice"), type("x"), answer(false), wait(19s), type("Alice"), wait(1s), hang_up},
         "User-ID: <attempt Alice>" + kPassword + "<check Alice:x>Invalid login.\r\nUser-ID: <attempt Alice><secret>"
         "Password: \r\nLogon timed out.\r\n<close><abandoned Alice><ended>", true},
        {"a timeout during the check ignores its answer", {type("Alice"), type("pw"), wait(120s), answer(true), hang_up},
         "User-ID: <attempt Alice>" + kPassword + "<check Alice:pw>\r\nLogon timed out.\r\n<close><ended>", true},
        {"a hang-up at the password prompt gives the attempt back", {type("Alice"), hang_up, hang_up},
         "User-ID: <attempt Alice><secret>Password: <abandoned Alice><ended>", true},
        {"a hang-up after logon ends nothing more", {type("Alice"), type("pw"), answer(true), hang_up, wait(200s)},
         "User-ID: <attempt Alice>" + kPassword + "<check Alice:pw><ended><log on Alice>", true},
    };
    for (const auto& c : cases) {
        run(c);
        ASSERT_TRUE(host_.transcript.starts_with(kBanner)) << c.name;
        EXPECT_EQ(host_.transcript.substr(kBanner.size()), c.transcript) << c.name;
        EXPECT_EQ(dialogue_->over(), c.over) << c.name;
        EXPECT_EQ(dialogue_->waiting(), c.transcript.ends_with(":pw>")) << c.name;
    }
}

TEST_F(LogonDialogueTest, LogsRefusalsFailuresAndClosingsWithTheUserIdAsTyped) {
    run({"", {type("Mallory%s"), type("a"), answer(false), type("Alice"), type("b"), answer(false), type("alice"),
              type("c"), answer(false)}, "", true});
    EXPECT_EQ(host_.log_lines, (std::vector<std::string>{"failed logon as \"Mallory%s\" from 192.0.2.1:4000",
                                   "failed logon as \"Alice\" from 192.0.2.1:4000", "failed logon as \"alice\" from 192.0.2.1:4000",
                                   "connection from 192.0.2.1:4000 closed after 3 failed logons"}));
    Recorder refusing;
    refusing.refusal = LogonThrottle::Refusal::address_penalized;
    run({"", {type("Mallory%s")}, "", true, refusing});
    EXPECT_EQ(host_.log_lines, std::vector<std::string>{"logon as \"Mallory%s\" from 192.0.2.1:4000 refused: Too many "
                                                        "failed logons from your address. Please try again in 5 minutes."});
}

// Sign-up in its three modes: the banner, the user-ID and password rules, both passwords, the account made or not.
TEST_F(LogonDialogueTest, SignsUpNewUsersByTheSysopsMode) {
    const std::string kHint = "  New here? Type NEW at the User-ID prompt to sign up.\r\n\r\n";
    const std::string kIntro = "<signup>\r\nA new account. Its user-ID has 3 to 29 characters: letters, digits, - _ . and "
                               "single\r\nblanks between words. An empty line ends the sign-up.\r\nNew user-ID: ";
    const std::string kFirst = "<secret>Password (at least 8 characters): </secret>";
    const std::string kAgain = "<secret>Password again: </secret>";
    const std::string kShort = "A user-ID has 3 to 29 characters.\r\n";
    Recorder open, validate, spent;
    open.mode = validate.mode = spent.mode = app::SignupMode::open;
    validate.mode = app::SignupMode::validate;
    spent.signups_spent = true;
    const std::vector<Step> dave = {type("new"), type(" Dave "), type("longsecret"), type("longsecret")};
    auto with = [](std::vector<Step> steps, std::initializer_list<Step> more) { return steps.insert(steps.end(), more), steps; };
    const Case cases[] = {
        {"closed: no hint, and NEW is told so", {type("NEW"), type("Alice")},
         "User-ID: Sign-up is closed here. Please ask the sysop for an account.\r\nUser-ID: <attempt Alice><secret>Password: "},
        {"open: the account is made of the second password, then logged on", with(dave, {made()}),
         kHint + "User-ID: " + kIntro + kFirst + kAgain + "<make Dave:longsecret>Your account Dave is made. Welcome!\r\n"
         "<ended><log on Dave>", true, open},
        {"validate: the account is made and waits", with(dave, {made()}),
         kHint + "User-ID: " + kIntro + kFirst + kAgain + "<make Dave:longsecret>Your account Dave is made. It waits for "
         "the sysop's validation; you can log on once it is validated.\r\n<close>", true, validate},
        {"bad and taken user-IDs, short, containing and differing passwords are asked again",
         {type("new"), type("ALICE"), type("Dave"), type("short"), type("dave12345"), type("longsecret"),
          type("longsecreT"), type("longsecret"), type("longsecret"), made("That user-ID is taken.")},
         kHint + "User-ID: " + kIntro + "That user-ID is taken.\r\n"
         "New user-ID: " + kFirst + "A password has at least 8 characters.\r\n" + kFirst +
         "A password must not contain the user-ID.\r\n" + kFirst + kAgain + "The two passwords differ.\r\n" + kFirst +
         kAgain + "<make Dave:longsecret>That user-ID is taken.\r\nUser-ID: ", false, open},
        {"five mistakes close, and give the sign-up back", {type("new"), type("1"), type("2"), type("3"), type("4"), type("5")},
         kHint + "User-ID: " + kIntro + kShort + "New user-ID: " + kShort + "New user-ID: " + kShort + "New user-ID: " +
         kShort + "New user-ID: " + kShort + "<signup abandoned><close>", true, open},
        {"an empty line ends the sign-up; a hang-up gives it back too",
         {type("new"), type("Dave"), type(""), type("new"), hang_up},
         kHint + "User-ID: " + kIntro + kFirst + "Sign-up ended.\r\n<signup abandoned>User-ID: " + kIntro +
         "<signup abandoned><ended>", true, open},
        {"the address's sign-ups spent: told, closed", {type("new")},
         kHint + "User-ID: <signup>Too many new accounts from your address. Please try again in 20 minutes.\r\n<close>",
         true, spent},
        {"an account awaiting validation is told so at logon", {type("carol"), type("pw"), answer(true)},
         "User-ID: <attempt carol>" + kPassword + "<check carol:pw>Your account is waiting for validation by the sysop. "
         "Please try again later.\r\n<close>", true},
    };
    for (const auto& c : cases) {
        run(c);
        ASSERT_TRUE(host_.transcript.starts_with(kBanner)) << c.name;
        EXPECT_EQ(host_.transcript.substr(kBanner.size()), c.transcript) << c.name;
        EXPECT_EQ(dialogue_->over(), c.over) << c.name;
    }
    run({"", {type("Dave")}, "", false, open}, true);  // SSH's `new`: straight to the sign-up
    EXPECT_EQ(host_.transcript, kBanner + kIntro + "<secret>Password (at least 8 characters): ");
}

}  // namespace
