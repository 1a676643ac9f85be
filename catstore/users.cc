// Users, groups, their lists and unique ids.
#include "users.h"

#include <cstring>
#include <memory>

#include "config.h"
#include "exstring.h"
#include "frame.h"
#include "items.h"
#include "locks.h"
#include "platform/liveobjects.h"
#include "trace.h"

namespace catstore {

using qn::platform::ObjectKind;

// ---- Set helpers -------------------------------------------------------------------------------

// Disconnects and deletes each record; stops at the first failure.
static DBStatus DeleteRecords(CDbContext* pdb, const std::vector<DBA>& records) {
    for (DBA dba : records) {
        DBStatus st = MapEngineStatus(pdb->DeleteAt(dba));
        if (st != DBSuccess) {
            return st;
        }
    }
    return DBSuccess;
}

// The members of a set owned by dbaOwner (0: the system record), in set order.
DBStatus CollectMembers(CDbContext* pdb, int32_t nSet, DBA dbaOwner, std::vector<DBA>* pMembers) {
    pMembers->clear();
    int rc;
    if (dbaOwner == 0) {
        rc = pdb->SetOwnerSystem(nSet);
    } else {
        rc = pdb->MakeCurrent(dbaOwner);
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(nSet);
        }
    }
    if (rc != S_OKAY) {
        return rc == S_DELETED || rc == S_INVADDR ? DBDeleted : MapEngineStatus(rc);
    }
    for (rc = pdb->FindFirst(nSet); rc == S_OKAY; rc = pdb->FindNext(nSet)) {
        DBA dba = 0;
        rc = pdb->CurrentDba(&dba);
        if (rc != S_OKAY) {
            break;
        }
        pMembers->push_back(dba);
    }
    return rc == S_EOS ? DBSuccess : (rc == S_OKAY ? DBSuccess : DBSetScanEnded);
}

