// The exported single-item calls: new, create, bulk create, information, write, id, acquire,
// release, refresh, mark as read, parent, access and the finds.
#include <cstring>
#include <ctime>
#include <memory>

#include "board.h"
#include "frame.h"
#include "handles.h"
#include "locks.h"
#include "notify.h"
#include "trace.h"
#include "unread.h"

namespace catstore {

// ---- Descriptions -------------------------------------------------------------------------

// Blanks that run to the end of a fixed text field are cut off; the last byte is always a NUL.
static void CleanField(char* pch, size_t cb) {
    size_t n = strnlen(pch, cb);
    while (n > 0 && pch[n - 1] == ' ') {
        --n;
    }
    if (n < cb) {
        pch[n] = '\0';
    }
    pch[cb - 1] = '\0';
}

static std::string Text(const char* psz) {
    return psz != nullptr ? std::string(psz) : std::string();
}

static std::string Bytes(const EX_BLOB& blob) {
    return blob.pbData != nullptr && blob.cbData > 0
               ? std::string(static_cast<const char*>(blob.pbData), blob.cbData)
               : std::string();
}

static void InfoToItem(const EX_ITEMINFO& infoIn, DB_ITEM* pItem) {
    EX_ITEMINFO info = infoIn;
    CleanField(info.itemname, sizeof info.itemname);
    CleanField(info.itemdescription, sizeof info.itemdescription);
    CleanField(info.attnamepath, sizeof info.attnamepath);
    CleanField(info.folderlocationnamepath, sizeof info.folderlocationnamepath);
    qn::dbms::db_itemrec& r = pItem->item;
    r.itemversion = info.itemversion;
    r.type = info.type;
    r.itemid = info.itemid;
    r.itemparentid = info.itemparentid;
    r.attributes = info.attributes;
    std::memcpy(r.itemname, info.itemname, sizeof r.itemname);
    std::memcpy(r.itemdescription, info.itemdescription, sizeof r.itemdescription);
    r.uidowner = info.uidowner;
    r.uidresponsible = info.uidresponsible;
    r.duedate = info.duedate;
    r.status = info.status;
    r.uidlastmodified = info.uidlastmodified;
    r.tmlastmodified = info.tmlastmodified;
    r.itemaccess.itemaccesslevel = info.itemaccesslevel;
    r.itemaccess.itemaccessgrouporuserid = info.itemaccessgrouporuserid;
    pItem->vsiNote.value = Text(info.pszNote);
    pItem->vsiExtendedInfo.value = Text(info.pszExtendedInfo);
    pItem->vsiInstructions.value = Text(info.pszInstructions);
    pItem->vsiKeywords.value = Text(info.pszKeywords);
    pItem->vsiSubscribers.value = Text(info.pszSubscribers);
    qn::dbms::db_attachrec& a = pItem->attach;
    a.attversion = info.attversion;
    a.atttype = info.atttype;
    a.attsubtype = info.attsubtype;
    a.attnametype = info.attnametype;
    a.attnamesubtype = info.attnamesubtype;
    a.attfilekey.attnameresourceid = info.attnameresourceid;
    a.attfilekey.attnamecrc = info.attnamecrc;
    std::memcpy(a.attnamepath, info.attnamepath, sizeof a.attnamepath);
    pItem->strAttachmentTopic = Text(info.pszAttachmentTopicName);
    a.attinfo.attinfoattr = info.attinfoattr;
    a.attinfo.attinfosize = info.attinfosize;
    a.attinfo.attinfotimeaccessed = info.attinfotimeaccessed;
    a.attinfo.attinfotimecreated = info.attinfotimecreated;
    a.attinfo.attinfotimeexpired = info.attinfotimeexpired;
    a.attinfo.attinfotime = info.attinfotime;
    a.attinfo.attinfouseraccessed = info.attinfouseraccessed;
    a.attchecksum = info.attchecksum;
    a.attspecialinfo = info.attspecialinfo;
    a.attsync = info.attsync;
    a.attsynctype = info.attsynctype;
    a.attsyncinterval = info.attsyncinterval;
    a.attsynctime = info.attsynctime;
    qn::dbms::db_repositoryrec& p = pItem->repos;
    p.repositoryversion = info.repositoryversion;
    p.repositorytype = info.repositorytype;
    p.repositorysubtype = info.repositorysubtype;
    p.repositoryresourceid = info.repositoryresourceid;
    p.repositorylocationcrc = info.repositorylocationcrc;
    p.repositoryattributes = info.repositoryattributes;
    p.repositorysize = info.repositorysize;
    p.repositorytimeaccessed = info.repositorytimeaccessed;
    p.repositorytimecreated = info.repositorytimecreated;
    p.repositorytimeexpired = info.repositorytimeexpired;
    p.repositorytimemodified = info.repositorytimemodified;
    p.repositoryuseraccessed = info.repositoryuseraccessed;
    p.repositorysynctype = info.repositorysynctype;
    p.repositorysyncinterval = info.repositorysyncinterval;
    p.repositorysynctime = info.repositorysynctime;
    pItem->vsiReposLocation.value = Bytes(info.blobReposLocation);
    pItem->vsiReposPolicy.value = Bytes(info.blobReposPolicy);
    pItem->vsiReposPrivate.value = Bytes(info.blobReposPrivate);
    pItem->dwFieldFlags = info.dwFieldFlags;
    // Only an item that has its folder part already takes the folder fields.
    if (pItem->folder) {
        qn::dbms::db_folderrec& f = *pItem->folder;
        f.folderversion = info.folderversion;
        f.foldertype = info.foldertype;
        f.folderupdatetype = info.folderupdatetype;
        f.folderupdateinterval = info.folderupdateinterval;
        f.folderupdatetime = info.folderupdatetime;
        f.foldermonitortype = info.foldermonitortype;
        f.folderlocationtype = info.folderlocationtype;
        f.folderlocationinfo.folderlocationinfoattr = info.folderlocationinfoattr;
        f.folderlocationinfo.folderlocationinfosize = info.folderlocationinfosize;
        f.folderlocationinfo.folderlocationinfotimeaccessed = info.folderlocationinfotimeaccessed;
        f.folderlocationinfo.folderlocationinfotimecreated = info.folderlocationinfotimecreated;
        f.folderlocationinfo.folderlocationinfotimeexpired = info.folderlocationinfotimeexpired;
        f.folderlocationinfo.folderlocationinfotime = info.folderlocationinfotime;
        f.folderlocationinfo.folderlocationinfouseraccessed = info.folderlocationinfouseraccessed;
        f.folderlocationname.folderlocationnametype = info.folderlocationnametype;
        f.folderlocationname.folderlocationnamesubtype = info.folderlocationnamesubtype;
        f.folderlocationname.folderlocationnameresourceid = info.folderlocationnameresourceid;
        f.folderlocationname.folderlocationnamecrc = info.folderlocationnamecrc;
        std::memcpy(f.folderlocationname.folderlocationnamepath, info.folderlocationnamepath,
                    sizeof f.folderlocationname.folderlocationnamepath);
        pItem->strFolderTopic = Text(info.pszFolderTopicName);
    }
}

static EX_BLOB BlobOf(const std::string& str) {
    return EX_BLOB{static_cast<uint16_t>(std::min<size_t>(str.size(), 0xFFFF)), str.data()};
}

static void ItemToInfo(ITEM_OBJECT* hItem, EX_ITEMINFO* pInfo) {
    const DB_ITEM& item = *hItem->pdbItem;
    const qn::dbms::db_itemrec& r = item.item;
    pInfo->itemversion = r.itemversion;
    pInfo->type = r.type;
    pInfo->itemid = r.itemid;
    pInfo->itemparentid = r.itemparentid;
    pInfo->attributes = r.attributes;
    std::memcpy(pInfo->itemname, r.itemname, sizeof pInfo->itemname);
    std::memcpy(pInfo->itemdescription, r.itemdescription, sizeof pInfo->itemdescription);
    pInfo->uidowner = r.uidowner;
    pInfo->uidresponsible = r.uidresponsible;
    pInfo->duedate = r.duedate;
    pInfo->status = r.status;
    pInfo->uidlastmodified = r.uidlastmodified;
    pInfo->tmlastmodified = r.tmlastmodified;
    pInfo->itemaccesslevel = r.itemaccess.itemaccesslevel;
    pInfo->itemaccessgrouporuserid = r.itemaccess.itemaccessgrouporuserid;
    pInfo->pszExtendedInfo = item.vsiExtendedInfo.value.c_str();
    pInfo->pszInstructions = item.vsiInstructions.value.c_str();
    pInfo->pszKeywords = item.vsiKeywords.value.c_str();
    // The note of the cached copy: what is stored, not what the handle may be changing.
    pInfo->pszNote = EXNotifyGetNoteText(hItem->ItemEntry);
    pInfo->pszSubscribers = item.vsiSubscribers.value.c_str();
    const qn::dbms::db_attachrec& a = item.attach;
    pInfo->attversion = a.attversion;
    pInfo->atttype = a.atttype;
    pInfo->attsubtype = a.attsubtype;
    pInfo->attnametype = a.attnametype;
    pInfo->attnamesubtype = a.attnamesubtype;
    pInfo->attnameresourceid = a.attfilekey.attnameresourceid;
    pInfo->attnamecrc = a.attfilekey.attnamecrc;
    std::memcpy(pInfo->attnamepath, a.attnamepath, sizeof pInfo->attnamepath);
    pInfo->pszAttachmentTopicName = item.strAttachmentTopic.c_str();
    pInfo->attinfoattr = a.attinfo.attinfoattr;
    pInfo->attinfosize = a.attinfo.attinfosize;
    pInfo->attinfotimeaccessed = a.attinfo.attinfotimeaccessed;
    pInfo->attinfotimecreated = a.attinfo.attinfotimecreated;
    pInfo->attinfotimeexpired = a.attinfo.attinfotimeexpired;
    pInfo->attinfotime = a.attinfo.attinfotime;
    pInfo->attinfouseraccessed = a.attinfo.attinfouseraccessed;
    pInfo->attchecksum = a.attchecksum;
    pInfo->attspecialinfo = a.attspecialinfo;
    pInfo->attsync = a.attsync;
    pInfo->attsynctype = a.attsynctype;
    pInfo->attsyncinterval = a.attsyncinterval;
    pInfo->attsynctime = a.attsynctime;
    const qn::dbms::db_repositoryrec& p = item.repos;
    pInfo->repositoryversion = p.repositoryversion;
    pInfo->repositorytype = p.repositorytype;
    pInfo->repositorysubtype = p.repositorysubtype;
    pInfo->repositoryresourceid = p.repositoryresourceid;
    pInfo->repositorylocationcrc = p.repositorylocationcrc;
    pInfo->repositoryattributes = p.repositoryattributes;
    pInfo->repositorysize = p.repositorysize;
    pInfo->repositorytimeaccessed = p.repositorytimeaccessed;
    pInfo->repositorytimecreated = p.repositorytimecreated;
    pInfo->repositorytimeexpired = p.repositorytimeexpired;
    pInfo->repositorytimemodified = p.repositorytimemodified;
    pInfo->repositoryuseraccessed = p.repositoryuseraccessed;
    pInfo->repositorysynctype = p.repositorysynctype;
    pInfo->repositorysyncinterval = p.repositorysyncinterval;
    pInfo->repositorysynctime = p.repositorysynctime;
    pInfo->blobReposLocation = BlobOf(item.vsiReposLocation.value);
    pInfo->blobReposPolicy = BlobOf(item.vsiReposPolicy.value);
    pInfo->blobReposPrivate = BlobOf(item.vsiReposPrivate.value);
    const qn::dbms::db_folderrec f = item.folder ? *item.folder : qn::dbms::db_folderrec{};
    pInfo->folderversion = f.folderversion;
    pInfo->foldertype = f.foldertype;
    pInfo->folderupdatetype = f.folderupdatetype;
    pInfo->folderupdateinterval = f.folderupdateinterval;
    pInfo->folderupdatetime = f.folderupdatetime;
    pInfo->foldermonitortype = f.foldermonitortype;
    pInfo->folderlocationtype = f.folderlocationtype;
    pInfo->folderlocationinfoattr = f.folderlocationinfo.folderlocationinfoattr;
    pInfo->folderlocationinfosize = f.folderlocationinfo.folderlocationinfosize;
    pInfo->folderlocationinfotimeaccessed = f.folderlocationinfo.folderlocationinfotimeaccessed;
    pInfo->folderlocationinfotimecreated = f.folderlocationinfo.folderlocationinfotimecreated;
    pInfo->folderlocationinfotimeexpired = f.folderlocationinfo.folderlocationinfotimeexpired;
    pInfo->folderlocationinfotime = f.folderlocationinfo.folderlocationinfotime;
    pInfo->folderlocationinfouseraccessed = f.folderlocationinfo.folderlocationinfouseraccessed;
    pInfo->folderlocationnametype = f.folderlocationname.folderlocationnametype;
    pInfo->folderlocationnamesubtype = f.folderlocationname.folderlocationnamesubtype;
    pInfo->folderlocationnameresourceid = f.folderlocationname.folderlocationnameresourceid;
    pInfo->folderlocationnamecrc = f.folderlocationname.folderlocationnamecrc;
    std::memcpy(pInfo->folderlocationnamepath, f.folderlocationname.folderlocationnamepath,
                sizeof pInfo->folderlocationnamepath);
    pInfo->pszFolderTopicName = item.strFolderTopic.c_str();
    pInfo->hItem = hItem;
    pInfo->dwFieldFlags = item.dwFieldFlags;
    BOARD_OBJECT* hbrd = hItem->hBoard;
    pInfo->wUnreadFlags = hbrd->pUnread != nullptr ? hbrd->pUnread->UnreadFlags(r.itemid) : 0;
    pInfo->wReserved3 = 0;
}

// ---- Creating -----------------------------------------------------------------------------

static uint32_t Now() {
    return static_cast<uint32_t>(std::time(nullptr));
}

// The defaults a new item takes: its parent's access for level 0, the owner for a private item
// without id, the time and the user of the change.
static void ApplyCreateDefaults(BOARD_OBJECT* hbrd, const ITEM_OBJECT* hParent, DB_ITEM* pItem) {
    qn::dbms::db_itemrec& r = pItem->item;
    if (r.itemaccess.itemaccesslevel == 0) {
        const DB_ITEM* pParent = nullptr;
        if (hParent != nullptr) {
            pParent = hParent->pdbItem;
        } else {
            DBStatus st = DBSuccess;
            CItemEntry* pEntry = FindOrLoadEntry(hbrd, r.itemparentid, &st);
            pParent = pEntry != nullptr ? &pEntry->m_item : nullptr;
        }
        if (pParent != nullptr) {
            r.itemaccess.itemaccesslevel = pParent->item.itemaccess.itemaccesslevel;
            r.itemaccess.itemaccessgrouporuserid = pParent->item.itemaccess.itemaccessgrouporuserid;
        } else {
            r.itemaccess.itemaccesslevel = 1;
        }
    }
    if (r.itemaccess.itemaccesslevel == 3 && r.itemaccess.itemaccessgrouporuserid == 0) {
        r.itemaccess.itemaccessgrouporuserid = r.uidowner;
    }
    r.tmlastmodified = Now();
    if (r.uidlastmodified == 0) {
        r.uidlastmodified = hbrd->hCurrentUser != nullptr ? CurrentUserID(hbrd) : r.uidowner;
    }
}

// After a create or write: this process's change is delivered from the queue; a change
// attributed to another user (no current user, or written as the system) comes back through
// the change log like anyone's.
static void FinishChange(BOARD_OBJECT* hbrd, bool fOwnChange, EXSM_STATUS* st) {
    if (fOwnChange) {
        EXNotifySendDeferred(hbrd);
        return;
    }
    EXNotifyDiscardDeferred(hbrd);
    try {
        RefreshBoard(hbrd, st);
    } catch (const std::bad_alloc&) {
        // The change is stored; the next refresh brings it.
    }
}

// Reads a just-written copy again for the stamps of its parts. Memory running out here leaves
// the copy as it was written: the change is stored and reported as done.
static void RefreshAfterWrite(BOARD_OBJECT* hbrd, CItemEntry* pEntry) {
    try {
        AssertItemRefreshed(RefreshEntry(hbrd, pEntry));
    } catch (const std::bad_alloc&) {
        ReportAssertion(
            "DBItemRefreshStatus == DBSuccess || DBItemRefreshStatus == DBRecordModified",
            ".\\EXSM");
    }
}

static bool IsDetached(const ITEM_OBJECT* hItem) {
    return IsLiveItem(hItem) && hItem->ItemEntry == nullptr && hItem->hBoard == nullptr &&
           hItem->fIteratorOwned == 0;
}

static void CreateItem(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent, ITEM_OBJECT* hItem,
                       EXSM_STATUS* st) {
    if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr || !IsDetached(hItem) ||
        (hParent != nullptr && !CheckItemHandle(hParent, "hParent"))) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    TimerStart("TIMER: Entering EXItemCreate...");
    DB_ITEM* pItem = hItem->pdbItem;
    const DB_ITEM saved = *pItem;
    // Whatever taking the new item in needs is had before it is stored: a stored item that the
    // call reports as not created would be created twice by a retry.
    CPreparedEntry prepared = hbrd->pNotify->m_map.Prepare();
    auto pNotifier = std::make_unique<CItemNotifier>();
    OwnedHandleSlot slot = PrepareOwnedHandle(hbrd);
    ReserveEvents(hbrd, 1);
    if (hParent != nullptr) {
        pItem->item.itemparentid = hParent->pdbItem->item.itemid;
    }
    BeginTransaction(hbrd, "EXItemCreate");
    DBStatus dbs = DBSuccess;
    try {
        ApplyCreateDefaults(hbrd, hParent, pItem);
        dbs = ItemCreate(hbrd->pdb, pItem, ChangeEntryNotifier, hbrd);
    } catch (...) {
        *pItem = saved;
        AbortTransaction(hbrd);
        EXNotifyDiscardDeferred(hbrd);
        throw;
    }
    if (dbs != DBSuccess) {
        AbortTransaction(hbrd);
        EXNotifyDiscardDeferred(hbrd);
        TimerStop("TIMER: Leaving EXItemCreate");
        *pItem = saved;
        SetStatus(st, dbs);
        return;
    }
    // The handle now shows the cached copy, with the catalog's default notifier.
    std::unique_ptr<DB_ITEM> pPrivate(pItem);
    CItemEntry* pEntry =
        hbrd->pNotify->m_map.InsertPrepared(std::move(prepared), std::move(*pPrivate));
    ComputeUnreadFlags(hbrd, pEntry);
    hItem->hBoard = hbrd;
    AttachToEntry(hItem, pEntry, DefaultRoutine(hbrd), DefaultValue(hbrd), nullptr, -1,
                  std::move(pNotifier));
    AdoptHandle(hbrd, hItem, std::move(slot));
    RefreshAfterWrite(hbrd, pEntry);
    TimerStop("TIMER: Leaving EXItemCreate");
    const bool fOwn =
        hbrd->hCurrentUser != nullptr && CurrentUserID(hbrd) == pEntry->m_item.item.uidlastmodified;
    EndTransaction(hbrd);
    FinishChange(hbrd, fOwn, st);
    CheckMemoryUsage(hbrd);
}

