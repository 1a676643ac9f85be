// The tree operations: destroy, copy, move, folder add and remove, and to-folder.
//
// Store work runs under one lock packet per operation; the records of an item are written with
// the "locked" routines of the item layer, so that a tree of thousands of items asks for its
// locks once (or once per slice of a destroy), not once per item.
#include "trees.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_set>
#include <vector>

#include "board.h"
#include "changelog.h"
#include "frame.h"
#include "handles.h"
#include "locks.h"
#include "notify.h"
#include "qnplatform.h"
#include "reclaim.h"
#include "refs.h"
#include "trace.h"
#include "users.h"

namespace catstore {

// ---- Store helpers --------------------------------------------------------------------------

static DBStatus FindItemDba(CDbContext* pdb, uint32_t dwItemID, DBA* pdba) {
    int rc = pdb->KeyFind(ITEMID, &dwItemID);
    if (rc == S_NOTFOUND) {
        return DBNotFound;
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(pdba);
    }
    return MapEngineStatus(rc);
}

// Makes the item current and compares its stamp with the one a copy was read with (0: not
// known, nothing to compare).
static DBStatus CheckStamp(CDbContext* pdb, DBA dba, int64_t stamp) {
    int rc = pdb->MakeCurrent(dba);
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBDeleted;
    }
    if (rc == S_OKAY && stamp > 0) {
        rc = pdb->TestStamp(static_cast<uint64_t>(stamp));
        if (rc == S_UPDATED) {
            return DBRecordModified;
        }
        if (rc == S_DELETED) {
            return DBDeleted;
        }
    }
    return MapEngineStatus(rc);
}

static DBStatus CurrentStampOf(CDbContext* pdb, DBA dba, int64_t* pStamp) {
    uint64_t stamp = 0;
    int rc = pdb->MakeCurrent(dba);
    if (rc == S_OKAY) {
        rc = pdb->CurrentStamp(&stamp);
    }
    *pStamp = static_cast<int64_t>(stamp);
    return MapEngineStatus(rc);
}

// The members of a record's set, first to last.
static DBStatus SetMembers(CDbContext* pdb, DBA dbaOwner, int32_t nSet,
                           std::vector<DBA>* pMembers) {
    int rc = pdb->MakeCurrent(dbaOwner);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    for (rc = rc == S_OKAY ? pdb->FindFirst(nSet) : rc; rc == S_OKAY; rc = pdb->FindNext(nSet)) {
        DBA dba = 0;
        rc = pdb->CurrentDba(&dba);
        if (rc != S_OKAY) {
            break;
        }
        pMembers->push_back(dba);
    }
    return rc == S_EOS ? DBSuccess : MapEngineStatus(rc);
}

// Queued events of a store routine that did not commit are dropped; those of what committed
// before them stay for the send.
static void DropEventsAfter(BOARD_OBJECT* hbrd, size_t cKept) {
    if (hbrd->pNotify != nullptr && hbrd->pNotify->m_queue.size() > cKept) {
        hbrd->pNotify->m_queue.resize(cKept);
    }
}

static size_t QueuedEvents(const BOARD_OBJECT* hbrd) {
    return hbrd->pNotify != nullptr ? hbrd->pNotify->m_queue.size() : 0;
}

// ---- Folder membership ----------------------------------------------------------------------

// Takes the current record out of the folder sets that hold it. DBS_ITEMS is left alone: every
// stored item stays a member of it.
static DBStatus LeaveFolderSets(CDbContext* pdb, DBA dbaItem) {
    for (int32_t nSet : {DBS_ITEMS_IN_FOLDER, DBS_FOLDERS_IN_FOLDER}) {
        int rc = pdb->MakeCurrent(dbaItem);
        if (rc == S_OKAY && pdb->IsMember(nSet) == S_OKAY) {
            rc = pdb->SetMemberCurrent(nSet);
            if (rc == S_OKAY) {
                rc = pdb->Disconnect(nSet);
                rc = rc == S_EOS ? S_OKAY : rc;
            }
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
    }
    return DBSuccess;
}

static DBStatus JoinSet(CDbContext* pdb, DBA dbaOwner, DBA dbaMember, int32_t nSet) {
    int rc = pdb->MakeCurrent(dbaOwner);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->MakeCurrent(dbaMember);
    }
    if (rc == S_OKAY) {
        rc = pdb->Connect(nSet);
    }
    return MapEngineStatus(rc);
}

// Folders nest at most this deep; a longer parent chain is a damaged catalog's loop.
static constexpr int MAX_PARENT_CHAIN = 4096;

// DBFolderRequired when the folder is the item or lies below it.
static DBStatus CheckNotBelow(CDbContext* pdb, const DB_ITEM& folder, uint32_t dwItemID) {
    uint32_t dwID = folder.item.itemid;
    uint32_t dwParent = folder.item.itemparentid;
    for (int n = 0; n < MAX_PARENT_CHAIN; ++n) {
        if (dwID == dwItemID) {
            return DBFolderRequired;
        }
        if (dwParent == 0) {
            return DBSuccess;
        }
        DBA dba = 0;
        DBStatus st = FindItemDba(pdb, dwParent, &dba);
        if (st == DBNotFound) {
            return DBSuccess;  // a broken chain ends at the top
        }
        DB_ITEM up;
        if (st == DBSuccess) {
            st = ItemReadRecordAt(pdb, dba, &up);
        }
        if (st != DBSuccess) {
            return st;
        }
        dwID = up.item.itemid;
        dwParent = up.item.itemparentid;
    }
    return DBFolderRequired;
}

