// Brakvold Plus: charging a player for a description or a life, in host
// credits, game copper and membership days, or only mailing the purchase in
// mail-only mode.
#include <string.h>

#include "purchase/purchase.h"

static PurchaseCharge plus_charged;

const PurchaseCharge* purchase_last_charge(void)
{
    return &plus_charged;
}

void purchase_forget_charge(void)
{
    plus_charged.credits = 0;
    plus_charged.copper = 0;
    plus_charged.days = 0;
}

// What tells the two purchases apart.
struct PurchaseKind {
    int32_t credits;
    int32_t copper;
    int32_t days;
    int credits_charged;          // credits are tested and charged
    int32_t deduct_flag;          // last argument of odedcrd
    const char* subject;          // mail subject, given the buyer's user-ID
    const char* mail_log;
    const char* mail_refused_log;
    const char* credits_log;
    const char* refund_log;
    const char* days_log;
    const char* closing_log;      // none for a description
};

static const char* const purchase_mail_body = "\nTime to charge him/her!";

// Tests every price, then charges every price. 1 when the purchase may go ahead.
static uint8_t charge_purchase(int32_t channel, const PublicUserInfo* info, const PurchaseKind* kind)
{
    memset(&plus_charged, 0, sizeof(plus_charged));

    HostAccount* account = uacoff(channel);
    if (account == nullptr) {
        return 0;
    }

    if (opt_email_only) {
        char* subject = spr(kind->subject, account->userid);
        if (brakvold_send_mail(opt_purchase_mail_uid, subject, purchase_mail_body)) {
            BKLog(kind->mail_log, opt_purchase_mail_uid, account->userid);
        } else {
            BKLog(kind->mail_refused_log, opt_purchase_mail_uid, account->userid);
        }
        plus_charged.mailed = 1;
        return 1;
    }

    if (kind->credits_charged && !otstcrd(channel, kind->credits, 1)) {
        return 0;
    }
    if (kind->copper != 0 && info->copper < kind->copper) {
        return 0;
    }
    int day_limit = 0;
    if (kind->days != 0) {
        dfaSetBlk(clsbb);
        if (dfaAcqLock(nullptr, account->class_name, 0, DFA_EQUAL, 0) != 1) {
            dfaRstBlk();
            return 0;
        }
        HostClass* klass = (HostClass*)clsbb->record;
        if (klass->days != -1) {
            day_limit = 1;
            if ((int32_t)account->days <= kind->days) {
                dfaRstBlk();
                return 0;
            }
        }
        dfaRstBlk();
    }

    if (kind->credits_charged) {
        if (!odedcrd(channel, kind->credits, 1, kind->deduct_flag)) {
            return 0;
        }
        plus_charged.credits = kind->credits;
        BKLog(kind->credits_log, (unsigned long)kind->credits, account->userid);
    }
    if (kind->copper != 0) {
        if (!addon_adjust_user_wealth(channel, kind->copper)) {
            if (plus_charged.credits != 0 && oaddcrd(channel, plus_charged.credits, 1)) {
                BKLog(kind->refund_log, (unsigned long)plus_charged.credits, account->userid);
                plus_charged.credits = 0;
            }
            return 0;
        }
        plus_charged.copper = kind->copper;
    }
    if (kind->days != 0 && day_limit) {
        account->days = (uint16_t)(account->days - (uint16_t)kind->days);
        plus_charged.days = kind->days;
        BKLog(kind->days_log, (int)kind->days, account->userid);
    }
    if (kind->closing_log != nullptr) {
        BKLog(kind->closing_log, account->userid);
    }
    return 1;
}

uint8_t charge_description_purchase(int32_t channel, const PublicUserInfo* info)
{
    PurchaseKind kind = {
        opt_desccrd,
        opt_desccop,
        opt_descday,
        opt_desccrd != 0,
        1,
        "%s bought mud description",
        "Sent email notification to %s that %s purchased a description.\r\n",
        "Brakvold Plus: the game refused the email notification to %s that %s purchased a description.\r\n",
        "Deducted %lu credits from %s for a description.\r\n",
        "Refunded %lu credits to %s for a description.\r\n",
        "Deducted %d days from %s for a description.\r\n",
        nullptr,
    };
    return charge_purchase(channel, info, &kind);
}

uint8_t charge_life_purchase(int32_t channel, const PublicUserInfo* info)
{
    PurchaseKind kind = {
        opt_lifecrd,
        opt_lifecop,
        opt_lifeday,
        opt_lifecrd > 0,
        0,
        "%s bought mud life",
        "Sent email notification to %s that %s purchased a life.\r\n",
        "Brakvold Plus: the game refused the email notification to %s that %s purchased a life.\r\n",
        "Deducted %lu credits from %s for a life.\r\n",
        "Refunded %lu credits to %s for a life.\r\n",
        "Deducted %d days from %s for a life.\r\n",
        "%s purchased a life.\r\n",
    };
    return charge_purchase(channel, info, &kind);
}
