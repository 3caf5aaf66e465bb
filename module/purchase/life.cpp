// Brakvold Plus: buying one more life for the player's character.
#include "purchase/purchase.h"
#include "menu/menu.h"

enum { LIVES_LIMIT = 9 };

// The buyer's character, as the game tells it.
static PublicUserInfo life_buyer;

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
    if (margc > 0 && margv[0] != nullptr && sameto(margv[0], "Yes")) {
        purchase_life(usrnum);
        menu_prompt(SS_MAIN);
        return;
    }
    menu_enter(SS_MAIN);
}

// The game would not add a life that was paid for: give back what the
// charging run took.
static void refund_life(int32_t channel)
{
    const PurchaseCharge* charged = purchase_last_charge();
    HostAccount* account = uacoff(channel);
    const char* userid = account != nullptr ? account->userid : "";
    if (charged->mailed) {
        BKLog("Brakvold Plus: the game did not add the life bought by %s.\r\n", userid);
        return;
    }
    if (charged->credits != 0 && oaddcrd(channel, charged->credits, 1)) {
        BKLog("Refunded %lu credits to %s for a life.\r\n", (unsigned long)charged->credits,
              userid);
    }
    if (charged->copper != 0 && addon_return_user_wealth(channel, charged->copper)) {
        BKLog("Refunded %ld copper to %s for a life.\r\n", (long)charged->copper, userid);
    }
    if (charged->days != 0 && account != nullptr) {
        account->days = (uint16_t)(account->days + (uint16_t)charged->days);
        BKLog("Refunded %d days to %s for a life.\r\n", (int)charged->days, userid);
    }
    purchase_forget_charge();
}

void purchase_life(int32_t channel)
{
    setmbk(plus_msg);
    if (!retrieve_public_usrnum_userinfo(channel, &life_buyer)) {
        prfmsg(LIFENUI);
        outprf(channel);
    } else if (life_buyer.lives >= LIVES_LIMIT) {
        prfmsg(LIFEMAX);
        outprf(channel);
    } else if (!charge_life_purchase(channel, &life_buyer)) {
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
