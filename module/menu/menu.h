// Brakvold Plus: the menus' way in and out, the substates a user moves
// through, and the record lister (menu/frame.cpp, menu/lister.cpp).
#pragma once

#include <stdint.h>

#include "frame/frame.h"

// Substates of a user inside the module's menus. Each has one entry in the
// table of menu/frame.cpp: the routine for a line typed in it, the screen
// drawn on entering it, the prompt that asks again after an answer, and who
// may be there. How a user moves between them (X: back to the main menu,
// handled once for the three menus marked *):
//
//   (host) --"*"--> MAIN --X--> (host, status GAME_ST_RETURN)
//   MAIN --D--> DESC* --D, priced--> DESC_CONFIRM --Yes--> (editor) --> DESC
//               DESC --D, free--> (editor) --> DESC;  DESC_CONFIRM --other--> DESC
//   MAIN --L--> LIFE_CONFIRM --any--> MAIN
//   MAIN --S (sysop)--> SYSDESC* --A/D/V--> DESC_APPROVE/DELETE/VIEW --any--> SYSDESC
//                      SYSDESC --L--> DESC_LISTING --any line or end--> SYSDESC
//   MAIN --R--> REGISTRY* --L--> LOOKUP --name--> LOOKUP; --empty/x--> REGISTRY
//               REGISTRY --R (sysop)--> REG_REMOVE --any--> REGISTRY
//               REGISTRY --S--> REG_LETTER --> REG_LISTING --any line or end--> REGISTRY
//               REGISTRY --E--> REG_CHOOSE --number--> REG_VALUE --any--> REG_CHOOSE
//                               REG_CHOOSE --Q (drop) / X (save)--> REGISTRY
enum {
    SS_MAIN = 1, SS_DESC = 2, SS_DESC_CONFIRM = 3, SS_SYSDESC = 4,
    SS_DESC_VIEW = 5, SS_DESC_DELETE = 6, SS_REGISTRY = 7, SS_LOOKUP = 8,
    SS_REG_CHOOSE = 9, SS_REG_VALUE = 10, SS_REG_LETTER = 11,
    SS_REG_LISTING = 12, SS_LIFE_CONFIRM = 13, SS_REG_REMOVE = 14,
    SS_DESC_APPROVE = 15, SS_DESC_LISTING = 16,
};

// The status the module injects into its own channels while a listing runs
// (it leaves with the game's GAME_ST_RETURN).
enum { LIST_CYCLE = 240 };

// Kinds of listing (SessionSlot::list_kind).
enum { LIST_REGISTRY = 0, LIST_DESCRIPTIONS = 1 };

PLUS_EXPORT void plus_menu_display(void);
PLUS_EXPORT int32_t plus_menu_command(void);

// Puts the user in `substate` and draws its screen.
void menu_enter(uint32_t substate);
// Puts the user in `substate` and asks its prompt again (after an answer).
void menu_prompt(uint32_t substate);
// Puts the user in `substate` without drawing: the caller draws.
void menu_resume(uint32_t substate);
// Whether the current user may be in `substate`.
int menu_may_enter(uint32_t substate);

int16_t plus_input(void);                      // the input routine
void plus_status(void);                        // the status routine
void main_menu_screen(void);
void module_exit(void);
void main_menu(void);                          // substate 1
void registry_list_start(char letter);
void description_list_start(void);
void listing_stop(void);                       // substates 12 and 16