static int BulkCreate(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent, const EX_ITEMINFOARRAY* pItems,
                      EXSM_STATUS* st) {
    if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr || pItems == nullptr ||
        (hParent != nullptr && !CheckItemHandle(hParent, "hParent"))) {
        *st = EXSM_INVALID_HANDLE;
        return 0;
    }
    if (pItems->wUpper < pItems->wLower) {
        return 0;
    }
    const size_t cItems = size_t(pItems->wUpper - pItems->wLower) + 1;
    std::vector<DB_ITEM> items(cItems);
    for (size_t i = 0; i < cItems; ++i) {
        InfoToItem(pItems->aInfo[i], &items[i]);
        if (hParent != nullptr) {
            items[i].item.itemparentid = hParent->pdbItem->item.itemid;
        }
        ApplyCreateDefaults(hbrd, hParent, &items[i]);
    }
    ReserveEvents(hbrd, cItems);
    // All of them or none: one transaction.
    CDbContext* pdb = hbrd->pdb;
    BeginTransaction(hbrd, "EXItemBulkCreate");
    CStoreTransaction tx(pdb, "ItemBulkCreate", ItemWritePacket());
    DBStatus dbs = tx.Status();
    bool fOwn = hbrd->hCurrentUser != nullptr;
    for (size_t i = 0; dbs == DBSuccess && i < cItems; ++i) {
        dbs = ItemCreate(pdb, &items[i], ChangeEntryNotifier, hbrd);
        fOwn = fOwn && items[i].item.uidlastmodified == CurrentUserID(hbrd);
    }
    dbs = tx.Finish(dbs);
    if (dbs != DBSuccess) {
        AbortTransaction(hbrd);
        EXNotifyDiscardDeferred(hbrd);
        SetStatus(st, dbs);
        return 0;
    }
    EndTransaction(hbrd);
    FinishChange(hbrd, fOwn, st);
    CheckMemoryUsage(hbrd);
    return static_cast<int>(cItems);
}