// The owner, in nSet, of the record at dbaMember.
DBStatus OwnerOf(CDbContext* pdb, int32_t nSet, DBA dbaMember, DBA* pdbaOwner) {
    *pdbaOwner = 0;
    int rc = pdb->MakeCurrent(dbaMember);
    if (rc == S_OKAY) {
        rc = pdb->SetMemberCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->FindOwner(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(pdbaOwner);
    }
    return rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
}

// ---- Unique ids --------------------------------------------------------------------------------

static DBStatus FindUniqueIds(CDbContext* pdb) {
    if (pdb->dbaUniqueIds != 0) {
        int rc = pdb->MakeCurrent(pdb->dbaUniqueIds);
        int32_t nType = 0;
        if (rc == S_OKAY && pdb->CurrentType(&nType) == S_OKAY && nType == DB_UNIQUEIDSREC) {
            return DBSuccess;
        }
        pdb->dbaUniqueIds = 0;
    }
    int rc = pdb->ScanFirst(DB_UNIQUEIDSREC);
    if (rc != S_OKAY) {
        return rc == S_EOS || rc == S_NOTFOUND ? DBNotFound : MapEngineStatus(rc);
    }
    rc = pdb->CurrentDba(&pdb->dbaUniqueIds);
    return rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
}

DBStatus CreateUniqueIds(CDbContext* pdb) {
    CStoreTransaction tx(pdb, "Board Unique ID Write/Create",
                         Packet({DB_BOARDREC, DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        db_uniqueidsrec rec{};
        rec.uniqueidsversion = 25;
        int rc = pdb->Create(DB_UNIQUEIDSREC, &rec);
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&pdb->dbaUniqueIds);
        }
        st = rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
    }
    return tx.Finish(st);
}

static DBStatus AllocateInside(CDbContext* pdb, IdKind kind, uint32_t cIds, uint32_t dwWish,
                               uint32_t* pdwFirst) {
    DBStatus st = FindUniqueIds(pdb);
    if (st != DBSuccess) {
        return st;
    }
    db_uniqueidsrec rec{};
    int rc = pdb->Read(&rec);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    uint32_t dwCounter = kind == IdKind::User    ? rec.uniqueidsprevuserid
                         : kind == IdKind::Group ? rec.uniqueidsprevgroupid
                                                 : rec.uniqueidsprevresourceid;
    uint32_t dwLimit = kind == IdKind::Resource ? 0xFFFFFFFFu : 0xFFFFu;
    uint32_t dwFirst = dwCounter < dwWish ? dwWish : dwCounter + 1;
    uint64_t qwLast = static_cast<uint64_t>(dwFirst) + cIds - 1;
    if (dwFirst == 0 || qwLast > dwLimit) {
        return DBDuplicate;  // the id space is used up
    }
    uint32_t dwLast = static_cast<uint32_t>(qwLast);
    if (kind == IdKind::User) {
        rec.uniqueidsprevuserid = static_cast<uint16_t>(dwLast);
    } else if (kind == IdKind::Group) {
        rec.uniqueidsprevgroupid = static_cast<uint16_t>(dwLast);
    } else {
        rec.uniqueidsprevresourceid = dwLast;
    }
    rc = pdb->Write(&rec);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    *pdwFirst = dwFirst;
    return DBSuccess;
}

DBStatus ReserveId(CDbContext* pdb, IdKind kind, uint32_t dwId) {
    DBStatus st = FindUniqueIds(pdb);
    if (st != DBSuccess) {
        return st;
    }
    db_uniqueidsrec rec{};
    int rc = pdb->Read(&rec);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    bool fRaise = false;
    if (kind == IdKind::User && rec.uniqueidsprevuserid < dwId) {
        rec.uniqueidsprevuserid = static_cast<uint16_t>(dwId);
        fRaise = true;
    } else if (kind == IdKind::Group && rec.uniqueidsprevgroupid < dwId) {
        rec.uniqueidsprevgroupid = static_cast<uint16_t>(dwId);
        fRaise = true;
    } else if (kind == IdKind::Resource && rec.uniqueidsprevresourceid < dwId) {
        rec.uniqueidsprevresourceid = dwId;
        fRaise = true;
    }
    return fRaise ? MapEngineStatus(pdb->Write(&rec)) : DBSuccess;
}

DBStatus CreateWithId(CDbContext* pdb, IdKind kind, int32_t nRecType, void* pRecord,
                      uint32_t* pdwId, const std::function<void(uint32_t)>& setId) {
    if (*pdwId != 0) {
        // A wished id: the counter moves past it, so that later ids never collide with it.
        int rc = pdb->Create(nRecType, pRecord);
        if (rc == S_DUPLICATE) {
            return DBDuplicate;
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        DBA dba = 0;
        pdb->CurrentDba(&dba);
        DBStatus st = ReserveId(pdb, kind, *pdwId);
        if (st == DBSuccess) {
            st = MapEngineStatus(pdb->MakeCurrent(dba));
        }
        return st;
    }
    // An allocated id that an earlier wished id already took is skipped.
    for (int nTry = 0; nTry < 1000; ++nTry) {
        DBStatus st = AllocateIds(pdb, kind, 1, 0, pdwId);
        if (st != DBSuccess) {
            return st;
        }
        setId(*pdwId);
        int rc = pdb->Create(nRecType, pRecord);
        if (rc != S_DUPLICATE) {
            return MapEngineStatus(rc);
        }
    }
    return DBDuplicate;
}

DBStatus AllocateIds(CDbContext* pdb, IdKind kind, uint32_t cIds, uint32_t dwWish,
                     uint32_t* pdwFirst) {
    if (cIds == 0) {
        ReportAssertion("ulNumIds != 0", ".\\DBBOARD");
        return DBBadArgument;
    }
    if (pdb->InTransaction()) {
        return AllocateInside(pdb, kind, cIds, dwWish, pdwFirst);
    }
    CStoreTransaction tx(pdb, "Unique IDs", Packet({DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = AllocateInside(pdb, kind, cIds, dwWish, pdwFirst);
    }
    return tx.Finish(st);
}

// ---- User store routines -------------------------------------------------------------------

static std::vector<LockEntry> UserWritePacket() {
    return Packet({DB_USERREC, DBS_USERS}, 'w') + VarStringPacket('w');
}

static std::vector<LockEntry> UserReadPacket() {
    return Packet({DB_USERREC}, 'r') + VarStringPacket('r');
}

// Reads the current user record with its shadow data.
static DBStatus ReadUserHere(CDbContext* pdb, UserHolder* pHolder) {
    DBStatus st = ReadCurrent(pdb, DB_USERREC, pHolder);
    if (st == DBSuccess) {
        pHolder->var.dba = pHolder->rec.usershadowdata;
        pHolder->var.stamp = 0;
        st = VarStringRead(&pHolder->var, pdb);
    }
    return st;
}

static DBStatus ReadGroupHere(CDbContext* pdb, GroupHolder* pHolder) {
    DBStatus st = ReadCurrent(pdb, DB_GROUPREC, pHolder);
    if (st == DBSuccess) {
        pHolder->var.dba = pHolder->rec.groupshadowdata;
        pHolder->var.stamp = 0;
        st = VarStringRead(&pHolder->var, pdb);
    }
    return st;
}

DBStatus UserCreate(CDbContext* pdb, UserHolder* pHolder) {
    CStoreTransaction tx(pdb, "UserCreate", UserWritePacket() + Packet({DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = VarStringWrite(&pHolder->var, pdb, VSK_USERSHADOW);
        pHolder->rec.usershadowdata = pHolder->var.dba;
    }
    if (st == DBSuccess) {
        pHolder->rec.userversion = 25;
        uint32_t dwId = pHolder->rec.userid;
        st = CreateWithId(pdb, IdKind::User, DB_USERREC, &pHolder->rec, &dwId,
                          [&](uint32_t dw) { pHolder->rec.userid = static_cast<uint16_t>(dw); });
        pHolder->rec.userid = static_cast<uint16_t>(dwId);
    }
    if (st == DBSuccess) {
        st = ReadCurrent(pdb, DB_USERREC, pHolder);
        if (st != DBSuccess) {
            st = DBHolderRefreshFailed;
        }
    }
    if (st == DBSuccess) {
        int rc = pdb->SetOwnerSystem(DBS_USERS);
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(pHolder->dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_USERS);
        }
        if (rc == S_OKAY) {
            st = TakeStamp(pdb, pHolder);
        } else {
            st = MapEngineStatus(rc);
        }
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        pHolder->dba = 0;
        pHolder->var.dba = 0;
        pHolder->var.stamp = 0;
    }
    return st;
}

DBStatus UserWrite(CDbContext* pdb, UserHolder* pHolder) {
    CStoreTransaction tx(pdb, "UserWrite", UserWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pHolder, false);
    }
    if (st == DBSuccess) {
        st = VarStringWrite(&pHolder->var, pdb, VSK_USERSHADOW);
        pHolder->rec.usershadowdata = pHolder->var.dba;
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(pHolder->dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&pHolder->rec);
        }
        st = rc == S_DUPLICATE ? DBDuplicate : (rc == S_DELETED ? DBDeleted : MapEngineStatus(rc));
    }
    if (st == DBSuccess) {
        st = TakeStamp(pdb, pHolder);
    }
    return tx.Finish(st);
}

DBStatus UserSetItem(CDbContext* pdb, UserHolder* pHolder, int nSlot, DBA dbaItem) {
    if (nSlot < 0 || nSlot >= 16) {
        return DBItemNotFound;
    }
    CStoreTransaction tx(pdb, "UserSetItem", UserWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pHolder, false);
    }
    if (st == DBSuccess) {
        pHolder->rec.useritems[nSlot] = dbaItem;
        st = VarStringWrite(&pHolder->var, pdb, VSK_USERSHADOW);
        pHolder->rec.usershadowdata = pHolder->var.dba;
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(pHolder->dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&pHolder->rec);
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        st = TakeStamp(pdb, pHolder);
    }
    return tx.Finish(st);
}

DBStatus UserDestroy(CDbContext* pdb, UserHolder* pHolder) {
    CStoreTransaction tx(
        pdb, "UserDestroy",
        Packet({DB_USERREC, DB_USERGROUP, DBS_USERS, DBS_OWNS_ITEM, DBS_USER_GROUPS,
                DBS_USERS_IN_GROUP, DBS_UNREAD_BY_USER, DB_UNREADREC},
               'w') +
            VarStringPacket('w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pHolder, false);
    }
    std::vector<DBA> members;
    if (st == DBSuccess) {
        st = CollectMembers(pdb, DBS_UNREAD_BY_USER, pHolder->dba, &members);
    }
    if (st == DBSuccess) {
        st = DeleteRecords(pdb, members);
    }
    if (st == DBSuccess) {
        st = CollectMembers(pdb, DBS_USER_GROUPS, pHolder->dba, &members);
    }
    if (st == DBSuccess) {
        st = DeleteRecords(pdb, members);
    }
    if (st == DBSuccess) {
        VarStringHolder empty = pHolder->var;
        empty.value.clear();
        st = VarStringWrite(&empty, pdb, VSK_USERSHADOW);
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->DeleteAt(pHolder->dba));
    }
    return tx.Finish(st);
}

static DBStatus UserFindByKey(CDbContext* pdb, int32_t nField, const void* pValue,
                              UserHolder* pHolder) {
    CStoreRead read(pdb, UserReadPacket());
    DBStatus st = read.Status();
    if (st == DBSuccess) {
        int rc = pdb->KeyFind(nField, pValue);
        if (rc == S_NOTFOUND || rc == S_EOS) {
            return DBUserNotFound;
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        st = ReadUserHere(pdb, pHolder);
    }
    return st;
}

DBStatus UserFindByName(CDbContext* pdb, const std::string& strName, UserHolder* pHolder) {
    char achName[32] = {};
    if (!CopyField(achName, sizeof achName, strName)) {
        return DBUserNotFound;
    }
    return UserFindByKey(pdb, USERNAME, achName, pHolder);
}

DBStatus UserFindByID(CDbContext* pdb, uint16_t wUserID, UserHolder* pHolder) {
    return UserFindByKey(pdb, USERID, &wUserID, pHolder);
}

// ---- Group store routines ----------------------------------------------------------------

static std::vector<LockEntry> GroupWritePacket() {
    return Packet({DB_GROUPREC, DBS_GROUPS}, 'w') + VarStringPacket('w');
}

static DBStatus GroupCreate(CDbContext* pdb, GroupHolder* pHolder) {
    CStoreTransaction tx(pdb, "GroupCreate", GroupWritePacket() + Packet({DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = VarStringWrite(&pHolder->var, pdb, VSK_GROUPSHADOW);
        pHolder->rec.groupshadowdata = pHolder->var.dba;
    }
    if (st == DBSuccess) {
        pHolder->rec.groupversion = 25;
        uint32_t dwId = pHolder->rec.groupid;
        st = CreateWithId(pdb, IdKind::Group, DB_GROUPREC, &pHolder->rec, &dwId,
                          [&](uint32_t dw) { pHolder->rec.groupid = static_cast<uint16_t>(dw); });
        pHolder->rec.groupid = static_cast<uint16_t>(dwId);
    }
    if (st == DBSuccess) {
        st =
            ReadCurrent(pdb, DB_GROUPREC, pHolder) == DBSuccess ? DBSuccess : DBHolderRefreshFailed;
    }
    if (st == DBSuccess) {
        int rc = pdb->SetOwnerSystem(DBS_GROUPS);
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(pHolder->dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_GROUPS);
        }
        st = rc == S_OKAY ? TakeStamp(pdb, pHolder) : MapEngineStatus(rc);
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        pHolder->dba = 0;
        pHolder->var.dba = 0;
    }
    return st;
}

static DBStatus GroupWrite(CDbContext* pdb, GroupHolder* pHolder) {
    CStoreTransaction tx(pdb, "GroupWrite", GroupWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pHolder, false);
    }
    if (st == DBSuccess) {
        st = VarStringWrite(&pHolder->var, pdb, VSK_GROUPSHADOW);
        pHolder->rec.groupshadowdata = pHolder->var.dba;
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(pHolder->dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&pHolder->rec);
        }
        st = rc == S_DUPLICATE ? DBDuplicate : (rc == S_DELETED ? DBDeleted : MapEngineStatus(rc));
    }
    if (st == DBSuccess) {
        st = TakeStamp(pdb, pHolder);
    }
    return tx.Finish(st);
}

static DBStatus GroupDestroy(CDbContext* pdb, GroupHolder* pHolder) {
    CStoreTransaction tx(
        pdb, "GroupDestroy",
        GroupWritePacket() + Packet({DB_USERGROUP, DBS_USERS_IN_GROUP, DBS_USER_GROUPS}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pHolder, false);
    }
    std::vector<DBA> links;
    if (st == DBSuccess) {
        st = CollectMembers(pdb, DBS_USERS_IN_GROUP, pHolder->dba, &links);
    }
    if (st == DBSuccess) {
        st = DeleteRecords(pdb, links);
    }
    if (st == DBSuccess) {
        VarStringHolder empty = pHolder->var;
        empty.value.clear();
        st = VarStringWrite(&empty, pdb, VSK_GROUPSHADOW);
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->DeleteAt(pHolder->dba));
    }
    return tx.Finish(st);
}

// The link record joining a user and a group, 0 when none.
static DBStatus FindLink(CDbContext* pdb, DBA dbaUser, DBA dbaGroup, DBA* pdbaLink) {
    *pdbaLink = 0;
    std::vector<DBA> links;
    DBStatus st = CollectMembers(pdb, DBS_USER_GROUPS, dbaUser, &links);
    for (size_t i = 0; st == DBSuccess && i < links.size(); ++i) {
        DBA dbaOwner = 0;
        st = OwnerOf(pdb, DBS_USERS_IN_GROUP, links[i], &dbaOwner);
        if (st == DBSuccess && dbaOwner == dbaGroup) {
            *pdbaLink = links[i];
            break;
        }
    }
    return st;
}

static std::vector<LockEntry> MembershipPacket() {
    return Packet({DB_USERGROUP, DBS_USERS_IN_GROUP, DBS_USER_GROUPS}, 'w') +
           Packet({DB_USERREC, DB_GROUPREC}, 'r');
}

static DBStatus GroupAddUser(CDbContext* pdb, GroupHolder* pGroup, UserHolder* pUser) {
    CStoreTransaction tx(pdb, "GroupAddUser", MembershipPacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pGroup, false);
    }
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pUser, false);
    }
    DBA dbaLink = 0;
    if (st == DBSuccess) {
        st = FindLink(pdb, pUser->dba, pGroup->dba, &dbaLink);
        if (st == DBSuccess && dbaLink != 0) {
            st = DBDuplicateMembership;
        }
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(pUser->dba);
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(DBS_USER_GROUPS);
        }
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(pGroup->dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(DBS_USERS_IN_GROUP);
        }
        db_usergroup link{};
        if (rc == S_OKAY) {
            rc = pdb->Create(DB_USERGROUP, &link);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_USER_GROUPS);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_USERS_IN_GROUP);
        }
        st = MapEngineStatus(rc);
    }
    return tx.Finish(st);
}

