// Who may come in: bans of addresses and networks, and the rules and settings of sign-up.
// (The ban, lock and sign-up commands through bbshost: e2e test_admin.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "app/bans.h"
#include "app/signup.h"
#include "bbs/sqlite.h"

namespace {

using app::Ban;
using app::Bans;

asio::ip::address ip(const char* text) { return asio::ip::make_address(text); }

TEST(Network, AddressesAndPrefixesAreReadAsTheirNetwork) {
    const std::pair<const char*, const char*> read[] = {
        {"192.0.2.7", "192.0.2.7"}, {"192.0.2.7/24", "192.0.2.0/24"}, {"0.0.0.0/0", "0.0.0.0/0"},
        {"2001:db8:0:1::5/48", "2001:db8::/48"}, {"2001:DB8::1", "2001:db8::1"},
        {"::ffff:198.51.100.7", "198.51.100.7"}, {"::ffff:198.51.100.9/120", "198.51.100.0/24"}};
    for (auto [text, network] : read) {
        std::string error;
        const auto parsed = app::parse_network(text, &error);
        ASSERT_TRUE(parsed) << text << ": " << error;
        EXPECT_EQ(parsed->text(), network) << text;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"300.1.1.1", "no IPv4 or IPv6 address"}, {"example.org", "no IPv4"}, {"1.2.3.4/33", "0 to 32"},
        {"1.2.3.4/", "0 to 32"}, {"1.2.3.4/2x", "0 to 32"}, {"2001:db8::/129", "0 to 128"},
        {"::ffff:1.2.3.4/64", "96 or more"}};
    for (auto [text, says] : refused) {
        std::string error;
        EXPECT_FALSE(app::parse_network(text, &error)) << text;
        EXPECT_NE(error.find(says), std::string::npos) << text << ": " << error;
    }
}

class BansTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/bans-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        serving_ = connect();
        admin_ = connect();
    }
    void TearDown() override {
        serving_.reset();
        admin_.reset();
        std::filesystem::remove_all(dir_);
    }
    std::unique_ptr<bbs::sql::Connection> connect() {
        bbs::sql::Error error;
        auto db = bbs::sql::Connection::open(dir_ / "bbs.db", &error);
        EXPECT_TRUE(db && db->exec("PRAGMA journal_mode=WAL", "test")) << error.text();
        return db;
    }
    // A ban as bbshost ban add makes it (another process: another connection).
    void ban(const char* network, std::optional<int64_t> until, const char* reason) {
        Bans admin(*admin_, [this] { return now_; });
        std::string error;
        ASSERT_TRUE(admin.add(Ban{*app::parse_network(network, &error), 0, until, reason}, &error)) << error;
    }
    int64_t seconds() const { return std::chrono::duration_cast<std::chrono::seconds>(now_.time_since_epoch()).count(); }

    std::filesystem::path dir_;
    std::unique_ptr<bbs::sql::Connection> serving_, admin_;
    Bans::Clock::time_point now_ = Bans::Clock::time_point(std::chrono::seconds(1800000000));
};

TEST_F(BansTest, TheLongestBannedPrefixOfAnAddressAppliesUntilItsBanEnds) {
    Bans bans(*serving_, [this] { return now_; });
    EXPECT_FALSE(bans.banned(ip("192.0.2.5")));
    ban("192.0.2.0/24", std::nullopt, "guessing");
    ban("192.0.2.128/25", seconds() + 60, "a flood");
    ban("2001:db8:1::/48", seconds() + 3600, "");
    ban("198.51.100.7", std::nullopt, "spam");
    // (address, the reason of the ban that applies; none: not banned)
    const std::pair<const char*, const char*> now[] = {
        {"192.0.2.5", "guessing"}, {"192.0.2.200", "a flood"}, {"::ffff:192.0.2.5", "guessing"},
        {"192.0.3.1", nullptr},    {"2001:db8:1:ff::1", ""},   {"2001:db8:2::1", nullptr},
        {"198.51.100.7", "spam"},  {"198.51.100.8", nullptr},  {"::ffff:198.51.100.7", "spam"}};
    for (auto [address, reason] : now) {
        const Ban* found = bans.find(ip(address));
        EXPECT_EQ(found != nullptr, reason != nullptr) << address;
        if (found && reason) {
            EXPECT_EQ(found->reason, reason) << address;
        }
    }
    now_ += std::chrono::seconds(60);
    EXPECT_EQ(bans.find(ip("192.0.2.200"))->reason, "guessing") << "the /25 ended: the /24 applies";
    now_ += std::chrono::seconds(3600);
    EXPECT_FALSE(bans.banned(ip("2001:db8:1::1")));
    // Listed until removed, the ended ones too; a removal another process made counts at the next check.
    EXPECT_EQ(bans.list().size(), 4u);
    Bans admin(*admin_, [this] { return now_; });
    std::string error;
    ASSERT_TRUE(admin.remove(*app::parse_network("192.0.2.7/24", &error), &error)) << error;
    EXPECT_FALSE(admin.remove(*app::parse_network("192.0.2.0/24", &error), &error));
    EXPECT_EQ(error, "no ban of 192.0.2.0/24");
    EXPECT_FALSE(bans.banned(ip("192.0.2.5")));
}

