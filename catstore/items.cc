// The stored item and its store routines.
#include "items.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>

#include "frame.h"
#include "holders.h"
#include "locks.h"
#include "platform/liveobjects.h"
#include "trace.h"
#include "users.h"

namespace catstore {

using qn::platform::ObjectKind;

uint32_t AllFieldsMask(const DB_ITEM& item) {
    uint32_t dw = 0xFFFFFFFFu;
    if (item.vsiNote.value.empty()) {
        dw &= ~ITEMFIELDS_NOTE;
    }
    if (item.attach.atttype == 0) {
        dw &= ~ITEMFIELDS_ATTACHMENT;
    }
    return dw;
}

void InitFolderItem(DB_ITEM* pItem, const char* pszName, const char* pszDescription,
                    uint16_t wFolderType, uint16_t wOwner) {
    *pItem = DB_ITEM{};
    pItem->item.type = ITEMTYPE_FOLDER;
    std::strncpy(pItem->item.itemname, pszName, sizeof pItem->item.itemname - 1);
    std::strncpy(pItem->item.itemdescription, pszDescription,
                 sizeof pItem->item.itemdescription - 1);
    pItem->item.uidowner = wOwner;
    pItem->item.itemaccess.itemaccesslevel = 1;
    pItem->item.itemaccess.itemaccessgrouporuserid = 0;
    pItem->item.tmlastmodified = static_cast<uint32_t>(std::time(nullptr));
    pItem->folder = qn::dbms::db_folderrec{};
    pItem->folder->foldertype = wFolderType;
}

uint32_t PathChecksum(const char* pszPath) {
    size_t cch = strnlen(pszPath, 256);
    if (cch == 0) {
        return 0;
    }
    std::string strLower(pszPath, cch);
    for (char& ch : strLower) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return CDbContext::Checksum(strLower.data(), strLower.size());
}

std::vector<LockEntry> ItemReadPacket() {
    return Packet({DB_ITEMREC, DB_FOLDERREC, DB_REPOSITORYREC, DBS_ATTACHMENTS, DB_ATTACHREC},
                  'r') +
           VarStringPacket('r');
}

std::vector<LockEntry> ItemWritePacket() {
    return Packet({DB_ITEMREC, DBS_ITEMS, DB_FOLDERREC, DB_REPOSITORYREC, DBS_ATTACHMENTS,
                   DB_ATTACHREC, DB_USERREC, DBS_OWNS_ITEM, DBS_ITEMS_IN_FOLDER,
                   DBS_FOLDERS_IN_FOLDER, DB_CHANGEENTRYREC, DB_UNIQUEIDSREC},
                  'w') +
           VarStringPacket('w');
}

static bool Selects(uint32_t dwFlags, uint32_t dwGroup) {
    return dwFlags == 0 || (dwFlags & dwGroup) != 0;
}

// ---- Reading ---------------------------------------------------------------------------------

DBStatus ItemReadParts(CDbContext* pdb, DB_ITEM* pItem, uint32_t dwFlags) {
    DBStatus st = DBSuccess;
    if (Selects(dwFlags, ITEMFIELDS_FOLDER)) {
        if (pItem->item.type == ITEMTYPE_FOLDER) {
            pItem->folder = qn::dbms::db_folderrec{};
            pItem->dbaFolder = pItem->item.folderstruct;
            pItem->stampFolder = 0;
            if (pItem->dbaFolder != 0) {
                int rc = pdb->MakeCurrent(pItem->dbaFolder);
                if (rc == S_OKAY) {
                    rc = pdb->Read(&*pItem->folder);
                }
                if (rc == S_OKAY) {
                    rc = pdb->CurrentStamp(&pItem->stampFolder);
                }
                st = rc == S_DELETED ? DBDeleted : MapEngineStatus(rc);
            }
        } else {
            pItem->dbaFolder = 0;
            pItem->stampFolder = 0;
        }
    }
    if (st == DBSuccess && Selects(dwFlags, ITEMFIELDS_ATTACHMENT)) {
        pItem->attach = qn::dbms::db_attachrec{};
        int rc = pdb->MakeCurrent(pItem->dba);
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(DBS_ATTACHMENTS);
        }
        if (rc == S_OKAY) {
            rc = pdb->FindFirst(DBS_ATTACHMENTS);
            if (rc == S_EOS) {
                rc = S_OKAY;  // no attachment
            } else if (rc == S_OKAY) {
                rc = pdb->Read(&pItem->attach);
            }
        }
        st = MapEngineStatus(rc);
        if (st == DBSuccess && pItem->attach.attrepository != 0) {
            rc = pdb->MakeCurrent(pItem->attach.attrepository);
            if (rc == S_OKAY) {
                rc = pdb->Read(&pItem->repos);
            }
            if (rc == S_OKAY) {
                pItem->dbaRepos = pItem->attach.attrepository;
                rc = pdb->CurrentStamp(&pItem->stampRepos);
            }
            st = MapEngineStatus(rc);
            pItem->vsiReposLocation.dba = pItem->repos.repositorylocationinfo;
            pItem->vsiReposPolicy.dba = pItem->repos.repositorypolicyinfo;
            pItem->vsiReposPrivate.dba = pItem->repos.repositoryprivateinfo;
            for (VarStringHolder* p :
                 {&pItem->vsiReposLocation, &pItem->vsiReposPolicy, &pItem->vsiReposPrivate}) {
                if (st == DBSuccess) {
                    st = VarStringRead(p, pdb);
                }
            }
        } else if (st == DBSuccess) {
            pItem->repos = qn::dbms::db_repositoryrec{};
            pItem->dbaRepos = 0;
            pItem->stampRepos = 0;
            pItem->vsiReposLocation = {};
            pItem->vsiReposPolicy = {};
            pItem->vsiReposPrivate = {};
        }
    }
    if (st == DBSuccess && Selects(dwFlags, ITEMFIELDS_TEXTS)) {
        struct {
            VarStringHolder* p;
            DBA dba;
        } aTexts[] = {{&pItem->vsiNote, pItem->item.itemnote},
                      {&pItem->vsiExtendedInfo, pItem->item.itemextendedinfo},
                      {&pItem->vsiInstructions, pItem->item.iteminstructions},
                      {&pItem->vsiKeywords, pItem->item.itemkeywords},
                      {&pItem->vsiSubscribers, pItem->item.itemsubscribers}};
        for (auto& t : aTexts) {
            if (t.p->dba != t.dba) {
                t.p->dba = t.dba;
                t.p->stamp = 0;
            }
            if (st == DBSuccess) {
                st = VarStringRead(t.p, pdb);
            }
        }
    }
    return st;
}

