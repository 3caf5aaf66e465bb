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
struct Step { enum class Kind { type, answer, wait, hang_up } kind; std::string text; bool ok = false; std::chrono::seconds time{0}; };
Step type(std::string text) { return {Step::Kind::type, std::move(text)}; }
Step answer(bool ok) { return {Step::Kind::answer, {}, ok}; }
Step wait(std::chrono::seconds time) { return {Step::Kind::wait, {}, false, time}; }
const Step hang_up{Step::Kind::hang_up, {}};

// One transcript: what the dialogue says as it is, what it asks in angle brackets. Alice and Bob; Bob is online.
class Recorder : public LogonDialogue::Services {
public:
    std::string transcript;
    std::vector<std::string> log_lines;
    std::optional<LogonThrottle::Refusal> refusal;  // of every attempt

    LogonThrottle::Verdict attempt_begins(std::string_view userid) override {
        transcript += "<attempt " + std::string(userid) + ">";
        return refusal ? LogonThrottle::Verdict{*refusal, 300s} : LogonThrottle::Verdict{};
    }
    void attempt_abandoned(std::string_view userid) override { transcript += "<abandoned " + std::string(userid) + ">"; }
    void dialogue_ended() override { transcript += "<ended>"; }
    void check_password(const std::string& userid, std::string pw) override { transcript += "<check " + userid + ":" + pw + ">"; }
    std::string account_userid(std::string_view userid) override {
        const std::string typed(userid);
        return strcasecmp(typed.c_str(), "alice") == 0 ? "Alice" : strcasecmp(typed.c_str(), "bob") == 0 ? "Bob" : "";
    }
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

    void run(const Case& c) {
        host_ = c.setup;
        dialogue_.emplace(host_, "192.0.2.1:4000", [this] { return now_; });
        dialogue_->start();
        for (const Step& step : c.steps) {
            switch (step.kind) {
            case Step::Kind::type: dialogue_->line(step.text); break;
            case Step::Kind::answer: dialogue_->password_checked(step.ok); break;
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

}  // namespace