static DBStatus GroupRemoveUser(CDbContext* pdb, GroupHolder* pGroup, UserHolder* pUser) {
    CStoreTransaction tx(pdb, "GroupRemoveUser", MembershipPacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pGroup, false);
    }
    if (st == DBSuccess) {
        st = CheckHolder(pdb, pUser, false);
    }
    DBA dbaLink = 0;
    if (st == DBSuccess) {
        st = FindLink(pdb, pUser->dba, pGroup->dba, &dbaLink);
        if (st == DBSuccess && dbaLink == 0) {
            st = DBMembershipNotFound;
        }
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->DeleteAt(dbaLink));
    }
    return tx.Finish(st);
}

static DBStatus GroupFindByKey(CDbContext* pdb, int32_t nField, const void* pValue,
                               GroupHolder* pHolder) {
    CStoreRead read(pdb, Packet({DB_GROUPREC}, 'r') + VarStringPacket('r'));
    DBStatus st = read.Status();
    if (st == DBSuccess) {
        int rc = pdb->KeyFind(nField, pValue);
        if (rc == S_NOTFOUND || rc == S_EOS) {
            return DBGroupNotFound;
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        st = ReadGroupHere(pdb, pHolder);
    }
    return st;
}

// ---- Handles -----------------------------------------------------------------------------------

USER_OBJECT* NewUserObject(BOARD_OBJECT* hbrd, uint32_t cRef) {
    auto h = std::make_unique<USER_OBJECT>();
    h->hBoard = hbrd;
    h->cRef = cRef;
    h->holder.nType = DB_USERREC;
    qn::platform::RegisterLiveObject(h.get(), ObjectKind::User);
    return h.release();
}

void FreeUserObject(USER_OBJECT* hUser) {
    if (hUser != nullptr) {
        qn::platform::UnregisterLiveObject(hUser);
        delete hUser;
    }
}

static GROUP_OBJECT* NewGroupObject(BOARD_OBJECT* hbrd, uint32_t cRef) {
    auto h = std::make_unique<GROUP_OBJECT>();
    h->hBoard = hbrd;
    h->cRef = cRef;
    h->holder.nType = DB_GROUPREC;
    qn::platform::RegisterLiveObject(h.get(), ObjectKind::Group);
    return h.release();
}

static void FreeGroupObject(GROUP_OBJECT* hGroup) {
    if (hGroup != nullptr) {
        qn::platform::UnregisterLiveObject(hGroup);
        delete hGroup;
    }
}

bool IsLiveUser(const USER_OBJECT* hUser) {
    return hUser != nullptr && qn::platform::IsLiveObject(hUser, ObjectKind::User) &&
           IsLiveBoard(hUser->hBoard);
}

bool IsLiveGroup(const GROUP_OBJECT* hGroup) {
    return hGroup != nullptr && qn::platform::IsLiveObject(hGroup, ObjectKind::Group) &&
           IsLiveBoard(hGroup->hBoard);
}

static USER_ITERATOR* NewUserIterator(BOARD_OBJECT* hbrd) {
    auto p = std::make_unique<USER_ITERATOR>();
    p->hBoard = hbrd;
    p->entries.reserve(20);
    qn::platform::RegisterLiveObject(p.get(), ObjectKind::UserIterator);
    return p.release();
}

static GROUP_ITERATOR* NewGroupIterator(BOARD_OBJECT* hbrd) {
    auto p = std::make_unique<GROUP_ITERATOR>();
    p->hBoard = hbrd;
    p->entries.reserve(20);
    qn::platform::RegisterLiveObject(p.get(), ObjectKind::GroupIterator);
    return p.release();
}

void FreeUserIterator(USER_ITERATOR* pIter) {
    if (pIter == nullptr) {
        return;
    }
    qn::platform::UnregisterLiveObject(pIter);
    for (USER_OBJECT* h : pIter->entries) {
        FreeUserObject(h);
    }
    delete pIter;
}

void FreeGroupIterator(GROUP_ITERATOR* pIter) {
    if (pIter == nullptr) {
        return;
    }
    qn::platform::UnregisterLiveObject(pIter);
    for (GROUP_OBJECT* h : pIter->entries) {
        FreeGroupObject(h);
    }
    delete pIter;
}

// What filling an iterator needs of its kind of handle.
struct UserHandles {
    using Iterator = USER_ITERATOR;
    using Object = USER_OBJECT;
    static Iterator* NewIterator(BOARD_OBJECT* hbrd) { return NewUserIterator(hbrd); }
    static void FreeIterator(Iterator* p) { FreeUserIterator(p); }
    static Object* NewObject(BOARD_OBJECT* hbrd) { return NewUserObject(hbrd, 0); }
    static void FreeObject(Object* h) { FreeUserObject(h); }
    static DBStatus ReadHere(CDbContext* pdb, Object* h) { return ReadUserHere(pdb, &h->holder); }
};

struct GroupHandles {
    using Iterator = GROUP_ITERATOR;
    using Object = GROUP_OBJECT;
    static Iterator* NewIterator(BOARD_OBJECT* hbrd) { return NewGroupIterator(hbrd); }
    static void FreeIterator(Iterator* p) { FreeGroupIterator(p); }
    static Object* NewObject(BOARD_OBJECT* hbrd) { return NewGroupObject(hbrd, 0); }
    static void FreeObject(Object* h) { FreeGroupObject(h); }
    static DBStatus ReadHere(CDbContext* pdb, Object* h) { return ReadGroupHere(pdb, &h->holder); }
};

// Fills a new iterator with a handle for each record that collect lists, all read under one
// lock packet. A failure while filling keeps the entries read so far.
template <class Handles, class Collect>
static DBStatus FillIterator(BOARD_OBJECT* hbrd, const std::vector<LockEntry>& packet,
                             const Collect& collect, typename Handles::Iterator** ppIter) {
    using Iterator = typename Handles::Iterator;
    using Object = typename Handles::Object;
    // Owned here until handed out, so that an allocation failure frees what was read.
    std::unique_ptr<Iterator, void (*)(Iterator*)> pIter(Handles::NewIterator(hbrd),
                                                         Handles::FreeIterator);
    CDbContext* pdb = hbrd->pdb;
    {
        CStoreRead read(pdb, packet);
        std::vector<DBA> records;
        DBStatus st = read.Status();
        if (st == DBSuccess) {
            collect(pdb, &records);
        }
        for (size_t i = 0; st == DBSuccess && i < records.size(); ++i) {
            std::unique_ptr<Object, void (*)(Object*)> h(Handles::NewObject(hbrd),
                                                         Handles::FreeObject);
            st = MapEngineStatus(pdb->MakeCurrent(records[i]));
            if (st == DBSuccess) {
                st = Handles::ReadHere(pdb, h.get());
            }
            if (st == DBSuccess) {
                pIter->entries.push_back(h.get());
                h.release();
            }
        }
    }
    pIter->nCurrent = static_cast<int>(pIter->entries.size()) - 1;
    *ppIter = pIter.release();
    return DBSuccess;
}

// The members of a set under the system record; none when they cannot all be listed.
static void CollectAll(CDbContext* pdb, int32_t nSet, std::vector<DBA>* pRecords) {
    if (CollectMembers(pdb, nSet, 0, pRecords) != DBSuccess) {
        pRecords->clear();
    }
}

// The records at the other end of the link records a user or group owns (its groups, or a
// group's users): the owner of each link in nOtherSet, up to the first that cannot be read.
static void CollectLinked(CDbContext* pdb, int32_t nLinkSet, DBA dbaFrom, int32_t nOtherSet,
                          std::vector<DBA>* pRecords) {
    pRecords->clear();
    std::vector<DBA> links;
    if (CollectMembers(pdb, nLinkSet, dbaFrom, &links) != DBSuccess) {
        return;
    }
    for (DBA dbaLink : links) {
        DBA dbaOther = 0;
        if (OwnerOf(pdb, nOtherSet, dbaLink, &dbaOther) != DBSuccess) {
            return;
        }
        pRecords->push_back(dbaOther);
    }
}

static std::vector<LockEntry> MembershipReadPacket() {
    return Packet({DBS_USER_GROUPS, DBS_USERS_IN_GROUP, DB_USERGROUP, DB_USERREC, DB_GROUPREC},
                  'r') +
           VarStringPacket('r');
}

DBStatus FillAllUsers(BOARD_OBJECT* hbrd, USER_ITERATOR** ppIter) {
    return FillIterator<UserHandles>(
        hbrd, Packet({DBS_USERS}, 'r') + UserReadPacket(),
        [](CDbContext* pdb, std::vector<DBA>* p) { CollectAll(pdb, DBS_USERS, p); }, ppIter);
}

static DBStatus FillAllGroups(BOARD_OBJECT* hbrd, GROUP_ITERATOR** ppIter) {
    return FillIterator<GroupHandles>(
        hbrd, Packet({DBS_GROUPS, DB_GROUPREC}, 'r') + VarStringPacket('r'),
        [](CDbContext* pdb, std::vector<DBA>* p) { CollectAll(pdb, DBS_GROUPS, p); }, ppIter);
}

DBStatus FillUserGroups(BOARD_OBJECT* hbrd, const UserHolder& user, GROUP_ITERATOR** ppIter) {
    return FillIterator<GroupHandles>(
        hbrd, MembershipReadPacket(),
        [&](CDbContext* pdb, std::vector<DBA>* p) {
            CollectLinked(pdb, DBS_USER_GROUPS, user.dba, DBS_USERS_IN_GROUP, p);
        },
        ppIter);
}

static DBStatus FillGroupUsers(BOARD_OBJECT* hbrd, const GroupHolder& group,
                               USER_ITERATOR** ppIter) {
    return FillIterator<UserHandles>(
        hbrd, MembershipReadPacket(),
        [&](CDbContext* pdb, std::vector<DBA>* p) {
            CollectLinked(pdb, DBS_USERS_IN_GROUP, group.dba, DBS_USER_GROUPS, p);
        },
        ppIter);
}

// ---- Info records ----------------------------------------------------------------------------

DBStatus UserInfoToRecord(const EX_USERINFO* pInfo, UserHolder* pHolder) {
    db_userrec& rec = pHolder->rec;
    rec.userid = pInfo->wUserID;
    bool fOk =
        CopyField(rec.username, sizeof rec.username, ReadExString(pInfo->hName)) &&
        CopyField(rec.userdescription, sizeof rec.userdescription,
                  ReadExString(pInfo->hDescription)) &&
        CopyField(rec.useremailaddr, sizeof rec.useremailaddr, ReadExString(pInfo->hEmailAddr)) &&
        CopyField(rec.userlongname, sizeof rec.userlongname, ReadExString(pInfo->hLongName)) &&
        StorePassword(ReadExString(pInfo->hPassword), rec.userpassword) &&
        CopyField(rec.localpassword, sizeof rec.localpassword,
                  ReadExString(pInfo->hLocalPassword)) &&
        CopyField(rec.userserialnumber, sizeof rec.userserialnumber,
                  ReadExString(pInfo->hSerialNumber));
    if (!fOk) {
        return DBNameTooLong;
    }
    rec.userlastlogin = pInfo->dwLastLogin;
    rec.usershadowkind = pInfo->nShadowKind;
    rec.usernotifyflags = pInfo->dwNotifyFlags;
    pHolder->var.value = ReadBytes(pInfo->hShadowData, pInfo->cbShadowData);
    return DBSuccess;
}

static std::string FieldText(const char* pch, size_t cb) {
    return std::string(pch, strnlen(pch, cb));
}

static void RecordToUserInfo(const UserHolder& holder, EX_USERINFO* pInfo) {
    const db_userrec& rec = holder.rec;
    pInfo->wUserID = rec.userid;
    pInfo->hName = MakeExString(FieldText(rec.username, sizeof rec.username));
    pInfo->hDescription = MakeExString(FieldText(rec.userdescription, sizeof rec.userdescription));
    pInfo->hEmailAddr = MakeExString(FieldText(rec.useremailaddr, sizeof rec.useremailaddr));
    pInfo->hLongName = MakeExString(FieldText(rec.userlongname, sizeof rec.userlongname));
    pInfo->hPassword = MakeExString(LoadPassword(rec.userpassword));
    pInfo->hLocalPassword = MakeExString(FieldText(rec.localpassword, sizeof rec.localpassword));
    pInfo->hSerialNumber =
        MakeExString(FieldText(rec.userserialnumber, sizeof rec.userserialnumber));
    pInfo->dwLastLogin = rec.userlastlogin;
    pInfo->nShadowKind = rec.usershadowkind;
    pInfo->cbShadowData = static_cast<uint16_t>(std::min<size_t>(holder.var.value.size(), 0xFFFF));
    pInfo->hShadowData = MakeBytes(holder.var.value.data(), pInfo->cbShadowData);
    pInfo->dwNotifyFlags = rec.usernotifyflags;
}

static DBStatus GroupInfoToRecord(const EX_GROUPINFO* pInfo, GroupHolder* pHolder) {
    db_grouprec& rec = pHolder->rec;
    rec.groupid = pInfo->wGroupID;
    bool fOk =
        CopyField(rec.groupname, sizeof rec.groupname, ReadExString(pInfo->hName)) &&
        CopyField(rec.groupdescription, sizeof rec.groupdescription,
                  ReadExString(pInfo->hDescription)) &&
        CopyField(rec.groupemailaddr, sizeof rec.groupemailaddr, ReadExString(pInfo->hEmailAddr));
    if (!fOk) {
        return DBNameTooLong;
    }
    rec.groupshadowkind = pInfo->nShadowKind;
    pHolder->var.value = ReadBytes(pInfo->hShadowData, pInfo->cbShadowData);
    return DBSuccess;
}

static void RecordToGroupInfo(const GroupHolder& holder, EX_GROUPINFO* pInfo) {
    const db_grouprec& rec = holder.rec;
    pInfo->wGroupID = rec.groupid;
    pInfo->hName = MakeExString(FieldText(rec.groupname, sizeof rec.groupname));
    pInfo->hDescription =
        MakeExString(FieldText(rec.groupdescription, sizeof rec.groupdescription));
    pInfo->hEmailAddr = MakeExString(FieldText(rec.groupemailaddr, sizeof rec.groupemailaddr));
    pInfo->nShadowKind = rec.groupshadowkind;
    pInfo->cbShadowData = static_cast<uint16_t>(std::min<size_t>(holder.var.value.size(), 0xFFFF));
    pInfo->hShadowData = MakeBytes(holder.var.value.data(), pInfo->cbShadowData);
}

// The built-in folders of a new user, in the order they are made.
struct BuiltinFolder {
    int nSlot;
    const char* pszName;
    uint16_t wFolderType;
};
static const BuiltinFolder s_aUserFolders[] = {
    {4, "Monitored Items", 7}, {6, "Bookmark Menu", 8}, {2, "Briefcase", 6},
    {0, "Quick List", 4},      {1, "Web Monitor", 5},   {3, "Zelto Folders", 3},
    {8, "Zelto Agents", 10},   {7, "Web Realms", 12},
};

DBStatus MakeUserFolder(BOARD_OBJECT* hbrd, UserHolder* pUser, int nSlot) {
    for (const BuiltinFolder& f : s_aUserFolders) {
        if (f.nSlot != nSlot) {
            continue;
        }
        DB_ITEM item;
        InitFolderItem(&item, f.pszName, "", f.wFolderType, pUser->rec.userid);
        DBStatus st = ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd);
        if (st != DBSuccess) {
            return st;
        }
        pUser->rec.useritems[nSlot] = item.dba;
        if (nSlot == 0) {
            pUser->rec.useritems[6] = item.dba;
        }
        return DBSuccess;
    }
    return DBItemNotFound;
}

