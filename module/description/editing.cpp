// Brakvold Plus: the player's description menu, the price screen, the
// full-screen editor and storing what the player wrote.
#include <ctype.h>
#include <string.h>

#include "description/description.h"
#include "menu/menu.h"
#include "purchase/purchase.h"

// The buyer's character, as the game tells it when an edit is saved.
static PublicUserInfo editing_buyer;

// The player's own description, pending or approved. NOTAPPR follows a
// pending one, and "<None>" too when `notappr_after_none` is set.
void description_screen(int notappr_after_none)
{
    setmbk(plus_msg);
    char* text = description_find_current(usrnum);
    prfmsg(CURDESC, text != nullptr ? text : "<None>");
    if (!description_approved() && (text != nullptr || notappr_after_none)) {
        prfmsg(NOTAPPR);
    }
    prfmsg(PLSPRMT);
    outprf(usrnum);
    rstmbk();
}

void description_price_screen(void)
{
    char* days = spr("%d", (int)opt_descday);
    char* copper = spr("%ld", (long)opt_desccop);
    char* credits = spr("%ld", (long)opt_desccrd);
    prf("This will cost you %s credits, %s copper, and %s days off your membership.\r",
        credits, copper, days);
    prf("Do you wish to continue? ");
    outprf(usrnum);
}

static void description_purchase_decision(void)
{
    if (opt_desccrd == 0 && opt_desccop == 0 && opt_descday == 0) {
        description_edit_begin(usrnum);
        return;
    }
    char* text = description_find_current(usrnum);
    if (text != nullptr && !description_approved()) {
        description_edit_begin(usrnum);
        return;
    }
    menu_enter(SS_DESC_CONFIRM);
}

void description_menu(void)
{
    if (margc <= 0 || margv[0] == nullptr) {
        menu_enter(SS_DESC);
        return;
    }
    switch (toupper((unsigned char)margv[0][0])) {
    case 'A':
        prfmsg(DESCHLP);
        menu_prompt(SS_DESC);
        break;
    case 'D':
        description_purchase_decision();
        break;
    default:
        description_screen(0);
        break;
    }
}

void description_confirm(void)
{
    if (margc > 0 && margv[0] != nullptr && sameto(margv[0], "Yes")) {
        description_edit_begin(usrnum);
        return;
    }
    menu_enter(SS_DESC);
}

void description_edit_begin(int32_t channel)
{
    int32_t size = opt_desclns * 80 + 1;
    if (size > DESC_TEXTSIZ) {
        size = DESC_TEXTSIZ;
    }
    subbbs_editor_start(channel);
    description_find_current(channel);
    bgnedt(size, (char*)vdaoff(channel), 0, nullptr, description_edit_done, 0x40);
}

// A text that depad empties is no purchase: saving it removes the
// description and charges nothing.
static int depads_to_nothing(const char* text)
{
    char copy[DESC_TEXTSIZ];
    stzcpy(copy, text, sizeof(copy));
    depad(copy);
    return copy[0] == '\0';
}

int16_t description_edit_done(int16_t status)
{
    char* edited = (char*)vdaoff(usrnum);
    char* text = nullptr;
    subbbs_editor_end(usrnum);

    editing_buyer.copper = 0;
    retrieve_public_usrnum_userinfo(usrnum, &editing_buyer);
    description_forget_approval();
    usrptr->state = plus_modnum;
    menu_resume(SS_DESC);

    if (status != 0 || edited == nullptr || usaptr == nullptr) {
        text = description_find_current(usrnum);
    } else {
        dfaSetBlk(genbb);
        if (depads_to_nothing(edited)) {
            text = description_store(edited);
        } else if (!description_change_is_free() && !charge_description_purchase(usrnum, &editing_buyer)) {
            setmbk(plus_msg);
            prfmsg(DESCNSF);
            rstmbk();
            text = edited;
        } else {
            text = description_store(edited);
        }
        dfaRstBlk();
    }

    setmbk(plus_msg);
    prfmsg(CURDESC, text != nullptr ? text : "<None>");
    if (!description_approved()) {
        prfmsg(NOTAPPR);
    }
    prfmsg(PLSPRMT);
    outprf(usrnum);
    rstmbk();
    return 1;
}