DBStatus ItemReadRecordAt(CDbContext* pdb, DBA dba, DB_ITEM* pItem) {
    uint32_t stamp = 0;
    int rc = pdb->ReadAt(dba, &pItem->item, &stamp);
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBDeleted;
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    if (DbaRecord(dba) != DB_ITEMREC) {
        ReportAssertion("FALSE", ".\\DBITEM");
        return DBUnexpectedRecordType;
    }
    pItem->pdb = pdb;
    pItem->dba = dba;
    pItem->nType = DB_ITEMREC;
    pItem->stamp = stamp;
    return DBSuccess;
}

DBStatus ItemRead(CDbContext* pdb, DB_ITEM* pItem) {
    CStoreRead read(pdb, ItemReadPacket());
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    if (pItem->stamp == -1) {
        ReportAssertion("FALSE", ".\\DBITEM");
        return DBHolderRefreshFailed;  // a header whose stamp was never learnt
    }
    // An unchanged record is not read again; its parts are, by their own stamps.
    int64_t newStamp = pItem->stamp;
    st = ChangeCheck(pdb, pItem->dba, DB_ITEMREC, pItem->stamp, false, nullptr, &newStamp);
    const bool fModified = st == DBRecordModified;
    if (st == DBRecordModified || pItem->stamp == 0) {
        st = ItemReadRecordAt(pdb, pItem->dba, pItem);
    }
    if (st != DBSuccess) {
        return st;
    }
    pItem->pdb = pdb;
    st = ItemReadParts(pdb, pItem, pItem->dwFieldFlags);
    if (st == DBSuccess && fModified) {
        return DBRecordModified;
    }
    return st;
}

