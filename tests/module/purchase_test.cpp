// Paying for descriptions and lives in credits, copper and days, mail-only purchases, buying a life.
#include <sqlite3.h>

#include <functional>
#include <tuple>

#include "tests/module/fixture.h"

namespace {

using namespace modtest;
using testing_support::UserSpec;

struct Buyer {
    int32_t credits = 10000, copper = 5000;
    uint16_t days = 30;
    int32_t lives = 3;
    std::string class_name = "Member";
};

struct Shop {
    World w;
    int dave = -1;
    Shop(const Buyer& buyer, const std::function<void(World&)>& setup) {
        mark_messages(w);
        w.add_class("Unlimited", -1);
        UserSpec spec;
        spec.userid = "Dave";
        spec.player_name = "Davo";
        std::tie(spec.credits, spec.copper, spec.days, spec.lives, spec.class_name) =
            std::tie(buyer.credits, buyer.copper, buyer.days, buyer.lives, buyer.class_name);
        w.add_user(spec);
        if (setup) setup(w);
        EXPECT_TRUE(w.start()) << w.stop_reason();
        dave = w.login("Dave");
        w.enter(dave);
    }
    // Buys a description: D, yes when a price is shown, save.
    std::string buy_description(std::string_view text = "Bought.") {
        w.type(dave, "D");
        std::string shown = w.type(dave, "D");
        if (shown.find("This will cost") != std::string::npos) w.type(dave, "yes");
        EXPECT_TRUE(w.host().in_editor(dave));
        w.host().editor_save(dave, text);
        return w.output(dave);
    }
    std::string buy_life() {
        w.type(dave, "L");
        return w.type(dave, "yes");
    }
    // Credits, days, copper and lives once the live record went back to the accounts.
    std::string means() {
        w.host().hangup(dave);
        return std::to_string(w.account("Dave")->credits) + " " + std::to_string(w.account("Dave")->days) + " " +
               std::to_string(w.player("Davo")->copper) + " " + std::to_string(w.player("Davo")->lives);
    }
};

const std::string kStored = description_screen("Bought.", true);
const std::string kRefused = "<DESCNSF>" + description_screen("Bought.", true);

// The game log from each occurrence of `part` to the end of its line.
std::string log_lines(World& w, std::string_view part) {
    const std::string log = w.game_log();
    std::string out;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1))
        out += log.substr(at, log.find('\n', at) + 1 - at);
    return out;
}

void set_prices(World& w, const char* what, const char* credits, const char* copper, const char* days) {
    w.set_option(std::string(what) + "CRD", credits);
    w.set_option(std::string(what) + "COP", copper);
    w.set_option(std::string(what) + "DAY", days);
}
void life_prices(World& w) { set_prices(w, "LIFE", "500", "1000", "2"); }

