// Brakvold Plus: the player's description menu, the price screen, the
// full-screen editor and storing what the player wrote.
#include <ctype.h>
#include <string.h>

#include "frame/plus.h"

// The player's own description, pending or approved. NOTAPPR follows a
// pending one, and "<None>" too when `notappr_after_none` is set.
void description_screen(int notappr_after_none)
{
    setmbk(plus_msg);
    char* text = description_find_current(usrnum);
    prfmsg(CURDESC, text != nullptr ? text : "<None>");
    if (!desc_approved && (text != nullptr || notappr_after_none)) {
        prfmsg(NOTAPPR);
    }
    prfmsg(PLSPRMT);
    outprf(usrnum);
    rstmbk();
}

static void description_price_screen(void)
{
    char* days = spr("%d", (int)opt_descday);
    char* copper = spr("%ld", (long)opt_desccop);
    char* credits = spr("%ld", (long)opt_desccrd);
    prf("This will cost you %s credits, %s copper, and %s days off your membership.\r",
        credits, copper, days);
    prf("Do you wish to continue? ");
    outprf(usrnum);
    usrptr->substate = SS_DESC_CONFIRM;
}

static void description_purchase_decision(void)
{
    if (opt_desccrd == 0 && opt_desccop == 0 && opt_descday == 0) {
        description_edit_begin(usrnum);
        return;
    }
    char* text = description_find_current(usrnum);
    if (text != nullptr && !desc_approved) {
        description_edit_begin(usrnum);
        return;
    }
    description_price_screen();
}

void description_menu(void)
{
    if (margc <= 0 || margv[0] == nullptr) {
        description_screen(1);
        return;
    }
    switch (toupper((unsigned char)margv[0][0])) {
    case 'A':
        prfmsg(DESCHLP);
        prfmsg(PLSPRMT);
        outprf(usrnum);
        break;
    case 'D':
        description_purchase_decision();
        break;
    case 'X':
        main_menu_screen();
        usrptr->substate = SS_MAIN;
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
    description_screen(1);
    usrptr->substate = SS_DESC;
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

// The key of the current player's description record.
static void own_key(GenericRecordKey* key)
{
    memset(key, 0, sizeof(*key));
    memcpy(key->userid, usaptr->userid, strnlen(usaptr->userid, HOST_UIDSIZ - 1));
    strcpy(key->tag, DESC_TAG);
}

// Free when the player's stored description still waits for approval and
// new descriptions are not approved at once. The generic database is selected.
static int change_is_free(void)
{
    if (opt_autoapprove) {
        return 0;
    }
    GenericRecordKey key;
    own_key(&key);
    memset(&desc_buffer, 0, sizeof(desc_buffer));
    memcpy(&desc_buffer, &key, sizeof(key));
    if (dfaAcqLock(&desc_buffer, &key, 0, DFA_EQUAL, 0) != 1) {
        return 0;
    }
    return (desc_buffer.flags & DESC_APPROVED) == 0;
}

// Stores the edited text as the player's description, or removes his
// description when the text is empty. Returns the text stored, or none.
// The generic database is selected.
static char* store_description(char* text)
{
    GenericRecordKey key;
    own_key(&key);

    memset(&desc_buffer, 0, sizeof(desc_buffer));
    memcpy(&desc_buffer, &key, sizeof(key));
    depad(text);
    size_t length = strnlen(text, DESC_TEXTSIZ - 1);

    if (dfaAcqLock(&desc_buffer, &key, 0, DFA_EQUAL, 0) == 1) {
        memcpy(desc_buffer.text, text, length);
        desc_buffer.text[length] = '\0';
        dfaDelete();
    } else {
        memset(&desc_buffer, 0, sizeof(desc_buffer));
        memcpy(&desc_buffer, &key, sizeof(key));
        memcpy(desc_buffer.text, text, length);
        desc_buffer.text[length] = '\0';
    }

    if (opt_autoapprove) {
        desc_buffer.flags |= DESC_APPROVED;
        desc_approved = 1;
    } else {
        desc_buffer.flags &= ~(uint32_t)DESC_APPROVED;
    }

    if (text[0] == '\0') {
        return nullptr;
    }
    if (!opt_autoapprove && opt_appruid != nullptr) {
        brakvold_send_mail(opt_appruid, "Description needs approval", usaptr->userid);
    }
    dfaInsertV(&desc_buffer, sizeof(desc_buffer));
    return text;
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

    plus_pubinfo.copper = 0;
    retrieve_public_usrnum_userinfo(usrnum, &plus_pubinfo);
    desc_approved = 0;
    usrptr->state = plus_modnum;
    usrptr->substate = SS_DESC;

    if (status != 0 || edited == nullptr || usaptr == nullptr) {
        text = description_find_current(usrnum);
    } else {
        dfaSetBlk(genbb);
        if (depads_to_nothing(edited)) {
            text = store_description(edited);
        } else if (!change_is_free() && !charge_description_purchase(usrnum, &plus_pubinfo)) {
            setmbk(plus_msg);
            prfmsg(DESCNSF);
            rstmbk();
            text = edited;
        } else {
            text = store_description(edited);
        }
        dfaRstBlk();
    }

    setmbk(plus_msg);
    prfmsg(CURDESC, text != nullptr ? text : "<None>");
    if (!desc_approved) {
        prfmsg(NOTAPPR);
    }
    prfmsg(PLSPRMT);
    outprf(usrnum);
    rstmbk();
    return 1;
}
