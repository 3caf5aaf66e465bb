// Brakvold Plus: registries, their menu, and player lookup (registry/*.cpp).
#pragma once

#include <stdint.h>

#include "frame/frame.h"

PLUS_EXPORT int32_t brakvold_plus_globals(void);

// Records (registry/records.cpp).
void registry_remove(const char* userid);
RegistryRecord* registry_load(const char* userid);
RegistryRecord* registry_load_current(int32_t channel);
void registry_save(int32_t channel);
void registry_show(const RegistryRecord* record, int32_t editing);

// The menu (registry/menu.cpp).
void registry_menu_screen(void);
void registry_name_prompt(void (*answer)(const char* name));  // substates 8 and 14
void registry_menu(void);                      // substate 7
void registry_edit_begin(void);
void registry_edit_screen(void);               // substate 9
void registry_value_ask(void);                 // substate 10
void registry_edit_choose(void);               // substate 9
void registry_edit_store(void);                // substate 10
void registry_letter_prompt(void);             // substate 11
void registry_remove_prompt(void);             // substate 14

// Lookup (registry/lookup.cpp).
void player_lookup_show(const char* name);
void player_lookup_prompt(void);               // substate 8

// The registry's labels and prompts are printed by field number.
static_assert(REGLAB11 == REGLAB1 + 10 && REGASK1 == REGLAB11 + 1 && REGASK11 == REGASK1 + 10);