// ---- Writing --------------------------------------------------------------------------------

static bool IsSignificant(uint32_t dwFlags) {
    // Flags 0 stand for every part, and so for a significant change.
    return dwFlags == 0 || (dwFlags & ITEMFIELDS_SIGNIFICANT) != 0;
}

static void SetInfo(ITEM_OBJECT* hItem, uint32_t fAsSystem, EXSM_STATUS* st) {
    if (!CheckItemHandle(hItem, "hItem")) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    BOARD_OBJECT* hbrd = hItem->hBoard;
    const uint32_t dwFlags = hItem->pdbItem->dwFieldFlags;
    const bool fSignificant = IsSignificant(dwFlags);
    ReserveEvents(hbrd, 1);
    if (fSignificant) {
        TakePrivateCopy(hItem);
    }
    BeginTransaction(hbrd, "EXItemSetInfo");
    TimerStart("TIMER: Entering EXItemSetInfo...");
    DB_ITEM* pView = hItem->pdbItem;
    if (fSignificant) {
        pView->item.tmlastmodified = Now();
        pView->item.uidlastmodified = fAsSystem != 0 ? 1 : CurrentUserID(hbrd);
    }
    CItemEntry* pEntry = hItem->ItemEntry;
    const bool fShared = !HasPrivateCopy(hItem);
    if (fShared) {
        hbrd->pNotify->m_map.BeginChange(pEntry);
    }
    DBStatus dbs = DBSuccess;
    try {
        dbs = ItemWrite(hbrd->pdb, pView, ChangeEntryNotifier, hbrd);
    } catch (...) {
        dbs = DBOutOfMemory;
    }
    if (fShared) {
        hbrd->pNotify->m_map.EndChange(pEntry);
    }
    pView->dwFieldFlags = dwFlags;
    TimerStop("TIMER: Leaving EXItemSetInfo");
    if (dbs != DBSuccess) {
        AbortTransaction(hbrd);
        EXNotifyDiscardDeferred(hbrd);
        SetStatus(st, dbs);
        return;
    }
    EndTransaction(hbrd);
    if (fAsSystem != 0) {
        // Attributed to user 1, the change comes back through the change log, unless user 1
        // is the current user, whose own entries the log reader passes over.
        const bool fOwn = hbrd->hCurrentUser != nullptr && CurrentUserID(hbrd) == 1;
        if (fOwn || fSignificant) {
            FinishChange(hbrd, fOwn, st);
        } else {
            EXNotifyDiscardDeferred(hbrd);
        }
        return;
    }
    if (HasPrivateCopy(hItem)) {
        DropPrivateCopy(hItem);
        RefreshAfterWrite(hbrd, pEntry);
        ComputeUnreadFlags(hbrd, pEntry);
    }
    pEntry->m_item.dwFieldFlags = 0;
    EXNotifySendDeferred(hbrd);
}

