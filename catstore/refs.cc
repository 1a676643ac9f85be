// References between items: the reference records with their data strings and the marker bit
// that folders of folder type 11 keep on what they refer to.
#include "refs.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "board.h"
#include "changelog.h"
#include "frame.h"
#include "handles.h"
#include "locks.h"
#include "notify.h"
#include "sets.h"

namespace catstore {

// Reference changes, and the marker changes they bring, are attributed alike: to user 1 while
// an add runs as the system, so that the writing process reads them back with everyone else.
uint16_t ReferenceChangeUser(BOARD_OBJECT* hbrd) {
    return IsLiveBoard(hbrd) && hbrd->wReferenceFlag != 0 ? 1 : CurrentUserID(hbrd);
}

// The Modified entry of a marker change: a Modified entry would take UIDLASTMODIFIED, which
// the marker does not touch.
static int MarkerEntryNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                               BOARD_OBJECT* hbrd) {
    int nWrite = ChangeEntryNotifier(pChange, pItem, wKind, hbrd);
    if (nWrite != 0) {
        pChange->entry.changeuserid = ReferenceChangeUser(hbrd);
    }
    return nWrite;
}

DBStatus ReadReference(CDbContext* pdb, DBA dbaRef, qn::dbms::db_itemrefrec* pRec) {
    if (dbaRef == 0 || DbaRecord(dbaRef) != DB_ITEMREFREC) {
        return DBNotReferenced;
    }
    uint32_t stamp = 0;
    int rc = pdb->ReadAt(dbaRef, pRec, &stamp);
    if (rc == S_DELETED || rc == S_INVADDR || rc == S_NOTFOUND) {
        return DBNotReferenced;
    }
    return MapEngineStatus(rc);
}

DBStatus DeleteReference(CDbContext* pdb, DBA dbaRef, const qn::dbms::db_itemrefrec& rec) {
    if (rec.itemrefdata != 0) {
        VarStringHolder data;
        data.dba = rec.itemrefdata;
        DBStatus st = VarStringWrite(&data, pdb, VSK_ITEMREFDATA);
        // A data string already gone (a damaged catalog) does not keep the reference alive.
        if (st != DBSuccess && st != DBDeleted) {
            return st;
        }
    }
    return MapEngineStatus(pdb->DeleteAt(dbaRef));
}

DBStatus IsMarkingFolder(CDbContext* pdb, const qn::dbms::db_itemrec& rec, bool* pfMarking) {
    *pfMarking = false;
    if (rec.type != ITEMTYPE_FOLDER || rec.folderstruct == 0) {
        return DBSuccess;
    }
    qn::dbms::db_folderrec folder{};
    uint32_t stamp = 0;
    int rc = pdb->ReadAt(rec.folderstruct, &folder, &stamp);
    if (rc != S_OKAY) {
        return rc == S_DELETED || rc == S_INVADDR ? DBDeleted : MapEngineStatus(rc);
    }
    *pfMarking = folder.foldertype == FOLDERTYPE_MARKING;
    return DBSuccess;
}

DBStatus HasMarkingReferencer(CDbContext* pdb, DBA dbaDest, bool fStrict, bool* pfFound) {
    *pfFound = false;
    std::vector<DBA> refs;
    DBStatus st = CollectMembers(pdb, DBS_ITEM_REFERENCERS, dbaDest, &refs);
    for (size_t i = 0; st == DBSuccess && i < refs.size() && !*pfFound; ++i) {
        qn::dbms::db_itemrefrec ref{};
        st = ReadReference(pdb, refs[i], &ref);
        if (st != DBSuccess) {
            break;
        }
        uint32_t dwSource = ref.itemrefsrcitemid;
        int rc = pdb->KeyFind(ITEMID, &dwSource);
        if (rc == S_NOTFOUND) {
            if (fStrict) {
                return DBNotFound;
            }
            continue;
        }
        DBA dbaSource = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dbaSource);
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        DB_ITEM source;
        st = ItemReadRecordAt(pdb, dbaSource, &source);
        if (st == DBSuccess) {
            st = IsMarkingFolder(pdb, source.item, pfFound);
        }
    }
    return st;
}