TEST(SignUp, NewUserIdsAndPasswordsAreCheckedInOneSentence) {
    struct Case { const char* userid; const char* password; bool taken; const char* says; };
    const Case cases[] = {
        {"Dora", "correct horse", false, ""},
        {"Dora Kay-Lee_2.0", "correct horse", false, ""},
        {"Do", "correct horse", false, "A user-ID has 3 to 29 characters."},
        {"Abcdefghijabcdefghijabcdefghij", "correct horse", false, "A user-ID has 3 to 29 characters."},
        {"2Dora", "correct horse", false, "A user-ID begins with a letter"},
        {"Dora  Kay", "correct horse", false, "A user-ID begins with a letter"},
        {"Dora ", "correct horse", false, "A user-ID begins with a letter"},
        {"D\"ora", "correct horse", false, "A user-ID begins with a letter"},
        {"D\xc3\xb6ra", "correct horse", false, "A user-ID begins with a letter"},
        {"new", "correct horse", false, "That user-ID is reserved."},
        {"SysOp", "correct horse", false, "That user-ID is reserved."},
        {"Guest", "correct horse", true, "That user-ID is reserved."},
        {"Alice", "correct horse", true, "That user-ID is taken."},
        {"Dora", "short", false, "A password has at least 8 characters."},
        {"Dora", "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", false, "A password has at least 8 characters."},
        {"Dora", "my DORA pass", false, "A password must not contain the user-ID."},
    };
    for (const auto& c : cases) {
        const std::string said = app::check_new_account(c.userid, c.password, c.taken);
        EXPECT_EQ(said.rfind(c.says, 0), 0u) << c.userid << ": " << said;
        EXPECT_EQ(said.empty(), *c.says == '\0') << c.userid << ": " << said;
    }
}

TEST(SignUp, SettingsAreReadFromSignupIniAndWhatCannotBeReadKeepsItsDefault) {
    char folder[] = "/tmp/signup-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path dir = folder, file = dir / app::kSignupFile;
    std::vector<std::string> problems;
    EXPECT_EQ(app::read_signup_settings(file, &problems).mode, app::SignupMode::closed) << "no file";
    std::string error;
    ASSERT_TRUE(app::write_signup_settings(dir, app::SignupMode::open, &error)) << error;
    ASSERT_TRUE(app::write_signup_settings(dir, app::SignupMode::closed, &error)) << "an existing file is kept";
    auto settings = app::read_signup_settings(file, &problems);
    EXPECT_EQ(settings.mode, app::SignupMode::open);
    EXPECT_EQ(settings.class_name + " " + std::to_string(settings.credits) + " " + std::to_string(settings.days), "Member 0 30");
    EXPECT_TRUE(problems.empty());
    std::ofstream(file) << "[signup]\nMODE = Validate\nclass = Newcomer\ncredits = 250\ndays = 7\n";
    settings = app::read_signup_settings(file, &problems);
    EXPECT_EQ(settings.mode, app::SignupMode::validate);
    EXPECT_EQ(settings.class_name + " " + std::to_string(settings.credits) + " " + std::to_string(settings.days), "Newcomer 250 7");
    std::ofstream(file) << "[signup]\nmode = opne\ncredits = lots\ndays = 70000\ncolour = red\n";
    settings = app::read_signup_settings(file, &problems);
    EXPECT_EQ(settings.mode, app::SignupMode::closed);
    EXPECT_EQ(settings.credits, 0);
    EXPECT_EQ(settings.days, 30);
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[0], "signup.ini: mode \"opne\" is not open, validate or closed: sign-up stays closed");
    EXPECT_EQ(problems[3], "signup.ini: unknown setting colour \"red\"");
    std::filesystem::remove_all(dir);
}

}  // namespace
