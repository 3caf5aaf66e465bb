// Brakvold Plus: the menus' way in and out, the substates a user moves
// through, and the record lister (menu/frame.cpp, menu/lister.cpp).
#pragma once

#include <stdint.h>

#include "frame/frame.h"

// Substates of a user inside the module's menus.
enum {
    SS_MAIN = 1, SS_DESC = 2, SS_DESC_CONFIRM = 3, SS_SYSDESC = 4,
    SS_DESC_VIEW = 5, SS_DESC_DELETE = 6, SS_REGISTRY = 7, SS_LOOKUP = 8,
    SS_REG_CHOOSE = 9, SS_REG_VALUE = 10, SS_REG_LETTER = 11,
    SS_REG_LISTING = 12, SS_LIFE_CONFIRM = 13, SS_REG_REMOVE = 14,
    SS_DESC_APPROVE = 15, SS_DESC_LISTING = 16,
};

// Status codes the module injects into its own channels.
enum { LIST_CYCLE = 240, STATUS_RETURN = 3 };

// Kinds of listing (SessionSlot::list_kind).
enum { LIST_REGISTRY = 0, LIST_DESCRIPTIONS = 1 };

PLUS_EXPORT void plus_menu_display(void);
PLUS_EXPORT int32_t plus_menu_command(void);

int16_t plus_input(void);                      // the input routine
void plus_status(void);                        // the status routine
void main_menu_screen(void);
void module_exit(void);
void main_menu(void);                          // substate 1
void registry_list_start(char letter);
void description_list_start(void);
void listing_stop_registry(void);              // substate 12
void listing_stop_descriptions(void);          // substate 16
