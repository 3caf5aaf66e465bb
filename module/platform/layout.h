// The check of a fixed record layout, one line a record: the platform's
// records (host.h, game.h) and the module's own (frame/records.h).
//
//   PLATFORM_LAYOUT(Type, size, field, offset, field, offset, ...);
//
// asserts that Type takes `size` bytes and that each field begins at its
// offset; a failed check names the record and the field.
#pragma once

#include <stddef.h>

#define PLATFORM_LAYOUT(T, size, ...)                                  \
    __VA_OPT__(PLATFORM_RESCAN(PLATFORM_AT(T, __VA_ARGS__)))           \
    static_assert(sizeof(T) == (size), #T " takes " #size " bytes")

// One assertion for the first field, then again for the rest: the call
// after the first is left for the next rescan, which PLATFORM_RESCAN gives
// up to 64 times.
#define PLATFORM_AT(T, field, offset, ...)                                     \
    static_assert(offsetof(T, field) == (offset), #T "." #field " is at " #offset); \
    __VA_OPT__(PLATFORM_AT_AGAIN PLATFORM_PARENS(T, __VA_ARGS__))
#define PLATFORM_AT_AGAIN() PLATFORM_AT
#define PLATFORM_PARENS ()
#define PLATFORM_RESCAN(...) PLATFORM_RESCAN16(PLATFORM_RESCAN16(PLATFORM_RESCAN16(PLATFORM_RESCAN16(__VA_ARGS__))))
#define PLATFORM_RESCAN16(...) PLATFORM_RESCAN4(PLATFORM_RESCAN4(PLATFORM_RESCAN4(PLATFORM_RESCAN4(__VA_ARGS__))))
#define PLATFORM_RESCAN4(...) PLATFORM_RESCAN1(PLATFORM_RESCAN1(PLATFORM_RESCAN1(PLATFORM_RESCAN1(__VA_ARGS__))))
#define PLATFORM_RESCAN1(...) __VA_ARGS__
