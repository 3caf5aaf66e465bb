// Registry records: loading, saving, removing and showing a player's registry.
#include <string.h>

#include "module/plus.h"

RegistryRecord reg_buffer;

void registry_remove(const char*) {}
RegistryRecord* registry_load(const char*) { return 0; }
RegistryRecord* registry_load_current(int32_t) { return 0; }
void registry_save(int32_t) {}
void registry_show(const RegistryRecord*, int32_t) {}