DBStatus WriteMarker(CDbContext* pdb, DB_ITEM* pDest, bool fSet, BOARD_OBJECT* hbrd) {
    if (fSet) {
        pDest->item.attributes = static_cast<uint16_t>(pDest->item.attributes | EX_ATTR_REFERENCED);
    } else {
        pDest->item.attributes =
            static_cast<uint16_t>(pDest->item.attributes & ~EX_ATTR_REFERENCED);
    }
    int rc = pdb->MakeCurrent(pDest->dba);
    if (rc == S_OKAY) {
        rc = pdb->Write(&pDest->item);
    }
    uint64_t stamp = 0;
    if (rc == S_OKAY) {
        rc = pdb->CurrentStamp(&stamp);
    }
    if (rc != S_OKAY) {
        return rc == S_DELETED ? DBDeleted : MapEngineStatus(rc);
    }
    pDest->stamp = static_cast<int64_t>(stamp);
    pDest->dwFieldFlags = EX_FIELD_REFMARKER;
    DBStatus st =
        WriteChangeEntry(pdb, pDest, nullptr, MarkerEntryNotifier, EX_CHANGE_MODIFIED, hbrd);
    pDest->dwFieldFlags = 0;
    return st;
}

DBStatus RefsDropForDestroy(CDbContext* pdb, const DB_ITEM& item, BOARD_OBJECT* hbrd) {
    const uint32_t dwItemID = item.item.itemid;
    std::vector<DBA> outgoing;
    std::vector<DBA> incoming;
    DBStatus st = CollectMembers(pdb, DBS_ITEMS_REFERENCED, item.dba, &outgoing);
    if (st == DBSuccess) {
        st = CollectMembers(pdb, DBS_ITEM_REFERENCERS, item.dba, &incoming);
    }
    bool fMarking = false;
    if (st == DBSuccess && !outgoing.empty()) {
        st = IsMarkingFolder(pdb, item.item, &fMarking);
    }
    std::vector<uint32_t> destinations;
    for (size_t i = 0; st == DBSuccess && i < outgoing.size(); ++i) {
        qn::dbms::db_itemrefrec ref{};
        st = ReadReference(pdb, outgoing[i], &ref);
        if (st == DBSuccess) {
            st = DeleteReference(pdb, outgoing[i], ref);
        }
        if (st == DBSuccess && fMarking && ref.itemrefdstitemid != dwItemID) {
            destinations.push_back(ref.itemrefdstitemid);
        }
    }
    for (size_t i = 0; st == DBSuccess && i < incoming.size(); ++i) {
        qn::dbms::db_itemrefrec ref{};
        st = ReadReference(pdb, incoming[i], &ref);
        if (st == DBNotReferenced) {
            st = DBSuccess;  // a reference to itself, gone with the outgoing ones
            continue;
        }
        if (st == DBSuccess) {
            st = DeleteReference(pdb, incoming[i], ref);
        }
    }
    std::sort(destinations.begin(), destinations.end());
    destinations.erase(std::unique(destinations.begin(), destinations.end()), destinations.end());
    for (size_t i = 0; st == DBSuccess && i < destinations.size(); ++i) {
        uint32_t dwDest = destinations[i];
        int rc = pdb->KeyFind(ITEMID, &dwDest);
        if (rc == S_NOTFOUND) {
            continue;  // a reference to an item that went without its references
        }
        DBA dbaDest = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dbaDest);
        }
        if (rc != S_OKAY) {
            st = MapEngineStatus(rc);
            break;
        }
        DB_ITEM dest;
        st = ItemReadRecordAt(pdb, dbaDest, &dest);
        if (st != DBSuccess || (dest.item.attributes & EX_ATTR_REFERENCED) == 0) {
            continue;
        }
        bool fStillMarked = false;
        st = HasMarkingReferencer(pdb, dbaDest, false, &fStillMarked);
        if (st == DBSuccess && !fStillMarked) {
            st = WriteMarker(pdb, &dest, false, hbrd);
        }
    }
    return st;
}

}  // namespace catstore

// ---- Store routines -------------------------------------------------------------------------