static std::vector<LockEntry> FolderPacket() {
    return Packet({DB_ITEMREC, DBS_ITEMS, DBS_ITEMS_IN_FOLDER, DBS_FOLDERS_IN_FOLDER}, 'w');
}

static std::vector<LockEntry> MovePacket() {
    return FolderPacket() + Packet({DB_CHANGEENTRYREC, DB_UNIQUEIDSREC}, 'w');
}

// Everything is checked before anything changes; then only ITEMPARENTID of the stored record
// is written, so that another writer's change of other fields is kept.
static DBStatus FolderAddLocked(CDbContext* pdb, uint32_t dwFolderID, const DB_ITEM& item,
                                int64_t* pNewStamp) {
    DBA dbaFolder = 0;
    DBStatus st = FindItemDba(pdb, dwFolderID, &dbaFolder);
    DB_ITEM folder;
    if (st == DBSuccess) {
        st = ItemReadRecordAt(pdb, dbaFolder, &folder);
        st = st == DBDeleted ? DBNotFound : st;
    }
    if (st == DBSuccess && folder.item.type != ITEMTYPE_FOLDER) {
        st = DBFolderRequired;
    }
    DBA dbaItem = 0;
    if (st == DBSuccess) {
        st = FindItemDba(pdb, item.item.itemid, &dbaItem);
    }
    if (st == DBSuccess) {
        st = CheckNotBelow(pdb, folder, item.item.itemid);
    }
    if (st == DBSuccess) {
        st = CheckStamp(pdb, dbaItem, dbaItem == item.dba ? item.stamp : 0);
        st = st == DBDeleted ? DBNotFound : st;
    }
    DB_ITEM stored;
    if (st == DBSuccess) {
        st = ItemReadRecordAt(pdb, dbaItem, &stored);
    }
    if (st == DBSuccess && stored.item.itemparentid != dwFolderID) {
        stored.item.itemparentid = dwFolderID;
        int rc = pdb->MakeCurrent(dbaItem);
        if (rc == S_OKAY) {
            rc = pdb->Write(&stored.item);
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        st = LeaveFolderSets(pdb, dbaItem);
    }
    if (st == DBSuccess) {
        st = JoinSet(pdb, dbaFolder, dbaItem, DBS_ITEMS_IN_FOLDER);
    }
    if (st == DBSuccess && stored.item.type == ITEMTYPE_FOLDER) {
        st = JoinSet(pdb, dbaFolder, dbaItem, DBS_FOLDERS_IN_FOLDER);
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(dbaItem);
        if (rc == S_OKAY && pdb->IsMember(DBS_ITEMS) != S_OKAY) {
            rc = pdb->SetOwnerSystem(DBS_ITEMS);
            if (rc == S_OKAY) {
                rc = pdb->MakeCurrent(dbaItem);
            }
            if (rc == S_OKAY) {
                rc = pdb->Connect(DBS_ITEMS);
            }
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        st = CurrentStampOf(pdb, dbaItem, pNewStamp);
    }
    return st;
}

DBStatus FolderAddItem(CDbContext* pdb, uint32_t dwFolderID, const DB_ITEM& item,
                       int64_t* pNewStamp) {
    CStoreTransaction tx(pdb, "FolderAddItem", FolderPacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = FolderAddLocked(pdb, dwFolderID, item, pNewStamp);
    }
    return tx.Finish(st);
}

DBStatus FolderRemoveItem(CDbContext* pdb, uint32_t dwItemID) {
    CStoreTransaction tx(pdb, "FolderRemoveItem", FolderPacket());
    DBStatus st = tx.Status();
    DBA dba = 0;
    if (st == DBSuccess) {
        st = FindItemDba(pdb, dwItemID, &dba);
    }
    if (st == DBSuccess) {
        st = LeaveFolderSets(pdb, dba);
    }
    return tx.Finish(st);
}

// ---- Destroy --------------------------------------------------------------------------------

// After a slice's commit the locks are asked for again only after this pause: a process that
// waits for them, reading or writing, retries within it (the engine waits at most 16 ms between
// tries), so it takes its turn instead of finding them taken again at once.
static constexpr uint32_t TURN_MS = 20;

static uint32_t s_dwSliceUnitMs = 1000;
static uint32_t s_dwSliceUnits = TRANSACTION_PAUSE_SECONDS;

void SetDestroySlice(uint32_t dwUnitMs, uint32_t dwUnits) {
    s_dwSliceUnitMs = dwUnitMs > 0 ? dwUnitMs : 1;
    s_dwSliceUnits = dwUnits;
}

static std::vector<LockEntry> DestroyPacket() {
    return Packet({DB_ITEMREC, DBS_ITEMS, DBS_OWNS_ITEM, DB_FOLDERREC, DB_REPOSITORYREC,
                   DBS_ATTACHMENTS, DB_ATTACHREC, DB_ITEMREFREC, DBS_ITEMS_REFERENCED,
                   DBS_ITEM_REFERENCERS, DBS_ITEMS_IN_FOLDER, DBS_FOLDERS_IN_FOLDER, DB_UNREADREC,
                   DB_CHANGEENTRYREC, DB_UNIQUEIDSREC, DB_BOARDREC, DB_USERREC, DBS_USERS},
                  'w') +
           VarStringPacket('w');
}

// One run of the tree destroy: its transaction slices and what they must settle before each
// commit.
class CTreeDestroy {
  public:
    CTreeDestroy(CDbContext* pdb, ChangeNotifier pfnNotifier, BOARD_OBJECT* hbrd)
        : m_pdb(pdb), m_pfnNotifier(pfnNotifier), m_hbrd(hbrd), m_cKept(QueuedEvents(hbrd)) {}

    DBStatus Run(const DB_ITEM& top);

  private:
    DBStatus Begin();
    DBStatus Commit();
    bool SliceDue() const;
    DBStatus DestroyOne(DBA dba);
    DBStatus ReleaseRepository(DBA dbaAttach, const qn::dbms::db_attachrec& attach);
    DBStatus RepositoryShared(DBA dbaAttach, const qn::dbms::db_attachrec& attach, bool* pfShared);
    DBStatus ClearSlots();

    CDbContext* m_pdb;
    ChangeNotifier m_pfnNotifier;
    BOARD_OBJECT* m_hbrd;
    size_t m_cKept;  // events queued up to the last commit
    bool m_fOwn = false;
    uint32_t m_dwSliceStart = 0;
    std::unordered_set<DBA> m_destroyed;  // items of the current slice, for the slots
    // The current user's record as this slice rewrote it (its holder follows at the commit).
    bool m_fUserWritten = false;
    qn::dbms::db_userrec m_user{};
    int64_t m_userStampBefore = 0, m_userStampAfter = 0;
};

DBStatus CTreeDestroy::Begin() {
    m_fOwn = !m_pdb->InTransaction();
    if (m_fOwn) {
        int rc = m_pdb->Begin("ItemDestroyTree");
        if (rc != S_OKAY) {
            m_fOwn = false;
            return MapEngineStatus(rc);
        }
    }
    DBStatus st = RequestLocks(m_pdb, DestroyPacket());
    if (st != DBSuccess && m_fOwn) {
        m_pdb->Abort();
        m_fOwn = false;
    }
    // The slice is the time of work under the locks, not of waiting for them.
    m_dwSliceStart = QNGetTickCount();
    return st;
}

DBStatus CTreeDestroy::Commit() {
    DBStatus st = ClearSlots();
    if (!m_fOwn) {
        return st;
    }
    m_fOwn = false;
    if (st != DBSuccess) {
        m_pdb->Abort();
        return st;
    }
    int rc = m_pdb->End();
    if (rc != S_OKAY) {
        m_pdb->Abort();
        return MapEngineStatus(rc);
    }
    m_cKept = QueuedEvents(m_hbrd);
    m_destroyed.clear();
    if (m_fUserWritten && m_hbrd->hCurrentUser != nullptr) {
        UserHolder& holder = m_hbrd->hCurrentUser->holder;
        std::memcpy(holder.rec.useritems, m_user.useritems, sizeof holder.rec.useritems);
        if (holder.stamp == m_userStampBefore) {
            holder.stamp = m_userStampAfter;
        }
    }
    m_fUserWritten = false;
    return DBSuccess;
}

bool CTreeDestroy::SliceDue() const {
    if (!m_fOwn) {
        return false;  // the caller's transaction is the caller's to commit
    }
    const uint32_t dwNow = QNGetTickCount();
    return dwNow / s_dwSliceUnitMs - m_dwSliceStart / s_dwSliceUnitMs > s_dwSliceUnits;
}

// A slot that names an item destroyed in this slice is emptied in the same transaction.
DBStatus CTreeDestroy::ClearSlots() {
    if (m_destroyed.empty()) {
        return DBSuccess;
    }
    // The slots are a packed record field: read and written with memcpy.
    auto clear = [&](void* pvSlots) {
        auto* pb = static_cast<unsigned char*>(pvSlots);
        bool fChanged = false;
        for (size_t i = 0; i < 16; ++i) {
            DBA dba = 0;
            std::memcpy(&dba, pb + i * sizeof dba, sizeof dba);
            if (dba != 0 && m_destroyed.count(dba) != 0) {
                dba = 0;
                std::memcpy(pb + i * sizeof dba, &dba, sizeof dba);
                fChanged = true;
            }
        }
        return fChanged;
    };
    int rc = m_pdb->ScanFirst(DB_BOARDREC);
    if (rc == S_OKAY) {
        qn::dbms::db_boardrec board{};
        rc = m_pdb->Read(&board);
        if (rc == S_OKAY && clear(board.boarditems)) {
            rc = m_pdb->Write(&board);
        }
    } else if (rc == S_NOTFOUND) {
        rc = S_OKAY;
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    const DBA dbaCurrent =
        m_hbrd != nullptr && m_hbrd->hCurrentUser != nullptr ? m_hbrd->hCurrentUser->holder.dba : 0;
    rc = m_pdb->SetOwnerSystem(DBS_USERS);
    for (rc = rc == S_OKAY ? m_pdb->FindFirst(DBS_USERS) : rc; rc == S_OKAY;
         rc = m_pdb->FindNext(DBS_USERS)) {
        qn::dbms::db_userrec user{};
        DBA dba = 0;
        uint64_t stampBefore = 0;
        rc = m_pdb->Read(&user);
        if (rc == S_OKAY) {
            rc = m_pdb->CurrentDba(&dba);
        }
        if (rc == S_OKAY) {
            rc = m_pdb->CurrentStamp(&stampBefore);
        }
        if (rc != S_OKAY || !clear(user.useritems)) {
            if (rc != S_OKAY) {
                break;
            }
            continue;
        }
        rc = m_pdb->Write(&user);
        uint64_t stampAfter = 0;
        if (rc == S_OKAY) {
            rc = m_pdb->CurrentStamp(&stampAfter);
        }
        if (rc == S_OKAY && dba == dbaCurrent) {
            m_fUserWritten = true;
            m_user = user;
            m_userStampBefore = static_cast<int64_t>(stampBefore);
            m_userStampAfter = static_cast<int64_t>(stampAfter);
        }
        if (rc != S_OKAY) {
            break;
        }
    }
    return rc == S_EOS ? DBSuccess : MapEngineStatus(rc);
}

// Older catalogs let copies share one repository record; it goes with the last attachment that
// names it. Attachments sharing a record share its location, and so their repository key.
DBStatus CTreeDestroy::RepositoryShared(DBA dbaAttach, const qn::dbms::db_attachrec& attach,
                                        bool* pfShared) {
    *pfShared = false;
    const auto key = attach.attreposkey;
    const bool fKeyed = key.attreposresourceid != 0 || key.attreposcrc != 0;
    int rc = fKeyed ? m_pdb->KeyFind(ATTREPOSKEY, &key) : m_pdb->ScanFirst(DB_ATTACHREC);
    while (rc == S_OKAY) {
        qn::dbms::db_attachrec other{};
        DBA dba = 0;
        rc = m_pdb->Read(&other);
        if (rc == S_OKAY) {
            rc = m_pdb->CurrentDba(&dba);
        }
        if (rc != S_OKAY) {
            break;
        }
        if (fKeyed && (other.attreposkey.attreposresourceid != key.attreposresourceid ||
                       other.attreposkey.attreposcrc != key.attreposcrc)) {
            break;
        }
        if (dba != dbaAttach && other.attrepository == attach.attrepository) {
            *pfShared = true;
            return DBSuccess;
        }
        rc = fKeyed ? m_pdb->KeyNext(ATTREPOSKEY) : m_pdb->ScanNext(DB_ATTACHREC);
    }
    return rc == S_NOTFOUND || rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
}

DBStatus CTreeDestroy::ReleaseRepository(DBA dbaAttach, const qn::dbms::db_attachrec& attach) {
    bool fShared = false;
    DBStatus st = RepositoryShared(dbaAttach, attach, &fShared);
    if (st != DBSuccess || fShared) {
        return st;
    }
    qn::dbms::db_repositoryrec repos{};
    int rc = m_pdb->MakeCurrent(attach.attrepository);
    if (rc == S_OKAY) {
        rc = m_pdb->Read(&repos);
    }
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBSuccess;  // gone already
    }
    if (rc == S_OKAY) {
        rc = m_pdb->DisconnectAllAndDelete();
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    for (DBA dba :
         {repos.repositorylocationinfo, repos.repositorypolicyinfo, repos.repositoryprivateinfo}) {
        VarStringHolder holder;
        holder.dba = dba;
        st = VarStringWrite(&holder, m_pdb, 0);
        if (st != DBSuccess && st != DBDeleted) {
            return st;
        }
    }
    return DBSuccess;
}

DBStatus CTreeDestroy::DestroyOne(DBA dba) {
    DB_ITEM item;
    DBStatus st = ItemReadRecordAt(m_pdb, dba, &item);
    if (st == DBSuccess) {
        st = RefsDropForDestroy(m_pdb, item, m_hbrd);
    }
    // Its attachments (one, unless the catalog is damaged) with their repository records.
    while (st == DBSuccess) {
        int rc = m_pdb->MakeCurrent(dba);
        if (rc == S_OKAY) {
            rc = m_pdb->SetOwnerCurrent(DBS_ATTACHMENTS);
        }
        if (rc == S_OKAY) {
            rc = m_pdb->FindFirst(DBS_ATTACHMENTS);
        }
        if (rc == S_EOS) {
            break;
        }
        qn::dbms::db_attachrec attach{};
        DBA dbaAttach = 0;
        if (rc == S_OKAY) {
            rc = m_pdb->Read(&attach);
        }
        if (rc == S_OKAY) {
            rc = m_pdb->CurrentDba(&dbaAttach);
        }
        st = MapEngineStatus(rc);
        if (st == DBSuccess && attach.attrepository != 0) {
            st = ReleaseRepository(dbaAttach, attach);
        }
        if (st == DBSuccess) {
            st = MapEngineStatus(m_pdb->DeleteAt(dbaAttach));
        }
    }
    if (st == DBSuccess && item.item.folderstruct != 0) {
        int rc = m_pdb->DeleteAt(item.item.folderstruct);
        st = rc == S_DELETED || rc == S_INVADDR ? DBSuccess : MapEngineStatus(rc);
    }
    for (DBA dbaText : {item.item.itemnote, item.item.itemextendedinfo, item.item.iteminstructions,
                        item.item.itemkeywords, item.item.itemsubscribers}) {
        if (st != DBSuccess) {
            break;
        }
        VarStringHolder holder;
        holder.dba = dbaText;
        st = VarStringWrite(&holder, m_pdb, 0);
        st = st == DBDeleted ? DBSuccess : st;
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(m_pdb->DeleteAt(dba));
    }
    if (st == DBSuccess) {
        st = WriteChangeEntry(m_pdb, &item, nullptr, m_pfnNotifier, EX_CHANGE_DESTROYED, m_hbrd);
    }
    if (st == DBSuccess) {
        m_destroyed.insert(dba);
    }
    return st;
}

DBStatus CTreeDestroy::Run(const DB_ITEM& top) {
    DBStatus st = Begin();
    if (st == DBSuccess) {
        st = CheckStamp(m_pdb, top.dba, top.stamp);
        if (st == DBSuccess) {
            int32_t nType = 0;
            int rc = m_pdb->CurrentType(&nType);
            st = rc != S_OKAY ? MapEngineStatus(rc)
                              : (nType != DB_ITEMREC ? DBUnexpectedRecordType : DBSuccess);
        }
    }
    // Depth first: a folder's first child goes (with everything below it) before the next one
    // is taken, and the folder when it has none left.
    std::vector<DBA> path;
    std::unordered_set<DBA> onPath;
    if (st == DBSuccess) {
        path.push_back(top.dba);
        onPath.insert(top.dba);
    }
    while (st == DBSuccess && !path.empty()) {
        const DBA dba = path.back();
        int rc = m_pdb->MakeCurrent(dba);
        if (rc == S_DELETED && path.size() > 1) {
            // Another process took it between two slices.
            onPath.erase(dba);
            path.pop_back();
            continue;
        }
        if (rc == S_OKAY) {
            rc = m_pdb->SetOwnerCurrent(DBS_ITEMS_IN_FOLDER);
        }
        if (rc == S_OKAY) {
            rc = m_pdb->FindFirst(DBS_ITEMS_IN_FOLDER);
        }
        if (rc == S_EOS) {
            st = DestroyOne(dba);
            onPath.erase(dba);
            path.pop_back();
            continue;
        }
        DBA dbaChild = 0;
        if (rc == S_OKAY) {
            rc = m_pdb->CurrentDba(&dbaChild);
        }
        st = MapEngineStatus(rc);
        if (st == DBSuccess && !onPath.insert(dbaChild).second) {
            st = DBSetScanEnded;  // a folder that holds one of its own ancestors
        }
        if (st == DBSuccess && SliceDue()) {
            // Another process gets its turn; the walk goes on from what is stored then.
            onPath.erase(dbaChild);
            st = Commit();
            if (st == DBSuccess) {
                std::this_thread::sleep_for(std::chrono::milliseconds(TURN_MS));
                st = Begin();
            }
            continue;
        }
        if (st == DBSuccess) {
            path.push_back(dbaChild);
        }
    }
    if (st == DBSuccess) {
        return Commit();
    }
    if (m_fOwn) {
        m_pdb->Abort();
        m_fOwn = false;
    }
    DropEventsAfter(m_hbrd, m_cKept);
    return st;
}

DBStatus ItemDestroyTree(CDbContext* pdb, const DB_ITEM& top, ChangeNotifier pfnNotifier,
                         BOARD_OBJECT* hbrd) {
    CTreeDestroy run(pdb, pfnNotifier, hbrd);
    return run.Run(top);
}

// ---- Copy -----------------------------------------------------------------------------------

namespace {

struct CopyNode {
    DBA dba;
    int32_t nParent;  // index of the parent's node; -1 for the copied item
};

}  // namespace

// The subtree as it is before the first copy: a target inside it never meets its own copies.
// Parents come before their children, a folder's children in name order, each folder child
// followed by its own subtree.
static DBStatus SnapshotTree(CDbContext* pdb, DBA dbaSource, std::vector<CopyNode>* pNodes) {
    std::vector<CopyNode> pending = {{dbaSource, -1}};
    std::unordered_set<DBA> seen = {dbaSource};
    std::vector<DBA> children;
    while (!pending.empty()) {
        const CopyNode node = pending.back();
        pending.pop_back();
        DB_ITEM item;
        DBStatus st = ItemReadRecordAt(pdb, node.dba, &item);
        if (st != DBSuccess) {
            return st;
        }
        const auto nIndex = static_cast<int32_t>(pNodes->size());
        pNodes->push_back(node);
        if (item.item.type != ITEMTYPE_FOLDER) {
            continue;
        }
        children.clear();
        st = SetMembers(pdb, node.dba, DBS_ITEMS_IN_FOLDER, &children);
        if (st != DBSuccess) {
            return st;
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            if (seen.insert(*it).second) {
                pending.push_back({*it, nIndex});
            }
        }
    }
    return DBSuccess;
}

// A stored item made ready to be created again as a copy: nothing of its stored addresses is
// kept, so that the copy gets its own strings, folder, attachment and repository records.
static void MakeCopyOf(DB_ITEM* pItem, const DB_ITEM& tmpl) {
    pItem->item.uidowner = tmpl.item.uidowner;
    pItem->item.uidlastmodified = tmpl.item.uidlastmodified;
    pItem->item.tmlastmodified = tmpl.item.tmlastmodified;
    pItem->item.attributes = static_cast<uint16_t>(pItem->item.attributes & ~EX_ATTR_REFERENCED);
    pItem->item.folderstruct = 0;
    pItem->dba = 0;
    pItem->stamp = 0;
    pItem->dbaFolder = 0;
    pItem->stampFolder = 0;
    pItem->dbaRepos = 0;
    pItem->stampRepos = 0;
    pItem->attach.attrepository = 0;
    pItem->dwFieldFlags = 0;
    pItem->dwRefTag = 0;
    for (VarStringHolder* p :
         {&pItem->vsiNote, &pItem->vsiExtendedInfo, &pItem->vsiInstructions, &pItem->vsiKeywords,
          &pItem->vsiSubscribers, &pItem->vsiReposLocation, &pItem->vsiReposPolicy,
          &pItem->vsiReposPrivate}) {
        p->dba = 0;
        p->stamp = 0;
    }
}

DBStatus DBItemCopy(CDbContext* pdb, uint32_t dwSourceID, uint32_t dwTargetID, const DB_ITEM& tmpl,
                    BOARD_OBJECT* hbrd) {
    CStoreTransaction tx(pdb, "DBItemCopy", ItemWritePacket());
    DBStatus st = tx.Status();
    DBA dbaTarget = 0;
    if (st == DBSuccess) {
        st = FindItemDba(pdb, dwTargetID, &dbaTarget);
    }
    if (st == DBSuccess) {
        DB_ITEM target;
        st = ItemReadRecordAt(pdb, dbaTarget, &target);
        st = st == DBDeleted ? DBNotFound : st;
        if (st == DBSuccess && target.item.type != ITEMTYPE_FOLDER) {
            st = DBFolderRequired;
        }
    }
    DBA dbaSource = 0;
    if (st == DBSuccess) {
        st = FindItemDba(pdb, dwSourceID, &dbaSource);
    }
    std::vector<CopyNode> nodes;
    if (st == DBSuccess) {
        st = SnapshotTree(pdb, dbaSource, &nodes);
    }
    std::vector<uint32_t> newIDs(nodes.size());
    for (size_t i = 0; st == DBSuccess && i < nodes.size(); ++i) {
        DB_ITEM item;
        st = ItemReadRecordAt(pdb, nodes[i].dba, &item);
        if (st == DBSuccess) {
            st = ItemReadParts(pdb, &item, 0);
        }
        if (st != DBSuccess) {
            break;
        }
        MakeCopyOf(&item, tmpl);
        item.item.itemid = 0;  // the store chooses the copy's id
        item.item.itemparentid =
            nodes[i].nParent < 0 ? dwTargetID : newIDs[size_t(nodes[i].nParent)];
        st = ItemCreateLocked(pdb, &item, ItemCopyNotifier, hbrd);
        newIDs[i] = item.item.itemid;
    }
    return tx.Finish(st);
}

// ---- To folder ------------------------------------------------------------------------------

// The item as a folder with a folder record of its own, in the store and in *pResult (a copy of
// the view with the stored record); the view itself is left as it was.
static DBStatus ItemToFolder(BOARD_OBJECT* hbrd, const DB_ITEM& view, DB_ITEM* pResult) {
    CDbContext* pdb = hbrd->pdb;
    CStoreTransaction tx(pdb, "ItemToFolder",
                         Packet({DB_ITEMREC, DB_FOLDERREC, DBS_FOLDERS_IN_FOLDER, DB_CHANGEENTRYREC,
                                 DB_UNIQUEIDSREC},
                                'w') +
                             Packet({DBS_ITEMS_IN_FOLDER}, 'r'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckStamp(pdb, view.dba, view.stamp);
    }
    DB_ITEM stored;
    if (st == DBSuccess) {
        st = ItemReadRecordAt(pdb, view.dba, &stored);
    }
    DBA dbaParent = 0;
    if (st == DBSuccess) {
        st = stored.item.itemparentid == 0 ? DBNotFound
                                           : FindItemDba(pdb, stored.item.itemparentid, &dbaParent);
    }
    *pResult = view;
    pResult->item = stored.item;
    pResult->stamp = stored.stamp;
    if (!pResult->folder) {
        pResult->folder = qn::dbms::db_folderrec{};
    }
    if (st == DBSuccess) {
        pResult->folder->folderversion = 25;
        int rc = pdb->Create(DB_FOLDERREC, &*pResult->folder);
        uint64_t stamp = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&pResult->dbaFolder);
        }
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(&stamp);
            pResult->stampFolder = stamp;
        }
        if (rc == S_OKAY) {
            pResult->item.type = ITEMTYPE_FOLDER;
            pResult->item.folderstruct = pResult->dbaFolder;
            rc = pdb->MakeCurrent(view.dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Write(&pResult->item);
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(view.dba);
        if (rc == S_OKAY && pdb->IsMember(DBS_FOLDERS_IN_FOLDER) != S_OKAY) {
            st = JoinSet(pdb, dbaParent, view.dba, DBS_FOLDERS_IN_FOLDER);
        } else {
            st = MapEngineStatus(rc);
        }
    }
    if (st == DBSuccess) {
        st = CurrentStampOf(pdb, view.dba, &pResult->stamp);
    }
    if (st == DBSuccess) {
        st = ChgLogWriteEntry(hbrd, pResult, EX_CHANGE_DESTROYED, 0xFFFFFFFFu);
    }
    if (st == DBSuccess) {
        st = ChgLogWriteEntry(hbrd, pResult, EX_CHANGE_CREATED, AllFieldsMask(*pResult));
    }
    return tx.Finish(st);
}

// ---- Views after a membership change ----------------------------------------------------------

// The handle's copy (and the entry's, when it was read with the same stamp) takes the new parent
// and stamp, so that its next write is not refused for a change that was its own.
static void TakeNewParent(ITEM_OBJECT* hItem, uint32_t dwParentID, int64_t oldStamp,
                          int64_t newStamp) {
    BOARD_OBJECT* hbrd = hItem->hBoard;
    CItemEntry* pEntry = hItem->ItemEntry;
    auto update = [&](DB_ITEM* p) {
        if (p->stamp == oldStamp) {
            p->item.itemparentid = dwParentID;
            p->stamp = newStamp;
        }
    };
    if (pEntry != nullptr) {
        hbrd->pNotify->m_map.BeginChange(pEntry);
        update(&pEntry->m_item);
        hbrd->pNotify->m_map.EndChange(pEntry);
    }
    if (HasPrivateCopy(hItem)) {
        update(hItem->pdbItem);
    }
}

// ---- Operations -------------------------------------------------------------------------------

static ITEM_OBJECT* Destroy(ITEM_OBJECT* hItem, EXSM_STATUS* st) {
    if (!CheckItemHandle(hItem, "hItem")) {
        *st = EXSM_INVALID_HANDLE;
        return hItem;
    }
    if (hItem->pdbItem->item.itemid == 1) {
        *st = EXSM_ACCESS_DENIED;
        return hItem;
    }
    BOARD_OBJECT* hbrd = hItem->hBoard;
    // Read before the send: a list's handle goes with its slot when the delivery reaches it.
    const bool fListOwned = hItem->fIteratorOwned != 0;
    DBStatus dbs = ItemDestroyTree(hbrd->pdb, *hItem->pdbItem, ChangeEntryNotifier, hbrd);
    // What committed is delivered, all of it or the slices before a failure.
    EXNotifySendDeferred(hbrd);
    if (dbs != DBSuccess) {
        SetStatus(st, dbs == DBDeleted ? DBNotFound : dbs);
        return hItem;
    }
    if (!fListOwned && IsLiveItem(hItem)) {
        FreeHandle(hItem);
    }
    return nullptr;
}

static void Copy(ITEM_OBJECT* hItem, ITEM_OBJECT* hTarget, EXSM_STATUS* st) {
    if (!CheckItemHandle(hItem, "hItem") || !CheckItemHandle(hTarget, "hitemFolder")) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    BOARD_OBJECT* hbrd = hItem->hBoard;
    if (hTarget->hBoard != hbrd) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    DB_ITEM tmpl;
    tmpl.item = hItem->pdbItem->item;
    tmpl.item.uidowner = 0;
    tmpl.item.uidlastmodified = CurrentUserID(hbrd);
    tmpl.item.tmlastmodified = static_cast<uint32_t>(std::time(nullptr));
    const size_t cKept = QueuedEvents(hbrd);
    DBStatus dbs = DBItemCopy(hbrd->pdb, hItem->pdbItem->item.itemid, hTarget->pdbItem->item.itemid,
                              tmpl, hbrd);
    if (dbs != DBSuccess) {
        DropEventsAfter(hbrd, cKept);
        SetStatus(st, dbs);
        return;
    }
    EXNotifySendDeferred(hbrd);
    CheckMemoryUsage(hbrd);
}

static void SetParent(ITEM_OBJECT* hItem, ITEM_OBJECT* hParent, EXSM_STATUS* st) {
    if (!CheckItemHandle(hItem, "hItem") || !CheckItemHandle(hParent, "Parent") ||
        hParent->hBoard != hItem->hBoard) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    BOARD_OBJECT* hbrd = hItem->hBoard;
    CDbContext* pdb = hbrd->pdb;
    const uint32_t dwParentID = hParent->pdbItem->item.itemid;
    const uint32_t dwItemID = hItem->pdbItem->item.itemid;
    const int64_t oldStamp = hItem->pdbItem->stamp;
    int64_t newStamp = 0;
    DB_ITEM moved = *hItem->pdbItem;
    moved.item.itemparentid = dwParentID;
    // The remove, the add and both entries commit together, or none of them.
    CStoreTransaction tx(pdb, "ItemSetParent", MovePacket());
    DBStatus dbs = tx.Status();
    if (dbs == DBSuccess) {
        dbs = FolderAddLocked(pdb, dwParentID, *hItem->pdbItem, &newStamp);
    }
    if (dbs == DBSuccess) {
        dbs = ChgLogWriteEntry(hbrd, &moved, EX_CHANGE_MODIFIED, ITEMFIELDS_PARENT);
    }
    if (dbs == DBSuccess) {
        dbs = ChgLogWriteEntry(hbrd, &moved, EX_CHANGE_CREATED, AllFieldsMask(moved));
    }
    dbs = tx.Finish(dbs);
    if (dbs != DBSuccess) {
        SetStatus(st, dbs);
        return;
    }
    TakeNewParent(hItem, dwParentID, oldStamp, newStamp);
    // Lists of the old folder drop the item, then lists of the new one take it.
    EXNotifyDeliver(hbrd, FindEntry(hbrd, dwItemID), nullptr, EX_CHANGE_MODIFIED,
                    ITEMFIELDS_PARENT);
    if (CItemEntry* pEntry = FindEntry(hbrd, dwItemID)) {
        EXNotifyDeliver(hbrd, pEntry, nullptr, EX_CHANGE_CREATED, AllFieldsMask(pEntry->m_item));
    }
    EXNotifySendDeferred(hbrd);
}

static void ToFolder(ITEM_OBJECT* hItem, EXSM_STATUS* st) {
    if (!CheckItemHandle(hItem, "hItem")) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    if (hItem->pdbItem->item.type == ITEMTYPE_FOLDER) {
        return;
    }
    BOARD_OBJECT* hbrd = hItem->hBoard;
    DB_ITEM result;
    DBStatus dbs = ItemToFolder(hbrd, *hItem->pdbItem, &result);
    if (dbs != DBSuccess) {
        SetStatus(st, dbs == DBDeleted ? DBNotFound : dbs);
        return;
    }
    const uint32_t dwItemID = result.item.itemid;
    const bool fListOwned = hItem->fIteratorOwned != 0;
    EX_ITEMNOTIFIER pfnRoutine =
        hItem->pNotifier != nullptr ? hItem->pNotifier->m_pfnRoutine : DefaultRoutine(hbrd);
    uintptr_t ulValue =
        hItem->pNotifier != nullptr ? hItem->pNotifier->m_ulValue : DefaultValue(hbrd);
    // Every list shows the item anew: its entry goes with the Destroyed delivery, and the
    // Created one comes from an entry read again by id.
    EXNotifyDeliver(hbrd, hItem->ItemEntry, nullptr, EX_CHANGE_DESTROYED, 0xFFFFFFFFu);
    DB_ITEM fresh;
    dbs = ItemFindByID(hbrd->pdb, dwItemID, &fresh);
    if (dbs != DBSuccess) {
        EXNotifySendDeferred(hbrd);
        SetStatus(st, dbs == DBDeleted ? DBNotFound : dbs);
        return;
    }
    CItemEntry* pEntry = PutEntry(hbrd, fresh);
    if (!fListOwned && IsLiveItem(hItem) && hItem->ItemEntry == nullptr) {
        // The caller's handle goes on with the item, as a folder.
        hItem->pNotifier = nullptr;
        if (hItem->pdbItem != nullptr) {
            Reclaim(hItem->pdbItem);
        }
        AttachToEntry(hItem, pEntry, pfnRoutine, ulValue, nullptr, -1);
        hItem->fIteratorOwned = 0;
    }
    EXNotifyDeliver(hbrd, pEntry, nullptr, EX_CHANGE_CREATED, AllFieldsMask(pEntry->m_item));
    EXNotifySendDeferred(hbrd);
}

static bool CheckPair(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem) {
    return CheckItemHandle(hFolder, "hFolder") && CheckItemHandle(hItem, "hItem") &&
           hFolder->hBoard == hItem->hBoard;
}

static void FolderAdd(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem, EXSM_STATUS* st) {
    if (!CheckPair(hFolder, hItem)) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    const uint32_t dwFolderID = hFolder->pdbItem->item.itemid;
    const int64_t oldStamp = hItem->pdbItem->stamp;
    int64_t newStamp = 0;
    DBStatus dbs = FolderAddItem(hItem->hBoard->pdb, dwFolderID, *hItem->pdbItem, &newStamp);
    if (dbs != DBSuccess) {
        SetStatus(st, dbs);
        return;
    }
    TakeNewParent(hItem, dwFolderID, oldStamp, newStamp);
}

static void FolderRemove(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem, EXSM_STATUS* st) {
    if (!CheckPair(hFolder, hItem)) {
        *st = EXSM_INVALID_HANDLE;
        return;
    }
    SetStatus(st, FolderRemoveItem(hItem->hBoard->pdb, hItem->pdbItem->item.itemid));
}

}  // namespace catstore

using namespace catstore;

extern "C" ITEM_OBJECT* EXItemDestroy(ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    return RunApi("EXItemDestroy", status, hItem,
                  [&](EXSM_STATUS* st) { return Destroy(hItem, st); });
}

extern "C" void EXItemToFolder(ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    RunApiVoid("EXItemToFolder", status, [&](EXSM_STATUS* st) { ToFolder(hItem, st); });
}

extern "C" void EXItemSetParent(ITEM_OBJECT* hItem, ITEM_OBJECT* hNewParent, EXSM_STATUS* status) {
    RunApiVoid("EXItemSetParent", status,
               [&](EXSM_STATUS* st) { SetParent(hItem, hNewParent, st); });
}

extern "C" void EXItemCopy(ITEM_OBJECT* hItem, ITEM_OBJECT* hTarget, EXSM_STATUS* status) {
    RunApiVoid("EXItemCopy", status, [&](EXSM_STATUS* st) { Copy(hItem, hTarget, st); });
}

extern "C" void EXFolderAddItem(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    RunApiVoid("EXFolderAddItem", status, [&](EXSM_STATUS* st) { FolderAdd(hFolder, hItem, st); });
}

extern "C" void EXFolderRemoveItem(ITEM_OBJECT* hFolder, ITEM_OBJECT* hItem, EXSM_STATUS* status) {
    RunApiVoid("EXFolderRemoveItem", status,
               [&](EXSM_STATUS* st) { FolderRemove(hFolder, hItem, st); });
}
