// Registry records: a player's ten free-text lines and his age, one record
// per player in the generic database, keyed by his name in the game.
#include <string.h>

#include "registry/registry.h"

// The record of the last lookup, and the player whose registry is loaded
// or saved, as the game tells it.
static RegistryRecord reg_buffer;
static PublicUserInfo reg_player;

static const char* const reg_number_labels[REG_AGE_FIELD] = {
    "\x1b[[\x1b[0;37m| \b \b \b \b] 1->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 2->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 3->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 4->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 5->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 6->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 7->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 8->",
    "\x1b[[\x1b[0;37m| \b \b \b \b] 9->",
    "\x1b[[\x1b[0;37m| \b \b \b \b]10->",
    "\x1b[[\x1b[0;37m| \b \b \b \b]11->",
};

static const char* reg_prefix(void)
{
    return opt_regpfx != 0 ? opt_regpfx : "";
}

// Builds the exact key of a user's registry in the registry buffer.
// 0 when the user-ID cannot be a key (too long): nothing can match it.
static int reg_build_key(const char* userid)
{
    memset(&reg_buffer, 0, sizeof(reg_buffer));
    if (userid == 0 || !plus_copy_userid(reg_buffer.userid, userid)) {
        memset(&reg_buffer, 0, sizeof(reg_buffer));
        return 0;
    }
    stzcpy(reg_buffer.tag, REG_TAG, sizeof(reg_buffer.tag));
    return 1;
}

// The player's game name as a terminated text.
static void reg_player_name(char* name, const PublicUserInfo* info)
{
    memcpy(name, info->name, GAME_NAMSIZ);
    name[GAME_NAMSIZ] = 0;
}

void registry_remove(const char* userid)
{
    if (!reg_build_key(userid)) {
        return;
    }
    dfaSetBlk(genbb);
    if (dfaAcqLock(&reg_buffer, &reg_buffer, 0, DFA_EQUAL, 0) == 1) {
        dfaDelete();
    }
    dfaRstBlk();
}

RegistryRecord* registry_load(const char* userid)
{
    int16_t found;

    if (!reg_build_key(userid)) {
        return 0;
    }
    dfaSetBlk(genbb);
    found = dfaAcqLock(&reg_buffer, &reg_buffer, 0, DFA_EQUAL, 0);
    dfaRstBlk();
    return found == 1 ? &reg_buffer : 0;
}

RegistryRecord* registry_load_current(int32_t channel)
{
    RegistryRecord* copy;
    RegistryRecord* found;
    char name[GAME_NAMSIZ + 1];

    copy = (RegistryRecord*)vdaoff(channel);
    if (copy == 0) {
        return 0;
    }
    memset(copy, 0, sizeof(RegistryRecord));
    if (!retrieve_public_usrnum_userinfo(channel, &reg_player)) {
        return 0;
    }
    reg_player_name(name, &reg_player);
    found = registry_load(name);
    if (found == 0) {
        return 0;
    }
    memcpy(copy, found, sizeof(RegistryRecord));
    return copy;
}

void registry_save(int32_t channel)
{
    RegistryRecord* copy;
    char name[GAME_NAMSIZ + 1];

    copy = (RegistryRecord*)vdaoff(channel);
    if (copy == 0) {
        return;
    }
    dfaSetBlk(genbb);
    if (retrieve_public_usrnum_userinfo(channel, &reg_player)) {
        reg_player_name(name, &reg_player);
        memset(copy->userid, 0, sizeof(copy->userid));
        memset(copy->tag, 0, sizeof(copy->tag));
        stzcpy(copy->userid, name, sizeof(copy->userid));
        stzcpy(copy->tag, REG_TAG, sizeof(copy->tag));
        if (dfaAcqLock(0, copy, 0, DFA_EQUAL, 0) == 1) {
            dfaUpdateV(copy, sizeof(RegistryRecord));
        } else {
            dfaInsertV(copy, sizeof(RegistryRecord));
        }
    }
    dfaRstBlk();
}

void registry_show(const RegistryRecord* record, int32_t editing)
{
    int i;

    setmbk(plus_msg);
    if (record != 0) {
        for (i = 0; i < REG_LINES; i++) {
            if (editing) {
                prf("%s", reg_number_labels[i]);
            }
            if (editing || record->lines[i][0] != 0) {
                prfmsg(REGLAB1 + i);
                prf("%s%.*s\r", reg_prefix(), REG_LINESIZ, record->lines[i]);
                outprf(usrnum);
            }
        }
        if (editing) {
            prf("%s", reg_number_labels[REG_AGE_FIELD - 1]);
            prfmsg(REGLAB11);
            if (record->age == 0) {
                prf("Default based on time played\r");
            } else {
                prf("%s%d\r", reg_prefix(), (int)record->age);
            }
            outprf(usrnum);
        }
    }
    rstmbk();
}