namespace catstore {

static std::vector<LockEntry> ReferenceWritePacket() {
    return Packet({DB_ITEMREFREC, DBS_ITEMS_REFERENCED, DBS_ITEM_REFERENCERS, DB_ITEMREC,
                   DB_CHANGEENTRYREC, DB_UNIQUEIDSREC},
                  'w') +
           Packet({DB_FOLDERREC}, 'r') + VarStringPacket('w');
}

// Makes the item of a view current and compares the stored record with the view's stamp.
static DBStatus CheckView(CDbContext* pdb, const DB_ITEM& view) {
    int rc = pdb->MakeCurrent(view.dba);
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBDeleted;
    }
    if (rc == S_OKAY && view.stamp > 0) {
        rc = pdb->TestStamp(static_cast<uint64_t>(view.stamp));
        if (rc == S_UPDATED) {
            return DBRecordModified;
        }
        if (rc == S_DELETED) {
            return DBDeleted;
        }
    }
    return MapEngineStatus(rc);
}

// The stored record of a view's item after its stamp check, ready for a marker write.
static DBStatus ReadCheckedRecord(CDbContext* pdb, const DB_ITEM& view, DB_ITEM* pStored) {
    DBStatus st = CheckView(pdb, view);
    return st == DBSuccess ? ItemReadRecordAt(pdb, view.dba, pStored) : st;
}

static DBStatus ConnectReference(CDbContext* pdb, DBA dbaOwner, int32_t nSet, DBA dbaRef) {
    // With no current member the engine appends: the set keeps the order of creation.
    int rc = pdb->MakeCurrent(dbaOwner);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->MakeCurrent(dbaRef);
    }
    if (rc == S_OKAY) {
        rc = pdb->Connect(nSet);
    }
    return MapEngineStatus(rc);
}

static DBStatus WriteReferenceEntry(CDbContext* pdb, const DB_ITEM& dest, const DB_ITEM& source,
                                    DBA dbaRef, unsigned short wKind, BOARD_OBJECT* hbrd) {
    DB_ITEM changed;
    changed.item = dest.item;
    changed.dba = dest.dba;
    changed.dwRefTag = dbaRef;
    return WriteChangeEntry(pdb, &changed, &source, ChangeEntryNotifier, wKind, hbrd);
}

// The marker change a reference operation made, for the copies of this process.
struct MarkerChange {
    bool fWritten = false;
    int64_t oldStamp = 0;
    DB_ITEM stored;
};

static DBStatus ItemAddReference(CDbContext* pdb, const DB_ITEM& source, const DB_ITEM& dest,
                                 const std::string& strData, BOARD_OBJECT* hbrd,
                                 MarkerChange* pMarker) {
    CStoreTransaction tx(pdb, "ItemAddReference", ReferenceWritePacket());
    DBStatus st = tx.Status();
    VarStringHolder data;
    data.value = strData;
    if (st == DBSuccess) {
        st = VarStringWrite(&data, pdb, VSK_ITEMREFDATA);
    }
    if (st == DBSuccess) {
        st = CheckView(pdb, source);
    }
    if (st == DBSuccess) {
        st = CheckView(pdb, dest);
    }
    DBA dbaRef = 0;
    if (st == DBSuccess) {
        qn::dbms::db_itemrefrec ref{};
        ref.itemrefsrcitemid = source.item.itemid;
        ref.itemrefdstitemid = dest.item.itemid;
        ref.itemrefdata = data.dba;
        int rc = pdb->Create(DB_ITEMREFREC, &ref);
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dbaRef);
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        st = ConnectReference(pdb, dest.dba, DBS_ITEM_REFERENCERS, dbaRef);
    }
    if (st == DBSuccess) {
        st = ConnectReference(pdb, source.dba, DBS_ITEMS_REFERENCED, dbaRef);
    }
    if (st == DBSuccess) {
        st = WriteReferenceEntry(pdb, dest, source, dbaRef, EX_CHANGE_ADDREF, hbrd);
    }
    bool fMarking = false;
    if (st == DBSuccess) {
        st = IsMarkingFolder(pdb, source.item, &fMarking);
    }
    if (st == DBSuccess && fMarking) {
        st = ReadCheckedRecord(pdb, dest, &pMarker->stored);
        if (st == DBSuccess && (pMarker->stored.item.attributes & EX_ATTR_REFERENCED) == 0) {
            pMarker->oldStamp = pMarker->stored.stamp;
            st = WriteMarker(pdb, &pMarker->stored, true, hbrd);
            pMarker->fWritten = st == DBSuccess;
        }
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        pMarker->fWritten = false;
    }
    return st;
}