// ---- Refresh --------------------------------------------------------------------------------

static void Refresh(ITEM_OBJECT* hItem, EXSM_STATUS* st) {
    if (!CheckItemHandle(hItem, "hItem")) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    BOARD_OBJECT* hbrd = hItem->hBoard;
    CItemEntry* pEntry = hItem->ItemEntry;
    hItem->pdbItem->dwFieldFlags = 0;
    const bool fBefore = IsItemVisible(hbrd, *hItem->pdbItem);
    DBStatus dbs =
        HasPrivateCopy(hItem) ? ItemRead(hbrd->pdb, hItem->pdbItem) : RefreshEntry(hbrd, pEntry);
    if (dbs == DBDeleted || dbs == DBNotFound) {
        EXNotifyDeliver(hbrd, pEntry, nullptr, EX_CHANGE_DESTROYED, 0xFFFFFFFFu);
        *st = EXSM_ITEM_DELETED;
        return;
    }
    if (dbs != DBSuccess && dbs != DBRecordModified) {
        SetStatus(st, dbs);
        return;
    }
    const bool fAfter = IsItemVisible(hbrd, *hItem->pdbItem);
    if (fBefore != fAfter) {
        DeliverVisibilityChange(hbrd, pEntry, fAfter);
        if (!fAfter) {
            *st = EXSM_ITEM_DELETED;
        }
        return;
    }
    if (dbs == DBRecordModified) {
        EXNotifyDeliver(hbrd, pEntry, nullptr, EX_CHANGE_MODIFIED, 0);
    }
}

