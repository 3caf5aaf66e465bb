// Brakvold Plus: module-wide state and the routines the module's parts call
// in one another. Everything is defined once, in the folder that owns it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/game.h"
#include "platform/host.h"

#define PLUS_EXPORT extern "C" __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Message file numbers: module/catalogue.h, made at build time from
// config/QRTBKPLS.MSG, holds every option and message (DESCCRD = 4 ...
// LSTCNT = 67) with the routine it is read with, and the bounds of the
// numeric options (DESCCRD_FLOOR, DESCCRD_CEILING, ...).
// ---------------------------------------------------------------------------
#include "frame/catalogue.h"

// The registry's labels and prompts are printed by field number.
static_assert(REGLAB11 == REGLAB1 + 10 && REGASK1 == REGLAB11 + 1 && REGASK11 == REGASK1 + 10);

// Substates of a user inside the module's menus.
enum {
    SS_MAIN = 1, SS_DESC = 2, SS_DESC_CONFIRM = 3, SS_SYSDESC = 4,
    SS_DESC_VIEW = 5, SS_DESC_DELETE = 6, SS_REGISTRY = 7, SS_LOOKUP = 8,
    SS_REG_CHOOSE = 9, SS_REG_VALUE = 10, SS_REG_LETTER = 11,
    SS_REG_LISTING = 12, SS_LIFE_CONFIRM = 13, SS_REG_REMOVE = 14,
    SS_DESC_APPROVE = 15, SS_DESC_LISTING = 16,
};

enum { LIST_CYCLE = 240, STATUS_RETURN = 3 };

#define PLUS_VERSION "1.0"
#define DESC_TAG "QRTBKPLS_DESC"
#define REG_TAG "QRTBKPLS_REG"

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

enum { DESC_TEXTSIZ = 801, DESC_APPROVED = 0x1 };

struct DescriptionRecord {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
    char text[DESC_TEXTSIZ];
    uint32_t flags;           // bit 0: approved; other bits are kept as found
    uint8_t reserved[100];
} __attribute__((packed));
static_assert(sizeof(DescriptionRecord) == 960);
static_assert(offsetof(DescriptionRecord, userid) == 0);
static_assert(offsetof(DescriptionRecord, tag) == 30);
static_assert(offsetof(DescriptionRecord, text) == 55);
static_assert(offsetof(DescriptionRecord, flags) == 856);
static_assert(offsetof(DescriptionRecord, reserved) == 860);

enum { REG_LINES = 10, REG_LINESIZ = 61, REG_LINEMAX = 60, REG_AGE_FIELD = 11 };

struct RegistryRecord {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
    uint8_t reserved1;
    int16_t age;              // 0: no age set
    char lines[REG_LINES][REG_LINESIZ];
    uint8_t reserved2[4];
} __attribute__((packed));
static_assert(sizeof(RegistryRecord) == 672);
static_assert(offsetof(RegistryRecord, userid) == 0);
static_assert(offsetof(RegistryRecord, tag) == 30);
static_assert(offsetof(RegistryRecord, reserved1) == 55);
static_assert(offsetof(RegistryRecord, age) == 56);
static_assert(offsetof(RegistryRecord, lines) == 58);
static_assert(offsetof(RegistryRecord, lines[9]) == 607);
static_assert(offsetof(RegistryRecord, reserved2) == 668);

// Per-channel state of the module.
struct SessionSlot {
    uint32_t list_cursor;     // absolute position of the listing's next record; 0 = none
    uint32_t registry_field;  // 1..11 while a registry value is being entered
    uint32_t list_kind;       // 0 registry listing, 1 description listing
    uint32_t found_count;     // entries the running listing printed
};
static_assert(sizeof(SessionSlot) == 16);
static_assert(offsetof(SessionSlot, list_cursor) == 0);
static_assert(offsetof(SessionSlot, registry_field) == 4);
static_assert(offsetof(SessionSlot, list_kind) == 8);
static_assert(offsetof(SessionSlot, found_count) == 12);

// Where a user came from when he entered the menus.
struct ReturnPoint {
    int32_t state;            // -1: the channel has not entered since start-up
    uint32_t substate;
};

enum { LIST_REGISTRY = 0, LIST_DESCRIPTIONS = 1 };

// ---------------------------------------------------------------------------
// Module-wide state (module/lifecycle.cpp, module/options.cpp)
// ---------------------------------------------------------------------------