DBStatus ItemExists(CDbContext* pdb, uint32_t dwItemID) {
    CStoreRead read(pdb, Packet({DB_ITEMREC}, 'r'));
    DBStatus st = read.Status();
    if (st != DBSuccess) {
        return st;
    }
    int rc = pdb->KeyFind(ITEMID, &dwItemID);
    return rc == S_NOTFOUND ? DBNotFound : MapEngineStatus(rc);
}

DBStatus ItemReadAt(CDbContext* pdb, DBA dba, DB_ITEM* pItem) {
    *pItem = DB_ITEM{};
    pItem->dba = dba;
    DBStatus st = ItemRead(pdb, pItem);
    return st == DBRecordModified ? DBSuccess : st;
}

static DBStatus FindByKey(CDbContext* pdb, int32_t nKey, const void* pValue, DB_ITEM* pItem,
                          bool fAttachment) {
    DBA dba = 0;
    {
        CStoreRead read(pdb, ItemReadPacket());
        DBStatus st = read.Status();
        if (st != DBSuccess) {
            return st;
        }
        int rc = pdb->KeyFind(nKey, pValue);
        if (rc == S_NOTFOUND) {
            return DBNotFound;
        }
        if (rc == S_OKAY && fAttachment) {
            rc = pdb->FindOwner(DBS_ATTACHMENTS);
        }
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&dba);
        }
        if (rc != S_OKAY) {
            return rc == S_EOS || rc == S_NOTCON ? DBNotFound : MapEngineStatus(rc);
        }
    }
    return ItemReadAt(pdb, dba, pItem);
}

DBStatus ItemFindByID(CDbContext* pdb, uint32_t dwItemID, DB_ITEM* pItem) {
    return FindByKey(pdb, ITEMID, &dwItemID, pItem, false);
}

DBStatus ItemFindByAttachmentKey(CDbContext* pdb, uint32_t dwResourceID, uint32_t dwCrc,
                                 DB_ITEM* pItem) {
    decltype(qn::dbms::db_attachrec::attfilekey) key{};
    key.attnameresourceid = dwResourceID;
    key.attnamecrc = dwCrc;
    return FindByKey(pdb, ATTFILEKEY, &key, pItem, true);
}

DBStatus ItemFindByRepositoryKey(CDbContext* pdb, uint32_t dwResourceID, uint32_t dwCrc,
                                 DB_ITEM* pItem) {
    decltype(qn::dbms::db_attachrec::attreposkey) key{};
    key.attreposresourceid = dwResourceID;
    key.attreposcrc = dwCrc;
    return FindByKey(pdb, ATTREPOSKEY, &key, pItem, true);
}

// ---- Writing ---------------------------------------------------------------------------------

static DBStatus WriteTexts(CDbContext* pdb, DB_ITEM* pItem) {
    struct {
        VarStringHolder* p;
        void* pvField;  // a packed record field: written with memcpy
        uint8_t bKind;
    } aTexts[] = {{&pItem->vsiNote, &pItem->item.itemnote, VSK_ITEMNOTE},
                  {&pItem->vsiExtendedInfo, &pItem->item.itemextendedinfo, VSK_EXTENDEDINFO},
                  {&pItem->vsiInstructions, &pItem->item.iteminstructions, VSK_INSTRUCTIONS},
                  {&pItem->vsiKeywords, &pItem->item.itemkeywords, VSK_KEYWORDS},
                  {&pItem->vsiSubscribers, &pItem->item.itemsubscribers, VSK_SUBSCRIBERS}};
    for (auto& t : aTexts) {
        DBStatus st = VarStringWrite(t.p, pdb, t.bKind);
        if (st != DBSuccess) {
            return st;
        }
        std::memcpy(t.pvField, &t.p->dba, sizeof(DBA));
    }
    return DBSuccess;
}

