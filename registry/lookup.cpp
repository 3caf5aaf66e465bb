// Player lookup: the global command and the lookup prompt.
#include "module/plus.h"

int32_t brakvold_plus_globals(void) { return 0; }
void player_lookup_show(const char*) {}
void player_lookup_prompt(void) {}
