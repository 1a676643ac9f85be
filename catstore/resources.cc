// Resources: places where attached files live (domain, server, share, local path).
#include <strings.h>

#include <cstring>
#include <memory>

#include "board.h"
#include "exstring.h"
#include "frame.h"
#include "holders.h"
#include "locks.h"
#include "platform/liveobjects.h"
#include "resources.h"
#include "schema.h"
#include "sets.h"
#include "trace.h"
#include "uniqueids.h"

using ResourceHolder = catstore::RecordHolder<qn::dbms::db_resourcerec>;

struct RESOURCE_OBJECT {
    BOARD_OBJECT* hBoard = nullptr;
    uint32_t cRef = 0;
    ResourceHolder holder;
    bool fHasPath = false;  // a local path is present (an empty one counts as present)
};

namespace catstore {

using qn::platform::ObjectKind;

size_t ResourceObjectSize() {
    return sizeof(RESOURCE_OBJECT);
}

static RESOURCE_OBJECT* NewResourceObject(BOARD_OBJECT* hbrd) {
    auto h = std::make_unique<RESOURCE_OBJECT>();
    h->hBoard = hbrd;
    h->cRef = 1;
    h->holder.nType = DB_RESOURCEREC;
    qn::platform::RegisterLiveObject(h.get(), ObjectKind::Resource);
    return h.release();
}

static void FreeResourceObject(RESOURCE_OBJECT* h) {
    if (h != nullptr) {
        qn::platform::UnregisterLiveObject(h);
        delete h;
    }
}

static bool IsLiveResource(const RESOURCE_OBJECT* h) {
    if (h == nullptr) {
        return false;
    }
    if (!qn::platform::IsLiveObject(h, ObjectKind::Resource)) {
        ReportAssertion("!IsBadWritePtr (hResource, sizeof(RESOURCE_OBJECT))", ".\\EXRESRC");
        return false;
    }
    if (!IsLiveBoard(h->hBoard)) {
        ReportAssertion("!IsBadWritePtr (hResource->hBoard, sizeof(BOARD_OBJECT))", ".\\EXRESRC");
        return false;
    }
    return true;
}

static std::vector<LockEntry> ResourceWritePacket() {
    return Packet({DB_RESOURCEREC, DBS_RESOURCES}, 'w') + VarStringPacket('w');
}

static std::vector<LockEntry> ResourceReadPacket() {
    return Packet({DB_RESOURCEREC, DBS_RESOURCES}, 'r') + VarStringPacket('r');
}

static DBStatus InfoToResource(const EX_RESOURCEINFO* pInfo, RESOURCE_OBJECT* h) {
    qn::dbms::db_resourcerec& rec = h->holder.rec;
    rec.resourceversion = pInfo->wResourceVersion;
    rec.resourceid = pInfo->dwResourceID;
    rec.resourcetype = pInfo->wResourceType;
    rec.resourcesubtype = pInfo->wResourceSubType;
    rec.resourceprivate = pInfo->dwResourcePrivate;
    std::string strDomain(pInfo->szDomain, strnlen(pInfo->szDomain, sizeof pInfo->szDomain));
    std::string strServer(pInfo->szServer, strnlen(pInfo->szServer, sizeof pInfo->szServer));
    std::string strShare(pInfo->szShareName,
                         strnlen(pInfo->szShareName, sizeof pInfo->szShareName));
    if (!CopyField(rec.resourcedomain, sizeof rec.resourcedomain, strDomain) ||
        !CopyField(rec.resourceserver, sizeof rec.resourceserver, strServer) ||
        !CopyField(rec.resourcesharename, sizeof rec.resourcesharename, strShare)) {
        return DBNameTooLong;
    }
    h->holder.var.value = ReadExString(pInfo->hLocalPath);
    h->fHasPath = pInfo->hLocalPath != nullptr;
    return DBSuccess;
}

static void ResourceToInfo(const RESOURCE_OBJECT* h, EX_RESOURCEINFO* pInfo) {
    const qn::dbms::db_resourcerec& rec = h->holder.rec;
    pInfo->wResourceVersion = rec.resourceversion;
    pInfo->dwResourceID = rec.resourceid;
    pInfo->wResourceType = rec.resourcetype;
    pInfo->wResourceSubType = rec.resourcesubtype;
    pInfo->dwResourcePrivate = rec.resourceprivate;
    std::memcpy(pInfo->szDomain, rec.resourcedomain, sizeof pInfo->szDomain);
    pInfo->szDomain[sizeof pInfo->szDomain - 1] = '\0';
    std::memcpy(pInfo->szServer, rec.resourceserver, sizeof pInfo->szServer);
    pInfo->szServer[sizeof pInfo->szServer - 1] = '\0';
    std::memcpy(pInfo->szShareName, rec.resourcesharename, sizeof pInfo->szShareName);
    pInfo->szShareName[sizeof pInfo->szShareName - 1] = '\0';
    pInfo->hLocalPath =
        h->holder.var.dba != 0 || h->fHasPath ? MakeExString(h->holder.var.value) : nullptr;
    std::memset(pInfo->abReserved, 0, sizeof pInfo->abReserved);
}

static DBStatus ReadResourceHere(CDbContext* pdb, RESOURCE_OBJECT* h) {
    DBStatus st = ReadCurrent(pdb, DB_RESOURCEREC, &h->holder);
    if (st == DBSuccess) {
        h->holder.var.dba = h->holder.rec.resourcelocalpath;
        h->holder.var.stamp = 0;
        st = VarStringRead(&h->holder.var, pdb);
        h->fHasPath = h->holder.var.dba != 0;
    }
    return st;
}

static DBStatus ResourceCreate(CDbContext* pdb, RESOURCE_OBJECT* h) {
    CStoreTransaction tx(pdb, "Resource Create",
                         ResourceWritePacket() + Packet({DB_UNIQUEIDSREC}, 'w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = VarStringWrite(&h->holder.var, pdb, VSK_RESOURCELOCALPATH);
        h->holder.rec.resourcelocalpath = h->holder.var.dba;
    }
    if (st == DBSuccess) {
        h->holder.rec.resourceversion = 25;
        uint32_t dwId = h->holder.rec.resourceid;
        st = CreateWithId(pdb, IdKind::Resource, DB_RESOURCEREC, &h->holder.rec, &dwId,
                          [&](uint32_t dw) { h->holder.rec.resourceid = dw; });
        h->holder.rec.resourceid = dwId;
    }
    if (st == DBSuccess) {
        st = ReadCurrent(pdb, DB_RESOURCEREC, &h->holder) == DBSuccess ? DBSuccess
                                                                       : DBHolderRefreshFailed;
    }
    if (st == DBSuccess) {
        int rc = pdb->SetOwnerSystem(DBS_RESOURCES);
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(h->holder.dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_RESOURCES);
        }
        st = MapEngineStatus(rc);
    }
    return tx.Finish(st);
}

static DBStatus ResourceWrite(CDbContext* pdb, RESOURCE_OBJECT* h) {
    CStoreTransaction tx(pdb, "Resource Write", ResourceWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, &h->holder, false);
    }
    if (st == DBSuccess) {
        st = VarStringWrite(&h->holder.var, pdb, VSK_RESOURCELOCALPATH);
        h->holder.rec.resourcelocalpath = h->holder.var.dba;
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(h->holder.dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&h->holder.rec);
        }
        st = rc == S_DELETED ? DBDeleted : (rc == S_DUPLICATE ? DBDuplicate : MapEngineStatus(rc));
    }
    if (st == DBSuccess) {
        st = TakeStamp(pdb, &h->holder);
    }
    return tx.Finish(st);
}