// ---- Finds ----------------------------------------------------------------------------------

static ITEM_OBJECT* FoundHandle(BOARD_OBJECT* hbrd, DBStatus dbs, const DB_ITEM& item,
                                EX_ITEMNOTIFIER pfnRoutine, uintptr_t ulValue, EXSM_STATUS* st) {
    if (dbs != DBSuccess) {
        SetStatus(st, dbs == DBDeleted ? DBNotFound : dbs);
        return nullptr;
    }
    if (ulValue == 0) {
        pfnRoutine = DefaultRoutine(hbrd);
        ulValue = DefaultValue(hbrd);
    }
    ITEM_OBJECT* h = NewOwnedHandle(hbrd, PutEntry(hbrd, item), pfnRoutine, ulValue);
    CheckMemoryUsage(hbrd);
    return h;
}

static bool CanFind(BOARD_OBJECT* hbrd, EXSM_STATUS* st) {
    if (!IsLiveBoard(hbrd) || hbrd->pNotify == nullptr) {
        *st = EXSM_INVALID_HANDLE;
        return false;
    }
    return true;
}

// The checksum of a repository location as the attachment key keeps it.
static uint32_t LocationChecksum(const char* psz) {
    return psz != nullptr && *psz != '\0' ? CDbContext::Checksum(psz, std::strlen(psz)) : 0;
}

}  // namespace catstore

