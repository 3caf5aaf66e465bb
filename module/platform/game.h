// The game's add-on interface: what an add-on module calls in the game, and
// the records it shares with it. C linkage; the game library exports these.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/layout.h"

extern "C" {

enum {
    GAME_NAMSIZ = 11,         // a player's game name: 10 characters and the terminator
    GAME_PUBINFO_SIZE = 208,
};

// The game as a module on the host: the name it registers under (the
// host's `game` command takes a user there) and the status that hands a
// user back to it, queued with btuinj by an add-on or the host.
#define GAME_MODULE_NAME "Brakvold"
enum {
    GAME_ST_RETURN = 3,       // the user is back in the game: it shows its prompt
};

// What the game tells about one player. Fields the add-on does not read are
// the game's own (see game/README for what the stand-in game keeps there).
struct PublicUserInfo {
    char userid[30];          //   0: the account that plays the character
    char name[GAME_NAMSIZ];   //  30: the player's name in the game
    char race[19];            //  41
    char profession[20];      //  60
    char guild[20];           //  80: empty when he belongs to none
    char title[64];           // 100
    int32_t level;            // 164
    int32_t experience;       // 168
    int32_t hit_points;       // 172
    int32_t kills;            // 176
    uint8_t alignment;        // 180
    uint8_t gender;           // 181: 'M' for a male character
    uint8_t reserved1[2];     // 182
    int32_t quests;           // 184
    int32_t room;             // 188
    uint32_t time_played;     // 192
    int32_t reserved2;        // 196
    int32_t lives;            // 200
    int32_t copper;           // 204
};
PLATFORM_LAYOUT(PublicUserInfo, GAME_PUBINFO_SIZE,
                name, 30, race, 41, profession, 60, guild, 80, title, 100, level, 164, experience, 168,
                kills, 176, gender, 181, quests, 184, time_played, 192, lives, 200, copper, 204);

// An add-on as the game knows it.
struct AddonDescriptor {
    uint32_t leading;                         // always 3
    char name[32];
    void (*menu_display)(void);               // print the add-on's extension-menu line
    int32_t (*menu_command)(void);            // 1 when the extension command is the add-on's
    int32_t (*user_description)(int32_t channel); // 1 when a description was printed
    void (*ini_reload)(void);                 // the game re-read its ini file
};
PLATFORM_LAYOUT(AddonDescriptor, 72,
                leading, 0, name, 4, menu_display, 40, menu_command, 48, user_description, 56, ini_reload, 64);

int32_t register_mud_addon(AddonDescriptor* addon);                    // non-zero when accepted
int32_t retrieve_public_usrnum_userinfo(int32_t channel, PublicUserInfo* info);
int32_t retrieve_public_userinfo(const char* name, PublicUserInfo* info); // name ignoring case
int32_t addon_adjust_user_wealth(int32_t channel, int32_t amount);     // takes copper; 1 on success
int32_t addon_return_user_wealth(int32_t channel, int32_t amount);     // gives copper back; 1 on success
int32_t addon_adding_life_to_user(int32_t channel);                   // 1 on success
int32_t brakvold_send_mail(const char* to, const char* subject, const char* body);
const char* get_mud_ini_value(const char* key);                       // none when missing
void BKLog(const char* format, ...);                                  // one line to the game's log

}  // extern "C"
