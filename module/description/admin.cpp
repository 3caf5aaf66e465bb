// Sysop administration of descriptions: the sysop description menu, the
// listing of descriptions awaiting approval, and viewing, approving and
// deleting any player's description by his user-ID.
#include <ctype.h>

#include "description/description.h"
#include "menu/menu.h"

static const char admin_approve_ask[] = "Approve which user's description? ";
static const char admin_delete_ask[] = "Delete which user's description? ";
static const char admin_view_ask[] = "View which user's description? ";

void sysop_description_screen(void)
{
    setmbk(plus_msg);
    prfmsg(SYSDMNU);
    prfmsg(PLSPRMT);
    outprf(usrnum);
    rstmbk();
}

static void admin_ask(const char* question)
{
    prf("%s", question);
    outprf(usrnum);
}

void description_view_ask(void)
{
    admin_ask(admin_view_ask);
}

void description_delete_ask(void)
{
    admin_ask(admin_delete_ask);
}

void description_approve_ask(void)
{
    admin_ask(admin_approve_ask);
}

// Substate 4.
void sysop_description_menu(void)
{
    setmbk(plus_msg);
    switch (toupper((unsigned char)margv[0][0])) {
    case 'A':
        menu_enter(SS_DESC_APPROVE);
        break;
    case 'D':
        menu_enter(SS_DESC_DELETE);
        break;
    case 'L':
        description_list_start();
        break;
    case 'V':
        menu_enter(SS_DESC_VIEW);
        break;
    default:
        menu_enter(SS_SYSDESC);
        break;
    }
    rstmbk();
}

// A prompt of the sysop's menu for a user-ID: his description goes to
// `found`, or `none` is printed when he has none. Then PLSPRMT closes the
// prompt and the sysop is back in his menu.
static void admin_prompt(void (*found)(const char* userid, const char* text), const char* none)
{
    char* text;

    setmbk(plus_msg);
    rstrin();
    text = description_find(margv[0], usrnum);
    if (text != 0) {
        found(margv[0], text);
    } else {
        prf("%s", none);
    }
    menu_prompt(SS_SYSDESC);
    rstmbk();
}

static void description_view_found(const char*, const char* text)
{
    prf("%s\r", text);
    if (!description_approved()) {
        prf("\x1b[[\x1b[1;31m| \b \b \b \b]This description has not been validated yet.\r");
    }
}

static void description_delete_found(const char* userid, const char* text)
{
    prf("Deleting the description for %s:\r", userid);
    prf("%s\r", text);
    description_delete(userid, usrnum);
}

// Substate 5.
void description_view_prompt(void)
{
    admin_prompt(description_view_found, "No description found.\r");
}

// Substate 6.
void description_delete_prompt(void)
{
    admin_prompt(description_delete_found, "No description found for that user.\r");
}

// Substate 15.
void description_approve_prompt(void)
{
    setmbk(plus_msg);
    rstrin();
    if (description_approve(margv[0], usrnum)) {
        prf("Done.\r");
    } else {
        prf("No description found.\r");
    }
    menu_prompt(SS_SYSDESC);
    rstmbk();
}