static DBStatus ResourceDestroy(CDbContext* pdb, RESOURCE_OBJECT* h) {
    CStoreTransaction tx(pdb, "Resource Destroy", ResourceWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = CheckHolder(pdb, &h->holder, false);
    }
    if (st == DBSuccess) {
        VarStringHolder empty = h->holder.var;
        empty.value.clear();
        st = VarStringWrite(&empty, pdb, VSK_RESOURCELOCALPATH);
    }
    if (st == DBSuccess) {
        st = MapEngineStatus(pdb->DeleteAt(h->holder.dba));
    }
    return tx.Finish(st);
}

}  // namespace catstore

using namespace catstore;

extern "C" RESOURCE_OBJECT* EXResourceCreate(BOARD_OBJECT* hbrd, EX_RESOURCEINFO* pInfo,
                                             EXSM_STATUS* status) {
    return RunApi("EXResourceCreate", status, static_cast<RESOURCE_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> RESOURCE_OBJECT* {
                      if (!IsLiveBoard(hbrd) || pInfo == nullptr) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      std::unique_ptr<RESOURCE_OBJECT, void (*)(RESOURCE_OBJECT*)> pOwned(
                          NewResourceObject(hbrd), FreeResourceObject);
                      RESOURCE_OBJECT* h = pOwned.get();
                      DBStatus dbs = InfoToResource(pInfo, h);
                      if (dbs == DBSuccess) {
                          dbs = ResourceCreate(hbrd->pdb, h);
                      }
                      if (dbs != DBSuccess) {
                          pOwned.reset();
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      pInfo->dwResourceID = h->holder.rec.resourceid;
                      return pOwned.release();
                  });
}

extern "C" void EXResourceGetInfo(RESOURCE_OBJECT* hResource, EX_RESOURCEINFO* pInfo,
                                  EXSM_STATUS* status) {
    RunApiVoid("EXResourceGetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveResource(hResource) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        ResourceToInfo(hResource, pInfo);
    });
}

