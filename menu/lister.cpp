// Listings of registries and descriptions, one record per cycle status.
#include "module/plus.h"

void registry_list_start(char) {}
void description_list_start(void) {}
void plus_status(void) { dfsthn(); }
void listing_stop_registry(void) {}
void listing_stop_descriptions(void) {}