// Rewrites the item's DBS_OWNS_ITEM membership after UIDOWNER.
static DBStatus WriteOwner(CDbContext* pdb, DB_ITEM* pItem) {
    int rc = pdb->MakeCurrent(pItem->dba);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    uint16_t wFormer = 0;
    if (pdb->IsMember(DBS_OWNS_ITEM) == S_OKAY) {
        rc = pdb->SetMemberCurrent(DBS_OWNS_ITEM);
        if (rc == S_OKAY) {
            rc = pdb->FindOwner(DBS_OWNS_ITEM);
        }
        qn::dbms::db_userrec owner{};
        if (rc == S_OKAY) {
            rc = pdb->Read(&owner);
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        wFormer = owner.userid;
        if (wFormer != pItem->item.uidowner) {
            rc = pdb->MakeCurrent(pItem->dba);
            if (rc == S_OKAY) {
                rc = pdb->SetMemberCurrent(DBS_OWNS_ITEM);
            }
            if (rc == S_OKAY) {
                rc = pdb->Disconnect(DBS_OWNS_ITEM);
                if (rc == S_EOS) {
                    rc = S_OKAY;
                }
            }
            if (rc != S_OKAY) {
                return MapEngineStatus(rc);
            }
        }
    }
    if (pItem->item.uidowner != 0 && pItem->item.uidowner != wFormer) {
        uint16_t wOwner = pItem->item.uidowner;
        rc = pdb->KeyFind(USERID, &wOwner);
        if (rc == S_NOTFOUND) {
            return DBUserNotFound;
        }
        if (rc == S_OKAY) {
            rc = pdb->SetOwnerCurrent(DBS_OWNS_ITEM);
        }
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(pItem->dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_OWNS_ITEM);
        }
        return MapEngineStatus(rc);
    }
    return DBSuccess;
}

static DBStatus WriteFolderPart(CDbContext* pdb, DB_ITEM* pItem) {
    if (pItem->item.type != ITEMTYPE_FOLDER) {
        return DBSuccess;
    }
    if (!pItem->folder) {
        pItem->folder = qn::dbms::db_folderrec{};
    }
    int rc;
    if (pItem->dbaFolder != 0) {
        rc = pdb->MakeCurrent(pItem->dbaFolder);
        if (rc == S_OKAY && pItem->stampFolder != 0) {
            rc = pdb->TestStamp(pItem->stampFolder);
            if (rc == S_UPDATED) {
                return DBRecordModified;
            }
        }
        if (rc == S_OKAY) {
            rc = pdb->Write(&*pItem->folder);
        }
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(&pItem->stampFolder);
        }
        return rc == S_DELETED ? DBDeleted : MapEngineStatus(rc);
    }
    pItem->folder->folderversion = 25;
    rc = pdb->Create(DB_FOLDERREC, &*pItem->folder);
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(&pItem->dbaFolder);
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentStamp(&pItem->stampFolder);
    }
    if (rc == S_OKAY) {
        pItem->item.folderstruct = pItem->dbaFolder;
        rc = pdb->MakeCurrent(pItem->dba);
    }
    if (rc == S_OKAY) {
        rc = pdb->Write(&pItem->item);
    }
    uint64_t stamp = 0;
    if (rc == S_OKAY) {
        rc = pdb->CurrentStamp(&stamp);
        pItem->stamp = static_cast<int64_t>(stamp);
    }
    return MapEngineStatus(rc);
}

