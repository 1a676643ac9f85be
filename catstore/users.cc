// Users: the store routines over DB_USERREC, the user handles and lists, and the exported user
// calls.
#include "users.h"

#include <cstring>
#include <memory>

#include "config.h"
#include "exstring.h"
#include "frame.h"
#include "groups.h"
#include "handlelist.h"
#include "locks.h"
#include "platform/liveobjects.h"
#include "sets.h"
#include "trace.h"
#include "uniqueids.h"
#include "userfolders.h"

namespace catstore {

using qn::platform::ObjectKind;

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

// ---- Handles and lists -----------------------------------------------------------------------

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

bool IsLiveUser(const USER_OBJECT* hUser) {
    return hUser != nullptr && qn::platform::IsLiveObject(hUser, ObjectKind::User) &&
           IsLiveBoard(hUser->hBoard);
}

static USER_ITERATOR* NewUserIterator(BOARD_OBJECT* hbrd) {
    auto p = std::make_unique<USER_ITERATOR>();
    p->hBoard = hbrd;
    p->entries.reserve(20);
    qn::platform::RegisterLiveObject(p.get(), ObjectKind::UserIterator);
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

// What filling a list needs of user handles.
struct UserHandles {
    using Iterator = USER_ITERATOR;
    using Object = USER_OBJECT;
    static Iterator* NewIterator(BOARD_OBJECT* hbrd) { return NewUserIterator(hbrd); }
    static void FreeIterator(Iterator* p) { FreeUserIterator(p); }
    static Object* NewObject(BOARD_OBJECT* hbrd) { return NewUserObject(hbrd, 0); }
    static void FreeObject(Object* h) { FreeUserObject(h); }
    static DBStatus ReadHere(CDbContext* pdb, Object* h) { return ReadUserHere(pdb, &h->holder); }
};

DBStatus FillAllUsers(BOARD_OBJECT* hbrd, USER_ITERATOR** ppIter) {
    return FillIterator<UserHandles>(
        hbrd, Packet({DBS_USERS}, 'r') + UserReadPacket(),
        [](CDbContext* pdb, std::vector<DBA>* p) { return CollectMembers(pdb, DBS_USERS, 0, p); },
        ppIter);
}

DBStatus FillGroupUsers(BOARD_OBJECT* hbrd, DBA dbaGroup, USER_ITERATOR** ppIter) {
    return FillIterator<UserHandles>(
        hbrd, MembershipReadPacket(),
        [&](CDbContext* pdb, std::vector<DBA>* p) {
            return CollectLinked(pdb, DBS_USERS_IN_GROUP, dbaGroup, DBS_USER_GROUPS, p);
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
                          dbs = UserCreateWithFolders(hbrd, &h->holder);
                      }
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      // After the commit, and the same however often they are written: an open
                      // as a user whose entry is missing writes them again.
                      std::string strName = h->holder.rec.username;
                      WriteUserConfig(hbrd->strPath, hbrd->strCatalogIni, strName,
                                      MakeUserIDString(strName, h->holder.rec.userid));
                      pInfo->wUserID = h->holder.rec.userid;
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
                      SetStatus(st, FillUserGroups(hUser->hBoard, hUser->holder.dba, &p));
                      return p;
                  });
}

QN_ITER_EXPORTS(EXUserIterator, USER_ITERATOR, USER_OBJECT, ObjectKind::UserIterator)

extern "C" int EXUserIteratorRelease(USER_ITERATOR* p, int fFlag) {
    return RunApiNoStatus("EXUserIteratorRelease", 0, [&]() {
        if (IsLiveIter(p, ObjectKind::UserIterator) &&
            !(IsLiveBoard(p->hBoard) && p->hBoard->pAllUsers == p)) {
            FreeUserIterator(p);
        }
        return 0;
    });
}
