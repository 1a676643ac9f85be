// The upgrade of older catalogs at an exclusive open.
#include "upgrade.h"

#include <cstring>
#include <ctime>

#include "engine.h"
#include "firstopen.h"
#include "items.h"
#include "locks.h"
#include "notify.h"
#include "trace.h"
#include "varstr.h"

namespace catstore {

VersionTreatment TreatBoardVersion(uint16_t wVersion, int nOpenMode, bool fOlderDictionary) {
    switch (wVersion) {
        case 0:
        case 12:
            return fOlderDictionary ? VersionTreatment::Refuse : VersionTreatment::Open;
        case 5:
            return nOpenMode == 2 ? VersionTreatment::Upgrade : VersionTreatment::Refuse;
        case 7:
        case 9:
        case 11:
            return nOpenMode == 2 && !fOlderDictionary ? VersionTreatment::Upgrade
                                                       : VersionTreatment::Refuse;
        default:
            return VersionTreatment::Refuse;
    }
}

// The location checksum of a repository record, from its location string.
static DBStatus RepositoryLocationCrc(CDbContext* pdb, const qn::dbms::db_repositoryrec& repo,
                                      uint32_t* pdwCrc) {
    VarStringHolder location;
    location.dba = repo.repositorylocationinfo;
    DBStatus st = location.dba != 0 ? VarStringRead(&location, pdb) : DBSuccess;
    if (st != DBSuccess) {
        return st;
    }
    *pdwCrc = location.value.empty()
                  ? 0
                  : CDbContext::Checksum(location.value.data(), location.value.size());
    return DBSuccess;
}

// Deletes the optional key of the current attachment and stores it again when it has a value,
// so that no entry keeps a checksum the record no longer has.
static int RenewOptionalKey(CDbContext* pdb, int32_t nKey, bool fStore) {
    int rc = pdb->KeyDelete(nKey);
    if (rc != S_OKAY && rc != S_NOTFOUND) {
        return rc;
    }
    return fStore ? pdb->KeyStore(nKey) : S_OKAY;
}

// Writes the attachment when a checksum changed and stores its optional keys anew.
static DBStatus WriteAttachmentAndKeys(CDbContext* pdb, DBA dba,
                                       const qn::dbms::db_attachrec& before,
                                       const qn::dbms::db_attachrec* pAtt) {
    int rc = pdb->MakeCurrent(dba);
    // A record already right is not written again: the upgrade changes only what was stale.
    if (rc == S_OKAY && std::memcmp(&before, pAtt, sizeof before) != 0) {
        rc = pdb->Write(pAtt);
    }
    if (rc == S_OKAY) {
        rc = RenewOptionalKey(
            pdb, ATTFILEKEY,
            pAtt->attfilekey.attnamecrc != 0 || pAtt->attfilekey.attnameresourceid != 0);
    }
    if (rc == S_OKAY) {
        rc = RenewOptionalKey(
            pdb, ATTREPOSKEY,
            pAtt->attreposkey.attreposcrc != 0 || pAtt->attreposkey.attreposresourceid != 0);
    }
    return MapEngineStatus(rc);
}

static DBStatus UpgradeAttachment(CDbContext* pdb, DBA dba, qn::dbms::db_attachrec* pAtt,
                                  unsigned long* pcRepositories) {
    const qn::dbms::db_attachrec before = *pAtt;
    pAtt->attfilekey.attnamecrc = PathChecksum(pAtt->attnamepath);
    const DBA dbaRepos = pAtt->attrepository;
    // An address that names no repository record is left to the structure check.
    if (dbaRepos != 0 && DbaRecord(dbaRepos) == DB_REPOSITORYREC) {
        qn::dbms::db_repositoryrec repo{};
        int rc = pdb->ReadAt(dbaRepos, &repo, nullptr);
        if (rc == S_OKAY) {
            ++*pcRepositories;
            uint32_t dwCrc = 0;
            DBStatus st = RepositoryLocationCrc(pdb, repo, &dwCrc);
            if (st == DBDeleted || st == DBUnexpectedRecordType) {
                // A location string that is gone is the structure check's to repair; no
                // checksum is guessed for it here.
                return WriteAttachmentAndKeys(pdb, dba, before, pAtt);
            }
            if (st != DBSuccess) {
                return st;
            }
            if (repo.repositorylocationcrc != dwCrc) {
                repo.repositorylocationcrc = dwCrc;
                rc = pdb->MakeCurrent(dbaRepos);
                if (rc == S_OKAY) {
                    rc = pdb->Write(&repo);
                }
                if (rc != S_OKAY) {
                    return MapEngineStatus(rc);
                }
            }
            pAtt->attreposkey.attreposcrc = dwCrc;
        } else if (rc != S_DELETED) {
            return MapEngineStatus(rc);
        }
    }
    return WriteAttachmentAndKeys(pdb, dba, before, pAtt);
}

DBStatus UpgradeCRCValues(CDbContext* pdb) {
    CStoreTransaction tx(
        pdb, "UpgradeCRCValues",
        Packet({DB_ATTACHREC, DB_FOLDERREC, DB_REPOSITORYREC}, 'w') + VarStringPacket('r'));
    DBStatus st = tx.Status();
    unsigned long cAttachments = 0, cFolders = 0, cRepositories = 0;
    for (DBA dba = 0; st == DBSuccess;) {
        qn::dbms::db_attachrec att{};
        int rc = pdb->ScanRead(DB_ATTACHREC, dba, &att, nullptr, &dba);
        if (rc == S_NOTFOUND) {
            break;
        }
        st = rc == S_OKAY ? UpgradeAttachment(pdb, dba, &att, &cRepositories) : MapEngineStatus(rc);
        ++cAttachments;
    }
    for (DBA dba = 0; st == DBSuccess;) {
        qn::dbms::db_folderrec folder{};
        int rc = pdb->ScanRead(DB_FOLDERREC, dba, &folder, nullptr, &dba);
        if (rc == S_NOTFOUND) {
            break;
        }
        if (rc == S_OKAY) {
            uint32_t dwCrc = PathChecksum(folder.folderlocationname.folderlocationnamepath);
            if (folder.folderlocationname.folderlocationnamecrc != dwCrc) {
                folder.folderlocationname.folderlocationnamecrc = dwCrc;
                rc = pdb->MakeCurrent(dba);
                if (rc == S_OKAY) {
                    rc = pdb->Write(&folder);
                }
            }
        }
        st = MapEngineStatus(rc);
        ++cFolders;
    }
    if (st == DBSuccess) {
        LogLine(LOG_ENGINE,
                "UPGRADE: Processed %lu attachment, %lu folder, and %lu repository records\r\n",
                cAttachments, cFolders, cRepositories);
    }
    return tx.Finish(st);
}

DBStatus UpgradeChangeEntries(CDbContext* pdb) {
    CStoreTransaction tx(pdb, "UpgradeChangeEntries",
                         Packet({DB_ITEMREC}, 'r') + Packet({DB_CHANGEENTRYREC}, 'w'));
    DBStatus st = tx.Status();
    unsigned long cEntries = 0, cFound = 0, cMissing = 0;
    for (DBA dba = 0; st == DBSuccess;) {
        qn::dbms::db_changeentryrec entry{};
        int rc = pdb->ScanRead(DB_CHANGEENTRYREC, dba, &entry, nullptr, &dba);
        if (rc == S_NOTFOUND) {
            break;
        }
        if (rc == S_OKAY) {
            ++cEntries;
            uint32_t dwItemID = entry.changeitemid;
            qn::dbms::db_itemrec item{};
            rc = pdb->KeyFind(ITEMID, &dwItemID);
            if (rc == S_OKAY) {
                rc = pdb->Read(&item);
            }
            if (rc == S_OKAY) {
                ++cFound;
                entry.changeaccess =
                    static_cast<uint32_t>(item.itemaccess.itemaccesslevel) |
                    (static_cast<uint32_t>(item.itemaccess.itemaccessgrouporuserid) << 16);
            } else if (rc == S_NOTFOUND) {
                ++cMissing;
                entry.changeaccess = 1;
                rc = S_OKAY;
            }
            if (rc == S_OKAY) {
                rc = pdb->MakeCurrent(dba);
            }
            if (rc == S_OKAY) {
                rc = pdb->Write(&entry);
            }
        }
        st = MapEngineStatus(rc);
    }
    if (st == DBSuccess) {
        LogLine(LOG_ENGINE, "UPGRADE: %lu Change Entries; %lu Items Found; %lu Items ~Found\r\n",
                cEntries, cFound, cMissing);
    }
    return tx.Finish(st);
}

// The dictionary and keys of a version-5 catalog, then its change entries.
static DBStatus UpgradeFromVersion5(BOARD_OBJECT* hbrd) {
    int rc = hbrd->pdb->MigrateDictionary();
    if (rc != S_OKAY) {
        LogLine(LOG_ENGINE, "Unable to create new DB dictionary: '%s'\r\n", hbrd->strPath.c_str());
        return DBInvalidCatalogFile;
    }
    return UpgradeChangeEntries(hbrd->pdb);
}

static DBStatus UpgradeInTransaction(BOARD_OBJECT* hbrd, uint16_t wVersion) {
    CDbContext* pdb = hbrd->pdb;
    DBStatus st = wVersion == 5 ? UpgradeFromVersion5(hbrd) : DBSuccess;
    if (st == DBSuccess) {
        st = UpgradeCRCValues(pdb);
    }
    qn::dbms::db_boardrec board{};
    if (st == DBSuccess) {
        st = ReadBoardRecord(pdb, &board);
    }
    if (st == DBSuccess && (wVersion == 7 || (wVersion == 11 && board.boardid == 0))) {
        uint32_t adw[2] = {static_cast<uint32_t>(std::time(nullptr)), ElapsedMilliseconds()};
        board.boardid = CDbContext::Checksum(adw, sizeof adw);
    }
    if (st == DBSuccess) {
        st = InitializeFirstOpen(hbrd, &board);
    }
    if (st == DBSuccess) {
        board.boardversion = 12;
        st = WriteBoardRecord(pdb, board);
    }
    return st;
}

DBStatus UpgradeCatalog(BOARD_OBJECT* hbrd, uint16_t wVersion) {
    CDbContext* pdb = hbrd->pdb;
    // No packet of its own: each step asks for its locks, and the exclusive open keeps every
    // other process out until the commit.
    int rc = pdb->Begin("Board Upgrade");
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    DBStatus st = UpgradeInTransaction(hbrd, wVersion);
    if (st == DBSuccess) {
        rc = pdb->End();
        st = MapEngineStatus(rc);
    }
    if (st != DBSuccess) {
        if (pdb->InTransaction()) {
            pdb->Abort();
        }
        EXNotifyDiscardDeferred(hbrd);
    }
    return st;
}

}  // namespace catstore
