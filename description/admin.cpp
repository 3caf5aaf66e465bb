// Sysop administration of descriptions: view, delete, approve, list.
#include "module/plus.h"

void sysop_description_screen(void) {}
void sysop_description_menu(void) {}
void description_view_prompt(void) {}
void description_delete_prompt(void) {}
void description_approve_prompt(void) {}
