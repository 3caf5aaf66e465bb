// Brakvold Plus: start-up and shut-down, module-wide state, options, and the
// small helpers every part of the module uses (frame/lifecycle.cpp,
// frame/options.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "frame/records.h"
#include "platform/game.h"
#include "platform/host.h"

// The numbers of every option and message of QRTBKPLS.MSG, with the bounds
// of the numeric options; generated from config/QRTBKPLS.MSG by bbsmsgc.
#include "frame/catalogue.h"

#define PLUS_EXPORT extern "C" __attribute__((visibility("default")))
#define PLUS_VERSION "1.0"

// Module-wide state.
extern int32_t plus_modnum;
extern HostMsgFile* plus_msg;
extern SessionSlot* plus_slots;        // nterms entries
extern ReturnPoint* plus_returns;      // nterms entries, state -1 until the channel enters
extern uint8_t plus_addon_active;

// Options and ini settings.
extern int32_t opt_desccrd, opt_desccop, opt_descday;
extern int32_t opt_lifecrd, opt_lifecop, opt_lifeday;
extern uint32_t opt_agediv;
extern int32_t opt_agebase, opt_desclns;
extern uint8_t opt_autoapprove;
extern char* opt_appruid;              // none when empty
extern char* opt_regpfx;
extern char* opt_lookcmd;
extern char* opt_purchase_mail_uid;    // none when the ini has no such key
extern uint8_t opt_email_only;

// Entry points the host and the game look up by name.
PLUS_EXPORT void init__qrtbkpls(void);
PLUS_EXPORT void reload__qrtbkpls(void);
PLUS_EXPORT void reload_ini_settings(void);

void plus_release_options(void);               // frame/options.cpp, at finish
void subbbs_editor_start(int32_t channel);
void subbbs_editor_end(int32_t channel);
int plus_is_sysop(void);                       // hasmkey(SYSKEY); message block selected
// Copies a user-ID typed by a user into a key field; 0 when it does not fit.
int plus_copy_userid(char* field, const char* userid);