static DBStatus WriteRepository(CDbContext* pdb, DB_ITEM* pItem) {
    if (pItem->repos.repositorytype != 0) {
        struct {
            VarStringHolder* p;
            void* pvField;  // a packed record field: written with memcpy
            uint8_t bKind;
        } aStrings[] = {
            {&pItem->vsiReposLocation, &pItem->repos.repositorylocationinfo, VSK_REPOSLOCATION},
            {&pItem->vsiReposPolicy, &pItem->repos.repositorypolicyinfo, VSK_REPOSPOLICY},
            {&pItem->vsiReposPrivate, &pItem->repos.repositoryprivateinfo, VSK_REPOSPRIVATE}};
        for (auto& s : aStrings) {
            DBStatus st = VarStringWrite(s.p, pdb, s.bKind);
            if (st != DBSuccess) {
                return st;
            }
            std::memcpy(s.pvField, &s.p->dba, sizeof(DBA));
        }
        int rc;
        if (pItem->dbaRepos != 0) {
            rc = pdb->MakeCurrent(pItem->dbaRepos);
            if (rc == S_OKAY) {
                rc = pdb->Write(&pItem->repos);
            }
        } else {
            pItem->repos.repositoryversion = 25;
            rc = pdb->Create(DB_REPOSITORYREC, &pItem->repos);
            if (rc == S_OKAY) {
                rc = pdb->CurrentDba(&pItem->dbaRepos);
            }
        }
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(&pItem->stampRepos);
        }
        pItem->attach.attrepository = pItem->dbaRepos;
        return MapEngineStatus(rc);
    }
    if (pItem->dbaRepos != 0) {
        int rc = pdb->MakeCurrent(pItem->dbaRepos);
        if (rc == S_OKAY) {
            rc = pdb->DisconnectAllAndDelete();
        }
        if (rc != S_OKAY && rc != S_DELETED) {
            return MapEngineStatus(rc);
        }
        for (VarStringHolder* p :
             {&pItem->vsiReposLocation, &pItem->vsiReposPolicy, &pItem->vsiReposPrivate}) {
            p->value.clear();
            DBStatus st = VarStringWrite(p, pdb, 0);
            if (st != DBSuccess) {
                return st;
            }
        }
        pItem->dbaRepos = 0;
        pItem->stampRepos = 0;
    }
    pItem->attach.attrepository = 0;
    return DBSuccess;
}

static DBStatus WriteAttachment(CDbContext* pdb, DB_ITEM* pItem) {
    int rc = pdb->MakeCurrent(pItem->dba);
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(DBS_ATTACHMENTS);
    }
    if (rc == S_OKAY) {
        rc = pdb->FindFirst(DBS_ATTACHMENTS);
        if (rc == S_OKAY) {
            rc = pdb->DisconnectAllAndDelete();
        } else if (rc == S_EOS) {
            rc = S_OKAY;
        }
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    if (pItem->attach.atttype == 0) {
        // Without an attachment the repository goes too.
        pItem->repos.repositorytype = 0;
        return WriteRepository(pdb, pItem);
    }
    pItem->attach.attfilekey.attnamecrc = PathChecksum(pItem->attach.attnamepath);
    pItem->repos.repositorylocationcrc =
        pItem->vsiReposLocation.value.empty()
            ? 0
            : CDbContext::Checksum(pItem->vsiReposLocation.value.data(),
                                   pItem->vsiReposLocation.value.size());
    pItem->attach.attreposkey.attreposcrc = pItem->repos.repositorylocationcrc;
    DBStatus st = WriteRepository(pdb, pItem);
    if (st != DBSuccess) {
        return st;
    }
    pItem->attach.attversion = 25;
    rc = pdb->Create(DB_ATTACHREC, &pItem->attach);
    if (rc == S_DUPLICATE) {
        return DBDuplicate;
    }
    if (rc == S_OKAY && (pItem->attach.attfilekey.attnameresourceid != 0 ||
                         pItem->attach.attfilekey.attnamecrc != 0)) {
        rc = pdb->KeyStore(ATTFILEKEY);
    }
    if (rc == S_OKAY && (pItem->attach.attreposkey.attreposresourceid != 0 ||
                         pItem->attach.attreposkey.attreposcrc != 0)) {
        rc = pdb->KeyStore(ATTREPOSKEY);
    }
    DBA dbaAttach = 0;
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(&dbaAttach);
    }
    if (rc == S_OKAY) {
        rc = pdb->MakeCurrent(pItem->dba);
    }
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(DBS_ATTACHMENTS);
    }
    if (rc == S_OKAY) {
        rc = pdb->MakeCurrent(dbaAttach);
    }
    if (rc == S_OKAY) {
        rc = pdb->Connect(DBS_ATTACHMENTS);
    }
    return MapEngineStatus(rc);
}

