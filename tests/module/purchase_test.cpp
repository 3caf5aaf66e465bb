// Paying for descriptions and lives in credits, copper and membership days,
// mail-only purchases, and buying a life from the main menu.
#include <sqlite3.h>

#include <functional>

#include "tests/module/lifecycle_fixture.h"

namespace {

using namespace coretest;
using testing_support::UserSpec;

// A buyer of our own, so each test states his credits, copper and days.
struct Buyer {
    int32_t credits = 10000;
    int32_t copper = 5000;
    uint16_t days = 30;
    int32_t lives = 3;
    std::string class_name = "Member";
};

void add_buyer(World& w, const Buyer& b)
{
    UserSpec spec;
    spec.userid = "Dave";
    spec.player_name = "Davo";
    spec.credits = b.credits;
    spec.copper = b.copper;
    spec.days = b.days;
    spec.lives = b.lives;
    spec.class_name = b.class_name;
    w.add_user(spec);
}

struct Shop {
    World w;
    int dave = -1;
    Shop(const Buyer& buyer, const std::function<void(World&)>& setup)
    {
        mark_messages(w);
        w.add_class("Unlimited", -1);
        add_buyer(w, buyer);
        if (setup) {
            setup(w);
        }
        EXPECT_TRUE(w.start()) << w.stop_reason();
        dave = w.login("Dave");
        w.enter(dave);
    }
    // Buys a description: D, yes when a price is shown, save.
    std::string buy_description(std::string_view text = "Bought.")
    {
        w.type(dave, "D");
        std::string shown = w.type(dave, "D");
        if (shown.find("This will cost") != std::string::npos) {
            w.type(dave, "yes");
        }
        EXPECT_TRUE(w.host().in_editor(dave));
        w.host().editor_save(dave, text);
        return w.output(dave);
    }
    std::string buy_life()
    {
        w.type(dave, "L");
        return w.type(dave, "yes");
    }
    bbs::AccountInfo account()
    {
        w.host().hangup(dave);   // the live record goes back to the accounts
        return *w.account("Dave");
    }
};

const std::string kStored = description_screen("Bought.", true);
const std::string kRefused = "<DESCNSF>" + description_screen("Bought.", true);

void life_prices(World& w)
{
    w.set_option("LIFECRD", "500");
    w.set_option("LIFECOP", "1000");
    w.set_option("LIFEDAY", "2");
}

// ---------------------------------------------------------------------------
// Description charging
// ---------------------------------------------------------------------------

TEST(DescriptionCharge, CreditsCopperAndDaysAreAllCharged)
{
    Shop s(Buyer{}, [](World& w) {
        w.set_option("DESCCRD", "100");
        w.set_option("DESCCOP", "40");
        w.set_option("DESCDAY", "5");
    });
    EXPECT_OUT(kStored, s.buy_description());
    EXPECT_EQ(4960, s.w.player("Davo")->copper);
    EXPECT_EQ(1, log_count(s.w, "Deducted 100 credits from Dave for a description.\r\n"));
    EXPECT_EQ(1, log_count(s.w, "Deducted 5 days from Dave for a description.\r\n"));
    EXPECT_EQ(2, log_count(s.w, "Deducted"));
    EXPECT_EQ(0, log_count(s.w, "purchased"));
    std::string log = s.w.game_log();
    EXPECT_LT(log.find("Deducted 100 credits"), log.find("Deducted 5 days"));
    auto account = s.account();
    EXPECT_EQ(9900, account.credits);
    EXPECT_EQ(25, account.days);
}

TEST(DescriptionCharge, NotEnoughCreditsChargesNothing)
{
    Shop s(Buyer{.credits = 99}, [](World& w) {
        w.set_option("DESCCRD", "100");
        w.set_option("DESCCOP", "40");
    });
    EXPECT_OUT(kRefused, s.buy_description());
    EXPECT_FALSE(stored_description(s.w, "Dave").has_value());
    EXPECT_EQ(5000, s.w.player("Davo")->copper);
    EXPECT_EQ(99, s.account().credits);
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
    EXPECT_EQ(0, log_count(s.w, "purchased"));
}

TEST(DescriptionCharge, CopperEqualToThePricePasses)
{
    Shop s(Buyer{.copper = 300}, [](World& w) { w.set_option("DESCCOP", "300"); });
    EXPECT_OUT(kStored, s.buy_description());
    EXPECT_EQ(0, s.w.player("Davo")->copper);
}

TEST(DescriptionCharge, CopperOneBelowThePriceIsRefusedBeforeAnyCharge)
{
    Shop s(Buyer{.copper = 299}, [](World& w) {
        w.set_option("DESCCRD", "100");
        w.set_option("DESCCOP", "300");
    });
    EXPECT_OUT(kRefused, s.buy_description());
    EXPECT_EQ(299, s.w.player("Davo")->copper);
    EXPECT_EQ(10000, s.account().credits);
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
}

TEST(DescriptionCharge, DayCountMustExceedTheDaysPrice)
{
    {
        Shop s(Buyer{.days = 5}, [](World& w) { w.set_option("DESCDAY", "5"); });
        EXPECT_OUT(kRefused, s.buy_description());
        EXPECT_EQ(5, s.account().days);
    }
    {
        Shop s(Buyer{.days = 6}, [](World& w) { w.set_option("DESCDAY", "5"); });
        EXPECT_OUT(kStored, s.buy_description());
        EXPECT_EQ(1, s.account().days);
        EXPECT_EQ(1, log_count(s.w, "Deducted 5 days from Dave for a description.\r\n"));
    }
}

TEST(DescriptionCharge, ClassWithoutDayLimitPaysNoDays)
{
    Shop s(Buyer{.days = 2, .class_name = "Unlimited"}, [](World& w) {
        w.set_option("DESCCRD", "10");
        w.set_option("DESCDAY", "5");
    });
    EXPECT_OUT(kStored, s.buy_description());
    EXPECT_EQ(0, log_count(s.w, "days from Dave"));
    auto account = s.account();
    EXPECT_EQ(2, account.days);
    EXPECT_EQ(9990, account.credits);
}

TEST(DescriptionCharge, MissingClassRefusesADaysPrice)
{
    Shop s(Buyer{.class_name = "Ghosts"}, [](World& w) {
        w.set_option("DESCCRD", "10");
        w.set_option("DESCDAY", "1");
    });
    EXPECT_OUT(kRefused, s.buy_description());
    EXPECT_EQ(10000, s.account().credits);
}

TEST(DescriptionCharge, CopperRefusedByTheGameGivesTheCreditsBack)
{
    Shop s(Buyer{}, [](World& w) {
        w.set_option("DESCCRD", "100");
        w.set_option("DESCCOP", "40");
    });
    s.w.game().failures().adjust_wealth = true;
    EXPECT_OUT(kRefused, s.buy_description());
    EXPECT_FALSE(stored_description(s.w, "Dave").has_value());
    std::string log = s.w.game_log();
    size_t deducted = log.find("Deducted 100 credits from Dave for a description.\r\n");
    size_t refunded = log.find("Refunded 100 credits to Dave for a description.\r\n");
    ASSERT_NE(std::string::npos, deducted);
    ASSERT_NE(std::string::npos, refunded);
    EXPECT_LT(deducted, refunded);
    EXPECT_EQ(10000, s.account().credits);
}

// The host refuses every deduction of credits (its accounts table ignores
// them), though the test of the balance passes.
void refuse_credit_deductions(World& w)
{
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

TEST(DescriptionCharge, DeductionTheHostRefusesChargesNothing)
{
    struct Case {
        bool life;
        std::string expected;
    } cases[] = {{false, kRefused}, {true, "<LIFENSF>" + kPrompt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.life ? "life" : "description");
        Shop s(Buyer{}, [](World& w) {
            w.set_option("DESCCRD", "100");
            w.set_option("DESCCOP", "40");
            w.set_option("DESCDAY", "5");
            life_prices(w);
        });
        refuse_credit_deductions(s.w);
        EXPECT_OUT(c.expected, c.life ? s.buy_life() : s.buy_description());
        EXPECT_FALSE(stored_description(s.w, "Dave").has_value());
        EXPECT_EQ(3, s.w.player("Davo")->lives);
        EXPECT_EQ(5000, s.w.player("Davo")->copper);
        EXPECT_EQ(0, log_count(s.w, "Deducted"));
        EXPECT_EQ(0, log_count(s.w, "Refunded"));
        EXPECT_EQ(0, log_count(s.w, "purchased"));
        auto account = s.account();
        EXPECT_EQ(10000, account.credits);
        EXPECT_EQ(30, account.days);
    }
}

// ---------------------------------------------------------------------------
// Mail-only mode
// ---------------------------------------------------------------------------

void mail_only(World& w)
{
    w.set_ini("PLUS_PURCHASE_EMAIL_USERID", "Carol");
    w.set_ini("SEND_EMAIL_FOR_PURCHASES", "1");
    w.set_option("DESCCRD", "100");
    w.set_option("DESCCOP", "100");
    w.set_option("DESCDAY", "5");
    w.set_option("LIFECRD", "100");
    w.set_option("LIFECOP", "100");
    w.set_option("LIFEDAY", "5");
}

TEST(MailOnlyPurchase, DescriptionIsMailedNotCharged)
{
    Shop s(Buyer{.credits = 0, .copper = 0, .days = 0}, mail_only);
    EXPECT_OUT(kStored, s.buy_description());
    EXPECT_EQ("Bought.", stored_description(s.w, "Dave")->text);
    auto mail = s.w.mail_for("Carol");
    ASSERT_EQ(1u, mail.size());
    EXPECT_EQ("Dave bought mud description", mail[0].subject);
    EXPECT_EQ("\nTime to charge him/her!", mail[0].body);
    EXPECT_EQ(1, log_count(s.w, "Sent email notification to Carol that Dave purchased a description.\r\n"));
    EXPECT_EQ(1, log_count(s.w, "Brakvold Plus: Note that *only* email (to Carol) will be sent for "
                                "purchases of lives and descriptions\r\n"));
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
    EXPECT_EQ(0, s.account().credits);
}

TEST(MailOnlyPurchase, LifeIsMailedNotChargedAndAdded)
{
    Shop s(Buyer{.credits = 0, .copper = 0, .days = 0}, mail_only);
    EXPECT_OUT("<LIFEOK>" + kPrompt, s.buy_life());
    EXPECT_EQ(4, s.w.player("Davo")->lives);
    auto mail = s.w.mail_for("Carol");
    ASSERT_EQ(1u, mail.size());
    EXPECT_EQ("Dave bought mud life", mail[0].subject);
    EXPECT_EQ(1, log_count(s.w, "Sent email notification to Carol that Dave purchased a life.\r\n"));
    EXPECT_EQ(0, log_count(s.w, "\nDave purchased a life."));
}

TEST(MailOnlyPurchase, LifeTheGameWouldNotAddIsLoggedAndNothingRefunded)
{
    Shop s(Buyer{.credits = 0, .copper = 0, .days = 0}, mail_only);
    s.w.game().failures().add_life = true;
    EXPECT_OUT("<LIFENSF>" + kPrompt, s.buy_life());
    EXPECT_EQ(1, log_count(s.w, "Brakvold Plus: the game did not add the life bought by Dave.\r\n"));
    EXPECT_EQ(0, log_count(s.w, "Refunded"));
    EXPECT_EQ(0, s.w.player("Davo")->copper);
    EXPECT_EQ(0, s.account().credits);
}

TEST(MailOnlyPurchase, ModeNeedsANonZeroNumberAndAUser)
{
    struct Case {
        const char* userid;   // none: the key is left out
        const char* send;
        const char* warning;  // in the host log, or none
    } cases[] = {
        {"Carol", "0", nullptr},
        {"Carol", "yes", nullptr},
        {nullptr, "1", nullptr},
        {"", "1", "brakvold.ini: SEND_EMAIL_FOR_PURCHASES is on but PLUS_PURCHASE_EMAIL_USERID is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.userid ? c.userid : "(none)") + " " + c.send);
        Shop s(Buyer{}, [&c](World& w) {
            if (c.userid != nullptr) {
                w.set_ini("PLUS_PURCHASE_EMAIL_USERID", c.userid);
            } else {
                w.remove_ini("PLUS_PURCHASE_EMAIL_USERID");
            }
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

// The purchase goes ahead, but the log does not claim a mail that was not sent.
TEST(MailOnlyPurchase, MailTheGameRefusesIsLoggedAsRefused)
{
    for (bool life : {false, true}) {
        Shop s(Buyer{.credits = 0, .copper = 0, .days = 0}, mail_only);
        s.w.game().failures().send_mail = true;
        EXPECT_OUT(life ? "<LIFEOK>" + kPrompt : kStored, life ? s.buy_life() : s.buy_description());
        std::string what = life ? "a life" : "a description";
        EXPECT_EQ(1, log_count(s.w, "Brakvold Plus: the game refused the email notification to Carol that Dave "
                                    "purchased " + what + ".\r\n"));
        EXPECT_EQ(0, log_count(s.w, "Sent email notification"));
        EXPECT_EQ(0, log_count(s.w, "Deducted"));
    }
}

TEST(MailOnlyPurchase, RemovingTheIniKeyEndsTheModeAtTheNextReload)
{
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

TEST(MailOnlyPurchase, EveryIniReloadWritesTheNoteAgain)
{
    Shop s(Buyer{}, mail_only);
    EXPECT_EQ(1, log_count(s.w, "Note that *only* email (to Carol)"));
    s.w.game().reload_ini();
    EXPECT_EQ(2, log_count(s.w, "Note that *only* email (to Carol)"));
}

// ---------------------------------------------------------------------------
// Buying a life
// ---------------------------------------------------------------------------

TEST(LifePurchase, AnswersThatBuyAndAnswersThatDoNot)
{
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
    EXPECT_EQ(6, s.w.player("Davo")->lives);
    EXPECT_EQ(2000, s.w.player("Davo")->copper);
    EXPECT_EQ(3, log_count(s.w, "Deducted 500 credits from Dave for a life.\r\n"));
    EXPECT_EQ(3, log_count(s.w, "Deducted 2 days from Dave for a life.\r\n"));
    EXPECT_EQ(3, log_count(s.w, "Dave purchased a life.\r\n"));
    std::string log = s.w.game_log();
    EXPECT_LT(log.find("Deducted 2 days"), log.find("Dave purchased a life."));
    auto account = s.account();
    EXPECT_EQ(8500, account.credits);
    EXPECT_EQ(24, account.days);
}

TEST(LifePurchase, AfterTheAnswerAYesIsAMainMenuChoice)
{
    Shop s(Buyer{}, life_prices);
    s.buy_life();
    EXPECT_OUT("<BADCHC>" + kPrompt, s.w.type(s.dave, "yes"));
    EXPECT_EQ(4, s.w.player("Davo")->lives);
}

TEST(LifePurchase, EightLivesMayBuyTheNinth)
{
    Shop s(Buyer{.lives = 8}, life_prices);
    EXPECT_OUT("<LIFEOK>" + kPrompt, s.buy_life());
    EXPECT_EQ(9, s.w.player("Davo")->lives);
    EXPECT_OUT("<LIFEMAX>" + kPrompt, s.buy_life());
    EXPECT_EQ(9, s.w.player("Davo")->lives);
    EXPECT_EQ(1, log_count(s.w, "Dave purchased a life."));
    EXPECT_EQ(9500, s.account().credits);
}

TEST(LifePurchase, NinePriceStillShownAndNothingCharged)
{
    Shop s(Buyer{.credits = 0, .lives = 9}, life_prices);
    EXPECT_OUT("<LIFECST 500|1000|2>", s.w.type(s.dave, "L"));
    EXPECT_OUT("<LIFEMAX>" + kPrompt, s.w.type(s.dave, "y"));
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
    EXPECT_EQ(0, log_count(s.w, "purchased"));
}

TEST(LifePurchase, NoGameDataComesFirst)
{
    World w;
    mark_messages(w);
    life_prices(w);
    ASSERT_TRUE(w.start());
    int sysop = w.login("Sysop");   // an account without a character
    w.enter(sysop);
    w.type(sysop, "L");
    EXPECT_OUT("<LIFENUI>" + kPrompt, w.type(sysop, "yes"));
    EXPECT_EQ(0, log_count(w, "Deducted"));
    EXPECT_EQ(0, log_count(w, "purchased"));
}

TEST(LifePurchase, RefusedChargeShowsLifeNotBought)
{
    Shop s(Buyer{.copper = 999}, life_prices);
    EXPECT_OUT("<LIFENSF>" + kPrompt, s.buy_life());
    EXPECT_EQ(3, s.w.player("Davo")->lives);
    EXPECT_EQ(999, s.w.player("Davo")->copper);
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
    EXPECT_EQ(0, log_count(s.w, "purchased"));
    EXPECT_EQ(10000, s.account().credits);
}

TEST(LifePurchase, FreeLifeOnlyLogsThePurchase)
{
    Shop s(Buyer{.credits = 0}, [](World& w) {
        w.set_option("LIFECRD", "0");
        w.set_option("LIFECOP", "0");
        w.set_option("LIFEDAY", "0");
    });
    EXPECT_OUT("<LIFECST 0|0|0>", s.w.type(s.dave, "L"));
    EXPECT_OUT("<LIFEOK>" + kPrompt, s.w.type(s.dave, "y"));
    EXPECT_EQ(4, s.w.player("Davo")->lives);
    EXPECT_EQ(0, log_count(s.w, "Deducted"));
    EXPECT_EQ(1, log_count(s.w, "Dave purchased a life.\r\n"));
}

TEST(LifePurchase, CreditPriceMinusOneAfterAReloadChargesNoCredits)
{
    Shop s(Buyer{}, life_prices);
    s.w.type(s.dave, "L");
    s.w.set_option("LIFECRD", "-1");
    s.w.host().reload();
    EXPECT_OUT("<LIFEOK>" + kPrompt, s.w.type(s.dave, "y"));
    EXPECT_EQ(0, log_count(s.w, "credits from Dave"));
    EXPECT_EQ(1, log_count(s.w, "Deducted 2 days from Dave for a life.\r\n"));
    EXPECT_EQ(10000, s.account().credits);
}

TEST(LifePurchase, LifeTheGameWouldNotAddIsGivenBack)
{
    Shop s(Buyer{}, life_prices);
    s.w.game().failures().add_life = true;
    EXPECT_OUT("<LIFENSF>" + kPrompt, s.buy_life());
    EXPECT_EQ(3, s.w.player("Davo")->lives);
    EXPECT_EQ(5000, s.w.player("Davo")->copper);
    EXPECT_EQ(1, log_count(s.w, "Refunded 500 credits to Dave for a life.\r\n"));
    EXPECT_EQ(1, log_count(s.w, "Refunded 1000 copper to Dave for a life.\r\n"));
    EXPECT_EQ(1, log_count(s.w, "Refunded 2 days to Dave for a life.\r\n"));
    auto account = s.account();
    EXPECT_EQ(10000, account.credits);
    EXPECT_EQ(30, account.days);
}

TEST(LifePurchase, CopperRefusedByTheGameGivesTheLifeCreditsBack)
{
    Shop s(Buyer{}, life_prices);
    s.w.game().failures().adjust_wealth = true;
    EXPECT_OUT("<LIFENSF>" + kPrompt, s.buy_life());
    EXPECT_EQ(1, log_count(s.w, "Deducted 500 credits from Dave for a life.\r\n"));
    EXPECT_EQ(1, log_count(s.w, "Refunded 500 credits to Dave for a life.\r\n"));
    EXPECT_EQ(0, log_count(s.w, "purchased a life"));
    EXPECT_EQ(10000, s.account().credits);
}

// A purchase without a credit price that the game then refuses gives back
// what was taken and says nothing of credits.
TEST(LifePurchase, RefusedPurchaseWithoutACreditPriceRefundsNoCredits)
{
    {
        Shop s(Buyer{}, [](World& w) {
            w.set_option("LIFECRD", "0");
            w.set_option("LIFECOP", "1000");
            w.set_option("LIFEDAY", "2");
        });
        s.w.game().failures().add_life = true;
        EXPECT_OUT("<LIFENSF>" + kPrompt, s.buy_life());
        EXPECT_EQ(1, log_count(s.w, "Refunded 1000 copper to Dave for a life.\r\n"));
        EXPECT_EQ(1, log_count(s.w, "Refunded 2 days to Dave for a life.\r\n"));
        EXPECT_EQ(0, log_count(s.w, "credits"));
        EXPECT_EQ(5000, s.w.player("Davo")->copper);
        EXPECT_EQ(30, s.account().days);
    }
    {
        Shop d(Buyer{}, [](World& w) { w.set_option("DESCCOP", "40"); });
        d.w.game().failures().adjust_wealth = true;
        EXPECT_OUT(kRefused, d.buy_description());
        EXPECT_EQ(0, log_count(d.w, "Refunded"));
        EXPECT_EQ(0, log_count(d.w, "credits"));
    }
}

}  // namespace