static DBStatus MakeUserFolders(BOARD_OBJECT* hbrd, UserHolder* pUser) {
    DBStatus st = DBSuccess;
    for (const BuiltinFolder& f : s_aUserFolders) {
        st = MakeUserFolder(hbrd, pUser, f.nSlot);
        if (st != DBSuccess) {
            break;
        }
    }
    DBStatus stWrite = UserWrite(hbrd->pdb, pUser);
    return st != DBSuccess ? st : stWrite;
}

}  // namespace catstore

using namespace catstore;

// ---- Exported user calls -----------------------------------------------------------------

extern "C" USER_OBJECT* EXUserCreate(BOARD_OBJECT* hbrd, EX_USERINFO* pInfo, EXSM_STATUS* status) {
    return RunApi("EXUserCreate", status, static_cast<USER_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> USER_OBJECT* {
                      if (!IsLiveBoard(hbrd) || pInfo == nullptr) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      std::unique_ptr<USER_OBJECT, void (*)(USER_OBJECT*)> pOwned(
                          NewUserObject(hbrd, 1), FreeUserObject);
                      USER_OBJECT* h = pOwned.get();
                      DBStatus dbs = UserInfoToRecord(pInfo, &h->holder);
                      if (dbs == DBSuccess && h->holder.rec.username[0] == '\0') {
                          dbs = DBUserNotFound;  // a user needs a name
                      }
                      if (dbs == DBSuccess) {
                          dbs = UserCreate(hbrd->pdb, &h->holder);
                      }
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      std::string strName = h->holder.rec.username;
                      WriteUserConfig(hbrd->strPath, hbrd->strCatalogIni, strName,
                                      MakeUserIDString(strName, h->holder.rec.userid));
                      pInfo->wUserID = h->holder.rec.userid;
                      dbs = MakeUserFolders(hbrd, &h->holder);
                      SetStatus(st, dbs);
                      return pOwned.release();
                  });
}

