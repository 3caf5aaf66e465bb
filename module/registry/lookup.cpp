// Player lookup: a player's public character facts and the non-empty lines
// of his registry, by the global command word or from the registry menu.
#include <string.h>

#include "frame/plus.h"

// A text field of the game's record, as a terminated text.
static void lookup_text(char* out, const char* field, size_t size)
{
    memcpy(out, field, size);
    out[size] = 0;
}

void player_lookup_show(const char* name)
{
    RegistryRecord* record;
    char player[sizeof(plus_pubinfo.name) + 1];
    char race[sizeof(plus_pubinfo.race) + 1];
    char title[sizeof(plus_pubinfo.title) + 1];
    char profession[sizeof(plus_pubinfo.profession) + 1];
    char guild[sizeof(plus_pubinfo.guild) + 1];
    uint32_t divisor;
    int32_t age;

    setmbk(plus_msg);
    if (!retrieve_public_userinfo(name, &plus_pubinfo)) {
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
        age = (int32_t)(plus_pubinfo.time_played / divisor) + opt_agebase;
    }
    lookup_text(player, plus_pubinfo.name, sizeof(plus_pubinfo.name));
    lookup_text(race, plus_pubinfo.race, sizeof(plus_pubinfo.race));
    lookup_text(title, plus_pubinfo.title, sizeof(plus_pubinfo.title));
    lookup_text(profession, plus_pubinfo.profession, sizeof(plus_pubinfo.profession));
    lookup_text(guild, plus_pubinfo.guild, sizeof(plus_pubinfo.guild));
    prfmsg(PUBINFO, player, race, title, profession,
           plus_pubinfo.gender == 'M' ? "Male" : "Female",
           (int)age, (int)plus_pubinfo.experience, (int)plus_pubinfo.quests,
           (int)plus_pubinfo.level, guild[0] != 0 ? guild : "None",
           (int)plus_pubinfo.kills);
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

// Substate 8: one name after another until an empty line or x.
void player_lookup_prompt(void)
{
    setmbk(plus_msg);
    if (registry_prompt_left()) {
        rstmbk();
        return;
    }
    rstrin();
    player_lookup_show(margv[0]);
    prfmsg(LOOKASK);
    outprf(usrnum);
    rstmbk();
}
