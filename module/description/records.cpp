// Brakvold Plus: description records in the generic database.
#include <string.h>

#include "description/description.h"

// The record of the last lookup or store, and whether it was approved.
static DescriptionRecord desc_buffer;
static uint8_t desc_approved = 0;

uint8_t description_approved(void)
{
    return desc_approved;
}

void description_forget_approval(void)
{
    desc_approved = 0;
}

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

// The key of the current player's description record.
static void own_key(GenericRecordKey* key)
{
    memset(key, 0, sizeof(*key));
    memcpy(key->userid, usaptr->userid, strnlen(usaptr->userid, HOST_UIDSIZ - 1));
    strcpy(key->tag, DESC_TAG);
}

// Free when the player's stored description still waits for approval and
// new descriptions are not approved at once. The generic database is selected.
int description_change_is_free(void)
{
    if (opt_autoapprove) {
        return 0;
    }
    GenericRecordKey key;
    own_key(&key);
    memset(&desc_buffer, 0, sizeof(desc_buffer));
    memcpy(&desc_buffer, &key, sizeof(key));
    if (dfaAcqLock(&desc_buffer, &key, 0, DFA_EQUAL, 0) != 1) {
        return 0;
    }
    return (desc_buffer.flags & DESC_APPROVED) == 0;
}

// Stores the edited text as the player's description, or removes his
// description when the text is empty. Returns the text stored, or none.
// The generic database is selected.
char* description_store(char* text)
{
    GenericRecordKey key;
    own_key(&key);

    memset(&desc_buffer, 0, sizeof(desc_buffer));
    memcpy(&desc_buffer, &key, sizeof(key));
    depad(text);
    size_t length = strnlen(text, DESC_TEXTSIZ - 1);

    if (dfaAcqLock(&desc_buffer, &key, 0, DFA_EQUAL, 0) == 1) {
        memcpy(desc_buffer.text, text, length);
        desc_buffer.text[length] = '\0';
        dfaDelete();
    } else {
        memset(&desc_buffer, 0, sizeof(desc_buffer));
        memcpy(&desc_buffer, &key, sizeof(key));
        memcpy(desc_buffer.text, text, length);
        desc_buffer.text[length] = '\0';
    }

    if (opt_autoapprove) {
        desc_buffer.flags |= DESC_APPROVED;
        desc_approved = 1;
    } else {
        desc_buffer.flags &= ~(uint32_t)DESC_APPROVED;
    }

    if (text[0] == '\0') {
        return nullptr;
    }
    if (!opt_autoapprove && opt_appruid != nullptr) {
        brakvold_send_mail(opt_appruid, "Description needs approval", usaptr->userid);
    }
    dfaInsertV(&desc_buffer, sizeof(desc_buffer));
    return text;
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