extern "C" void EXUserDestroy(USER_OBJECT* hUser, EXSM_STATUS* status) {
    RunApiVoid("EXUserDestroy", status, [&](EXSM_STATUS* st) {
        if (!IsLiveUser(hUser)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        BOARD_OBJECT* hbrd = hUser->hBoard;
        DBStatus dbs = UserDestroy(hbrd->pdb, &hUser->holder);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        RemoveUserMapEntry(hbrd->strCatalogIni, hUser->holder.rec.username);
        // Drop the user from the catalog's list of all users.
        if (hbrd->pAllUsers != nullptr) {
            auto& v = hbrd->pAllUsers->entries;
            for (size_t i = 0; i < v.size(); ++i) {
                if (v[i] != hUser && v[i]->holder.dba == hUser->holder.dba) {
                    FreeUserObject(v[i]);
                    v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
        }
        if (hUser->cRef > 0 && hUser != hbrd->hCurrentUser) {
            FreeUserObject(hUser);
        } else if (hUser->cRef == 0 && hbrd->pAllUsers != nullptr) {
            auto& v = hbrd->pAllUsers->entries;
            for (size_t i = 0; i < v.size(); ++i) {
                if (v[i] == hUser) {
                    FreeUserObject(v[i]);
                    v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
        }
    });
}

extern "C" void EXUserGetInfo(USER_OBJECT* hUser, EX_USERINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXUserGetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveUser(hUser) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        RecordToUserInfo(hUser->holder, pInfo);
    });
}

extern "C" void EXUserSetInfo(USER_OBJECT* hUser, const EX_USERINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXUserSetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveUser(hUser) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        UserHolder copy = hUser->holder;
        DBStatus dbs = UserInfoToRecord(pInfo, &copy);
        if (dbs == DBSuccess) {
            dbs = UserWrite(hUser->hBoard->pdb, &copy);
        }
        if (dbs == DBSuccess) {
            std::string strOld = hUser->holder.rec.username;
            std::string strNew = copy.rec.username;
            if (strOld != strNew) {
                // A renamed user keeps its user id string (and so its configuration file).
                BOARD_OBJECT* hbrd = hUser->hBoard;
                std::string strId = LookupUserIDString(hbrd->strCatalogIni, strOld);
                if (strId == "SYSTEM" && strOld != "SYSTEM") {
                    strId = MakeUserIDString(strNew, copy.rec.userid);
                }
                RemoveUserMapEntry(hbrd->strCatalogIni, strOld);
                WriteUserConfig(hbrd->strPath, hbrd->strCatalogIni, strNew, strId);
            }
            hUser->holder = copy;
        }
        SetStatus(st, dbs);
    });
}

extern "C" uint16_t EXUserGetID(USER_OBJECT* hUser) {
    return RunApiNoStatus("EXUserGetID", static_cast<uint16_t>(0), [&]() -> uint16_t {
        return IsLiveUser(hUser) ? hUser->holder.rec.userid : 0;
    });
}

// Brings a cached user list entry up to date.
static DBStatus RefreshCachedUser(CDbContext* pdb, USER_OBJECT* h) {
    CStoreRead read(pdb, UserReadPacket());
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    int rc = pdb->MakeCurrent(h->holder.dba);
    if (rc == S_READ) {
        LogLine(LOG_ENGINE,
                "EXDB: !!! S_READ error recovery on dirty-read detected; UID=%u, %s\r\n",
                h->holder.rec.userid, h->holder.rec.username);
        rc = pdb->MakeCurrent(h->holder.dba);
    }
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBDeleted;
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    int32_t nType = 0;
    if (pdb->CurrentType(&nType) != S_OKAY || nType != DB_USERREC) {
        return DBDeleted;
    }
    rc = pdb->TestStamp(static_cast<uint64_t>(h->holder.stamp));
    if (rc == S_OKAY) {
        return DBSuccess;
    }
    if (rc == S_DELETED) {
        return DBDeleted;
    }
    if (rc == S_READ) {
        LogLine(LOG_ENGINE,
                "EXDB: !!! S_READ error recovery on dirty-read detected; UID=%u, %s\r\n",
                h->holder.rec.userid, h->holder.rec.username);
    }
    UserHolder fresh;
    fresh.var = h->holder.var;
    st = ReadUserHere(pdb, &fresh);
    if (st == DBSuccess) {
        h->holder = fresh;
    }
    return st;
}

extern "C" USER_OBJECT* EXUserFindByID(BOARD_OBJECT* hbrd, uint16_t wUserID, EXSM_STATUS* status) {
    return RunApi("EXUserFindByID", status, static_cast<USER_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> USER_OBJECT* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      if (wUserID == 0) {
                          *st = EXSM_DOES_NOT_EXIST;
                          return nullptr;
                      }
                      if (hbrd->pAllUsers != nullptr) {
                          for (USER_OBJECT* h : hbrd->pAllUsers->entries) {
                              if (h->holder.rec.userid == wUserID) {
                                  DBStatus dbs = RefreshCachedUser(hbrd->pdb, h);
                                  if (dbs != DBSuccess) {
                                      SetStatus(st, dbs);
                                      return nullptr;
                                  }
                                  return h;
                              }
                          }
                      }
                      LogLine(LOG_STORE, "EXSM: EXUserFindByID (%d) -> DBUserFindByID\r\n",
                              wUserID);
                      std::unique_ptr<USER_OBJECT, void (*)(USER_OBJECT*)> pOwned(
                          NewUserObject(hbrd, hbrd->pAllUsers ? 0 : 1), FreeUserObject);
                      USER_OBJECT* h = pOwned.get();
                      DBStatus dbs = UserFindByID(hbrd->pdb, wUserID, &h->holder);
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      if (hbrd->pAllUsers != nullptr) {
                          hbrd->pAllUsers->entries.push_back(h);
                      }
                      return pOwned.release();
                  });
}

