// Brakvold Plus: buying one more life for the player's character.
#include "frame/plus.h"

enum { LIVES_LIMIT = 9 };

void life_price_screen(void)
{
    setmbk(plus_msg);
    char* days = spr("%d", (int)opt_lifeday);
    char* copper = spr("%ld", (long)opt_lifecop);
    char* credits = spr("%ld", (long)opt_lifecrd);
    prfmsg(LIFECST, credits, copper, days);
    outprf(usrnum);
    rstmbk();
}

// Substate 13: the answer to the life price screen.
void life_confirm(void)
{
    usrptr->substate = SS_MAIN;
    if (margc > 0 && margv[0] != nullptr && sameto(margv[0], "Yes")) {
        purchase_life(usrnum);
        prfmsg(PLSPRMT);
        outprf(usrnum);
        return;
    }
    main_menu_screen();
}

// The game would not add a life that was paid for: give back what the
// charging run took.
static void refund_life(int32_t channel)
{
    HostAccount* account = uacoff(channel);
    const char* userid = account != nullptr ? account->userid : "";
    if (plus_charged.mailed) {
        BKLog("Brakvold Plus: the game did not add the life bought by %s.\r\n", userid);
        return;
    }
    if (plus_charged.credits != 0 && oaddcrd(channel, plus_charged.credits, 1)) {
        BKLog("Refunded %lu credits to %s for a life.\r\n", (unsigned long)plus_charged.credits,
              userid);
    }
    if (plus_charged.copper != 0 && addon_return_user_wealth(channel, plus_charged.copper)) {
        BKLog("Refunded %ld copper to %s for a life.\r\n", (long)plus_charged.copper, userid);
    }
    if (plus_charged.days != 0 && account != nullptr) {
        account->days = (uint16_t)(account->days + (uint16_t)plus_charged.days);
        BKLog("Refunded %d days to %s for a life.\r\n", (int)plus_charged.days, userid);
    }
    plus_charged.credits = 0;
    plus_charged.copper = 0;
    plus_charged.days = 0;
}

void purchase_life(int32_t channel)
{
    setmbk(plus_msg);
    if (!retrieve_public_usrnum_userinfo(channel, &plus_pubinfo)) {
        prfmsg(LIFENUI);
        outprf(channel);
    } else if (plus_pubinfo.lives >= LIVES_LIMIT) {
        prfmsg(LIFEMAX);
        outprf(channel);
    } else if (!charge_life_purchase(channel, &plus_pubinfo)) {
        prfmsg(LIFENSF);
        outprf(channel);
    } else if (addon_adding_life_to_user(channel)) {
        prfmsg(LIFEOK);
        outprf(channel);
    } else {
        refund_life(channel);
        prfmsg(LIFENSF);
        outprf(channel);
    }
    rstmbk();
}
