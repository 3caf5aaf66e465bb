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
    plus_returns[usrnum].state = usrptr->state;
    plus_returns[usrnum].substate = usrptr->substate;
    usrptr->state = plus_modnum;
    menu_enter(SS_MAIN);
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
    btuinj(usrnum, GAME_ST_RETURN);
}

void main_menu(void)
{
    switch (menu_choice()) {
    case 0:
        menu_enter(SS_MAIN);
        break;
    case 'A':
        if (plus_is_sysop()) {
            prf("Not implemented yet.\r");
            outprf(usrnum);
        } else {
            menu_enter(SS_MAIN);
        }
        break;
    case 'D':
        menu_enter(SS_DESC);
        break;
    case 'I':
        prfmsg(PLSINFO);
        menu_prompt(SS_MAIN);
        break;
    case 'L':
        if (opt_lifecrd == -1) {
            prfmsg(BADCHC);
            menu_prompt(SS_MAIN);
        } else {
            menu_enter(SS_LIFE_CONFIRM);
        }
        break;
    case 'R':
        menu_enter(SS_REGISTRY);
        break;
    case 'S':
        menu_enter(menu_may_enter(SS_SYSDESC) ? SS_SYSDESC : SS_MAIN);
        break;
    case 'X':
        module_exit();
        break;
    default:
        prfmsg(BADCHC);
        menu_prompt(SS_MAIN);
        break;
    }
}

// ---------------------------------------------------------------------------
// The substates
// ---------------------------------------------------------------------------

static void description_entry_screen(void)
{
    description_screen(1);
}

static void lookup_ask(void)
{
    prfmsg(LOOKASK);
    outprf(usrnum);
}

static void remove_ask(void)
{
    prfmsg(REMASK);
    outprf(usrnum);
}

static void letter_ask(void)
{
    prf("Start listing at what letter (enter='a'):");
    outprf(usrnum);
}

static void listing_notice(void)
{
    prf("Press <enter> to stop the listing.\r");
    outprf(usrnum);
}

struct Substate {
    void (*handler)(void);     // a line typed in the substate
    void (*screen)(void);      // drawn on entering it
    int32_t prompt;            // asks again after an answer; 0: none
    uint8_t sysop_only;
    uint8_t x_to_main;         // X goes back to the main menu
    uint8_t empty_redraws;     // an empty line draws the screen again
};

static const Substate substates[] = {
    {nullptr, nullptr, 0, 0, 0, 0},
    /* SS_MAIN */ {main_menu, main_menu_screen, PLSPRMT, 0, 0, 0},
    /* SS_DESC */ {description_menu, description_entry_screen, PLSPRMT, 0, 1, 0},
    /* SS_DESC_CONFIRM */ {description_confirm, description_price_screen, 0, 0, 0, 0},
    /* SS_SYSDESC */ {sysop_description_menu, sysop_description_screen, PLSPRMT, 1, 1, 1},
    /* SS_DESC_VIEW */ {description_view_prompt, description_view_ask, 0, 1, 0, 1},
    /* SS_DESC_DELETE */ {description_delete_prompt, description_delete_ask, 0, 1, 0, 1},
    /* SS_REGISTRY */ {registry_menu, registry_menu_screen, REGPRMT, 0, 1, 1},
    /* SS_LOOKUP */ {player_lookup_prompt, lookup_ask, 0, 0, 0, 0},
    /* SS_REG_CHOOSE */ {registry_edit_choose, registry_edit_screen, REGEPMT, 0, 0, 1},
    /* SS_REG_VALUE */ {registry_edit_store, registry_value_ask, 0, 0, 0, 0},
    /* SS_REG_LETTER */ {registry_letter_prompt, letter_ask, 0, 0, 0, 0},
    /* SS_REG_LISTING */ {listing_stop, listing_notice, 0, 0, 0, 0},
    /* SS_LIFE_CONFIRM */ {life_confirm, life_price_screen, 0, 0, 0, 0},
    /* SS_REG_REMOVE */ {registry_remove_prompt, remove_ask, 0, 1, 0, 0},
    /* SS_DESC_APPROVE */ {description_approve_prompt, description_approve_ask, 0, 1, 0, 1},
    /* SS_DESC_LISTING */ {listing_stop, listing_notice, 0, 1, 0, 0},
};
static_assert(sizeof(substates) / sizeof(substates[0]) == SS_DESC_LISTING + 1);

static const Substate* substate_entry(uint32_t substate)
{
    if (substate == 0 || substate >= sizeof(substates) / sizeof(substates[0])) {
        return nullptr;
    }
    return &substates[substate];
}

void menu_resume(uint32_t substate)
{
    usrptr->substate = substate;
}

void menu_enter(uint32_t substate)
{
    const Substate* entry = substate_entry(substate);
    usrptr->substate = substate;
    if (entry != nullptr && entry->screen != nullptr) {
        setmbk(plus_msg);
        entry->screen();
        rstmbk();
    }
}

void menu_prompt(uint32_t substate)
{
    const Substate* entry = substate_entry(substate);
    usrptr->substate = substate;
    if (entry != nullptr && entry->prompt != 0) {
        setmbk(plus_msg);
        prfmsg(entry->prompt);
        outprf(usrnum);
        rstmbk();
    }
}

int menu_may_enter(uint32_t substate)
{
    const Substate* entry = substate_entry(substate);
    if (entry == nullptr) {
        return 0;
    }
    return !entry->sysop_only || plus_is_sysop();
}

int16_t plus_input(void)
{
    if (!plus_addon_active || !channel_known(usrnum) || plus_returns[usrnum].state == -1) {
        return 0;
    }
    setmbk(plus_msg);
    const Substate* entry = substate_entry(usrptr->substate);
    if (entry == nullptr) {
        module_exit();
    } else if (entry->empty_redraws && margc == 0) {
        menu_enter(usrptr->substate);
    } else if (entry->x_to_main && menu_choice() == 'X') {
        menu_enter(SS_MAIN);
    } else {
        entry->handler();
    }
    rstmbk();
    return 1;
}