DBStatus ItemWrite(CDbContext* pdb, DB_ITEM* pItem, ChangeNotifier pfnNotifier,
                   BOARD_OBJECT* hbrd) {
    // A failed write rolls back in the store; the caller's copy goes back to what it was too,
    // so that its addresses and stamps still name what is stored and a retry can succeed.
    DB_ITEM saved = *pItem;
    CStoreTransaction tx(pdb, "ItemWrite", ItemWritePacket());
    DBStatus st = tx.Status();
    uint32_t dwFlags = pItem->dwFieldFlags;
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(pItem->dba);
        if (rc == S_DELETED || rc == S_INVADDR) {
            st = DBDeleted;
        } else if (rc != S_OKAY) {
            st = MapEngineStatus(rc);
        } else if (pItem->stamp > 0) {
            rc = pdb->TestStamp(static_cast<uint64_t>(pItem->stamp));
            st = rc == S_UPDATED ? DBRecordModified
                                 : (rc == S_DELETED ? DBDeleted : MapEngineStatus(rc));
        }
    }
    // UIDLASTMODIFIED and TMLASTMODIFIED are the operation's to set (the current user, or 1 for a
    // write as the system): the change entry is attributed to UIDLASTMODIFIED as it stands.
    if (st == DBSuccess && Selects(dwFlags, ITEMFIELDS_TEXTS)) {
        st = WriteTexts(pdb, pItem);
    }
    if (st == DBSuccess && Selects(dwFlags, ITEMFIELDS_OWNER)) {
        st = WriteOwner(pdb, pItem);
    }
    if (st == DBSuccess) {
        int rc = pdb->MakeCurrent(pItem->dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&pItem->item);
        }
        uint64_t stamp = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(&stamp);
            pItem->stamp = static_cast<int64_t>(stamp);
        }
        st = rc == S_DUPLICATE ? DBDuplicate : MapEngineStatus(rc);
    }
    if (st == DBSuccess && Selects(dwFlags, ITEMFIELDS_FOLDER)) {
        st = WriteFolderPart(pdb, pItem);
    }
    if (st == DBSuccess && Selects(dwFlags, ITEMFIELDS_ATTACHMENT)) {
        st = WriteAttachment(pdb, pItem);
    }
    if (st == DBSuccess) {
        st = WriteChangeEntry(pdb, pItem, nullptr, pfnNotifier, EX_CHANGE_MODIFIED, hbrd);
    }
    st = tx.Finish(st);
    if (st == DBSuccess) {
        pItem->dwFieldFlags = 0;
    } else {
        *pItem = saved;
    }
    return st;
}

DBStatus ItemCreate(CDbContext* pdb, DB_ITEM* pItem, ChangeNotifier pfnNotifier,
                    BOARD_OBJECT* hbrd) {
    DB_ITEM saved = *pItem;
    CStoreTransaction tx(pdb, "ItemCreate", ItemWritePacket());
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = ItemCreateLocked(pdb, pItem, pfnNotifier, hbrd);
    }
    st = tx.Finish(st);
    if (st != DBSuccess) {
        // Nothing of the create is stored: give the caller back its item as it was.
        *pItem = saved;
    }
    return st;
}

