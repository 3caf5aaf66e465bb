// Player lookup: a player's public character facts and the non-empty lines
// of his registry, by the global command word or from the registry menu.
#include <string.h>

#include "registry/registry.h"

// A text field of the game's record, as a terminated text.
static void lookup_text(char* out, const char* field, size_t size)
{
    memcpy(out, field, size);
    out[size] = 0;
}

// The player looked up, as the game tells it.
static PublicUserInfo looked_up;

void player_lookup_show(const char* name)
{
    RegistryRecord* record;
    char player[sizeof(looked_up.name) + 1];
    char race[sizeof(looked_up.race) + 1];
    char title[sizeof(looked_up.title) + 1];
    char profession[sizeof(looked_up.profession) + 1];
    char guild[sizeof(looked_up.guild) + 1];
    uint32_t divisor;
    int32_t age;

    setmbk(plus_msg);
    if (!retrieve_public_userinfo(name, &looked_up)) {
        prfmsg(NOSUCHP);
        outprf(usrnum);
        rstmbk();
        return;
    }
    // The registry is read under the name as it was typed.
    record = registry_load(name);
    if (record != 0 && record->age != 0) {
        age = record->age;
    } else {
        divisor = opt_agediv != 0 ? opt_agediv : 1;
        age = (int32_t)(looked_up.time_played / divisor) + opt_agebase;
    }
    lookup_text(player, looked_up.name, sizeof(looked_up.name));
    lookup_text(race, looked_up.race, sizeof(looked_up.race));
    lookup_text(title, looked_up.title, sizeof(looked_up.title));
    lookup_text(profession, looked_up.profession, sizeof(looked_up.profession));
    lookup_text(guild, looked_up.guild, sizeof(looked_up.guild));
    prfmsg(PUBINFO, player, race, title, profession,
           looked_up.gender == 'M' ? "Male" : "Female",
           (int)age, (int)looked_up.experience, (int)looked_up.quests,
           (int)looked_up.level, guild[0] != 0 ? guild : "None",
           (int)looked_up.kills);
    outprf(usrnum);
    registry_show(record, 0);
    rstmbk();
}

// The global command: LOOKCMD followed by a player's name, anywhere.
int32_t brakvold_plus_globals(void)
{
    char* rest;

    if (margc <= 1) {
        return 0;
    }
    if (opt_lookcmd == 0) {
        return 0;
    }
    if (!sameas(margv[0], opt_lookcmd)) {
        return 0;
    }
    rstrin();
    // The name runs from the second word to the end of the rejoined line.
    rest = margv[0];
    while (*rest == ' ') {
        rest++;
    }
    while (*rest != 0 && *rest != ' ') {
        rest++;
    }
    while (*rest == ' ') {
        rest++;
    }
    player_lookup_show(rest);
    return 1;
}

static void player_lookup_answer(const char* name)
{
    player_lookup_show(name);
    prfmsg(LOOKASK);
    outprf(usrnum);
}

// Substate 8: one name after another until an empty line or x.
void player_lookup_prompt(void)
{
    registry_name_prompt(player_lookup_answer);
}