using namespace catstore;

// Process-wide: set while an EXItemGetInfo runs.
static bool s_fGetInfoBusy = false;

extern "C" ITEM_OBJECT* EXItemNew(EXSM_STATUS* status, const EX_ITEMINFO* pInfo) {
    return RunApi("EXItemNew", status, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS*) -> ITEM_OBJECT* {
                      ITEM_OBJECT* h = NewDetachedHandle();
                      if (pInfo != nullptr) {
                          try {
                              InfoToItem(*pInfo, h->pdbItem);
                          } catch (...) {
                              FreeHandle(h);
                              throw;
                          }
                      }
                      return h;
                  });
}

extern "C" void EXItemCreate(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent, ITEM_OBJECT* hItem,
                             EXSM_STATUS* status) {
    RunApiVoid("EXItemCreate", status,
               [&](EXSM_STATUS* st) { CreateItem(hbrd, hParent, hItem, st); });
}

extern "C" int EXItemBulkCreate(BOARD_OBJECT* hbrd, ITEM_OBJECT* hParent,
                                const EX_ITEMINFOARRAY* pItems, EXSM_STATUS* status) {
    return RunApi("EXItemBulkCreate", status, 0,
                  [&](EXSM_STATUS* st) { return BulkCreate(hbrd, hParent, pItems, st); });
}

