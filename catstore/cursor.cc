#include "cursor.h"

#include <cstring>

#include "locks.h"
#include "search.h"

namespace catstore {

void CStoreCursor::SetWalk(DBA dbaFolder, uint32_t dwFolderID, int32_t nSet, bool fDescending) {
    *this = CStoreCursor{};
    m_walk = Walk::Set;
    m_dbaFolder = dbaFolder;
    m_dwFolderID = dwFolderID;
    m_nCode = nSet;
    m_fDescending = fDescending;
}

void CStoreCursor::KeyWalk(uint32_t dwFolderID, int32_t nKey, bool fDescending) {
    *this = CStoreCursor{};
    m_walk = Walk::Key;
    m_dwFolderID = dwFolderID;
    m_nCode = nKey;
    m_fDescending = fDescending;
}

void CStoreCursor::RecordWalk() {
    *this = CStoreCursor{};
    m_walk = Walk::Records;
}

void CStoreCursor::RefWalk(DBA dbaItem, int32_t nSet, int32_t nOtherSet) {
    *this = CStoreCursor{};
    m_walk = Walk::Ref;
    m_dbaFolder = dbaItem;
    m_nCode = nSet;
    m_nOtherSet = nOtherSet;
}

// The compound key value (folder, value) as the engine takes it: STATUS is 16 bits wide.
struct KeyBuffer {
    unsigned char ab[8];
    KeyBuffer(int32_t nKey, uint32_t dwFolder, uint32_t dwValue) {
        std::memcpy(ab, &dwFolder, 4);
        if (nKey == STATUSBYFOLDER) {
            uint16_t w = static_cast<uint16_t>(dwValue);
            std::memcpy(ab + 4, &w, 2);
        } else {
            std::memcpy(ab + 4, &dwValue, 4);
        }
    }
};

static uint32_t KeyValueOf(int32_t nKey, const qn::dbms::db_itemrec& rec) {
    switch (nKey) {
        case STATUSBYFOLDER:
            return rec.status;
        case DUEDATEBYFOLDER:
            return rec.duedate;
        default:
            return rec.tmlastmodified;
    }
}

// One step of the walk; the record reached becomes current. S_EOS / S_NOTFOUND at the end.
int CStoreCursor::Step(CDbContext* pdb, bool fFirstOfFetch) {
    const bool fForward = !m_fDescending;
    if (m_walk == Walk::Set) {
        if (fFirstOfFetch) {
            int rc = pdb->MakeCurrent(m_dbaFolder);
            if (rc == S_OKAY) {
                rc = pdb->SetOwnerCurrent(m_nCode);
            }
            if (rc != S_OKAY) {
                return rc == S_DELETED ? S_EOS : rc;
            }
            if (m_fStarted) {
                return pdb->FindFrom(m_nCode, m_achName, m_dba, fForward);
            }
            return fForward ? pdb->FindFirst(m_nCode) : pdb->FindLast(m_nCode);
        }
        return fForward ? pdb->FindNext(m_nCode) : pdb->FindPrev(m_nCode);
    }
    if (!fFirstOfFetch) {
        return fForward ? pdb->KeyNext(m_nCode) : pdb->KeyPrev(m_nCode);
    }
    if (m_fStarted) {
        KeyBuffer key(m_nCode, m_dwFolderID, m_dwKeyValue);
        return pdb->KeyFrom(m_nCode, key.ab, m_dba, fForward);
    }
    // The first entry of the folder is the one after (folder, 0, address 0); its last the one
    // before (folder, the largest value, the largest address).
    KeyBuffer key(m_nCode, m_dwFolderID, fForward ? 0 : 0xFFFFFFFFu);
    return pdb->KeyFrom(m_nCode, key.ab, fForward ? 0 : 0xFFFFFFFFu, fForward);
}

// Reads the record after the cursor's place into *pItem (no parts); DBEndOfList at the end.
DBStatus CStoreCursor::ReadNext(CDbContext* pdb, bool fFirstOfFetch, DB_ITEM* pItem) {
    DBA dba = 0;
    int rc;
    if (m_walk == Walk::Records) {
        uint32_t stamp = 0;
        rc = pdb->ScanRead(DB_ITEMREC, m_fStarted ? m_dba : 0, &pItem->item, &stamp, &dba);
        if (rc == S_OKAY) {
            pItem->pdb = pdb;
            pItem->dba = dba;
            pItem->nType = DB_ITEMREC;
            pItem->stamp = stamp;
            return DBSuccess;
        }
    } else {
        rc = Step(pdb, fFirstOfFetch);
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dba);
        }
        if (rc == S_OKAY) {
            return ItemReadRecordAt(pdb, dba, pItem);
        }
    }
    return rc == S_EOS || rc == S_NOTFOUND ? DBEndOfList : MapEngineStatus(rc);
}

// One step through the reference records; the record reached becomes current.
int CStoreCursor::StepRef(CDbContext* pdb, bool fFirstOfFetch) {
    if (!fFirstOfFetch) {
        return pdb->FindNext(m_nCode);
    }
    int rc = pdb->MakeCurrent(m_dbaFolder);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(m_nCode);
    }
    if (rc != S_OKAY) {
        return rc == S_DELETED ? S_EOS : rc;
    }
    if (!m_fStarted) {
        return pdb->FindFirst(m_nCode);
    }
    rc = pdb->MakeCurrent(m_dba);
    if (rc == S_OKAY) {
        rc = pdb->SetMemberCurrent(m_nCode);
    }
    if (rc == S_OKAY) {
        return pdb->FindNext(m_nCode);
    }
    if (rc != S_DELETED && rc != S_INVADDR && rc != S_NOTCON) {
        return rc;
    }
    // The reference last read is gone. References are appended as they are made and record
    // addresses are never reused, so the walk goes on at the first one made after it.
    for (rc = pdb->FindFirst(m_nCode); rc == S_OKAY; rc = pdb->FindNext(m_nCode)) {
        DBA dba = 0;
        rc = pdb->CurrentDba(&dba);
        if (rc != S_OKAY || dba > m_dba) {
            break;
        }
    }
    return rc;
}