extern "C" USER_OBJECT* EXUserFindByName(BOARD_OBJECT* hbrd, const char* pszName,
                                         EXSM_STATUS* status) {
    return RunApi("EXUserFindByName", status, static_cast<USER_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> USER_OBJECT* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      LogLine(LOG_STORE, "EXSM: EXUserFindByName ()\r\n");
                      std::unique_ptr<USER_OBJECT, void (*)(USER_OBJECT*)> pOwned(
                          NewUserObject(hbrd, 1), FreeUserObject);
                      USER_OBJECT* h = pOwned.get();
                      DBStatus dbs = UserFindByName(hbrd->pdb, pszName ? pszName : "", &h->holder);
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      return pOwned.release();
                  });
}

extern "C" USER_OBJECT* EXUserAcquire(USER_OBJECT* hUser, EXSM_STATUS* status) {
    return RunApi("EXUserAcquire", status, static_cast<USER_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> USER_OBJECT* {
                      if (!IsLiveUser(hUser)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      if (hUser->cRef == 0) {
                          std::unique_ptr<USER_OBJECT, void (*)(USER_OBJECT*)> pOwned(
                              NewUserObject(hUser->hBoard, 1), FreeUserObject);
                          USER_OBJECT* h = pOwned.get();
                          h->holder = hUser->holder;
                          return pOwned.release();
                      }
                      ++hUser->cRef;
                      return hUser;
                  });
}

extern "C" void EXUserRelease(USER_OBJECT* hUser, EXSM_STATUS* status) {
    RunApiVoid("EXUserRelease", status, [&](EXSM_STATUS* st) {
        if (hUser == nullptr || !qn::platform::IsLiveObject(hUser, ObjectKind::User)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        if (hUser->cRef > 0 && --hUser->cRef == 0) {
            if (IsLiveBoard(hUser->hBoard) && hUser->hBoard->hCurrentUser == hUser) {
                hUser->cRef = 1;  // the catalog keeps its current user
                return;
            }
            FreeUserObject(hUser);
        }
    });
}

extern "C" USER_ITERATOR* EXBoardGetUsers(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    return RunApi("EXBoardGetUsers", status, static_cast<USER_ITERATOR*>(nullptr),
                  [&](EXSM_STATUS* st) -> USER_ITERATOR* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      USER_ITERATOR* p = nullptr;
                      SetStatus(st, FillAllUsers(hbrd, &p));
                      return p;
                  });
}

extern "C" GROUP_ITERATOR* EXUserGetGroups(USER_OBJECT* hUser, EXSM_STATUS* status) {
    return RunApi("EXUserGetGroups", status, static_cast<GROUP_ITERATOR*>(nullptr),
                  [&](EXSM_STATUS* st) -> GROUP_ITERATOR* {
                      if (!IsLiveUser(hUser)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      GROUP_ITERATOR* p = nullptr;
                      SetStatus(st, FillUserGroups(hUser->hBoard, hUser->holder, &p));
                      return p;
                  });
}

// ---- Iterators ---------------------------------------------------------------------------------

template <typename Iter>
static bool IsLiveIter(Iter* p, ObjectKind kind) {
    return p != nullptr && qn::platform::IsLiveObject(p, kind);
}

template <typename Iter, typename Obj>
static Obj* IterMove(Iter* p, ObjectKind kind, int nOp) {
    if (!IsLiveIter(p, kind)) {
        return nullptr;
    }
    int nLast = static_cast<int>(p->entries.size()) - 1;
    switch (nOp) {
        case 0:  // current
            return p->nCurrent >= 0 && p->nCurrent <= nLast ? p->entries[p->nCurrent] : nullptr;
        case 1:  // first
            if (nLast < 0) {
                return nullptr;
            }
            p->nCurrent = 0;
            return p->entries[0];
        case 2:  // last
            if (nLast < 0) {
                return nullptr;
            }
            p->nCurrent = nLast;
            return p->entries[nLast];
        case 3:  // next
            if (p->nCurrent >= nLast) {
                return nullptr;
            }
            ++p->nCurrent;
            return p->entries[p->nCurrent];
        default:  // previous
            if (p->nCurrent < 0) {
                return nullptr;
            }
            --p->nCurrent;
            return p->nCurrent >= 0 && p->nCurrent <= nLast ? p->entries[p->nCurrent] : nullptr;
    }
}

#define QN_ITER_EXPORTS(Prefix, Iter, Obj, Kind)                                  \
    extern "C" int Prefix##Count(Iter* p) {                                       \
        return RunApiNoStatus(#Prefix "Count", 0, [&]() {                         \
            return IsLiveIter(p, Kind) ? static_cast<int>(p->entries.size()) : 0; \
        });                                                                       \
    }                                                                             \
    extern "C" void Prefix##Reset(Iter* p) {                                      \
        RunApiNoStatus(#Prefix "Reset", 0, [&]() {                                \
            if (IsLiveIter(p, Kind)) {                                            \
                p->nCurrent = -1;                                                 \
            }                                                                     \
            return 0;                                                             \
        });                                                                       \
    }                                                                             \
    extern "C" Obj* Prefix##Current(Iter* p) {                                    \
        return RunApiNoStatus(#Prefix "Current", static_cast<Obj*>(nullptr),      \
                              [&]() { return IterMove<Iter, Obj>(p, Kind, 0); }); \
    }                                                                             \
    extern "C" Obj* Prefix##First(Iter* p) {                                      \
        return RunApiNoStatus(#Prefix "First", static_cast<Obj*>(nullptr),        \
                              [&]() { return IterMove<Iter, Obj>(p, Kind, 1); }); \
    }                                                                             \
    extern "C" Obj* Prefix##Last(Iter* p) {                                       \
        return RunApiNoStatus(#Prefix "Last", static_cast<Obj*>(nullptr),         \
                              [&]() { return IterMove<Iter, Obj>(p, Kind, 2); }); \
    }                                                                             \
    extern "C" Obj* Prefix##Next(Iter* p) {                                       \
        return RunApiNoStatus(#Prefix "Next", static_cast<Obj*>(nullptr),         \
                              [&]() { return IterMove<Iter, Obj>(p, Kind, 3); }); \
    }                                                                             \
    extern "C" Obj* Prefix##Prev(Iter* p) {                                       \
        return RunApiNoStatus(#Prefix "Prev", static_cast<Obj*>(nullptr),         \
                              [&]() { return IterMove<Iter, Obj>(p, Kind, 4); }); \
    }

