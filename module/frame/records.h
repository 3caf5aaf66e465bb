// Brakvold Plus: the fixed layouts the module keeps in the host's generic
// database and in its own per-channel tables. Sizes and offsets are part of
// the stored data: they never change.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/host.h"
#include "platform/layout.h"

#define DESC_TAG "QRTBKPLS_DESC"
#define REG_TAG "QRTBKPLS_REG"

enum { DESC_TEXTSIZ = 801, DESC_APPROVED = 0x1 };

// Every record of the generic database begins with its key: the user-ID
// and the tag, as GenericRecordKey lays them out.
#define PLUS_KEYED_RECORD(T)                                                     \
    static_assert(offsetof(T, userid) == offsetof(GenericRecordKey, userid) &&   \
                      sizeof(T::userid) == sizeof(GenericRecordKey::userid) &&   \
                      offsetof(T, tag) == offsetof(GenericRecordKey, tag) &&     \
                      sizeof(T::tag) == sizeof(GenericRecordKey::tag),           \
                  #T " begins with the generic key")

struct DescriptionRecord {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
    char text[DESC_TEXTSIZ];
    uint32_t flags;           // bit 0: approved; other bits are kept as found
    uint8_t reserved[100];
} __attribute__((packed));
PLUS_KEYED_RECORD(DescriptionRecord);
PLATFORM_LAYOUT(DescriptionRecord, 960, text, 55, flags, 856, reserved, 860);

enum { REG_LINES = 10, REG_LINESIZ = 61, REG_LINEMAX = 60, REG_AGE_FIELD = 11 };

struct RegistryRecord {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
    uint8_t reserved1;
    int16_t age;              // 0: no age set
    char lines[REG_LINES][REG_LINESIZ];
    uint8_t reserved2[4];
} __attribute__((packed));
PLUS_KEYED_RECORD(RegistryRecord);
PLATFORM_LAYOUT(RegistryRecord, 672, reserved1, 55, age, 56, lines, 58, lines[9], 607, reserved2, 668);

// Per-channel state of the module.
struct SessionSlot {
    uint32_t list_cursor;     // absolute position of the listing's next record; 0 = none
    uint32_t registry_field;  // 1..11 while a registry value is being entered
    uint32_t list_kind;       // 0 registry listing, 1 description listing
    uint32_t found_count;     // entries the running listing printed
};
PLATFORM_LAYOUT(SessionSlot, 16, list_cursor, 0, registry_field, 4, list_kind, 8, found_count, 12);

// Where a user came from when he entered the menus.
struct ReturnPoint {
    int32_t state;            // -1: the channel has not entered since start-up
    uint32_t substate;
};
PLATFORM_LAYOUT(ReturnPoint, 8);