DBStatus CStoreCursor::FetchRefs(CDbContext* pdb, size_t n, std::vector<DB_ITEM>* pItems) {
    CStoreRead read(pdb,
                    Packet({DB_ITEMREC, DB_FOLDERREC, DB_REPOSITORYREC, DB_ATTACHREC, DB_ITEMREFREC,
                            DBS_ATTACHMENTS, DBS_ITEMS_REFERENCED, DBS_ITEM_REFERENCERS},
                           'r') +
                        VarStringPacket('r'));
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    size_t cKept = 0;
    for (bool fFirst = true; cKept < n; fFirst = false) {
        int rc = StepRef(pdb, fFirst);
        if (rc == S_EOS || rc == S_NOTFOUND) {
            return DBEndOfList;
        }
        DBA dbaRef = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dbaRef);
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        m_fStarted = true;
        m_dba = dbaRef;
        rc = pdb->FindOwner(m_nOtherSet);
        if (rc == S_NOTCON) {
            continue;  // a reference record that joins nothing at its other end
        }
        DBA dbaItem = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dbaItem);
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        DB_ITEM item;
        st = ItemReadRecordAt(pdb, dbaItem, &item);
        if (st == DBSuccess) {
            st = ItemReadParts(pdb, &item, 0);
        }
        if (st != DBSuccess) {
            return st;
        }
        item.dwRefTag = dbaRef;
        pItems->push_back(std::move(item));
        ++cKept;
    }
    return DBSuccess;
}

DBStatus CStoreCursor::TakePlace(const DB_ITEM& item) {
    m_fStarted = true;
    m_dba = item.dba;
    std::memcpy(m_achName, item.item.itemname, sizeof m_achName);
    m_dwKeyValue = KeyValueOf(m_nCode, item.item);
    return DBSuccess;
}

DBStatus CStoreCursor::Fetch(CDbContext* pdb, uint16_t wTypeMask, uint32_t dwFilter, size_t n,
                             std::vector<DB_ITEM>* pItems) {
    if (m_walk == Walk::None) {
        return DBEndOfList;
    }
    if (m_walk == Walk::Ref) {
        return FetchRefs(pdb, n, pItems);
    }
    std::vector<LockEntry> packet =
        Packet({DB_ITEMREC, DB_FOLDERREC, DB_REPOSITORYREC, DB_ATTACHREC, DBS_ITEMS,
                DBS_ATTACHMENTS, m_walk == Walk::Set ? m_nCode : DBS_ITEMS_IN_FOLDER},
               'r') +
        VarStringPacket('r');
    CStoreRead read(pdb, packet);
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    const CSearchCriteria* pCriteria = m_pCriteria.get();
    size_t cKept = 0;
    // A record turned down on its own fields leaves nothing else in the item, which the next
    // record reuses: most records of a search cost no item of their own.
    DB_ITEM item;
    bool fClean = true;
    for (bool fFirst = true; cKept < n; fFirst = false) {
        if (!fClean) {
            item = DB_ITEM{};
            fClean = true;
        }
        st = ReadNext(pdb, fFirst, &item);
        if (st != DBSuccess) {
            return st;
        }
        if (m_walk == Walk::Key && item.item.itemparentid != m_dwFolderID) {
            return DBEndOfList;
        }
        TakePlace(item);
        if ((item.item.type & wTypeMask) == 0) {
            continue;
        }
        // The tests of the record alone come first, so that most items of a search cost no
        // further read.
        MatchResult match = MatchResult::Accept;
        if (pCriteria != nullptr) {
            match = MatchRecord(*pCriteria, item.item);
            if (match == MatchResult::Reject) {
                continue;
            }
        }
        fClean = false;
        if (m_walk == Walk::Records) {
            // Records on their way in or out of the catalog are in no DBS_ITEMS.
            int rc = pdb->MakeCurrent(item.dba);
            if (rc == S_OKAY) {
                rc = pdb->IsMember(DBS_ITEMS);
            }
            if (rc == S_EOS) {
                continue;
            }
            if (rc != S_OKAY) {
                return MapEngineStatus(rc);
            }
        }
        st = ItemReadParts(pdb, &item, ITEMFIELDS_FOLDER);
        if (st != DBSuccess) {
            return st;
        }
        if (dwFilter != 0 &&
            (!item.folder || ((dwFilter >> (item.folder->foldertype % 32)) & 1) == 0)) {
            continue;
        }
        st = ItemReadParts(pdb, &item, ITEMFIELDS_ATTACHMENT | ITEMFIELDS_TEXTS);
        if (st != DBSuccess) {
            return st;
        }
        if (match == MatchResult::NeedNote) {
            match = MatchNote(*pCriteria, item.vsiNote.value);
            if (match == MatchResult::Reject) {
                continue;
            }
        }
        if (match == MatchResult::Marked) {
            item.dwFieldFlags |= EX_MATCH_FILTER;
        }
        pItems->push_back(std::move(item));
        ++cKept;
    }
    return DBSuccess;
}

}  // namespace catstore
