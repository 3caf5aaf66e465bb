// The registry menu: editing one's own registry field by field, the start
// letter of the registry listing, and the sysop's removal of a registry.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "registry/registry.h"
#include "menu/menu.h"

static RegistryRecord* reg_editing_copy(void)
{
    return (RegistryRecord*)vdaoff(usrnum);
}

/* A line cut from `source` at `cut` bytes loses the character the cut went
   through, so that no half of one is stored. */
static void utf8_trim_cut(char* line, const char* source, size_t cut)
{
    size_t end;

    if (strlen(source) <= cut || ((unsigned char)source[cut] & 0xC0) != 0x80) {
        return;
    }
    end = cut;
    while (end > 0 && ((unsigned char)line[end - 1] & 0xC0) == 0x80) {
        end--;
    }
    if (end > 0 && (unsigned char)line[end - 1] >= 0xC0) {
        end--;
    }
    memset(line + end, 0, cut - end);
}

static char reg_choice(void)
{
    return (char)toupper((unsigned char)margv[0][0]);
}

void registry_menu_screen(void)
{
    setmbk(plus_msg);
    prfmsg(REGMENU);
    if (plus_is_sysop()) {
        prfmsg(REGSYSP);
    }
    prfmsg(REGPRMT);
    outprf(usrnum);
    rstmbk();
}

// A prompt of the registry menu that takes a name (lookup, removal): the
// line typed goes to `answer`, unless it is empty or the single word x,
// which leaves the prompt for the registry menu again.
void registry_name_prompt(void (*answer)(const char* name))
{
    setmbk(plus_msg);
    if (margc == 0 || (margc == 1 && sameas(margv[0], "x"))) {
        menu_enter(SS_REGISTRY);
    } else {
        rstrin();
        answer(margv[0]);
    }
    rstmbk();
}

// Substate 7.
void registry_menu(void)
{
    setmbk(plus_msg);
    switch (reg_choice()) {
    case 'E':
        registry_edit_begin();
        break;
    case 'L':
        menu_enter(SS_LOOKUP);
        break;
    case 'R':
        if (menu_may_enter(SS_REG_REMOVE)) {
            menu_enter(SS_REG_REMOVE);
        } else {
            prfmsg(BADCHC);
            menu_prompt(SS_REGISTRY);
        }
        break;
    case 'S':
        menu_enter(SS_REG_LETTER);
        break;
    default:
        prfmsg(BADCHC);
        menu_prompt(SS_REGISTRY);
        break;
    }
    rstmbk();
}

void registry_edit_begin(void)
{
    setmbk(plus_msg);
    registry_load_current(usrnum);
    prf("Current registry settings:\r");
    outprf(usrnum);
    menu_enter(SS_REG_CHOOSE);
    rstmbk();
}

// Substate 9's screen: the registry being edited, every field numbered.
void registry_edit_screen(void)
{
    registry_show(reg_editing_copy(), 1);
    prfmsg(REGEPMT);
    outprf(usrnum);
}

// Substate 10's screen: the question for the chosen field.
void registry_value_ask(void)
{
    prfmsg(REGASK1 + (int32_t)plus_slots[usrnum].registry_field - 1);
    prf("%s", opt_regpfx != 0 ? opt_regpfx : "");
    outprf(usrnum);
}

// Substate 9: which field to change, or Q / X to leave.
void registry_edit_choose(void)
{
    long field;

    setmbk(plus_msg);
    switch (reg_choice()) {
    case 'Q':
        menu_enter(SS_REGISTRY);
        break;
    case 'X':
        registry_save(usrnum);
        menu_enter(SS_REGISTRY);
        break;
    default:
        field = atol(margv[0]);
        if (field >= 1 && field <= REG_AGE_FIELD) {
            plus_slots[usrnum].registry_field = (uint32_t)field;
            menu_enter(SS_REG_VALUE);
        } else {
            prfmsg(BADCHC);
            outprf(usrnum);
        }
        break;
    }
    rstmbk();
}

// Substate 10: the new value of the chosen field.
void registry_edit_store(void)
{
    RegistryRecord* copy;
    char line[REG_LINESIZ];
    uint32_t field;
    long age;

    setmbk(plus_msg);
    copy = reg_editing_copy();
    if (margc > 0 && copy != 0) {
        rstrin();
        memset(line, 0, sizeof(line));
        strncpy(line, margv[0], REG_LINEMAX);
        utf8_trim_cut(line, margv[0], REG_LINEMAX);
        if (line[0] == '.' && line[1] == 0) {
            line[0] = 0;
        }
        field = plus_slots[usrnum].registry_field;
        if (field >= 1 && field <= REG_LINES) {
            memset(copy->lines[field - 1], 0, REG_LINESIZ);
            memcpy(copy->lines[field - 1], line, REG_LINESIZ);
        } else if (field == REG_AGE_FIELD) {
            age = atol(line);
            if (age > INT16_MAX) {
                age = INT16_MAX;
            } else if (age < INT16_MIN) {
                age = INT16_MIN;
            }
            copy->age = (int16_t)age;
        }
    }
    menu_enter(SS_REG_CHOOSE);
    rstmbk();
}

// Substate 11: the start letter of the registry listing.
void registry_letter_prompt(void)
{
    char letter;

    letter = margc == 0 ? 'A' : reg_choice();
    registry_list_start(letter);
}

static void registry_remove_answer(const char* userid)
{
    registry_remove(userid);
    prf("Removed custom registry for %s\n", userid);
    menu_prompt(SS_REGISTRY);
}

// Substate 14: whose registry a sysop removes.
void registry_remove_prompt(void)
{
    registry_name_prompt(registry_remove_answer);
}