extern "C" void EXItemGetInfo(ITEM_OBJECT* hItem, EX_ITEMINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXItemGetInfo", status, [&](EXSM_STATUS* st) {
        if (s_fGetInfoBusy) {
            ShowBox("Recursion detected in EXItemGetInfo!", "Quillon Assertion Error",
                    QN_MB_TASKMODAL | QN_MB_ICONSTOP);
            return;
        }
        s_fGetInfoBusy = true;
        struct Clear {
            ~Clear() { s_fGetInfoBusy = false; }
        } clear;
        if (!CheckItemHandle(hItem, "hItem") || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        ItemToInfo(hItem, pInfo);
    });
}

extern "C" void EXItemSetInfo(ITEM_OBJECT* hItem, uint32_t fAsSystem, EXSM_STATUS* status) {
    RunApiVoid("EXItemSetInfo", status, [&](EXSM_STATUS* st) { SetInfo(hItem, fAsSystem, st); });
}

extern "C" uint32_t EXItemGetID(ITEM_OBJECT* hItem) {
    return RunApiNoStatus("EXItemGetID", 0u, [&]() -> uint32_t {
        return IsLiveItem(hItem) && hItem->pdbItem != nullptr ? hItem->pdbItem->item.itemid : 0;
    });
}

extern "C" size_t EXItemGetName(ITEM_OBJECT* hItem, char* pchBuffer, size_t cchBuffer) {
    return RunApiNoStatus(nullptr, static_cast<size_t>(0), [&]() -> size_t {
        const char* psz =
            IsLiveItem(hItem) && hItem->pdbItem != nullptr ? hItem->pdbItem->item.itemname : "";
        size_t cch = strnlen(psz, 64);
        if (pchBuffer != nullptr && cchBuffer > 0) {
            size_t n = std::min(cch, cchBuffer - 1);
            std::memcpy(pchBuffer, psz, n);
            pchBuffer[n] = '\0';
        }
        return cch;
    });
}

extern "C" ITEM_OBJECT* EXItemAcquire(ITEM_OBJECT* hItem, EX_ITEMNOTIFIER pfnNotifier,
                                      uintptr_t ulValue, EXSM_STATUS* status) {
    return RunApi("EXItemAcquire", status, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> ITEM_OBJECT* {
                      if (!CheckItemHandle(hItem, "hItem")) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      BOARD_OBJECT* hbrd = hItem->hBoard;
                      if (pfnNotifier == EX_DEFAULT_NOTIFIER) {
                          pfnNotifier = DefaultRoutine(hbrd);
                      }
                      if (ulValue == EX_DEFAULT_VALUE) {
                          ulValue = DefaultValue(hbrd);
                      }
                      // A private copy is copied: the new handle goes on from the same changes.
                      auto pCopy = HasPrivateCopy(hItem)
                                       ? std::make_unique<DB_ITEM>(*hItem->pdbItem)
                                       : nullptr;
                      ITEM_OBJECT* h = NewOwnedHandle(hbrd, hItem->ItemEntry, pfnNotifier, ulValue);
                      if (pCopy != nullptr) {
                          h->pdbItem = pCopy.release();
                      }
                      return h;
                  });
}

extern "C" int EXItemRelease(ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    return RunApi("EXItemRelease", status, 0, [&](EXSM_STATUS* st) {
        if (!IsLiveItem(hItem)) {
            *st = EXSM_INVALID_HANDLE;
            return 0;
        }
        if (hItem->ItemEntry == nullptr) {
            FreeHandle(hItem);
            return 0;
        }
        if (hItem->fIteratorOwned != 0) {
            return 0;  // its list frees it
        }
        if (!CheckItemHandle(hItem, "hItem")) {
            *st = EXSM_INVALID_HANDLE;
            return 0;
        }
        FreeHandle(hItem);
        return 0;
    });
}

extern "C" void EXItemRefresh(ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    RunApiVoid("EXItemRefresh", status, [&](EXSM_STATUS* st) { Refresh(hItem, st); });
}

extern "C" void EXItemMarkAsRead(ITEM_OBJECT* hItem, uint32_t, EXSM_STATUS* status) {
    RunApiVoid("EXItemMarkAsRead", status, [&](EXSM_STATUS* st) {
        if (!CheckItemHandle(hItem, "hItem")) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        BOARD_OBJECT* hbrd = hItem->hBoard;
        TimerStart("TIMER: Start EXItemMarkAsRead...");
        MarkItemRead(hbrd, hItem->pdbItem->item.itemid);
        TimerStop("TIMER: Stop EXItemMarkAsRead");
        EXNotifySendDeferred(hbrd);
    });
}