DBStatus ItemCreateLocked(CDbContext* pdb, DB_ITEM* pItem, ChangeNotifier pfnNotifier,
                          BOARD_OBJECT* hbrd) {
    DBStatus st = DBSuccess;
    pItem->pdb = pdb;
    if (pItem->item.uidlastmodified == 0) {
        pItem->item.uidlastmodified = hbrd != nullptr ? CurrentUserID(hbrd) : 1;
    }
    if (st == DBSuccess) {
        st = WriteTexts(pdb, pItem);
    }
    if (st == DBSuccess) {
        pItem->item.itemversion = 25;
        const bool fChosen = pItem->item.itemid == 0;
        if (fChosen) {
            uint32_t adw[2] = {static_cast<uint32_t>(std::time(nullptr)), ElapsedMilliseconds()};
            const uint32_t dwCandidate = std::max(CDbContext::Checksum(adw, sizeof adw), 1u);
            // Items made within one millisecond get the same candidate: each starts after the
            // id the one before it was given, so that a bulk create never walks past its own.
            pItem->item.itemid = dwCandidate == pdb->dwLastIdCandidate &&
                                         pdb->dwLastItemId >= dwCandidate &&
                                         pdb->dwLastItemId != 0xFFFFFFFFu
                                     ? pdb->dwLastItemId + 1
                                     : dwCandidate;
            pdb->dwLastIdCandidate = dwCandidate;
        }
        int rc;
        for (;;) {
            rc = pdb->Create(DB_ITEMREC, &pItem->item);
            if (rc != S_DUPLICATE) {
                break;
            }
            if (pItem->item.itemid == 0xFFFFFFFFu) {
                break;  // no id above the candidate is left
            }
            ++pItem->item.itemid;
        }
        if (rc == S_OKAY && fChosen) {
            pdb->dwLastItemId = pItem->item.itemid;
        }
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&pItem->dba);
        }
        uint64_t stamp = 0;
        if (rc == S_OKAY) {
            rc = pdb->CurrentStamp(&stamp);
            pItem->stamp = static_cast<int64_t>(stamp);
        }
        st = rc == S_DUPLICATE ? DBDuplicate : MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        int rc = pdb->SetOwnerSystem(DBS_ITEMS);
        if (rc == S_OKAY) {
            rc = pdb->MakeCurrent(pItem->dba);
        }
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_ITEMS);
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        st = WriteOwner(pdb, pItem);
    }
    if (st == DBSuccess) {
        st = WriteFolderPart(pdb, pItem);
    }
    if (st == DBSuccess) {
        st = WriteAttachment(pdb, pItem);
    }
    if (st == DBSuccess && pItem->item.itemparentid != 0) {
        uint32_t dwParent = pItem->item.itemparentid;
        DBA dbaParent = 0;
        int rc = pdb->KeyFind(ITEMID, &dwParent);
        if (rc == S_NOTFOUND) {
            st = DBNotFound;
        } else {
            if (rc == S_OKAY) {
                rc = pdb->CurrentDba(&dbaParent);
            }
            if (rc == S_OKAY) {
                rc = pdb->SetOwnerCurrent(DBS_ITEMS_IN_FOLDER);
            }
            if (rc == S_OKAY) {
                rc = pdb->MakeCurrent(pItem->dba);
            }
            if (rc == S_OKAY) {
                rc = pdb->Connect(DBS_ITEMS_IN_FOLDER);
            }
            if (rc == S_OKAY && pItem->item.type == ITEMTYPE_FOLDER) {
                rc = pdb->MakeCurrent(dbaParent);
                if (rc == S_OKAY) {
                    rc = pdb->SetOwnerCurrent(DBS_FOLDERS_IN_FOLDER);
                }
                if (rc == S_OKAY) {
                    rc = pdb->MakeCurrent(pItem->dba);
                }
                if (rc == S_OKAY) {
                    rc = pdb->Connect(DBS_FOLDERS_IN_FOLDER);
                }
            }
            st = MapEngineStatus(rc);
        }
    }
    if (st == DBSuccess) {
        st = WriteChangeEntry(pdb, pItem, nullptr, pfnNotifier, EX_CHANGE_CREATED, hbrd);
    }
    return st;
}

}  // namespace catstore
