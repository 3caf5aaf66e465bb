// The record lister: listings of registries and of descriptions awaiting
// approval. A listing handles one record of the generic database for each
// status LIST_CYCLE its channel receives and injects the next one itself,
// so that no call walks the database.
#include <string.h>

#include "menu/menu.h"

static SessionSlot* lister_slot(void)
{
    return plus_slots != 0 ? &plus_slots[usrnum] : 0;
}

static void lister_closing_registry(uint32_t count)
{
    if (count != 0) {
        prfmsg(LSTCNT, (int)count);
    } else {
        prfmsg(LSTNONE);
    }
}

static void lister_closing_descriptions(uint32_t count)
{
    if (count != 0) {
        prf("%d descriptions found.\r", (int)count);
    } else {
        prf("No descriptions found!\r");
    }
}

// Starts a listing at `key`.
static void lister_start(const GenericRecordKey* key, uint32_t kind)
{
    SessionSlot* slot;

    slot = lister_slot();
    if (slot == 0) {
        return;
    }
    slot->list_cursor = 0;
    slot->found_count = 0;
    slot->list_kind = kind;
    dfaSetBlk(genbb);
    if (dfaAcqLock(0, key, 0, DFA_GREATER_EQUAL, 0) == 1) {
        menu_enter(kind == LIST_REGISTRY ? SS_REG_LISTING : SS_DESC_LISTING);
        slot->list_cursor = dfaAbs();
        btuinj(usrnum, LIST_CYCLE);
    } else {
        setmbk(plus_msg);
        if (kind == LIST_REGISTRY) {
            lister_closing_registry(0);
            menu_prompt(SS_REGISTRY);
        } else {
            lister_closing_descriptions(0);
            menu_prompt(SS_SYSDESC);
        }
        rstmbk();
    }
    dfaRstBlk();
}

void registry_list_start(char letter)
{
    GenericRecordKey key;
    memset(&key, 0, sizeof(key));
    key.userid[0] = letter;
    stzcpy(key.tag, REG_TAG, sizeof(key.tag));
    lister_start(&key, LIST_REGISTRY);
}

void description_list_start(void)
{
    GenericRecordKey key;
    memset(&key, 0, sizeof(key));
    stzcpy(key.userid, "a", sizeof(key.userid));
    stzcpy(key.tag, DESC_TAG, sizeof(key.tag));
    lister_start(&key, LIST_DESCRIPTIONS);
}

// The listing has reached its end (or lost its place): closing texts.
static void lister_end(SessionSlot* slot)
{
    setmbk(plus_msg);
    if (slot->list_kind == LIST_REGISTRY) {
        lister_closing_registry(slot->found_count);
        slot->list_cursor = 0;
        menu_prompt(SS_REGISTRY);
    } else {
        lister_closing_descriptions(slot->found_count);
        slot->list_cursor = 0;
        menu_prompt(SS_SYSDESC);
    }
    rstmbk();
}

// Does the record at the head of the generic database's buffer belong in
// the listing of this kind?
static int lister_wanted(const uint8_t* record, uint32_t size, uint32_t kind)
{
    char tag[HOST_TAGSIZ + 1];
    uint32_t flags;

    if (size < sizeof(GenericRecordKey)) {
        return 0;
    }
    memcpy(tag, record + offsetof(GenericRecordKey, tag), HOST_TAGSIZ);
    tag[HOST_TAGSIZ] = 0;
    if (kind == LIST_REGISTRY) {
        return sameas(tag, REG_TAG) ? 1 : 0;
    }
    if (!sameas(tag, DESC_TAG)) {
        return 0;
    }
    flags = 0;
    if (size >= offsetof(DescriptionRecord, flags) + sizeof(flags)) {
        memcpy(&flags, record + offsetof(DescriptionRecord, flags), sizeof(flags));
    }
    return (flags & DESC_APPROVED) == 0 ? 1 : 0;
}

// One step: the record at the cursor, then the cursor to the next record.
static void lister_step(SessionSlot* slot)
{
    const uint8_t* record;
    GenericRecordKey key;
    char userid[HOST_UIDSIZ + 1];

    dfaSetBlk(genbb);
    if (dfaAcqAbsLock(0, slot->list_cursor, 0, 0) != 1) {
        lister_end(slot);
        dfaRstBlk();
        return;
    }
    record = (const uint8_t*)genbb->record;
    if (lister_wanted(record, genbb->record_size, slot->list_kind)) {
        slot->found_count++;
        memcpy(userid, record, HOST_UIDSIZ);
        userid[HOST_UIDSIZ] = 0;
        prf("%s\n", userid);
        outprf(usrnum);
    }
    slot->list_cursor = 0;
    // The key is copied out: the search reads the next record into the
    // same buffer.
    memcpy(&key, record, sizeof(key));
    if (dfaAcqLock(0, &key, 0, DFA_GREATER, 0) != 1) {
        lister_end(slot);
        dfaRstBlk();
        return;
    }
    slot->list_cursor = dfaAbs();
    btuinj(usrnum, LIST_CYCLE);
    dfaRstBlk();
}

void plus_status(void)
{
    SessionSlot* slot;

    if (status != LIST_CYCLE) {
        dfsthn();
        return;
    }
    slot = lister_slot();
    if (slot == 0 || slot->list_cursor == 0) {
        return;
    }
    if (slot->list_kind != LIST_REGISTRY && slot->list_kind != LIST_DESCRIPTIONS) {
        return;
    }
    lister_step(slot);
}

// Substate 12: any line stops the registry listing.
void listing_stop_registry(void)
{
    SessionSlot* slot;

    slot = lister_slot();
    setmbk(plus_msg);
    if (slot != 0) {
        slot->list_cursor = 0;
    }
    lister_closing_registry(slot != 0 ? slot->found_count : 0);
    menu_prompt(SS_REGISTRY);
    rstmbk();
}

// Substate 16: any line stops the description listing.
void listing_stop_descriptions(void)
{
    SessionSlot* slot;

    slot = lister_slot();
    setmbk(plus_msg);
    if (slot != 0) {
        slot->list_cursor = 0;
    }
    lister_closing_descriptions(slot != 0 ? slot->found_count : 0);
    menu_prompt(SS_SYSDESC);
    rstmbk();
}
