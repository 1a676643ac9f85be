// References between items: the reference records with their data strings and the marker bit
// that folders of folder type 11 keep on what they refer to.
#include "refs.h"

#include <algorithm>
#include <vector>

#include "board.h"
#include "changelog.h"
#include "sets.h"

namespace catstore {

static constexpr uint32_t ITEMFIELDS_ATTRIBUTES = 0x00000400;

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
    pDest->dwFieldFlags = ITEMFIELDS_ATTRIBUTES;
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