extern "C" ITEM_OBJECT* EXItemGetParent(ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    return RunApi("EXItemGetParent", status, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> ITEM_OBJECT* {
                      if (!CheckItemHandle(hItem, "hItem")) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      BOARD_OBJECT* hbrd = hItem->hBoard;
                      const uint32_t dwParent = hItem->pdbItem->item.itemparentid;
                      if (dwParent == 0) {
                          *st = EXSM_DOES_NOT_EXIST;
                          return nullptr;
                      }
                      DB_ITEM parent;
                      DBStatus dbs = ItemFindByID(hbrd->pdb, dwParent, &parent);
                      return FoundHandle(hbrd, dbs, parent, DefaultRoutine(hbrd),
                                         DefaultValue(hbrd), st);
                  });
}

extern "C" void EXItemGetAccess(ITEM_OBJECT* hItem, uint32_t* pdwAccess, EXSM_STATUS* status) {
    RunApiVoid("EXItemGetAccess", status, [&](EXSM_STATUS* st) {
        if (!CheckItemHandle(hItem, "hItem") || pdwAccess == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        const auto& access = hItem->pdbItem->item.itemaccess;
        *pdwAccess = static_cast<uint32_t>(access.itemaccesslevel) |
                     (static_cast<uint32_t>(access.itemaccessgrouporuserid) << 16);
    });
}

extern "C" void EXItemSetAccess(ITEM_OBJECT* hItem, const uint32_t* pdwAccess,
                                EXSM_STATUS* status) {
    RunApiVoid("EXItemSetAccess", status, [&](EXSM_STATUS* st) {
        if (!CheckItemHandle(hItem, "hItem") || pdwAccess == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        auto& access = hItem->pdbItem->item.itemaccess;
        access.itemaccesslevel = static_cast<uint16_t>(*pdwAccess & 0xFFFF);
        access.itemaccessgrouporuserid = static_cast<uint16_t>(*pdwAccess >> 16);
    });
}

// The frame of the three finds: find reads the item (locator: null for the find by id).
template <typename F>
static ITEM_OBJECT* Find(const char* pszCall, BOARD_OBJECT* hbrd, const void* pLocator,
                         EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue, EXSM_STATUS* status,
                         F&& find) {
    return RunApi(pszCall, status, static_cast<ITEM_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> ITEM_OBJECT* {
                      if (!CanFind(hbrd, st)) {
                          return nullptr;
                      }
                      if (pLocator == nullptr) {
                          *st = EXSM_DOES_NOT_EXIST;
                          return nullptr;
                      }
                      DB_ITEM item;
                      DBStatus dbs = find(&item);
                      return FoundHandle(hbrd, dbs, item, pfnNotifier, ulValue, st);
                  });
}

extern "C" ITEM_OBJECT* EXItemFindByID(BOARD_OBJECT* hbrd, uint32_t dwItemID,
                                       EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                       EXSM_STATUS* status) {
    return Find("EXItemFindByID", hbrd, &dwItemID, pfnNotifier, ulValue, status,
                [&](DB_ITEM* pItem) { return ItemFindByID(hbrd->pdb, dwItemID, pItem); });
}

extern "C" ITEM_OBJECT* EXItemFindByAttachmentName(BOARD_OBJECT* hbrd,
                                                   const EX_ITEMLOCATOR* pLocator,
                                                   EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                                   EXSM_STATUS* status) {
    return Find("EXItemFindByAttachmentName", hbrd, pLocator, pfnNotifier, ulValue, status,
                [&](DB_ITEM* pItem) {
                    const char* pszPath = pLocator->pszText != nullptr ? pLocator->pszText : "";
                    return ItemFindByAttachmentKey(hbrd->pdb, pLocator->dwResourceID,
                                                   PathChecksum(pszPath), pItem);
                });
}

extern "C" ITEM_OBJECT* EXItemFindByRepository(BOARD_OBJECT* hbrd, const EX_ITEMLOCATOR* pLocator,
                                               EX_ITEMNOTIFIER pfnNotifier, uintptr_t ulValue,
                                               EXSM_STATUS* status) {
    return Find("EXItemFindByRepository", hbrd, pLocator, pfnNotifier, ulValue, status,
                [&](DB_ITEM* pItem) {
                    return ItemFindByRepositoryKey(hbrd->pdb, pLocator->dwResourceID,
                                                   LocationChecksum(pLocator->pszText), pItem);
                });
}
