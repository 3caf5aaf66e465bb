// The record lister: listings of registries and of descriptions awaiting
// approval, one routine for both driven by the kind's descriptor. A listing
// handles one record of the generic database for each status LIST_CYCLE its
// channel receives and injects the next one itself, so that no call walks
// the database.
#include <string.h>

#include "menu/menu.h"

// What tells the two listings apart.
struct ListingKind {
    const char* tag;              // records of this tag are listed
    int unapproved_only;          // only descriptions not yet approved
    uint32_t listing_substate;    // while the listing runs
    uint32_t home_substate;       // where the listing ends
    int32_t count_message;        // closing with the count; 0: count_text
    int32_t none_message;         // closing when nothing was found; 0: none_text
    const char* count_text;
    const char* none_text;
};

static const ListingKind listing_kinds[] = {
    /* LIST_REGISTRY */
    {REG_TAG, 0, SS_REG_LISTING, SS_REGISTRY, LSTCNT, LSTNONE, nullptr, nullptr},
    /* LIST_DESCRIPTIONS */
    {DESC_TAG, 1, SS_DESC_LISTING, SS_SYSDESC, 0, 0, "%d descriptions found.\r",
     "No descriptions found!\r"},
};
static_assert(LIST_REGISTRY == 0 && LIST_DESCRIPTIONS == 1);

static const ListingKind* listing_kind(uint32_t kind)
{
    return kind < sizeof(listing_kinds) / sizeof(listing_kinds[0]) ? &listing_kinds[kind] : nullptr;
}

static SessionSlot* lister_slot(void)
{
    return plus_slots != nullptr ? &plus_slots[usrnum] : nullptr;
}

// The closing texts, and the user back in the listing's home menu.
static void lister_close(const ListingKind* kind, uint32_t count)
{
    setmbk(plus_msg);
    if (count != 0) {
        if (kind->count_message != 0) {
            prfmsg(kind->count_message, (int)count);
        } else {
            prf(kind->count_text, (int)count);
        }
    } else if (kind->none_message != 0) {
        prfmsg(kind->none_message);
    } else {
        prf("%s", kind->none_text);
    }
    menu_prompt(kind->home_substate);
    rstmbk();
}

// Starts a listing of `kind` at the first record of its tag from `userid`.
static void lister_start(uint32_t kind_number, const char* userid)
{
    const ListingKind* kind = listing_kind(kind_number);
    SessionSlot* slot = lister_slot();
    if (slot == nullptr || kind == nullptr) {
        return;
    }
    GenericRecordKey key;
    memset(&key, 0, sizeof(key));
    stzcpy(key.userid, userid, sizeof(key.userid));
    stzcpy(key.tag, kind->tag, sizeof(key.tag));

    slot->list_cursor = 0;
    slot->found_count = 0;
    slot->list_kind = kind_number;
    dfaSetBlk(genbb);
    if (dfaAcqLock(0, &key, 0, DFA_GREATER_EQUAL, 0) == 1) {
        menu_enter(kind->listing_substate);
        slot->list_cursor = dfaAbs();
        btuinj(usrnum, LIST_CYCLE);
    } else {
        lister_close(kind, 0);
    }
    dfaRstBlk();
}

void registry_list_start(char letter)
{
    char from[2] = {letter, 0};
    lister_start(LIST_REGISTRY, from);
}

void description_list_start(void)
{
    lister_start(LIST_DESCRIPTIONS, "a");
}

// Does the record at the head of the generic database's buffer belong in
// the listing of this kind?
static int lister_wanted(const uint8_t* record, uint32_t size, const ListingKind* kind)
{
    char tag[HOST_TAGSIZ + 1];
    uint32_t flags;

    if (size < sizeof(GenericRecordKey)) {
        return 0;
    }
    memcpy(tag, record + offsetof(GenericRecordKey, tag), HOST_TAGSIZ);
    tag[HOST_TAGSIZ] = 0;
    if (!sameas(tag, kind->tag)) {
        return 0;
    }
    if (!kind->unapproved_only) {
        return 1;
    }
    flags = 0;
    if (size >= offsetof(DescriptionRecord, flags) + sizeof(flags)) {
        memcpy(&flags, record + offsetof(DescriptionRecord, flags), sizeof(flags));
    }
    return (flags & DESC_APPROVED) == 0 ? 1 : 0;
}

// The listing has reached its end (or lost its place).
static void lister_end(SessionSlot* slot, const ListingKind* kind)
{
    slot->list_cursor = 0;
    lister_close(kind, slot->found_count);
}

// One step: the record at the cursor, then the cursor to the next record.
static void lister_step(SessionSlot* slot, const ListingKind* kind)
{
    const uint8_t* record;
    GenericRecordKey key;
    char userid[HOST_UIDSIZ + 1];

    dfaSetBlk(genbb);
    if (dfaAcqAbsLock(0, slot->list_cursor, 0, 0) != 1) {
        lister_end(slot, kind);
        dfaRstBlk();
        return;
    }
    record = (const uint8_t*)genbb->record;
    if (lister_wanted(record, genbb->record_size, kind)) {
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
        lister_end(slot, kind);
        dfaRstBlk();
        return;
    }
    slot->list_cursor = dfaAbs();
    btuinj(usrnum, LIST_CYCLE);
    dfaRstBlk();
}

void plus_status(void)
{
    if (status != LIST_CYCLE) {
        dfsthn();
        return;
    }
    SessionSlot* slot = lister_slot();
    if (slot == nullptr || slot->list_cursor == 0) {
        return;
    }
    const ListingKind* kind = listing_kind(slot->list_kind);
    if (kind == nullptr) {
        return;
    }
    lister_step(slot, kind);
}

// Substates 12 and 16: any line stops the listing the user is watching.
void listing_stop(void)
{
    SessionSlot* slot = lister_slot();
    const ListingKind* kind = &listing_kinds[LIST_REGISTRY];
    if (usrptr->substate == SS_DESC_LISTING) {
        kind = &listing_kinds[LIST_DESCRIPTIONS];
    }
    if (slot != nullptr) {
        slot->list_cursor = 0;
    }
    lister_close(kind, slot != nullptr ? slot->found_count : 0);
}