QN_ITER_EXPORTS(EXUserIterator, USER_ITERATOR, USER_OBJECT, ObjectKind::UserIterator)
QN_ITER_EXPORTS(EXGroupIterator, GROUP_ITERATOR, GROUP_OBJECT, ObjectKind::GroupIterator)

extern "C" int EXUserIteratorRelease(USER_ITERATOR* p, int fFlag) {
    return RunApiNoStatus("EXUserIteratorRelease", 0, [&]() {
        if (IsLiveIter(p, ObjectKind::UserIterator) &&
            !(IsLiveBoard(p->hBoard) && p->hBoard->pAllUsers == p)) {
            FreeUserIterator(p);
        }
        return 0;
    });
}

extern "C" int EXGroupIteratorRelease(GROUP_ITERATOR* p, int fFlag) {
    return RunApiNoStatus("EXGroupIteratorRelease", 0, [&]() {
        if (IsLiveIter(p, ObjectKind::GroupIterator) &&
            !(IsLiveBoard(p->hBoard) && p->hBoard->pCurrentGroups == p)) {
            FreeGroupIterator(p);
        }
        return 0;
    });
}

// ---- Exported group calls ------------------------------------------------------------------

extern "C" GROUP_OBJECT* EXGroupCreate(BOARD_OBJECT* hbrd, EX_GROUPINFO* pInfo,
                                       EXSM_STATUS* status) {
    return RunApi("EXGroupCreate", status, static_cast<GROUP_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> GROUP_OBJECT* {
                      if (!IsLiveBoard(hbrd) || pInfo == nullptr) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      std::unique_ptr<GROUP_OBJECT, void (*)(GROUP_OBJECT*)> pOwned(
                          NewGroupObject(hbrd, 1), FreeGroupObject);
                      GROUP_OBJECT* h = pOwned.get();
                      DBStatus dbs = GroupInfoToRecord(pInfo, &h->holder);
                      if (dbs == DBSuccess) {
                          dbs = GroupCreate(hbrd->pdb, &h->holder);
                      }
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      pInfo->wGroupID = h->holder.rec.groupid;
                      return pOwned.release();
                  });
}

extern "C" void EXGroupDestroy(GROUP_OBJECT* hGroup, EXSM_STATUS* status) {
    RunApiVoid("EXGroupDestroy", status, [&](EXSM_STATUS* st) {
        if (!IsLiveGroup(hGroup)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        BOARD_OBJECT* hbrd = hGroup->hBoard;
        DBStatus dbs = GroupDestroy(hbrd->pdb, &hGroup->holder);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        DBA dba = hGroup->holder.dba;
        if (hbrd->pCurrentGroups != nullptr) {
            auto& v = hbrd->pCurrentGroups->entries;
            for (size_t i = 0; i < v.size(); ++i) {
                if (v[i]->holder.dba == dba && v[i] != hGroup) {
                    FreeGroupObject(v[i]);
                    v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
        }
        if (hGroup->cRef > 0) {
            FreeGroupObject(hGroup);
        }
    });
}

extern "C" void EXGroupGetInfo(GROUP_OBJECT* hGroup, EX_GROUPINFO* pInfo, EXSM_STATUS* status) {
    RunApiVoid("EXGroupGetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveGroup(hGroup) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        RecordToGroupInfo(hGroup->holder, pInfo);
    });
}

extern "C" void EXGroupSetInfo(GROUP_OBJECT* hGroup, const EX_GROUPINFO* pInfo,
                               EXSM_STATUS* status) {
    RunApiVoid("EXGroupSetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveGroup(hGroup) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        GroupHolder copy = hGroup->holder;
        DBStatus dbs = GroupInfoToRecord(pInfo, &copy);
        if (dbs == DBSuccess) {
            dbs = GroupWrite(hGroup->hBoard->pdb, &copy);
        }
        if (dbs == DBSuccess) {
            hGroup->holder = copy;
        }
        SetStatus(st, dbs);
    });
}

extern "C" uint16_t EXGroupGetID(GROUP_OBJECT* hGroup) {
    return RunApiNoStatus("EXGroupGetID", static_cast<uint16_t>(0), [&]() -> uint16_t {
        return IsLiveGroup(hGroup) ? hGroup->holder.rec.groupid : 0;
    });
}

static GROUP_OBJECT* FindGroup(const char* pszCall, BOARD_OBJECT* hbrd, int32_t nField,
                               const void* pValue, EXSM_STATUS* status) {
    return RunApi(pszCall, status, static_cast<GROUP_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> GROUP_OBJECT* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      std::unique_ptr<GROUP_OBJECT, void (*)(GROUP_OBJECT*)> pOwned(
                          NewGroupObject(hbrd, 1), FreeGroupObject);
                      GROUP_OBJECT* h = pOwned.get();
                      DBStatus dbs = GroupFindByKey(hbrd->pdb, nField, pValue, &h->holder);
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      return pOwned.release();
                  });
}