extern "C" void EXResourceSetInfo(RESOURCE_OBJECT* hResource, const EX_RESOURCEINFO* pInfo,
                                  EXSM_STATUS* status) {
    RunApiVoid("EXResourceSetInfo", status, [&](EXSM_STATUS* st) {
        if (!IsLiveResource(hResource) || pInfo == nullptr) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        RESOURCE_OBJECT copy = *hResource;
        DBStatus dbs = InfoToResource(pInfo, &copy);
        if (dbs == DBSuccess) {
            dbs = ResourceWrite(hResource->hBoard->pdb, &copy);
        }
        if (dbs == DBSuccess) {
            hResource->holder = copy.holder;
            hResource->fHasPath = copy.fHasPath;
        }
        SetStatus(st, dbs);
    });
}

extern "C" void EXResourceRefresh(RESOURCE_OBJECT* hResource, EXSM_STATUS* status) {
    RunApiVoid("EXResourceRefresh", status, [&](EXSM_STATUS* st) {
        if (!IsLiveResource(hResource)) {
            *st = EXSM_INVALID_HANDLE;
            return;
        }
        CDbContext* pdb = hResource->hBoard->pdb;
        CStoreRead read(pdb, ResourceReadPacket());
        DBStatus dbs = read.Status();
        if (dbs == DBSuccess) {
            dbs = CheckHolder(pdb, &hResource->holder, false);
        }
        if (dbs == DBSuccess) {
            RESOURCE_OBJECT fresh = *hResource;
            dbs = ReadResourceHere(pdb, &fresh);
            if (dbs == DBSuccess) {
                hResource->holder = fresh.holder;
                hResource->fHasPath = fresh.fHasPath;
            }
        }
        SetStatus(st, dbs);
    });
}

extern "C" RESOURCE_OBJECT* EXResourceDestroy(RESOURCE_OBJECT* hResource, EXSM_STATUS* status) {
    return RunApi("EXResourceDestroy", status, hResource, [&](EXSM_STATUS* st) -> RESOURCE_OBJECT* {
        if (!IsLiveResource(hResource)) {
            *st = EXSM_INVALID_HANDLE;
            return hResource;
        }
        DBStatus dbs = ResourceDestroy(hResource->hBoard->pdb, hResource);
        if (dbs != DBSuccess) {
            SetStatus(st, dbs);
            return hResource;
        }
        FreeResourceObject(hResource);
        return nullptr;
    });
}