DBStatus ReferenceAdd(BOARD_OBJECT* hbrd, const DB_ITEM& source, const DB_ITEM& dest) {
    MarkerChange marker;
    return ItemAddReference(hbrd->pdb, source, dest, std::string(), hbrd, &marker);
}

// Removes the tagged reference, or with tag 0 every reference from source to dest.
static DBStatus ItemRemoveReference(CDbContext* pdb, const DB_ITEM& source, const DB_ITEM& dest,
                                    DBA dbaTag, BOARD_OBJECT* hbrd, MarkerChange* pMarker) {
    CStoreTransaction tx(pdb, "ItemRemoveReference", ReferenceWritePacket());
    DBStatus st = tx.Status();
    const uint32_t dwSource = source.item.itemid;
    const uint32_t dwDest = dest.item.itemid;
    if (st == DBSuccess && dbaTag != 0) {
        qn::dbms::db_itemrefrec ref{};
        st = ReadReference(pdb, dbaTag, &ref);
        if (st == DBSuccess &&
            (ref.itemrefsrcitemid != dwSource || ref.itemrefdstitemid != dwDest)) {
            st = DBNotReferenced;
        }
        if (st == DBSuccess) {
            st = DeleteReference(pdb, dbaTag, ref);
        }
        if (st == DBSuccess) {
            st = WriteReferenceEntry(pdb, dest, source, dbaTag, EX_CHANGE_REMOVEREF, hbrd);
        }
    } else if (st == DBSuccess) {
        st = CheckView(pdb, dest);
        std::vector<DBA> refs;
        if (st == DBSuccess) {
            st = CollectMembers(pdb, DBS_ITEM_REFERENCERS, dest.dba, &refs);
        }
        size_t cRemoved = 0;
        for (size_t i = refs.size(); st == DBSuccess && i-- > 0;) {
            qn::dbms::db_itemrefrec ref{};
            st = ReadReference(pdb, refs[i], &ref);
            if (st != DBSuccess || ref.itemrefsrcitemid != dwSource) {
                continue;
            }
            st = DeleteReference(pdb, refs[i], ref);
            if (st == DBSuccess) {
                st = WriteReferenceEntry(pdb, dest, source, refs[i], EX_CHANGE_REMOVEREF, hbrd);
                ++cRemoved;
            }
        }
        if (st == DBSuccess && cRemoved == 0) {
            st = DBNotReferenced;
        }
    }
    bool fMarking = false;
    if (st == DBSuccess) {
        st = IsMarkingFolder(pdb, source.item, &fMarking);
    }
    if (st == DBSuccess && fMarking) {
        DB_ITEM stored;
        st = ItemReadRecordAt(pdb, dest.dba, &stored);
        bool fStillMarked = true;
        if (st == DBSuccess && (stored.item.attributes & EX_ATTR_REFERENCED) != 0) {
            st = HasMarkingReferencer(pdb, dest.dba, true, &fStillMarked);
        }
        if (st == DBSuccess && !fStillMarked) {
            st = ReadCheckedRecord(pdb, dest, &pMarker->stored);
            if (st == DBSuccess) {
                pMarker->oldStamp = pMarker->stored.stamp;
                st = WriteMarker(pdb, &pMarker->stored, false, hbrd);
                pMarker->fWritten = st == DBSuccess;
            }
        }
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        pMarker->fWritten = false;
    }
    return st;
}

