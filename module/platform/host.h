// Host services the module calls, and the records it shares with the host.
//
// Everything here has C linkage: the host exports these symbols and a module
// library resolves them when the host loads it. Record layouts are fixed; the
// layout checks below (PLATFORM_LAYOUT) are the contract, on the 64-bit
// Linux ABI.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/layout.h"

extern "C" {

// ---------------------------------------------------------------------------
// Sizes and constants
// ---------------------------------------------------------------------------

enum {
    HOST_UIDSIZ = 30,         // user-ID field: 29 characters and the terminator
    HOST_TAGSIZ = 25,         // record tag field of the generic database
    HOST_CLSSIZ = 16,         // class name field
    HOST_MODNAMSIZ = 25,      // module name in a ModuleDescriptor
    HOST_KEYSIZ = HOST_UIDSIZ + HOST_TAGSIZ,
};

// User flag bits (HostUser::flags).
enum {
    HOST_UF_INJECTED = 0x2,   // output was injected for the user; reprompt when it drains
};

// Channel statuses the host itself raises. Modules may inject statuses of
// their own with btuinj; those reach the status routine unchanged.
enum {
    HOST_ST_REPROMPT = 4,     // a global command took the user's line; show him where he is
    HOST_ST_OUTPUT_EMPTY = 5, // output queue drained (only after btuoes(ch, 1))
};

// Generic database operations of dfaAcqLock.
enum {
    DFA_EQUAL = 5,            // key equal to the given key
    DFA_GREATER = 8,          // first key greater than the given key
    DFA_GREATER_EQUAL = 9,    // first key greater than or equal to the given key
};

// ---------------------------------------------------------------------------
// Records shared with the host
// ---------------------------------------------------------------------------

// The host's record of a user on a channel (usrptr, usroff).
struct HostUser {
    uint32_t flags;           // HOST_UF_* bits; other bits belong to the host
    int32_t state;            // number of the module the user is in
    uint32_t substate;        // the module's own position for this user
    int32_t channel;          // channel number, 0 .. nterms-1
};
PLATFORM_LAYOUT(HostUser, 16, flags, 0, state, 4, substate, 8, channel, 12);

// The live account record of a user who is online (usaptr, uacoff).
struct HostAccount {
    char userid[HOST_UIDSIZ];     // user-ID, zero-terminated
    char class_name[HOST_CLSSIZ]; // key of the user's class in clsbb
    uint16_t days;                // membership days left
    uint8_t reserved[2];
};
PLATFORM_LAYOUT(HostAccount, 50, userid, 0, class_name, 30, days, 46);

// A record of the class database clsbb, keyed by the class name.
struct HostClass {
    char name[HOST_CLSSIZ];
    int16_t days;             // day limit of the class; -1 = no day limit
    uint8_t reserved[14];
};
PLATFORM_LAYOUT(HostClass, 32, name, 0, days, 16);

// The head of every record of the generic database genbb, and its key 0.
// Keys compare the user-ID ignoring letter case, then byte by byte, then the
// tag the same way.
struct GenericRecordKey {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
};
PLATFORM_LAYOUT(GenericRecordKey, 55, userid, 0, tag, 30);

// A database the host opened for modules. `record` is the file's own record
// buffer: dfaAcqLock and dfaAcqAbsLock with no buffer of their own read into
// it, and dfaUpdateV with none writes from it.
struct HostDataFile {
    void* record;
    uint32_t record_size;     // bytes available at `record`
    uint32_t reserved;
    void* impl;               // the host's
};
PLATFORM_LAYOUT(HostDataFile, 24, record, 0, record_size, 8);

// A message file opened with opnmsg. Opaque to modules.
struct HostMsgFile;

// The nine routines a module hands to register_module.
struct ModuleDescriptor {
    char name[HOST_MODNAMSIZ];
    int16_t (*logon)(void);
    int16_t (*input)(void);            // 1 keeps the user, 0 hands him back
    void (*status)(void);              // `status` holds the channel status
    int16_t (*injection)(void);        // 1 when the injected message was delivered
    int16_t (*logoff)(void);
    void (*hangup)(void);
    void (*midnight)(void);
    void (*account_deleted)(const char* userid);
    void (*finish)(void);
};
PLATFORM_LAYOUT(ModuleDescriptor, 104,
                name, 0, logon, 32, input, 40, status, 48, injection, 56, logoff, 64, hangup, 72, midnight, 80,
                account_deleted, 88, finish, 96);

// ---------------------------------------------------------------------------
// Module registration and memory
// ---------------------------------------------------------------------------

int32_t register_module(ModuleDescriptor* descriptor);      // the module number
char* gmdnam(const char* mdf_name);                          // display name from a .MDF file
char* stzcpy(char* dst, const char* src, size_t size);       // copy, at most size-1 chars, terminated
[[noreturn]] void catastro(const char* format, ...);         // fatal: log and stop the host
void globalcmd(int32_t (*handler)(void));                    // offered every line first; 1 = taken
void dclvda(uint32_t size);                                  // declare a per-channel scratch area
void* vdaoff(int32_t channel);                               // that channel's area, or none
void* alczer(size_t size);                                   // zeroed memory
void galfree(void* block);
extern int32_t nterms;                                       // number of channels

// ---------------------------------------------------------------------------
// Message files, options and output
// ---------------------------------------------------------------------------

HostMsgFile* opnmsg(const char* mcv_name);   // opens and selects; none on failure
void setmbk(HostMsgFile* block);              // select, remembering the previous block
void rstmbk(void);                            // back to the block before the last setmbk
void clsmsg(HostMsgFile* block);
void prfmsg(int32_t number, ...);             // format message `number` of the selected block
void prf(const char* format, ...);            // format literal text
void outprf(int32_t channel);                 // send the output buffer and empty it
char* spr(const char* format, ...);           // short-lived text; at least four stay valid
int32_t numopt(int32_t number, int32_t floor, int32_t ceiling);
int32_t lngopt(int32_t number, int32_t floor, int32_t ceiling);
int32_t ynopt(int32_t number);                // 1 for YES
char* stgopt(int32_t number);                 // fresh copy, release with galfree
char* msgscan(const char* msg_name, const char* option); // option of another file, or none
int32_t hasmkey(int32_t number);              // user holds the key named by option `number`
extern char* prfbuf;                          // the output buffer

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------

enum { HOST_INPSIZ = 256, HOST_MAXWORDS = 64 };
extern int32_t margc;                          // number of words
extern char* margv[HOST_MAXWORDS];             // the words
extern char input[HOST_INPSIZ];                // the line as parsed (words split by terminators)
void rstrin(void);                             // rejoin the words: margv[0] then holds the line
int32_t sameas(const char* a, const char* b);  // equal ignoring case
int32_t sameto(const char* part, const char* whole); // part leads whole, ignoring case
char* depad(char* text);                       // strip trailing blanks and line breaks in place

// ---------------------------------------------------------------------------
// Users and channels
// ---------------------------------------------------------------------------

extern int32_t usrnum;                 // channel being served
extern HostUser* usrptr;               // its user record
extern HostAccount* usaptr;            // its account record
extern int32_t othusn;                 // channel an injected message is for
extern int32_t status;                 // status being delivered to a status routine
HostAccount* uacoff(int32_t channel);  // account of a channel, or none
HostUser* usroff(int32_t channel);     // user record of a channel, or none
void dfsthn(void);                     // the host's default status handling
void btuinj(int32_t channel, int32_t code);              // queue a status for the channel
int32_t btuxmn(int32_t channel, const char* text);       // transmit text as it is
int32_t btuoes(int32_t channel, int32_t on);             // report output-empty statuses
void bgnedt(int32_t size, char* buffer, int32_t reserved, const char* topic,
            int16_t (*done)(int16_t status), int32_t flags); // full-screen editor

// ---------------------------------------------------------------------------
// Credits
// ---------------------------------------------------------------------------

int32_t otstcrd(int32_t channel, int32_t amount, int32_t real);               // 1 if affordable
int32_t odedcrd(int32_t channel, int32_t amount, int32_t real, int32_t flag); // 1 if deducted
int32_t oaddcrd(int32_t channel, int32_t amount, int32_t real);               // 1 if given back

// ---------------------------------------------------------------------------
// Databases
// ---------------------------------------------------------------------------

extern HostDataFile* genbb;            // generic per-user database
extern HostDataFile* clsbb;            // class database
void dfaSetBlk(HostDataFile* file);    // select, remembering the previous file
void dfaRstBlk(void);                  // back to the file before the last dfaSetBlk
int16_t dfaAcqLock(void* record, const void* key, int16_t keynum, int16_t operation, int16_t lock);
uint32_t dfaAbs(void);                 // absolute position of the current record; never 0
int16_t dfaAcqAbsLock(void* record, uint32_t position, int16_t keynum, int16_t lock);
int16_t dfaInsertV(const void* record, uint32_t length);
int16_t dfaUpdateV(const void* record, uint32_t length);   // the current record; none = own buffer
int16_t dfaDelete(void);                                   // the current record

}  // extern "C"