extern "C" RESOURCE_OBJECT* EXResourceFindByID(BOARD_OBJECT* hbrd, uint32_t dwResourceID,
                                               EXSM_STATUS* status) {
    return RunApi("EXResourceFindByID", status, static_cast<RESOURCE_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> RESOURCE_OBJECT* {
                      if (!IsLiveBoard(hbrd)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      LogLine(LOG_STORE, "EXSM: EXResourceFindByID(ID=%lu)...\r\n",
                              static_cast<unsigned long>(dwResourceID));
                      CDbContext* pdb = hbrd->pdb;
                      CStoreRead read(pdb, ResourceReadPacket());
                      DBStatus dbs = read.Status();
                      RESOURCE_OBJECT* h = nullptr;
                      if (dbs == DBSuccess) {
                          int rc = pdb->KeyFind(RESOURCEID, &dwResourceID);
                          dbs = rc == S_NOTFOUND ? DBNotFound : MapEngineStatus(rc);
                      }
                      if (dbs == DBSuccess) {
                          h = NewResourceObject(hbrd);
                          dbs = ReadResourceHere(pdb, h);
                      }
                      if (dbs != DBSuccess) {
                          FreeResourceObject(h);
                          SetStatus(st, dbs);
                          return nullptr;
                      }
                      return h;
                  });
}

extern "C" RESOURCE_OBJECT* EXResourceFind(BOARD_OBJECT* hbrd, const EX_RESOURCEINFO* pPattern,
                                           EXSM_STATUS* status) {
    return RunApi(
        "EXResourceFind", status, static_cast<RESOURCE_OBJECT*>(nullptr),
        [&](EXSM_STATUS* st) -> RESOURCE_OBJECT* {
            if (!IsLiveBoard(hbrd) || pPattern == nullptr) {
                *st = EXSM_INVALID_HANDLE;
                return nullptr;
            }
            TimerStart("TIMER: Entering EXResourceFind...");
            CDbContext* pdb = hbrd->pdb;
            std::string strPattern = ReadExString(pPattern->hLocalPath);
            bool fPatternPath = pPattern->hLocalPath != nullptr;
            std::vector<DBA> members;
            RESOURCE_OBJECT* hFound = nullptr;
            {
                CStoreRead read(pdb, ResourceReadPacket());
                DBStatus dbs = read.Status();
                if (dbs == DBSuccess) {
                    dbs = CollectMembers(pdb, DBS_RESOURCES, 0, &members);
                }
                for (size_t i = 0; dbs == DBSuccess && i < members.size(); ++i) {
                    std::unique_ptr<RESOURCE_OBJECT, void (*)(RESOURCE_OBJECT*)> pOwned(
                        NewResourceObject(hbrd), FreeResourceObject);
                    RESOURCE_OBJECT* h = pOwned.get();
                    dbs = MapEngineStatus(pdb->MakeCurrent(members[i]));
                    if (dbs == DBSuccess) {
                        dbs = ReadResourceHere(pdb, h);
                    }
                    const auto& r = h->holder.rec;
                    bool fMatch =
                        dbs == DBSuccess && r.resourcetype == pPattern->wResourceType &&
                        r.resourcesubtype == pPattern->wResourceSubType &&
                        strncasecmp(r.resourcedomain, pPattern->szDomain, 64) == 0 &&
                        strncasecmp(r.resourceserver, pPattern->szServer, 64) == 0 &&
                        strncasecmp(r.resourcesharename, pPattern->szShareName, 256) == 0 &&
                        (fPatternPath
                             ? (h->holder.var.dba != 0 &&
                                strcasecmp(h->holder.var.value.c_str(), strPattern.c_str()) == 0)
                             : h->holder.var.dba == 0);
                    if (fMatch) {
                        hFound = pOwned.release();
                        break;
                    }
                    pOwned.reset();
                }
                if (dbs != DBSuccess && hFound == nullptr) {
                    TimerStop("TIMER: Leaving EXResourceFind (NOT FOUND)");
                    SetStatus(st, dbs);
                    return nullptr;
                }
            }
            if (hFound == nullptr) {
                TimerStop("TIMER: Leaving EXResourceFind (NOT FOUND)");
                *st = EXSM_DOES_NOT_EXIST;
                return nullptr;
            }
            char achLine[64];
            std::snprintf(achLine, sizeof achLine, "TIMER: Leaving EXResourceFind (FOUND ID=%lu)",
                          static_cast<unsigned long>(hFound->holder.rec.resourceid));
            TimerStop(achLine);
            return hFound;
        });
}

extern "C" RESOURCE_OBJECT* EXResourceAcquire(RESOURCE_OBJECT* hResource, EXSM_STATUS* status) {
    return RunApi("EXResourceAcquire", status, static_cast<RESOURCE_OBJECT*>(nullptr),
                  [&](EXSM_STATUS* st) -> RESOURCE_OBJECT* {
                      if (!IsLiveResource(hResource)) {
                          *st = EXSM_INVALID_HANDLE;
                          return nullptr;
                      }
                      if (hResource->cRef == 0) {
                          RESOURCE_OBJECT* h = NewResourceObject(hResource->hBoard);
                          h->holder = hResource->holder;
                          h->fHasPath = hResource->fHasPath;
                          return h;
                      }
                      ++hResource->cRef;
                      return hResource;
                  });
}

extern "C" int EXResourceRelease(RESOURCE_OBJECT* hResource, EXSM_STATUS* status) {
    return RunApi("EXResourceRelease", status, 0, [&](EXSM_STATUS* st) {
        if (hResource == nullptr || !qn::platform::IsLiveObject(hResource, ObjectKind::Resource)) {
            *st = EXSM_INVALID_HANDLE;
            return 0;
        }
        if (hResource->cRef > 0 && --hResource->cRef == 0) {
            FreeResourceObject(hResource);
        }
        return 0;
    });
}