static DBStatus ItemRefSetData(CDbContext* pdb, DBA dbaTag, uint32_t dwItemID,
                               const std::string& strData) {
    CStoreTransaction tx(pdb, "ItemRefSetData",
                         Packet({DB_ITEMREFREC}, 'w') + VarStringPacket('w'));
    DBStatus st = tx.Status();
    qn::dbms::db_itemrefrec ref{};
    if (st == DBSuccess) {
        st = ReadReference(pdb, dbaTag, &ref);
    }
    if (st == DBSuccess && ref.itemrefsrcitemid != dwItemID && ref.itemrefdstitemid != dwItemID) {
        st = DBNotReferenced;
    }
    VarStringHolder data;
    data.dba = ref.itemrefdata;
    data.value = strData;
    if (st == DBSuccess) {
        st = VarStringWrite(&data, pdb, VSK_ITEMREFDATA);
    }
    if (st == DBSuccess) {
        ref.itemrefdata = data.dba;
        int rc = pdb->MakeCurrent(dbaTag);
        if (rc == S_OKAY) {
            rc = pdb->Write(&ref);
        }
        st = MapEngineStatus(rc);
    }
    return tx.Finish(st);
}

// Reads without a transaction: whether source refers to dest (the first such reference's tag).
static DBStatus ItemHasReference(CDbContext* pdb, const DB_ITEM& source, const DB_ITEM& dest,
                                 DBA* pdbaTag) {
    *pdbaTag = 0;
    CStoreRead read(
        pdb, Packet({DB_ITEMREC, DB_ITEMREFREC, DBS_ITEMS_REFERENCED, DBS_ITEM_REFERENCERS}, 'r'));
    DBStatus st = read.Status();
    if (st == DBSuccess) {
        st = CheckView(pdb, source);
    }
    if (st == DBSuccess) {
        st = CheckView(pdb, dest);
    }
    if (st != DBSuccess) {
        return st;
    }
    int rc = pdb->SetOwnerCurrent(DBS_ITEM_REFERENCERS);
    for (rc = rc == S_OKAY ? pdb->FindFirst(DBS_ITEM_REFERENCERS) : rc; rc == S_OKAY;
         rc = pdb->FindNext(DBS_ITEM_REFERENCERS)) {
        qn::dbms::db_itemrefrec ref{};
        rc = pdb->Read(&ref);
        if (rc == S_OKAY && ref.itemrefsrcitemid == source.item.itemid) {
            return MapEngineStatus(pdb->CurrentDba(pdbaTag));
        }
        if (rc != S_OKAY) {
            break;
        }
    }
    return rc == S_EOS ? DBNotReferenced : MapEngineStatus(rc);
}

static DBStatus ItemRefGetData(CDbContext* pdb, DBA dbaTag, uint32_t dwItemID,
                               std::string* pstrData) {
    CStoreRead read(pdb, Packet({DB_ITEMREFREC}, 'r') + VarStringPacket('r'));
    DBStatus st = read.Status();
    qn::dbms::db_itemrefrec ref{};
    if (st == DBSuccess) {
        st = ReadReference(pdb, dbaTag, &ref);
    }
    if (st == DBSuccess && ref.itemrefsrcitemid != dwItemID && ref.itemrefdstitemid != dwItemID) {
        st = DBNotReferenced;
    }
    VarStringHolder data;
    data.dba = ref.itemrefdata;
    if (st == DBSuccess) {
        st = VarStringRead(&data, pdb);
    }
    if (st == DBSuccess) {
        *pstrData = std::move(data.value);
    }
    return st;
}

// ---- The calls ------------------------------------------------------------------------------

// Both handles checked, and on the same catalog.
static bool CheckPair(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest) {
    return CheckItemHandle(hSource, "hSrcItem") && CheckItemHandle(hDest, "hDstItem") &&
           hSource->hBoard == hDest->hBoard;
}

// Takes a committed marker change into this process's copies of the destination that were
// current when it was made, so that their next write is not refused as a conflict.
static void TakeMarker(BOARD_OBJECT* hbrd, ITEM_OBJECT* hDest, const MarkerChange& marker) {
    if (!marker.fWritten) {
        return;
    }
    auto take = [&](DB_ITEM* pItem) {
        if (pItem->stamp == marker.oldStamp) {
            pItem->item.attributes = marker.stored.item.attributes;
            pItem->stamp = marker.stored.stamp;
        }
    };
    CItemEntry* pEntry = hDest->ItemEntry;
    hbrd->pNotify->m_map.BeginChange(pEntry);
    take(&pEntry->m_item);
    hbrd->pNotify->m_map.EndChange(pEntry);
    if (HasPrivateCopy(hDest)) {
        take(hDest->pdbItem);
    }
}

