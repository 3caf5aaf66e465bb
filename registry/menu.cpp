// The registry menu, the registry editor and removal.
#include "module/plus.h"

void registry_menu_screen(void) {}
void registry_menu(void) {}
void registry_edit_begin(void) {}
void registry_edit_choose(void) {}
void registry_edit_store(void) {}
void registry_letter_prompt(void) {}
void registry_remove_prompt(void) {}
