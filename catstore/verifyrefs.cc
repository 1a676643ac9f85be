// The item-reference and attachment checks of the verification.
#include <string>
#include <unordered_set>

#include "items.h"
#include "varstr.h"
#include "verify.h"

namespace catstore {
namespace {

// Connects a reference to the item with the id in a set, or (no such item) deletes it.
int ReconnectReference(CDbContext* pdb, int32_t nSet, DBA dbaRef, uint32_t dwItemID,
                       bool* pfDeleted) {
    int rc = pdb->KeyFind(ITEMID, &dwItemID);
    if (rc == S_NOTFOUND) {
        *pfDeleted = true;
        return pdb->DeleteAt(dbaRef);
    }
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(nSet);
    }
    if (rc == S_OKAY) {
        rc = pdb->MakeCurrent(dbaRef);
    }
    if (rc == S_OKAY) {
        rc = pdb->Connect(nSet);
    }
    return rc;
}

// The location checksum of a repository and the attachment's key copy of it.
bool CheckLocationChecksum(CVerifyRun& run, DBA dbaRepos, db_repositoryrec* pRepos,
                           db_attachrec* pAttach, int* prc, uint32_t* pcErrors) {
    VarStringHolder location;
    location.dba = pRepos->repositorylocationinfo;
    if (location.dba != 0 && VarStringRead(&location, run.Db()) != DBSuccess) {
        return false;  // unreadable: the string check has said so
    }
    const uint32_t dwCrc = location.value.empty()
                               ? 0
                               : CDbContext::Checksum(location.value.data(), location.value.size());
    if (pRepos->repositorylocationcrc != dwCrc) {
        ++*pcErrors;
        run.Finding("DBBoardVerify: repository location checksum out of date at DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dbaRepos));
        pRepos->repositorylocationcrc = dwCrc;
        if (run.Repair()) {
            *prc = run.Db()->MakeCurrent(dbaRepos);
            if (*prc == S_OKAY) {
                *prc = run.Db()->Write(pRepos);
            }
        }
    }
    if (pAttach->attreposkey.attreposcrc == dwCrc) {
        return false;
    }
    ++*pcErrors;
    run.Finding("DBBoardVerify: attachment repository checksum out of date for CRC=0x%08lX\r\n",
                static_cast<unsigned long>(dwCrc));
    pAttach->attreposkey.attreposcrc = dwCrc;
    return true;
}

// Without a repository the attachment's repository key names none.
bool ClearReposKey(CVerifyRun& run, DBA dba, db_attachrec* pAttach, uint32_t* pcErrors) {
    if (pAttach->attreposkey.attreposcrc == 0) {
        return false;
    }
    ++*pcErrors;
    run.Finding(
        "DBBoardVerify: attachment repository checksum without a repository at "
        "DBA=0x%08lX\r\n",
        static_cast<unsigned long>(dba));
    pAttach->attreposkey.attreposcrc = 0;
    return true;
}

// An attachment naming a repository an earlier one names gets its own copy, texts included:
// deleting either item would otherwise take the other's repository with it.
int CopyRepository(CDbContext* pdb, const db_repositoryrec& repos, db_attachrec* pAttach,
                   DBA* pdbaCopy) {
    db_repositoryrec copy = repos;
    struct {
        DBA* pField;
        uint8_t bKind;
    } aStrings[] = {{&copy.repositorylocationinfo, VSK_REPOSLOCATION},
                    {&copy.repositorypolicyinfo, VSK_REPOSPOLICY},
                    {&copy.repositoryprivateinfo, VSK_REPOSPRIVATE}};
    std::string strLocation;
    for (auto& s : aStrings) {
        VarStringHolder from;
        from.dba = *s.pField;
        VarStringHolder to;
        if (from.dba != 0 && VarStringRead(&from, pdb) == DBSuccess) {
            to.value = std::move(from.value);
        }
        if (VarStringWrite(&to, pdb, s.bKind) != DBSuccess) {
            return S_SYSERR;
        }
        *s.pField = to.dba;
        if (s.bKind == VSK_REPOSLOCATION) {
            strLocation = to.value;
        }
    }
    copy.repositorylocationcrc =
        strLocation.empty() ? 0 : CDbContext::Checksum(strLocation.data(), strLocation.size());
    int rc = pdb->Create(DB_REPOSITORYREC, &copy);
    if (rc == S_OKAY) {
        rc = pdb->CurrentDba(pdbaCopy);
    }
    if (rc == S_OKAY) {
        pAttach->attrepository = *pdbaCopy;
        pAttach->attreposkey.attreposcrc = copy.repositorylocationcrc;
    }
    return rc;
}

}  // namespace

int ItemRefCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    SetIndex referenced, referencers;
    int rc = referenced.Load(pdb, DBS_ITEMS_REFERENCED);
    if (rc == S_OKAY) {
        rc = referencers.Load(pdb, DBS_ITEM_REFERENCERS);
    }
    std::vector<std::pair<DBA, db_itemrefrec>> refs;
    if (rc == S_OKAY) {
        rc = ScanAll<db_itemrefrec>(pdb, DB_ITEMREFREC, [&](DBA dba, const db_itemrefrec& r) {
            refs.emplace_back(dba, r);
            return S_OKAY;
        });
    }
    if (rc != S_OKAY) {
        return rc;
    }
    uint32_t cErrors = 0;
    for (auto& [dba, rec] : refs) {
        DBA dbaData = rec.itemrefdata;
        if (!run.CheckString(&dbaData, &rc)) {
            ++cErrors;
            run.Finding("DBBoardVerify: item reference data malformed; ITEMREF=0x%08lX\r\n",
                        static_cast<unsigned long>(dba));
            if (rc == S_OKAY && run.Repair()) {
                rec.itemrefdata = dbaData;
                rc = pdb->MakeCurrent(dba);
                if (rc == S_OKAY) {
                    rc = pdb->Write(&rec);
                }
            }
        }
        bool fDeleted = false;
        struct {
            int32_t nSet;
            const SetIndex* pIndex;
            uint32_t dwItemID;
            const char* pszSide;
        } aSides[] = {
            {DBS_ITEMS_REFERENCED, &referenced, rec.itemrefsrcitemid, "source"},
            {DBS_ITEM_REFERENCERS, &referencers, rec.itemrefdstitemid, "destination"},
        };
        for (const auto& side : aSides) {
            if (rc != S_OKAY || fDeleted || side.pIndex->Has(dba)) {
                continue;
            }
            ++cErrors;
            run.Finding("DBBoardVerify: item reference without its %s item; ITEMREF=0x%08lX\r\n",
                        side.pszSide, static_cast<unsigned long>(dba));
            if (run.Repair()) {
                rc = ReconnectReference(pdb, side.nSet, dba, side.dwItemID, &fDeleted);
            }
        }
        if (rc != S_OKAY) {
            return rc;
        }
    }
    *pcErrors += cErrors;
    run.Summary("Checked integrity of %lu item references; %u error(s) found\r\n",
                static_cast<unsigned long>(refs.size()), cErrors);
    return S_OKAY;
}

int AttachmentCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    SetIndex attachments;
    int rc = attachments.Load(pdb, DBS_ATTACHMENTS);
    std::unordered_set<uint32_t> resources;
    if (rc == S_OKAY) {
        rc = ScanAll<db_resourcerec>(pdb, DB_RESOURCEREC, [&](DBA, const db_resourcerec& r) {
            resources.insert(r.resourceid);
            return S_OKAY;
        });
    }
    std::vector<std::pair<DBA, db_attachrec>> atts;
    if (rc == S_OKAY) {
        rc = ScanAll<db_attachrec>(pdb, DB_ATTACHREC, [&](DBA dba, const db_attachrec& r) {
            atts.emplace_back(dba, r);
            return S_OKAY;
        });
    }
    std::unordered_set<DBA> repositoriesSeen;
    for (auto& [dba, rec] : atts) {
        if (rc != S_OKAY) {
            return rc;
        }
        if (!attachments.Has(dba)) {
            ++*pcErrors;
            run.Finding("DBBoardVerify: attachment is not a member of DBS_ATTACHMENTS\r\n");
            if (run.Repair()) {
                rc = pdb->DeleteAt(dba);
            }
            continue;
        }
        bool fWrite = false;
        // The checksums the attachment keys are found by follow the path and the location.
        const uint32_t dwNameCrc = PathChecksum(rec.attnamepath);
        if (rec.attfilekey.attnamecrc != dwNameCrc) {
            ++*pcErrors;
            run.Finding("DBBoardVerify: attachment name checksum out of date at DBA=0x%08lX\r\n",
                        static_cast<unsigned long>(dba));
            rec.attfilekey.attnamecrc = dwNameCrc;
            fWrite = true;
        }
        const uint32_t dwResource = rec.attfilekey.attnameresourceid;
        if (dwResource != 0 && resources.count(dwResource) == 0) {
            ++*pcErrors;
            run.Finding("DBBoardVerify: attachment resource id not found for ID=%lu\r\n",
                        static_cast<unsigned long>(dwResource));
            rec.attfilekey.attnameresourceid = 0;
            fWrite = true;
        }
        const DBA dbaRepos = rec.attrepository;
        if (dbaRepos != 0) {
            db_repositoryrec repos{};
            const bool fType = DbaRecord(dbaRepos) == DB_REPOSITORYREC;
            const int rcRead =
                fType ? pdb->ReadAt(dbaRepos, &repos, nullptr) : pdb->MakeCurrent(dbaRepos);
            if (rcRead != S_OKAY || !fType) {
                ++*pcErrors;
                run.Finding(
                    rcRead != S_OKAY
                        ? "DBBoardVerify: attachment repository not found at DBA=0x%08lX\r\n"
                        : "DBBoardVerify: invalid record type for attachment repository "
                          "at DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dbaRepos));
                rec.attrepository = 0;
                rec.attreposkey.attreposcrc = 0;
                fWrite = true;
            } else if (!repositoriesSeen.insert(dbaRepos).second) {
                ++*pcErrors;
                run.Finding(
                    "DBBoardVerify: repository shared by two attachments at DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dbaRepos));
                if (run.Repair()) {
                    DBA dbaCopy = 0;
                    rc = CopyRepository(pdb, repos, &rec, &dbaCopy);
                    repositoriesSeen.insert(dbaCopy);
                    fWrite = true;
                }
            } else {
                bool fOk = true;
                for (DBA* pField : {&repos.repositorylocationinfo, &repos.repositorypolicyinfo,
                                    &repos.repositoryprivateinfo}) {
                    DBA dbaField = *pField;
                    fOk = run.CheckString(&dbaField, &rc) && fOk;
                    *pField = dbaField;
                }
                if (fOk) {
                    fWrite =
                        CheckLocationChecksum(run, dbaRepos, &repos, &rec, &rc, pcErrors) || fWrite;
                } else {
                    ++*pcErrors;
                    run.Finding(
                        "DBBoardVerify: repository var strings corrupted at DBA=0x%08lX\r\n",
                        static_cast<unsigned long>(dbaRepos));
                    if (rc == S_OKAY && run.Repair()) {
                        rc = pdb->MakeCurrent(dbaRepos);
                        if (rc == S_OKAY) {
                            rc = pdb->Write(&repos);
                        }
                    }
                }
            }
        } else {
            fWrite = ClearReposKey(run, dba, &rec, pcErrors) || fWrite;
        }
        if (rc == S_OKAY && fWrite && run.Repair()) {
            // The engine renews the optional key entries of a record it writes.
            rc = pdb->MakeCurrent(dba);
            if (rc == S_OKAY) {
                rc = pdb->Write(&rec);
            }
        }
    }
    // A repository no attachment names is no one's: it goes (its texts are adopted, if any).
    std::vector<DBA> unowned;
    if (rc == S_OKAY) {
        rc =
            ScanAll<db_repositoryrec>(pdb, DB_REPOSITORYREC, [&](DBA dba, const db_repositoryrec&) {
                if (repositoriesSeen.count(dba) == 0) {
                    unowned.push_back(dba);
                }
                return S_OKAY;
            });
    }
    for (DBA dba : unowned) {
        if (rc != S_OKAY) {
            break;
        }
        ++*pcErrors;
        run.Finding("DBBoardVerify: repository owned by no attachment at DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dba));
        if (run.Repair()) {
            rc = pdb->DeleteAt(dba);
        }
    }
    return rc;
}

}  // namespace catstore