// The as-system marker of reference entries, set while an add runs.
class CReferenceAttribution {
  public:
    CReferenceAttribution(BOARD_OBJECT* hbrd, bool fAsSystem) : m_hbrd(hbrd) {
        hbrd->wReferenceFlag = fAsSystem ? 1 : 0;
    }
    ~CReferenceAttribution() { m_hbrd->wReferenceFlag = 0; }
    CReferenceAttribution(const CReferenceAttribution&) = delete;
    CReferenceAttribution& operator=(const CReferenceAttribution&) = delete;

  private:
    BOARD_OBJECT* m_hbrd;
};

static void AddReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, const void* pData,
                         uint16_t cbData, uint32_t fAsSystem, EXSM_STATUS* st) {
    if (!CheckPair(hSource, hDest) || (pData == nullptr && cbData != 0)) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    BOARD_OBJECT* hbrd = hSource->hBoard;
    const std::string strData =
        cbData != 0 ? std::string(static_cast<const char*>(pData), cbData) : std::string();
    ReserveEvents(hbrd, 2);
    MarkerChange marker;
    DBStatus dbs;
    {
        CReferenceAttribution attribution(hbrd, fAsSystem != 0);
        BeginTransaction(hbrd, "EXItemAddReference");
        dbs =
            ItemAddReference(hbrd->pdb, *hSource->pdbItem, *hDest->pdbItem, strData, hbrd, &marker);
        if (dbs != DBSuccess) {
            AbortTransaction(hbrd);
        } else {
            EndTransaction(hbrd);
        }
    }
    if (dbs != DBSuccess) {
        EXNotifyDiscardDeferred(hbrd);
        SetStatus(st, dbs);
        return;
    }
    TakeMarker(hbrd, hDest, marker);
    // Attributed to user 1, the entries come back through the change log, unless user 1 is
    // the current user, whose own entries the log reader passes over.
    if (fAsSystem != 0 && !(hbrd->hCurrentUser != nullptr && CurrentUserID(hbrd) == 1)) {
        EXNotifyDiscardDeferred(hbrd);
        try {
            RefreshBoard(hbrd, st);
        } catch (const std::bad_alloc&) {
            // The reference is stored; the next refresh brings it.
        }
        return;
    }
    EXNotifySendDeferred(hbrd);
}

static void RemoveReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, EXSM_STATUS* st) {
    if (!CheckPair(hSource, hDest)) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    BOARD_OBJECT* hbrd = hSource->hBoard;
    // Either handle may carry the tag: a handle of a reference list is the item at the far end.
    const DBA dbaTag = hDest->dwReferenceTag != 0 ? hDest->dwReferenceTag : hSource->dwReferenceTag;
    ReserveEvents(hbrd, 2);
    MarkerChange marker;
    BeginTransaction(hbrd, "EXItemRemoveReference");
    DBStatus dbs =
        ItemRemoveReference(hbrd->pdb, *hSource->pdbItem, *hDest->pdbItem, dbaTag, hbrd, &marker);
    if (dbs != DBSuccess) {
        AbortTransaction(hbrd);
        EXNotifyDiscardDeferred(hbrd);
        SetStatus(st, dbs);
        return;
    }
    EndTransaction(hbrd);
    TakeMarker(hbrd, hDest, marker);
    EXNotifySendDeferred(hbrd);
}

// The reference data blocks handed out, by their locked address: a reset frees only what
// came from here.
static std::unordered_map<void*, QNHGLOBAL>& RefDataBlocks() {
    static std::unordered_map<void*, QNHGLOBAL> s_blocks;
    return s_blocks;
}

}  // namespace catstore

using namespace catstore;

