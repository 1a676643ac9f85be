// Groups: the store routines over DB_GROUPREC and the membership links (DB_USERGROUP), the group
// handles and lists, and the exported group calls.
#include "groups.h"

#include <memory>

#include "exstring.h"
#include "frame.h"
#include "handlelist.h"
#include "locks.h"
#include "platform/liveobjects.h"
#include "sets.h"
#include "trace.h"
#include "uniqueids.h"
#include "users.h"

namespace catstore {

using qn::platform::ObjectKind;

// ---- Group store routines ----------------------------------------------------------------

static DBStatus ReadGroupHere(CDbContext* pdb, GroupHolder* pHolder) {
    DBStatus st = ReadCurrent(pdb, DB_GROUPREC, pHolder);
    if (st == DBSuccess) {
        pHolder->var.dba = pHolder->rec.groupshadowdata;
        pHolder->var.stamp = 0;
        st = VarStringRead(&pHolder->var, pdb);
    }
    return st;
}
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

// ---- Handles and lists -----------------------------------------------------------------------

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

bool IsLiveGroup(const GROUP_OBJECT* hGroup) {
    return hGroup != nullptr && qn::platform::IsLiveObject(hGroup, ObjectKind::Group) &&
           IsLiveBoard(hGroup->hBoard);
}

static GROUP_ITERATOR* NewGroupIterator(BOARD_OBJECT* hbrd) {
    auto p = std::make_unique<GROUP_ITERATOR>();
    p->hBoard = hbrd;
    p->entries.reserve(20);
    qn::platform::RegisterLiveObject(p.get(), ObjectKind::GroupIterator);
    return p.release();
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
// What filling a list needs of group handles.
struct GroupHandles {
    using Iterator = GROUP_ITERATOR;
    using Object = GROUP_OBJECT;
    static Iterator* NewIterator(BOARD_OBJECT* hbrd) { return NewGroupIterator(hbrd); }
    static void FreeIterator(Iterator* p) { FreeGroupIterator(p); }
    static Object* NewObject(BOARD_OBJECT* hbrd) { return NewGroupObject(hbrd, 0); }
    static void FreeObject(Object* h) { FreeGroupObject(h); }
    static DBStatus ReadHere(CDbContext* pdb, Object* h) { return ReadGroupHere(pdb, &h->holder); }
};

std::vector<LockEntry> MembershipReadPacket() {
    return Packet({DBS_USER_GROUPS, DBS_USERS_IN_GROUP, DB_USERGROUP, DB_USERREC, DB_GROUPREC},
                  'r') +
           VarStringPacket('r');
}

static DBStatus FillAllGroups(BOARD_OBJECT* hbrd, GROUP_ITERATOR** ppIter) {
    return FillIterator<GroupHandles>(
        hbrd, Packet({DBS_GROUPS, DB_GROUPREC}, 'r') + VarStringPacket('r'),
        [](CDbContext* pdb, std::vector<DBA>* p) { return CollectMembers(pdb, DBS_GROUPS, 0, p); },
        ppIter);
}

DBStatus FillUserGroups(BOARD_OBJECT* hbrd, DBA dbaUser, GROUP_ITERATOR** ppIter) {
    return FillIterator<GroupHandles>(
        hbrd, MembershipReadPacket(),
        [&](CDbContext* pdb, std::vector<DBA>* p) {
            return CollectLinked(pdb, DBS_USER_GROUPS, dbaUser, DBS_USERS_IN_GROUP, p);
        },
        ppIter);
}

// ---- Info records ----------------------------------------------------------------------------

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

}  // namespace catstore

using namespace catstore;

QN_ITER_EXPORTS(EXGroupIterator, GROUP_ITERATOR, GROUP_OBJECT, ObjectKind::GroupIterator)

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
        DBStatus dbs = FillGroupUsers(hGroup->hBoard, hGroup->holder.dba, &p);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return;
        }
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
                      SetStatus(st, FillGroupUsers(hGroup->hBoard, hGroup->holder.dba, &p));
                      return p;
                  });
}
