// The user check of the verification: users and groups with their texts, change-log positions
// and folder slots, the user-group links, and the catalog's own records (board, unique ids).
#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "users.h"
#include "verify.h"

namespace catstore {
namespace {

// True when dba names an item record that is a folder.
bool IsFolder(CDbContext* pdb, DBA dba) {
    db_itemrec rec{};
    return DbaRecord(dba) == DB_ITEMREC && pdb->ReadAt(dba, &rec, nullptr) == S_OKAY &&
           rec.type == 4;
}

// Slots that name no folder are emptied when repairing (the open makes missing folders again).
uint32_t CheckSlots(CVerifyRun& run, DBA* pSlots, size_t cSlots, const char* pszWhose,
                    DBA dbaOwner) {
    uint32_t cErrors = 0;
    for (size_t i = 0; i < cSlots; ++i) {
        DBA dba;
        std::memcpy(&dba, &pSlots[i], sizeof dba);
        if (dba == 0 || IsFolder(run.Db(), dba)) {
            continue;
        }
        ++cErrors;
        run.Finding("DBBoardVerify: %s slot %u names no folder at DBA=0x%08lX\r\n", pszWhose,
                    static_cast<unsigned>(i), static_cast<unsigned long>(dbaOwner));
        if (run.Repair()) {
            const DBA dbaNone = 0;
            std::memcpy(&pSlots[i], &dbaNone, sizeof dbaNone);
        }
    }
    return cErrors;
}

// The last change entry in storage order, 0 when there is none.
int LastChangeEntry(CDbContext* pdb, DBA* pdba) {
    *pdba = 0;
    int rc = pdb->ScanLast(DB_CHANGEENTRYREC);
    if (rc == S_NOTFOUND) {
        return S_OKAY;
    }
    return rc == S_OKAY ? pdb->CurrentDba(pdba) : rc;
}

int CheckUsers(CVerifyRun& run, uint16_t* pwMaxUser, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    std::vector<std::pair<DBA, db_userrec>> users;
    int rc = ScanAll<db_userrec>(pdb, DB_USERREC, [&](DBA dba, const db_userrec& r) {
        users.emplace_back(dba, r);
        return S_OKAY;
    });
    const bool fSystem = std::any_of(users.begin(), users.end(), [](const auto& u) {
        return std::strncmp(u.second.username, "SYSTEM", sizeof u.second.username) == 0;
    });
    if (rc == S_OKAY && !fSystem) {
        // Without SYSTEM no one can administer the catalog, and the repairs that give an item
        // to SYSTEM would name nobody.
        ++*pcErrors;
        run.Finding("DBBoardVerify: SYSTEM user missing\r\n");
        if (run.Repair()) {
            UserHolder system;
            std::strncpy(system.rec.username, "SYSTEM", sizeof system.rec.username - 1);
            const bool fOneTaken = std::any_of(users.begin(), users.end(),
                                               [](const auto& u) { return u.second.userid == 1; });
            system.rec.userid = fOneTaken ? 0 : 1;
            rc = UserCreate(pdb, &system) == DBSuccess ? S_OKAY : S_SYSERR;
        }
    }
    for (auto& [dba, rec] : users) {
        if (rc != S_OKAY) {
            break;
        }
        *pwMaxUser = std::max<uint16_t>(*pwMaxUser, rec.userid);
        uint32_t cErrors = 0;
        const DBA dbaLast = rec.userlastchangeaddr;
        if (dbaLast != 0 &&
            (DbaRecord(dbaLast) != DB_CHANGEENTRYREC || pdb->MakeCurrent(dbaLast) != S_OKAY)) {
            ++cErrors;
            run.Finding("DBBoardVerify: UserLastChangeAddr not found at DBA=0x%08lX\r\n",
                        static_cast<unsigned long>(dba));
            if (run.Repair()) {
                DBA dbaNew = 0;
                rc = LastChangeEntry(pdb, &dbaNew);
                rec.userlastchangeaddr = dbaNew;
            }
        }
        DBA dbaShadow = rec.usershadowdata;
        if (!run.CheckString(&dbaShadow, &rc)) {
            ++cErrors;
            run.Finding("DBBoardVerify: user var strings corrupted at DBA=0x%08lX\r\n",
                        static_cast<unsigned long>(dba));
        }
        rec.usershadowdata = dbaShadow;
        cErrors +=
            CheckSlots(run, rec.useritems, sizeof rec.useritems / sizeof(DBA), "User folder", dba);
        if (rc == S_OKAY && cErrors != 0 && run.Repair()) {
            rc = pdb->MakeCurrent(dba);
            if (rc == S_OKAY) {
                rc = pdb->Write(&rec);
            }
        }
        *pcErrors += cErrors;
    }
    return rc;
}

int CheckGroups(CVerifyRun& run, uint16_t* pwMaxGroup, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    std::vector<std::pair<DBA, db_grouprec>> groups;
    int rc = ScanAll<db_grouprec>(pdb, DB_GROUPREC, [&](DBA dba, const db_grouprec& r) {
        groups.emplace_back(dba, r);
        return S_OKAY;
    });
    for (auto& [dba, rec] : groups) {
        if (rc != S_OKAY) {
            break;
        }
        *pwMaxGroup = std::max<uint16_t>(*pwMaxGroup, rec.groupid);
        DBA dbaShadow = rec.groupshadowdata;
        if (run.CheckString(&dbaShadow, &rc)) {
            continue;
        }
        ++*pcErrors;
        run.Finding("DBBoardVerify: group var strings corrupted at DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dba));
        if (rc == S_OKAY && run.Repair()) {
            rec.groupshadowdata = dbaShadow;
            rc = pdb->MakeCurrent(dba);
            if (rc == S_OKAY) {
                rc = pdb->Write(&rec);
            }
        }
    }
    return rc;
}

// A user-group link belongs to both sets or to none: one side alone is removed.
int CheckUserGroupLinks(CVerifyRun& run, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    SetIndex byUser, byGroup;
    int rc = byUser.Load(pdb, DBS_USER_GROUPS);
    if (rc == S_OKAY) {
        rc = byGroup.Load(pdb, DBS_USERS_IN_GROUP);
    }
    std::vector<DBA> links;
    if (rc == S_OKAY) {
        rc = ScanAll<db_usergroup>(pdb, DB_USERGROUP, [&](DBA dba, const db_usergroup&) {
            links.push_back(dba);
            return S_OKAY;
        });
    }
    for (DBA dba : links) {
        if (rc != S_OKAY) {
            break;
        }
        if (byUser.Has(dba) && byGroup.Has(dba)) {
            continue;
        }
        ++*pcErrors;
        run.Finding("DBBoardVerify: user-group link connected on one side only at DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dba));
        if (run.Repair()) {
            rc = pdb->DeleteAt(dba);
        }
    }
    return rc;
}

int CheckBoardRecord(CVerifyRun& run, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    std::vector<std::pair<DBA, db_boardrec>> boards;
    int rc = ScanAll<db_boardrec>(pdb, DB_BOARDREC, [&](DBA dba, const db_boardrec& r) {
        boards.emplace_back(dba, r);
        return S_OKAY;
    });
    if (rc != S_OKAY) {
        return rc;
    }
    if (boards.empty()) {
        ++*pcErrors;
        run.Finding("DBBoardVerify: catalog record missing\r\n");
        if (run.Repair()) {
            db_boardrec rec{};
            rec.boardversion = 12;
            uint32_t adw[2] = {static_cast<uint32_t>(std::time(nullptr)), 0x51AB};
            rec.boardid = CDbContext::Checksum(adw, sizeof adw);
            rc = pdb->Create(DB_BOARDREC, &rec);
            pdb->dbaBoard = 0;
        }
        return rc;
    }
    auto& [dba, rec] = boards.front();
    const uint32_t cErrors =
        CheckSlots(run, rec.boarditems, sizeof rec.boarditems / sizeof(DBA), "Catalog folder", dba);
    *pcErrors += cErrors;
    if (cErrors != 0 && run.Repair()) {
        rc = pdb->MakeCurrent(dba);
        if (rc == S_OKAY) {
            rc = pdb->Write(&rec);
        }
    }
    return rc;
}

// The id counters never fall below an id in use, or the next user, group or resource made
// would take an id that is already someone's.
int CheckUniqueIDs(CVerifyRun& run, uint16_t wMaxUser, uint16_t wMaxGroup, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    uint32_t dwMaxResource = 0;
    int rc = ScanAll<db_resourcerec>(pdb, DB_RESOURCEREC, [&](DBA, const db_resourcerec& r) {
        dwMaxResource = std::max(dwMaxResource, r.resourceid);
        return S_OKAY;
    });
    std::vector<std::pair<DBA, db_uniqueidsrec>> recs;
    if (rc == S_OKAY) {
        rc = ScanAll<db_uniqueidsrec>(pdb, DB_UNIQUEIDSREC, [&](DBA dba, const db_uniqueidsrec& r) {
            recs.emplace_back(dba, r);
            return S_OKAY;
        });
    }
    if (rc != S_OKAY) {
        return rc;
    }
    if (recs.empty()) {
        ++*pcErrors;
        run.Finding("DBBoardVerify: unique id record missing\r\n");
        if (!run.Repair()) {
            return S_OKAY;
        }
        db_uniqueidsrec rec{};
        rec.uniqueidsprevuserid = wMaxUser;
        rec.uniqueidsprevgroupid = wMaxGroup;
        rec.uniqueidsprevresourceid = dwMaxResource;
        pdb->dbaUniqueIds = 0;
        return pdb->Create(DB_UNIQUEIDSREC, &rec);
    }
    auto& [dba, rec] = recs.front();
    if (rec.uniqueidsprevuserid >= wMaxUser && rec.uniqueidsprevgroupid >= wMaxGroup &&
        rec.uniqueidsprevresourceid >= dwMaxResource) {
        return S_OKAY;
    }
    ++*pcErrors;
    run.Finding("DBBoardVerify: id counters below ids in use at DBA=0x%08lX\r\n",
                static_cast<unsigned long>(dba));
    if (!run.Repair()) {
        return S_OKAY;
    }
    rec.uniqueidsprevuserid = std::max<uint16_t>(rec.uniqueidsprevuserid, wMaxUser);
    rec.uniqueidsprevgroupid = std::max<uint16_t>(rec.uniqueidsprevgroupid, wMaxGroup);
    rec.uniqueidsprevresourceid = std::max(rec.uniqueidsprevresourceid, dwMaxResource);
    rc = pdb->MakeCurrent(dba);
    return rc == S_OKAY ? pdb->Write(&rec) : rc;
}

}  // namespace

int AdminCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors) {
    uint16_t wMaxUser = 0;
    uint16_t wMaxGroup = 0;
    int rc = CheckUsers(run, &wMaxUser, pcErrors);
    if (rc == S_OKAY) {
        rc = CheckGroups(run, &wMaxGroup, pcErrors);
    }
    if (rc == S_OKAY) {
        rc = CheckUserGroupLinks(run, pcErrors);
    }
    if (rc == S_OKAY) {
        rc = CheckBoardRecord(run, pcErrors);
    }
    if (rc == S_OKAY) {
        rc = CheckUniqueIDs(run, wMaxUser, wMaxGroup, pcErrors);
    }
    return rc;
}

}  // namespace catstore