// Every price is tested before any is charged; what a bought description takes, and what a refused one leaves.
TEST(DescriptionCharge, PricesAgainstTheBuyersMeans) {
    struct Case {
        const char* name;
        Buyer buyer;
        const char *credits, *copper, *days; // DESCCRD, DESCCOP, DESCDAY
        bool bought;
        int32_t copper_after, credits_after, days_after;
        std::vector<std::string> log;  // the Deducted lines, in order
    } cases[] = {
        // clang-format off
        {"all three", Buyer{}, "100", "40", "5", true, 4960, 9900, 25,
         {"Deducted 100 credits from Dave for a description.\r\n", "Deducted 5 days from Dave for a description.\r\n"}},
        {"credits short",  Buyer{.credits = 99}, "100", "40",  "0", false, 5000, 99,    30, {}},
        {"copper equal",   Buyer{.copper = 300}, "0",   "300", "0", true,  0,    10000, 30, {}},
        {"copper short",   Buyer{.copper = 299}, "100", "300", "0", false, 299,  10000, 30, {}},
        {"days equal",     Buyer{.days = 5},     "0",   "0",   "5", false, 5000, 10000, 5,  {}},
        {"days above",     Buyer{.days = 6},     "0",   "0",   "5", true,  5000, 10000, 1,
         {"Deducted 5 days from Dave for a description.\r\n"}},
        {"class without day limit", Buyer{.days = 2, .class_name = "Unlimited"}, "10", "0", "5", true, 5000, 9990, 2,
         {"Deducted 10 credits from Dave for a description.\r\n"}},
        {"missing class",  Buyer{.class_name = "Ghosts"}, "10", "0", "1", false, 5000, 10000, 30, {}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shop s(c.buyer, [&c](World& w) { set_prices(w, "DESC", c.credits, c.copper, c.days); });
        EXPECT_OUT(c.bought ? kStored : kRefused, s.buy_description());
        EXPECT_EQ(c.bought, stored_description(s.w, "Dave").has_value());
        std::string deducted;  // every Deducted line of the game log, in order
        for (const std::string& line : c.log) deducted += line;
        EXPECT_EQ(deducted, log_lines(s.w, "Deducted"));
        EXPECT_EQ(0, log_count(s.w, "purchased"));
        EXPECT_EQ(std::to_string(c.credits_after) + " " + std::to_string(c.days_after) + " " +
                      std::to_string(c.copper_after) + " 3", s.means());
    }
}

// A game that cannot say the buyer's copper at the save sells nothing, whatever an earlier save saw.
TEST(DescriptionCharge, CopperUnknownAtTheSaveIsNoSale) {
    Shop s(Buyer{}, [](World& w) { set_prices(w, "DESC", "100", "40", "0"); w.set_option("DESCAPP", "NO"); });
    s.buy_description();
    type_all(s.w, s.dave, {"D", "yes"});
    ASSERT_TRUE(s.w.host().in_editor(s.dave));
    s.w.game().failures().retrieve = true;
    s.w.host().editor_save(s.dave, "Again.");
    EXPECT_EQ("9900 30 4960 3", s.means());
}

// The host refuses every deduction of credits, though the test of the balance passes.
void refuse_credit_deductions(World& w) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((w.dir() / "bbs.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
    char* error = nullptr;
    int rc = sqlite3_exec(db,
                          "CREATE TRIGGER refuse_deductions BEFORE UPDATE OF credits ON accounts "
                          "WHEN NEW.credits < OLD.credits BEGIN SELECT RAISE(IGNORE); END",
                          nullptr, nullptr, &error);
    EXPECT_EQ(SQLITE_OK, rc) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

TEST(DescriptionCharge, DeductionTheHostRefusesChargesNothing) {
    for (bool life : {false, true}) {
        SCOPED_TRACE(life ? "life" : "description");
        Shop s(Buyer{}, [](World& w) {
            set_prices(w, "DESC", "100", "40", "5");
            life_prices(w);
        });
        refuse_credit_deductions(s.w);
        EXPECT_OUT(life ? "<LIFENSF>" + kPrompt : kRefused, life ? s.buy_life() : s.buy_description());
        EXPECT_FALSE(stored_description(s.w, "Dave").has_value());
        EXPECT_EQ(0, log_count(s.w, "Deducted") + log_count(s.w, "Refunded") + log_count(s.w, "purchased"));
        EXPECT_EQ("10000 30 5000 3", s.means());
    }
}

void mail_only(World& w) {
    w.set_ini("PLUS_PURCHASE_EMAIL_USERID", "Carol");
    w.set_ini("SEND_EMAIL_FOR_PURCHASES", "1");
    set_prices(w, "DESC", "100", "100", "5");
    set_prices(w, "LIFE", "100", "100", "5");
}

// A buyer with nothing gets what he buys; the mail user is mailed instead of a charge, and the log says so.
TEST(MailOnlyPurchase, PurchaseIsMailedNotCharged) {
    const struct Case {
        const char* name;
        bool life, mail_fails, life_fails;
        std::string shown;
        const char* subject;  // of the one mail to Carol, or none
        int32_t lives;
        std::vector<std::string> logged, absent;  // each once; none
    } cases[] = {
        // clang-format off
        {"description", false, false, false, kStored, "Dave bought mud description", 3,
         {"Sent email notification to Carol that Dave purchased a description.\r\n",
          "Brakvold Plus: Note that *only* email (to Carol) will be sent for purchases of lives and descriptions\r\n"},
         {}},
        {"life", true, false, false, "<LIFEOK>" + kPrompt, "Dave bought mud life", 4,
         {"Sent email notification to Carol that Dave purchased a life.\r\n"}, {"\nDave purchased a life."}},
        {"life the game would not add", true, false, true, "<LIFENSF>" + kPrompt, "Dave bought mud life", 3,
         {"Brakvold Plus: the game did not add the life bought by Dave.\r\n"}, {}},
        {"description, mail refused", false, true, false, kStored, nullptr, 3,
         {"Brakvold Plus: the game refused the email notification to Carol that Dave purchased a description.\r\n"},
         {"Sent email notification"}},
        {"life, mail refused", true, true, false, "<LIFEOK>" + kPrompt, nullptr, 4,
         {"Brakvold Plus: the game refused the email notification to Carol that Dave purchased a life.\r\n"},
         {"Sent email notification"}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shop s(Buyer{.credits = 0, .copper = 0, .days = 0}, mail_only);
        s.w.game().failures().send_mail = c.mail_fails;
        s.w.game().failures().add_life = c.life_fails;
        EXPECT_OUT(c.shown, c.life ? s.buy_life() : s.buy_description());
        EXPECT_EQ(!c.life, stored_description(s.w, "Dave").has_value());
        auto mail = s.w.mail_for("Carol");
        ASSERT_EQ(c.subject ? 1u : 0u, mail.size());
        if (c.subject) {
            EXPECT_EQ(c.subject, mail[0].subject);
            EXPECT_EQ("\nTime to charge him/her!", mail[0].body);
        }
        for (const std::string& line : c.logged) EXPECT_EQ(1, log_count(s.w, line)) << line;
        for (const std::string& part : c.absent) EXPECT_EQ(0, log_count(s.w, part)) << part;
        EXPECT_EQ(0, log_count(s.w, "Deducted") + log_count(s.w, "Refunded"));
        EXPECT_EQ("0 0 0 " + std::to_string(c.lives), s.means());
        s.w.game().reload_ini();  // every reload writes the note again
        EXPECT_EQ(2, log_count(s.w, "Note that *only* email (to Carol)"));
    }
}

TEST(MailOnlyPurchase, ModeNeedsANonZeroNumberAndAUser) {
    struct Case {
        const char *userid, *send, *warning;  // userid none: the key is left out; warning in the host log, or none
    } cases[] = {
        {"Carol", "0", nullptr}, {"Carol", "yes", nullptr}, {nullptr, "1", nullptr},
        {"", "1", "brakvold.ini: SEND_EMAIL_FOR_PURCHASES is on but PLUS_PURCHASE_EMAIL_USERID is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.userid ? c.userid : "(none)") + " " + c.send);
        Shop s(Buyer{}, [&c](World& w) {
            if (c.userid != nullptr)
                w.set_ini("PLUS_PURCHASE_EMAIL_USERID", c.userid);
            else
                w.remove_ini("PLUS_PURCHASE_EMAIL_USERID");
            w.set_ini("SEND_EMAIL_FOR_PURCHASES", c.send);
            w.set_option("DESCCRD", "100");
        });
        EXPECT_OUT(kStored, s.buy_description());
        EXPECT_TRUE(s.w.mail_for("Carol").empty());
        EXPECT_EQ(0, log_count(s.w, "Note that *only* email"));
        EXPECT_EQ(0, log_count(s.w, "Sent email notification"));
        EXPECT_EQ(1, log_count(s.w, "Deducted 100 credits from Dave for a description.\r\n"));
        if (c.warning != nullptr) {
            EXPECT_NE(std::string::npos, s.w.host_log().find(c.warning)) << s.w.host_log();
        }
    }
}

TEST(MailOnlyPurchase, RemovingTheIniKeyEndsTheModeAtTheNextReload) {
    for (const char* key : {"SEND_EMAIL_FOR_PURCHASES", "PLUS_PURCHASE_EMAIL_USERID"}) {
        SCOPED_TRACE(key);
        Shop s(Buyer{}, mail_only);
        s.w.remove_ini(key);
        s.w.game().reload_ini();
        EXPECT_OUT(kStored, s.buy_description());
        EXPECT_TRUE(s.w.mail_for("Carol").empty());
        EXPECT_EQ(1, log_count(s.w, "Note that *only* email"));
        EXPECT_EQ(0, log_count(s.w, "Sent email notification"));
        EXPECT_EQ(1, log_count(s.w, "Deducted 100 credits from Dave for a description.\r\n"));
        EXPECT_EQ(4900, s.w.player("Davo")->copper);
    }
}

TEST(LifePurchase, AnswersThatBuyAndAnswersThatDoNot) {
    Shop s(Buyer{}, life_prices);
    for (const char* yes : {"y", "YE", "yes"}) {
        EXPECT_OUT("<LIFECST 500|1000|2>", s.w.type(s.dave, "L"));
        EXPECT_OUT("<LIFEOK>" + kPrompt, s.w.type(s.dave, yes)) << yes;
        EXPECT_EQ(1u, s.w.user(s.dave)->substate);
    }
    for (const char* no : {"no", "x", ""}) {
        s.w.type(s.dave, "L");
        EXPECT_OUT(menu_screen(), s.w.type(s.dave, no)) << no;
        EXPECT_EQ(1u, s.w.user(s.dave)->substate);
    }
    EXPECT_OUT("<BADCHC>" + kPrompt, s.w.type(s.dave, "yes"));  // after the answer a yes is a main-menu choice
    EXPECT_EQ(3, log_count(s.w, "Deducted 500 credits from Dave for a life.\r\n"));
    EXPECT_EQ(3, log_count(s.w, "Deducted 2 days from Dave for a life.\r\n"));
    EXPECT_EQ(3, log_count(s.w, "Dave purchased a life.\r\n"));
    std::string log = s.w.game_log();
    EXPECT_LT(log.find("Deducted 2 days"), log.find("Dave purchased a life."));
    EXPECT_EQ("8500 24 2000 6", s.means());
}

// Eight lives may buy the ninth, nine may not; no character or too little copper: refused before any charge.
TEST(LifePurchase, RefusalsComeBeforeAnyCharge) {
    struct Case {
        const char *name, *login;
        Buyer buyer;
        std::string expected;
        int32_t lives_after;
    } cases[] = {
        {"eight lives", "Dave", Buyer{.lives = 8}, "<LIFEOK>" + kPrompt, 9},
        {"nine lives", "Dave", Buyer{.credits = 0, .lives = 9}, "<LIFEMAX>" + kPrompt, 9},
        {"no character", "Sysop", Buyer{}, "<LIFENUI>" + kPrompt, 3},
        {"copper short", "Dave", Buyer{.copper = 999}, "<LIFENSF>" + kPrompt, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shop s(c.buyer, life_prices);
        int ch = std::string(c.login) == "Dave" ? s.dave : s.w.login(c.login);
        if (ch != s.dave) s.w.enter(ch);
        EXPECT_OUT("<LIFECST 500|1000|2>", s.w.type(ch, "L"));
        EXPECT_OUT(c.expected, s.w.type(ch, "y"));
        bool bought = c.expected == "<LIFEOK>" + kPrompt;
        EXPECT_EQ(bought ? 1 : 0, log_count(s.w, "Dave purchased a life."));
        EXPECT_EQ(bought ? 2 : 0, log_count(s.w, "Deducted"));
        EXPECT_EQ(std::to_string(c.buyer.credits - (bought ? 500 : 0)) + " " + (bought ? "28 " : "30 ") +
                      std::to_string(c.buyer.copper - (bought ? 1000 : 0)) + " " + std::to_string(c.lives_after),
                  s.means());
    }
}

TEST(LifePurchase, FreeLifeOnlyLogsThePurchase) {
    Shop s(Buyer{.credits = 0}, nullptr);
    EXPECT_OUT("<LIFECST 0|0|0>", s.w.type(s.dave, "L"));
    EXPECT_OUT("<LIFEOK>" + kPrompt, s.w.type(s.dave, "y"));
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
    EXPECT_EQ(1, log_count(s.w, "Dave purchased a life.\r\n"));
    EXPECT_EQ("0 30 5000 4", s.means());
}

TEST(LifePurchase, CreditPriceMinusOneAfterAReloadChargesNoCredits) {
    Shop s(Buyer{}, life_prices);
    s.w.type(s.dave, "L");
    s.w.set_option("LIFECRD", "-1");
    s.w.host().reload();
    EXPECT_OUT("<LIFEOK>" + kPrompt, s.w.type(s.dave, "y"));
    EXPECT_EQ(0, log_count(s.w, "credits from Dave"));
    EXPECT_EQ(1, log_count(s.w, "Deducted 2 days from Dave for a life.\r\n"));
    EXPECT_EQ("10000 28 4000 4", s.means());
}

// The game refuses the copper or the life after the credits were taken: everything taken is given back and logged.
TEST(GameRefusal, WhatWasTakenIsGivenBack) {
    const struct Case {
        const char* name;
        bool life;
        const char *credits, *copper, *days;  // the prices of what is bought
        bool life_fails;                      // else taking the copper fails
        std::vector<std::string> lines;       // each once, in this order
        std::vector<const char*> absent;
    } cases[] = {
        {"description, copper refused", false, "100", "40", "0", false,
         {"Deducted 100 credits from Dave for a description.\r\n",
          "Refunded 100 credits to Dave for a description.\r\n"}, {}},
        {"description without a credit price, copper refused", false, "0", "40", "0", false, {},
         {"Refunded", "credits"}},
        {"life not added", true, "500", "1000", "2", true,
         {"Refunded 500 credits to Dave for a life.\r\n", "Refunded 1000 copper to Dave for a life.\r\n",
          "Refunded 2 days to Dave for a life.\r\n"}, {}},
        {"life, copper refused", true, "500", "1000", "2", false,
         {"Deducted 500 credits from Dave for a life.\r\n", "Refunded 500 credits to Dave for a life.\r\n"},
         {"purchased a life"}},
        {"life without a credit price not added", true, "0", "1000", "2", true,
         {"Refunded 1000 copper to Dave for a life.\r\n", "Refunded 2 days to Dave for a life.\r\n"},
         {"credits"}},
        {"life priced one copper not added", true, "0", "1", "0", true,
         {"Refunded 1 copper to Dave for a life.\r\n"}, {"credits", "days"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Shop s(Buyer{}, [&c](World& w) { set_prices(w, c.life ? "LIFE" : "DESC", c.credits, c.copper, c.days); });
        (c.life_fails ? s.w.game().failures().add_life : s.w.game().failures().adjust_wealth) = true;
        EXPECT_OUT(c.life ? "<LIFENSF>" + kPrompt : kRefused, c.life ? s.buy_life() : s.buy_description());
        EXPECT_FALSE(stored_description(s.w, "Dave").has_value());
        const std::string log = s.w.game_log();
        size_t at = 0;
        for (const std::string& line : c.lines) {
            EXPECT_EQ(1, log_count(s.w, line)) << line;
            at = log.find(line, at);
            EXPECT_NE(std::string::npos, at) << "out of order: " << line;
        }
        for (const char* part : c.absent) EXPECT_EQ(0, log_count(s.w, part)) << part;
        EXPECT_EQ("10000 30 5000 3", s.means());
    }
}

} // namespace