extern "C" void EXItemAddReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, EXSM_STATUS* status,
                                   const void* pData, uint16_t cbData, uint32_t fAsSystem,
                                   uint32_t) {
    RunApiVoid("EXItemAddReference", status, [&](EXSM_STATUS* st) {
        AddReference(hSource, hDest, pData, cbData, fAsSystem, st);
    });
}

extern "C" int EXItemHasReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest, int fTag,
                                  EXSM_STATUS* status) {
    return RunApi("EXItemHasReference", status, 0, [&](EXSM_STATUS* st) -> int {
        if (!CheckPair(hSource, hDest)) {
            *st = EXSM_INVALID_HANDLE;
            return 0;
        }
        DBA dbaTag = 0;
        DBStatus dbs =
            ItemHasReference(hSource->hBoard->pdb, *hSource->pdbItem, *hDest->pdbItem, &dbaTag);
        if (dbs == DBNotReferenced) {
            return 0;
        }
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return 0;
        }
        if (fTag != 0) {
            hDest->dwReferenceTag = dbaTag;
        }
        return 1;
    });
}

extern "C" void EXItemRemoveReference(ITEM_OBJECT* hSource, ITEM_OBJECT* hDest,
                                      EXSM_STATUS* status) {
    RunApiVoid("EXItemRemoveReference", status,
               [&](EXSM_STATUS* st) { RemoveReference(hSource, hDest, st); });
}

extern "C" void EXItemGetReferenceData(ITEM_OBJECT* hItem, EX_REFINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXItemGetReferenceData", status, [&](EXSM_STATUS* st) {
        if (!CheckItemHandle(hItem, "hItem") || pInfo == nullptr || hItem->dwReferenceTag == 0) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        pInfo->cbData = 0;
        pInfo->pData = nullptr;
        std::string strData;
        DBStatus dbs = ItemRefGetData(hItem->hBoard->pdb, hItem->dwReferenceTag,
                                      hItem->pdbItem->item.itemid, &strData);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        if (strData.empty()) {
            return;
        }
        auto& blocks = RefDataBlocks();
        blocks.reserve(blocks.size() + 1);
        QNHGLOBAL h = QNGlobalAlloc(QN_GMEM_MOVEABLE | QN_GMEM_ZEROINIT, strData.size());
        void* pv = h != nullptr ? QNGlobalLock(h) : nullptr;
        if (pv == nullptr) {
            if (h != nullptr) {
                QNGlobalFree(h);
            }
            *st = EXSM_OUT_OF_MEMORY;
            return;
        }
        std::memcpy(pv, strData.data(), strData.size());
        blocks.emplace(pv, h);
        pInfo->cbData = static_cast<uint32_t>(strData.size());
        pInfo->pData = pv;
    });
}

extern "C" void EXItemSetReferenceData(ITEM_OBJECT* hItem, const EX_REFINFO* pInfo,
                                       EXSM_STATUS* status) {
    RunApiVoid("EXItemSetReferenceData", status, [&](EXSM_STATUS* st) {
        const uint32_t cb = pInfo != nullptr ? (pInfo->cbData & 0xFFFF) : 0;
        if (!CheckItemHandle(hItem, "hItem") || pInfo == nullptr || hItem->dwReferenceTag == 0 ||
            (cb != 0 && pInfo->pData == nullptr)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        const std::string strData =
            cb != 0 ? std::string(static_cast<const char*>(pInfo->pData), cb) : std::string();
        SetStatus(st, ItemRefSetData(hItem->hBoard->pdb, hItem->dwReferenceTag,
                                     hItem->pdbItem->item.itemid, strData));
    });
}

extern "C" void EXItemRefInfoReset(EX_REFINFO* pInfo) {
    RunApiNoStatus(nullptr, 0, [&]() -> int {
        if (pInfo == nullptr) {
            return 0;
        }
        auto& blocks = RefDataBlocks();
        auto it = blocks.find(pInfo->pData);
        if (it != blocks.end()) {
            QNGlobalUnlock(it->second);
            QNGlobalFree(it->second);
            blocks.erase(it);
        }
        pInfo->cbData = 0;
        pInfo->pData = nullptr;
        return 0;
    });
}
