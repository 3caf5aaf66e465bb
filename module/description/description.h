// Brakvold Plus: player descriptions, their menu and editor, and the sysop's
// administration of them (description/*.cpp).
#pragma once

#include <stdint.h>

#include "frame/frame.h"

PLUS_EXPORT int32_t plus_user_description(int32_t channel);

// Records (description/records.cpp). A lookup copies the text into the
// channel's scratch area and tells whether it was approved.
char* description_find(const char* userid, int32_t channel);
char* description_find_current(int32_t channel);
uint8_t description_approved(void);            // of the last lookup or store
void description_forget_approval(void);
uint8_t description_approve(const char* userid, int32_t channel);
void description_delete(const char* userid, int32_t channel);   // channel -1: none
// The current player's own record; the generic database is selected.
int description_change_is_free(void);
char* description_store(char* text);

// The player's menu and editor (description/editing.cpp).
void description_screen(int notappr_after_none);
void description_menu(void);                   // substate 2
void description_confirm(void);                // substate 3
void description_price_screen(void);            // substate 3
void description_edit_begin(int32_t channel);
int16_t description_edit_done(int16_t status);

// The sysop's menu (description/admin.cpp).
void sysop_description_screen(void);
void sysop_description_menu(void);             // substate 4
void description_view_ask(void);
void description_delete_ask(void);
void description_approve_ask(void);
void description_view_prompt(void);            // substate 5
void description_delete_prompt(void);          // substate 6
void description_approve_prompt(void);         // substate 15
