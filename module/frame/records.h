// Brakvold Plus: the fixed layouts the module keeps in the host's generic
// database and in its own per-channel tables. Sizes and offsets are part of
// the stored data: they never change.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/host.h"

#define DESC_TAG "QRTBKPLS_DESC"
#define REG_TAG "QRTBKPLS_REG"

enum { DESC_TEXTSIZ = 801, DESC_APPROVED = 0x1 };

struct DescriptionRecord {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
    char text[DESC_TEXTSIZ];
    uint32_t flags;           // bit 0: approved; other bits are kept as found
    uint8_t reserved[100];
} __attribute__((packed));
static_assert(sizeof(DescriptionRecord) == 960);
static_assert(offsetof(DescriptionRecord, userid) == 0);
static_assert(offsetof(DescriptionRecord, tag) == 30);
static_assert(offsetof(DescriptionRecord, text) == 55);
static_assert(offsetof(DescriptionRecord, flags) == 856);
static_assert(offsetof(DescriptionRecord, reserved) == 860);

enum { REG_LINES = 10, REG_LINESIZ = 61, REG_LINEMAX = 60, REG_AGE_FIELD = 11 };

struct RegistryRecord {
    char userid[HOST_UIDSIZ];
    char tag[HOST_TAGSIZ];
    uint8_t reserved1;
    int16_t age;              // 0: no age set
    char lines[REG_LINES][REG_LINESIZ];
    uint8_t reserved2[4];
} __attribute__((packed));
static_assert(sizeof(RegistryRecord) == 672);
static_assert(offsetof(RegistryRecord, userid) == 0);
static_assert(offsetof(RegistryRecord, tag) == 30);
static_assert(offsetof(RegistryRecord, reserved1) == 55);
static_assert(offsetof(RegistryRecord, age) == 56);
static_assert(offsetof(RegistryRecord, lines) == 58);
static_assert(offsetof(RegistryRecord, lines[9]) == 607);
static_assert(offsetof(RegistryRecord, reserved2) == 668);

// Per-channel state of the module.
struct SessionSlot {
    uint32_t list_cursor;     // absolute position of the listing's next record; 0 = none
    uint32_t registry_field;  // 1..11 while a registry value is being entered
    uint32_t list_kind;       // 0 registry listing, 1 description listing
    uint32_t found_count;     // entries the running listing printed
};
static_assert(sizeof(SessionSlot) == 16);
static_assert(offsetof(SessionSlot, list_cursor) == 0);
static_assert(offsetof(SessionSlot, registry_field) == 4);
static_assert(offsetof(SessionSlot, list_kind) == 8);
static_assert(offsetof(SessionSlot, found_count) == 12);

// Where a user came from when he entered the menus.
struct ReturnPoint {
    int32_t state;            // -1: the channel has not entered since start-up
    uint32_t substate;
};
static_assert(sizeof(ReturnPoint) == 8);