extern ModuleDescriptor plus_module;
extern AddonDescriptor plus_addon;
extern int32_t plus_modnum;
extern HostMsgFile* plus_msg;
extern int32_t plus_addon_handle;
extern uint8_t plus_addon_active;
extern uint8_t plus_subbbs;
extern SessionSlot* plus_slots;        // nterms entries
extern ReturnPoint* plus_returns;      // nterms entries, state -1 until the channel enters

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

// Shared buffers (description/records.cpp, registry/records.cpp, purchase/).
extern DescriptionRecord desc_buffer;
extern uint8_t desc_approved;
extern RegistryRecord reg_buffer;
extern PublicUserInfo plus_pubinfo;

// ---------------------------------------------------------------------------
// Exported routines
// ---------------------------------------------------------------------------
PLUS_EXPORT void init__qrtbkpls(void);
PLUS_EXPORT void reload__qrtbkpls(void);
PLUS_EXPORT void reload_ini_settings(void);
PLUS_EXPORT void plus_menu_display(void);
PLUS_EXPORT int32_t plus_menu_command(void);
PLUS_EXPORT int32_t plus_user_description(int32_t channel);
PLUS_EXPORT int32_t brakvold_plus_globals(void);

// ---------------------------------------------------------------------------
// module/
// ---------------------------------------------------------------------------
int16_t plus_logon(void);
int16_t plus_injection(void);
int16_t plus_logoff(void);
void plus_hangup(void);
void plus_midnight(void);
void plus_account_deleted(const char* userid);
void plus_finish(void);
void plus_release_options(void);               // module/options.cpp
void subbbs_editor_start(int32_t channel);
void subbbs_editor_end(int32_t channel);
int plus_is_sysop(void);                       // hasmkey(SYSKEY); message block selected
// Copies a user-ID typed by a user into a key field; 0 when it does not fit.
int plus_copy_userid(char* field, const char* userid);

// ---------------------------------------------------------------------------
// menu/
// ---------------------------------------------------------------------------
int16_t plus_input(void);                      // the input routine
void plus_status(void);                        // the status routine
void main_menu_screen(void);
void module_exit(void);
void main_menu(void);                          // substate 1
void registry_list_start(char letter);
void description_list_start(void);
void listing_stop_registry(void);              // substate 12
void listing_stop_descriptions(void);          // substate 16

// ---------------------------------------------------------------------------
// description/
// ---------------------------------------------------------------------------
char* description_find(const char* userid, int32_t channel);
char* description_find_current(int32_t channel);
uint8_t description_approve(const char* userid, int32_t channel);
void description_delete(const char* userid, int32_t channel);   // channel -1: none
void description_screen(int notappr_after_none);
void description_menu(void);                   // substate 2
void description_confirm(void);                // substate 3
void description_edit_begin(int32_t channel);
int16_t description_edit_done(int16_t status);
void sysop_description_screen(void);
void sysop_description_menu(void);             // substate 4
void description_view_prompt(void);            // substate 5
void description_delete_prompt(void);          // substate 6
void description_approve_prompt(void);         // substate 15

// ---------------------------------------------------------------------------
// purchase/
// ---------------------------------------------------------------------------
uint8_t charge_description_purchase(int32_t channel, PublicUserInfo* info);
uint8_t charge_life_purchase(int32_t channel, PublicUserInfo* info);
// What the last charging run took from the buyer, so that a purchase the
// game then fails to complete can be given back. `mailed` is 1 when the run
// only mailed the purchase-mail user (nothing was charged).
struct PurchaseCharge {
    int32_t credits;
    int32_t copper;
    int32_t days;
    int32_t mailed;
};
extern PurchaseCharge plus_charged;
void life_price_screen(void);
void life_confirm(void);                       // substate 13
void purchase_life(int32_t channel);

// ---------------------------------------------------------------------------
// registry/
// ---------------------------------------------------------------------------
void registry_remove(const char* userid);
RegistryRecord* registry_load(const char* userid);
RegistryRecord* registry_load_current(int32_t channel);
void registry_save(int32_t channel);
void registry_show(const RegistryRecord* record, int32_t editing);
void registry_menu_screen(void);
int registry_prompt_left(void);                // empty line or x at a registry prompt
void registry_menu(void);                      // substate 7
void registry_edit_begin(void);
void registry_edit_choose(void);               // substate 9
void registry_edit_store(void);                // substate 10
void registry_letter_prompt(void);             // substate 11
void registry_remove_prompt(void);             // substate 14
void player_lookup_show(const char* name);
void player_lookup_prompt(void);               // substate 8
