// Brakvold Plus: description records in the generic database.
#include <string.h>

#include "frame/plus.h"

DescriptionRecord desc_buffer;
uint8_t desc_approved = 0;

// What the game's description hook looks up into, so that the described
// player's own scratch area (perhaps an unsaved edit) is never touched.
static char hook_text[DESC_TEXTSIZ];

static void empty_scratch(int32_t channel)
{
    if (channel < 0) {
        return;
    }
    char* area = (char*)vdaoff(channel);
    if (area != nullptr) {
        area[0] = '\0';
    }
}

// Builds the search key for `userid` in the description buffer, selects the
// generic database and looks the record up. Returns 1 when found, 0 when not;
// *selected tells whether the database was selected (a user-ID too long for
// the key field is never looked up).
static int desc_search(const char* userid, int32_t channel, int* selected)
{
    empty_scratch(channel);
    memset(&desc_buffer, 0, sizeof(desc_buffer));
    *selected = 0;
    if (!plus_copy_userid(desc_buffer.userid, userid)) {
        return 0;
    }
    strcpy(desc_buffer.tag, DESC_TAG);
    dfaSetBlk(genbb);
    *selected = 1;
    return dfaAcqLock(nullptr, &desc_buffer, 0, DFA_EQUAL, 0) == 1;
}

static DescriptionRecord* found_record(void)
{
    return (DescriptionRecord*)genbb->record;
}

static void copy_text(char* dest, const char* text)
{
    size_t length = strnlen(text, DESC_TEXTSIZ - 1);
    memcpy(dest, text, length);
    dest[length] = '\0';
}

// Looks the description of `userid` up into `dest`; the text or none.
static char* desc_lookup(const char* userid, int32_t channel, char* dest)
{
    desc_approved = 0;
    int selected = 0;
    int found = desc_search(userid, channel, &selected);
    if (dest != nullptr) {
        dest[0] = '\0';
    }
    if (found) {
        DescriptionRecord* record = found_record();
        if (dest != nullptr) {
            copy_text(dest, record->text);
        }
        if (record->flags & DESC_APPROVED) {
            desc_approved = 1;
        }
    }
    if (selected) {
        dfaRstBlk();
    }
    if (dest == nullptr || dest[0] == '\0') {
        return nullptr;
    }
    return dest;
}

char* description_find(const char* userid, int32_t channel)
{
    return desc_lookup(userid, channel, (char*)vdaoff(channel));
}

char* description_find_current(int32_t channel)
{
    HostAccount* account = uacoff(channel);
    if (account == nullptr) {
        return nullptr;
    }
    return description_find(account->userid, channel);
}

uint8_t description_approve(const char* userid, int32_t channel)
{
    int selected = 0;
    int found = desc_search(userid, channel, &selected);
    if (found) {
        DescriptionRecord* record = found_record();
        char* area = channel >= 0 ? (char*)vdaoff(channel) : nullptr;
        if (area != nullptr) {
            copy_text(area, record->text);
        }
        if (!(record->flags & DESC_APPROVED)) {
            record->flags |= DESC_APPROVED;
            dfaUpdateV(nullptr, sizeof(DescriptionRecord));
        }
    }
    if (selected) {
        dfaRstBlk();
    }
    return found ? 1 : 0;
}

void description_delete(const char* userid, int32_t channel)
{
    int selected = 0;
    if (desc_search(userid, channel, &selected)) {
        dfaDelete();
    }
    if (selected) {
        dfaRstBlk();
    }
}

PLUS_EXPORT int32_t plus_user_description(int32_t channel)
{
    HostAccount* account = uacoff(channel);
    if (account == nullptr) {
        return 0;
    }
    char* text = desc_lookup(account->userid, -1, hook_text);
    if (text != nullptr && desc_approved) {
        prf("%s\n", text);
        return 1;
    }
    return 0;
}
