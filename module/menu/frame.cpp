// Brakvold Plus: the way into and out of the menus, the input routine that
// dispatches on the user's substate, and the main menu.
#include <ctype.h>

#include "menu/menu.h"
#include "description/description.h"
#include "purchase/purchase.h"
#include "registry/registry.h"

static int channel_known(int32_t channel)
{
    return plus_returns != nullptr && channel >= 0 && channel < nterms;
}

// First character of the first word, upper-cased; 0 for an empty line.
static int menu_choice(void)
{
    if (margc <= 0 || margv[0] == nullptr) {
        return 0;
    }
    return toupper((unsigned char)margv[0][0]);
}

PLUS_EXPORT void plus_menu_display(void)
{
    prf("\x1b[1;30m[\x1b[37m*\x1b[30m] . \x1b[0mBrakvold Plus Extensions\r\r");
}

PLUS_EXPORT int32_t plus_menu_command(void)
{
    if (margc <= 0 || margv[0] == nullptr || margv[0][0] != '*') {
        return 0;
    }
    if (!channel_known(usrnum)) {
        return 0;
    }
    setmbk(plus_msg);
    main_menu_screen();
    plus_returns[usrnum].state = usrptr->state;
    plus_returns[usrnum].substate = usrptr->substate;
    usrptr->state = plus_modnum;
    usrptr->substate = SS_MAIN;
    rstmbk();
    return 1;
}

void main_menu_screen(void)
{
    setmbk(plus_msg);
    prfmsg(MAINMNU, PLUS_VERSION);
    if (opt_lifecrd != -1) {
        prfmsg(MNULIFE);
    }
    if (plus_is_sysop()) {
        prfmsg(MNUSYSP);
    }
    prfmsg(PLSPRMT);
    outprf(usrnum);
    rstmbk();
}

// Back to where this user came from; the status tells his module so.
void module_exit(void)
{
    if (channel_known(usrnum)) {
        usrptr->state = plus_returns[usrnum].state;
        usrptr->substate = plus_returns[usrnum].substate;
    }
    btuinj(usrnum, STATUS_RETURN);
}

static void bad_choice(void)
{
    prfmsg(BADCHC);
    prfmsg(PLSPRMT);
    outprf(usrnum);
}

void main_menu(void)
{
    int choice = menu_choice();
    if (choice == 0) {
        main_menu_screen();
        return;
    }
    switch (choice) {
    case 'A':
        if (plus_is_sysop()) {
            prf("Not implemented yet.\r");
            outprf(usrnum);
        } else {
            main_menu_screen();
        }
        break;
    case 'D':
        usrptr->substate = SS_DESC;
        description_screen(1);
        break;
    case 'I':
        prfmsg(PLSINFO);
        prfmsg(PLSPRMT);
        outprf(usrnum);
        break;
    case 'L':
        if (opt_lifecrd == -1) {
            bad_choice();
        } else {
            life_price_screen();
            usrptr->substate = SS_LIFE_CONFIRM;
        }
        break;
    case 'R':
        registry_menu_screen();
        usrptr->substate = SS_REGISTRY;
        break;
    case 'S':
        if (plus_is_sysop()) {
            sysop_description_screen();
            usrptr->substate = SS_SYSDESC;
        } else {
            main_menu_screen();
        }
        break;
    case 'X':
        module_exit();
        break;
    default:
        bad_choice();
        break;
    }
}

int16_t plus_input(void)
{
    if (!plus_addon_active || !channel_known(usrnum) || plus_returns[usrnum].state == -1) {
        return 0;
    }
    setmbk(plus_msg);
    switch (usrptr->substate) {
    case SS_MAIN: main_menu(); break;
    case SS_DESC: description_menu(); break;
    case SS_DESC_CONFIRM: description_confirm(); break;
    case SS_SYSDESC: sysop_description_menu(); break;
    case SS_DESC_VIEW: description_view_prompt(); break;
    case SS_DESC_DELETE: description_delete_prompt(); break;
    case SS_REGISTRY: registry_menu(); break;
    case SS_LOOKUP: player_lookup_prompt(); break;
    case SS_REG_CHOOSE: registry_edit_choose(); break;
    case SS_REG_VALUE: registry_edit_store(); break;
    case SS_REG_LETTER: registry_letter_prompt(); break;
    case SS_REG_LISTING: listing_stop_registry(); break;
    case SS_LIFE_CONFIRM: life_confirm(); break;
    case SS_REG_REMOVE: registry_remove_prompt(); break;
    case SS_DESC_APPROVE: description_approve_prompt(); break;
    case SS_DESC_LISTING: listing_stop_descriptions(); break;
    default: module_exit(); break;
    }
    rstmbk();
    return 1;
}