extern "C" GROUP_OBJECT* EXGroupFindByID(BOARD_OBJECT* hbrd, uint16_t wGroupID,
                                         EXSM_STATUS* status) {
    if (wGroupID == 0) {
        return RunApi("EXGroupFindByID", status, static_cast<GROUP_OBJECT*>(nullptr),
                      [&](EXSM_STATUS* st) -> GROUP_OBJECT* {
                          *st = IsLiveBoard(hbrd) ? EXSM_DOES_NOT_EXIST : EXSM_INVALID_HANDLE;
                          return nullptr;
                      });
    }
    return FindGroup("EXGroupFindByID", hbrd, GROUPID, &wGroupID, status);
}

extern "C" GROUP_OBJECT* EXGroupFindByName(BOARD_OBJECT* hbrd, const char* pszName,
                                           EXSM_STATUS* status) {
    char achName[32] = {};
    if (!CopyField(achName, sizeof achName, pszName ? pszName : "")) {
        return RunApi("EXGroupFindByName", status, static_cast<GROUP_OBJECT*>(nullptr),
                      [&](EXSM_STATUS* st) -> GROUP_OBJECT* {
                          *st = IsLiveBoard(hbrd) ? EXSM_DOES_NOT_EXIST : EXSM_INVALID_HANDLE;
                          return nullptr;
                      });
    }
    return FindGroup("EXGroupFindByName", hbrd, GROUPNAME, achName, status);
}

extern "C" GROUP_OBJECT* EXGroupAcquire(GROUP_OBJECT* hGroup, EXSM_STATUS* status) {
    return RunApi("EXGroupAcquire", status, static_cast<GROUP_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> GROUP_OBJECT* {
                      if (!IsLiveGroup(hGroup)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      if (hGroup->cRef == 0) {
                          std::unique_ptr<GROUP_OBJECT, void (*)(GROUP_OBJECT*)> pOwned(
                              NewGroupObject(hGroup->hBoard, 1), FreeGroupObject);
                          GROUP_OBJECT* h = pOwned.get();
                          h->holder = hGroup->holder;
                          return pOwned.release();
                      }
                      ++hGroup->cRef;
                      return hGroup;
                  });
}

extern "C" void EXGroupRelease(GROUP_OBJECT* hGroup, EXSM_STATUS* status) {
    RunApiVoid("EXGroupRelease", status, [&](EXSM_STATUS* st) {
        if (hGroup == nullptr || !qn::platform::IsLiveObject(hGroup, ObjectKind::Group)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        if (hGroup->cRef > 0 && --hGroup->cRef == 0) {
            FreeGroupObject(hGroup);
        }
    });
}

extern "C" void EXGroupAddUser(GROUP_OBJECT* hGroup, USER_OBJECT* hUser, EXSM_STATUS* status) {
    RunApiVoid("EXGroupAddUser", status, [&](EXSM_STATUS* st) {
        if (!IsLiveGroup(hGroup) || !IsLiveUser(hUser) || hGroup->hBoard != hUser->hBoard) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        BOARD_OBJECT* hbrd = hGroup->hBoard;
        DBStatus dbs = GroupAddUser(hbrd->pdb, &hGroup->holder, &hUser->holder);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        if (hbrd->hCurrentUser != nullptr && hbrd->pCurrentGroups != nullptr &&
            hbrd->hCurrentUser->holder.dba == hUser->holder.dba) {
            std::unique_ptr<GROUP_OBJECT, void (*)(GROUP_OBJECT*)> h(NewGroupObject(hbrd, 0),
                                                                     FreeGroupObject);
            h->holder = hGroup->holder;
            hbrd->pCurrentGroups->entries.push_back(h.get());
            h.release();
        }
    });
}

extern "C" void EXGroupRemoveUser(GROUP_OBJECT* hGroup, USER_OBJECT* hUser, EXSM_STATUS* status) {
    RunApiVoid("EXGroupRemoveUser", status, [&](EXSM_STATUS* st) {
        if (!IsLiveGroup(hGroup) || !IsLiveUser(hUser) || hGroup->hBoard != hUser->hBoard) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        BOARD_OBJECT* hbrd = hGroup->hBoard;
        DBStatus dbs = GroupRemoveUser(hbrd->pdb, &hGroup->holder, &hUser->holder);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
        if (hbrd->hCurrentUser != nullptr && hbrd->pCurrentGroups != nullptr &&
            hbrd->hCurrentUser->holder.dba == hUser->holder.dba) {
            auto& v = hbrd->pCurrentGroups->entries;
            for (size_t i = 0; i < v.size(); ++i) {
                if (v[i]->holder.dba == hGroup->holder.dba && v[i] != hGroup) {
                    FreeGroupObject(v[i]);
                    v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
        }
    });
}

extern "C" void EXGroupContainsUser(GROUP_OBJECT* hGroup, USER_OBJECT* hUser, EXSM_STATUS* status) {
    RunApiVoid("EXGroupContainsUser", status, [&](EXSM_STATUS* st) {
        if (!IsLiveGroup(hGroup) || !IsLiveUser(hUser)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        USER_ITERATOR* p = nullptr;
        FillGroupUsers(hGroup->hBoard, hGroup->holder, &p);
        bool fFound = false;
        for (USER_OBJECT* h : p->entries) {
            fFound = fFound || h->holder.rec.userid == hUser->holder.rec.userid;
        }
        FreeUserIterator(p);
        if (!fFound) {
            *st = EXSM_DOES_NOT_EXIST;
        }
    });
}

extern "C" GROUP_ITERATOR* EXBoardGetGroups(BOARD_OBJECT* hbrd, EXSM_STATUS* status) {
    return RunApi("EXBoardGetGroups", status, static_cast<GROUP_ITERATOR*>(nullptr),
                  [&](EXSM_STATUS* st) -> GROUP_ITERATOR* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      GROUP_ITERATOR* p = nullptr;
                      SetStatus(st, FillAllGroups(hbrd, &p));
                      return p;
                  });
}

extern "C" USER_ITERATOR* EXGroupGetUsers(GROUP_OBJECT* hGroup, EXSM_STATUS* status) {
    return RunApi("EXGroupGetUsers", status, static_cast<USER_ITERATOR*>(nullptr),
                  [&](EXSM_STATUS* st) -> USER_ITERATOR* {
                      if (!IsLiveGroup(hGroup)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      USER_ITERATOR* p = nullptr;
                      SetStatus(st, FillGroupUsers(hGroup->hBoard, hGroup->holder, &p));
                      return p;
                  });
}
