// Brakvold Plus: start-up, the descriptors handed to the host and the game,
// module-wide state, and the host routines that have no menu of their own.
#include <string.h>
#include <unistd.h>

#include "frame/frame.h"
#include "description/description.h"
#include "menu/menu.h"
#include "registry/registry.h"

static int16_t plus_logon(void);
static int16_t plus_injection(void);
static int16_t plus_logoff(void);
static void plus_hangup(void);
static void plus_midnight(void);
static void plus_account_deleted(const char* userid);
static void plus_finish(void);

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

static ModuleDescriptor plus_module = {
    "",                    // name, filled from QRTBKPLS.MDF at start-up
    plus_logon,
    plus_input,
    plus_status,
    plus_injection,
    plus_logoff,
    plus_hangup,
    plus_midnight,
    plus_account_deleted,
    plus_finish,
};

static AddonDescriptor plus_addon = {
    3,
    "Brakvold Plus - Entertainment",
    plus_menu_display,
    plus_menu_command,
    plus_user_description,
    reload_ini_settings,
};

// ---------------------------------------------------------------------------
// Module-wide state
// ---------------------------------------------------------------------------

int32_t plus_modnum = -1;
HostMsgFile* plus_msg = nullptr;
static int32_t plus_addon_handle = 0;
uint8_t plus_addon_active = 0;
static uint8_t plus_subbbs = 0;
SessionSlot* plus_slots = nullptr;
ReturnPoint* plus_returns = nullptr;

static void detect_subbbs(void)
{
    if (access("tcplibm.msg", 0) != 0) {
        return;
    }
    char* value = msgscan("tcplibm.msg", "SUBBBS");
    if (value != nullptr && !sameas(value, "NO")) {
        plus_subbbs = 1;
    }
}

PLUS_EXPORT void init__qrtbkpls(void)
{
    const char* name = gmdnam("QRTBKPLS.MDF");
    stzcpy(plus_module.name, name != nullptr ? name : "", HOST_MODNAMSIZ);
    plus_modnum = register_module(&plus_module);

    plus_msg = opnmsg("QRTBKPLS.MCV");
    if (plus_msg == nullptr) {
        catastro("Cannot open QRTBKPLS.MCV!");
    }

    plus_addon_handle = register_mud_addon(&plus_addon);
    if (plus_addon_handle != 0) {
        plus_addon_active = 1;
    }

    int32_t count = nterms > 0 ? nterms : 0;
    plus_slots = (SessionSlot*)alczer((size_t)(count > 0 ? count : 1) * sizeof(SessionSlot));
    plus_returns = (ReturnPoint*)alczer((size_t)(count > 0 ? count : 1) * sizeof(ReturnPoint));
    for (int32_t i = 0; i < count; i++) {
        plus_slots[i].list_cursor = 0;
        plus_slots[i].registry_field = 0;
        plus_slots[i].list_kind = 0;
        plus_slots[i].found_count = 0;
        plus_returns[i].state = -1;
        plus_returns[i].substate = 0;
    }

    rstmbk();
    reload__qrtbkpls();

    dclvda(801);
    dclvda(672);

    if (plus_addon_active) {
        globalcmd(brakvold_plus_globals);
    }

    detect_subbbs();
}

// ---------------------------------------------------------------------------
// Host routines
// ---------------------------------------------------------------------------

static int16_t plus_logon(void)
{
    return 0;
}

static int16_t plus_injection(void)
{
    int32_t channel = othusn;
    btuxmn(channel, prfbuf);
    btuoes(channel, 1);
    HostUser* user = usroff(channel);
    if (user != nullptr) {
        user->flags |= HOST_UF_INJECTED;
    }
    return 1;
}

static int16_t plus_logoff(void)
{
    return 0;
}

// A new caller on this channel has not entered the menus.
static void plus_hangup(void)
{
    if (plus_returns != nullptr && usrnum >= 0 && usrnum < nterms) {
        plus_returns[usrnum].state = -1;
        plus_returns[usrnum].substate = 0;
    }
}

static void plus_midnight(void)
{
}

static void plus_account_deleted(const char* userid)
{
    description_delete(userid, -1);
}

// The host unloads the library after this routine: what start-up took from
// the host's allocator goes back, so that nothing is lost with the library.
static void plus_finish(void)
{
    if (plus_msg != nullptr) {
        clsmsg(plus_msg);
        plus_msg = nullptr;
    }
    plus_release_options();
    if (plus_slots != nullptr) {
        galfree(plus_slots);
        plus_slots = nullptr;
    }
    if (plus_returns != nullptr) {
        galfree(plus_returns);
        plus_returns = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Sub-BBS front end markers around the full-screen editor
// ---------------------------------------------------------------------------

void subbbs_editor_start(int32_t channel)
{
    if (plus_subbbs) {
        prf("\x91");
        outprf(channel);
    }
}

void subbbs_editor_end(int32_t channel)
{
    if (plus_subbbs) {
        prf("\x90");
        outprf(channel);
    }
}

// ---------------------------------------------------------------------------
// Helpers shared by the menus
// ---------------------------------------------------------------------------

int plus_is_sysop(void)
{
    return hasmkey(SYSKEY) != 0;
}

int plus_copy_userid(char* field, const char* userid)
{
    memset(field, 0, HOST_UIDSIZ);
    if (userid == nullptr) {
        return 0;
    }
    size_t length = strlen(userid);
    if (length > HOST_UIDSIZ - 1) {
        return 0;
    }
    memcpy(field, userid, length);
    return 1;
}
